// Peak resident memory of one call, beyond what its inputs and outputs already hold:
//   veltn_peak_memory NET PRODUCT [K] [ROWS]
// NET in S I M L; PRODUCT in compute residual obj objv grad hv jv vj jac gnv (vj with K > 1 is
// velt_vJ_vec with K weight arrays; jac is velt_jacobian, gnv velt_GNv with K directions); ROWS replaces the network's row count (bench/memory/growth.py
// runs two row counts and prints the growth).
// The problem, the directions and the result arrays are allocated and touched first; then the
// kernel's peak-RSS mark is reset to the current size (/proc/self/clear_refs), the call runs once,
// and the program prints the growth of the peak in MiB.
#include <algorithm>
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
    const std::vector<std::string> known = {"compute", "residual", "obj", "objv", "grad", "hv", "jv", "vj", "jac", "gnv"};
    if (!net || std::find(known.begin(), known.end(), product) == known.end()) {
        std::fprintf(stderr, "unknown network or product\n");
        return 2;
    }
    NetSpec spec = *net;
    if (argc > 4) spec.rows = unsigned(std::stoul(argv[4]));
    Problem p = Problem::make(spec, 1);
    const std::size_t terms = p.terms();
    // Every input and output array is allocated and touched before the mark is reset.
    const std::vector<double> V = directions(p.par.size(), product == "hv" || product == "jv" || product == "gnv" ? k : 0);
    const std::vector<double> U = directions(terms, product == "vj" ? k : 0);
    std::vector<double> g(p.par.size() * (product == "vj" ? k : 1), 1.0);
    std::vector<double> Hv(product == "hv" || product == "gnv" ? p.par.size() * k : 0, 1.0);
    std::vector<double> Jac(product == "jac" ? terms * p.par.size() : 0, 1.0);
    std::vector<double> out(terms, 1.0), Jv(product == "jv" ? terms * k : 0, 1.0);
    double J = 0;
    const long before = status_kib("VmRSS");
    if (!reset_peak()) {
        std::fprintf(stderr, "cannot reset the peak mark\n");
        return 1;
    }
    int rc;
    const double* par = p.par.data();
    const double *X = p.X.data(), *Y = p.Y.data();
    if (product == "compute")
        rc = velt_compute(p.handle, par, p.npar(), X, p.rows, p.nin, 0, out.data());
    else if (product == "residual")
        rc = velt_residual(p.handle, par, p.npar(), X, Y, p.rows, p.nin, p.nout, out.data());
    else if (product == "obj")
        rc = velt_obj(p.handle, par, p.npar(), X, Y, p.rows, p.nin, p.nout, &J);
    else if (product == "objv")
        rc = velt_objv(p.handle, par, p.npar(), X, Y, p.rows, p.nin, p.nout, out.data());
    else if (product == "grad")
        rc = velt_g(p.handle, par, p.npar(), X, Y, p.rows, p.nin, p.nout, &J, g.data());
    else if (product == "hv")
        rc = velt_Hv(p.handle, par, p.npar(), V.data(), k, X, Y, p.rows, p.nin, p.nout, &J, g.data(), Hv.data());
    else if (product == "jv")
        rc = velt_Jv(p.handle, par, p.npar(), V.data(), k, X, Y, p.rows, p.nin, p.nout, out.data(), Jv.data());
    else if (product == "jac")
        rc = velt_jacobian(p.handle, par, p.npar(), X, Y, p.rows, p.nin, p.nout, out.data(), Jac.data());
    else if (product == "gnv")
        rc = velt_GNv(p.handle, par, p.npar(), V.data(), k, X, Y, p.rows, p.nin, p.nout, &J, g.data(), Hv.data());
    else if (k == 1)
        rc = velt_vJ(p.handle, par, p.npar(), U.data(), 0, X, Y, p.rows, p.nin, p.nout, out.data(), g.data());
    else
        rc = velt_vJ_vec(p.handle, par, p.npar(), U.data(), k, X, Y, p.rows, p.nin, p.nout, out.data(), g.data());
    const long peak = status_kib("VmHWM");
    if (rc != 0) return 1;
    std::printf("%s %s k=%u rows=%u: inputs and outputs %.1f MiB, peak %.1f MiB, beyond them %.1f MiB\n", net->name,
                product.c_str(), k, p.rows, before / 1024.0, peak / 1024.0, (peak - before) / 1024.0);
    return 0;
}
