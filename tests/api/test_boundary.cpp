// The C boundary: null handles, refused counts and arrays, too many input columns, and
// floating-point events (-2) with the caller's floating-point environment and BLAS thread count
// restored. Every case that a faulty library could turn into a crash, an exit or a signal runs
// in a child process; the child reports the failed checks on standard error and exits 1.
#include <gtest/gtest.h>

#include <cblas.h>
#include <fenv.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/net.h"
#include "veltn.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Checks {
    std::string failures;
    void expect(bool ok, std::string const& what) {
        if (!ok) failures += what + "\n";
    }
};

[[noreturn]] void finish_child(Checks const& c) {
    if (!c.failures.empty()) {
        std::fputs(c.failures.c_str(), stderr);
        std::fflush(stderr);
        _exit(1);
    }
    _exit(0);
}

void use_threadsafe_death_tests() {
#ifdef GTEST_FLAG_SET
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#else
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
#endif
}

// Runs body(checks) in a child process; the test fails if the child dies or a check failed
// (the child's standard error then lists the failed checks).
void expect_child_passes(std::function<void(Checks&)> const& body) {
    use_threadsafe_death_tests();
    EXPECT_EXIT(
        {
            Checks checks;
            body(checks);
            finish_child(checks);
        },
        ::testing::ExitedWithCode(0), "");
}

struct Outcome {
    int rc;
    std::string err;
};

Outcome captured(std::function<int()> const& call) {
    CaptureFd e(2);
    const int rc = call();
    return {rc, e.text()};
}

std::size_t count_lines(std::string const& s) { return std::size_t(std::count(s.begin(), s.end(), '\n')); }

// rc is `status`, standard error got exactly one line mentioning `needle`, and
// velt_last_error() gives the same text without the line break.
void expect_one_line(Checks& c, std::string const& what, Outcome const& o, int status, std::string const& needle) {
    c.expect(o.rc == status, what + ": returned " + std::to_string(o.rc) + ", want " + std::to_string(status));
    c.expect(count_lines(o.err) == 1 && o.err.back() == '\n', what + ": want one line on stderr, got \"" + o.err + "\"");
    c.expect(o.err.find(needle) != std::string::npos, what + ": stderr \"" + o.err + "\" lacks \"" + needle + "\"");
    if (!o.err.empty())
        c.expect(std::string(velt_last_error()) == o.err.substr(0, o.err.size() - 1),
                 what + ": velt_last_error() is \"" + velt_last_error() + "\", stderr was \"" + o.err + "\"");
}

bool all_equal(std::vector<double> const& v, double x) {
    for (double y : v)
        if (!(y == x)) return false;
    return true;
}

const char* kExample = "3 1 3 1 16 3 8 8 softplus sum";

// Overflows to +inf and -inf in the hidden layer, then inf + (-inf) in the output layer: an
// invalid operation from finite inputs. Parameters: b0 (2), W0 (1 x 2), b1, W1 (2 x 1).
const char* kInfMinusInf = "1 1 2 1 16 1 2 id sum";
const std::vector<double> kInfMinusInfPar = {0.0, 0.0, 1e200, -1e200, 0.0, 1.0, 1.0};

int blas_threads_or_skip() {
    openblas_set_num_threads(2);
    return openblas_get_num_threads();
}

}  // namespace

