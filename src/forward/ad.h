// Forward-mode active scalar with a run-time number of tangent directions, and the direction
// counts of the current call. Its errors are declared in veltn_ad.hpp.
#pragma once

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

template <int Order>
struct Active;

// First-order active scalar: a value and one derivative per direction.
template <>
struct Active<1> {
    uint64_t ndir;
    double value;
    std::valarray<double> tangents;

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

