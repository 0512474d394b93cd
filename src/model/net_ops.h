// The primitive operations the generic forward and reverse passes are written in, for the
// plain-double types. The tangent types provide the same overload set; the passes call them
// unqualified so that argument-dependent lookup picks the right one at instantiation.
#pragma once

#include <cstdint>

#include "core/matrix.h"

namespace veltn {

inline std::size_t nn_rows(Mat const& m) { return m.rows; }
inline std::size_t nn_count(Mat const& m) { return m.size(); }
inline std::size_t nn_count(Vec const& v) { return v.size(); }
// Directions a matrix carries besides its value (none for a plain one).
inline std::size_t nn_ndir(Mat const&) { return 0; }

// A := rows(X) x width zeros with X in its first X.cols columns (A's storage is kept when its
// size fits, here and in nn_zeros).
inline void nn_input(Mat& A, Mat const& X, std::size_t width) {
    A.resize(X.rows, width);
    A.data = 0.0;
    place_columns(A, X, 0);
}

inline void nn_zeros(Mat& m, std::size_t rows, std::size_t cols) {
    m.resize(rows, cols);
    m.data = 0.0;
}
// Z := A W + b (b added to every row).
inline void nn_mult_bias(Mat const& A, Mat const& W, Vec const& b, Mat& Z) {
    matmul(A, W, Z);
    add_bias(Z, b);
}
inline void nn_place_columns(Mat& T, Mat const& src, std::size_t col0) { place_columns(T, src, col0); }
// dst += columns col0 .. col0+dst.cols-1 of src.
inline void nn_add_columns(Mat const& src, std::size_t col0, Mat& dst) { add_columns(src, col0, dst); }
inline void nn_sub_target(Mat& F, Mat const& Y) { F.data -= Y.data; }

// C := A B^T and C := A^T B (+ C when accumulate).
inline void nn_mult_nt(Mat const& A, Mat const& B, Mat& C) { matmul_nt(A, B, C); }
inline void nn_mult_tn(Mat const& A, Mat const& B, Mat& C, bool accumulate) {
    matmul_tn(A, B, C, accumulate ? 1.0 : 0.0);
}

// a += b over a's element count.
inline void nn_add_into(Vec& a, Vec const& b) {
    for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
}
inline void nn_add_into(Mat& a, Mat const& b) {
    for (std::size_t i = 0; i < a.size(); ++i) a.data[i] += b.data[i];
}

// s := the column sums of m.
inline void nn_colsum(Mat const& m, Vec& s) { colsum_into(m, s); }

inline void nn_set_zero(Mat& m) { m.data = 0.0; }
inline void nn_set_zero(Vec& v) { v = 0.0; }

// Flattened copy of a matrix, and the reverse (the target keeps its extents).
inline Vec nn_as_vector(Mat const& m) { return m.data; }
inline void nn_assign_values(Mat& m, Vec const& v) { m.data = v; }

inline double scalar_value(double s) { return s; }

// Writes the rows of src into dst starting at row row0 (same column count).
inline void nn_place_rows(Mat& dst, Mat const& src, std::size_t row0) {
    const std::size_t n = src.size();
    double* d = ptr(dst.data) + row0 * dst.cols;
    for (std::size_t e = 0; e < n; ++e) d[e] = src.data[e];
}

}  // namespace veltn
