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
    const double* t = x.tangents.data();
    double* o = out.tangents.data();
    for (std::size_t d = 0; d < k; ++d, t += n, o += n)
        for (std::size_t i = 0; i < n; ++i) o[i] = e[i] * t[i];
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

// Maximal runs of consecutive directions that are all zero or all not zero, over directions
// 0 .. count-1 of t. A direction that is exactly zero contributes what a BLAS call returns for a
// zero operand (+0.0 everywhere), so the products leave it out: the input layer's directions,
// and a weight outside a direction's support (the columns of the full Hessian).
struct Run {
    std::size_t d0, d1;
    bool zero;
};

// The runs of t's first `count` directions, in per-thread storage valid until the next call with
// the same `which`.
std::vector<Run> const& runs_of(TangentBlock const& t, std::size_t count, unsigned which) {
    thread_local std::vector<Run> store[2];
    std::vector<Run>& runs = store[which];
    runs.clear();
    const std::size_t n = t.count();
    for (std::size_t d = 0; d < count; ++d) {
        const bool z = all_zero(t.at(d), n);
        if (!runs.empty() && runs.back().zero == z)
            runs.back().d1 = d + 1;
        else
            runs.push_back({d, d + 1, z});
    }
    return runs;
}

// m zeros: the stand-in for a term whose direction is exactly zero.
const double* zeros(std::size_t m) {
    thread_local std::vector<double> z;
    if (z.size() < m) z.resize(m, 0.0);
    return z.data();
}

// Lays directions d0 .. d1-1 of t (rows x cols each) side by side: a rows x ((d1-d0) cols) matrix.
void side_by_side(TangentBlock const& t, std::size_t d0, std::size_t d1, double* dst) {
    const std::size_t rows = t.rows(), cols = t.cols(), ld = (d1 - d0) * cols;
    for (std::size_t d = d0; d < d1; ++d) {
        const double* src = t.at(d);
        for (std::size_t i = 0; i < rows; ++i) copy_row(src + i * cols, cols, dst + i * ld + (d - d0) * cols);
    }
}

// out (rows x cols) += the band (rows x cols, rows ld apart) at S, then + bias to every row.
void add_band(double* out, std::size_t rows, std::size_t cols, const double* S, std::size_t ld, const double* bias) {
    for (std::size_t i = 0; i < rows; ++i) {
        double* o = out + i * cols;
        const double* u = S ? S + i * ld : nullptr;
        if (u && bias)
            for (std::size_t e = 0; e < cols; ++e) o[e] = (o[e] + u[e]) + bias[e];
        else if (u)
            for (std::size_t e = 0; e < cols; ++e) o[e] += u[e];
        else if (bias)
            for (std::size_t e = 0; e < cols; ++e) o[e] += bias[e];
    }
}

// C's tangents for C = A B: d = A_d B + A B_d for d below B's count, A_d B beyond. The A_d are
// one stacked matrix, so each run of non-zero A_d times B is one dgemm straight into C's block.
// The B_d of a run lie side by side for one dgemm A [B_d0 B_d0+1 ...], whose bands are added to
// C's directions, together with bias tangent d on every row when bias is given (tangents of
// B.cols entries).
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
            gemm(CblasNoTrans, CblasNoTrans, (run.d1 - run.d0) * r, m, n, A.tangents.at(run.d0), n, ptr(B.value.data),
                 m, out, m);
    }
    const std::size_t kbias = bias ? std::min(k, bias->tangents.size()) : 0;
    std::size_t next = 0;  // directions below have their bias added
    for (Run const& run : runs_of(B.tangents, kb, 1)) {
        if (run.zero) continue;
        const std::size_t c = run.d1 - run.d0;
        double* W = scratch(0, n * c * m);
        side_by_side(B.tangents, run.d0, run.d1, W);
        double* T = scratch(1, r * c * m);
        gemm(CblasNoTrans, CblasNoTrans, r, c * m, n, ptr(A.value.data), n, W, c * m, T, c * m);
        for (std::size_t d = next; d < run.d0 && d < kbias; ++d) add_band(C.tangents.at(d), r, m, nullptr, 0, bias->tangents.at(d));
        for (std::size_t d = run.d0; d < run.d1; ++d)
            add_band(C.tangents.at(d), r, m, T + (d - run.d0) * m, c * m, d < kbias ? bias->tangents.at(d) : nullptr);
        next = run.d1;
    }
    for (std::size_t d = next; d < kbias; ++d) add_band(C.tangents.at(d), r, m, nullptr, 0, bias->tangents.at(d));
}

