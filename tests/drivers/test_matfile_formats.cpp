// Level 5, compressed Level 5 and v7.3 MAT-files: every driver gives the Level 4 results bit for
// bit, classes are converted or refused by name, hostile files cost one line and never print
// from libmatio.
#include <dirent.h>
#include <matio.h>
#include <zlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "datafile.h"
#include "driver_test_util.h"
#include "matfile_matio.h"

using namespace dtest;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

#define REQUIRE_SCIPY(py)                                                                   \
    const std::string py = python_with_scipy();                                             \
    if (py.empty()) GTEST_SKIP() << "python3 with scipy.io not found (looked at " PYTHON3 ")"

const char* const kInputs[] = {"data", "specs", "v0", "d_v0"};

// Loads the four inputs of argv[1] with SciPy and saves them in argv[2]/L4, L5 and L5z (SciPy's
// Level 4, its default Level 5, and compressed Level 5), each variable named after its file.
const char* const kConvertScript = R"PY(
import sys, os, shutil, scipy.io as sio
src, dst = sys.argv[1], sys.argv[2]
for sub, kw in [('L4', dict(format='4')), ('L5', {}), ('L5z', dict(do_compression=True))]:
    os.makedirs(os.path.join(dst, sub))
    shutil.copy(os.path.join(src, 'config.txt'), os.path.join(dst, sub))
    for name in ['data', 'specs', 'v0', 'd_v0']:
        a = sio.loadmat(os.path.join(src, name + '.mat'))[name]
        sio.savemat(os.path.join(dst, sub, name + '.mat'), {name: a}, **kw)
)PY";

// Writes m (row-major doubles) as variable `name` of a v7.3 file, stored as class T.
template <class T>
void write_v73(Matrix const& m, std::string const& name, std::string const& path, matio_classes cls,
               matio_types type, int flags = 0) {
    std::vector<T> col(m.size());
    for (std::size_t j = 0; j < m.cols; ++j)
        for (std::size_t i = 0; i < m.rows; ++i) col[j * m.rows + i] = static_cast<T>(m.data[i * m.cols + j]);
    mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, MAT_FT_MAT73);
    ASSERT_NE(mat, nullptr) << path;
    std::size_t dims[2] = {m.rows, m.cols};
    matvar_t* v = Mat_VarCreate(name.c_str(), cls, type, 2, dims, col.data(), flags);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE), 0);
    Mat_VarFree(v);
    Mat_Close(mat);
}

void write_v73(Matrix const& m, std::string const& name, std::string const& path) {
    write_v73<double>(m, name, path, MAT_C_DOUBLE, MAT_T_DOUBLE);
}

// The results of each driver other than t.mat, which holds a time.
struct DriverCase {
    const char* label;
    const char* program;
    bool vj;
    std::vector<const char*> results;
};

const std::vector<DriverCase>& driver_cases() {
    static const std::vector<DriverCase> cases = {
        {"grad_driver", GRAD_DRIVER, false, {"g", "J"}},
        {"hessian_driver", HESSIAN_DRIVER, false, {"g", "H", "J"}},
        {"hv_driver", HV_DRIVER, false, {"g", "Hv", "J"}},
        {"jv_driver", JV_DRIVER, false, {"res", "Jv"}},
        {"vj_driver", VJ_DRIVER, true, {"res", "vJ"}},
    };
    return cases;
}

// Reads path with the in-process libmatio reader, expecting failure and nothing printed on
// either stream; returns the error line.
std::string matio_fails(std::string const& path) {
    Matrix m = matrix(1, 1, {42});
    std::string error;
    CaptureStdout();
    CaptureStderr();
    const int st = datafile::matio_read(path, "data", m, &error);
    const std::string out = GetCapturedStdout(), err = GetCapturedStderr();
    EXPECT_EQ(st, -1) << path;
    EXPECT_EQ(out, "") << path;
    EXPECT_EQ(err, "") << path;
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_FALSE(error.empty()) << path;
    return error;
}

