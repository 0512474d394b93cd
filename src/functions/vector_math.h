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

// Whether the vector routines are in use on this machine.
bool vector_math_active();
