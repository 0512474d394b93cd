#include "forward/tangent_ops.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace veltn {

namespace {

// The current count of tangents of m's shape, each m's value times 0.0 (NaN where the value is
// not finite, as for a freshly built container).
void zero_tangents_like_value(fad1<Mat>& m) {
    m.tangents.shape(container_directions(), m.value.rows, m.value.cols);
    m.zero_tangents();
}

// rows x cols at src written into dst (dst_cols wide) from column col0.
void place_block(const double* src, std::size_t rows, std::size_t cols, double* dst, std::size_t dst_cols,
                 std::size_t col0) {
    for (std::size_t i = 0; i < rows; ++i) copy_row(src + i * cols, cols, dst + i * dst_cols + col0);
}

}  // namespace

void nn_input(fad1<Mat>& A, Mat const& X, std::size_t width) {
    nn_input(A.value, X, width);
    // A finite value gives exactly zero tangents, which the products then skip without a scan.
    const double* v = ptr(A.value.data);
    bool finite = true;
    for (std::size_t i = 0, n = A.value.size(); i < n; ++i) finite &= std::isfinite(v[i]);
    if (!finite) {
        zero_tangents_like_value(A);
        return;
    }
    A.tangents.shape(container_directions(), A.value.rows, A.value.cols);
    A.tangents.zero();
}

void nn_zeros(fad1<Mat>& m, std::size_t rows, std::size_t cols) {
    nn_zeros(m.value, rows, cols);
    m.tangents.shape(container_directions(), rows, cols);
    m.tangents.zero();
}

void nn_place_columns(fad1<Mat>& T, fad1<Mat> const& src, std::size_t col0) {
    place_columns(T.value, src.value, col0);
    const std::size_t k = std::min(T.tangents.size(), src.tangents.size());
    const std::size_t rows = src.tangents.rows(), cols = src.tangents.cols();
    for (std::size_t d = 0; d < k; ++d) place_block(src.tangents.at(d), rows, cols, T.tangents.at(d), T.tangents.cols(), col0);
}

void nn_add_columns(fad1<Mat> const& src, std::size_t col0, fad1<Mat>& dst) {
    add_columns(src.value, col0, dst.value);
    const std::size_t k = std::min(dst.tangents.size(), src.tangents.size());
    const std::size_t rows = dst.tangents.rows(), cols = dst.tangents.cols(), sc = src.tangents.cols();
    for (std::size_t d = 0; d < k; ++d) {
        const double* s = src.tangents.at(d);
        double* t = dst.tangents.at(d);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) t[i * cols + j] += s[i * sc + col0 + j];
    }
}

void nn_place_rows(fad1<Mat>& dst, fad1<Mat> const& src, std::size_t row0) {
    nn_place_rows(dst.value, src.value, row0);
    const std::size_t k = std::min(dst.tangents.size(), src.tangents.size());
    const std::size_t n = src.tangents.count();
    for (std::size_t d = 0; d < k; ++d) std::copy_n(src.tangents.at(d), n, dst.tangents.at(d) + row0 * dst.tangents.cols());
}

void nn_mult_tn(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C, bool accumulate) {
    if (accumulate)
        add_binmult(C, TransposedFAD1<Mat>(A), B);
    else
        do_binmult(C, TransposedFAD1<Mat>(A), B);
}

namespace {

void add_prefix(double* a, std::size_t na, const double* b, std::size_t nb) {
    const std::size_t n = std::min(na, nb);
    for (std::size_t i = 0; i < n; ++i) a[i] += b[i];
}

// a's tangents += b's, direction by direction over the directions and entries both have.
void add_tangents(TangentBlock& a, TangentBlock const& b) {
    const std::size_t k = std::min(a.size(), b.size());
    if (a.count() == b.count()) {
        add_prefix(a.data(), k * a.count(), b.data(), k * b.count());
        return;
    }
    for (std::size_t d = 0; d < k; ++d) add_prefix(a.at(d), a.count(), b.at(d), b.count());
}

}  // namespace

void nn_add_into(fad1<Vec>& a, fad1<Vec> const& b) {
    add_prefix(ptr(a.value), a.value.size(), ptr(b.value), b.value.size());
    add_tangents(a.tangents, b.tangents);
}

void nn_add_into(fad1<Mat>& a, fad1<Mat> const& b) {
    add_prefix(ptr(a.value.data), a.value.size(), ptr(b.value.data), b.value.size());
    add_tangents(a.tangents, b.tangents);
}

void nn_set_zero(fad1<Mat>& m) {
    m.value.data = 0.0;
    m.tangents.fill(0.0);
}

void nn_set_zero(fad1<Vec>& v) {
    v.value = 0.0;
    v.tangents.fill(0.0);
}

void setweights(TangentNN& nn, fad1<Vec> const& p) {
    const std::size_t k = p.tangents.size();
    std::size_t o = 0;
    for (std::size_t l = 0; l < nn.nlayers; ++l) {
        fad1<Vec>& b = nn.biases[l];
        const std::size_t nb = b.value.size();
        std::copy_n(ptr(p.value) + o, nb, ptr(b.value));
        b.tangents.shape(k, nb);
        for (std::size_t d = 0; d < k; ++d) std::copy_n(p.tangents.at(d) + o, nb, b.tangents.at(d));
        o += nb;

        fad1<Mat>& w = nn.weights[l];
        const std::size_t nw = w.value.size();
        std::copy_n(ptr(p.value) + o, nw, ptr(w.value.data));
        w.tangents.shape(k, w.value.rows, w.value.cols);
        for (std::size_t d = 0; d < k; ++d) std::copy_n(p.tangents.at(d) + o, nw, w.tangents.at(d));
        o += nw;
        // Every batch reads the weights: their zero directions and transposes are found once here.
        b.tangents.remember_runs();
        w.tangents.remember_runs();
        w.tangents.remember_transposes(w.value);
    }
}

void getweights_into(TangentNN const& nn, fad1<Vec>& p) {
    std::size_t numel = 0;
    for (std::size_t l = 0; l < nn.nlayers; ++l) numel += nn.biases[l].value.size() + nn.weights[l].value.size();
    const std::size_t k = container_directions();
    p.shape(k, numel);
    p.value = 0.0;
    p.tangents.fill(0.0);
    std::size_t o = 0;
    for (std::size_t l = 0; l < nn.nlayers; ++l) {
        fad1<Vec> const& b = nn.biases[l];
        const std::size_t nb = b.value.size();
        std::copy_n(ptr(b.value), nb, ptr(p.value) + o);
        for (std::size_t d = 0; d < std::min(k, b.tangents.size()); ++d)
            std::copy_n(b.tangents.at(d), std::min(nb, b.tangents.count()), p.tangents.at(d) + o);
        o += nb;

        fad1<Mat> const& w = nn.weights[l];
        const std::size_t nw = w.value.size();
        std::copy_n(ptr(w.value.data), nw, ptr(p.value) + o);
        for (std::size_t d = 0; d < std::min(k, w.tangents.size()); ++d)
            std::copy_n(w.tangents.at(d), std::min(nw, w.tangents.count()), p.tangents.at(d) + o);
        o += nw;
    }
}

fad1<Vec> getweights(TangentNN const& nn) {
    fad1<Vec> p;
    getweights_into(nn, p);
    return p;
}

}  // namespace veltn
