// The active scalar, the direction counts and the pole-division error.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "forward/ad.h"
#include "forward/tangent_test_util.h"

using namespace veltn;

using tanad::FO::Dynamic::Active;
using tangent_test::CerrCapture;
using tangent_test::DirectionCounts;

namespace {


Active<1> active(double v, std::vector<double> const& t) {
    Active<1> a(v);
    a.tangents = std::valarray<double>(t.data(), t.size());
    a.ndir = t.size();
    return a;
}

struct Recorded {
    int kind;
    int line;
    std::string file;
    std::string message;
    const void* result;
    const void* x;
    double x_value;
    double y_value;
    std::size_t y_ndir;
};

class RecordingHandler : public tanad::ErrorHandler {
public:
    void handle(tanad::Error const& e) override {
        Recorded r{e.kind, e.line, e.file, e.message, nullptr, nullptr, 0.0, 0.0, 0};
        if (auto* d = dynamic_cast<tanad::Discontinuity<Active<1>> const*>(&e)) {
            r.result = d->result;
            r.x = d->x;
            r.x_value = d->x->value;
            r.y_value = d->y->value;
            r.y_ndir = d->y->tangents.size();
        }
        calls.push_back(r);
    }
    std::vector<Recorded> calls;
};

// Installs a handler for one test and puts the previous one back.
class InstalledHandler {
public:
    explicit InstalledHandler(tanad::ErrorHandler* h) : previous_(tanad::ErrorHandler::setHandler(h)) {}
    ~InstalledHandler() { tanad::ErrorHandler::setHandler(previous_); }

private:
    tanad::ErrorHandler* previous_;
};

}  // namespace

TEST(ActiveScalar, FieldOrderAndLoadTimeCounts) {
    static_assert(std::is_standard_layout_v<Active<1>>);
    static_assert(offsetof(Active<1>, ndir) < offsetof(Active<1>, value));
    static_assert(offsetof(Active<1>, value) < offsetof(Active<1>, tangents));
    // Every thread starts with the load-time counts, whatever other threads have set.
    DirectionCounts counts(5);
    uint64_t seen[2] = {0, 0};
    std::thread([&] { seen[0] = scalar_directions(), seen[1] = container_directions(); }).join();
    EXPECT_EQ(seen[0], 940u);
    EXPECT_EQ(seen[1], 0u);
    EXPECT_EQ(scalar_directions(), 5u);
}

TEST(ActiveScalar, KeepsTheDirectionCountItWasCreatedWith) {
    DirectionCounts counts(3);
    Active<1> a(1.5);
    ASSERT_EQ(a.ndir, 3u);
    ASSERT_EQ(a.tangents.size(), 3u);
    for (double t : a.tangents) EXPECT_EQ(t, 0.0);
    DirectionCounts later(7);
    EXPECT_EQ(a.ndir, 3u);
    EXPECT_EQ(a.tangents.size(), 3u);
    Active<1> b(2.0);
    EXPECT_EQ(b.tangents.size(), 7u);
    EXPECT_EQ(b.ndir, 7u);
}

TEST(ActiveScalar, CopyIsDeep) {
    DirectionCounts counts(2);
    Active<1> a = active(1.0, {1.0, 2.0});
    Active<1> b = a;
    b.tangents[0] = 5.0;
    b.value = 9.0;
    EXPECT_EQ(a.tangents[0], 1.0);
    EXPECT_EQ(a.value, 1.0);
}

TEST(ActiveScalar, AddMultiplyDivide) {
    DirectionCounts counts(2);
    Active<1> a = active(6.0, {2.0, 4.0});
    Active<1> b = active(-1.0, {0.5, -3.0});
    a += b;
    EXPECT_EQ(a.value, 5.0);
    EXPECT_EQ(a.tangents[0], 2.5);
    EXPECT_EQ(a.tangents[1], 1.0);

    Active<1> c = active(6.0, {2.0, 4.0}) * 1.5;
    EXPECT_EQ(c.value, 9.0);
    EXPECT_EQ(c.tangents[0], 3.0);
    EXPECT_EQ(c.tangents[1], 6.0);

    RecordingHandler h;
    InstalledHandler installed(&h);
    Active<1> d = active(6.0, {2.0, 4.0});
    d /= 2.0;
    EXPECT_EQ(d.value, 3.0);
    EXPECT_EQ(d.tangents[0], 1.0);
    EXPECT_EQ(d.tangents[1], 2.0);
    EXPECT_TRUE(h.calls.empty());
}

