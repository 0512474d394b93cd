// The rates of the library's own vector kernels (exp, log, atan) on this machine, for the
// elementwise part of bench/compare.py's bound: nanoseconds per element, the best of several
// passes over an array that stays in the cache, printed as one JSON line.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "functions/vector_math.h"

using namespace veltn;

namespace {

// Best nanoseconds per element of f over n elements, over `passes` timed passes.
template <class F>
double best_ns(F f, std::vector<double> const& x, std::vector<double>& y, int passes) {
    double best = 1e30;
    for (int p = 0; p < passes; ++p) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < 16; ++r) f(x.data(), y.data(), x.size());
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s * 1e9 / (16.0 * double(x.size())));
    }
    return best;
}

}  // namespace

int main() {
    const std::size_t n = 1 << 14;  // 128 KiB per array
    std::vector<double> x(n), pos(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = -20.0 + 40.0 * double(i) / double(n);
        pos[i] = 1e-3 + 100.0 * double(i) / double(n);
    }
    const int passes = 40;
    const double e = best_ns(vec_exp, x, y, passes);
    const double l = best_ns(vec_log, pos, y, passes);
    const double a = best_ns(vec_atan, x, y, passes);
    const char* tier = vector_tier() == VectorTier::Avx512 ? "avx512" : vector_tier() == VectorTier::Avx2 ? "avx2" : "scalar";
    std::printf("{\"tier\": \"%s\", \"exp\": %.4f, \"log\": %.4f, \"atan\": %.4f}\n", tier, e, l, a);
    return 0;
}
