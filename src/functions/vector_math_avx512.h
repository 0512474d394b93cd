// The AVX-512 kernels behind vector_math.h; only called after the CPU check.
#pragma once

#include <cstddef>

namespace veltn {

void avx512_exp(const double* x, double* y, std::size_t n);
void avx512_log(const double* x, double* y, std::size_t n);
void avx512_atan(const double* x, double* y, std::size_t n);
void avx512_sqrt(const double* x, double* y, std::size_t n);
void avx512_softplus(const double* z, double* y, std::size_t n, double cutoff);
void avx512_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff);
void avx512_softplus_slope(const double* e, double* e1, double* s, std::size_t n);
void avx512_softplus_slope_curvature(const double* e, double* s, double* c, std::size_t n);
void avx512_scale_directions(const double* t, const double* s, double* o, std::size_t n, std::size_t k);
void avx512_product_rule_directions(const double* a, const double* c, const double* s, const double* z,
                                   const double* t, double* o, std::size_t n, std::size_t k);

}  // namespace veltn
