// Forward-mode active scalar with a run-time number of tangent directions, and the direction
// counts of the current call. Its errors are declared in veltn_ad.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <valarray>

#include "core/thread_state.h"
#include "veltn_ad.hpp"

namespace veltn {

// The direction counts belong to the call: each thread reads its own (core/thread_state.h), set
// by the call on the calling thread and handed to its worker threads by parallel_region.
// Tangents of an active scalar made from a plain number.
inline uint64_t scalar_directions() { return veltn::call_state().scalar_directions; }
// Tangents of a tangent container made from plain values.
inline uint64_t container_directions() { return veltn::call_state().container_directions; }

// Sets both counts to k on this thread while alive, and puts the previous counts back after.
class DirectionScope {
public:
    explicit DirectionScope(uint64_t k) : saved_(veltn::call_state()) {
        veltn::call_state().scalar_directions = k;
        veltn::call_state().container_directions = k;
    }
    DirectionScope(uint64_t ndir, uint64_t ndd) : saved_(veltn::call_state()) {
        veltn::call_state().scalar_directions = ndir;
        veltn::call_state().container_directions = ndd;
    }
    ~DirectionScope() {
        veltn::call_state().scalar_directions = saved_.scalar_directions;
        veltn::call_state().container_directions = saved_.container_directions;
    }
    DirectionScope(DirectionScope const&) = delete;
    DirectionScope& operator=(DirectionScope const&) = delete;

private:
    veltn::CallState saved_;
};

}  // namespace veltn

namespace tanad {
namespace FO {
namespace Dynamic {

// The tangents of an active scalar: up to kInline of them in the scalar itself, so that the
// scalars of a product's sweep (a block of at most kInline directions) never allocate; more go
// to the heap. Reads and writes like a std::valarray<double> of that length.
class ScalarTangents {
public:
    static constexpr std::size_t kInline = 64;

    ScalarTangents() = default;
    ScalarTangents(double x, std::size_t n) {
        reserve(n);
        n_ = n;
        std::fill_n(data(), n, x);
    }
    ScalarTangents(ScalarTangents const& o) { assign(o.data(), o.n_); }
    ScalarTangents(ScalarTangents&& o) noexcept { take(o); }
    ScalarTangents& operator=(ScalarTangents const& o) {
        if (this != &o) assign(o.data(), o.n_);
        return *this;
    }
    ScalarTangents& operator=(ScalarTangents&& o) noexcept {
        if (this != &o) {
            delete[] heap_;
            heap_ = nullptr;
            cap_ = 0;
            take(o);
        }
        return *this;
    }
    ScalarTangents& operator=(std::valarray<double> const& v) {
        assign(v.size() ? &v[0] : nullptr, v.size());
        return *this;
    }
    ~ScalarTangents() { delete[] heap_; }

    std::size_t size() const { return n_; }
    double& operator[](std::size_t d) { return data()[d]; }
    double operator[](std::size_t d) const { return data()[d]; }
    double* begin() { return data(); }
    double* end() { return data() + n_; }
    const double* begin() const { return data(); }
    const double* end() const { return data() + n_; }

    // n entries, the existing ones kept and new ones zero (n at least the current count).
    void grow(std::size_t n) {
        if (n <= n_) return;
        reserve(n);
        std::fill(data() + n_, data() + n, 0.0);
        n_ = n;
    }
    // Entrywise, over the first size() entries of b (b has at least as many).
    ScalarTangents& operator+=(ScalarTangents const& b) {
        for (std::size_t d = 0; d < n_; ++d) data()[d] += b[d];
        return *this;
    }
    ScalarTangents& operator*=(double c) {
        for (double& t : *this) t *= c;
        return *this;
    }
    ScalarTangents& operator/=(double c) {
        for (double& t : *this) t /= c;
        return *this;
    }
    ScalarTangents operator-() const {
        ScalarTangents r(*this);
        for (double& t : r) t = -t;
        return r;
    }

private:
    double* data() { return heap_ ? heap_ : inline_; }
    const double* data() const { return heap_ ? heap_ : inline_; }
    // Room for n entries, the current ones kept.
    void reserve(std::size_t n) {
        if (n <= (heap_ ? cap_ : kInline)) return;
        double* h = new double[n];
        std::copy_n(data(), n_, h);
        delete[] heap_;
        heap_ = h;
        cap_ = n;
    }
    void assign(const double* p, std::size_t n) {
        reserve(n);
        std::copy_n(p, n, data());
        n_ = n;
    }
    void take(ScalarTangents& o) {
        n_ = o.n_;
        if (o.heap_) {
            heap_ = o.heap_;
            cap_ = o.cap_;
            o.heap_ = nullptr;
            o.cap_ = 0;
            o.n_ = 0;
        } else {
            std::copy_n(o.inline_, n_, inline_);
        }
    }

    double inline_[kInline];
    double* heap_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t n_ = 0;
};

template <int Order>
struct Active;

// First-order active scalar: a value and one derivative per direction.
template <>
struct Active<1> {
    uint64_t ndir;
    double value;
    ScalarTangents tangents;

    Active(double x = 0.0) : ndir(veltn::scalar_directions()), value(x), tangents(0.0, ndir) {}

    Active& operator+=(Active const& b);
    Active& operator*=(double c);
    // Raises a POLE_DIVISION_C discontinuity when c == 0.0 (either sign), then divides anyway.
    Active& operator/=(double c);
    Active operator-() const;
};

inline Active<1> operator*(Active<1> a, double c) { return a *= c; }
inline Active<1> operator*(double c, Active<1> a) { return a *= c; }
inline Active<1> operator+(Active<1> a, Active<1> const& b) { return a += b; }

}  // namespace Dynamic
}  // namespace FO

}  // namespace tanad

