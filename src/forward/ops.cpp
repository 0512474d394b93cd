#include "forward/ops.h"

#include "functions/vector_math.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace veltn {

namespace {

// Gives out ndir directions of n_entries each; the caller overwrites every entry.
void shape_tangents(fad1<Vec>& out, std::size_t ndir, std::size_t n_entries) {
    if (out.tangents.size() != ndir) out.tangents = std::valarray<Vec>(Vec(n_entries), ndir);
    for (std::size_t d = 0; d < ndir; ++d)
        if (out.tangents[d].size() != n_entries) out.tangents[d].resize(n_entries);
}

}  // namespace

void do_exp(fad1<Vec>& out, fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    const std::size_t k = x.tangents.size();
    Vec e(n);
    vec_exp(std::begin(x.value), std::begin(e), n);
    if (&out != &x) shape_tangents(out, k, n);
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = std::begin(x.tangents[d]);
        double* o = std::begin(out.tangents[d]);
        for (std::size_t i = 0; i < n; ++i) o[i] = e[i] * t[i];
    }
    out.value = std::move(e);
}

void do_log(fad1<Vec>& out, fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    const std::size_t k = x.tangents.size();
    const Vec xv = x.value;
    if (&out != &x) shape_tangents(out, k, n);
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = std::begin(x.tangents[d]);
        double* o = std::begin(out.tangents[d]);
        for (std::size_t i = 0; i < n; ++i) o[i] = t[i] / xv[i];
    }
    if (out.value.size() != n) out.value.resize(n);
    vec_log(std::begin(xv), std::begin(out.value), n);
}

fad1<Vec> invert(fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    const std::size_t k = x.tangents.size();
    fad1<Vec> r;
    r.value.resize(n);
    Vec neg_sq(n);
    for (std::size_t i = 0; i < n; ++i) {
        r.value[i] = 1.0 / x.value[i];
        neg_sq[i] = -x.value[i] * x.value[i];
    }
    shape_tangents(r, k, n);
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = std::begin(x.tangents[d]);
        double* o = std::begin(r.tangents[d]);
        for (std::size_t i = 0; i < n; ++i) o[i] = t[i] / neg_sq[i];
    }
    return r;
}

fad1<Vec>& operator/=(fad1<Vec>& a, fad1<Vec> const& b) {
    if (&a == &b) {
        const fad1<Vec> copy(b);
        return a /= copy;
    }
    const std::size_t n = a.value.size();
    const double* bv = std::begin(b.value);
    const double* av = std::begin(a.value);
    for (std::size_t d = 0; d < a.tangents.size(); ++d) {
        double* t = std::begin(a.tangents[d]);
        if (d < b.tangents.size()) {
            const double* bt = std::begin(b.tangents[d]);
            for (std::size_t i = 0; i < n; ++i) {
                t[i] *= bv[i];
                t[i] -= av[i] * bt[i];
                t[i] /= bv[i] * bv[i];
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                t[i] *= bv[i];
                t[i] /= bv[i] * bv[i];
            }
        }
    }
    a.value /= b.value;
    return a;
}

fad1<Vec> abs(fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    fad1<Vec> r(x);
    Vec s(n);
    for (std::size_t i = 0; i < n; ++i) {
        r.value[i] = std::fabs(x.value[i]);
        s[i] = std::copysign(1.0, x.value[i]);
    }
    for (std::size_t d = 0; d < r.tangents.size(); ++d) r.tangents[d] *= s;
    return r;
}

fad1<Vec>& operator*=(fad1<Vec>& x, double c) {
    x.value *= c;
    for (std::size_t d = 0; d < x.tangents.size(); ++d) x.tangents[d] *= c;
    return x;
}

fad1<Vec>& operator+=(fad1<Vec>& x, double c) {
    x.value += c;
    return x;
}

fad1<Vec>& operator/=(fad1<Vec>& x, double c) {
    x.value /= c;
    for (std::size_t d = 0; d < x.tangents.size(); ++d) x.tangents[d] /= c;
    return x;
}

void negate_inplace(fad1<Vec>& x) {
    x.value = -x.value;
    for (std::size_t d = 0; d < x.tangents.size(); ++d) x.tangents[d] = -x.tangents[d];
}

