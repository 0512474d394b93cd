// jv_driver end to end: per-element terms against velt_objv, Jacobian-vector products against
// finite differences of velt_objv.
#include <cstdio>

#include <gtest/gtest.h>

#include "driver_test_util.h"
#include "support/fd.h"

using namespace dtest;

TEST(JvDriver, ProductsMatchFiniteDifferences) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 41));
    const RunResult r = run_driver(JV_DRIVER, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    Problem pb(dir.path());
    ASSERT_NE(pb.handle, nullptr);
    const Matrix res = load(dir.file("res.mat")), Jv = load(dir.file("Jv.mat")), t = load(dir.file("t.mat"));
    ASSERT_EQ(res.rows, kRows);
    ASSERT_EQ(res.cols, pb.numout);
    ASSERT_EQ(Jv.rows, kRows * pb.numout);
    ASSERT_EQ(Jv.cols, 3u);
    ASSERT_EQ(t.size(), 1u);
    // One line with the result's extents and the elapsed time as t.mat holds it (NN_TRACE unset).
    EXPECT_EQ(r.out, "Jv = " + std::to_string(Jv.rows) + " x " + std::to_string(Jv.cols) + ", " +
                         default_format(t.data[0]) + " s\n");
    EXPECT_FALSE(file_exists(dir.file("J.mat")));

    const std::vector<double> p = pb.params();
    expect_near_all(values(res), pb.objv(p), 1e-12, "res vs velt_objv");
    // Row e of Jv is objective term e (row-major in res) differentiated along column d of D.
    auto terms = [&](std::vector<double> const& q) { return pb.objv(q); };
    for (std::size_t d = 0; d < 3; ++d) {
        const std::vector<double> want = fd::jvp(terms, p, column(pb.D, d));
        EXPECT_GT(max_abs(want), 1e-3);
        expect_fd_close(column(Jv, d), want, "Jv column " + std::to_string(d));
    }
}

TEST(JvDriver, DirectionRowsMustMatchParameters) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 2, 41, true));
    Problem pb(dir.path());
    // make_problem --vj writes a rows x outputs weight matrix: wrong for jv_driver.
    const RunResult r = run_driver(JV_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.file("d_v0.mat") + ": " + std::to_string(kRows) + " x 2 matrix, expected " +
                         std::to_string(pb.npar) + " x 2"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(dir.file("Jv.mat")));
}

TEST(JvDriver, TooManyInputColumnsIsALibraryFailure) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 41));
    save(matrix(kRows, 4, std::vector<double>(kRows * 4, 0.5)), dir.file("data.mat"));
    const RunResult r = run_driver(JV_DRIVER, dir.path());
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("too many predicates"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir.file("Jv.mat")));
}
