// Compiled with -mavx2 -mfma: the four-lane forms of glibc's vector math library.
#include "functions/vector_math_avx2.h"

#include <immintrin.h>

extern "C" {
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_log(__m256d);
__m256d _ZGVdN4v_atan(__m256d);
}

namespace {

// Full groups of four, then the tail padded with a harmless value, so that every element goes
// through the vector routine.
template <__m256d (*F)(__m256d)>
void apply(const double* x, double* y, std::size_t n, double pad) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(y + i, F(_mm256_loadu_pd(x + i)));
    if (i == n) return;
    alignas(32) double t[4] = {pad, pad, pad, pad};
    for (std::size_t j = i; j < n; ++j) t[j - i] = x[j];
    _mm256_store_pd(t, F(_mm256_load_pd(t)));
    for (std::size_t j = i; j < n; ++j) y[j] = t[j - i];
}

}  // namespace

void avx2_exp(const double* x, double* y, std::size_t n) { apply<_ZGVdN4v_exp>(x, y, n, 0.0); }
void avx2_log(const double* x, double* y, std::size_t n) { apply<_ZGVdN4v_log>(x, y, n, 1.0); }
void avx2_atan(const double* x, double* y, std::size_t n) { apply<_ZGVdN4v_atan>(x, y, n, 0.0); }
