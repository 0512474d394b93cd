// Checks the entry points make on what callers pass, before any array is read or written.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "api/boundary.h"
#include "model/forward_pass.h"
#include "api/handle.h"
#include "core/input_rows.h"
#include "core/matrix.h"
#include "model/parameters.h"

namespace veltn {

// A product of counts that must stay below 2^32 (the library's matrices are 32-bit sized).
inline uint32_t count_product(uint64_t a, uint64_t b, const char* what) {
    const uint64_t n = a * b;
    if ((a != 0 && n / a != b) || n > UINT32_MAX) fail(std::string(what) + " has too many elements");
    return static_cast<uint32_t>(n);
}

inline void require_array(const void* p, uint64_t count, const char* name) {
    if (!p && count) fail(std::string(name) + " is null");
}

inline void require_norm(PlainNN const& nn) {
    if (!nn.has_norm()) fail("the network has no norm function (unknown name \"" + nn.normname + "\")");
}

inline void require_param_count(PlainNN const& nn, uint32_t npar, const char* name) {
    const uint64_t need = numel(nn);
    if (npar < need)
        fail(std::string(name) + " holds " + std::to_string(npar) + " values, the network has " +
             std::to_string(need) + " parameters");
}

inline void require_params(PlainNN const& nn, const double* par, uint32_t npar, const char* name) {
    require_param_count(nn, npar, name);
    require_array(par, npar, name);
}

inline void require_targets(PlainNN const& nn, uint32_t Cy) {
    if (Cy != nn.numout)
        fail("targets have " + std::to_string(Cy) + " columns, the network has " + std::to_string(nn.numout) +
             " outputs");
}

// A NaN or an infinity in an input would propagate without raising anything, so it is refused
// as a floating-point event.
inline void require_finite(const double* x, std::size_t n, const char* name) {
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) finite &= std::isfinite(x[i]);
    if (!finite) throw FloatingPointFailure(std::string(name) + " holds NaN or infinity");
}

// Copies n caller values; a null array (allowed only where the caller's contract says so)
// gives zeros.
inline void copy_input(const double* p, std::size_t n, double* out, const char* name) {
    if (!p) return;
    std::copy_n(p, n, out);
    require_finite(out, n, name);
}

// The copy is built straight from the caller's array, without zero-filling its storage first:
// for a large array that pass over fresh memory costs as much as the copy itself.
inline Mat matrix_from(const double* p, uint32_t rows, uint32_t cols, const char* name) {
    if (!p) return Mat(rows, cols);
    Mat m;
    const std::size_t n = std::size_t(rows) * cols;
    m.data = std::valarray<double>(p, n);
    m.rows = rows;
    m.cols = cols;
    require_finite(ptr(m.data), n, name);
    return m;
}

// The caller's rows x cols array, read batch by batch by the passes (null reads as zeros, a
// NaN or an infinity is refused when its batch is read).
inline InputRows caller_rows(const double* p, uint32_t rows, uint32_t cols, const char* name) {
    return InputRows{p, rows, cols, name};
}

inline Vec vector_from(const double* p, uint64_t n, const char* name) {
    Vec v(0.0, n);
    copy_input(p, n, ptr(v), name);
    return v;
}

// A private copy of the handle's plain model loaded with the caller's parameters.
// Only the first numel values are read: the rest of a longer vector is none of the network's.
inline PlainNN loaded_model(PlainNN const& model, const double* par, uint32_t npar) {
    PlainNN nn = model;
    setweights(nn, vector_from(par, std::min<uint64_t>(npar, numel(model)), "the parameter vector"));
    return nn;
}

inline void copy_out(Vec const& v, double* out) {
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i];
}

// A parameter-layout result into the caller's n entries: a vector longer than the network's
// parameters gets zeros after them (nothing depends on those entries).
inline void copy_parameters_out(Vec const& v, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = i < v.size() ? v[i] : 0.0;
}

}  // namespace veltn