void double_inplace(fad1<Vec>& x) {
    x.value += x.value;
    for (std::size_t d = 0; d < x.tangents.size(); ++d) x.tangents[d] += x.tangents[d];
}

fad1<Vec> multiply_rule(fad1<Vec> const& a, fad1<Vec> const& b) {
    const std::size_t n = a.value.size();
    const std::size_t k = a.tangents.size();
    fad1<Vec> r;
    r.value = a.value * b.value;
    shape_tangents(r, k, n);
    const double* av = std::begin(a.value);
    const double* bv = std::begin(b.value);
    for (std::size_t d = 0; d < k; ++d) {
        const double* at = std::begin(a.tangents[d]);
        double* o = std::begin(r.tangents[d]);
        if (d < b.tangents.size()) {
            const double* bt = std::begin(b.tangents[d]);
            for (std::size_t i = 0; i < n; ++i) o[i] = bv[i] * at[i] + bt[i] * av[i];
        } else {
            for (std::size_t i = 0; i < n; ++i) o[i] = bv[i] * at[i];
        }
    }
    return r;
}

void scatter(fad1<Vec>& dst, std::valarray<bool> const& mask, fad1<Vec> const& src) {
    for (std::size_t i = 0, j = 0; i < mask.size(); ++i)
        if (mask[i]) dst.value[i] = src.value[j++];
    const std::size_t k = std::min(dst.tangents.size(), src.tangents.size());
    for (std::size_t d = 0; d < k; ++d) {
        Vec& o = dst.tangents[d];
        Vec const& s = src.tangents[d];
        for (std::size_t i = 0, j = 0; i < mask.size(); ++i)
            if (mask[i]) o[i] = s[j++];
    }
}

