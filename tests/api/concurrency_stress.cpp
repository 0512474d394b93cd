// Many callers at once, as a host's thread pool makes them: pthreads on distinct handles and on
// one shared handle, each call with its own number of directions; a thread that creates and
// releases handles all along; OpenMP caller loops (flat and nested) over handles; and, last, a
// network large enough that the library's own regions run on two threads. Every result must
// equal, bit for bit, the one computed beforehand by one thread alone: results do not depend on
// what else runs, nor on the team a caller's region grants. CI runs it under ThreadSanitizer
// with LLVM's OpenMP runtime and its TSan tool (.ci/run).
//
// The caller's BLAS thread count is 2 throughout: every call must see 1 while it runs (checked
// from the message handler, inside failing calls made among the others), and the count must be
// 2 again once all calls have returned.
#include <cblas.h>
#include <omp.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "veltn.h"

namespace {

const char* const kDescription = "3 2 3 1 16 3 6 5 softplus sum_log_dnorm_fat";
constexpr uint32_t kRows = 70;  // three batches of 32 rows, the last one short
constexpr uint32_t kMaxK = 5;
// Work enough for velt_Hv and velt_Jv with kMaxK directions to run their regions on two slots
// (the network above is too small for a second thread to pay).
const char* const kWideDescription = "3 2 3 1 16 3 64 48 softplus sum_log_dnorm_fat";
constexpr uint32_t kWideRows = 256;

struct Data {
    uint32_t npar = 0, nin = 3, nout = 2, rows = kRows;
    std::vector<double> w, V, X, Y, U;
};

// Everything a call can return, compared bit for bit.
struct Result {
    std::vector<double> values;
    int status = 0;
    bool operator==(Result const& o) const {
        return status == o.status && values.size() == o.values.size() &&
               std::memcmp(values.data(), o.values.data(), values.size() * sizeof(double)) == 0;
    }
};

enum Op { kHv, kJv, kGrad, kVJ, kGNv };

double wave(unsigned i, double scale) { return scale * std::sin(0.7 * i + 0.3); }

Data make_data(void* h, uint32_t rows = kRows) {
    Data d;
    d.rows = rows;
    d.npar = uint32_t(velt_numel(h));
    for (unsigned i = 0; i < d.npar; ++i) d.w.push_back(wave(i, 0.4));
    for (unsigned i = 0; i < d.npar * kMaxK; ++i) d.V.push_back(wave(3 * i + 1, 1.0));
    for (unsigned i = 0; i < rows * d.nin; ++i) d.X.push_back(wave(5 * i + 2, 1.5));
    for (unsigned i = 0; i < rows * d.nout; ++i) d.Y.push_back(wave(7 * i + 3, 1.0));
    for (unsigned i = 0; i < rows * d.nout; ++i) d.U.push_back(wave(11 * i + 4, 1.0));
    return d;
}

Result run(void* h, Data const& d, Op op, uint32_t k) {
    Result r;
    const uint32_t n = d.rows, m = d.npar;
    double J = 0.0;
    std::vector<double> g(m), out;
    switch (op) {
        case kHv:
            out.resize(std::size_t(k) * m);
            r.status = velt_Hv(h, d.w.data(), m, d.V.data(), k, d.X.data(), d.Y.data(), n, d.nin, d.nout, &J, g.data(),
                               out.data());
            break;
        case kJv:
            g.resize(std::size_t(n) * d.nout);
            out.resize(std::size_t(k) * n * d.nout);
            r.status = velt_Jv(h, d.w.data(), m, d.V.data(), k, d.X.data(), d.Y.data(), n, d.nin, d.nout, g.data(),
                               out.data());
            break;
        case kGrad:
            r.status = velt_g(h, d.w.data(), m, d.X.data(), d.Y.data(), n, d.nin, d.nout, &J, g.data());
            break;
        case kVJ:
            out.resize(std::size_t(n) * d.nout);
            r.status = velt_vJ(h, d.w.data(), m, d.U.data(), 0, d.X.data(), d.Y.data(), n, d.nin, d.nout,
                               out.data(), g.data());
            break;
        case kGNv:
            out.resize(std::size_t(k) * m);
            r.status = velt_GNv(h, d.w.data(), m, d.V.data(), k, d.X.data(), d.Y.data(), n, d.nin, d.nout, &J,
                                g.data(), out.data());
            break;
    }
    r.values.push_back(J);
    r.values.insert(r.values.end(), g.begin(), g.end());
    r.values.insert(r.values.end(), out.begin(), out.end());
    return r;
}

void* make_handle(uint32_t threads, const char* description = kDescription) {
    void* h = initVELTNet(description, int(std::strlen(description)));
    if (h) velt_setpar(h, threads, 32);
    return h;
}

std::atomic<int> failures{0};
std::atomic<long> checked{0};

// Lines of the failing calls made to look at the BLAS thread count from inside a call.
const char* const kProbeLine = "velt_obj: the parameter vector holds";
std::atomic<long> probes{0}, blas_threaded_inside{0};

void on_line(void*, int, const char* line) {
    if (std::strncmp(line, kProbeLine, std::strlen(kProbeLine)) != 0) return (void)std::printf("library: %s\n", line);
    probes.fetch_add(1);
    // Twice, a little apart, so that other calls can end meanwhile.
    bool threaded = openblas_get_num_threads() != 1;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    threaded |= openblas_get_num_threads() != 1;
    if (threaded) blas_threaded_inside.fetch_add(1);
}

// A call that fails on its arguments (too short a parameter vector) and so writes one line
// while it runs.
void probe_blas(void* h, Data const& d) {
    double J = 0.0;
    if (velt_obj(h, d.w.data(), 1, d.X.data(), d.Y.data(), d.rows, d.nin, d.nout, &J) != -1) failures.fetch_add(1);
}

void expect_same(Result const& got, Result const& want, const char* where, int op, uint32_t k) {
    checked.fetch_add(1);
    if (got == want) return;
    if (failures.fetch_add(1) < 10) std::printf("MISMATCH in %s: op %d, k %u, status %d\n", where, op, k, got.status);
}

}  // namespace

