// Elementwise exp, log, atan and sqrt over arrays, a fused softplus and its adjoint, and the
// tangent rules that apply one factor per entry to many directions. Three tiers,
// the best one this machine has chosen once at start-up:
//   Avx512  eight lanes at a time through glibc's vector math library (AVX-512F and -DQ, with the
//           operating system saving the wide registers);
//   Avx2    four lanes at a time through the same library (AVX2 and FMA);
//   Scalar  the C library's scalar functions.
// glibc documents its vector routines as within 4 ulp of the correctly rounded result, so the
// vector tiers can differ from the scalar one (and from each other) by a few ulp. Within a tier
// every element goes through the same routine whatever its position in the array, so a value
// does not depend on the length of the array it sits in or on how the rows were cut into batches.
#pragma once

#include <cstddef>

namespace veltn {

void vec_exp(const double* x, double* y, std::size_t n);
void vec_log(const double* x, double* y, std::size_t n);
void vec_atan(const double* x, double* y, std::size_t n);
// The hardware square root: correctly rounded, so every tier gives the same bits.
void vec_sqrt(const double* x, double* y, std::size_t n);

// y = log(exp(z) + 1) where z < cutoff, else z (NaN included), with exp and log as above.
void vec_softplus(const double* z, double* y, std::size_t n, double cutoff);
// y = a * e / (1 + e) with e = exp(z) where z < cutoff, else a. y may not alias a.
void vec_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff);
// From e = exp(z): e1 = e + 1 and the slope s = e / e1 of softplus at z; or s with the factor
// c = e / (e1 e1) of the slope's derivative. Plain arithmetic: every tier gives the same bits.
// The outputs may be e.
void vec_softplus_slope(const double* e, double* e1, double* s, std::size_t n);
void vec_softplus_slope_curvature(const double* e, double* s, double* c, std::size_t n);

// Tangent rules over k directions of n entries held one after another (direction d at d n),
// with per-entry factors shared by all directions; o may be t. The vector tiers may fuse a
// multiply and an add, so their results can differ from the scalar tier's in the last bit.
// o_d = t_d s
void vec_scale_directions(const double* t, const double* s, double* o, std::size_t n, std::size_t k);
// o_d = a (z_d c) + t_d s: the tangents of s a when s has tangents z_d c
void vec_product_rule_directions(const double* a, const double* c, const double* s, const double* z,
                                 const double* t, double* o, std::size_t n, std::size_t k);

enum class VectorTier { Scalar, Avx2, Avx512 };

// The tier in use.
VectorTier vector_tier();
// For tests: switches to `tier`, or to the best tier below it that this CPU supports, and returns
// the tier now in use. Not meant to be called while another thread is evaluating.
VectorTier select_vector_tier(VectorTier tier);

}  // namespace veltn
