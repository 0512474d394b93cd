// An independent, row-at-a-time evaluation of a network from its widths, its activation
// formula and the documented parameter layout, used as the expected value of the forward pass.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace ref {

inline std::function<double(double)> activation(std::string const& name) {
    if (name == "id") return [](double z) { return z; };
    if (name == "relu") return [](double z) { return z < 0 ? 0.0 : z; };
    if (name == "atan") return [](double z) { return std::atan(z); };
    if (name == "softplus_shifted") return [](double z) { return (z >= 300 ? z : std::log1p(std::exp(z))) - 1.0; };
    return [](double z) { return z >= 300 ? z : std::log1p(std::exp(z)); };
}

// -log of the fat-tailed density, shifted to 0 at r = 0, as the mathematics states it.
inline double fat_term(double r) {
    const double sigma = 0.3333333333333333, gamma = 0.0004785973257525766, pi = 3.141592653589793;
    if (std::fabs(r) < 2.0) return r * r / (2 * sigma * sigma);
    return -std::log(gamma / (pi * (r * r + gamma * gamma))) + 0.17967375546343706;
}

struct Network {
    unsigned numout, niter;
    std::vector<unsigned> sizes;
    std::string act;

    std::size_t numel() const {
        std::size_t n = 0;
        for (std::size_t l = 0; l + 1 < sizes.size(); ++l) n += sizes[l + 1] + sizes[l] * sizes[l + 1];
        return n + numout + std::size_t(niter) * sizes.back() * numout;
    }

    // Outputs (R x numout) for X (R x C), C <= sizes[0].
    std::vector<double> forward(std::vector<double> const& par, std::vector<double> const& X, std::size_t R,
                                std::size_t C) const {
        const auto f = activation(act);
        const std::size_t L = sizes.size();
        // Offsets of each layer's bias and weights in the parameter vector.
        std::vector<std::size_t> boff(L), woff(L);
        std::size_t k = 0;
        for (std::size_t l = 0; l < L; ++l) {
            const std::size_t in = l + 1 < L ? sizes[l] : std::size_t(niter) * sizes.back();
            const std::size_t out = l + 1 < L ? sizes[l + 1] : numout;
            boff[l] = k;
            woff[l] = k + out;
            k += out + in * out;
        }
        auto layer = [&](std::size_t l, std::vector<double> const& a, std::size_t out) {
            std::vector<double> z(out);
            for (std::size_t j = 0; j < out; ++j) {
                long double s = par[boff[l] + j];
                for (std::size_t i = 0; i < a.size(); ++i) s += (long double)a[i] * par[woff[l] + i * out + j];
                z[j] = f(double(s));
            }
            return z;
        };
        std::vector<double> F;
        for (std::size_t r = 0; r < R; ++r) {
            std::vector<double> a(sizes[0], 0.0);
            for (std::size_t c = 0; c < C; ++c) a[c] = X[r * C + c];
            std::vector<double> T;
            for (unsigned p = 0; p < niter; ++p) {
                for (std::size_t l = 0; l + 1 < L; ++l) a = layer(l, a, sizes[l + 1]);
                T.insert(T.end(), a.begin(), a.end());
            }
            const auto out = layer(L - 1, T, numout);
            F.insert(F.end(), out.begin(), out.end());
        }
        return F;
    }
};

}  // namespace ref