TEST(BoundaryDeathTest, NullHandleIsRefusedEverywhere) {
    expect_child_passes([](Checks& c) {
        const std::vector<double> par(113, 0.5), X(6, 1.0), Y(2, 0.0);
        std::vector<double> out(8, -7.0);
        uint32_t rows = 11, cols = 12, n = 13;
        struct Call {
            const char* name;
            std::function<int()> f;
        } calls[] = {
            {"velt_compute", [&] { return velt_compute(nullptr, par.data(), 113, X.data(), 2, 3, 0, out.data()); }},
            {"velt_residual",
             [&] { return velt_residual(nullptr, par.data(), 113, X.data(), Y.data(), 2, 3, 1, out.data()); }},
            {"velt_obj", [&] { return velt_obj(nullptr, par.data(), 113, X.data(), Y.data(), 2, 3, 1, out.data()); }},
            {"velt_objv", [&] { return velt_objv(nullptr, par.data(), 113, X.data(), Y.data(), 2, 3, 1, out.data()); }},
            {"velt_norm", [&] { return velt_norm(nullptr, X.data(), 2, 3, out.data()); }},
            {"velt_logp", [&] { return velt_logp(nullptr, X.data(), 6, out.data()); }},
            {"velt_weights", [&] { return velt_weights(nullptr, 0, nullptr, &rows, &cols); }},
            {"velt_weights", [&] { return velt_weights(nullptr, 0, out.data(), &rows, &cols); }},
            {"velt_bias", [&] { return velt_bias(nullptr, 0, nullptr, &n); }},
            {"velt_setweights", [&] { return velt_setweights(nullptr, par.data(), 113); }},
            {"velt_getweights", [&] { return velt_getweights(nullptr, out.data(), 4); }},
            {"velt_setbatch", [&] { return velt_setbatch(nullptr, 16); }},
            {"velt_setpar", [&] { return velt_setpar(nullptr, 2, 16); }},
        };
        for (auto const& call : calls) expect_one_line(c, call.name, captured(call.f), -1, call.name);
        c.expect(all_equal(out, -7.0), "an output array was written");
        c.expect(rows == 11 && cols == 12 && n == 13, "a count output was written");
        c.expect(velt_numel(nullptr) == 0, "velt_numel(NULL)");
        c.expect(velt_numin(nullptr) == 0, "velt_numin(NULL)");
        c.expect(velt_numout(nullptr) == 0, "velt_numout(NULL)");
        releaseVELTNet(nullptr);
    });
}

TEST(BoundaryDeathTest, TooManyInputColumnsIsRefusedAndTheProcessGoesOn) {
    expect_child_passes([](Checks& c) {
        Net n(kExample);  // numin 3, sizes[0] 3
        Net wide("5 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat");  // numin 5, sizes[0] 3
        c.expect(n.h && wide.h, "handles");
        velt_setpar(n.h, 2, 32);
        const std::vector<double> par(113, 0.1), X(100 * 5, 0.5), Y(100, 0.0);
        std::vector<double> out(100, -7.0);
        double J = -7.0;
        auto check = [&](const char* what, std::string const& line, std::function<int()> f) {
            const Outcome o = captured(f);
            c.expect(o.rc == -1, std::string(what) + ": returned " + std::to_string(o.rc));
            c.expect(o.err == line, std::string(what) + ": stderr \"" + o.err + "\"");
            c.expect(std::string(velt_last_error()) + "\n" == line,
                     std::string(what) + ": velt_last_error() \"" + velt_last_error() + "\"");
        };
        const std::string five = "too many predicates: 5 > 3\n", four = "too many predicates: 4 > 3\n";
        check("compute", five, [&] { return velt_compute(n.h, par.data(), 113, X.data(), 2, 5, 0, out.data()); });
        check("residual", five,
              [&] { return velt_residual(n.h, par.data(), 113, X.data(), Y.data(), 2, 5, 1, out.data()); });
        check("obj (batched)", five,
              [&] { return velt_obj(n.h, par.data(), 113, X.data(), Y.data(), 100, 5, 1, &J); });
        check("objv (batched)", five,
              [&] { return velt_objv(n.h, par.data(), 113, X.data(), Y.data(), 100, 5, 1, out.data()); });
        // Within numin but wider than the first layer.
        check("compute, sizes[0]", four,
              [&] { return velt_compute(wide.h, par.data(), 113, X.data(), 2, 4, 0, out.data()); });
        check("obj, sizes[0]", four,
              [&] { return velt_obj(wide.h, par.data(), 113, X.data(), Y.data(), 2, 4, 1, &J); });
        c.expect(all_equal(out, -7.0) && J == -7.0, "outputs were written");
        // The handle is still usable.
        c.expect(velt_compute(n.h, par.data(), 113, X.data(), 2, 3, 0, out.data()) == 0, "later call");
    });
}