// Reads path through datafile::read expecting failure; returns what went to standard error.
std::string read_fails(std::string const& path) {
    Matrix m = matrix(1, 1, {42});
    CaptureStdout();
    CaptureStderr();
    const int st = datafile::read(path, m);
    const std::string out = GetCapturedStdout(), err = GetCapturedStderr();
    EXPECT_EQ(st, -1) << path;
    EXPECT_EQ(out, "") << path;
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind(path + ": ", 0), 0u) << err;
    return err;
}

const std::string kRealOnly = "; only real numeric and logical matrices are read\n";

// An error of matio_read for the variable "data", as the reader gives it for a file whose stem
// is `stem`.
std::string named_after(std::string error, std::string const& stem) {
    const std::string from = "named 'data'";
    const std::size_t at = error.find(from);
    if (at != std::string::npos) error.replace(at, from.size(), "named '" + stem + "'");
    return error;
}

}  // namespace

TEST(MatFileFormats, EveryDriverGivesTheLevel4ResultsBitForBit) {
    REQUIRE_SCIPY(py);
    TempDir base;
    ASSERT_NO_FATAL_FAILURE(make_problem(base.file("dirs"), kDescription, kRows, 3, 61));
    ASSERT_NO_FATAL_FAILURE(make_problem(base.file("weights"), kDescription, kRows, 0, 62, true));
    for (const char* src : {"dirs", "weights"}) {
        const std::string out = base.file(std::string(src) + "-fmt");
        const RunResult r = run(py, {"-c", kConvertScript, base.file(src), out});
        ASSERT_EQ(r.status, 0) << r.err;
        // v7.3 through libmatio, from the Level 4 files.
        ASSERT_EQ(::mkdir((out + "/v73").c_str(), 0755), 0);
        write_bytes(out + "/v73/config.txt", read_bytes(base.file(src) + "/config.txt"));
        for (const char* name : kInputs)
            ASSERT_NO_FATAL_FAILURE(write_v73(load(base.file(src) + "/" + name + ".mat"), name,
                                              out + "/v73/" + name + ".mat"));
        // The files really are in the four formats.
        const std::string l4 = read_bytes(out + "/L4/data.mat"), l5 = read_bytes(out + "/L5/data.mat");
        const std::string l5z = read_bytes(out + "/L5z/data.mat"), v73 = read_bytes(out + "/v73/data.mat");
        EXPECT_EQ(get_u32(l4, 0), 0u);
        EXPECT_EQ(l5.rfind("MATLAB 5.0 MAT-file", 0), 0u);
        EXPECT_EQ(get_u32(l5, 128), 14u);   // miMATRIX
        EXPECT_EQ(get_u32(l5z, 128), 15u);  // miCOMPRESSED
        EXPECT_EQ(v73.substr(124, 4), std::string("\x00\x02IM", 4));
        EXPECT_EQ(v73.substr(512, 4), "\x89HDF");
    }

    for (auto const& c : driver_cases()) {
        const std::string root = base.file(c.vj ? "weights-fmt" : "dirs-fmt");
        const RunResult ref = run_driver(c.program, root + "/L4");
        ASSERT_EQ(ref.status, 0) << c.label << ": " << ref.err;
        for (const char* fmt : {"L5", "L5z", "v73"}) {
            const std::string dir = root + "/" + fmt;
            const RunResult r = run_driver(c.program, dir);
            ASSERT_EQ(r.status, 0) << c.label << " " << fmt << ": " << r.err;
            EXPECT_EQ(r.err, "") << c.label << " " << fmt;
            for (const char* name : c.results) {
                const std::string want = read_bytes(root + "/L4/" + name + ".mat");
                EXPECT_GT(want.size(), 20u) << c.label << " " << name;
                EXPECT_EQ(read_bytes(dir + "/" + name + ".mat"), want) << c.label << " " << fmt << " " << name;
            }
        }
    }
}