namespace {

// Runs body(result) straight into C unless C is one of the operands; then into a temporary
// that replaces C at the end.
template <class Body>
void into(fad1<Mat>& C, fad1<Mat> const& A, fad1<Mat> const& B, Body body) {
    if (&C == &A || &C == &B) {
        fad1<Mat> tmp;
        body(tmp);
        C = std::move(tmp);
    } else {
        body(C);
    }
}

// Directions are handled in groups small enough that each scratch block stays within this many
// doubles, so that scratch does not grow with k beyond what keeps the BLAS calls large.
constexpr std::size_t kStackDoubles = std::size_t(1) << 18;

std::size_t group_size(std::size_t k, std::size_t per_direction) {
    if (per_direction == 0) return std::max<std::size_t>(k, 1);
    return std::max<std::size_t>(1, std::min(k, kStackDoubles / per_direction));
}

// Row-major C := op(A) op(B) (alpha 1, beta 0) with C M x N and inner extent K.
void gemm(CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, std::size_t M, std::size_t N, std::size_t K, const double* A,
          std::size_t lda, const double* B, std::size_t ldb, double* C, std::size_t ldc) {
    if (M == 0 || N == 0) return;
    if (K == 0) {
        for (std::size_t i = 0; i < M; ++i) std::fill(C + i * ldc, C + i * ldc + N, 0.0);
        return;
    }
    cblas_dgemm(CblasRowMajor, ta, tb, int(M), int(N), int(K), 1.0, A, int(lda), B, int(ldb), 0.0, C, int(ldc));
}

// Marks a direction whose tangent is exactly zero in a group (see find_nonzero).
constexpr std::size_t kZeroDirection = ~std::size_t(0);

// Per-thread index arrays for the directions of a group, one per operand.
std::size_t* positions(unsigned which, std::size_t count) {
    thread_local std::vector<std::size_t> slots[2];
    std::vector<std::size_t>& s = slots[which];
    if (s.size() < count) s.resize(count);
    return s.data();
}

// m zeros: the stand-in for a term whose direction is exactly zero. Such a term is what the
// BLAS returns for a zero operand (+0.0 everywhere), so leaving it out changes no result.
const double* zeros(std::size_t m) {
    thread_local std::vector<double> z;
    if (z.size() < m) z.resize(m, 0.0);
    return z.data();
}

// Whether x holds only +0.0 and -0.0: the bits without the sign are all clear. Checked in
// blocks so that a non-zero tangent is told apart at its first block.
bool all_zero(const double* x, std::size_t n) {
    constexpr std::size_t kBlock = 16;
    for (std::size_t i = 0; i < n; i += kBlock) {
        const std::size_t end = std::min(n, i + kBlock);
        std::uint64_t bits = 0;
        for (std::size_t j = i; j < end; ++j) {
            std::uint64_t b;
            std::memcpy(&b, x + j, sizeof b);
            bits |= b << 1;
        }
        if (bits) return false;
    }
    return true;
}

// For the directions d0 .. d0+count-1 of t (n doubles each): pos[j] = the place of direction
// d0+j among those with a non-zero entry, or kZeroDirection. Returns how many are non-zero.
// Zero directions (the input layer's, or weights outside a direction's support) are left out
// of the stacked products.
std::size_t find_nonzero(std::valarray<Mat> const& t, std::size_t d0, std::size_t count, std::size_t n,
                         std::size_t* pos) {
    std::size_t active = 0;
    for (std::size_t j = 0; j < count; ++j) pos[j] = all_zero(ptr(t[d0 + j].data), n) ? kZeroDirection : active++;
    return active;
}

// Copies the non-zero directions among d0 .. d0+count-1 (n doubles each) one after the other
// into dst, in the places pos gives.
void stack_tangents(std::valarray<Mat> const& t, std::size_t d0, std::size_t count, std::size_t n,
                    std::size_t const* pos, double* dst) {
    for (std::size_t j = 0; j < count; ++j)
        if (pos[j] != kZeroDirection) std::copy_n(ptr(t[d0 + j].data), n, dst + pos[j] * n);
}

// Lays the non-zero rows x cols directions among d0 .. d0+count-1 side by side in the places
// pos gives: a rows x (active cols) matrix.
void tangents_side_by_side(std::valarray<Mat> const& t, std::size_t d0, std::size_t count, std::size_t active,
                           std::size_t rows, std::size_t cols, std::size_t const* pos, double* dst) {
    const std::size_t ld = active * cols;
    for (std::size_t j = 0; j < count; ++j) {
        if (pos[j] == kZeroDirection) continue;
        const double* src = ptr(t[d0 + j].data);
        for (std::size_t i = 0; i < rows; ++i) copy_row(src + i * cols, cols, dst + i * ld + pos[j] * cols);
    }
}

// Gives C's tangent array k entries of rows x cols, keeping storage whose element count matches.
void shape_tangents(fad1<Mat>& C, std::size_t k, std::size_t rows, std::size_t cols) {
    if (C.tangents.size() != k) C.tangents = std::valarray<Mat>(Mat(), k);
    for (std::size_t d = 0; d < k; ++d) C.tangents[d].resize(rows, cols);
}

// Row i of one stacked term starts at base + i * stride; a null base stands for a zero term.
struct Rows {
    const double* base;
    std::size_t stride;
};

// One tangent (rows x cols at out) from the two terms of a product: out := a + b, or out := a
// when the product has no second term for this direction; with add, out += the same. An absent
// term reads as `zero` (cols zeros), so that it adds +0.0 exactly as a zero BLAS result would.
// With a bias (cols entries, only without add), out := (a + b) + bias, the sum a bias pass
// after the product would make.
void combine(double* out, std::size_t rows, std::size_t cols, Rows a, Rows b, bool has_b, bool add,
             const double* zero, const double* bias = nullptr) {
    for (std::size_t i = 0; i < rows; ++i) {
        const double* u = a.base ? a.base + i * a.stride : zero;
        const double* t = b.base ? b.base + i * b.stride : zero;
        double* o = out + i * cols;
        if (bias && has_b) {
            for (std::size_t e = 0; e < cols; ++e) o[e] = (u[e] + t[e]) + bias[e];
        } else if (bias) {
            for (std::size_t e = 0; e < cols; ++e) o[e] = u[e] + bias[e];
        } else if (has_b && add) {
            for (std::size_t e = 0; e < cols; ++e) o[e] += u[e] + t[e];
        } else if (has_b) {
            for (std::size_t e = 0; e < cols; ++e) o[e] = u[e] + t[e];
        } else if (add) {
            for (std::size_t e = 0; e < cols; ++e) o[e] += u[e];
        } else {
            copy_row(u, cols, o);
        }
    }
}

// The term of the direction in place p of a block stacked vertically (p-th rows x cols block)
// or laid side by side (p-th column band of width cols in rows of ld doubles).
Rows stacked(const double* S, std::size_t p, std::size_t rows, std::size_t cols) {
    return p == kZeroDirection ? Rows{nullptr, 0} : Rows{S + p * rows * cols, cols};
}
Rows side_by_side(const double* S, std::size_t p, std::size_t cols, std::size_t ld) {
    return p == kZeroDirection ? Rows{nullptr, 0} : Rows{S + p * cols, ld};
}

// The directions d0 .. d0+c-1 of t (rows x inner each) that are not zero, stacked vertically
// and multiplied by op(B) (inner x cols, leading dimension ldb) in one dgemm: block pos[j] of the
// result (rows x cols) is direction d0+j's product. Returns null when every direction is zero.
// Uses scratch slots 0 and 1.
const double* stacked_times(std::valarray<Mat> const& t, std::size_t d0, std::size_t c, std::size_t rows,
                            std::size_t inner, std::size_t cols, CBLAS_TRANSPOSE tb, const double* B, std::size_t ldb,
                            std::size_t* pos) {
    const std::size_t active = find_nonzero(t, d0, c, rows * inner, pos);
    if (!active) return nullptr;
    double* S = scratch(0, active * rows * inner);
    stack_tangents(t, d0, c, rows * inner, pos, S);
    double* P = scratch(1, active * rows * cols);
    gemm(CblasNoTrans, tb, active * rows, cols, inner, S, inner, B, ldb, P, cols);
    return P;
}

// C's tangents for C = A B: d = A_d B + A B_d for d below B's count, A_d B beyond. With bias
// (whose tangents below C's count all have C.cols entries), tangent d of the bias is added to
// every row of tangent d.
void mult_tangents(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C, fad1<Vec> const* bias = nullptr) {
    const std::size_t r = A.value.rows, n = A.value.cols, m = B.value.cols;
    const std::size_t k = A.tangents.size();
    const std::size_t kb = std::min(k, B.tangents.size());
    shape_tangents(C, k, r, m);
    if (r * m == 0 || k == 0) return;
    const double* zero = zeros(m);
    const std::size_t g = group_size(k, std::max({r * n, r * m, n * m}));
    for (std::size_t d0 = 0; d0 < k; d0 += g) {
        const std::size_t c = std::min(g, k - d0);
        const std::size_t cb = kb > d0 ? std::min(c, kb - d0) : 0;
        // The A_d stacked vertically times B: block p = A_d B for the direction in place p.
        std::size_t* pa = positions(0, c);
        const double* U = stacked_times(A.tangents, d0, c, r, n, m, CblasNoTrans, ptr(B.value.data), m, pa);
        // A times the B_d side by side: r x (nb m), block p = A B_d.
        std::size_t* pb = positions(1, c);
        const std::size_t nb = cb ? find_nonzero(B.tangents, d0, cb, n * m, pb) : 0;
        double* T = nullptr;
        if (nb) {
            double* W = scratch(2, n * nb * m);
            tangents_side_by_side(B.tangents, d0, cb, nb, n, m, pb, W);
            T = scratch(3, r * nb * m);
            gemm(CblasNoTrans, CblasNoTrans, r, nb * m, n, ptr(A.value.data), n, W, nb * m, T, nb * m);
        }
        for (std::size_t j = 0; j < c; ++j) {
            const Rows t = j < cb ? side_by_side(T, pb[j], m, nb * m) : Rows{nullptr, 0};
            const std::size_t d = d0 + j;
            const double* b = bias && d < bias->tangents.size() ? ptr(bias->tangents[d]) : nullptr;
            combine(ptr(C.tangents[d].data), r, m, stacked(U, pa[j], r, m), t, j < cb, false, zero, b);
        }
    }
}

// C's tangents for C = A B^T: d = A B_d^T + A_d B^T for d below B's count, 0 + A_d B^T beyond.
void mult_nt_tangents(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C) {
    const std::size_t r = A.value.rows, m = A.value.cols, n = B.value.rows;
    const std::size_t k = A.tangents.size();
    const std::size_t kb = std::min(k, B.tangents.size());
    shape_tangents(C, k, r, n);
    if (r * n == 0 || k == 0) return;
    const double* zero = zeros(n);
    const std::size_t g = group_size(k, std::max({r * m, r * n, n * m}));
    for (std::size_t d0 = 0; d0 < k; d0 += g) {
        const std::size_t c = std::min(g, k - d0);
        const std::size_t cb = kb > d0 ? std::min(c, kb - d0) : 0;
        // The A_d stacked vertically times B^T: block p = A_d B^T.
        std::size_t* pa = positions(0, c);
        const double* T = stacked_times(A.tangents, d0, c, r, m, n, CblasTrans, ptr(B.value.data), m, pa);
        // A times the B_d stacked vertically, transposed: r x (nb n), block p = A B_d^T.
        std::size_t* pb = positions(1, c);
        const std::size_t nb = cb ? find_nonzero(B.tangents, d0, cb, n * m, pb) : 0;
        double* U = nullptr;
        if (nb) {
            double* W = scratch(2, nb * n * m);
            stack_tangents(B.tangents, d0, cb, n * m, pb, W);
            U = scratch(3, r * nb * n);
            gemm(CblasNoTrans, CblasTrans, r, nb * n, m, ptr(A.value.data), m, W, m, U, nb * n);
        }
        for (std::size_t j = 0; j < c; ++j) {
            const Rows u = j < cb ? side_by_side(U, pb[j], n, nb * n) : Rows{nullptr, 0};
            combine(ptr(C.tangents[d0 + j].data), r, n, u, stacked(T, pa[j], r, n), true, false, zero);
        }
    }
}

// C's tangents for C = A^T B: d = A^T B_d + A_d^T B for d below A's count, A^T B_d beyond. With
// accumulate, each is added to C's tangent d instead (C's tangents beyond B's count kept, missing
// ones zero, one of another element count replaced).
void mult_tn_tangents(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C, bool accumulate) {
    const std::size_t r = A.value.rows, n = A.value.cols, m = B.value.cols;
    const std::size_t k = B.tangents.size();
    const std::size_t ka = std::min(k, A.tangents.size());
    if (!accumulate) {
        shape_tangents(C, k, n, m);
    } else if (C.tangents.size() < k) {
        std::valarray<Mat> grown(Mat(), k);
        for (std::size_t d = 0; d < C.tangents.size(); ++d) grown[d] = std::move(C.tangents[d]);
        for (std::size_t d = C.tangents.size(); d < k; ++d) grown[d] = Mat(n, m);
        C.tangents = std::move(grown);
    }
    if (k == 0) return;
    if (n * m == 0) {
        for (std::size_t d = 0; d < k; ++d) C.tangents[d].resize(n, m);
        return;
    }
    const double* zero = zeros(m);
    const std::size_t g = group_size(k, std::max({r * m, n * m, r * n}));
    for (std::size_t d0 = 0; d0 < k; d0 += g) {
        const std::size_t c = std::min(g, k - d0);
        const std::size_t ca = ka > d0 ? std::min(c, ka - d0) : 0;
        // A^T times the B_d side by side: n x (nb m), block p = A^T B_d.
        std::size_t* pb = positions(1, c);
        const std::size_t nb = find_nonzero(B.tangents, d0, c, r * m, pb);
        double* U = nullptr;
        if (nb) {
            double* W = scratch(0, r * nb * m);
            tangents_side_by_side(B.tangents, d0, c, nb, r, m, pb, W);
            U = scratch(1, n * nb * m);
            gemm(CblasTrans, CblasNoTrans, n, nb * m, r, ptr(A.value.data), n, W, nb * m, U, nb * m);
        }
        // The A_d side by side, transposed, times B: (na n) x m, block p = A_d^T B.
        std::size_t* pa = positions(0, c);
        const std::size_t na = ca ? find_nonzero(A.tangents, d0, ca, r * n, pa) : 0;
        double* T = nullptr;
        if (na) {
            double* S = scratch(2, r * na * n);
            tangents_side_by_side(A.tangents, d0, ca, na, r, n, pa, S);
            T = scratch(3, na * n * m);
            gemm(CblasTrans, CblasNoTrans, na * n, m, r, S, na * n, ptr(B.value.data), m, T, m);
        }
        for (std::size_t j = 0; j < c; ++j) {
            Mat& Cd = C.tangents[d0 + j];
            const bool add = accumulate && Cd.size() == n * m;
            Cd.resize(n, m);
            const Rows t = j < ca ? stacked(T, pa[j], n, m) : Rows{nullptr, 0};
            combine(ptr(Cd.data), n, m, side_by_side(U, pb[j], m, nb * m), t, j < ca, add, zero);
        }
    }
}

}  // namespace

