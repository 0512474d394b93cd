// Steps shared by the driver programs: description, handle, inputs, shape checks, timing and
// result files.
#pragma once

#include <cstdint>
#include <string>

#include "datafile.h"

namespace driver {

using datafile::Matrix;
using datafile::ptr;

// Exit statuses of the driver programs.
enum Status : int {
    kOk = 0,
    kBadInput = 1,     // config.txt or an input file is missing, unreadable or has the wrong shape
    kLibraryError = 3, // the library refused the description or a call (its message is on stderr)
    kWriteError = 4,   // a result file could not be written
};

// The handle and the four input matrices of one run. The handle is released on destruction.
struct Problem {
    void* handle = nullptr;
    Matrix X, Y, P, D;
    uint64_t npar = 0;
    uint32_t numin = 0, numout = 0;

    Problem() = default;
    Problem(Problem const&) = delete;
    Problem& operator=(Problem const&) = delete;
    ~Problem();
};

// Reads config.txt (then prints "cstr: <description>" when print_cstr), creates the handle and
// loads data.mat, specs.mat, v0.mat and d_v0.mat. Returns kOk, kBadInput (config.txt cannot be
// opened, or a file failed to load) or kLibraryError (the library refused the description).
int setup(Problem& pb, bool print_cstr);

// One line "PATH: R x C matrix, expected ..." unless m holds exactly n values (any shape).
bool check_count(Matrix const& m, std::string const& file, uint64_t n, const char* what);
// One line "PATH: R x C matrix, expected r x c (...)" unless m is rows x cols.
bool check_shape(Matrix const& m, std::string const& file, uint64_t rows, uint64_t cols, const char* what);
// The checks every driver needs: P has npar values, Y is (rows of X) x numout.
bool check_common(Problem const& pb);

// A zero-filled rows x cols matrix; false (after one line naming `what`) when the element count
// reaches the library's 32-bit limit.
bool allocate(Matrix& m, uint64_t rows, uint64_t cols, const char* what);

// Seconds from gettimeofday, 0.0 when it fails.
double clock_seconds();

// Writes m as data_path(name + ".mat") (atomically); remembers a failure in *failed.
void write_result(Matrix const& m, const char* name, bool* failed);
// A 1 x 1 matrix holding v.
Matrix scalar(double v);

}  // namespace driver