TEST(BoundaryDeathTest, CountsAndNullArraysAreRefusedBeforeAnyArrayIsTouched) {
    expect_child_passes([](Checks& c) {
        Net n("3 2 3 1 16 3 8 8 softplus sum_log_dnorm_fat");
        const uint32_t P = n.numel();  // 8 + 24 + 8 + 64 + 2 + 16
        c.expect(P == 122, "numel");
        const std::vector<double> par(P, 0.1), X(12, 0.5), Y(8, 0.0);
        std::vector<double> out(8, -7.0);
        double J = -7.0;
        struct Call {
            const char* name;
            std::function<int()> f;
        } calls[] = {
            // Cy different from numout.
            {"velt_residual", [&] { return velt_residual(n.h, par.data(), P, X.data(), Y.data(), 4, 3, 1, out.data()); }},
            {"velt_obj", [&] { return velt_obj(n.h, par.data(), P, X.data(), Y.data(), 4, 3, 3, &J); }},
            {"velt_objv", [&] { return velt_objv(n.h, par.data(), P, X.data(), Y.data(), 4, 3, 1, out.data()); }},
            // Fewer parameters than the network has.
            {"velt_compute", [&] { return velt_compute(n.h, par.data(), P - 1, X.data(), 4, 3, 0, out.data()); }},
            {"velt_residual",
             [&] { return velt_residual(n.h, par.data(), P - 1, X.data(), Y.data(), 4, 3, 2, out.data()); }},
            {"velt_obj", [&] { return velt_obj(n.h, par.data(), 0, X.data(), Y.data(), 4, 3, 2, &J); }},
            {"velt_objv", [&] { return velt_objv(n.h, par.data(), P - 1, X.data(), Y.data(), 4, 3, 2, out.data()); }},
            // No rows for a mean, no elements for a norm.
            {"velt_obj", [&] { return velt_obj(n.h, par.data(), P, X.data(), Y.data(), 0, 3, 2, &J); }},
            {"velt_norm", [&] { return velt_norm(n.h, X.data(), 0, 3, &J); }},
            {"velt_norm", [&] { return velt_norm(n.h, X.data(), 3, 0, &J); }},
            // Null arrays where the counts say there are values.
            {"velt_compute", [&] { return velt_compute(n.h, nullptr, P, X.data(), 4, 3, 0, out.data()); }},
            {"velt_compute", [&] { return velt_compute(n.h, par.data(), P, nullptr, 4, 3, 0, out.data()); }},
            {"velt_compute", [&] { return velt_compute(n.h, par.data(), P, X.data(), 4, 3, 0, nullptr); }},
            {"velt_residual", [&] { return velt_residual(n.h, par.data(), P, X.data(), nullptr, 4, 3, 2, out.data()); }},
            {"velt_residual", [&] { return velt_residual(n.h, par.data(), P, X.data(), Y.data(), 4, 3, 2, nullptr); }},
            {"velt_obj", [&] { return velt_obj(n.h, par.data(), P, nullptr, Y.data(), 4, 3, 2, &J); }},
            {"velt_obj", [&] { return velt_obj(n.h, par.data(), P, X.data(), nullptr, 4, 3, 2, &J); }},
            {"velt_obj", [&] { return velt_obj(n.h, par.data(), P, X.data(), Y.data(), 4, 3, 2, nullptr); }},
            {"velt_objv", [&] { return velt_objv(n.h, par.data(), P, X.data(), nullptr, 4, 3, 2, out.data()); }},
            {"velt_objv", [&] { return velt_objv(n.h, par.data(), P, X.data(), Y.data(), 4, 3, 2, nullptr); }},
            {"velt_norm", [&] { return velt_norm(n.h, nullptr, 2, 3, &J); }},
            {"velt_norm", [&] { return velt_norm(n.h, X.data(), 2, 3, nullptr); }},
            {"velt_logp", [&] { return velt_logp(n.h, nullptr, 4, out.data()); }},
            {"velt_logp", [&] { return velt_logp(n.h, X.data(), 4, nullptr); }},
            {"velt_getweights", [&] { return velt_getweights(n.h, nullptr, 3); }},
        };
        for (auto const& call : calls) expect_one_line(c, call.name, captured(call.f), -1, call.name);
        c.expect(all_equal(out, -7.0) && J == -7.0, "an output was written by a refused call");
    });
}

