// Compiled with -mavx512f -mavx512dq: the kernels of vector_kernels.h eight lanes at a time
// through the eight-lane forms of glibc's vector math library. The tail is read and written with
// masked loads and stores; the masked-off lanes take the pad value and nothing past the end of an
// array is touched.
#include "functions/vector_math_avx512.h"

#include <immintrin.h>

#include "functions/vector_kernels.h"

extern "C" {
__m512d _ZGVeN8v_exp(__m512d);
__m512d _ZGVeN8v_log(__m512d);
__m512d _ZGVeN8v_atan(__m512d);
}

namespace veltn {

namespace {

struct Avx512Lanes {
    using V = __m512d;
    using M = __mmask8;
    static constexpr std::size_t width = 8;

    static M first(std::size_t n) { return static_cast<M>((1u << n) - 1u); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    static V load_tail(const double* p, std::size_t n, double pad) {
        return _mm512_mask_loadu_pd(_mm512_set1_pd(pad), first(n), p);
    }
    static void store_tail(double* p, std::size_t n, V v) { _mm512_mask_storeu_pd(p, first(n), v); }
    static V set1(double x) { return _mm512_set1_pd(x); }
    static M less(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static V select(M m, V a, V b) { return _mm512_mask_blend_pd(m, b, a); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static V exp(V v) { return _ZGVeN8v_exp(v); }
    static V log(V v) { return _ZGVeN8v_log(v); }
    static V atan(V v) { return _ZGVeN8v_atan(v); }
    // The masked form: GCC 12 warns about the undefined source register of _mm512_sqrt_pd.
    static V sqrt(V v) { return _mm512_mask_sqrt_pd(v, static_cast<M>(0xff), v); }
};

}  // namespace

void avx512_exp(const double* x, double* y, std::size_t n) { kernels::exp<Avx512Lanes>(x, y, n); }
void avx512_log(const double* x, double* y, std::size_t n) { kernels::log<Avx512Lanes>(x, y, n); }
void avx512_atan(const double* x, double* y, std::size_t n) { kernels::atan<Avx512Lanes>(x, y, n); }
void avx512_sqrt(const double* x, double* y, std::size_t n) { kernels::sqrt<Avx512Lanes>(x, y, n); }
void avx512_softplus(const double* z, double* y, std::size_t n, double cutoff) {
    kernels::softplus<Avx512Lanes>(z, y, n, cutoff);
}
void avx512_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff) {
    kernels::softplus_adjoint<Avx512Lanes>(z, a, y, n, cutoff);
}
void avx512_softplus_slope(const double* e, double* e1, double* s, std::size_t n) {
    kernels::softplus_slope<Avx512Lanes>(e, e1, s, n);
}
void avx512_softplus_slope_curvature(const double* e, double* s, double* c, std::size_t n) {
    kernels::softplus_slope_curvature<Avx512Lanes>(e, s, c, n);
}
void avx512_scale_directions(const double* t, const double* s, double* o, std::size_t n, std::size_t k) {
    kernels::scale_directions<Avx512Lanes>(t, s, o, n, k);
}
void avx512_product_rule_directions(const double* a, const double* c, const double* s, const double* z,
                                   const double* t, double* o, std::size_t n, std::size_t k) {
    kernels::product_rule_directions<Avx512Lanes>(a, c, s, z, t, o, n, k);
}

}  // namespace veltn
