// Data directory, config.txt, the Level 4 MAT reader and writer, and the loader.
#include <algorithm>
#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "datafile.h"
#include "driver_test_util.h"

using namespace dtest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// A Level 4 file by hand: header, name field, then the value bytes as given.
std::string mat4(uint32_t type, uint32_t rows, uint32_t cols, uint32_t imag, std::string const& name_field,
                 std::string const& values) {
    return u32(type) + u32(rows) + u32(cols) + u32(imag) + u32(uint32_t(name_field.size())) + name_field + values;
}

template <class T>
std::string raw(std::vector<T> const& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

std::size_t lines(std::string const& s) { return std::size_t(std::count(s.begin(), s.end(), '\n')); }

// A matrix that a failed read must leave as it was.
Matrix sentinel() { return matrix(1, 2, {7.0, 8.0}); }

void expect_sentinel(Matrix const& m) {
    ASSERT_EQ(m.rows, 1u);
    ASSERT_EQ(m.cols, 2u);
    EXPECT_EQ(m.data[0], 7.0);
    EXPECT_EQ(m.data[1], 8.0);
}

// Reads path expecting failure; returns what went to standard error.
std::string read_fails(std::string const& path) {
    Matrix m = sentinel();
    CaptureStderr();
    reset_max_allocation();
    const int st = datafile::read(path, m);
    const std::size_t biggest = max_allocation();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(st, -1) << path;
    expect_sentinel(m);
    // The files are tiny: nothing close to an announced size may be reserved.
    EXPECT_LT(biggest, std::size_t(1) << 16) << path;
    return err;
}

}  // namespace

TEST(MatFile, WriterLayoutTwoByThree) {
    TempDir dir;
    const std::string path = dir.file("g.mat");
    ASSERT_EQ(datafile::write(matrix(2, 3, {1, 2, 3, 4, 5, 6}), "g", path), 0);
    const std::string b = read_bytes(path);
    ASSERT_EQ(b.size(), 20u + 4 + 8 * 6);
    EXPECT_EQ(get_u32(b, 0), 0u);
    EXPECT_EQ(get_u32(b, 4), 2u);
    EXPECT_EQ(get_u32(b, 8), 3u);
    EXPECT_EQ(get_u32(b, 12), 0u);
    EXPECT_EQ(get_u32(b, 16), 4u);
    EXPECT_EQ(b.substr(20, 4), std::string("g\0\0\0", 4));
    const double stored[] = {1, 4, 2, 5, 3, 6};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(get_f64(b, 24 + 8 * k), stored[k]) << k;
}

TEST(MatFile, WriterRowAndColumnKeepMemoryOrder) {
    TempDir dir;
    const std::vector<double> v = {0.5, -1.25, 3, 1e-300, -7e200};
    for (auto [r, c] : {std::pair<int, int>{1, 5}, {5, 1}}) {
        const std::string path = dir.file("v.mat");
        ASSERT_EQ(datafile::write(matrix(r, c, v), "v", path), 0);
        const std::string b = read_bytes(path);
        ASSERT_EQ(b.size(), 20u + 4 + 8 * 5);
        EXPECT_EQ(get_u32(b, 4), uint32_t(r));
        EXPECT_EQ(get_u32(b, 8), uint32_t(c));
        for (int k = 0; k < 5; ++k) EXPECT_EQ(get_f64(b, 24 + 8 * k), v[k]) << r << "x" << c << " value " << k;
        const Matrix m = load(path);
        EXPECT_EQ(m.rows, std::size_t(r));
        EXPECT_EQ(m.cols, std::size_t(c));
        for (int k = 0; k < 5; ++k) EXPECT_EQ(m.data[k], v[k]);
    }
}

