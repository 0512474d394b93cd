// Result files are replaced atomically: a write that fails, or a driver killed in the middle of
// one, leaves the earlier file as it was.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "datafile.h"
#include "driver_test_util.h"

using namespace dtest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// A network with 1,000-odd parameters, so that g.mat (8 bytes each) is far above the file
// limit below while J.mat, t.mat and the captured messages stay under it.
const char* const kWide = "3 2 3 1 16 3 30 30 softplus sum";
constexpr std::size_t kLimit = 4096;

}  // namespace

TEST(ResultFiles, WriteReplacesAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.file("g.mat");
    ASSERT_EQ(datafile::write(matrix(1, 3, {1, 2, 3}), "g", path), 0);
    const std::string first = read_bytes(path);
    ASSERT_EQ(datafile::write(matrix(2, 1, {4, 5}), "g", path), 0);
    EXPECT_NE(read_bytes(path), first);
    EXPECT_EQ(values(load(path)), (std::vector<double>{4, 5}));
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"g.mat"});
    // The mode a plain create gives (the umask applied), not mkstemp's private 0600.
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(ResultFiles, FailedWriteLeavesEarlierFile) {
    TempDir dir;
    // The target is a directory: the rename fails and the directory is kept, with no stray file.
    ASSERT_EQ(::mkdir(dir.file("H.mat").c_str(), 0755), 0);
    CaptureStderr();
    EXPECT_EQ(datafile::write(matrix(1, 1, {1}), "H", dir.file("H.mat")), -1);
    EXPECT_EQ(GetCapturedStderr(), "cannot write output file " + dir.file("H.mat") + ": Is a directory\n");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"H.mat"});
    // A directory that does not exist: no temporary file can be made.
    CaptureStderr();
    EXPECT_EQ(datafile::write(matrix(1, 1, {1}), "g", dir.file("none/g.mat")), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "cannot write output file " + dir.file("none/g.mat") + ": No such file or directory\n");
}

TEST(ResultFiles, FullDiskLeavesEarlierResultIntact) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kWide, kRows, 2, 7));
    ASSERT_EQ(run_driver(GRAD_DRIVER, dir.path()).status, 0);
    const std::string g = read_bytes(dir.file("g.mat"));
    ASSERT_GT(g.size(), 2 * kLimit);
    // A new problem: the same network with other parameters, so every result changes.
    const std::string J = read_bytes(dir.file("J.mat"));
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kWide, kRows, 2, 8));

    // The write fails with EFBIG: status 4, g.mat untouched, the small results replaced.
    const RunResult r = run_driver_file_limit(GRAD_DRIVER, dir.path(), kLimit, true);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(r.err, "cannot write output file " + dir.file("g.mat") + ": File too large\n");
    EXPECT_EQ(read_bytes(dir.file("g.mat")), g);
    EXPECT_NE(read_bytes(dir.file("J.mat")), J);
    for (auto const& name : list_dir(dir.path())) EXPECT_EQ(name.find(".mat."), std::string::npos) << name;

    // Killed by SIGXFSZ in the middle of writing g.mat: the earlier g.mat is still whole.
    const RunResult killed = run_driver_file_limit(GRAD_DRIVER, dir.path(), kLimit, false);
    EXPECT_EQ(killed.status, 128 + SIGXFSZ);
    EXPECT_EQ(read_bytes(dir.file("g.mat")), g);

    // hessian_driver: H.mat is the large one; the earlier H.mat survives the same way.
    ASSERT_EQ(run_driver(HESSIAN_DRIVER, dir.path()).status, 0);
    const std::string H = read_bytes(dir.file("H.mat"));
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kWide, kRows, 2, 9));
    const RunResult h = run_driver_file_limit(HESSIAN_DRIVER, dir.path(), kLimit, true);
    EXPECT_EQ(h.status, 4);
    EXPECT_EQ(read_bytes(dir.file("H.mat")), H);
}