TEST(BoundaryDeathTest, NonFiniteInputsAreFloatingPointEvents) {
    expect_child_passes([](Checks& c) {
        for (std::string const d : {"3 1 3 1 16 3 8 8 id sum", "3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat"}) {
            Net n(d);
            const std::vector<double> par = random_vector(113, 7, 0.3);
            for (double bad : {kNaN, kInf, -kInf}) {
                const std::string tag = d + ", value " + std::to_string(bad) + ", ";
                std::vector<double> X(12, 0.5), Y(4, 0.25), out(4, 0.0);
                double J = 0;
                X[4] = bad;
                expect_one_line(c, tag + "X to velt_compute",
                                captured([&] { return velt_compute(n.h, par.data(), 113, X.data(), 4, 3, 0, out.data()); }),
                                -2, "velt_compute");
                expect_one_line(c, tag + "X to velt_obj",
                                captured([&] { return velt_obj(n.h, par.data(), 113, X.data(), Y.data(), 4, 3, 1, &J); }),
                                -2, "velt_obj");
                X[4] = 0.5;
                Y[2] = bad;
                expect_one_line(
                    c, tag + "Y to velt_residual",
                    captured([&] { return velt_residual(n.h, par.data(), 113, X.data(), Y.data(), 4, 3, 1, out.data()); }),
                    -2, "velt_residual");
                expect_one_line(
                    c, tag + "Y to velt_objv",
                    captured([&] { return velt_objv(n.h, par.data(), 113, X.data(), Y.data(), 4, 3, 1, out.data()); }),
                    -2, "velt_objv");
                expect_one_line(c, tag + "Y to velt_obj",
                                captured([&] { return velt_obj(n.h, par.data(), 113, X.data(), Y.data(), 4, 3, 1, &J); }),
                                -2, "velt_obj");
            }
        }
    });
}

TEST(BoundaryDeathTest, EventsFromFiniteInputsAreReportedWithTheEvent) {
    expect_child_passes([](Checks& c) {
        Net n(kInfMinusInf);
        c.expect(n.numel() == kInfMinusInfPar.size(), "numel");
        const double X[2] = {1e200, 1.0}, Y[2] = {0.0, 0.0};
        double J = 0, out[2];
        expect_one_line(c, "inf - inf in velt_obj",
                        captured([&] { return velt_obj(n.h, kInfMinusInfPar.data(), 7, X, Y, 2, 1, 1, &J); }), -2,
                        "invalid");
        expect_one_line(c, "inf - inf in velt_compute",
                        captured([&] { return velt_compute(n.h, kInfMinusInfPar.data(), 7, X, 1, 1, 0, out); }), -2,
                        "velt_compute");
        // r * r overflows in the fat-tailed norm.
        Net fat("1 1 2 1 16 1 1 id sum_log_dnorm_fat");
        const double r[2] = {1e200, 0.5};
        expect_one_line(c, "velt_norm overflow", captured([&] { return velt_norm(fat.h, r, 1, 2, &J); }), -2,
                        "velt_norm");
        expect_one_line(c, "velt_logp overflow", captured([&] { return velt_logp(fat.h, r, 2, out); }), -2,
                        "velt_logp");
        // The sum of two finite values overflows.
        Net sum("1 1 2 1 16 1 1 id sum");
        const double big[2] = {1.5e308, 1.5e308};
        expect_one_line(c, "velt_norm sum overflow", captured([&] { return velt_norm(sum.h, big, 2, 1, &J); }), -2,
                        "overflow");
        // The handle is still usable afterwards.
        const double ok[2] = {1.0, 2.0};
        c.expect(velt_norm(sum.h, ok, 2, 1, &J) == 0 && J == 1.5, "later call");
    });
}

TEST(BoundaryDeathTest, CallersTrapsSurviveACallThatRaisesInvalid) {
    expect_child_passes([](Checks& c) {
        Net n(kInfMinusInf);
        const double X[1] = {1e200}, Y[1] = {0.0};
        double J = 0;
        std::string err;
        int rc, before, after;
        {
            CaptureFd e(2);
            feclearexcept(FE_ALL_EXCEPT);
            feenableexcept(FE_INVALID);
            before = fegetexcept();
            rc = velt_obj(n.h, kInfMinusInfPar.data(), 7, X, Y, 1, 1, 1, &J);
            after = fegetexcept();
            fedisableexcept(FE_ALL_EXCEPT);
            err = e.text();
        }
        c.expect(rc == -2, "returned " + std::to_string(rc));
        c.expect(after == before, "trap mask changed from " + std::to_string(before) + " to " + std::to_string(after));
        c.expect(count_lines(err) == 1 && err.find("velt_obj") != std::string::npos, "stderr \"" + err + "\"");

        // All three traps enabled, events in a norm: overflow and division by zero.
        Net fat("1 1 2 1 16 1 1 id sum_log_dnorm_fat");
        const double r[1] = {1e200};
        {
            CaptureFd e(2);
            feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
            before = fegetexcept();
            rc = velt_norm(fat.h, r, 1, 1, &J);
            after = fegetexcept();
            fedisableexcept(FE_ALL_EXCEPT);
            err = e.text();
        }
        c.expect(rc == -2, "velt_norm returned " + std::to_string(rc));
        c.expect(after == before, "trap mask changed by velt_norm");

        // A successful call leaves the caller's traps as they were.
        Net ok(kExample);
        const std::vector<double> par(113, 0.1), Xs(6, 0.5), Ys(2, 0.0);
        feenableexcept(FE_INVALID | FE_OVERFLOW);
        before = fegetexcept();
        rc = velt_obj(ok.h, par.data(), 113, Xs.data(), Ys.data(), 2, 3, 1, &J);
        after = fegetexcept();
        fedisableexcept(FE_ALL_EXCEPT);
        c.expect(rc == 0, "successful call returned " + std::to_string(rc));
        c.expect(after == before, "trap mask changed by a successful call");
    });
}