// C's tangents for C = A B^T: d = A_d B^T + A B_d^T for d below B's count, A_d B^T beyond. The
// A_d stacked times B^T go straight into C's block; the B_d of a run, stacked, are transposed
// by the dgemm itself: A [B_d0; B_d0+1; ...]^T lays the A B_d^T side by side.
void mult_nt_tangents(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C) {
    const std::size_t r = A.value.rows, m = A.value.cols, n = B.value.rows;
    const std::size_t k = A.tangents.size();
    const std::size_t kb = std::min(k, B.tangents.size());
    C.tangents.shape(k, r, n);
    if (r * n == 0 || k == 0) return;
    for (Run const& run : runs_of(A.tangents, k, 0)) {
        double* out = C.tangents.at(run.d0);
        if (run.zero)
            std::fill_n(out, (run.d1 - run.d0) * r * n, 0.0);
        else
            gemm(CblasNoTrans, CblasTrans, (run.d1 - run.d0) * r, n, m, A.tangents.at(run.d0), m, ptr(B.value.data), m,
                 out, n);
    }
    for (Run const& run : runs_of(B.tangents, kb, 1)) {
        if (run.zero) continue;
        const std::size_t c = run.d1 - run.d0;
        double* U = scratch(1, r * c * n);
        gemm(CblasNoTrans, CblasTrans, r, c * n, m, ptr(A.value.data), m, B.tangents.at(run.d0), m, U, c * n);
        for (std::size_t d = run.d0; d < run.d1; ++d) add_band(C.tangents.at(d), r, n, U + (d - run.d0) * n, c * n, nullptr);
    }
}

// C's tangents for C = A^T B: d = A^T B_d + A_d^T B for d below A's count, A^T B_d beyond. With
// accumulate, each sum is added to C's tangent d instead (C's tangents beyond B's count kept,
// missing ones zero). The A_d of a run, side by side and transposed, times B give the A_d^T B
// stacked, direction-major: one dgemm straight into C's block (into scratch of the same layout
// when accumulating, so that C_d gains the sum of the two terms in one addition). The B_d of a
// run side by side give A^T [B_d0 B_d0+1 ...], whose bands are added to C's directions.
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
    // The A_d^T B, direction-major; null where A_d is zero.
    double* T = accumulate ? scratch(3, ka * nm) : C.tangents.data();
    std::vector<Run> const& aruns = runs_of(A.tangents, ka, 0);
    for (Run const& run : aruns) {
        const std::size_t c = run.d1 - run.d0;
        if (run.zero) {
            std::fill_n(T + run.d0 * nm, c * nm, 0.0);
            continue;
        }
        double* S = scratch(2, r * c * n);
        side_by_side(A.tangents, run.d0, run.d1, S);
        gemm(CblasTrans, CblasNoTrans, c * n, m, r, S, c * n, ptr(B.value.data), m, T + run.d0 * nm, m);
    }
    if (!accumulate && ka < k) std::fill_n(C.tangents.at(ka), (k - ka) * nm, 0.0);
    // The A^T B_d side by side, k m wide.
    const std::size_t ld = k * m;
    double* U = scratch(1, n * ld);
    std::vector<Run> const& bruns = runs_of(B.tangents, k, 1);
    for (Run const& run : bruns) {
        if (run.zero) continue;
        const std::size_t c = run.d1 - run.d0;
        double* W = scratch(0, r * c * m);
        side_by_side(B.tangents, run.d0, run.d1, W);
        gemm(CblasTrans, CblasNoTrans, n, c * m, r, ptr(A.value.data), n, W, c * m, U + run.d0 * m, ld);
    }
    if (!accumulate) {
        for (Run const& run : bruns)
            if (!run.zero)
                for (std::size_t d = run.d0; d < run.d1; ++d) add_band(C.tangents.at(d), n, m, U + d * m, ld, nullptr);
        return;
    }
    const double* zero = zeros(m);
    for (Run const& run : bruns)
        for (std::size_t d = run.d0; d < run.d1; ++d) {
            double* o = C.tangents.at(d);
            for (std::size_t i = 0; i < n; ++i, o += m) {
                const double* u = run.zero ? zero : U + i * ld + d * m;
                if (d < ka) {
                    const double* t = T + d * nm + i * m;
                    for (std::size_t e = 0; e < m; ++e) o[e] += u[e] + t[e];
                } else {
                    for (std::size_t e = 0; e < m; ++e) o[e] += u[e];
                }
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
