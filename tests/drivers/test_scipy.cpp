// The MAT reader and writer against an independent implementation of the format (scipy.io).
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "datafile.h"
#include "driver_test_util.h"

using namespace dtest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

#define REQUIRE_SCIPY(py)                                                                   \
    const std::string py = python_with_scipy();                                             \
    if (py.empty()) GTEST_SKIP() << "python3 with scipy.io not found (looked at " PYTHON3 ")"

const char* const kLoadScript = R"PY(
import sys, scipy.io
for path in sys.argv[1:]:
    d = scipy.io.loadmat(path)
    for k in sorted(k for k in d if not k.startswith('__')):
        a = d[k]
        print(k, a.dtype, a.shape[0], a.shape[1], *[repr(float(x)) for x in a.ravel(order='C')])
)PY";

const char* const kSaveScript = R"PY(
import sys, numpy as np, scipy.io as sio, scipy.sparse as sp
d = sys.argv[1]
a = np.array([[1, 2, 3], [4, 5, 6]], dtype=np.float64)
v = [0.5, -1.25, 3.0, 1e-300, -7e200]
sio.savemat(d + '/m23.mat', {'abcd': a}, format='4')
sio.savemat(d + '/r15.mat', {'r': np.array([v])}, format='4')
sio.savemat(d + '/c51.mat', {'c': np.array([v]).T}, format='4')
for dt in ['f4', 'i4', 'i2', 'u2', 'u1']:
    sio.savemat(d + '/t_' + dt + '.mat', {'t': a.astype(dt)}, format='4')
sio.savemat(d + '/v5.mat', {'a': a})
sio.savemat(d + '/cplx.mat', {'z': a + 1j * a}, format='4')
sio.savemat(d + '/text.mat', {'s': np.array(['abc'])}, format='4')
sio.savemat(d + '/sparse.mat', {'s': sp.csc_matrix(a)}, format='4')
)PY";

struct Loaded {
    std::string name, dtype;
    std::size_t rows = 0, cols = 0;
    std::vector<double> values;
};

std::vector<Loaded> scipy_load(std::string const& py, std::vector<std::string> const& paths) {
    std::vector<std::string> args{"-c", kLoadScript};
    args.insert(args.end(), paths.begin(), paths.end());
    const RunResult r = run(py, args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<Loaded> out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        Loaded l;
        in >> l.name >> l.dtype >> l.rows >> l.cols;
        std::string tok;
        while (in >> tok) l.values.push_back(std::strtod(tok.c_str(), nullptr));
        out.push_back(l);
    }
    return out;
}

}  // namespace

TEST(MatFileScipy, ScipyReadsOurFiles) {
    REQUIRE_SCIPY(py);
    TempDir dir;
    const std::vector<double> v = {0.5, -1.25, 3.0, 1e-300, -7e200};
    ASSERT_EQ(datafile::write(matrix(2, 3, {1, 2, 3, 4, 5, 6}), "g", dir.file("g.mat")), 0);
    ASSERT_EQ(datafile::write(matrix(1, 5, v), "row", dir.file("row.mat")), 0);
    ASSERT_EQ(datafile::write(matrix(5, 1, v), "col", dir.file("col.mat")), 0);
    ASSERT_EQ(datafile::write(matrix(3, 2, {0.1, 0.2, 0.3, -0.4, 5e-310, 6e300}), "abcd", dir.file("abcd.mat")), 0);
    EXPECT_EQ(read_bytes(dir.file("abcd.mat")).size(), 20u + 8 + 8 * 6);

    const auto got = scipy_load(py, {dir.file("g.mat"), dir.file("row.mat"), dir.file("col.mat"), dir.file("abcd.mat")});
    ASSERT_EQ(got.size(), 4u);
    struct Want {
        const char* name;
        std::size_t rows, cols;
        std::vector<double> values;  // row-major
    };
    const Want want[] = {{"g", 2, 3, {1, 2, 3, 4, 5, 6}},
                         {"row", 1, 5, v},
                         {"col", 5, 1, v},
                         {"abcd", 3, 2, {0.1, 0.2, 0.3, -0.4, 5e-310, 6e300}}};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(got[k].name, want[k].name);
        EXPECT_EQ(got[k].dtype, "float64");
        EXPECT_EQ(got[k].rows, want[k].rows) << want[k].name;
        EXPECT_EQ(got[k].cols, want[k].cols) << want[k].name;
        EXPECT_EQ(got[k].values, want[k].values) << want[k].name;
    }
}

