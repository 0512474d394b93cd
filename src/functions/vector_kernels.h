// The elementwise kernels behind vector_math.h, written once for any lane type. Each vector
// translation unit (vector_math_avx2.cpp, vector_math_avx512.cpp) includes this with its own ISA
// flags and its own lane traits. Everything here has internal linkage: an inline or template
// function with external linkage emitted by both units could let the linker keep the AVX-512
// copy for both, and that copy would then run on a machine without AVX-512.
//
// A lane traits struct L provides
//   V, M                     a vector of L::width doubles and a lane mask
//   width                    lanes per vector
//   load(p), store(p, v)     unaligned, all lanes
//   load_tail(p, n, pad)     the n < width elements at p, the other lanes holding pad
//   store_tail(p, n, v)      the first n lanes of v to p, nothing else written
//   set1(x)
//   less(a, b)               a < b per lane, false where either is NaN
//   select(m, a, b)          a where m is set, else b
//   add, mul, div
//   exp, log, atan           glibc's vector math routines of that width
//   sqrt                     the correctly rounded square root instruction
#pragma once

#include <cstddef>

namespace veltn {

namespace {
namespace kernels {

// Full groups, then the tail with the unused lanes set to `pad` (a value on which the routine
// raises no floating-point flag). Every element goes through the same vector routine, so its
// value does not depend on where it sits in the array or how long the array is.
template <class L, class F>
void apply(F f, const double* x, double* y, std::size_t n, double pad) {
    std::size_t i = 0;
    for (; i + L::width <= n; i += L::width) L::store(y + i, f(L::load(x + i)));
    if (i < n) L::store_tail(y + i, n - i, f(L::load_tail(x + i, n - i, pad)));
}

// As apply, for a routine of two arrays.
template <class L, class F>
void apply2(F f, const double* x, const double* w, double* y, std::size_t n, double pad_x, double pad_w) {
    std::size_t i = 0;
    for (; i + L::width <= n; i += L::width) L::store(y + i, f(L::load(x + i), L::load(w + i)));
    if (i < n) L::store_tail(y + i, n - i, f(L::load_tail(x + i, n - i, pad_x), L::load_tail(w + i, n - i, pad_w)));
}

// glibc's vector exp raises overflow (not underflow) far below its range, from about -1e119, and
// invalid at -inf, where the true result is a plain 0. Arguments below -1000 (where exp is 0
// already) go in as -1000, so the value is the same and no false flag is raised. NaN is kept.
template <class L>
typename L::V exp_from_below(typename L::V v) {
    const typename L::V floor = L::set1(-1000.0);
    return L::exp(L::select(L::less(v, floor), floor, v));
}

template <class L>
void exp(const double* x, double* y, std::size_t n) {
    apply<L>([](typename L::V v) { return exp_from_below<L>(v); }, x, y, n, 0.0);
}

template <class L>
void log(const double* x, double* y, std::size_t n) {
    apply<L>([](typename L::V v) { return L::log(v); }, x, y, n, 1.0);
}

// glibc's four-lane atan squares its argument and raises overflow from 2^512 up. atan is pi/2
// to the last bit long before 2^500, so larger magnitudes (infinities included) go in as 2^500.
template <class L>
void atan(const double* x, double* y, std::size_t n) {
    using V = typename L::V;
    const V hi = L::set1(0x1p500), lo = L::set1(-0x1p500);
    apply<L>(
        [&](V v) {
            const V clamped = L::select(L::less(hi, v), hi, L::select(L::less(v, lo), lo, v));
            return L::atan(clamped);
        },
        x, y, n, 0.0);
}

// NaN and negative inputs give NaN, as the scalar sqrt; the pad 1.0 raises nothing.
template <class L>
void sqrt(const double* x, double* y, std::size_t n) {
    apply<L>([](typename L::V v) { return L::sqrt(v); }, x, y, n, 1.0);
}

// log(exp(z) + 1) below `cutoff`, z itself at and above it and for NaN. exp is evaluated at 0 in
// the lanes that keep z, so it never overflows. The same exp and log as the routines above on the
// same inputs, so the values match exp followed by log elementwise. exp runs over a block, then
// log over the block: calls on independent data overlap in the pipeline, where exp followed by
// log on each vector would make one long chain of dependent instructions.
template <class L>
void softplus(const double* z, double* y, std::size_t n, double cutoff) {
    using V = typename L::V;
    const V cut = L::set1(cutoff), one = L::set1(1.0), zero = L::set1(0.0);
    constexpr std::size_t kBlock = 128;
    alignas(64) double e1[kBlock];
    for (std::size_t b = 0; b < n; b += kBlock) {
        const std::size_t m = n - b < kBlock ? n - b : kBlock;
        apply<L>([&](V v) { return L::add(exp_from_below<L>(L::select(L::less(v, cut), v, zero)), one); }, z + b, e1,
                 m, 0.0);
        apply2<L>([&](V v, V e) { return L::select(L::less(v, cut), L::log(e), v); }, z + b, e1, y + b, m, 0.0, 1.0);
    }
}

// a * e / (1 + e) with e = exp(z) below `cutoff`, a itself at and above it and for NaN.
template <class L>
void softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff) {
    using V = typename L::V;
    const V cut = L::set1(cutoff), one = L::set1(1.0), zero = L::set1(0.0);
    apply2<L>(
        [&](V v, V w) {
            const auto below = L::less(v, cut);
            const V e = exp_from_below<L>(L::select(below, v, zero));
            return L::select(below, L::mul(L::div(e, L::add(one, e)), w), w);
        },
        z, a, y, n, 0.0, 0.0);
}

// Tangent rules over k directions of n entries, held one after another (direction d at d n),
// with per-entry factors shared by every direction. The tails pad with 0, on which the
// arithmetic raises nothing. o may be t (each entry is read before it is written).

// o_d = t_d s.
template <class L>
void scale_directions(const double* t, const double* s, double* o, std::size_t n, std::size_t k) {
    for (std::size_t d = 0; d < k; ++d, t += n, o += n)
        apply2<L>([](typename L::V x, typename L::V f) { return L::mul(x, f); }, t, s, o, n, 0.0, 0.0);
}

// o_d = a (z_d c) + t_d s: the tangents of s a, where s has tangents z_d c.
template <class L>
void product_rule_directions(const double* a, const double* c, const double* s, const double* z, const double* t,
                             double* o, std::size_t n, std::size_t k) {
    using V = typename L::V;
    for (std::size_t d = 0; d < k; ++d, z += n, t += n, o += n) {
        std::size_t i = 0;
        for (; i + L::width <= n; i += L::width)
            L::store(o + i, L::add(L::mul(L::load(a + i), L::mul(L::load(z + i), L::load(c + i))),
                                   L::mul(L::load(t + i), L::load(s + i))));
        if (i < n) {
            const std::size_t m = n - i;
            const V r = L::add(L::mul(L::load_tail(a + i, m, 0.0), L::mul(L::load_tail(z + i, m, 0.0), L::load_tail(c + i, m, 0.0))),
                               L::mul(L::load_tail(t + i, m, 0.0), L::load_tail(s + i, m, 0.0)));
            L::store_tail(o + i, m, r);
        }
    }
}

// f(v, a, b) sets two vectors per group v of x, stored to y1 and y2 (either may be x: each group
// is read before it is written); the tail pads x with `pad`.
template <class L, class F>
void apply_split(F f, const double* x, double* y1, double* y2, std::size_t n, double pad) {
    typename L::V a, b;
    std::size_t i = 0;
    for (; i + L::width <= n; i += L::width) {
        f(L::load(x + i), a, b);
        L::store(y1 + i, a);
        L::store(y2 + i, b);
    }
    if (i < n) {
        f(L::load_tail(x + i, n - i, pad), a, b);
        L::store_tail(y1 + i, n - i, a);
        L::store_tail(y2 + i, n - i, b);
    }
}

// The softplus factors from e = exp(z): e1 = e + 1 and s = e / e1 (its slope), and with c the
// slope's own derivative factor e / (e1 e1). Each a single rounded operation per entry, so every
// tier gives the same bits. The tails pad with 0.
template <class L>
void softplus_slope(const double* e, double* e1, double* s, std::size_t n) {
    using V = typename L::V;
    const V one = L::set1(1.0);
    apply_split<L>(
        [&](V x, V& x1, V& slope) {
            x1 = L::add(x, one);
            slope = L::div(x, x1);
        },
        e, e1, s, n, 0.0);
}

template <class L>
void softplus_slope_curvature(const double* e, double* s, double* c, std::size_t n) {
    using V = typename L::V;
    const V one = L::set1(1.0);
    apply_split<L>(
        [&](V x, V& slope, V& curvature) {
            const V x1 = L::add(x, one);
            slope = L::div(x, x1);
            curvature = L::div(x, L::mul(x1, x1));
        },
        e, s, c, n, 0.0);
}

// load_tail and store_tail through a padded buffer, for lane types without masked memory access.
template <class L>
typename L::V load_padded(const double* p, std::size_t n, double pad) {
    alignas(64) double t[L::width];
    for (std::size_t j = 0; j < L::width; ++j) t[j] = j < n ? p[j] : pad;
    return L::load(t);
}

template <class L>
void store_partial(double* p, std::size_t n, typename L::V v) {
    alignas(64) double t[L::width];
    L::store(t, v);
    for (std::size_t j = 0; j < n; ++j) p[j] = t[j];
}

}  // namespace kernels
}  // namespace

}  // namespace veltn
