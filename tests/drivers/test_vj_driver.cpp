// vj_driver end to end: per-element terms against velt_objv, the vector-Jacobian product
// against finite differences of the weighted sum of the terms.
#include <cstdio>

#include <gtest/gtest.h>

#include "driver_test_util.h"
#include "support/fd.h"

using namespace dtest;

TEST(VjDriver, ProductMatchesFiniteDifferences) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 0, 51, true));
    const RunResult r = run_driver(VJ_DRIVER, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    Problem pb(dir.path());
    ASSERT_NE(pb.handle, nullptr);
    ASSERT_EQ(pb.D.rows, kRows);
    ASSERT_EQ(pb.D.cols, pb.numout);
    const Matrix res = load(dir.file("res.mat")), vJ = load(dir.file("vJ.mat")), t = load(dir.file("t.mat"));
    ASSERT_EQ(res.rows, kRows);
    ASSERT_EQ(res.cols, pb.numout);
    ASSERT_EQ(vJ.rows, 1u);
    ASSERT_EQ(vJ.cols, pb.npar);
    ASSERT_EQ(t.size(), 1u);
    // One line with the result's extents and the elapsed time as t.mat holds it (NN_TRACE unset).
    EXPECT_EQ(r.out, "vJ = 1 x " + std::to_string(vJ.cols) + ", " + default_format(t.data[0]) + " s\n");

    const std::vector<double> p = pb.params();
    expect_near_all(values(res), pb.objv(p), 1e-12, "res vs velt_objv");
    const std::vector<double> u = values(pb.D);
    auto weighted = [&](std::vector<double> const& q) {
        const std::vector<double> terms = pb.objv(q);
        double s = 0.0;
        for (std::size_t e = 0; e < terms.size(); ++e) s += u[e] * terms[e];
        return s;
    };
    const std::vector<double> want = fd::gradient(weighted, p);
    EXPECT_GT(max_abs(want), 1e-3);
    expect_fd_close(values(vJ), want, "vJ");
}

TEST(VjDriver, WeightShapeMustMatchTargets) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 51));
    Problem pb(dir.path());
    // Without --vj, d_v0.mat holds npar x 3 directions.
    const RunResult r = run_driver(VJ_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.file("d_v0.mat") + ": " + std::to_string(pb.npar) + " x 3 matrix, expected " +
                         std::to_string(kRows) + " x 2"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(dir.file("vJ.mat")));
}

TEST(VjDriver, MissingDirectionFileFailsToLoad) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 0, 51, true));
    std::remove(dir.file("d_v0.mat").c_str());
    const RunResult r = run_driver(VJ_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Failed to load data"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir.file("vJ.mat")));
}
