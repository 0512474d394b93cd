// Peak resident memory of one call, beyond what its inputs and outputs already hold:
//   veltn_peak_memory NET PRODUCT [K]      NET in S I M L, PRODUCT in obj grad hv
// The problem, the directions and the result arrays are allocated and touched first; then the
// kernel's peak-RSS mark is reset to the current size (/proc/self/clear_refs), the call runs once,
// and the program prints the growth of the peak in MiB.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../bench_problem.h"

namespace {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
    return -1;
}

bool reset_peak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    return bool(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s NET PRODUCT [K]\n", argv[0]);
        return 2;
    }
    const NetSpec* net = nullptr;
    for (NetSpec const& n : reference_nets())
        if (std::strcmp(n.name, argv[1]) == 0) net = &n;
    const std::string product = argv[2];
    const unsigned k = argc > 3 ? unsigned(std::stoul(argv[3])) : 1;
    if (!net || (product != "obj" && product != "grad" && product != "hv")) {
        std::fprintf(stderr, "unknown network or product\n");
        return 2;
    }
    Problem p = Problem::make(*net, 1);
    const std::vector<double> V = directions(p.par.size(), k);
    std::vector<double> g(p.par.size(), 1.0), Hv(product == "hv" ? p.par.size() * k : 0, 1.0);
    double J = 0;
    const long before = status_kib("VmRSS");
    if (!reset_peak()) {
        std::fprintf(stderr, "cannot reset the peak mark\n");
        return 1;
    }
    int rc;
    if (product == "obj")
        rc = velt_obj(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J);
    else if (product == "grad")
        rc = velt_g(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J, g.data());
    else
        rc = velt_Hv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout,
                     &J, g.data(), Hv.data());
    const long peak = status_kib("VmHWM");
    if (rc != 0) return 1;
    std::printf("%s %s k=%u: inputs and outputs %.1f MiB, peak %.1f MiB, beyond them %.1f MiB\n", net->name,
                product.c_str(), k, before / 1024.0, peak / 1024.0, (peak - before) / 1024.0);
    return 0;
}
