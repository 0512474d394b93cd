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

// log(exp(z) + 1) below `cutoff`, z itself at and above it and for NaN, four lanes at a time.
// The same exp and log as avx2_exp and avx2_log on the same inputs, so the values match theirs.
void avx2_softplus(const double* z, double* y, std::size_t n, double cutoff) {
    const __m256d cut = _mm256_set1_pd(cutoff), one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
    auto lanes = [&](__m256d v) {
        const __m256d below = _mm256_cmp_pd(v, cut, _CMP_LT_OQ);
        const __m256d e = _ZGVdN4v_exp(_mm256_blendv_pd(zero, v, below));
        const __m256d r = _ZGVdN4v_log(_mm256_add_pd(e, one));
        return _mm256_blendv_pd(v, r, below);
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(y + i, lanes(_mm256_loadu_pd(z + i)));
    if (i == n) return;
    alignas(32) double t[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = i; j < n; ++j) t[j - i] = z[j];
    _mm256_store_pd(t, lanes(_mm256_load_pd(t)));
    for (std::size_t j = i; j < n; ++j) y[j] = t[j - i];
}

// a * e / (1 + e) with e = exp(z) below `cutoff`, a itself at and above it and for NaN.
void avx2_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff) {
    const __m256d cut = _mm256_set1_pd(cutoff), one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
    auto lanes = [&](__m256d v, __m256d w) {
        const __m256d below = _mm256_cmp_pd(v, cut, _CMP_LT_OQ);
        const __m256d e = _ZGVdN4v_exp(_mm256_blendv_pd(zero, v, below));
        const __m256d r = _mm256_mul_pd(_mm256_div_pd(e, _mm256_add_pd(one, e)), w);
        return _mm256_blendv_pd(w, r, below);
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(y + i, lanes(_mm256_loadu_pd(z + i), _mm256_loadu_pd(a + i)));
    if (i == n) return;
    alignas(32) double t[4] = {0.0, 0.0, 0.0, 0.0}, u[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = i; j < n; ++j) t[j - i] = z[j], u[j - i] = a[j];
    _mm256_store_pd(t, lanes(_mm256_load_pd(t), _mm256_load_pd(u)));
    for (std::size_t j = i; j < n; ++j) y[j] = t[j - i];
}