double* scratch(unsigned slot, std::size_t n) {
    thread_local std::vector<double> slots[kScratchSlots];
    std::vector<double>& s = slots[slot];
    if (s.size() < n) s.resize(n);
    return s.data();
}

void do_mult(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C) {
    into(C, A, B, [&](fad1<Mat>& R) {
        matmul(A.value, B.value, R.value);
        mult_tangents(A, B, R);
    });
}

void do_mult_bias(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Vec> const& b, fad1<Mat>& C) {
    const std::size_t cols = B.value.cols;
    bool fused = &C != &A && &C != &B && b.value.size() == cols;
    for (std::size_t d = 0; fused && d < std::min(b.tangents.size(), A.tangents.size()); ++d)
        fused = b.tangents[d].size() == cols;
    if (!fused) {
        do_mult(A, B, C);
        do_binplus(C, C, b);
        return;
    }
    matmul(A.value, B.value, C.value);
    add_bias(C.value, b.value);
    mult_tangents(A, B, C, &b);
}

void do_binmult(fad1<Mat>& C, fad1<Mat> const& A, TransposedFAD1<Mat> const& Bt) {
    fad1<Mat> const& B = Bt.m;
    into(C, A, B, [&](fad1<Mat>& R) {
        mult_nt_tangents(A, B, R);
        matmul_nt(A.value, B.value, R.value);
    });
}

