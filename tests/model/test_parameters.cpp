// The flat parameter vector: the 113-parameter example and its offsets, the accessors
// (never copying more than stored), setweights/getweights round trips, the layout the
// evaluation reads, and the batch and thread settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "api/handle.h"
#include "model/reference.h"
#include "support/net.h"
#include "veltn.h"

using namespace veltn;

namespace {

const char* kExample = "3 1 3 1 16 3 8 8 softplus sum";

// The batch size and thread count are kept equal in the handle's two models.
void expect_settings(void* h, uint32_t nthreads, uint32_t batch) {
    auto const& info = *static_cast<VELTN::VELTNInfo*>(h);
    EXPECT_EQ(info.model.nthreads, nthreads);
    EXPECT_EQ(info.model.batch, batch);
    EXPECT_EQ(info.admodel.nthreads, nthreads);
    EXPECT_EQ(info.admodel.batch, batch);
}

std::vector<double> iota(std::size_t n) {
    std::vector<double> v(n);
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

std::vector<double> range(double first, std::size_t n) {
    std::vector<double> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

}  // namespace

TEST(Parameters, ExampleCountAndNewHandleIsAllZero) {
    Net n(kExample);
    ASSERT_NE(n.h, nullptr);
    EXPECT_EQ(velt_numel(n.h), 113u);
    std::vector<double> buf(113, -1.0);
    ASSERT_EQ(velt_getweights(n.h, buf.data(), 113), 0);
    for (double x : buf) EXPECT_EQ(x, 0.0);
}

TEST(Parameters, ExampleOffsetsThroughTheAccessors) {
    Net n(kExample);
    ASSERT_NE(n.h, nullptr);
    const auto par = iota(113);
    ASSERT_EQ(velt_setweights(n.h, par.data(), 113), 0);

    struct Block {
        double bias0, weights0;
        uint32_t rows, cols;
    } blocks[3] = {{0, 8, 3, 8}, {32, 40, 8, 8}, {104, 105, 8, 1}};
    for (uint32_t l = 0; l < 3; ++l) {
        SCOPED_TRACE("layer " + std::to_string(l));
        const Block& b = blocks[l];
        uint32_t nb = 0, r = 0, c = 0;
        ASSERT_EQ(velt_bias(n.h, l, nullptr, &nb), 0);
        ASSERT_EQ(nb, b.cols);
        std::vector<double> bias(nb, -1.0);
        ASSERT_EQ(velt_bias(n.h, l, bias.data(), &nb), 0);
        EXPECT_EQ(bias, range(b.bias0, b.cols));
        ASSERT_EQ(velt_weights(n.h, l, nullptr, &r, &c), 0);
        ASSERT_EQ(r, b.rows);
        ASSERT_EQ(c, b.cols);
        std::vector<double> w(r * c, -1.0);
        ASSERT_EQ(velt_weights(n.h, l, w.data(), &r, &c), 0);
        EXPECT_EQ(w, range(b.weights0, b.rows * b.cols));
    }
    // Row-major: element (1, 0) of the first weight matrix is at offset 8 + 1 * 8.
    uint32_t r = 3, c = 8;
    std::vector<double> w(24);
    ASSERT_EQ(velt_weights(n.h, 0, w.data(), &r, &c), 0);
    EXPECT_EQ(w[1 * 8 + 0], 16.0);

    std::vector<double> back(113, -1.0);
    ASSERT_EQ(velt_getweights(n.h, back.data(), 113), 0);
    EXPECT_EQ(back, par);
}

TEST(Parameters, AccessorsNeverCopyMoreThanStored) {
    Net n(kExample);
    ASSERT_NE(n.h, nullptr);
    const auto par = iota(113);
    ASSERT_EQ(velt_setweights(n.h, par.data(), 113), 0);

    // Fewer values than stored: exactly that many, the rest of the buffer untouched.
    std::vector<double> buf(30, -7.0);
    uint32_t r = 2, c = 8;
    ASSERT_EQ(velt_weights(n.h, 0, buf.data(), &r, &c), 0);
    for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(buf[i], i < 16 ? 8.0 + double(i) : -7.0) << i;
    uint32_t nb = 3;
    std::fill(buf.begin(), buf.end(), -7.0);
    ASSERT_EQ(velt_bias(n.h, 1, buf.data(), &nb), 0);
    for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(buf[i], i < 3 ? 32.0 + double(i) : -7.0) << i;
    std::fill(buf.begin(), buf.end(), -7.0);
    ASSERT_EQ(velt_getweights(n.h, buf.data(), 5), 0);
    for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(buf[i], i < 5 ? double(i) : -7.0) << i;

    // More values than stored: -1 and nothing copied.
    std::vector<double> big(200, -7.0);
    auto untouched = [&] {
        for (double x : big) EXPECT_EQ(x, -7.0);
    };
    {
        CaptureFd e(2);
        r = 3, c = 9;
        EXPECT_EQ(velt_weights(n.h, 0, big.data(), &r, &c), -1);
        r = 9, c = 3;
        EXPECT_EQ(velt_weights(n.h, 0, big.data(), &r, &c), -1);
        r = 8, c = 2;
        EXPECT_EQ(velt_weights(n.h, 2, big.data(), &r, &c), -1);  // 16 values asked, 8 stored
        nb = 9;
        EXPECT_EQ(velt_bias(n.h, 0, big.data(), &nb), -1);
        nb = 2;
        EXPECT_EQ(velt_bias(n.h, 2, big.data(), &nb), -1);
        EXPECT_EQ(velt_getweights(n.h, big.data(), 114), -1);
    }
    untouched();
}

TEST(Parameters, LayerIndexOutOfRangeAndNullCountPointers) {
    Net n(kExample);
    ASSERT_NE(n.h, nullptr);
    uint32_t r = 77, c = 78, nb = 79;
    double buf[4] = {-7, -7, -7, -7};
    CaptureFd e(2);
    EXPECT_EQ(velt_weights(n.h, 3, nullptr, &r, &c), -1);
    EXPECT_EQ(velt_weights(n.h, 3, buf, &r, &c), -1);
    EXPECT_EQ(velt_bias(n.h, 3, nullptr, &nb), -1);
    EXPECT_EQ(velt_bias(n.h, 0xFFFFFFFFu, buf, &nb), -1);
    EXPECT_EQ(velt_weights(n.h, 0, nullptr, nullptr, &c), -1);
    EXPECT_EQ(velt_weights(n.h, 0, nullptr, &r, nullptr), -1);
    EXPECT_EQ(velt_bias(n.h, 0, nullptr, nullptr), -1);
    EXPECT_EQ(r, 77u);
    EXPECT_EQ(c, 78u);
    EXPECT_EQ(nb, 79u);
    for (double x : buf) EXPECT_EQ(x, -7.0);
    const std::string err = e.text();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 7) << err;
}

TEST(Parameters, SetweightsNeedsAFullVectorAndIgnoresExtraValues) {
    Net n(kExample);
    ASSERT_NE(n.h, nullptr);
    const auto par = range(1.0, 120);
    {
        CaptureFd e(2);
        EXPECT_EQ(velt_setweights(n.h, par.data(), 112), -1);
        EXPECT_EQ(velt_setweights(n.h, nullptr, 113), -1);
    }
    std::vector<double> back(113, -1.0);
    ASSERT_EQ(velt_getweights(n.h, back.data(), 113), 0);
    for (double x : back) EXPECT_EQ(x, 0.0);  // refused calls changed nothing
    ASSERT_EQ(velt_setweights(n.h, par.data(), 120), 0);
    ASSERT_EQ(velt_getweights(n.h, back.data(), 113), 0);
    EXPECT_EQ(back, std::vector<double>(par.begin(), par.begin() + 113));
    EXPECT_EQ(velt_getweights(n.h, nullptr, 0), 0);
}

TEST(Parameters, EvaluationReadsTheDocumentedLayout) {
    // Each layer's bias first, then its weights row-major (row = input unit), layer by layer.
    for (std::string const act : {"id", "softplus", "atan", "relu", "softplus_shifted"}) {
        SCOPED_TRACE(act);
        const ref::Network rn{2, 1, {3, 5, 4}, act};
        Net n("3 2 3 1 16 3 5 4 " + act + " sum");
        ASSERT_NE(n.h, nullptr);
        ASSERT_EQ(velt_numel(n.h), rn.numel());
        const auto par = random_vector(rn.numel(), 31, 0.7);
        const auto X = random_vector(5 * 3, 32, 1.5);
        std::vector<double> F(10, NAN);
        ASSERT_EQ(velt_compute(n.h, par.data(), uint32_t(par.size()), X.data(), 5, 3, 0, F.data()), 0);
        const auto want = rn.forward(par, X, 5, 3);
        for (std::size_t i = 0; i < F.size(); ++i) EXPECT_NEAR(F[i], want[i], 1e-12 * (1 + std::fabs(want[i]))) << i;
    }
}

TEST(Parameters, EvaluationsNeitherReadNorChangeTheStoredParameters) {
    Net n("3 1 3 1 16 3 8 8 id sum");
    Net fresh("3 1 3 1 16 3 8 8 id sum");
    ASSERT_NE(n.h, nullptr);
    const auto stored = random_vector(113, 41);
    ASSERT_EQ(velt_setweights(n.h, stored.data(), 113), 0);
    const auto par = random_vector(113, 42);
    const auto X = random_vector(6, 43);
    const std::vector<double> Y = {0.5, -0.5};
    double a[2], b[2], Ja, Jb;
    ASSERT_EQ(velt_compute(n.h, par.data(), 113, X.data(), 2, 3, 0, a), 0);
    ASSERT_EQ(velt_compute(fresh.h, par.data(), 113, X.data(), 2, 3, 0, b), 0);
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[1], b[1]);
    ASSERT_EQ(velt_obj(n.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, &Ja), 0);
    ASSERT_EQ(velt_obj(fresh.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, &Jb), 0);
    EXPECT_EQ(Ja, Jb);
    std::vector<double> back(113);
    ASSERT_EQ(velt_getweights(n.h, back.data(), 113), 0);
    EXPECT_EQ(back, stored);
}

