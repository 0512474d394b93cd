// hv_driver end to end: Hessian-vector products against finite differences of the gradient.
#include <cmath>

#include <gtest/gtest.h>

#include "driver_test_util.h"
#include "support/fd.h"

using namespace dtest;

TEST(HvDriver, ProductsMatchFiniteDifferences) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 31));
    const RunResult r = run_driver(HV_DRIVER, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    Problem pb(dir.path());
    ASSERT_NE(pb.handle, nullptr);
    const std::size_t n = pb.npar;
    const Matrix Hv = load(dir.file("Hv.mat")), g = load(dir.file("g.mat"));
    const Matrix J = load(dir.file("J.mat")), t = load(dir.file("t.mat"));
    ASSERT_EQ(Hv.rows, n);
    ASSERT_EQ(Hv.cols, 3u);
    ASSERT_EQ(g.rows, 1u);
    ASSERT_EQ(g.cols, n);
    ASSERT_EQ(J.size(), 1u);
    ASSERT_EQ(t.size(), 1u);
    const auto lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    expect_j_line(lines[0], J.data[0], t.data[0]);

    const std::vector<double> p = pb.params();
    EXPECT_NEAR(J.data[0], pb.obj(p), 1e-12 * std::fabs(J.data[0]));
    expect_near_all(values(g), pb.grad(p), 1e-10, "g vs velt_g");
    auto gradient = [&](std::vector<double> const& q) { return pb.grad(q); };
    for (std::size_t d = 0; d < 3; ++d) {
        const std::vector<double> want = fd::jvp(gradient, p, column(pb.D, d));
        EXPECT_GT(max_abs(want), 1e-3);
        expect_fd_close(column(Hv, d), want, "Hv column " + std::to_string(d));
    }

    // One direction at a time gives the same columns (an npar x 1 Hv.mat each time).
    for (std::size_t d = 0; d < 3; ++d) {
        save(matrix(n, 1, column(pb.D, d)), dir.file("d_v0.mat"));
        const RunResult r1 = run_driver(HV_DRIVER, dir.path());
        ASSERT_EQ(r1.status, 0) << r1.err;
        const Matrix one = load(dir.file("Hv.mat"));
        ASSERT_EQ(one.rows, n);
        ASSERT_EQ(one.cols, 1u);
        expect_near_all(values(one), column(Hv, d), 1e-10, "single direction " + std::to_string(d));
    }
}

TEST(HvDriver, DirectionRowsMustMatchParameters) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 31));
    Problem pb(dir.path());
    const std::size_t n = pb.npar;
    save(matrix(n - 1, 3, std::vector<double>((n - 1) * 3, 1.0)), dir.file("d_v0.mat"));
    const RunResult r = run_driver(HV_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.file("d_v0.mat") + ": " + std::to_string(n - 1) + " x 3 matrix, expected " +
                         std::to_string(n) + " x 3"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(file_exists(dir.file("Hv.mat")));
}

TEST(HvDriver, MissingDirectionFileFailsToLoad) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 31));
    std::remove(dir.file("d_v0.mat").c_str());
    const RunResult r = run_driver(HV_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to load data"), std::string::npos) << r.err;
}