void do_binmult(fad1<Mat>& C, TransposedFAD1<Mat> const& At, fad1<Mat> const& B) {
    fad1<Mat> const& A = At.m;
    into(C, A, B, [&](fad1<Mat>& R) {
        mult_tn_tangents(A, B, R, false);
        matmul_tn(A.value, B.value, R.value, 0.0);
    });
}

void add_binmult(fad1<Mat>& C, TransposedFAD1<Mat> const& At, fad1<Mat> const& B) {
    fad1<Mat> const& A = At.m;
    if (&C == &A || &C == &B || C.value.size() != A.value.cols * B.value.cols) {
        fad1<Mat> P;
        do_binmult(P, At, B);
        accumulate_into(C, std::move(P));
        return;
    }
    thread_local Mat product;
    matmul_tn(A.value, B.value, product, 0.0);
    C.value.rows = product.rows;
    C.value.cols = product.cols;
    C.value.data += product.data;
    mult_tn_tangents(A, B, C, true);
}

void accumulate_into(fad1<Mat>& C, fad1<Mat>&& P) {
    // Like the plain product with beta 1: a target of another element count is replaced.
    if (C.value.size() != P.value.size()) {
        C = std::move(P);
        return;
    }
    C.value.rows = P.value.rows;
    C.value.cols = P.value.cols;
    C.value.data += P.value.data;
    if (C.tangents.size() < P.tangents.size()) {
        std::valarray<Mat> grown(Mat(), P.tangents.size());
        for (std::size_t d = 0; d < C.tangents.size(); ++d) grown[d] = std::move(C.tangents[d]);
        for (std::size_t d = C.tangents.size(); d < P.tangents.size(); ++d) grown[d] = Mat(P.rows(), P.cols());
        C.tangents = std::move(grown);
    }
    for (std::size_t d = 0; d < P.tangents.size(); ++d) {
        Mat& t = C.tangents[d];
        if (t.size() != P.tangents[d].size()) {
            t = std::move(P.tangents[d]);
            continue;
        }
        t.rows = P.tangents[d].rows;
        t.cols = P.tangents[d].cols;
        t.data += P.tangents[d].data;
    }
}

void do_binplus(fad1<Mat>& C, fad1<Mat> const& A, fad1<Vec> const& b) {
    if (&C != &A) C = A;
    add_bias(C.value, b.value);
    for (std::size_t d = 0; d < C.tangents.size(); ++d)
        if (d < b.tangents.size()) add_bias(C.tangents[d], b.tangents[d]);
}

void colsum_into(fad1<Mat> const& A, fad1<Vec>& s) {
    colsum_into(A.value, s.value);
    if (s.tangents.size() != A.tangents.size()) s.tangents = std::valarray<Vec>(Vec(), A.tangents.size());
    for (std::size_t d = 0; d < A.tangents.size(); ++d) colsum_into(A.tangents[d], s.tangents[d]);
}

}  // namespace veltn