TEST(MatFileFormats, ClassesAreConvertedToDouble) {
    REQUIRE_SCIPY(py);
    TempDir dir;
    const char* const script = R"PY(
import sys, numpy as np, scipy.io as sio
for dt in ['f8', 'f4', 'i1', 'u1', 'i2', 'u2', 'i4', 'u4', 'i8', 'u8']:
    info = np.finfo(dt) if dt[0] == 'f' else np.iinfo(dt)
    a = np.array([[info.min, 0, info.max]], dtype=dt)
    sio.savemat(sys.argv[1] + '/' + dt + '.mat', {'data': a})
    sio.savemat(sys.argv[1] + '/' + dt + 'z.mat', {'data': a}, do_compression=True)
sio.savemat(sys.argv[1] + '/b1.mat', {'data': np.array([[False, False, True]])})
sio.savemat(sys.argv[1] + '/b1z.mat', {'data': np.array([[False, False, True]])}, do_compression=True)
)PY";
    const RunResult r = run(py, {"-c", script, dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    struct Want {
        const char* file;
        double lo, hi;
    };
    const Want cases[] = {
        {"f8", -DBL_MAX, DBL_MAX},
        {"f4", double(-FLT_MAX), double(FLT_MAX)},
        {"i1", INT8_MIN, INT8_MAX},
        {"u1", 0, UINT8_MAX},
        {"i2", INT16_MIN, INT16_MAX},
        {"u2", 0, UINT16_MAX},
        {"i4", INT32_MIN, INT32_MAX},
        {"u4", 0, UINT32_MAX},
        {"i8", double(INT64_MIN), double(INT64_MAX)},
        {"u8", 0, double(UINT64_MAX)},
        {"b1", 0, 1},
    };
    for (auto const& c : cases) {
        for (const char* suffix : {"", "z"}) {
            const std::string path = dir.file(std::string(c.file) + suffix + ".mat");
            const Matrix m = load(path);
            ASSERT_EQ(m.rows, 1u) << path;
            ASSERT_EQ(m.cols, 3u) << path;
            EXPECT_EQ(m.data[0], c.lo) << path;
            EXPECT_EQ(m.data[1], 0.0) << path;
            EXPECT_EQ(m.data[2], c.hi) << path;
        }
    }

    // v7.3: single, int16 and logical through libmatio's HDF5 writer, a 2 x 2 read row-major.
    const Matrix m22 = matrix(2, 2, {-32768, 1, 32767, 0});
    write_v73<int16_t>(m22, "data", dir.file("i2_73.mat"), MAT_C_INT16, MAT_T_INT16);
    write_v73<float>(matrix(2, 2, {0.5, -1.25, 3e38, 0}), "data", dir.file("f4_73.mat"), MAT_C_SINGLE,
                     MAT_T_SINGLE);
    write_v73<uint8_t>(matrix(2, 2, {1, 0, 0, 1}), "data", dir.file("b1_73.mat"), MAT_C_UINT8, MAT_T_UINT8,
                       MAT_F_LOGICAL);
    EXPECT_EQ(values(load(dir.file("i2_73.mat"))), values(m22));
    EXPECT_EQ(values(load(dir.file("f4_73.mat"))), (std::vector<double>{0.5, -1.25, double(3e38f), 0}));
    EXPECT_EQ(values(load(dir.file("b1_73.mat"))), (std::vector<double>{1, 0, 0, 1}));
}

TEST(MatFileFormats, VariableByStemOrTheOnlyNumericOne) {
    REQUIRE_SCIPY(py);
    TempDir dir;
    const char* const script = R"PY(
import sys, numpy as np, scipy.io as sio
d = sys.argv[1]
a = np.array([[1.0, 2.0]]); b = np.array([[3.0], [4.0]])
sio.savemat(d + '/data.mat', {'a': a, 'data': b, 's': 'text'})
sio.savemat(d + '/only.mat', {'s': 'text', 'X': b, 'c': np.array([[a]], dtype=object)})
sio.savemat(d + '/two.mat', {'X': a, 'Y': b})
sio.savemat(d + '/none.mat', {'s': 'hello'})
)PY";
    const RunResult r = run(py, {"-c", script, dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    // The stem wins over the other numeric variable.
    Matrix m = load(dir.file("data.mat"));
    EXPECT_EQ(m.rows, 2u);
    EXPECT_EQ(values(m), (std::vector<double>{3, 4}));
    // No variable "only": the one numeric variable among char and cell.
    m = load(dir.file("only.mat"));
    EXPECT_EQ(values(m), (std::vector<double>{3, 4}));

    EXPECT_EQ(read_fails(dir.file("two.mat")),
              dir.file("two.mat") +
                  ": holds no variable named 'two' and 2 numeric variables; it holds 'X' (double 1 x 2), "
                  "'Y' (double 2 x 1)\n");
    EXPECT_EQ(read_fails(dir.file("none.mat")),
              dir.file("none.mat") + ": holds no variable named 'none' and no numeric variables; it holds 's' "
                                     "(char 1 x 5)\n");
}

TEST(MatFileFormats, RefusedClassesAndFormatsNameWhatTheyHold) {
    REQUIRE_SCIPY(py);
    TempDir dir;
    const char* const script = R"PY(
import sys, numpy as np, scipy.io as sio, scipy.sparse as sp
d = sys.argv[1]
a = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
sio.savemat(d + '/complex.mat', {'complex': a + 2j})
sio.savemat(d + '/complexz.mat', {'complexz': a + 2j}, do_compression=True)
sio.savemat(d + '/sparse.mat', {'sparse': sp.csc_matrix(a)})
sio.savemat(d + '/cell.mat', {'cell': np.array([[a, 'x']], dtype=object)})
sio.savemat(d + '/struct.mat', {'struct': {'f': a}})
sio.savemat(d + '/char.mat', {'char': 'abc'})
sio.savemat(d + '/nd.mat', {'nd': np.zeros((2, 3, 4))})
sio.savemat(d + '/ndz.mat', {'ndz': np.zeros((2, 3, 4))}, do_compression=True)
)PY";
    const RunResult r = run(py, {"-c", script, dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;

    // A function handle, by hand: Level 5 header, then one matrix element of class 16.
    std::string fh = "MATLAB 5.0 MAT-file, written by hand";
    fh.resize(116, ' ');
    fh += std::string(8, '\0') + std::string("\x00\x01IM", 4);
    const std::string body = u32(6) + u32(8) + u32(16) + u32(0) +  // array flags: class 16
                             u32(5) + u32(8) + u32(1) + u32(1) +   // dimensions 1 x 1
                             u32(1) + u32(2) + "fh" + std::string(6, '\0');
    write_bytes(dir.file("fh.mat"), fh + u32(14) + u32(uint32_t(body.size())) + body);

    // v7.3 complex and 3-D arrays through the HDF5 path.
    {
        mat_t* mat = Mat_CreateVer(dir.file("complex73.mat").c_str(), nullptr, MAT_FT_MAT73);
        ASSERT_NE(mat, nullptr);
        double re[2] = {1, 2}, im[2] = {3, 4};
        mat_complex_split_t z{re, im};
        std::size_t dims[2] = {1, 2};
        matvar_t* v = Mat_VarCreate("complex73", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, &z, MAT_F_COMPLEX);
        EXPECT_EQ(Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE), 0);
        Mat_VarFree(v);
        Mat_Close(mat);
        mat = Mat_CreateVer(dir.file("nd73.mat").c_str(), nullptr, MAT_FT_MAT73);
        ASSERT_NE(mat, nullptr);
        double zeros[24] = {};
        std::size_t dims3[3] = {2, 3, 4};
        v = Mat_VarCreate("nd73", MAT_C_DOUBLE, MAT_T_DOUBLE, 3, dims3, zeros, 0);
        EXPECT_EQ(Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE), 0);
        Mat_VarFree(v);
        Mat_Close(mat);
    }

    write_bytes(dir.file("octave_text.mat"), "# Created by Octave 8.4.0, Mon Jan 01 00:00:00 2024 UTC <u@h>\n"
                                             "# name: x\n# type: matrix\n# rows: 1\n# columns: 2\n 1 2\n");
    write_bytes(dir.file("octave_bin.mat"), std::string("Octave-1-L\0\0\0\0\1\0\0\0x", 19) + std::string(40, '\0'));
    write_bytes(dir.file("octave_bin_be.mat"), std::string("Octave-1-B", 10) + std::string(40, '\0'));
    write_bytes(dir.file("bare.mat"), std::string("\x89HDF\r\n\x1a\n", 8) + std::string(600, '\0'));

    const std::string save = "save the matrix with save -v7 FILE VAR (or save -v4 FILE VAR), or from Python with "
                             "scipy.io.savemat\n";
    const std::pair<const char*, std::string> cases[] = {
        {"complex", "variable 'complex' is complex (class double)" + kRealOnly},
        {"complexz", "variable 'complexz' is complex (class double)" + kRealOnly},
        {"complex73", "variable 'complex73' is complex (class double)" + kRealOnly},
        {"sparse", "variable 'sparse' is a sparse matrix (class sparse)" + kRealOnly},
        {"cell", "variable 'cell' is a cell array (class cell)" + kRealOnly},
        {"struct", "variable 'struct' is a struct (class struct)" + kRealOnly},
        {"char", "variable 'char' is a char array (class char)" + kRealOnly},
        {"fh", "variable 'fh' is a function handle (class function handle)" + kRealOnly},
        {"nd", "variable 'nd' is a 3-dimensional array (2 x 3 x 4); only matrices are read\n"},
        {"ndz", "variable 'ndz' is a 3-dimensional array (2 x 3 x 4); only matrices are read\n"},
        {"nd73", "variable 'nd73' is a 3-dimensional array (2 x 3 x 4); only matrices are read\n"},
        {"octave_text", "holds Octave's text format; " + save},
        {"octave_bin", "holds Octave's binary format; " + save},
        {"octave_bin_be", "holds Octave's binary format; " + save},
        {"bare", "holds an HDF5 file without a MAT-file header; " + save},
    };
    for (auto const& [stem, what] : cases) {
        const std::string path = dir.file(std::string(stem) + ".mat");
        EXPECT_EQ(read_fails(path), path + ": " + what);
    }
}

TEST(MatFileFormats, HostileFilesCostOneLineAndPrintNothing) {
    REQUIRE_SCIPY(py);
    TempDir dir;
    const char* const script = R"PY(
import sys, numpy as np, scipy.io as sio
a = np.arange(1.0, 61.0).reshape(6, 10)
sio.savemat(sys.argv[1] + '/v5.mat', {'data': a})
sio.savemat(sys.argv[1] + '/v5z.mat', {'data': a}, do_compression=True)
)PY";
    const RunResult r = run(py, {"-c", script, dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NO_FATAL_FAILURE(
        write_v73(matrix(6, 10, std::vector<double>(60, 1.5)), "data", dir.file("v73.mat")));
    const std::string v5 = read_bytes(dir.file("v5.mat")), v5z = read_bytes(dir.file("v5z.mat"));
    const std::string v73 = read_bytes(dir.file("v73.mat"));
    // Uncompressed layout: header (128), element tag (8), array flags (16), dimension tag (8),
    // then rows and columns.
    ASSERT_EQ(get_u32(v5, 160), 6u);
    ASSERT_EQ(get_u32(v5, 164), 10u);

    auto patch = [](std::string s, std::size_t at, uint32_t v) { return s.replace(at, 4, u32(v)); };
    // A cell variable that announces 65536 x 32768 elements and holds none, plain and deflated:
    // given to libmatio, it would allocate for minutes (about 100 MB a second).
    auto element = [](uint32_t type, std::string payload) {
        const std::size_t n = payload.size();
        payload.resize((n + 7) / 8 * 8, '\0');
        return u32(type) + u32(uint32_t(n)) + payload;
    };
    const std::string cell = element(14, element(6, u32(1) + u32(0)) + element(5, u32(65536) + u32(32768)) +
                                             element(1, "data"));
    std::string deflated(compressBound(uLong(cell.size())), '\0');
    uLongf deflated_size = uLongf(deflated.size());
    ASSERT_EQ(compress(reinterpret_cast<Bytef*>(&deflated[0]), &deflated_size,
                       reinterpret_cast<const Bytef*>(cell.data()), uLong(cell.size())),
              Z_OK);
    deflated.resize(deflated_size);
    const std::string cell_refused = "variable 'data' is a cell array (class cell)" + kRealOnly;
    // A 2 x 3 double whose real part announces 48 bytes and holds 16: plain, the element ends
    // there; deflated, the stream does. libmatio would zero-fill the one and hand back memory it
    // never wrote for the other.
    const std::string short_content = element(6, u32(6) + u32(0)) + element(5, u32(2) + u32(3)) +
                                      element(1, "data") + u32(9) + u32(48) + f64s({1.5, 2.5});
    const std::string short_matrix = u32(14) + u32(uint32_t(short_content.size())) + short_content;
    std::string short_deflated(compressBound(uLong(short_matrix.size())), '\0');
    uLongf short_size = uLongf(short_deflated.size());
    ASSERT_EQ(compress(reinterpret_cast<Bytef*>(&short_deflated[0]), &short_size,
                       reinterpret_cast<const Bytef*>(short_matrix.data()), uLong(short_matrix.size())),
              Z_OK);
    short_deflated.resize(short_size);
    const std::string short_refused = "variable 'data' ends before the values its header announces";
    auto flip = [](std::string s, std::size_t from, std::size_t every) {
        for (std::size_t k = from; k < s.size(); k += every) s[k] = char(s[k] ^ 0x5a);
        return s;
    };
    struct Case {
        const char* name;
        std::string bytes;
        std::string message;  // "" when only the shape of the report is checked
    };
    const std::vector<Case> cases = {
        {"header_only", v5.substr(0, 128), "holds no variables"},
        {"v5_cut_in_tag", v5.substr(0, 132), ""},
        {"v5_cut_in_data", v5.substr(0, v5.size() / 2), ""},
        {"v5_cut_last_byte", v5.substr(0, v5.size() - 1), ""},
        {"v5_huge_element", patch(v5, 132, 0xfffffff0u), ""},
        {"v5_dims_beyond_32_bits", patch(patch(v5, 160, 100000), 164, 100000),
         "variable 'data' holds a 100000 x 100000 matrix, more values than the library's 32-bit counts allow"},
        {"v5_dims_beyond_file", patch(patch(v5, 160, 60000), 164, 60000),
         "variable 'data' announces a 60000 x 60000 matrix, more values than the file can hold"},
        {"v5_dims_disagree", patch(v5, 160, 7),
         "variable 'data' announces a 7 x 10 matrix but stores 60 values"},
        {"v5_junk", v5.substr(0, 128) + std::string(300, '\xa5'), ""},
        {"v5_cell_huge", v5.substr(0, 128) + cell, cell_refused.substr(0, cell_refused.size() - 1)},
        {"v5_short_real_part", v5.substr(0, 128) + short_matrix, short_refused},
        {"v5z_short_real_part", v5.substr(0, 128) + u32(15) + u32(uint32_t(short_size)) + short_deflated,
         short_refused},
        // A name holding a line break (found by fuzz_matio): escaped, the message stays one line.
        {"v5_name_newline",
         v5.substr(0, 128) + element(14, element(6, u32(4) + u32(0)) + element(5, u32(1) + u32(1)) +
                                             element(1, "x\ny")),
         "holds no variable named 'data' and no numeric variables; it holds 'x\\x0ay' (char 1 x 1)"},
        {"v5z_cell_huge", v5.substr(0, 128) + u32(15) + u32(uint32_t(deflated.size())) + deflated,
         cell_refused.substr(0, cell_refused.size() - 1)},
        {"v5z_cut", v5z.substr(0, v5z.size() - 9), ""},
        {"v5z_flipped", flip(v5z, 150, 7), ""},
        {"v5z_huge_element", patch(v5z, 132, 0x7ffffff0u), ""},
        {"v73_cut", v73.substr(0, v73.size() / 2), ""},
        {"v73_flipped", flip(v73, 600, 5), ""},
        {"v73_no_hdf5", v73.substr(0, 512) + std::string(2000, '\0'), ""},
    };
    for (auto const& c : cases) {
        const std::string path = dir.file(std::string(c.name) + ".mat");
        write_bytes(path, c.bytes);
        // In this process: libmatio's log (and HDF5's error stacks) must not reach the streams.
        const std::string error = matio_fails(path);
        if (!c.message.empty()) {
            EXPECT_EQ(error, c.message) << c.name;
        }
        // Through the driver's reader: one line naming the file. (The reader looks for a variable
        // named after the file; a cell is then only listed.)
        const std::string err = read_fails(path);
        if (std::string(c.name).find("cell") != std::string::npos)
            EXPECT_EQ(err, path + ": holds no variable named '" + c.name +
                               "' and no numeric variables; it holds 'data' (cell 65536 x 32768)\n");
        else
            EXPECT_EQ(err, path + ": " + named_after(error, c.name) + "\n") << c.name;
    }
}

// A crash inside libmatio costs only the reading child: the SIGSEGV is sent to the child while
// it waits in libmatio's open of a named pipe that has no writer.
TEST(MatFileFormats, ReaderChildThatDiesIsReportedNotFatal) {
    TempDir dir;
    const std::string path = dir.file("pipe.mat");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::string header = "MATLAB 5.0 MAT-file";
    header.resize(116, ' ');
    header += std::string(8, '\0') + std::string("\x00\x01IM", 4);

    // Feeds the parent's look at the header, then finds the child and kills it.
    const pid_t self = ::getpid();
    std::thread helper([&] {
        {
            std::ofstream w(path, std::ios::binary);
            w << header;
        }
        for (int attempt = 0; attempt < 500; ++attempt) {
            DIR* tasks = ::opendir(("/proc/" + std::to_string(self) + "/task").c_str());
            std::string children;
            for (dirent* e; tasks && (e = ::readdir(tasks));) {
                if (e->d_name[0] == '.') continue;
                const std::string list =
                    read_bytes("/proc/" + std::to_string(self) + "/task/" + e->d_name + "/children");
                children += list;
            }
            if (tasks) ::closedir(tasks);
            const long child = std::atol(children.c_str());
            if (child > 0) {
                // Give the child time to reach libmatio's open of the pipe.
                ::usleep(100000);
                ::kill(pid_t(child), SIGSEGV);
                return;
            }
            ::usleep(10000);
        }
    });
    Matrix m = matrix(1, 1, {42});
    CaptureStderr();
    const int st = datafile::read(path, m);
    const std::string err = GetCapturedStderr();
    helper.join();
    EXPECT_EQ(st, -1);
    EXPECT_EQ(m.size(), 1u);
    // Under AddressSanitizer the child's fault handler turns the SIGSEGV into an abort.
    const std::string tail = "); the file is damaged or not a MAT-file\n";
    EXPECT_TRUE(err == path + ": libmatio stopped on it (Segmentation fault" + tail ||
                err == path + ": libmatio stopped on it (Aborted" + tail)
        << err;
}
