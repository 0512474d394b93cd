// Every entry point that takes X and Y reads them (and the weights U) batch by batch: a NaN or an
// infinity in any batch is refused with the same status and message, the failure named is the
// one of the first failing batch whatever the thread count, the caller's arrays are left as
// they were, null inputs read as zeros, and results agree across batch sizes and threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/net.h"
#include "veltn.h"

namespace {

const char* kDescription = "3 2 3 1 16 3 8 8 softplus sum_log_dnorm_fat";
constexpr unsigned kRows = 100;  // batches of 32: the last holds rows 96..99
constexpr unsigned kCols = 3;
constexpr unsigned kOut = 2;
constexpr unsigned kDirs = 3;

// Inputs of one call; every entry point reads the arrays it takes from here.
struct Inputs {
    std::vector<double> w, V, X, Y, U;
    Inputs()
        : w(random_vector(0, 1)),
          X(random_vector(std::size_t(kRows) * kCols, 11)),
          Y(random_vector(std::size_t(kRows) * kOut, 12, 0.3)),
          U(random_vector(std::size_t(kDirs) * kRows * kOut, 13)) {}
};

// The outputs of one call, all of them.
struct Outputs {
    std::vector<double> out, g, Hv, Jv, vJ, Jac;
    double J = 0;
    Outputs(unsigned nw)
        : out(std::size_t(kRows) * kOut), g(nw), Hv(std::size_t(nw) * kDirs), Jv(std::size_t(kRows) * kOut * kDirs),
          vJ(std::size_t(nw) * kDirs), Jac(std::size_t(kRows) * kOut * nw) {}
};

struct Entry {
    const char* name;
    const char* arrays;  // which of X, Y, U it reads
    std::function<int(void*, Inputs const&, const double* X, const double* Y, const double* U, Outputs&)> call;
};

const std::vector<Entry>& entries() {
    static const std::vector<Entry> list = {
        {"velt_compute", "X",
         [](void* h, Inputs const& in, const double* X, const double*, const double*, Outputs& o) {
             return velt_compute(h, in.w.data(), unsigned(in.w.size()), X, kRows, kCols, 0, o.out.data());
         }},
        {"velt_residual", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_residual(h, in.w.data(), unsigned(in.w.size()), X, Y, kRows, kCols, kOut, o.out.data());
         }},
        {"velt_obj", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_obj(h, in.w.data(), unsigned(in.w.size()), X, Y, kRows, kCols, kOut, &o.J);
         }},
        {"velt_objv", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_objv(h, in.w.data(), unsigned(in.w.size()), X, Y, kRows, kCols, kOut, o.out.data());
         }},
        {"velt_g", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_g(h, in.w.data(), unsigned(in.w.size()), X, Y, kRows, kCols, kOut, &o.J, o.g.data());
         }},
        {"velt_Hv", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_Hv(h, in.w.data(), unsigned(in.w.size()), in.V.data(), kDirs, X, Y, kRows, kCols, kOut, &o.J,
                            o.g.data(), o.Hv.data());
         }},
        {"velt_Jv", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_Jv(h, in.w.data(), unsigned(in.w.size()), in.V.data(), kDirs, X, Y, kRows, kCols, kOut,
                            o.out.data(), o.Jv.data());
         }},
        {"velt_vJ", "XYU",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double* U, Outputs& o) {
             return velt_vJ(h, in.w.data(), unsigned(in.w.size()), U, 0, X, Y, kRows, kCols, kOut, o.out.data(),
                            o.vJ.data());
         }},
        {"velt_vJ_vec", "XYU",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double* U, Outputs& o) {
             return velt_vJ_vec(h, in.w.data(), unsigned(in.w.size()), U, kDirs, X, Y, kRows, kCols, kOut,
                                o.out.data(), o.vJ.data());
         }},
        {"velt_jacobian", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_jacobian(h, in.w.data(), unsigned(in.w.size()), X, Y, kRows, kCols, kOut, o.out.data(),
                                  o.Jac.data());
         }},
        {"velt_GNv", "XY",
         [](void* h, Inputs const& in, const double* X, const double* Y, const double*, Outputs& o) {
             return velt_GNv(h, in.w.data(), unsigned(in.w.size()), in.V.data(), kDirs, X, Y, kRows, kCols, kOut, &o.J,
                             o.g.data(), o.Hv.data());
         }},
    };
    return list;
}

