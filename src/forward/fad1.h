// Tangent containers: a vector or matrix value with one tangent of the same shape per
// direction.
//
// Layout. The k tangents of a container live in one contiguous block, direction-major: tangent
// d is a complete vector (n doubles) or row-major matrix (rows x cols doubles) starting at
// d * n (d * rows * cols). The value is held apart, never interleaved with the tangents. So the
// k tangents of a rows x cols matrix form one (k rows) x cols row-major matrix (`stacked()`), and
// a product with a plain matrix on the right is one BLAS call over all directions. Every
// direction has the value's shape; a container's directions cannot differ in size.
//
// `tangents[d]` is a view of direction d into the block (VecView or MatView): it reads and
// writes like a Vec or Mat of that shape but cannot change the shape; assigning to it copies
// elements (the sizes must match), converting it to Vec or Mat copies them out. The block keeps
// its storage when it is reshaped to the same or a smaller element count, so a container that is
// reused call after call allocates only while it grows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <valarray>
#include <vector>

#include "forward/ad.h"
#include "core/matrix.h"

namespace veltn {

// n consecutive doubles of a tangent block (T is double or const double).
template <class T>
class VecView {
public:
    VecView(T* p, std::size_t n) : p_(p), n_(n) {}
    VecView(VecView const&) = default;
    template <class U, class = std::enable_if_t<std::is_const_v<T> && !std::is_const_v<U>>>
    VecView(VecView<U> const& o) : p_(o.begin()), n_(o.size()) {}

    std::size_t size() const { return n_; }
    T& operator[](std::size_t i) const { return p_[i]; }
    T* begin() const { return p_; }
    T* end() const { return p_ + n_; }
    operator Vec() const { return Vec(p_, n_); }

    // Element copies into the viewed storage; the sizes must match.
    VecView& operator=(VecView const& o) { return assign(o.begin(), o.size()); }
    template <class U>
    VecView& operator=(VecView<U> const& o) { return assign(o.begin(), o.size()); }
    VecView& operator=(Vec const& v) { return assign(ptr(v), v.size()); }
    VecView& operator=(double x) {
        std::fill(p_, p_ + n_, x);
        return *this;
    }

private:
    VecView& assign(const double* s, std::size_t n) {
        std::copy_n(s, std::min(n, n_), p_);
        return *this;
    }
    T* p_;
    std::size_t n_;
};

// Entrywise arithmetic with a view reads it as a Vec, as valarray arithmetic would.
#define VELTN_VIEW_OPERATOR(op)                                                  \
    template <class T, class U>                                                  \
    Vec operator op(VecView<T> const& a, VecView<U> const& b) {                  \
        return Vec(a) op Vec(b);                                                 \
    }                                                                            \
    template <class T>                                                           \
    Vec operator op(VecView<T> const& a, Vec const& b) {                         \
        return Vec(a) op b;                                                      \
    }                                                                            \
    template <class T>                                                           \
    Vec operator op(Vec const& a, VecView<T> const& b) {                         \
        return a op Vec(b);                                                      \
    }                                                                            \
    template <class T>                                                           \
    Vec operator op(double a, VecView<T> const& b) {                             \
        return a op Vec(b);                                                      \
    }                                                                            \
    template <class T>                                                           \
    Vec operator op(VecView<T> const& a, double b) {                             \
        return Vec(a) op b;                                                      \
    }
VELTN_VIEW_OPERATOR(+)
VELTN_VIEW_OPERATOR(-)
VELTN_VIEW_OPERATOR(*)
VELTN_VIEW_OPERATOR(/)
#undef VELTN_VIEW_OPERATOR

// A rows x cols row-major matrix in a tangent block.
template <class T>
struct MatView {
    VecView<T> data;
    std::size_t rows, cols;

    MatView(T* p, std::size_t r, std::size_t c) : data(p, r * c), rows(r), cols(c) {}
    MatView(MatView const&) = default;
    template <class U, class = std::enable_if_t<std::is_const_v<T> && !std::is_const_v<U>>>
    MatView(MatView<U> const& o) : data(o.data), rows(o.rows), cols(o.cols) {}

