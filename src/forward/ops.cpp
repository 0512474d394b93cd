#include "forward/ops.h"

#include "functions/vector_math.h"

#include <algorithm>
#include <cmath>
#include <utility>

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

void set_ndir(fad1<Mat>& C, std::size_t k) {
    if (C.tangents.size() != k) C.tangents = std::valarray<Mat>(Mat(), k);
}

}  // namespace

void do_mult(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C) {
    into(C, A, B, [&](fad1<Mat>& R) {
        matmul(A.value, B.value, R.value);
        const std::size_t k = A.tangents.size();
        set_ndir(R, k);
        Mat T;
        for (std::size_t d = 0; d < k; ++d) {
            matmul(A.tangents[d], B.value, R.tangents[d]);
            if (d < B.tangents.size()) {
                matmul(A.value, B.tangents[d], T);
                R.tangents[d].data += T.data;
            }
        }
    });
}

void do_binmult(fad1<Mat>& C, fad1<Mat> const& A, TransposedFAD1<Mat> const& Bt) {
    fad1<Mat> const& B = Bt.m;
    into(C, A, B, [&](fad1<Mat>& R) {
        const std::size_t k = A.tangents.size();
        set_ndir(R, k);
        Mat T;
        for (std::size_t d = 0; d < k; ++d) {
            if (d < B.tangents.size()) {
                matmul_nt(A.value, B.tangents[d], R.tangents[d]);
            } else {
                R.tangents[d] = Mat(A.rows(), B.rows());
            }
            matmul_nt(A.tangents[d], B.value, T);
            R.tangents[d].data += T.data;
        }
        matmul_nt(A.value, B.value, R.value);
    });
}

void do_binmult(fad1<Mat>& C, TransposedFAD1<Mat> const& At, fad1<Mat> const& B) {
    fad1<Mat> const& A = At.m;
    into(C, A, B, [&](fad1<Mat>& R) {
        const std::size_t k = B.tangents.size();
        set_ndir(R, k);
        Mat T;
        for (std::size_t d = 0; d < k; ++d) {
            matmul_tn(A.value, B.tangents[d], R.tangents[d], 0.0);
            if (d < A.tangents.size()) {
                matmul_tn(A.tangents[d], B.value, T, 0.0);
                R.tangents[d].data += T.data;
            }
        }
        matmul_tn(A.value, B.value, R.value, 0.0);
    });
}

void do_binplus(fad1<Mat>& C, fad1<Mat> const& A, fad1<Vec> const& b) {
    if (&C != &A) C = A;
    add_bias(C.value, b.value);
    for (std::size_t d = 0; d < C.tangents.size(); ++d)
        if (d < b.tangents.size()) add_bias(C.tangents[d], b.tangents[d]);
}

fad1<Vec> colsum(fad1<Mat> const& A) {
    fad1<Vec> r;
    r.value = colsum(A.value);
    r.tangents = std::valarray<Vec>(Vec(), A.tangents.size());
    for (std::size_t d = 0; d < A.tangents.size(); ++d) r.tangents[d] = colsum(A.tangents[d]);
    return r;
}
