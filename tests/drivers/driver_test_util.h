// Helpers of the driver tests: temporary directories, raw files, child processes, matrices read
// back from result files and direct library calls on a problem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "datafile.h"

namespace dtest {

using datafile::Matrix;

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    std::string const& path() const { return path_; }
    std::string file(std::string const& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets or unsets environment variables for the lifetime of the object, then restores them.
class EnvGuard {
public:
    // A value of nullptr unsets the variable.
    void set(const char* name, const char* value);
    ~EnvGuard();

private:
    std::map<std::string, std::pair<bool, std::string>> saved_;
};

std::string read_bytes(std::string const& path);
void write_bytes(std::string const& path, std::string const& bytes);
bool file_exists(std::string const& path);

// Little-endian pieces of a hand-made MAT-file.
std::string u32(uint32_t v);
std::string f64s(std::vector<double> const& v);
uint32_t get_u32(std::string const& bytes, std::size_t offset);
double get_f64(std::string const& bytes, std::size_t offset);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out, err;
};

// Runs program with args; the child's environment is ours without NN_DATA_DIR, TMP, TEMP,
// NN_TRACE and INFO, plus `env` ("NAME=value" entries).
RunResult run(std::string const& program, std::vector<std::string> const& args,
              std::vector<std::string> const& env = {});
// Runs a driver with NN_DATA_DIR=dir.
RunResult run_driver(std::string const& program, std::string const& dir);
// Runs a driver with NN_DATA_DIR=dir and no file it writes allowed past max_file_bytes (a full
// disk, as far as the driver can tell). With ignore_sigxfsz the write fails with EFBIG; without
// it the kernel's SIGXFSZ ends the driver in the middle of the write.
RunResult run_driver_file_limit(std::string const& program, std::string const& dir, std::size_t max_file_bytes,
                                bool ignore_sigxfsz);

// The network the end-to-end tests use: two outputs (so result layouts have Cy > 1), three
// layers, the robust norm, and more rows than one batch.
extern const char* const kDescription;
constexpr uint32_t kRows = 37;

// Runs make_problem and expects success.
void make_problem(std::string const& dir, std::string const& desc, uint32_t rows, uint32_t ndirs,
                  uint64_t seed, bool vj = false);

// Reads a MAT-file and expects success.
Matrix load(std::string const& path);
// Writes a MAT-file and expects success.
void save(Matrix const& m, std::string const& path);
Matrix matrix(std::size_t rows, std::size_t cols, std::vector<double> const& values);

// The inputs of a data directory and a handle for its config.txt, for direct library calls.
struct Problem {
    explicit Problem(std::string const& dir);
    ~Problem();
    Problem(Problem const&) = delete;
    Problem& operator=(Problem const&) = delete;

    void* handle = nullptr;
    Matrix X, Y, P, D;
    std::string description;
    uint32_t npar = 0, numout = 0;

    double obj(std::vector<double> const& p) const;                // velt_obj
    std::vector<double> objv(std::vector<double> const& p) const;  // velt_objv, R x numout
    std::vector<double> grad(std::vector<double> const& p, double* J = nullptr) const;  // velt_g
    std::vector<double> params() const;
};

std::vector<double> column(Matrix const& m, std::size_t j);
std::vector<double> values(Matrix const& m);
double max_abs(std::vector<double> const& v);

// Element by element within the finite-difference tolerances of tests/support/fd.h.
void expect_fd_close(std::vector<double> const& got, std::vector<double> const& want, std::string const& what);
// Element by element within rel * (largest |want|): for results of the same computation by
// another route, which may differ in rounding only.
void expect_near_all(std::vector<double> const& got, std::vector<double> const& want, double rel,
                     std::string const& what);

std::vector<std::string> split_lines(std::string const& text);
// A double as a default-formatted stream writes it (six significant digits).
std::string default_format(double v);
// Checks that line is exactly "J = <J>, <t> s" with J and t in default formatting.
void expect_j_line(std::string const& line, double J, double t);

// Largest single allocation made through operator new since the last reset.
void reset_max_allocation();
std::size_t max_allocation();

// Python with scipy for the cross-checks; "" when none is available.
std::string python_with_scipy();

// The names in a directory, sorted.
std::vector<std::string> list_dir(std::string const& dir);

}  // namespace dtest