TEST(Settings, SetbatchRules) {
    Net n(kExample);
    ASSERT_NE(n.h, nullptr);
    expect_settings(n.h, 1, 32);
    {
        CaptureFd e(2);
        EXPECT_EQ(velt_setbatch(n.h, 0), -1);
        EXPECT_EQ(velt_setbatch(n.h, -5), -1);
    }
    expect_settings(n.h, 1, 32);
    EXPECT_EQ(velt_setbatch(n.h, 1), 0);
    expect_settings(n.h, 1, 1);
    EXPECT_EQ(velt_setbatch(n.h, 7), 0);
    expect_settings(n.h, 1, 7);
}

TEST(Settings, SetparRules) {
    Net n(kExample);
    ASSERT_NE(n.h, nullptr);
    {
        CaptureFd e(2);
        EXPECT_EQ(velt_setpar(n.h, 0, 16), -1);
        EXPECT_EQ(velt_setpar(n.h, 100000, 16), -1);
        EXPECT_EQ(velt_setpar(n.h, 0xFFFFFFFFu, 16), -1);
    }
    expect_settings(n.h, 1, 32);  // refused: nothing changed
    EXPECT_EQ(velt_setpar(n.h, 99999, 16), 0);
    expect_settings(n.h, 99999, 16);
    EXPECT_EQ(velt_setpar(n.h, 1, 32), 0);
    expect_settings(n.h, 1, 32);
    // A batch size below 1 is ignored; the thread count still changes and 0 is returned.
    std::string err;
    {
        CaptureFd e(2);
        EXPECT_EQ(velt_setpar(n.h, 4, 0), 0);
        expect_settings(n.h, 4, 32);
        EXPECT_EQ(velt_setpar(n.h, 3, -2), 0);
        err = e.text();
    }
    EXPECT_EQ(err, "");
    expect_settings(n.h, 3, 32);
}
