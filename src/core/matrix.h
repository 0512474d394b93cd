// Dense row-major matrix of the library and the operations the network uses on it.
#pragma once

#include <cblas.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <valarray>

#include "core/messages.h"

namespace veltn {

template <class T>
struct MatrixTemplate {
    std::valarray<T> data;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixTemplate() = default;
    // Extents and element count are 32-bit quantities throughout the library.
    MatrixTemplate(std::size_t r, std::size_t c)
        : data(T(0), static_cast<uint32_t>(static_cast<uint32_t>(r) * static_cast<uint32_t>(c))),
          rows(static_cast<uint32_t>(r)),
          cols(static_cast<uint32_t>(c)) {}

    T& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
    const T& operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    std::size_t size() const { return data.size(); }

    // Reuses the storage when the element count matches (the extents may still change).
    void resize(std::size_t r, std::size_t c) {
        const std::size_t n = static_cast<uint32_t>(static_cast<uint32_t>(r) * static_cast<uint32_t>(c));
        if (data.size() != n) data.resize(n);
        rows = static_cast<uint32_t>(r);
        cols = static_cast<uint32_t>(c);
    }
};

using Mat = MatrixTemplate<double>;
using Vec = std::valarray<double>;

// The sums of columns j, j+1, ... in blocks of W, each held in registers across all the rows
// (a sum kept in memory would wait on its own store every row); returns the first column left.
template <std::size_t W, class T>
std::size_t colsum_block(const T* d, std::size_t cols, std::size_t last, std::size_t j, T* out) {
    for (; j + W <= cols; j += W) {
        T acc[W];
        for (std::size_t c = 0; c < W; ++c) acc[c] = d[last * cols + j + c];
        for (std::size_t i = last; i-- > 0;)
            for (std::size_t c = 0; c < W; ++c) acc[c] += d[i * cols + j + c];
        for (std::size_t c = 0; c < W; ++c) out[j + c] = acc[c];
    }
    return j;
}

// Column sums into s (its storage kept when the length matches), each accumulated from the last
// row up to the first.
template <class T>
void colsum_into(MatrixTemplate<T> const& m, std::valarray<T>& s) {
    if (s.size() != m.cols) s.resize(m.cols);
    if (m.rows == 0) {
        s = T(0);
        return;
    }
    const T* d = &m.data[0];
    T* out = &s[0];
    const std::size_t cols = m.cols, last = m.rows - 1;
    std::size_t j = 0;
    j = colsum_block<8>(d, cols, last, j, out);
    j = colsum_block<4>(d, cols, last, j, out);
    j = colsum_block<2>(d, cols, last, j, out);
    colsum_block<1>(d, cols, last, j, out);
}

inline const double* ptr(Vec const& v) { return v.size() ? &v[0] : nullptr; }
inline double* ptr(Vec& v) { return v.size() ? &v[0] : nullptr; }

// C := A . B by the three-way rule: one row of A -> dgemv on B transposed; one column of B ->
// dgemv; otherwise dgemm. The inner extent comes from B.rows in the first case, A.cols else.
inline void matmul(Mat const& A, Mat const& B, Mat& C) {
    C.resize(A.rows, B.cols);
    if (C.size() == 0) return;
    if (A.rows == 1) {
        cblas_dgemv(CblasRowMajor, CblasTrans, (int)B.rows, (int)B.cols, 1.0, ptr(B.data), (int)B.cols,
                    ptr(A.data), 1, 0.0, ptr(C.data), 1);
    } else if (B.cols == 1) {
        cblas_dgemv(CblasRowMajor, CblasNoTrans, (int)A.rows, (int)A.cols, 1.0, ptr(A.data), (int)A.cols,
                    ptr(B.data), 1, 0.0, ptr(C.data), 1);
    } else {
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, (int)A.rows, (int)B.cols, (int)A.cols, 1.0,
                    ptr(A.data), (int)A.cols, ptr(B.data), (int)B.cols, 0.0, ptr(C.data), (int)B.cols);
    }
}