int main() {
    velt_set_message_handler(&on_line, nullptr);
    const uint32_t threads = 2;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(2500);
    openblas_set_num_threads(2);
    const int blas_threads = openblas_get_num_threads();
    if (blas_threads != 2) std::printf("BLAS thread count %d instead of 2: its restore is only checked for that\n", blas_threads);

    void* probe = make_handle(threads);
    if (!probe) return std::puts("cannot build the network"), 1;
    const Data data = make_data(probe);

    // Reference values, one thread, nothing else running.
    std::map<std::pair<int, uint32_t>, Result> ref;
    for (int op = kHv; op <= kGNv; ++op)
        for (uint32_t k = 0; k <= kMaxK; ++k) {
            ref[{op, k}] = run(probe, data, Op(op), k);
            if (ref[{op, k}].status != 0) return std::printf("reference op %d k %u failed\n", op, k), 1;
        }

    // Pthreads: four with handles of their own and two sharing `probe` (read-only calls), every
    // call with a k of its own; one more creates and releases handles until the deadline.
    std::vector<std::thread> pool;
    std::atomic<bool> stop{false};
    for (unsigned t = 0; t < 6; ++t)
        pool.emplace_back([&, t] {
            void* own = t < 4 ? make_handle(threads) : probe;
            for (unsigned i = 0; !stop.load(); ++i) {
                const int op = int((i + t) % 5);
                const uint32_t k = (i * 7 + t * 3) % (kMaxK + 1);
                expect_same(run(own, data, Op(op), k), ref[{op, k}], t < 4 ? "own handle" : "shared handle", op, k);
                if (i % 3 == 0) probe_blas(own, data);
            }
            if (own != probe) releaseVELTNet(own);
        });
    pool.emplace_back([&] {
        for (unsigned i = 0; !stop.load(); ++i) {
            void* h = make_handle(1 + i % threads);
            if (!h) {
                failures.fetch_add(1);
                break;
            }
            if (i % 8 == 0) expect_same(run(h, data, kHv, 2), ref[{kHv, 2}], "fresh handle", kHv, 2);
            releaseVELTNet(h);
        }
    });
    while (Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (auto& th : pool) th.join();

    // A caller's OpenMP loop, flat and then nested: the library's own regions get one thread
    // (or two when nesting is on), and the results must not change.
    for (int levels : {1, 2}) {
        omp_set_max_active_levels(levels);
#pragma omp parallel for num_threads(3) schedule(dynamic)
        for (int i = 0; i < 24; ++i) {
            void* h = make_handle(threads);
            const int op = i % 5;
            const uint32_t k = uint32_t(i % (kMaxK + 1));
            expect_same(run(h, data, Op(op), k), ref[{op, k}], levels == 1 ? "OpenMP loop" : "nested OpenMP loop",
                        op, k);
            probe_blas(h, data);
            releaseVELTNet(h);
        }
    }
    releaseVELTNet(probe);

    // Calls whose own regions take two slots, from two pthreads and a nested OpenMP loop at once.
    void* wide = make_handle(threads, kWideDescription);
    if (!wide) return std::puts("cannot build the wide network"), 1;
    const Data wd = make_data(wide, kWideRows);
    const Result wide_ref[2] = {run(wide, wd, kHv, kMaxK), run(wide, wd, kJv, kMaxK)};
    std::vector<std::thread> callers;
    for (int t = 0; t < 2; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < 2; ++i)
                expect_same(run(wide, wd, t ? kJv : kHv, kMaxK), wide_ref[t], "wide network, pthread", t, kMaxK);
        });
#pragma omp parallel for num_threads(2) schedule(dynamic)
    for (int i = 0; i < 4; ++i) {
        void* h = make_handle(threads, kWideDescription);
        expect_same(run(h, wd, i % 2 ? kJv : kHv, kMaxK), wide_ref[i % 2], "wide network, OpenMP loop", i % 2, kMaxK);
        probe_blas(h, wd);
        releaseVELTNet(h);
    }
    for (auto& th : callers) th.join();
    releaseVELTNet(wide);
    velt_set_message_handler(nullptr, nullptr);
    const int failed = failures.load();
    std::printf("%ld calls checked against the single-threaded values\n", checked.load());
    std::printf("%ld passed, %d failed\n", checked.load() - failed, failed);
    const int blas_after = openblas_get_num_threads();
    std::printf("BLAS thread count: %ld of %ld calls saw more than 1 while running; %d after all calls (was %d)\n",
                blas_threaded_inside.load(), probes.load(), blas_after, blas_threads);
    const bool blas_ok = blas_threaded_inside.load() == 0 && probes.load() > 10 && blas_after == blas_threads;
    return failed == 0 && checked.load() > 100 && blas_ok ? 0 : 1;
}