    T& operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    std::size_t size() const { return data.size(); }
    T* begin() const { return data.begin(); }
    operator Mat() const {
        Mat m;
        m.data = Vec(data);
        m.rows = rows;
        m.cols = cols;
        return m;
    }
    // Element copies; the element counts must match and the view keeps its shape.
    MatView& operator=(MatView const& o) {
        data = o.data;
        return *this;
    }
    template <class U>
    MatView& operator=(MatView<U> const& o) {
        data = o.data;
        return *this;
    }
    MatView& operator=(Mat const& m) {
        data = m.data;
        return *this;
    }
};

template <class T>
T* ptr(VecView<T> const& v) { return v.size() ? v.begin() : nullptr; }

// A maximal run of consecutive directions d0 .. d1-1 that are all exactly zero (every entry +0.0
// or -0.0) or all not.
struct DirectionRun {
    std::size_t d0, d1;
    bool zero;
};

// The block of k tangents of rows x cols each (a vector container's have rows = 1).
//
// A block can remember which of its directions are exactly zero (remember_runs), so that the
// products need not scan them again on every use: the model's weights, written once per call and
// read by every batch. Any non-const access counts as a write and forgets them.
class TangentBlock {
public:
    TangentBlock() = default;
    TangentBlock(std::size_t k, std::size_t rows, std::size_t cols) { reshape(k, rows, cols); }

    // Directions.
    std::size_t size() const { return k_; }
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    // Entries of one direction.
    std::size_t count() const { return rows_ * cols_; }
    double* data() {
        written();
        return buf_.data();
    }
    const double* data() const { return buf_.data(); }
    double* at(std::size_t d) {
        written();
        return buf_.data() + d * count();
    }
    const double* at(std::size_t d) const { return buf_.data() + d * count(); }

    // New extents; the storage is kept while it is large enough and the contents are left as
    // they are (the caller writes every entry it reads later).
    void reshape(std::size_t k, std::size_t rows, std::size_t cols) {
        written();
        const std::size_t n = k * rows * cols;
        if (buf_.size() < n) buf_.resize(n);
        k_ = k;
        rows_ = rows;
        cols_ = cols;
    }
    // Keeps the first k directions (k at most the current count).
    void truncate(std::size_t k) {
        written();
        k_ = std::min(k, k_);
    }

    void fill(double x) {
        written();
        std::fill_n(buf_.data(), k_ * count(), x);
    }
    // Every entry +0.0, remembered as such until the next write.
    void zero() {
        fill(0.0);
        zero_at_ = writes_;
    }
    // Whether zero() was the last write.
    bool known_zero() const { return zero_at_ == writes_; }

    // Scans the directions now and remembers their runs until the next write. Call it after the
    // last write; the block may then be read from several threads.
    void remember_runs();
    // The remembered runs of all size() directions, or null when the block was written since.
    std::vector<DirectionRun> const* remembered_runs() const { return runs_at_ == writes_ ? &runs_ : nullptr; }
    // Remembers the transposes (cols x rows, row-major) of `value`, the container's rows x cols
    // value, and of every direction until the next write of the block, so that products with the
    // transpose can run as plain ones. The value is not watched: call this only where the value
    // and the tangents are written together (the weights, loaded once per call).
    void remember_transposes(Mat const& value);
    // The remembered transposes, the value's first and direction d's at (d + 1) count(); null
    // when the block was written since.
    const double* remembered_transposes() const {
        return transposed_at_ == writes_ ? transposed_.data() : nullptr;
    }

protected:
    void written() { ++writes_; }

    std::vector<double> buf_;
    std::size_t k_ = 0, rows_ = 0, cols_ = 0;

private:
    std::vector<DirectionRun> runs_;
    std::vector<double> transposed_;
    std::uint64_t writes_ = 0, runs_at_ = ~std::uint64_t(0), transposed_at_ = ~std::uint64_t(0),
                  zero_at_ = ~std::uint64_t(0);
};

// The runs of t's first `count` directions into runs (cleared first).
void zero_runs(TangentBlock const& t, std::size_t count, std::vector<DirectionRun>& runs);

// Element copy of the first k directions (a block assigned from another copies its extents too).
inline void copy_block(TangentBlock const& from, TangentBlock& to) {
    to.reshape(from.size(), from.rows(), from.cols());
    std::copy_n(from.data(), from.size() * from.count(), to.data());
}

// The tangents of a vector container: tangents[d] views direction d.
class VecTangents : public TangentBlock {
public:
    VecTangents() = default;
    VecTangents(std::size_t k, std::size_t n) : TangentBlock(k, 1, n) {}
    VecTangents(VecTangents const& o) : TangentBlock() { copy_block(o, *this); }
    VecTangents(VecTangents&&) = default;
    VecTangents& operator=(VecTangents const& o) {
        if (this != &o) copy_block(o, *this);
        return *this;
    }
    VecTangents& operator=(VecTangents&&) = default;