// C := A . B^T (always dgemm).
inline void matmul_nt(Mat const& A, Mat const& B, Mat& C) {
    C.resize(A.rows, B.rows);
    if (C.size() == 0) return;
    if (A.cols == 0) { C.data = 0.0; return; }
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, (int)A.rows, (int)B.rows, (int)A.cols, 1.0, ptr(A.data),
                (int)A.cols, ptr(B.data), (int)B.cols, 0.0, ptr(C.data), (int)B.rows);
}

// C := A^T . B + beta C (always dgemm); C is reshaped (zero-filled) when its count differs.
inline void matmul_tn(Mat const& A, Mat const& B, Mat& C, double beta) {
    if (C.size() != A.cols * B.cols) {
        C = Mat(A.cols, B.cols);
    } else {
        C.rows = A.cols;
        C.cols = B.cols;
    }
    if (C.size() == 0) return;
    if (A.rows == 0) { if (beta == 0.0) C.data = 0.0; return; }
    cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, (int)A.cols, (int)B.cols, (int)A.rows, 1.0, ptr(A.data),
                (int)A.cols, ptr(B.data), (int)B.cols, beta, ptr(C.data), (int)B.cols);
}

// Z += b: elementwise when b has Z's element count, to every row when it has Z.cols entries.
// Returns false (after "invalid dims") when neither fits.
inline bool add_bias(Mat& Z, Vec const& b) {
    if (b.size() == Z.size()) {
        Z.data += b;
        return true;
    }
    if (b.size() == Z.cols) {
        double* z = ptr(Z.data);
        const double* bb = ptr(b);
        for (std::size_t i = 0; i < Z.rows; ++i, z += Z.cols)
            for (std::size_t j = 0; j < Z.cols; ++j) z[j] += bb[j];
        return true;
    }
    veltn::emit(veltn::kStderr, "invalid dims");
    return false;
}

// Copies n doubles that do not overlap. Rows of a layer are short (a few cache lines), and a
// library memcpy call per row costs more than the copy: fixed 64-byte moves compile inline.
inline void copy_row(const double* src, std::size_t n, double* dst) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) std::memcpy(dst + i, src + i, 8 * sizeof(double));
    for (; i < n; ++i) dst[i] = src[i];
}

// Writes the r x c block src into dst (dst.cols wide) with its top-left corner at column col0.
inline void place_columns(Mat& dst, Mat const& src, std::size_t col0) {
    if (src.size() == 0) return;
    const double* s = &src.data[0];
    double* d = &dst.data[0];
    for (std::size_t i = 0; i < src.rows; ++i) copy_row(s + i * src.cols, src.cols, d + i * dst.cols + col0);
}

// dst += columns col0 .. col0+dst.cols-1 of src, row by row (src has at least dst's rows).
inline void add_columns(Mat const& src, std::size_t col0, Mat& dst) {
    if (dst.size() == 0) return;
    const double* s = &src.data[0];
    double* d = &dst.data[0];
    for (std::size_t i = 0; i < dst.rows; ++i) {
        const double* from = s + i * src.cols + col0;
        double* to = d + i * dst.cols;
        for (std::size_t j = 0; j < dst.cols; ++j) to[j] += from[j];
    }
}

// out := rows row0 .. row0+n-1 of m, all columns (out's storage is kept when its size fits).
inline void copy_rows_into(Mat const& m, std::size_t row0, std::size_t n, Mat& out) {
    out.resize(n, m.cols);
    const std::size_t count = n * m.cols;
    for (std::size_t e = 0; e < count; ++e) out.data[e] = m.data[row0 * m.cols + e];
}

// Rows row0 .. row0+n-1 of m, all columns.
inline Mat copy_rows(Mat const& m, std::size_t row0, std::size_t n) {
    Mat out;
    copy_rows_into(m, row0, n, out);
    return out;
}

}  // namespace veltn
