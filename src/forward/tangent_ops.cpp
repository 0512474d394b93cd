#include "forward/tangent_ops.h"

#include <algorithm>
#include <utility>

namespace veltn {

namespace {

// The current count of tangents of m's shape, each m's value times 0.0 (NaN where the value is
// not finite, as for a freshly built container).
void zero_tangents_like_value(fad1<Mat>& m) {
    const std::size_t k = container_directions();
    if (m.tangents.size() != k) m.tangents = std::valarray<Mat>(Mat(), k);
    for (std::size_t d = 0; d < k; ++d) {
        Mat& t = m.tangents[d];
        t.resize(m.value.rows, m.value.cols);
        t.data = m.value.data * 0.0;
    }
}

}  // namespace

void nn_input(fad1<Mat>& A, Mat const& X, std::size_t width) {
    nn_input(A.value, X, width);
    zero_tangents_like_value(A);
}

void nn_zeros(fad1<Mat>& m, std::size_t rows, std::size_t cols) {
    nn_zeros(m.value, rows, cols);
    zero_tangents_like_value(m);
}

void nn_place_columns(fad1<Mat>& T, fad1<Mat> const& src, std::size_t col0) {
    place_columns(T.value, src.value, col0);
    const std::size_t k = std::min(T.tangents.size(), src.tangents.size());
    for (std::size_t d = 0; d < k; ++d) place_columns(T.tangents[d], src.tangents[d], col0);
}

void nn_add_columns(fad1<Mat> const& src, std::size_t col0, fad1<Mat>& dst) {
    add_columns(src.value, col0, dst.value);
    const std::size_t k = std::min(dst.tangents.size(), src.tangents.size());
    for (std::size_t d = 0; d < k; ++d) add_columns(src.tangents[d], col0, dst.tangents[d]);
}

void nn_place_rows(fad1<Mat>& dst, fad1<Mat> const& src, std::size_t row0) {
    nn_place_rows(dst.value, src.value, row0);
    const std::size_t k = std::min(dst.tangents.size(), src.tangents.size());
    for (std::size_t d = 0; d < k; ++d) nn_place_rows(dst.tangents[d], src.tangents[d], row0);
}

void nn_mult_tn(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C, bool accumulate) {
    if (accumulate)
        add_binmult(C, TransposedFAD1<Mat>(A), B);
    else
        do_binmult(C, TransposedFAD1<Mat>(A), B);
}

namespace {

void add_prefix(Vec& a, Vec const& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) a[i] += b[i];
}

}  // namespace

void nn_add_into(fad1<Vec>& a, fad1<Vec> const& b) {
    add_prefix(a.value, b.value);
    const std::size_t k = std::min(a.tangents.size(), b.tangents.size());
    for (std::size_t d = 0; d < k; ++d) add_prefix(a.tangents[d], b.tangents[d]);
}

void nn_add_into(fad1<Mat>& a, fad1<Mat> const& b) {
    add_prefix(a.value.data, b.value.data);
    const std::size_t k = std::min(a.tangents.size(), b.tangents.size());
    for (std::size_t d = 0; d < k; ++d) add_prefix(a.tangents[d].data, b.tangents[d].data);
}

void nn_set_zero(fad1<Mat>& m) {
    m.value.data = 0.0;
    for (std::size_t d = 0; d < m.tangents.size(); ++d) m.tangents[d].data = 0.0;
}

void nn_set_zero(fad1<Vec>& v) {
    v.value = 0.0;
    for (std::size_t d = 0; d < v.tangents.size(); ++d) v.tangents[d] = 0.0;
}

namespace {

Vec stretch(Vec const& src, std::size_t offset, std::size_t n) {
    Vec out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = src[offset + i];
    return out;
}

void put_stretch(Vec& dst, std::size_t offset, Vec const& src) {
    for (std::size_t i = 0; i < src.size(); ++i) dst[offset + i] = src[i];
}

}  // namespace

void setweights(TangentNN& nn, fad1<Vec> const& p) {
    const std::size_t k = p.tangents.size();
    std::size_t o = 0;
    for (std::size_t l = 0; l < nn.nlayers; ++l) {
        fad1<Vec>& b = nn.biases[l];
        const std::size_t nb = b.value.size();
        b.value = stretch(p.value, o, nb);
        b.tangents = std::valarray<Vec>(Vec(), k);
        for (std::size_t d = 0; d < k; ++d) b.tangents[d] = stretch(p.tangents[d], o, nb);
        o += nb;

        fad1<Mat>& w = nn.weights[l];
        const std::size_t nw = w.value.size();
        w.value.data = stretch(p.value, o, nw);
        w.tangents = std::valarray<Mat>(Mat(), k);
        for (std::size_t d = 0; d < k; ++d) {
            w.tangents[d].data = stretch(p.tangents[d], o, nw);
            w.tangents[d].rows = w.value.rows;
            w.tangents[d].cols = w.value.cols;
        }
        o += nw;
    }
}

fad1<Vec> getweights(TangentNN const& nn) {
    std::size_t numel = 0;
    for (std::size_t l = 0; l < nn.nlayers; ++l) numel += nn.biases[l].value.size() + nn.weights[l].value.size();
    fad1<Vec> p(0.0, static_cast<unsigned>(numel));
    std::size_t o = 0;
    for (std::size_t l = 0; l < nn.nlayers; ++l) {
        fad1<Vec> const& b = nn.biases[l];
        put_stretch(p.value, o, b.value);
        for (std::size_t d = 0; d < std::min(p.tangents.size(), b.tangents.size()); ++d)
            put_stretch(p.tangents[d], o, b.tangents[d]);
        o += b.value.size();

        fad1<Mat> const& w = nn.weights[l];
        put_stretch(p.value, o, w.value.data);
        for (std::size_t d = 0; d < std::min(p.tangents.size(), w.tangents.size()); ++d)
            put_stretch(p.tangents[d], o, w.tangents[d].data);
        o += w.value.size();
    }
    return p;
}

}  // namespace veltn
