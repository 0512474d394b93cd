// make_problem and the example data directory.
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "driver_test_util.h"
#include "veltn.h"

using namespace dtest;

namespace {
const char* const kFiles[] = {"config.txt", "data.mat", "specs.mat", "v0.mat", "d_v0.mat"};
}

TEST(MakeProblem, WritesShapesAndPlausibleValues) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 4, 3));
    Problem pb(dir.path());
    ASSERT_NE(pb.handle, nullptr);
    EXPECT_EQ(pb.description, std::string(kDescription) + "  ");
    EXPECT_EQ(read_bytes(dir.file("config.txt")).at(0), '#');
    EXPECT_EQ(pb.X.rows, kRows);
    EXPECT_EQ(pb.X.cols, velt_numin(pb.handle));
    EXPECT_EQ(pb.Y.rows, kRows);
    EXPECT_EQ(pb.Y.cols, pb.numout);
    EXPECT_EQ(pb.P.size(), pb.npar);
    EXPECT_EQ(pb.D.rows, pb.npar);
    EXPECT_EQ(pb.D.cols, 4u);
    for (double x : pb.X.data) {
        EXPECT_GE(x, -1.0);
        EXPECT_LE(x, 1.0);
    }
    // Every parameter drawn (no zeros), on a modest scale.
    for (double v : pb.P.data) EXPECT_NE(v, 0.0);
    EXPECT_LT(max_abs(values(pb.P)), 10.0);
    // Targets are the outputs plus noise: residuals neither zero nor wild.
    std::vector<double> F(pb.Y.size());
    ASSERT_EQ(velt_compute(pb.handle, &pb.P.data[0], pb.npar, &pb.X.data[0], uint32_t(pb.X.rows),
                           uint32_t(pb.X.cols), 0, F.data()),
              0);
    double ss = 0.0;
    for (std::size_t e = 0; e < F.size(); ++e) ss += (F[e] - pb.Y.data[e]) * (F[e] - pb.Y.data[e]);
    const double rms = std::sqrt(ss / F.size());
    EXPECT_GT(rms, 0.05);
    EXPECT_LT(rms, 5.0);

    TempDir vj;
    ASSERT_NO_FATAL_FAILURE(make_problem(vj.path(), kDescription, kRows, 4, 3, true));
    const Matrix D = load(vj.file("d_v0.mat"));
    EXPECT_EQ(D.rows, kRows);
    EXPECT_EQ(D.cols, pb.numout);
}

TEST(MakeProblem, SameSeedSameFiles) {
    TempDir a, b, c;
    ASSERT_NO_FATAL_FAILURE(make_problem(a.path(), kDescription, kRows, 2, 99));
    ASSERT_NO_FATAL_FAILURE(make_problem(b.path(), kDescription, kRows, 2, 99));
    ASSERT_NO_FATAL_FAILURE(make_problem(c.path(), kDescription, kRows, 2, 100));
    for (const char* f : kFiles) EXPECT_EQ(read_bytes(a.file(f)), read_bytes(b.file(f))) << f;
    EXPECT_NE(read_bytes(a.file("data.mat")), read_bytes(c.file("data.mat")));
    EXPECT_NE(read_bytes(a.file("v0.mat")), read_bytes(c.file("v0.mat")));
}

TEST(MakeProblem, RefusesBadArguments) {
    TempDir dir;
    EXPECT_EQ(run(MAKE_PROBLEM, {}).status, 2);
    EXPECT_EQ(run(MAKE_PROBLEM, {dir.path(), kDescription, "0"}).status, 2);
    EXPECT_EQ(run(MAKE_PROBLEM, {dir.path(), kDescription, "-3"}).status, 2);
    EXPECT_EQ(run(MAKE_PROBLEM, {dir.path(), kDescription, "10x"}).status, 2);
    const RunResult bad = run(MAKE_PROBLEM, {dir.path(), "0 1 2 1 16 3 3 id sum", "10"});
    EXPECT_EQ(bad.status, 3);
    EXPECT_NE(bad.err.find("Error: invalid network data"), std::string::npos) << bad.err;
    EXPECT_FALSE(file_exists(dir.file("data.mat")));
}

TEST(ExampleData, RunsAllFiveDrivers) {
    TempDir dir, vj;
    for (const char* f : kFiles) {
        std::filesystem::copy_file(std::string(VELTN_EXAMPLE_DATA) + "/" + f, dir.file(f));
        if (std::string(f) != "d_v0.mat") std::filesystem::copy_file(dir.file(f), vj.file(f));
    }
    std::filesystem::copy_file(std::string(VELTN_EXAMPLE_DATA) + "/../vj/d_v0.mat", vj.file("d_v0.mat"));
    std::size_t bytes = 0;
    for (const char* f : kFiles) bytes += read_bytes(dir.file(f)).size();
    EXPECT_LT(bytes, 50u * 1024);

    Problem pb(dir.path());
    ASSERT_NE(pb.handle, nullptr);
    EXPECT_EQ(pb.P.size(), pb.npar);
    EXPECT_EQ(pb.Y.rows, pb.X.rows);
    EXPECT_EQ(pb.Y.cols, pb.numout);
    EXPECT_EQ(pb.D.rows, pb.npar);
    EXPECT_GT(max_abs(values(pb.P)), 0.0);

    for (const char* prog : {GRAD_DRIVER, HESSIAN_DRIVER, HV_DRIVER, JV_DRIVER}) {
        const RunResult r = run_driver(prog, dir.path());
        EXPECT_EQ(r.status, 0) << prog << ": " << r.err;
        EXPECT_EQ(r.err, "") << prog;
        EXPECT_NE(r.out.find(", "), std::string::npos) << prog << " printed no elapsed time: " << r.out;
    }
    EXPECT_EQ(load(dir.file("g.mat")).size(), pb.npar);
    EXPECT_EQ(load(dir.file("H.mat")).size(), std::size_t(pb.npar) * pb.npar);
    const Matrix Hv = load(dir.file("Hv.mat")), Jv = load(dir.file("Jv.mat"));
    EXPECT_EQ(Hv.rows, pb.npar);
    EXPECT_EQ(Hv.cols, pb.D.cols);
    EXPECT_EQ(Jv.rows, pb.Y.size());
    EXPECT_EQ(Jv.cols, pb.D.cols);

    // The bundled weights (compressed Level 5) are 1/(R * numout) for every term, so vJ is the
    // gradient of the mean objective that grad_driver wrote.
    const Matrix w = load(vj.file("d_v0.mat"));
    ASSERT_EQ(w.rows, pb.Y.rows);
    ASSERT_EQ(w.cols, pb.Y.cols);
    for (double x : w.data) EXPECT_EQ(x, 1.0 / double(pb.Y.size()));
    const RunResult r = run_driver(VJ_DRIVER, vj.path());
    ASSERT_EQ(r.status, 0) << r.err;
    expect_near_all(values(load(vj.file("vJ.mat"))), values(load(dir.file("g.mat"))), 1e-13, "vJ vs g");
}
