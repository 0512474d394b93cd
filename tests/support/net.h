// Small networks, parameters and data for the tests, built through the C interface.
#pragma once

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "veltn.h"

struct Net {
    void* h = nullptr;
    explicit Net(std::string const& description) : h(initVELTNet(description.data(), int(description.size()))) {}
    ~Net() { releaseVELTNet(h); }
    Net(Net const&) = delete;
    Net& operator=(Net const&) = delete;
    unsigned numel() const { return unsigned(velt_numel(h)); }
    unsigned nin() const { return velt_numin(h); }
    unsigned nout() const { return velt_numout(h); }
};

inline std::vector<double> random_vector(std::size_t n, unsigned seed, double scale = 1.0) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = scale * g(rng);
    return v;
}

// Captures what a block writes to one of the standard streams (file descriptor level, so it
// also sees C stdio).
class CaptureFd {
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    std::string text();

private:
    int fd_, saved_;
    std::string path_;
    bool done_ = false;
    std::string text_;
};