TEST(MatFileScipy, WeReadScipyFiles) {
    REQUIRE_SCIPY(py);
    TempDir dir;
    const RunResult r = run(py, {"-c", kSaveScript, dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;

    // scipy's own layout: name "abcd" plus one zero byte, values column-major.
    const std::string b = read_bytes(dir.file("m23.mat"));
    ASSERT_EQ(b.size(), 20u + 5 + 48);
    EXPECT_EQ(get_u32(b, 0), 0u);
    EXPECT_EQ(get_u32(b, 16), 5u);
    const double stored[] = {1, 4, 2, 5, 3, 6};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(get_f64(b, 25 + 8 * k), stored[k]);

    Matrix m = load(dir.file("m23.mat"));
    ASSERT_EQ(m.rows, 2u);
    ASSERT_EQ(m.cols, 3u);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(m.data[k], double(k + 1));

    const std::vector<double> v = {0.5, -1.25, 3.0, 1e-300, -7e200};
    for (auto [file, rows, cols] : {std::tuple<const char*, std::size_t, std::size_t>{"r15.mat", 1, 5},
                                    {"c51.mat", 5, 1}}) {
        m = load(dir.file(file));
        EXPECT_EQ(m.rows, rows) << file;
        EXPECT_EQ(m.cols, cols) << file;
        ASSERT_EQ(m.size(), 5u) << file;
        for (int k = 0; k < 5; ++k) EXPECT_EQ(m.data[k], v[k]) << file;
    }

    // Single precision and the integer types are converted to double.
    for (const char* dt : {"f4", "i4", "i2", "u2", "u1"}) {
        const std::string file = dir.file(std::string("t_") + dt + ".mat");
        m = load(file);
        ASSERT_EQ(m.rows, 2u) << file;
        ASSERT_EQ(m.cols, 3u) << file;
        for (int k = 0; k < 6; ++k) EXPECT_EQ(m.data[k], double(k + 1)) << file;
    }

    // SciPy's default format is read through libmatio: its only numeric variable.
    m = load(dir.file("v5.mat"));
    ASSERT_EQ(m.rows, 2u);
    ASSERT_EQ(m.cols, 3u);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(m.data[k], double(k + 1));

    // Layouts that are refused, each with one line naming the file and what it holds.
    const std::pair<const char*, const char*> refused[] = {
        {"cplx.mat", "holds a complex matrix"},
        {"text.mat", "holds a text matrix"},
        {"sparse.mat", "holds a sparse matrix"},
    };
    for (auto const& [file, what] : refused) {
        Matrix keep = matrix(1, 1, {42});
        CaptureStderr();
        const int st = datafile::read(dir.file(file), keep);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(st, -1) << file;
        EXPECT_EQ(err.rfind(dir.file(file) + ": " + what, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(keep.size(), 1u);
        EXPECT_EQ(keep.data[0], 42.0);
    }
}

TEST(MatFileScipy, ScipyReadsDriverResults) {
    REQUIRE_SCIPY(py);
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make_problem(dir.path(), kDescription, kRows, 2, 5));
    const RunResult r = run_driver(GRAD_DRIVER, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const Matrix g = load(dir.file("g.mat"));
    const auto got = scipy_load(py, {dir.file("g.mat"), dir.file("J.mat"), dir.file("data.mat")});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "g");
    EXPECT_EQ(got[0].rows, 1u);
    EXPECT_EQ(got[0].cols, g.size());
    EXPECT_EQ(got[0].values, std::vector<double>(std::begin(g.data), std::end(g.data)));
    EXPECT_EQ(got[1].name, "J");
    EXPECT_EQ(got[1].values, std::vector<double>{load(dir.file("J.mat")).data[0]});
    EXPECT_EQ(got[2].name, "data");
    EXPECT_EQ(got[2].rows, kRows);
    EXPECT_EQ(got[2].cols, 3u);
}