// A handle with its parameters and directions filled in.
struct Fixture {
    Net net{kDescription};
    Inputs in;
    Fixture() {
        in.w = random_vector(net.numel(), 14, 0.4);
        in.V = random_vector(std::size_t(net.numel()) * kDirs, 15);
    }
    int run(Entry const& e, const double* X, const double* Y, const double* U, Outputs& o) {
        return e.call(net.h, in, X, Y, U, o);
    }
};

std::vector<double>& array_of(Inputs& in, char which) { return which == 'X' ? in.X : which == 'Y' ? in.Y : in.U; }
std::size_t width_of(char which) { return which == 'X' ? kCols : kOut; }

std::string refusal(const char* function, char which) {
    return std::string(function) + ": floating-point exception: invalid operation: " + which +
           " holds NaN or infinity";
}

bool same_bits(std::vector<double> const& a, std::vector<double> const& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Silences the failure lines of the refusals (velt_last_error still has them).
struct QuietMessages {
    QuietMessages() { velt_set_message_handler([](void*, int, const char*) {}, nullptr); }
    ~QuietMessages() { velt_set_message_handler(nullptr, nullptr); }
};

}  // namespace

TEST(BatchReading, NonFiniteValueInAnyBatchIsRefused) {
    QuietMessages quiet;
    Fixture f;
    Outputs o(f.net.numel());
    for (unsigned threads : {1u, 2u}) {
        ASSERT_EQ(velt_setpar(f.net.h, threads, 32), 0);
        for (Entry const& e : entries())
            for (const char* a = e.arrays; *a; ++a)
                for (unsigned row : {0u, 40u, 99u})  // first, a middle and the last batch
                    for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                                       -std::numeric_limits<double>::infinity()}) {
                        std::vector<double>& arr = array_of(f.in, *a);
                        // U of velt_vJ_vec: row `row` of its last weight array.
                        const std::size_t block = *a == 'U' && std::strcmp(e.name, "velt_vJ_vec") == 0 ? kDirs - 1 : 0;
                        const std::size_t at = (block * kRows + row) * width_of(*a) + 1;
                        const double kept = arr[at];
                        arr[at] = bad;
                        const int rc = f.run(e, f.in.X.data(), f.in.Y.data(), f.in.U.data(), o);
                        arr[at] = kept;
                        EXPECT_EQ(rc, -2) << e.name << " " << *a << " row " << row << " threads " << threads;
                        EXPECT_EQ(std::string(velt_last_error()), refusal(e.name, *a))
                            << " row " << row << " threads " << threads;
                    }
    }
}

// With bad values in several batches, the message names the array of the first failing batch
// (X before Y before U within one), the same for every thread count and batch layout.
TEST(BatchReading, FirstFailingBatchIsReportedWhateverTheThreads) {
    QuietMessages quiet;
    Fixture f;
    Outputs o(f.net.numel());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        unsigned x_row, y_row;
        char expected;
    };
    for (Case const& c : {Case{99, 5, 'Y'}, Case{5, 99, 'X'}, Case{70, 70, 'X'}, Case{64, 63, 'Y'}})
        for (unsigned threads : {1u, 2u, 3u}) {
            ASSERT_EQ(velt_setpar(f.net.h, threads, 32), 0);
            Inputs bad = f.in;
            bad.X[c.x_row * kCols] = nan;
            bad.Y[c.y_row * kOut] = nan;
            for (Entry const& e : entries()) {
                if (std::strchr(e.arrays, 'Y') == nullptr) continue;
                EXPECT_EQ(f.run(e, bad.X.data(), bad.Y.data(), bad.U.data(), o), -2) << e.name;
                EXPECT_EQ(std::string(velt_last_error()), refusal(e.name, c.expected))
                    << "X row " << c.x_row << ", Y row " << c.y_row << ", threads " << threads;
            }
        }
}

