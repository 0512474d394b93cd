// make_problem: writes a data directory for the driver programs with reproducible random data.
//
//   make_problem [--vj] DIR "DESCRIPTION" ROWS [NDIRS] [SEED]
//
// DIR/config.txt     a comment line, then the description
// DIR/data.mat       ROWS x numin inputs, uniform in [-1, 1]
// DIR/v0.mat         1 x velt_numel parameters: biases ~ N(0, 0.3^2), weights ~ N(0, 1/fan_in)
// DIR/specs.mat      ROWS x numout targets: the network's outputs at v0 plus noise, a tenth of
//                    it wide enough to reach the Cauchy tails of sum_log_dnorm_fat
// DIR/d_v0.mat       velt_numel x NDIRS directions ~ N(0, 1) (hv_driver, jv_driver), or with
//                    --vj ROWS x numout weights ~ N(0, 1) (vj_driver)
// NDIRS defaults to 3, SEED to 1. The same arguments give the same files.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "datafile.h"
#include "veltn.h"

namespace {

using datafile::Matrix;
using datafile::ptr;

// Uniform and normal variates built from the 64-bit Mersenne Twister, whose output sequence is
// fixed by the C++ standard (the standard distributions are not).
class Rng {
public:
    explicit Rng(uint64_t seed) : gen_(seed) {}
    double uniform() { return double(gen_() >> 11) * 0x1.0p-53; }  // [0, 1)
    double normal() {
        if (have_spare_) {
            have_spare_ = false;
            return spare_;
        }
        const double u1 = 1.0 - uniform(), u2 = uniform();  // u1 in (0, 1]
        const double r = std::sqrt(-2.0 * std::log(u1)), a = 6.283185307179586 * u2;
        spare_ = r * std::sin(a);
        have_spare_ = true;
        return r * std::cos(a);
    }

private:
    std::mt19937_64 gen_;
    double spare_ = 0.0;
    bool have_spare_ = false;
};

Matrix zeros(uint64_t rows, uint64_t cols) {
    Matrix m;
    m.data.resize(std::size_t(rows * cols), 0.0);
    m.rows = std::size_t(rows);
    m.cols = std::size_t(cols);
    return m;
}

bool parse_count(const char* s, uint64_t max, uint64_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno || end == s || *end || s[0] == '-' || v > max) return false;
    *out = v;
    return true;
}

int usage() {
    std::cerr << "usage: make_problem [--vj] DIR \"DESCRIPTION\" ROWS [NDIRS] [SEED]\n"
                 "  writes DIR/config.txt, data.mat, specs.mat, v0.mat and d_v0.mat;\n"
                 "  d_v0.mat holds NDIRS (default 3) directions, or with --vj ROWS x numout weights\n";
    return 2;
}

// Parameters layer by layer in the library's layout: bias, then the weights row by row.
bool fill_parameters(void* h, Rng& rng, Matrix& P) {
    std::size_t k = 0;
    // Stops at the last layer without asking for one more (the library would report it).
    for (uint32_t l = 0; k < P.size(); ++l) {
        uint32_t nb = 0, rows = 0, cols = 0;
        if (velt_bias(h, l, nullptr, &nb) != 0 || velt_weights(h, l, nullptr, &rows, &cols) != 0) break;
        if (k + nb + uint64_t(rows) * cols > P.size()) return false;
        for (uint32_t i = 0; i < nb; ++i) P.data[k++] = 0.3 * rng.normal();
        const double scale = 1.0 / std::sqrt(double(rows ? rows : 1));
        for (uint64_t i = 0; i < uint64_t(rows) * cols; ++i) P.data[k++] = scale * rng.normal();
    }
    return k == P.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool vj = false;
    if (!args.empty() && args[0] == "--vj") {
        vj = true;
        args.erase(args.begin());
    }
    if (args.size() < 3 || args.size() > 5) return usage();
    const std::string dir = args[0], desc = args[1];
    uint64_t rows = 0, ndirs = 3, seed = 1;
    if (!parse_count(args[2].c_str(), UINT32_MAX, &rows) || rows == 0) return usage();
    if (args.size() > 3 && !parse_count(args[3].c_str(), UINT32_MAX, &ndirs)) return usage();
    if (args.size() > 4 && !parse_count(args[4].c_str(), UINT64_MAX, &seed)) return usage();

    void* h = initVELTNet(desc.data(), int(desc.size()));
    if (!h) return 3;
    const uint64_t npar = velt_numel(h), nin = velt_numin(h), nout = velt_numout(h);
    const uint64_t dcols = vj ? nout : ndirs, drows = vj ? rows : npar;
    if (rows * nin > UINT32_MAX || rows * nout > UINT32_MAX || drows * dcols > UINT32_MAX) {
        std::cerr << "make_problem: the matrices would exceed the library's 32-bit counts\n";
        releaseVELTNet(h);
        return 2;
    }

    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::cerr << "make_problem: cannot create directory " << dir << ": " << ec.message() << "\n";
        releaseVELTNet(h);
        return 4;
    }

    Rng rng(seed);
    Matrix X = zeros(rows, nin), P = zeros(1, npar), Y = zeros(rows, nout), D = zeros(drows, dcols);
    for (auto& x : X.data) x = 2.0 * rng.uniform() - 1.0;
    if (!fill_parameters(h, rng, P)) {
        std::cerr << "make_problem: the layer sizes do not add up to velt_numel = " << npar << "\n";
        releaseVELTNet(h);
        return 3;
    }
    if (velt_compute(h, ptr(P.data), uint32_t(npar), ptr(X.data), uint32_t(rows), uint32_t(nin), 0,
                     ptr(Y.data)) != 0) {
        releaseVELTNet(h);
        return 3;
    }
    for (auto& y : Y.data) {
        const double wide = rng.uniform() < 0.1 ? 8.0 : 1.0;
        y += 0.3 * wide * rng.normal();
    }
    for (auto& d : D.data) d = rng.normal();
    releaseVELTNet(h);

    int failed = 0;
    {
        const std::string path = dir + "/config.txt";
        std::ofstream cfg(path);
        cfg << "# make_problem " << (vj ? "--vj " : "") << rows << " rows, " << ndirs << " directions, seed " << seed
            << " (this first line is not part of the description)\n"
            << desc << "\n";
        cfg.close();
        if (!cfg) {
            std::cerr << "cannot write output file " << path << ": " << std::strerror(errno) << "\n";
            failed = 1;
        }
    }
    failed |= datafile::write(X, "data", dir + "/data.mat") != 0;
    failed |= datafile::write(Y, "specs", dir + "/specs.mat") != 0;
    failed |= datafile::write(P, "v0", dir + "/v0.mat") != 0;
    failed |= datafile::write(D, "d_v0", dir + "/d_v0.mat") != 0;
    if (failed) return 4;
    std::cout << dir << ": " << rows << " x " << nin << " inputs, " << rows << " x " << nout << " targets, " << npar
              << " parameters, d_v0 " << drows << " x " << dcols << "\n";
    return 0;
}