TEST(MatFile, WriterNameField) {
    TempDir dir;
    // n = (len / 4 + 1) * 4: always at least one zero byte after the name.
    for (auto [name, n] : {std::pair<std::string, uint32_t>{"", 4}, {"g", 4}, {"abc", 4}, {"abcd", 8}, {"res12", 8}}) {
        const std::string path = dir.file("n.mat");
        ASSERT_EQ(datafile::write(matrix(2, 2, {1, 2, 3, 4}), name, path), 0);
        const std::string b = read_bytes(path);
        EXPECT_EQ(b.size(), 20u + n + 8 * 4) << name;
        EXPECT_EQ(get_u32(b, 16), n) << name;
        std::string field = name;
        field.resize(n, '\0');
        EXPECT_EQ(b.substr(20, n), field) << name;
    }
}

TEST(MatFile, WriterEmptyPathUsesDataDirectory) {
    TempDir dir;
    EnvGuard env;
    env.set("NN_DATA_DIR", dir.path().c_str());
    ASSERT_EQ(datafile::write(matrix(1, 1, {2.5}), "J"), 0);
    const std::string b = read_bytes(dir.file("J.mat"));
    ASSERT_EQ(b.size(), 20u + 4 + 8);
    EXPECT_EQ(get_f64(b, 24), 2.5);
}

TEST(MatFile, WriterReportsUnwritableFile) {
    TempDir dir;
    const std::string path = dir.file("missing-subdir/g.mat");
    CaptureStderr();
    const int st = datafile::write(matrix(1, 1, {1}), "g", path);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(st, -1);
    EXPECT_NE(err.find("cannot write output file " + path + ": No such file or directory"), std::string::npos)
        << err;
    EXPECT_FALSE(file_exists(path));
}

TEST(MatFile, ReaderConvertsColumnMajorAndIgnoresName) {
    TempDir dir;
    const std::string path = dir.file("m.mat");
    // A name field of three bytes without a terminating zero, and trailing bytes after the values.
    write_bytes(path, mat4(0, 2, 3, 0, "xyz", f64s({1, 4, 2, 5, 3, 6})) + "trailing");
    Matrix m = sentinel();
    ASSERT_EQ(datafile::read(path, m), 0);
    ASSERT_EQ(m.rows, 2u);
    ASSERT_EQ(m.cols, 3u);
    ASSERT_EQ(m.size(), 6u);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(m.data[k], double(k + 1)) << k;
}

TEST(MatFile, ReaderEmptyMatrixAndEmptyName) {
    TempDir dir;
    const std::string path = dir.file("e.mat");
    write_bytes(path, mat4(0, 0, 4, 0, "", ""));
    Matrix m = sentinel();
    ASSERT_EQ(datafile::read(path, m), 0);
    EXPECT_EQ(m.rows, 0u);
    EXPECT_EQ(m.cols, 4u);
    EXPECT_EQ(m.size(), 0u);

    // No values, but 2^32 - 1 columns (found by fuzz_mat4: the reordering loop counted through
    // them, seconds per file in an unoptimised build).
    write_bytes(path, mat4(0, 0, 0xffffffffu, 0, "", ""));
    ASSERT_EQ(datafile::read(path, m), 0);
    EXPECT_EQ(m.rows, 0u);
    EXPECT_EQ(m.cols, 0xffffffffu);
    EXPECT_EQ(m.size(), 0u);
}

TEST(MatFile, WriteThenReadRoundTrip) {
    TempDir dir;
    std::vector<double> v;
    for (int k = 0; k < 35; ++k) v.push_back(std::ldexp(double(k * k - 17), k - 20) / 3.0);
    const std::string path = dir.file("r.mat");
    save(matrix(5, 7, v), path);
    const Matrix m = load(path);
    ASSERT_EQ(m.rows, 5u);
    ASSERT_EQ(m.cols, 7u);
    for (int k = 0; k < 35; ++k) EXPECT_EQ(m.data[k], v[k]) << k;
}

TEST(MatFile, ReaderMissingFile) {
    TempDir dir;
    const std::string path = dir.file("nope.mat");
    const std::string err = read_fails(path);
    EXPECT_EQ(err, "cannot open input file " + path + ": No such file or directory\ninput stream is not readable\n");
}