    VecView<double> operator[](std::size_t d) { return {at(d), count()}; }
    VecView<const double> operator[](std::size_t d) const { return {at(d), count()}; }
    // k directions of n entries (contents as TangentBlock::reshape).
    void shape(std::size_t k, std::size_t n) { reshape(k, 1, n); }
};

// The tangents of a matrix container: tangents[d] views direction d, stacked() all k.
class MatTangents : public TangentBlock {
public:
    MatTangents() = default;
    MatTangents(std::size_t k, std::size_t rows, std::size_t cols) : TangentBlock(k, rows, cols) {}
    MatTangents(MatTangents const& o) : TangentBlock() { copy_block(o, *this); }
    MatTangents(MatTangents&&) = default;
    MatTangents& operator=(MatTangents const& o) {
        if (this != &o) copy_block(o, *this);
        return *this;
    }
    MatTangents& operator=(MatTangents&&) = default;

    MatView<double> operator[](std::size_t d) { return {at(d), rows(), cols()}; }
    MatView<const double> operator[](std::size_t d) const { return {at(d), rows(), cols()}; }
    // The k tangents as one (k rows) x cols matrix.
    MatView<double> stacked() { return {data(), size() * rows(), cols()}; }
    MatView<const double> stacked() const { return {data(), size() * rows(), cols()}; }
    void shape(std::size_t k, std::size_t rows, std::size_t cols) { reshape(k, rows, cols); }
};

template <class T>
struct fad1;

template <>
struct fad1<Vec> {
    Vec value;
    VecTangents tangents;

    fad1() : value(), tangents(container_directions(), 0) {}
    // Value v with n directions. Zero tangents are v * 0.0, so they are NaN where v is not finite.
    fad1(Vec const& v, unsigned n) : value(v), tangents(n, v.size()) { zero_tangents(); }
    // n copies of x with the current container direction count.
    fad1(double x, unsigned n) : value(x, n), tangents(container_directions(), n) { zero_tangents(); }

    std::size_t size() const { return value.size(); }
    std::size_t ndir() const { return tangents.size(); }

    // Value of n entries (storage kept when the count matches) and k tangents of n entries.
    void shape(std::size_t k, std::size_t n) {
        if (value.size() != n) value.resize(n);
        tangents.shape(k, n);
    }
    // Every tangent := value * 0.0.
    void zero_tangents();

    // Entries (value and every tangent) where mask is true, in increasing position. A negated
    // mask (!mask) converts to a fresh std::valarray<bool> and selects the complement.
    fad1 operator[](std::valarray<bool> const& mask) const;
};

template <>
struct fad1<Mat> {
    Mat value;
    MatTangents tangents;

    fad1() : value(), tangents(container_directions(), 0, 0) {}
    // Value m with the current container direction count of zero tangents of m's shape (m's data times 0.0).
    explicit fad1(Mat const& m) : value(m), tangents(container_directions(), m.rows, m.cols) { zero_tangents(); }

    // The target keeps its rows and cols; value data and each tangent's data come from v, and
    // the direction count becomes v's.
    fad1& operator=(fad1<Vec> const& v);
    fad1& operator=(fad1 const&) = default;
    fad1& operator=(fad1&&) = default;
    fad1(fad1 const&) = default;
    fad1(fad1&&) = default;

    std::size_t rows() const { return value.rows; }
    std::size_t cols() const { return value.cols; }
    std::size_t size() const { return value.size(); }
    std::size_t ndir() const { return tangents.size(); }

    // Value rows x cols (storage kept when the count matches) and k tangents of that shape.
    void shape(std::size_t k, std::size_t r, std::size_t c) {
        value.resize(r, c);
        tangents.shape(k, r, c);
    }
    // Every tangent := value * 0.0.
    void zero_tangents();
};

// Marks a matrix container that a product uses transposed. Refers to, does not own, the
// container.
template <class T>
struct TransposedFAD1 {
    fad1<T> const& m;
    explicit TransposedFAD1(fad1<T> const& x) : m(x) {}
};

// Reinterprets v as a rows x cols row-major matrix container (value and every tangent).
fad1<Mat> asMatrix(fad1<Vec> const& v, std::size_t rows, std::size_t cols);
// All elements of m in storage order (value and every tangent).
fad1<Vec> asVector(fad1<Mat> const& m);
// The into forms keep the target's storage.
void asMatrix_into(fad1<Vec> const& v, std::size_t rows, std::size_t cols, fad1<Mat>& m);
void asVector_into(fad1<Mat> const& m, fad1<Vec>& v);

}  // namespace veltn
