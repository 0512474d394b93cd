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

// Gives out k directions of n entries; the caller overwrites every entry.
void shape_tangents(fad1<Vec>& out, std::size_t k, std::size_t n) { out.tangents.shape(k, n); }

}  // namespace

void do_exp(fad1<Vec>& out, fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    const std::size_t k = x.tangents.size();
    double* e = scratch(8, n);
    vec_exp(ptr(x.value), e, n);
    if (&out != &x) shape_tangents(out, k, n);
    vec_scale_directions(std::as_const(x.tangents).data(), e, out.tangents.data(), n, k);
    if (out.value.size() != n) out.value.resize(n);
    std::copy_n(e, n, ptr(out.value));
}

void do_log(fad1<Vec>& out, fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    const std::size_t k = x.tangents.size();
    double* xv = scratch(8, n);
    std::copy_n(ptr(x.value), n, xv);
    if (&out != &x) shape_tangents(out, k, n);
    const double* t = x.tangents.data();
    double* o = out.tangents.data();
    for (std::size_t d = 0; d < k; ++d, t += n, o += n)
        for (std::size_t i = 0; i < n; ++i) o[i] = t[i] / xv[i];
    if (out.value.size() != n) out.value.resize(n);
    vec_log(xv, ptr(out.value), n);
}

fad1<Vec> invert(fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    const std::size_t k = x.tangents.size();
    fad1<Vec> r;
    r.shape(k, n);
    double* neg_sq = scratch(8, n);
    for (std::size_t i = 0; i < n; ++i) {
        r.value[i] = 1.0 / x.value[i];
        neg_sq[i] = -x.value[i] * x.value[i];
    }
    const double* t = x.tangents.data();
    double* o = r.tangents.data();
    for (std::size_t d = 0; d < k; ++d, t += n, o += n)
        for (std::size_t i = 0; i < n; ++i) o[i] = t[i] / neg_sq[i];
    return r;
}