TEST(ActiveScalar, AddingMoreDirectionsTreatsMissingOnesAsZero) {
    Active<1> a = active(1.0, {1.0});
    Active<1> b = active(2.0, {10.0, 20.0});
    a += b;
    ASSERT_EQ(a.tangents.size(), 2u);
    EXPECT_EQ(a.tangents[0], 11.0);
    EXPECT_EQ(a.tangents[1], 20.0);
    Active<1> c = active(2.0, {10.0, 20.0});
    c += active(1.0, {1.0});
    ASSERT_EQ(c.tangents.size(), 2u);
    EXPECT_EQ(c.tangents[0], 11.0);
    EXPECT_EQ(c.tangents[1], 20.0);
}

TEST(ActiveScalarPoleDivision, PositiveZeroCallsHandlerOnceWithKind12) {
    DirectionCounts counts(2);
    RecordingHandler h;
    InstalledHandler installed(&h);
    Active<1> a = active(3.0, {1.0, 0.0});
    a /= 0.0;
    ASSERT_EQ(h.calls.size(), 1u);
    EXPECT_EQ(h.calls[0].kind, 12);
    EXPECT_EQ(h.calls[0].line, 269);
    EXPECT_EQ(h.calls[0].file, "ad");
    EXPECT_EQ(h.calls[0].message, "ad:269: POLE_DIVISION_C: non differentiable function division at point (3, 0)");
    EXPECT_EQ(h.calls[0].result, &a);
    EXPECT_EQ(h.calls[0].x, &a);
    EXPECT_EQ(h.calls[0].x_value, 3.0);
    EXPECT_EQ(h.calls[0].y_value, 0.0);
    EXPECT_EQ(h.calls[0].y_ndir, 2u);
    // The division is still carried out with IEEE arithmetic.
    EXPECT_TRUE(std::isinf(a.value));
    EXPECT_GT(a.value, 0.0);
    EXPECT_TRUE(std::isinf(a.tangents[0]));
    EXPECT_TRUE(std::isnan(a.tangents[1]));
}

TEST(ActiveScalarPoleDivision, NegativeZeroCallsHandlerOnce) {
    DirectionCounts counts(1);
    RecordingHandler h;
    InstalledHandler installed(&h);
    Active<1> a = active(3.0, {1.0});
    a /= -0.0;
    ASSERT_EQ(h.calls.size(), 1u);
    EXPECT_EQ(h.calls[0].kind, 12);
    // The second coordinate is the divisor written with the default stream format.
    EXPECT_EQ(h.calls[0].message, "ad:269: POLE_DIVISION_C: non differentiable function division at point (3, -0)");
    EXPECT_TRUE(std::isinf(a.value));
    EXPECT_LT(a.value, 0.0);
    EXPECT_TRUE(std::isinf(a.tangents[0]));
}

TEST(ActiveScalarPoleDivision, NaNAndNonZeroDoNotCallHandler) {
    DirectionCounts counts(1);
    RecordingHandler h;
    InstalledHandler installed(&h);
    Active<1> a = active(3.0, {1.0});
    a /= std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(a.value));
    Active<1> b = active(3.0, {1.0});
    b /= 1e-300;
    EXPECT_TRUE(h.calls.empty());
}

TEST(ActiveScalarPoleDivision, WithoutHandlerWritesOneLineAndDivides) {
    InstalledHandler none(nullptr);
    ASSERT_EQ(tanad::ErrorHandler::getHandler(), nullptr);
    CerrCapture cap;
    Active<1> a = active(3.0, {1.0});
    a /= 0.0;
    EXPECT_EQ(cap.text(), "ad:269: POLE_DIVISION_C: non differentiable function division at point (3, 0)\n");
    EXPECT_TRUE(std::isinf(a.value));
}

TEST(ActiveScalarPoleDivision, SetHandlerReturnsPrevious) {
    RecordingHandler h1, h2;
    tanad::ErrorHandler* original = tanad::ErrorHandler::setHandler(&h1);
    EXPECT_EQ(tanad::ErrorHandler::getHandler(), &h1);
    EXPECT_EQ(tanad::ErrorHandler::setHandler(&h2), &h1);
    EXPECT_EQ(tanad::ErrorHandler::getHandler(), &h2);
    EXPECT_EQ(tanad::ErrorHandler::setHandler(original), &h2);
    EXPECT_EQ(tanad::ErrorHandler::getHandler(), original);
}

TEST(ActiveScalarPoleDivision, HandlerExceptionLeavesTheOperation) {
    struct Throwing : tanad::ErrorHandler {
        void handle(tanad::Error const& e) override { throw std::runtime_error(e.message); }
    } h;
    InstalledHandler installed(&h);
    Active<1> a = active(3.0, {1.0});
    EXPECT_THROW(a /= 0.0, std::runtime_error);
}
