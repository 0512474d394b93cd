// The drivers' own matrix: extents and row-major doubles, nothing more. The drivers only move
// matrices between files and the library's C interface, so they need no arithmetic on them.
#pragma once

#include <cstddef>
#include <vector>

namespace datafile {

struct Matrix {
    std::vector<double> data;  // row-major: element (i, j) at data[i * cols + j]
    std::size_t rows = 0;
    std::size_t cols = 0;

    std::size_t size() const { return data.size(); }
};

// The first value, or nullptr for an empty matrix (what the C interface expects for no data).
inline const double* ptr(std::vector<double> const& v) { return v.empty() ? nullptr : v.data(); }
inline double* ptr(std::vector<double>& v) { return v.empty() ? nullptr : v.data(); }

}  // namespace datafile
