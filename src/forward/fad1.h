// Tangent containers: a vector or matrix value with one tangent of the same shape per
// direction. Direction-major: every tangent is a complete vector or matrix of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <valarray>

#include "forward/ad.h"
#include "core/matrix.h"

namespace veltn {

template <class T>
struct fad1;

template <>
struct fad1<Vec> {
    Vec value;
    std::valarray<Vec> tangents;

    fad1() : value(), tangents(Vec(), container_directions()) {}
    // Value v with n directions. Zero tangents are v * 0.0, so they are NaN where v is not finite.
    fad1(Vec const& v, unsigned n) : value(v), tangents(Vec(v * 0.0), n) {}
    // n copies of x with the current container direction count.
    fad1(double x, unsigned n) : value(x, n), tangents(Vec(value * 0.0), container_directions()) {}

    std::size_t size() const { return value.size(); }
    std::size_t ndir() const { return tangents.size(); }

    // Entries (value and every tangent) where mask is true, in increasing position. A negated
    // mask (!mask) converts to a fresh std::valarray<bool> and selects the complement.
    fad1 operator[](std::valarray<bool> const& mask) const;
};

template <>
struct fad1<Mat> {
    Mat value;
    std::valarray<Mat> tangents;

    fad1() : value(), tangents(Mat(), container_directions()) {}
    // Value m with the current container direction count of zero tangents of m's shape (m's data times 0.0).
    explicit fad1(Mat const& m) : value(m), tangents(zero_like(m), container_directions()) {}

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

private:
    static Mat zero_like(Mat const& m) {
        Mat z;
        z.data = m.data * 0.0;
        z.rows = m.rows;
        z.cols = m.cols;
        return z;
    }
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

}  // namespace veltn