TEST(MatFile, ReaderTruncatedValues) {
    TempDir dir;
    const std::string path = dir.file("t.mat");
    // 2 x 3 announced, five values present: never completed with zeros.
    write_bytes(path, mat4(0, 2, 3, 0, std::string("t\0\0\0", 4), f64s({1, 2, 3, 4, 5})));
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": Level 4 header announces 2 x 3 doubles, the file holds 64 bytes\n");
    // One byte short.
    write_bytes(path, mat4(0, 2, 3, 0, std::string("t\0\0\0", 4), f64s({1, 2, 3, 4, 5, 6}).substr(0, 47)));
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": Level 4 header announces 2 x 3 doubles, the file holds 71 bytes\n");
}

TEST(MatFile, ReaderTruncatedHeader) {
    TempDir dir;
    const std::string path = dir.file("h.mat");
    write_bytes(path, u32(0) + u32(1) + u32(1));
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": the file holds 12 bytes, less than a Level 4 header (20 bytes)\n");
    write_bytes(path, "");
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": the file holds 0 bytes, less than a Level 4 header (20 bytes)\n");
}

TEST(MatFile, ReaderHugeAnnouncedSize) {
    TempDir dir;
    const std::string path = dir.file("huge.mat");
    const uint32_t big = 0x80000000u;  // 2^31 x 2^31 values
    write_bytes(path, mat4(0, big, big, 0, std::string("h\0\0\0", 4), f64s({1, 2, 3})));
    EXPECT_EQ(read_fails(path),
              "input stream left in error state: " + path + ": Level 4 header announces 2147483648 x 2147483648 doubles, the file holds 48 bytes\n");
    // Largest extents; with single precision the byte count still far exceeds the file.
    write_bytes(path, mat4(10, 0xffffffffu, 0xffffffffu, 0, std::string("h\0\0\0", 4), f64s({1})));
    EXPECT_EQ(read_fails(path),
              "input stream left in error state: " + path + ": Level 4 header announces 4294967295 x 4294967295 singles, the file holds 32 bytes\n");
    // A size that only the 32-bit product would make small: 2^16 x 2^16 wraps to 0.
    write_bytes(path, mat4(0, 0x10000u, 0x10000u, 0, std::string("h\0\0\0", 4), ""));
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": Level 4 header announces 65536 x 65536 doubles, the file holds 24 bytes\n");
}

TEST(MatFile, ReaderHugeNameLength) {
    TempDir dir;
    const std::string path = dir.file("name.mat");
    std::string b = u32(0) + u32(1) + u32(1) + u32(0) + u32(0xfffffff0u) + "name" + f64s({1});
    write_bytes(path, b);
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": Level 4 header announces a name of 4294967280 bytes, the file holds 32 bytes\n");
    // One byte longer than what follows the header.
    b = u32(0) + u32(0) + u32(0) + u32(0) + u32(5) + "name";
    write_bytes(path, b);
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": Level 4 header announces a name of 5 bytes, the file holds 24 bytes\n");
}

TEST(MatFile, ReaderRefusesTextAndDamagedVersion5File) {
    TempDir dir;
    const std::string path = dir.file("v5.mat");
    // A Level 5 header followed by bytes that are no data element: one line from this process
    // (the reading child prints nothing).
    std::string header = "MATLAB 5.0 MAT-file, Platform: posix, Created on: Mon Jan  1 00:00:00 2024";
    header.resize(116, ' ');
    header += std::string(8, '\0') + std::string("\x00\x01IM", 4);
    write_bytes(path, header + std::string(64, '\x01'));
    const std::string err = read_fails(path);
    EXPECT_EQ(lines(err), 1u) << err;
    EXPECT_EQ(err, path + ": the data element at byte 128 announces 16843009 bytes, more than the file holds\n");

    // "MATLAB" text with a version field no reader knows.
    header[125] = '\x07';
    write_bytes(path, header + std::string(64, '\x01'));
    EXPECT_EQ(read_fails(path).rfind(path + ": holds a MAT-file header of unknown version (\"MATLAB", 0), 0u);

    write_bytes(path, "1,2,3\n4,5,6\n");
    const std::string err2 = read_fails(path);
    EXPECT_EQ(err2, path + ": holds text (\"1,2,3...\"), not a MAT-file\n");
}

