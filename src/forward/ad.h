// Forward-mode active scalar with a run-time number of tangent directions and the
// process-wide direction counts. Its errors are declared in veltn_ad.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <valarray>

#include "veltn_ad.hpp"

namespace tanad {
namespace FO {
namespace Dynamic {

// Tangent count of every Active<1> built from a plain number (940 at load).
extern VELTN_AD_EXPORT uint64_t NDIR;

template <int Order>
struct Active;

// First-order active scalar: a value and one derivative per direction.
template <>
struct Active<1> {
    uint64_t ndir;
    double value;
    std::valarray<double> tangents;

    Active(double x = 0.0) : ndir(NDIR), value(x), tangents(0.0, NDIR) {}

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

// Tangent count of every tangent container built from plain values (0 at load).
extern VELTN_AD_EXPORT uint64_t g_ndd;