TEST(BatchReading, CallerArraysAreLeftAsTheyWere) {
    Fixture f;
    Outputs o(f.net.numel());
    ASSERT_EQ(velt_setpar(f.net.h, 2, 16), 0);
    const Inputs before = f.in;
    for (Entry const& e : entries()) {
        ASSERT_EQ(f.run(e, f.in.X.data(), f.in.Y.data(), f.in.U.data(), o), 0) << e.name;
        EXPECT_TRUE(same_bits(f.in.X, before.X)) << e.name << " changed X";
        EXPECT_TRUE(same_bits(f.in.Y, before.Y)) << e.name << " changed Y";
        EXPECT_TRUE(same_bits(f.in.U, before.U)) << e.name << " changed U";
        EXPECT_TRUE(same_bits(f.in.w, before.w)) << e.name << " changed w";
        EXPECT_TRUE(same_bits(f.in.V, before.V)) << e.name << " changed V";
    }
}

// The products read a null X, Y or U as zeros, in every batch and on every thread.
TEST(BatchReading, NullInputsOfTheProductsReadAsZeros) {
    Fixture f;
    ASSERT_EQ(velt_setpar(f.net.h, 2, 16), 0);
    const std::vector<double> zX(f.in.X.size(), 0.0), zY(f.in.Y.size(), 0.0), zU(f.in.U.size(), 0.0);
    for (Entry const& e : entries()) {
        const std::string name = e.name;
        if (name != "velt_Hv" && name != "velt_Jv" && name != "velt_vJ" && name != "velt_vJ_vec" &&
            name != "velt_jacobian" && name != "velt_GNv")
            continue;
        // Each null on its own, the others given.
        for (char which : std::string(e.arrays)) {
            Outputs with_null(f.net.numel()), with_zeros(f.net.numel());
            const double* X = which == 'X' ? nullptr : f.in.X.data();
            const double* Y = which == 'Y' ? nullptr : f.in.Y.data();
            const double* U = which == 'U' ? nullptr : f.in.U.data();
            ASSERT_EQ(f.run(e, X, Y, U, with_null), 0) << name << " null " << which;
            ASSERT_EQ(f.run(e, X ? X : zX.data(), Y ? Y : zY.data(), U ? U : zU.data(), with_zeros), 0) << name;
            EXPECT_TRUE(same_bits(with_null.out, with_zeros.out)) << name << " null " << which;
            EXPECT_TRUE(same_bits(with_null.g, with_zeros.g)) << name << " null " << which;
            EXPECT_TRUE(same_bits(with_null.Hv, with_zeros.Hv)) << name << " null " << which;
            EXPECT_TRUE(same_bits(with_null.Jv, with_zeros.Jv)) << name << " null " << which;
            EXPECT_TRUE(same_bits(with_null.vJ, with_zeros.vJ)) << name << " null " << which;
            EXPECT_TRUE(same_bits(with_null.Jac, with_zeros.Jac)) << name << " null " << which;
            EXPECT_EQ(with_null.J, with_zeros.J) << name;
        }
    }
}

// Batched on two threads against one block on one thread: the same values up to rounding.
TEST(BatchReading, BatchesAndThreadsAgreeWithOneBlock) {
    Fixture f;
    for (Entry const& e : entries()) {
        Outputs whole(f.net.numel()), split(f.net.numel());
        ASSERT_EQ(velt_setpar(f.net.h, 1, int(kRows)), 0);
        ASSERT_EQ(f.run(e, f.in.X.data(), f.in.Y.data(), f.in.U.data(), whole), 0) << e.name;
        ASSERT_EQ(velt_setpar(f.net.h, 2, 7), 0);
        ASSERT_EQ(f.run(e, f.in.X.data(), f.in.Y.data(), f.in.U.data(), split), 0) << e.name;
        auto near = [&](std::vector<double> const& a, std::vector<double> const& b, const char* what) {
            for (std::size_t i = 0; i < a.size(); ++i)
                ASSERT_NEAR(a[i], b[i], 1e-12 * (1.0 + std::fabs(b[i]))) << e.name << " " << what << "[" << i << "]";
        };
        near(split.out, whole.out, "out");
        near(split.g, whole.g, "g");
        near(split.Hv, whole.Hv, "Hv");
        near(split.Jv, whole.Jv, "Jv");
        near(split.vJ, whole.vJ, "vJ");
        near(split.Jac, whole.Jac, "Jac");
        EXPECT_NEAR(split.J, whole.J, 1e-12 * (1.0 + std::fabs(whole.J))) << e.name;
    }
}

