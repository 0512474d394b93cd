// The AVX2 kernels behind vector_math.h; only called after the CPU check.
#pragma once

#include <cstddef>

namespace veltn {

void avx2_exp(const double* x, double* y, std::size_t n);
void avx2_log(const double* x, double* y, std::size_t n);
void avx2_atan(const double* x, double* y, std::size_t n);
void avx2_sqrt(const double* x, double* y, std::size_t n);
void avx2_softplus(const double* z, double* y, std::size_t n, double cutoff);
void avx2_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff);

}  // namespace veltn
