// Steadiness of repeated calls: every product on the reference networks, called 20 times in a
// row (after one warm-up call) at 1 thread. A call whose time depends on what the previous call
// left behind (storage handed back to the system and faulted in again, say) shows as a median
// well above the minimum or as two clusters of times.
//   veltn_steadiness [NETS] [CALLS]      NETS a subset of SIML (default SIM), CALLS default 20
// Prints min, median and max ms per product, whether the median is within 1.15x of the minimum
// (exits 1 if one is not), and the median count of page faults per call: on a loaded machine the
// times are noisy, the faults are not, and a call that keeps its storage from call to call
// faults (almost) never.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../bench_problem.h"

namespace {

struct Case {
    const char* product;
    unsigned k;  // directions or weight arrays; 0 where the product has none, npar for the Hessian
    const char* nets;
};

// The products of the suite; L only where one call takes under a few seconds.
const std::vector<Case> kCases = {
    {"obj", 0, "SIML"}, {"grad", 0, "SIML"}, {"hv", 1, "SIM"}, {"hv", 8, "SIM"}, {"hess", 0, "SI"},
    {"jv", 8, "SIM"},   {"vj", 1, "SIM"},    {"vj", 8, "SIM"},
};

std::function<int()> make_call(Problem& p, std::string const& product, unsigned k, std::vector<double>& V,
                               std::vector<double>& U, std::vector<double>& out, std::vector<double>& g,
                               std::vector<double>& big, double& J) {
    const std::size_t npar = p.par.size();
    if (product == "obj")
        return [&] { return velt_obj(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J); };
    if (product == "grad") {
        g.assign(npar, 0.0);
        return [&] {
            return velt_g(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J, g.data());
        };
    }
    if (product == "hv" || product == "hess") {
        if (product == "hess") {
            k = p.npar();
            V.assign(std::size_t(k) * k, 0.0);
            for (std::size_t i = 0; i < k; ++i) V[i * (k + 1)] = 1.0;
        } else {
            V = directions(npar, k);
        }
        g.assign(npar, 0.0);
        big.assign(npar * k, 0.0);
        return [&, k] {
            return velt_Hv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin,
                           p.nout, &J, g.data(), big.data());
        };
    }
    if (product == "jv") {
        V = directions(npar, k);
        out.assign(p.terms(), 0.0);
        big.assign(p.terms() * k, 0.0);
        return [&, k] {
            return velt_Jv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin,
                           p.nout, out.data(), big.data());
        };
    }
    U = directions(p.terms(), k);
    out.assign(p.terms(), 0.0);
    big.assign(npar * k, 0.0);
    return [&, k] {
        if (k == 1)
            return velt_vJ(p.handle, p.par.data(), p.npar(), U.data(), 0, p.X.data(), p.Y.data(), p.rows, p.nin,
                           p.nout, out.data(), big.data());
        return velt_vJ_vec(p.handle, p.par.data(), p.npar(), U.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin,
                           p.nout, out.data(), big.data());
    };
}

// Minor page faults of the process so far (the library's worker threads included).
long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string nets = argc > 1 ? argv[1] : "SIM";
    const int calls = argc > 2 ? std::atoi(argv[2]) : 20;
    if (calls < 1) return 2;
    constexpr double kLimit = 1.15;
    int unsteady = 0;
    std::printf("%-6s %-3s %4s %10s %10s %10s %8s %8s\n", "product", "net", "k/m", "min ms", "median ms", "max ms",
                "med/min", "faults");
    for (Case const& c : kCases)
        for (NetSpec const& net : reference_nets()) {
            if (nets.find(net.name[0]) == std::string::npos || std::string(c.nets).find(net.name[0]) == std::string::npos)
                continue;
            Problem p = Problem::make(net, 1);
            std::vector<double> V, U, out, g, big;
            double J = 0;
            const std::function<int()> call = make_call(p, c.product, c.k, V, U, out, g, big, J);
            if (call() != 0) {
                std::fprintf(stderr, "%s on %s failed\n", c.product, net.name);
                return 1;
            }
            std::vector<double> ms(calls);
            std::vector<long> faults(calls);
            for (int i = 0; i < calls; ++i) {
                const long f0 = minor_faults();
                const auto t0 = std::chrono::steady_clock::now();
                call();
                ms[i] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                faults[i] = minor_faults() - f0;
            }
            std::sort(faults.begin(), faults.end());
            std::vector<double> sorted = ms;
            std::sort(sorted.begin(), sorted.end());
            const double median = (sorted[(calls - 1) / 2] + sorted[calls / 2]) / 2;
            const double ratio = median / sorted.front();
            const bool ok = ratio <= kLimit;
            unsteady += !ok;
            std::printf("%-6s %-3s %4s %10.3f %10.3f %10.3f %8.3f %8ld%s\n", c.product, net.name,
                        c.k ? std::to_string(c.k).c_str() : "", sorted.front(), median, sorted.back(), ratio,
                        faults[(calls - 1) / 2], ok ? "" : "  unsteady");
        }
    std::printf("%s: every median within %.2fx of its minimum over %d calls\n", unsteady ? "FAIL" : "PASS", kLimit,
                calls);
    return unsteady ? 1 : 0;
}
