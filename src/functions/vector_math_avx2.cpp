// Compiled with -mavx2 -mfma: the kernels of vector_kernels.h four lanes at a time through the
// four-lane forms of glibc's vector math library.
#include "functions/vector_math_avx2.h"

#include <immintrin.h>

#include "functions/vector_kernels.h"

extern "C" {
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_log(__m256d);
__m256d _ZGVdN4v_atan(__m256d);
}

namespace veltn {

namespace {

struct Avx2Lanes {
    using V = __m256d;
    using M = __m256d;  // all ones in the lanes that are set
    static constexpr std::size_t width = 4;

    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static V load_tail(const double* p, std::size_t n, double pad) {
        return kernels::load_padded<Avx2Lanes>(p, n, pad);
    }
    static void store_tail(double* p, std::size_t n, V v) { kernels::store_partial<Avx2Lanes>(p, n, v); }
    static V set1(double x) { return _mm256_set1_pd(x); }
    static M less(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static V select(M m, V a, V b) { return _mm256_blendv_pd(b, a, m); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V div(V a, V b) { return _mm256_div_pd(a, b); }
    static V exp(V v) { return _ZGVdN4v_exp(v); }
    static V log(V v) { return _ZGVdN4v_log(v); }
    static V atan(V v) { return _ZGVdN4v_atan(v); }
    static V sqrt(V v) { return _mm256_sqrt_pd(v); }
};

}  // namespace

void avx2_exp(const double* x, double* y, std::size_t n) { kernels::exp<Avx2Lanes>(x, y, n); }
void avx2_log(const double* x, double* y, std::size_t n) { kernels::log<Avx2Lanes>(x, y, n); }
void avx2_atan(const double* x, double* y, std::size_t n) { kernels::atan<Avx2Lanes>(x, y, n); }
void avx2_sqrt(const double* x, double* y, std::size_t n) { kernels::sqrt<Avx2Lanes>(x, y, n); }
void avx2_softplus(const double* z, double* y, std::size_t n, double cutoff) {
    kernels::softplus<Avx2Lanes>(z, y, n, cutoff);
}
void avx2_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff) {
    kernels::softplus_adjoint<Avx2Lanes>(z, a, y, n, cutoff);
}
void avx2_softplus_slope(const double* e, double* e1, double* s, std::size_t n) {
    kernels::softplus_slope<Avx2Lanes>(e, e1, s, n);
}
void avx2_softplus_slope_curvature(const double* e, double* s, double* c, std::size_t n) {
    kernels::softplus_slope_curvature<Avx2Lanes>(e, s, c, n);
}
void avx2_scale_directions(const double* t, const double* s, double* o, std::size_t n, std::size_t k) {
    kernels::scale_directions<Avx2Lanes>(t, s, o, n, k);
}
void avx2_product_rule_directions(const double* a, const double* c, const double* s, const double* z,
                                   const double* t, double* o, std::size_t n, std::size_t k) {
    kernels::product_rule_directions<Avx2Lanes>(a, c, s, z, t, o, n, k);
}

}  // namespace veltn
