// Steps shared by the driver programs.
#include "driver_common.h"

#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>

#include "veltn.h"

namespace driver {

Problem::~Problem() { releaseVELTNet(handle); }

int setup(Problem& pb, bool print_cstr) {
    bool opened = true;
    errno = 0;
    const std::string desc = datafile::read_config(&opened);
    const int open_errno = errno;
    // A missing config.txt (or a data directory that does not exist) is a bad input, not a
    // description the library refused.
    if (!opened) {
        std::cerr << "cannot open input file " << datafile::data_path("config.txt") << ": "
                  << std::strerror(open_errno ? open_errno : ENOENT) << "\n";
        return kBadInput;
    }
    if (print_cstr) std::cout << "cstr: " << desc << "\n" << std::flush;
    if (desc.size() > std::size_t(INT_MAX)) {
        std::cerr << datafile::data_path("config.txt") << ": description too long\n";
        return kBadInput;
    }
    pb.handle = initVELTNet(desc.data(), int(desc.size()));
    if (!pb.handle) return kLibraryError;
    pb.npar = velt_numel(pb.handle);
    pb.numin = velt_numin(pb.handle);
    pb.numout = velt_numout(pb.handle);
    if (datafile::load(pb.X, pb.Y, pb.P, pb.D) != 0) return kBadInput;
    return kOk;
}

bool check_count(Matrix const& m, std::string const& file, uint64_t n, const char* what) {
    if (m.size() == n) return true;
    std::cerr << datafile::data_path(file) << ": " << m.rows << " x " << m.cols << " matrix, expected " << n
              << " values in any shape (" << what << ")\n";
    return false;
}

bool check_shape(Matrix const& m, std::string const& file, uint64_t rows, uint64_t cols, const char* what) {
    if (m.rows == rows && m.cols == cols) return true;
    std::cerr << datafile::data_path(file) << ": " << m.rows << " x " << m.cols << " matrix, expected " << rows
              << " x " << cols << " (" << what << ")\n";
    return false;
}

bool check_common(Problem const& pb) {
    // Both checks run so that every mismatch is reported at once.
    const bool p_ok = check_count(pb.P, "v0.mat", pb.npar, "the network's parameter count");
    const bool y_ok = check_shape(pb.Y, "specs.mat", pb.X.rows, pb.numout, "rows of data.mat x network outputs");
    return p_ok && y_ok;
}

bool allocate(Matrix& m, uint64_t rows, uint64_t cols, const char* what) {
    if (rows > UINT32_MAX || cols > UINT32_MAX || rows * cols > UINT32_MAX) {
        std::cerr << what << ": " << rows << " x " << cols << " values exceed the library's 32-bit counts\n";
        return false;
    }
    m.data.assign(std::size_t(rows * cols), 0.0);
    m.rows = std::size_t(rows);
    m.cols = std::size_t(cols);
    return true;
}

double clock_seconds() {
    timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0.0;
    return double(tv.tv_sec) + double(tv.tv_usec) * 1e-6;
}

void write_result(Matrix const& m, const char* name, bool* failed) {
    if (datafile::write(m, name) != 0) *failed = true;
}

Matrix scalar(double v) {
    Matrix m;
    m.data.assign(1, v);
    m.rows = m.cols = 1;
    return m;
}

}  // namespace driver
