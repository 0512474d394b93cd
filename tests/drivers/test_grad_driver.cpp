// grad_driver end to end in a temporary data directory.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>

#include <gtest/gtest.h>

#include "driver_test_util.h"
#include "support/fd.h"

using namespace dtest;

TEST(GradDriver, WritesGradientObjectiveAndTime) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    const RunResult r = run_driver(GRAD_DRIVER, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    Problem pb(dir.path());
    ASSERT_NE(pb.handle, nullptr);
    const Matrix g = load(dir.file("g.mat")), J = load(dir.file("J.mat")), t = load(dir.file("t.mat"));
    ASSERT_EQ(g.rows, 1u);
    ASSERT_EQ(g.cols, pb.npar);
    ASSERT_EQ(J.rows * J.cols, 1u);
    ASSERT_EQ(J.rows, 1u);
    ASSERT_EQ(t.rows, 1u);
    ASSERT_EQ(t.cols, 1u);
    EXPECT_GE(t.data[0], 0.0);
    EXPECT_LT(t.data[0], 60.0);

    // Printed lines: the description as read from config.txt (two trailing spaces), then J and t
    // exactly as the files hold them in default formatting.
    const auto lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], std::string("cstr: ") + kDescription + "  ");
    expect_j_line(lines[1], J.data[0], t.data[0]);

    // The objective by another entry point, and the gradient by finite differences of it.
    const std::vector<double> p = pb.params();
    EXPECT_NEAR(J.data[0], pb.obj(p), 1e-12 * std::fabs(pb.obj(p)) + 1e-15);
    const std::vector<double> want = fd::gradient([&](std::vector<double> const& q) { return pb.obj(q); }, p);
    expect_fd_close(values(g), want, "g");
    // And the library's own gradient on the same data, called directly.
    expect_near_all(values(g), pb.grad(p), 1e-12, "g vs velt_g");
    EXPECT_GT(max_abs(values(g)), 1e-3);  // the example data gives a non-trivial gradient
}

// A Level 4 file whose header lies costs two lines: the reader's, naming the file and the sizes,
// then the loader's. 20-byte header, 4-byte name, 9 doubles: 96 bytes for 10^12 announced values.
TEST(GradDriver, ALyingMatFileCostsTwoLinesThatNameIt) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    write_bytes(dir.file("data.mat"),
                u32(0) + u32(1000000) + u32(1000000) + u32(0) + u32(4) + "data" + f64s(std::vector<double>(9, 1.0)));
    const RunResult r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "input stream left in error state: " + dir.file("data.mat") +
                         ": Level 4 header announces 1000000 x 1000000 doubles, the file holds 96 bytes\n"
                         "Failed to load data\n");
}

TEST(GradDriver, MissingDirectionFileFailsToLoad) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    std::remove(dir.file("d_v0.mat").c_str());
    const RunResult r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open input file " + dir.file("d_v0.mat") + ": No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Failed to load data\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("J = "), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(dir.file("g.mat")));
    EXPECT_FALSE(file_exists(dir.file("J.mat")));
}

TEST(GradDriver, TooManyInputColumnsIsALibraryFailure) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    // numin is 3: four columns are refused by the library, not read past.
    std::vector<double> x(kRows * 4, 0.25);
    save(matrix(kRows, 4, x), dir.file("data.mat"));
    const RunResult r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("too many predicates"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir.file("g.mat")));
}

TEST(GradDriver, ShapeMismatchesAreRefused) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    Problem pb(dir.path());
    const std::string v0 = read_bytes(dir.file("v0.mat")), specs = read_bytes(dir.file("specs.mat"));

    // One parameter short.
    std::vector<double> p = pb.params();
    p.pop_back();
    save(matrix(1, p.size(), p), dir.file("v0.mat"));
    RunResult r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.file("v0.mat") + ": 1 x " + std::to_string(p.size()) + " matrix, expected " +
                         std::to_string(pb.npar) + " values"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(dir.file("g.mat")));
    write_bytes(dir.file("v0.mat"), v0);

    // Targets with one column where the network has two outputs.
    save(matrix(kRows, 1, std::vector<double>(kRows, 1.0)), dir.file("specs.mat"));
    r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.file("specs.mat") + ": " + std::to_string(kRows) + " x 1 matrix, expected " +
                         std::to_string(kRows) + " x 2"),
              std::string::npos)
        << r.err;

    // Targets with fewer rows than the inputs.
    save(matrix(kRows - 1, 2, std::vector<double>(2 * (kRows - 1), 1.0)), dir.file("specs.mat"));
    r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.file("specs.mat") + ": " + std::to_string(kRows - 1) + " x 2 matrix, expected " +
                         std::to_string(kRows) + " x 2"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(dir.file("g.mat")));
    write_bytes(dir.file("specs.mat"), specs);

    // A parameter vector of the right count in another shape is accepted.
    p = pb.params();
    save(matrix(p.size(), 1, p), dir.file("v0.mat"));
    r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(GradDriver, MissingConfigIsABadInput) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    std::remove(dir.file("config.txt").c_str());
    RunResult r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "cannot open input file " + dir.file("config.txt") + ": No such file or directory\n");
    EXPECT_FALSE(file_exists(dir.file("g.mat")));

    // A data directory that does not exist: the same.
    r = run_driver(GRAD_DRIVER, dir.file("absent"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot open input file " + dir.file("absent/config.txt") + ": No such file or directory\n");

    // A description the library rejects is the library's refusal.
    write_bytes(dir.file("config.txt"), "# bad\n0 1 2 1 16 3 3 id sum\n");
    const RunResult bad = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_EQ(bad.status, 3);
    EXPECT_NE(bad.err.find("Error: invalid network data"), std::string::npos) << bad.err;
}

TEST(GradDriver, UnwritableResultIsReported) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    // A directory where g.mat should go cannot be opened as a file.
    ASSERT_EQ(::mkdir(dir.file("g.mat").c_str(), 0755), 0);
    const RunResult r = run_driver(GRAD_DRIVER, dir.path());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("cannot write output file " + dir.file("g.mat") + ": "), std::string::npos) << r.err;
    // The other results are still written.
    EXPECT_TRUE(file_exists(dir.file("J.mat")));
    EXPECT_TRUE(file_exists(dir.file("t.mat")));
}

TEST(GradDriver, DataDirectoryFromTmp) {
    TempDir dir, other;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 3, 11));
    // TMP names the data directory when NN_DATA_DIR is unset; TEMP is ignored then.
    RunResult r = run(GRAD_DRIVER, {}, {"TMP=" + dir.path(), "TEMP=" + other.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(file_exists(dir.file("g.mat")));
    EXPECT_FALSE(file_exists(other.file("g.mat")));
    // NN_DATA_DIR wins over TMP.
    r = run(GRAD_DRIVER, {}, {"TMP=" + other.path(), "NN_DATA_DIR=" + dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(file_exists(other.file("g.mat")));
}