// velt_vJ_vec's rows against separate velt_vJ calls (one forward sweep per weight array there,
// one per batch shared by all arrays here).
TEST(BatchReading, VectorJacobianRowsMatchSingleProducts) {
    Fixture f;
    const unsigned nw = f.net.numel();
    ASSERT_EQ(velt_setpar(f.net.h, 2, 9), 0);
    std::vector<double> res(std::size_t(kRows) * kOut), vJ(std::size_t(nw) * kDirs);
    ASSERT_EQ(velt_vJ_vec(f.net.h, f.in.w.data(), nw, f.in.U.data(), kDirs, f.in.X.data(), f.in.Y.data(), kRows, kCols,
                          kOut, res.data(), vJ.data()),
              0);
    ASSERT_EQ(velt_setpar(f.net.h, 1, 32), 0);
    for (unsigned j = 0; j < kDirs; ++j) {
        std::vector<double> r1(res.size()), v1(nw);
        ASSERT_EQ(velt_vJ(f.net.h, f.in.w.data(), nw, f.in.U.data() + std::size_t(j) * kRows * kOut, 0, f.in.X.data(),
                          f.in.Y.data(), kRows, kCols, kOut, r1.data(), v1.data()),
                  0);
        for (std::size_t e = 0; e < res.size(); ++e)
            ASSERT_NEAR(res[e], r1[e], 1e-12 * (1.0 + std::fabs(r1[e]))) << "term " << e;
        for (unsigned i = 0; i < nw; ++i)
            ASSERT_NEAR(vJ[std::size_t(j) * nw + i], v1[i], 1e-12 * (1.0 + std::fabs(v1[i]))) << j << " " << i;
    }
}

// With the same batches on one thread, velt_vJ_vec's sweeps (which share the activation's slopes
// across the weight arrays) give velt_vJ's bits (which applies the activation's adjoint).
TEST(BatchReading, VectorJacobianRowsAreSingleProductsBitForBit) {
    for (const char* activation : {"softplus", "softplus_shifted", "atan", "relu"}) {
        const std::string d = std::string("3 2 3 1 16 3 8 8 ") + activation + " sum_log_dnorm_fat";
        Net net(d);
        const unsigned nw = net.numel();
        const Inputs in;
        const std::vector<double> w = random_vector(nw, 21, 0.5);
        ASSERT_EQ(velt_setpar(net.h, 1, 32), 0);
        std::vector<double> res(std::size_t(kRows) * kOut), vJ(std::size_t(nw) * kDirs);
        ASSERT_EQ(velt_vJ_vec(net.h, w.data(), nw, in.U.data(), kDirs, in.X.data(), in.Y.data(), kRows, kCols, kOut,
                              res.data(), vJ.data()),
                  0);
        for (unsigned j = 0; j < kDirs; ++j) {
            std::vector<double> r1(res.size()), v1(nw);
            ASSERT_EQ(velt_vJ(net.h, w.data(), nw, in.U.data() + std::size_t(j) * kRows * kOut, 0, in.X.data(),
                              in.Y.data(), kRows, kCols, kOut, r1.data(), v1.data()),
                      0);
            EXPECT_TRUE(same_bits(r1, res)) << activation;
            EXPECT_TRUE(same_bits(v1, std::vector<double>(vJ.begin() + std::size_t(j) * nw,
                                                          vJ.begin() + std::size_t(j + 1) * nw)))
                << activation << " array " << j;
        }
    }
}