TEST(BoundaryDeathTest, StickyFlagsAndRoundingModeAreRestored) {
    expect_child_passes([](Checks& c) {
        Net ok(kExample);
        Net bad(kInfMinusInf);
        const std::vector<double> par(113, 0.1), X(6, 0.5), Y(2, 0.0);
        const double Xb[1] = {1e200}, Yb[1] = {0.0};
        double J = 0;
        int rc, flags;
        CaptureFd quiet(2);

        // Flags the caller set survive a successful call; the call's own flags (inexact at
        // least) do not leak.
        feclearexcept(FE_ALL_EXCEPT);
        feraiseexcept(FE_DIVBYZERO | FE_UNDERFLOW);
        rc = velt_obj(ok.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, &J);
        flags = fetestexcept(FE_ALL_EXCEPT);
        c.expect(rc == 0, "successful call returned " + std::to_string(rc));
        c.expect(flags == (FE_DIVBYZERO | FE_UNDERFLOW), "flags after a successful call: " + std::to_string(flags));

        // An invalid flag set before the call is not blamed on the call.
        feclearexcept(FE_ALL_EXCEPT);
        feraiseexcept(FE_INVALID);
        rc = velt_obj(ok.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, &J);
        flags = fetestexcept(FE_ALL_EXCEPT);
        c.expect(rc == 0, "call with a stale invalid flag returned " + std::to_string(rc));
        c.expect(flags == FE_INVALID, "flags after a call with a stale invalid flag: " + std::to_string(flags));

        // Events raised by a failing call do not leak.
        feclearexcept(FE_ALL_EXCEPT);
        feraiseexcept(FE_UNDERFLOW);
        rc = velt_obj(bad.h, kInfMinusInfPar.data(), 7, Xb, Yb, 1, 1, 1, &J);
        flags = fetestexcept(FE_ALL_EXCEPT);
        c.expect(rc == -2, "failing call returned " + std::to_string(rc));
        c.expect(flags == FE_UNDERFLOW, "flags after a failing call: " + std::to_string(flags));

        // Nor do those of a refused call.
        feclearexcept(FE_ALL_EXCEPT);
        rc = velt_obj(ok.h, par.data(), 113, X.data(), Y.data(), 0, 3, 1, &J);
        flags = fetestexcept(FE_ALL_EXCEPT);
        c.expect(rc == -1, "refused call returned " + std::to_string(rc));
        c.expect(flags == 0, "flags after a refused call: " + std::to_string(flags));

        // The rounding mode.
        fesetround(FE_UPWARD);
        rc = velt_obj(ok.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, &J);
        const int mode = fegetround();
        fesetround(FE_TONEAREST);
        c.expect(mode == FE_UPWARD, "rounding mode changed");
    });
}

