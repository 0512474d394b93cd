// hessian_driver end to end: the full Hessian against finite differences of the gradient and
// against hv_driver with identity directions.
#include <cmath>
#include <cstdio>

#include <gtest/gtest.h>

#include "driver_test_util.h"
#include "support/fd.h"

using namespace dtest;

TEST(HessianDriver, HessianMatchesFiniteDifferencesAndHvDriver) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 2, 21));
    const RunResult r = run_driver(HESSIAN_DRIVER, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    Problem pb(dir.path());
    ASSERT_NE(pb.handle, nullptr);
    const std::size_t n = pb.npar;
    const Matrix H = load(dir.file("H.mat")), g = load(dir.file("g.mat"));
    const Matrix J = load(dir.file("J.mat")), t = load(dir.file("t.mat"));
    ASSERT_EQ(H.rows, n);
    ASSERT_EQ(H.cols, n);
    ASSERT_EQ(g.rows, 1u);
    ASSERT_EQ(g.cols, n);
    ASSERT_EQ(J.size(), 1u);
    ASSERT_EQ(t.size(), 1u);
    const auto lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;  // no "cstr: " line
    expect_j_line(lines[0], J.data[0], t.data[0]);

    // Objective and gradient by the plain entry points.
    const std::vector<double> p = pb.params();
    double Jg = 0.0;
    const std::vector<double> gref = pb.grad(p, &Jg);
    EXPECT_NEAR(J.data[0], pb.obj(p), 1e-12 * std::fabs(Jg));
    expect_near_all(values(g), gref, 1e-10, "g vs velt_g");

    // Symmetric, and column j is the derivative of the gradient along e_j.
    const double scale = max_abs(values(H));
    EXPECT_GT(scale, 1e-3);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j)
            ASSERT_NEAR(H.data[i * n + j], H.data[j * n + i], 1e-10 * scale) << i << ", " << j;
    auto gradient = [&](std::vector<double> const& q) { return pb.grad(q); };
    for (std::size_t j = 0; j < n; ++j) {
        std::vector<double> e(n, 0.0);
        e[j] = 1.0;
        expect_fd_close(column(H, j), fd::jvp(gradient, p, e), "H column " + std::to_string(j));
    }

    // grad_driver on the same data agrees on J and g.
    TempDir gdir;
    ASSERT_NO_FATAL_FAILURE(make_problem(gdir.path(), kDescription, kRows, 2, 21));
    const RunResult rg = run_driver(GRAD_DRIVER, gdir.path());
    ASSERT_EQ(rg.status, 0) << rg.err;
    EXPECT_NEAR(load(gdir.file("J.mat")).data[0], J.data[0], 1e-12 * std::fabs(J.data[0]));
    expect_near_all(values(load(gdir.file("g.mat"))), values(g), 1e-10, "grad_driver g vs hessian_driver g");

    // hv_driver with the identity as d_v0.mat writes the same matrix.
    std::vector<double> eye(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) eye[i * (n + 1)] = 1.0;
    save(matrix(n, n, eye), gdir.file("d_v0.mat"));
    const RunResult rh = run_driver(HV_DRIVER, gdir.path());
    ASSERT_EQ(rh.status, 0) << rh.err;
    const Matrix Hv = load(gdir.file("Hv.mat"));
    ASSERT_EQ(Hv.rows, n);
    ASSERT_EQ(Hv.cols, n);
    expect_near_all(values(Hv), values(H), 1e-12, "hv_driver Hv with identity vs hessian_driver H");
}

TEST(HessianDriver, NeedsDirectionFile) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 2, 21));
    std::remove(dir.file("d_v0.mat").c_str());
    const RunResult r = run_driver(HESSIAN_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to load data"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(file_exists(dir.file("H.mat")));
}

TEST(HessianDriver, TooManyInputColumnsIsALibraryFailure) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 2, 21));
    save(matrix(kRows, 5, std::vector<double>(kRows * 5, 0.5)), dir.file("data.mat"));
    const RunResult r = run_driver(HESSIAN_DRIVER, dir.path());
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("too many predicates"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir.file("H.mat")));
}
