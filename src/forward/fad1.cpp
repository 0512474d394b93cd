#include "forward/fad1.h"

#include <cstring>

namespace veltn {

namespace {

// Every tangent := value * 0.0 (NaN where the value is not finite).
void zeros_like(const double* v, std::size_t n, TangentBlock& t) {
    for (std::size_t d = 0; d < t.size(); ++d) {
        double* o = t.at(d);
        for (std::size_t i = 0; i < n; ++i) o[i] = v[i] * 0.0;
    }
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

}  // namespace

void zero_runs(TangentBlock const& t, std::size_t count, std::vector<DirectionRun>& runs) {
    runs.clear();
    const std::size_t n = t.count();
    for (std::size_t d = 0; d < count; ++d) {
        const bool z = all_zero(t.at(d), n);
        if (!runs.empty() && runs.back().zero == z)
            runs.back().d1 = d + 1;
        else
            runs.push_back({d, d + 1, z});
    }
}

void TangentBlock::remember_transposes(Mat const& value) {
    const std::size_t n = count();
    if (value.rows != rows_ || value.cols != cols_) return;
    if (transposed_.size() < (k_ + 1) * n) transposed_.resize((k_ + 1) * n);
    for (std::size_t d = 0; d <= k_; ++d) {
        const double* src = d == 0 ? ptr(value.data) : buf_.data() + (d - 1) * n;
        double* dst = transposed_.data() + d * n;
        for (std::size_t i = 0; i < rows_; ++i)
            for (std::size_t j = 0; j < cols_; ++j) dst[j * rows_ + i] = src[i * cols_ + j];
    }
    transposed_at_ = writes_;
}

void TangentBlock::remember_runs() {
    zero_runs(*this, k_, runs_);
    runs_at_ = writes_;
}

void fad1<Vec>::zero_tangents() { zeros_like(ptr(value), value.size(), tangents); }
void fad1<Mat>::zero_tangents() { zeros_like(ptr(value.data), value.size(), tangents); }

fad1<Vec> fad1<Vec>::operator[](std::valarray<bool> const& mask) const {
    std::size_t t = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) t += mask[i] ? 1 : 0;
    fad1<Vec> r;
    r.shape(tangents.size(), t);
    for (std::size_t i = 0, j = 0; i < mask.size(); ++i)
        if (mask[i]) r.value[j++] = value[i];
    for (std::size_t d = 0; d < tangents.size(); ++d) {
        const double* src = tangents.at(d);
        double* dst = r.tangents.at(d);
        for (std::size_t i = 0, j = 0; i < mask.size(); ++i)
            if (mask[i]) dst[j++] = src[i];
    }
    return r;
}

fad1<Mat>& fad1<Mat>::operator=(fad1<Vec> const& v) {
    const std::size_t n = v.value.size();
    if (value.size() != n) value.data.resize(n);
    std::copy_n(ptr(v.value), n, ptr(value.data));
    // A value whose count no longer fits its extents keeps its tangents as one row.
    if (n == value.rows * value.cols)
        tangents.reshape(v.tangents.size(), value.rows, value.cols);
    else
        tangents.reshape(v.tangents.size(), 1, n);
    std::copy_n(v.tangents.data(), v.tangents.size() * n, tangents.data());
    return *this;
}

void asMatrix_into(fad1<Vec> const& v, std::size_t rows, std::size_t cols, fad1<Mat>& m) {
    m.shape(v.tangents.size(), rows, cols);
    const std::size_t n = std::min(v.value.size(), rows * cols);
    std::copy_n(ptr(v.value), n, ptr(m.value.data));
    for (std::size_t d = 0; d < v.tangents.size(); ++d) std::copy_n(v.tangents.at(d), n, m.tangents.at(d));
}

void asVector_into(fad1<Mat> const& m, fad1<Vec>& v) {
    v.shape(m.tangents.size(), m.value.size());
    std::copy_n(ptr(m.value.data), m.value.size(), ptr(v.value));
    std::copy_n(m.tangents.data(), m.tangents.size() * m.value.size(), v.tangents.data());
}

fad1<Mat> asMatrix(fad1<Vec> const& v, std::size_t rows, std::size_t cols) {
    fad1<Mat> m;
    asMatrix_into(v, rows, cols, m);
    return m;
}

fad1<Vec> asVector(fad1<Mat> const& m) {
    fad1<Vec> v;
    asVector_into(m, v);
    return v;
}

}  // namespace veltn