TEST(BoundaryDeathTest, BlasThreadCountIsRestoredOnEveryPath) {
    const int saved = openblas_get_num_threads();
    if (blas_threads_or_skip() != 2) {
        openblas_set_num_threads(saved);
        GTEST_SKIP() << "the BLAS does not accept 2 threads here";
    }
    openblas_set_num_threads(saved);
    expect_child_passes([](Checks& c) {
        Net ok(kExample);
        Net bad(kInfMinusInf);
        const std::vector<double> par(113, 0.1), X(6, 0.5), Y(2, 0.0);
        const double Xb[1] = {1e200}, Yb[1] = {0.0};
        double J = 0;
        CaptureFd quiet(2);
        openblas_set_num_threads(2);
        c.expect(velt_obj(ok.h, par.data(), 113, X.data(), Y.data(), 2, 3, 1, &J) == 0, "success");
        c.expect(openblas_get_num_threads() == 2, "after success: " + std::to_string(openblas_get_num_threads()));
        c.expect(velt_obj(ok.h, par.data(), 113, X.data(), Y.data(), 2, 9, 1, &J) == -1, "refused");
        c.expect(openblas_get_num_threads() == 2, "after -1: " + std::to_string(openblas_get_num_threads()));
        c.expect(velt_obj(bad.h, kInfMinusInfPar.data(), 7, Xb, Yb, 1, 1, 1, &J) == -2, "event");
        c.expect(openblas_get_num_threads() == 2, "after -2: " + std::to_string(openblas_get_num_threads()));
        c.expect(initVELTNet("0 0", 3) == nullptr, "invalid description");
        c.expect(openblas_get_num_threads() == 2, "after initVELTNet: " + std::to_string(openblas_get_num_threads()));
    });
}

TEST(BoundaryDeathTest, EventsInAWorkerThreadAreReported) {
    expect_child_passes([](Checks& c) {
        // R = 100, batch 32, 2 threads: thread 1 (a worker) takes batches 2 and 3 (rows 64..99).
        const std::string d = "1 1 2 1 16 1 1 id sum";
        Net n(d);
        c.expect(velt_setpar(n.h, 2, 32) == 0, "setpar");
        const std::vector<double> par = {0.0, 1e200, 0.0, 1.0};  // b0, w0, b1, w1
        std::vector<double> X(100, 1.0), Y(100, 0.0), out(100);
        double J = 0;
        for (std::size_t r = 96; r < 100; ++r) X[r] = 1e200;  // 1e200 * 1e200 overflows
        expect_one_line(c, "overflow in the last batch, velt_obj",
                        captured([&] { return velt_obj(n.h, par.data(), 4, X.data(), Y.data(), 100, 1, 1, &J); }), -2,
                        "overflow");
        expect_one_line(c, "overflow in the last batch, velt_objv",
                        captured([&] { return velt_objv(n.h, par.data(), 4, X.data(), Y.data(), 100, 1, 1, out.data()); }),
                        -2, "overflow");
        // The same rows in the first batch (the calling thread).
        std::vector<double> X0(100, 1.0);
        for (std::size_t r = 0; r < 4; ++r) X0[r] = 1e200;
        expect_one_line(c, "overflow in the first batch",
                        captured([&] { return velt_obj(n.h, par.data(), 4, X0.data(), Y.data(), 100, 1, 1, &J); }), -2,
                        "overflow");

        // A NaN only in the last batch's rows.
        Net s("3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat");
        velt_setpar(s.h, 2, 32);
        const auto p = random_vector(113, 9, 0.3);
        std::vector<double> Xs(300, 0.2), Ys(100, 0.1);
        Xs[3 * 98 + 1] = kNaN;
        expect_one_line(c, "NaN in the last batch, velt_obj",
                        captured([&] { return velt_obj(s.h, p.data(), 113, Xs.data(), Ys.data(), 100, 3, 1, &J); }), -2,
                        "velt_obj");
        expect_one_line(c, "NaN in the last batch, velt_objv",
                        captured([&] { return velt_objv(s.h, p.data(), 113, Xs.data(), Ys.data(), 100, 3, 1, out.data()); }),
                        -2, "velt_objv");
        // The same with a network whose arithmetic carries a NaN along without raising anything.
        Net quiet("3 1 3 1 16 3 8 8 id sum");
        velt_setpar(quiet.h, 2, 32);
        expect_one_line(c, "NaN in the last batch, id network, velt_obj",
                        captured([&] { return velt_obj(quiet.h, p.data(), 113, Xs.data(), Ys.data(), 100, 3, 1, &J); }),
                        -2, "velt_obj");
        Xs[3 * 98 + 1] = 0.2;
        Ys[99] = kNaN;
        expect_one_line(
            c, "NaN target in the last batch, id network, velt_objv",
            captured([&] { return velt_objv(quiet.h, p.data(), 113, Xs.data(), Ys.data(), 100, 3, 1, out.data()); }), -2,
            "velt_objv");
        Ys[99] = 0.1;
        // A later clean call on the same handle succeeds (no event left behind in a worker).
        c.expect(velt_obj(s.h, p.data(), 113, Xs.data(), Ys.data(), 100, 3, 1, &J) == 0 && std::isfinite(J),
                 "clean call after the events");
    });
}