TEST(MatFile, ReaderRefusesOtherLayouts) {
    TempDir dir;
    const std::string path = dir.file("x.mat");
    const std::string name("x\0\0\0", 4);
    struct Case {
        std::string bytes, what;
    };
    // Big-endian: every field stored most significant byte first.
    auto be = [](uint32_t v) {
        std::string s = u32(v);
        return std::string(s.rbegin(), s.rend());
    };
    const std::vector<Case> cases = {
        {be(1000) + be(1) + be(1) + be(0) + be(4) + name + std::string(8, '\x3f'),
         "holds a big-endian matrix (type field 1000)"},
        {mat4(1000, 1, 1, 0, name, f64s({1})), "holds a big-endian matrix (type field 1000)"},
        {mat4(2000, 1, 1, 0, name, f64s({1})), "holds VAX D-float values (type field 2000)"},
        {mat4(51, 1, 3, 0, name, "abc"), "holds a text matrix (type field 51)"},
        {mat4(2, 3, 3, 0, name, f64s({1, 2, 3, 1, 2, 3, 5, 6, 7})), "holds a sparse matrix (type field 2)"},
        {mat4(0, 1, 1, 1, name, f64s({1, 2})), "holds a complex matrix (imaginary flag 1)"},
        {mat4(60, 1, 1, 0, name, f64s({1})), "holds values of unknown precision (type field 60)"},
        {mat4(100, 1, 1, 0, name, f64s({1})), "holds no Level 4 matrix (type field 100)"},
    };
    for (auto const& c : cases) {
        write_bytes(path, c.bytes);
        const std::string err = read_fails(path);
        EXPECT_EQ(lines(err), 1u) << err;
        EXPECT_EQ(err.rfind(path + ": " + c.what + ";", 0), 0u) << err;
    }
}

TEST(MatFile, ReaderConvertsSinglePrecisionAndIntegers) {
    TempDir dir;
    const std::string path = dir.file("c.mat");
    const std::string name("c\0\0\0", 4);
    // Stored column-major: the row-major result is (1, 2, 3; 4, 5, 6) scaled per type.
    write_bytes(path, mat4(10, 2, 3, 0, name, raw<float>({1.5f, -4.25f, 2.0f, 5e-3f, 3.0f, 6e20f})));
    Matrix m = load(path);
    ASSERT_EQ(m.rows, 2u);
    ASSERT_EQ(m.cols, 3u);
    const double want_f[] = {1.5, 2.0, 3.0, -4.25, double(5e-3f), double(6e20f)};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(m.data[k], want_f[k]) << k;

    write_bytes(path, mat4(20, 2, 1, 0, name, raw<int32_t>({-2147483647 - 1, 2147483647})));
    m = load(path);
    EXPECT_EQ(m.data[0], -2147483648.0);
    EXPECT_EQ(m.data[1], 2147483647.0);

    write_bytes(path, mat4(30, 1, 3, 0, name, raw<int16_t>({-32768, -1, 32767})));
    m = load(path);
    EXPECT_EQ(m.data[0], -32768.0);
    EXPECT_EQ(m.data[1], -1.0);
    EXPECT_EQ(m.data[2], 32767.0);

    write_bytes(path, mat4(40, 1, 2, 0, name, raw<uint16_t>({65535, 7})));
    m = load(path);
    EXPECT_EQ(m.data[0], 65535.0);
    EXPECT_EQ(m.data[1], 7.0);

    write_bytes(path, mat4(50, 2, 2, 0, name, raw<uint8_t>({255, 0, 1, 128})));
    m = load(path);
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m.data[0], 255.0);
    EXPECT_EQ(m.data[1], 1.0);
    EXPECT_EQ(m.data[2], 0.0);
    EXPECT_EQ(m.data[3], 128.0);

    // A single-precision file one value short is still truncated, not padded.
    write_bytes(path, mat4(10, 2, 3, 0, name, raw<float>({1, 2, 3, 4, 5})));
    EXPECT_EQ(read_fails(path), "input stream left in error state: " + path + ": Level 4 header announces 2 x 3 singles, the file holds " +
                                    std::to_string(20 + name.size() + 20) + " bytes\n");
}

