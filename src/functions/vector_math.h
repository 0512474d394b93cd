// Elementwise exp, log and atan over arrays. Where the CPU has AVX2 and FMA (checked once at
// run time) they run four lanes at a time through glibc's vector math library (within 4 ulp of
// the scalar forms); otherwise through the C library's scalar functions. Every element goes
// through the same routine whatever its position in the array, so a value does not depend on
// the length of the array it sits in or on how the rows were cut into batches.
#pragma once

#include <cstddef>

void vec_exp(const double* x, double* y, std::size_t n);
void vec_log(const double* x, double* y, std::size_t n);
void vec_atan(const double* x, double* y, std::size_t n);

// y = log(exp(z) + 1) where z < cutoff, else z (NaN included), with exp and log as above.
void vec_softplus(const double* z, double* y, std::size_t n, double cutoff);
// y = a * e / (1 + e) with e = exp(z) where z < cutoff, else a. y may not alias a.
void vec_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff);

// Whether the vector routines are in use on this machine.
bool vector_math_active();