TEST(Boundary, SuccessfulCallsWriteNothingOnTheStandardStreams) {
    Net n("3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat");
    velt_setpar(n.h, 2, 8);
    const auto par = random_vector(113, 1, 0.3);
    const auto X = random_vector(60, 2);
    const auto Y = random_vector(20, 3);
    std::vector<double> out(20);
    double J;
    std::string o, e;
    {
        CaptureFd co(1), ce(2);
        EXPECT_EQ(velt_compute(n.h, par.data(), 113, X.data(), 20, 3, 0, out.data()), 0);
        EXPECT_EQ(velt_residual(n.h, par.data(), 113, X.data(), Y.data(), 20, 3, 1, out.data()), 0);
        EXPECT_EQ(velt_obj(n.h, par.data(), 113, X.data(), Y.data(), 20, 3, 1, &J), 0);
        EXPECT_EQ(velt_objv(n.h, par.data(), 113, X.data(), Y.data(), 20, 3, 1, out.data()), 0);
        EXPECT_EQ(velt_norm(n.h, Y.data(), 4, 5, &J), 0);
        EXPECT_EQ(velt_logp(n.h, Y.data(), 20, out.data()), 0);
        o = co.text();
        e = ce.text();
    }
    EXPECT_EQ(o, "");
    EXPECT_EQ(e, "");
}

TEST(Boundary, VersionQueriesMatchTheHeader) {
    EXPECT_EQ(velt_version_number(), unsigned(VELTN_VERSION_NUMBER));
    EXPECT_STREQ(velt_version_string(), VELTN_VERSION_STRING);
}

// A caller in another rounding mode gets the round-to-nearest results, bit for bit, from the
// calling thread and from worker threads alike, and keeps its mode.
TEST(Boundary, ResultsDoNotDependOnTheCallersRoundingMode) {
    Net n("3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat");
    velt_setpar(n.h, 2, 8);
    const unsigned P = n.numel(), R = 40;
    const auto w = random_vector(P, 1, 0.3), X = random_vector(R * 3, 2), Y = random_vector(R, 3),
               V = random_vector(2 * P, 4);
    auto results = [&] {
        std::vector<double> r(1 + 3 * P);
        EXPECT_EQ(velt_Hv(n.h, w.data(), P, V.data(), 2, X.data(), Y.data(), R, 3, 1, &r[0], &r[1], &r[1 + P]), 0);
        return r;
    };
    const std::vector<double> nearest = results();
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        fesetround(mode);
        const std::vector<double> got = results();
        const int after = fegetround();
        fesetround(FE_TONEAREST);
        EXPECT_EQ(after, mode);
        EXPECT_EQ(std::memcmp(got.data(), nearest.data(), got.size() * sizeof(double)), 0) << "mode " << mode;
    }
}

// Each product refuses only the counts it stores: velt_Hv keeps k * nw values whatever the rows,
// velt_Jv keeps k * n * nout.
TEST(Boundary, ProductsRefuseOnlyTheCountsTheyStore) {
    Net n("3 1 3 1 16 3 8 8 softplus sum");
    const unsigned P = n.numel();
    const uint32_t rows = 1u << 16, k = 1u << 16;  // rows * nout * k = 2^32
    double J;
    std::vector<double> g(P);
    CaptureFd quiet(2);
    EXPECT_EQ(velt_Hv(n.h, nullptr, P, nullptr, k, nullptr, nullptr, rows, 3, 1, &J, g.data(), nullptr), -1);
    EXPECT_EQ(std::string(velt_last_error()), "velt_Hv: Hv is null");
    EXPECT_EQ(velt_Jv(n.h, nullptr, P, nullptr, k, nullptr, nullptr, rows, 3, 1, nullptr, nullptr), -1);
    EXPECT_EQ(std::string(velt_last_error()), "velt_Jv: Jv has too many elements");
    EXPECT_EQ(velt_Hv(n.h, nullptr, P, nullptr, (1u << 31) / P * 2 + 2, nullptr, nullptr, 1, 3, 1, &J, g.data(),
                      nullptr),
              -1);
    EXPECT_EQ(std::string(velt_last_error()), "velt_Hv: V has too many elements");
}