fad1<Vec>& operator/=(fad1<Vec>& a, fad1<Vec> const& b) {
    if (&a == &b) {
        const fad1<Vec> copy(b);
        return a /= copy;
    }
    const std::size_t n = a.value.size();
    const double* bv = ptr(b.value);
    const double* av = ptr(a.value);
    for (std::size_t d = 0; d < a.tangents.size(); ++d) {
        double* t = a.tangents.at(d);
        if (d < b.tangents.size()) {
            const double* bt = b.tangents.at(d);
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
    double* s = scratch(8, n);
    for (std::size_t i = 0; i < n; ++i) {
        r.value[i] = std::fabs(x.value[i]);
        s[i] = std::copysign(1.0, x.value[i]);
    }
    double* t = r.tangents.data();
    for (std::size_t d = 0; d < r.tangents.size(); ++d, t += n)
        for (std::size_t i = 0; i < n; ++i) t[i] *= s[i];
    return r;
}

namespace {

// f(t) over every tangent entry of x.
template <class F>
void over_tangents(fad1<Vec>& x, F f) {
    double* t = x.tangents.data();
    const std::size_t total = x.tangents.size() * x.tangents.count();
    for (std::size_t i = 0; i < total; ++i) t[i] = f(t[i]);
}

}  // namespace

fad1<Vec>& operator*=(fad1<Vec>& x, double c) {
    x.value *= c;
    over_tangents(x, [c](double t) { return t * c; });
    return x;
}

fad1<Vec>& operator+=(fad1<Vec>& x, double c) {
    x.value += c;
    return x;
}

fad1<Vec>& operator/=(fad1<Vec>& x, double c) {
    x.value /= c;
    over_tangents(x, [c](double t) { return t / c; });
    return x;
}

void negate_inplace(fad1<Vec>& x) {
    x.value = -x.value;
    over_tangents(x, [](double t) { return -t; });
}

void double_inplace(fad1<Vec>& x) {
    x.value += x.value;
    over_tangents(x, [](double t) { return t + t; });
}

fad1<Vec> multiply_rule(fad1<Vec> const& a, fad1<Vec> const& b) {
    const std::size_t n = a.value.size();
    const std::size_t k = a.tangents.size();
    fad1<Vec> r;
    r.value = a.value * b.value;
    shape_tangents(r, k, n);
    const double* av = ptr(a.value);
    const double* bv = ptr(b.value);
    for (std::size_t d = 0; d < k; ++d) {
        const double* at = a.tangents.at(d);
        double* o = r.tangents.at(d);
        if (d < b.tangents.size()) {
            const double* bt = b.tangents.at(d);
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
        double* o = dst.tangents.at(d);
        const double* s = src.tangents.at(d);
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

// Row-major C := op(A) op(B) + beta C with C M x N and inner extent K.
void gemm(CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, std::size_t M, std::size_t N, std::size_t K, const double* A,
          std::size_t lda, const double* B, std::size_t ldb, double* C, std::size_t ldc, double beta = 0.0) {
    if (M == 0 || N == 0) return;
    if (K == 0) {
        if (beta == 0.0)
            for (std::size_t i = 0; i < M; ++i) std::fill(C + i * ldc, C + i * ldc + N, 0.0);
        return;
    }
    cblas_dgemm(CblasRowMajor, ta, tb, int(M), int(N), int(K), 1.0, A, int(lda), B, int(ldb), beta, C, int(ldc));
}

// Directions that are exactly zero contribute what a BLAS call returns for a zero operand (+0.0
// everywhere), so the products leave them out: the input layer's directions, and a weight
// outside a direction's support (the columns of the full Hessian).
using Run = DirectionRun;

// The runs of t's first `count` directions: the block's remembered ones when they are current
// and cover exactly those directions, otherwise (known to be zero, or scanned) in per-thread
// storage that is valid until the next call with the same `which`.
std::vector<Run> const& runs_of(TangentBlock const& t, std::size_t count, unsigned which) {
    if (auto known = t.remembered_runs(); known && count == t.size()) return *known;
    thread_local std::vector<Run> store[3];
    std::vector<Run>& runs = store[which];
    if (t.known_zero()) {
        runs.clear();
        if (count > 0) runs.push_back({0, count, true});
    } else {
        zero_runs(t, count, runs);
    }
    return runs;
}

// Extent from which a stack of batch-sized blocks runs faster as one dgemm per block: with both
// inner and outer extents this wide, the BLAS's small-matrix path beats its general one on the
// whole stack.
constexpr std::size_t kPerBlockExtent = 32;

// C := A op(B) for c blocks of r rows stacked in A and C (A's row length K, C's N; op(B) K x N).
void stacked_gemm(CBLAS_TRANSPOSE tb, std::size_t c, std::size_t r, std::size_t N, std::size_t K, const double* A,
                  const double* B, std::size_t ldb, double* C) {
    if (N < kPerBlockExtent || K < kPerBlockExtent) {
        gemm(CblasNoTrans, tb, c * r, N, K, A, K, B, ldb, C, N);
        return;
    }
    for (std::size_t b = 0; b < c; ++b) gemm(CblasNoTrans, tb, r, N, K, A + b * r * K, K, B, ldb, C + b * r * N, N);
}

// bias (cols entries) added to every row of out (rows x cols).
void add_to_rows(double* out, std::size_t rows, std::size_t cols, const double* bias) {
    for (std::size_t i = 0; i < rows; ++i, out += cols)
        for (std::size_t e = 0; e < cols; ++e) out[e] += bias[e];
}

// C's tangents for C = A B: d = A_d B + A B_d for d below B's count, A_d B beyond. The A_d are
// one stacked matrix, so each run of non-zero A_d times B is one dgemm straight into C's block.
// Each non-zero B_d then adds A B_d to C's direction d in a dgemm of its own with beta 1: at a
// batch's shapes the BLAS's small-matrix path runs those faster than one wide product of the B_d
// laid side by side, and it needs no copy and no addition of bands. Bias tangent d (B.cols
// entries) is added to every row of C's direction d last, when bias is given.
void mult_tangents(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C, fad1<Vec> const* bias = nullptr) {
    const std::size_t r = A.value.rows, n = A.value.cols, m = B.value.cols;
    const std::size_t k = A.tangents.size();
    const std::size_t kb = std::min(k, B.tangents.size());
    C.tangents.shape(k, r, m);
    if (r * m == 0 || k == 0) return;
    for (Run const& run : runs_of(A.tangents, k, 0)) {
        double* out = C.tangents.at(run.d0);
        if (run.zero)
            std::fill_n(out, (run.d1 - run.d0) * r * m, 0.0);
        else
            stacked_gemm(CblasNoTrans, run.d1 - run.d0, r, m, n, A.tangents.at(run.d0), ptr(B.value.data), m, out);
    }
    for (Run const& run : runs_of(B.tangents, kb, 1)) {
        if (run.zero) continue;
        for (std::size_t d = run.d0; d < run.d1; ++d)
            gemm(CblasNoTrans, CblasNoTrans, r, m, n, ptr(A.value.data), n, B.tangents.at(d), m, C.tangents.at(d), m,
                 1.0);
    }
    if (!bias) return;
    for (Run const& run : runs_of(bias->tangents, std::min(k, bias->tangents.size()), 2))
        if (!run.zero)
            for (std::size_t d = run.d0; d < run.d1; ++d)
                add_to_rows(C.tangents.at(d), r, m, bias->tangents.at(d));
}

// C's tangents for C = A B^T: d = A_d B^T + A B_d^T for d below B's count, A_d B^T beyond. The
// A_d stacked times B^T go straight into C's block; each non-zero B_d then adds A B_d^T to C's
// direction d in a dgemm of its own with beta 1 (see mult_tangents). Where B remembers its
// transposes (the weights), these are plain products with them, which the BLAS runs faster at
// these shapes than products with a transposed operand.
void mult_nt_tangents(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C) {
    const std::size_t r = A.value.rows, m = A.value.cols, n = B.value.rows, nm = n * m;
    const std::size_t k = A.tangents.size();
    const std::size_t kb = std::min(k, B.tangents.size());
    C.tangents.shape(k, r, n);
    if (r * n == 0 || k == 0) return;
    const double* Bt = B.tangents.count() == nm ? B.tangents.remembered_transposes() : nullptr;
    for (Run const& run : runs_of(A.tangents, k, 0)) {
        double* out = C.tangents.at(run.d0);
        const std::size_t rows = (run.d1 - run.d0) * r;
        if (run.zero)
            std::fill_n(out, rows * n, 0.0);
        else if (Bt)
            stacked_gemm(CblasNoTrans, run.d1 - run.d0, r, n, m, A.tangents.at(run.d0), Bt, n, out);
        else
            gemm(CblasNoTrans, CblasTrans, rows, n, m, A.tangents.at(run.d0), m, ptr(B.value.data), m, out, n);
    }
    for (Run const& run : runs_of(B.tangents, kb, 1)) {
        if (run.zero) continue;
        for (std::size_t d = run.d0; d < run.d1; ++d) {
            if (Bt)
                gemm(CblasNoTrans, CblasNoTrans, r, n, m, ptr(A.value.data), m, Bt + (d + 1) * nm, n,
                     C.tangents.at(d), n, 1.0);
            else
                gemm(CblasNoTrans, CblasTrans, r, n, m, ptr(A.value.data), m, B.tangents.at(d), m, C.tangents.at(d),
                     n, 1.0);
        }
    }
}

// C's tangents for C = A^T B: d = A^T B_d + A_d^T B for d below A's count, A^T B_d beyond. With
// accumulate, each sum is added to C's tangent d instead (C's tangents beyond B's count kept,
// missing ones zero). Each non-zero term is a dgemm of its own straight into C's direction d,
// with beta 1 once the direction holds a term or when accumulating (see mult_tangents).
void mult_tn_tangents(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C, bool accumulate) {
    const std::size_t r = A.value.rows, n = A.value.cols, m = B.value.cols, nm = n * m;
    const std::size_t k = B.tangents.size();
    const std::size_t ka = std::min(k, A.tangents.size());
    if (!accumulate) {
        C.tangents.shape(k, n, m);
    } else if (C.tangents.size() < k || C.tangents.count() != nm) {
        const std::size_t had = C.tangents.count() == nm ? C.tangents.size() : 0;
        C.tangents.shape(k, n, m);
        std::fill_n(C.tangents.at(had), (k - had) * nm, 0.0);
    }
    if (k == 0 || nm == 0) return;
    std::vector<Run> const& aruns = runs_of(A.tangents, ka, 0);
    std::vector<Run> const& bruns = runs_of(B.tangents, k, 1);
    auto a = aruns.begin();
    auto b = bruns.begin();
    for (std::size_t d = 0; d < k; ++d) {
        while (a != aruns.end() && a->d1 <= d) ++a;
        while (b->d1 <= d) ++b;
        double* out = C.tangents.at(d);
        double beta = accumulate ? 1.0 : 0.0;
        if (a != aruns.end() && !a->zero) {
            gemm(CblasTrans, CblasNoTrans, n, m, r, A.tangents.at(d), n, ptr(B.value.data), m, out, m, beta);
            beta = 1.0;
        }
        if (!b->zero) {
            gemm(CblasTrans, CblasNoTrans, n, m, r, ptr(A.value.data), n, B.tangents.at(d), m, out, m, beta);
            beta = 1.0;
        }
        if (beta == 0.0) std::fill_n(out, nm, 0.0);
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
    const bool fused = &C != &A && &C != &B && b.value.size() == cols &&
                       (b.tangents.size() == 0 || b.tangents.count() == cols);
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
    matmul_tn(A.value, B.value, C.value, 1.0);
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
    const std::size_t n = P.tangents.count(), kp = P.tangents.size();
    if (C.tangents.count() != n) {
        C.tangents = std::move(P.tangents);
        return;
    }
    if (C.tangents.size() < kp) {
        const std::size_t had = C.tangents.size();
        C.tangents.shape(kp, P.tangents.rows(), P.tangents.cols());
        std::fill_n(C.tangents.at(had), (kp - had) * n, 0.0);
    } else {
        C.tangents.shape(C.tangents.size(), P.tangents.rows(), P.tangents.cols());
    }
    double* c = C.tangents.data();
    const double* p = P.tangents.data();
    for (std::size_t i = 0; i < kp * n; ++i) c[i] += p[i];
}

void do_binplus(fad1<Mat>& C, fad1<Mat> const& A, fad1<Vec> const& b) {
    if (&C != &A) C = A;
    add_bias(C.value, b.value);
    const std::size_t k = std::min(C.tangents.size(), b.tangents.size());
    const std::size_t rows = C.tangents.rows(), cols = C.tangents.cols(), nb = b.tangents.count();
    for (std::size_t d = 0; d < k; ++d) {
        double* t = C.tangents.at(d);
        const double* bb = b.tangents.at(d);
        if (nb == rows * cols) {
            for (std::size_t i = 0; i < nb; ++i) t[i] += bb[i];
        } else if (nb == cols) {
            for (std::size_t i = 0; i < rows; ++i, t += cols)
                for (std::size_t j = 0; j < cols; ++j) t[j] += bb[j];
        } else {
            veltn::emit(veltn::kStderr, "invalid dims");
        }
    }
}

void colsum_into(fad1<Mat> const& A, fad1<Vec>& s) {
    colsum_into(A.value, s.value);
    const std::size_t k = A.tangents.size(), rows = A.tangents.rows(), cols = A.tangents.cols();
    s.tangents.shape(k, cols);
    for (std::size_t d = 0; d < k; ++d) {
        double* out = s.tangents.at(d);
        if (rows == 0) {
            std::fill_n(out, cols, 0.0);
            continue;
        }
        const double* t = A.tangents.at(d);
        const std::size_t last = rows - 1;
        std::size_t j = 0;
        j = colsum_block<8>(t, cols, last, j, out);
        j = colsum_block<4>(t, cols, last, j, out);
        j = colsum_block<2>(t, cols, last, j, out);
        colsum_block<1>(t, cols, last, j, out);
    }
}

}  // namespace veltn