TEST(DataDirectory, Precedence) {
    EnvGuard env;
    env.set("NN_DATA_DIR", nullptr);
    env.set("TMP", nullptr);
    env.set("TEMP", nullptr);
    EXPECT_EQ(datafile::data_dir(), "/tmp");
    env.set("TEMP", "/b");
    EXPECT_EQ(datafile::data_dir(), "/b");
    env.set("TMP", "/a");
    EXPECT_EQ(datafile::data_dir(), "/a");
    EXPECT_EQ(datafile::data_path("data.mat"), "/a/data.mat");
    env.set("NN_DATA_DIR", "/n");
    EXPECT_EQ(datafile::data_dir(), "/n");
    // Set to the empty string still counts as set.
    env.set("NN_DATA_DIR", nullptr);
    env.set("TMP", "");
    EXPECT_EQ(datafile::data_dir(), "");
    EXPECT_EQ(datafile::data_path("x.mat"), "/x.mat");
}

TEST(ConfigFile, DescriptionFromLines) {
    std::istringstream one("3 1 3 1 16 3 8 8 softplus sum\n");
    EXPECT_EQ(datafile::read_description(one), " ");
    std::istringstream two("# comment\n3 1 3 1 16 3 8 8 softplus sum\n");
    EXPECT_EQ(datafile::read_description(two), "3 1 3 1 16 3 8 8 softplus sum  ");
    std::istringstream two_no_eol("# comment\n3 1 3 1 16 3 8 8 softplus sum");
    EXPECT_EQ(datafile::read_description(two_no_eol), "3 1 3 1 16 3 8 8 softplus sum  ");
    std::istringstream three("#\n3 1 3 1\n16 3 8 8 softplus sum\n");
    EXPECT_EQ(datafile::read_description(three), "3 1 3 1 16 3 8 8 softplus sum  ");
    std::istringstream empty("");
    EXPECT_EQ(datafile::read_description(empty), "");
}

TEST(ConfigFile, ReadFromDataDirectory) {
    TempDir dir;
    EnvGuard env;
    env.set("NN_DATA_DIR", dir.path().c_str());
    bool opened = true;
    EXPECT_EQ(datafile::read_config(&opened), "");
    EXPECT_FALSE(opened);
    write_bytes(dir.file("config.txt"), "first line\n2 1 2 1 8 4 4 id sum\n");
    EXPECT_EQ(datafile::read_config(&opened), "2 1 2 1 8 4 4 id sum  ");
    EXPECT_TRUE(opened);
}

TEST(Loader, ReadsAllFourAndReportsTheMissingOne) {
    TempDir dir;
    EnvGuard env;
    env.set("NN_DATA_DIR", dir.path().c_str());
    save(matrix(2, 1, {1, 2}), dir.file("data.mat"));
    save(matrix(1, 3, {3, 4, 5}), dir.file("v0.mat"));
    save(matrix(1, 1, {6}), dir.file("d_v0.mat"));
    Matrix X, Y = sentinel(), P, D;
    CaptureStderr();
    const int st = datafile::load(X, Y, P, D);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(st, -1);
    EXPECT_EQ(err, "cannot open input file " + dir.file("specs.mat") +
                       ": No such file or directory\ninput stream is not readable\nFailed to load data\n");
    expect_sentinel(Y);
    ASSERT_EQ(X.size(), 2u);
    EXPECT_EQ(X.data[1], 2.0);
    ASSERT_EQ(P.size(), 3u);
    EXPECT_EQ(P.data[2], 5.0);
    ASSERT_EQ(D.size(), 1u);
    EXPECT_EQ(D.data[0], 6.0);

    save(matrix(2, 1, {7, 8}), dir.file("specs.mat"));
    CaptureStderr();
    EXPECT_EQ(datafile::load(X, Y, P, D), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(Y.data[1], 8.0);
}
