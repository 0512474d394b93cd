// A steady call allocates nothing: the global operator new and delete are replaced to count,
// and a second call on the same thread with the same handle, rows and directions must not
// reach them (the BLAS's own buffers are not made through them). Runs at one thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "veltn.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::nothrow_t const&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, std::nothrow_t const& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Net {
    const char* description;
    uint32_t rows;
};

// Inputs, targets and directions of a network, and the calls under test.
struct Problem {
    void* h;
    uint32_t rows, nin, nout, np;
    std::vector<double> w, X, Y, V, out, g, res;

    Problem(Net const& net, uint32_t k)
        : h(initVELTNet(net.description, int(std::strlen(net.description)))), rows(net.rows) {
        nin = velt_numin(h);
        nout = velt_numout(h);
        np = uint32_t(velt_numel(h));
        velt_setpar(h, 1, 32);
        w.resize(np);
        for (uint32_t i = 0; i < np; ++i) w[i] = 0.3 * std::sin(1.0 + i);
        X.resize(std::size_t(rows) * nin);
        for (std::size_t i = 0; i < X.size(); ++i) X[i] = std::cos(0.7 * double(i));
        Y.resize(std::size_t(rows) * nout);
        for (std::size_t i = 0; i < Y.size(); ++i) Y[i] = 0.5 * std::sin(0.3 * double(i));
        resize(k);
    }
    ~Problem() { releaseVELTNet(h); }
    void resize(uint32_t k) {
        V.resize(std::size_t(np) * k);
        for (std::size_t i = 0; i < V.size(); ++i) V[i] = std::sin(0.37 * double(i) + 1.0);
        out.resize(std::max<std::size_t>(std::size_t(np), std::size_t(rows) * nout) * k);
        g.resize(np);
        res.resize(std::size_t(rows) * nout);
    }
    int hv(uint32_t k) {
        double J;
        return velt_Hv(h, w.data(), np, V.data(), k, X.data(), Y.data(), rows, nin, nout, &J, g.data(), out.data());
    }
    int jv(uint32_t k) {
        return velt_Jv(h, w.data(), np, V.data(), k, X.data(), Y.data(), rows, nin, nout, res.data(), out.data());
    }
    int gnv(uint32_t k) {
        double J;
        return velt_GNv(h, w.data(), np, V.data(), k, X.data(), Y.data(), rows, nin, nout, &J, g.data(), out.data());
    }
};

const Net kNets[] = {{"3 1 3 1 16 3 8 8 softplus sum", 100},
                     {"8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", 200},
                     {"4 2 2 1 32 4 8 atan sum_sq", 70}};

class SteadyCalls : public ::testing::TestWithParam<std::tuple<int, uint32_t>> {};

TEST_P(SteadyCalls, SecondCallAllocatesNothing) {
    const auto [net, k] = GetParam();
    Problem p(kNets[net], k);
    for (auto [name, call] : {std::pair<const char*, int (Problem::*)(uint32_t)>{"velt_Hv", &Problem::hv},
                              {"velt_Jv", &Problem::jv},
                              {"velt_GNv", &Problem::gnv}}) {
        ASSERT_EQ((p.*call)(k), 0) << name;
        const long before = allocations.load();
        ASSERT_EQ((p.*call)(k), 0) << name;
        EXPECT_EQ(allocations.load() - before, 0) << name << " net " << net << " k " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(NetsAndDirections, SteadyCalls,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(1u, 8u, 64u, 65u, 200u)));

}  // namespace
