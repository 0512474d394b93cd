// Helpers shared by the forward-mode tests: direction-count guards, seeded containers, bitwise
// and finite-difference comparisons.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "forward/ad.h"
#include "forward/fad1.h"
#include "support/fd.h"
#include "veltn.h"

using namespace veltn;

namespace tangent_test {

// Sets both direction counts of this thread for the lifetime of the guard.
using DirectionCounts = DirectionScope;

// Collects the library's standard-error lines (each with its newline) while alive.
class CerrCapture {
public:
    CerrCapture() { velt_set_message_handler(&CerrCapture::take, this); }
    ~CerrCapture() { velt_set_message_handler(nullptr, nullptr); }
    std::string text() const { return buf_.str(); }

private:
    static void take(void* self, int stream, const char* line) {
        if (stream == 2) static_cast<CerrCapture*>(self)->buf_ << line << '\n';
    }
    std::ostringstream buf_;
};

inline Vec random_vec(std::size_t n, unsigned seed, double scale = 1.0) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Vec v(n);
    for (auto& x : v) x = scale * u(rng);
    return v;
}

inline Mat make_mat(std::size_t rows, std::size_t cols, Vec const& data) {
    Mat m(rows, cols);
    // Element copy: the sizes match, and it sidesteps a GCC 12 -Wuse-after-free false positive
    // on valarray reassignment.
    for (std::size_t i = 0; i < m.data.size() && i < data.size(); ++i) m.data[i] = data[i];
    return m;
}

inline Mat random_mat(std::size_t rows, std::size_t cols, unsigned seed, double scale = 1.0) {
    return make_mat(rows, cols, random_vec(rows * cols, seed, scale));
}

// Value v with k random tangents in [-scale, scale].
inline fad1<Vec> seeded_vec(Vec const& v, unsigned k, unsigned seed, double scale = 1.0) {
    fad1<Vec> x(v, k);
    for (unsigned d = 0; d < k; ++d) x.tangents[d] = random_vec(v.size(), seed + 101 * d, scale);
    return x;
}

inline fad1<Mat> seeded_mat(Mat const& m, unsigned k, unsigned seed, double scale = 1.0) {
    fad1<Mat> x = asMatrix(seeded_vec(m.data, k, seed, scale), m.rows, m.cols);
    return x;
}

// m + eps * (tangent d of x), as a plain matrix.
inline Mat along(fad1<Mat> const& x, std::size_t d, double eps) {
    Mat m = x.value;
    m.data += eps * Vec(x.tangents[d].data);
    return m;
}
inline Vec along(fad1<Vec> const& x, std::size_t d, double eps) { return x.value + eps * Vec(x.tangents[d]); }

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline void expect_bits_equal(Vec const& got, Vec const& want, std::string const& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(same_bits(got[i], want[i])) << what << " entry " << i << ": " << got[i] << " vs " << want[i];
}

inline void expect_close(Vec const& got, Vec const& want, std::string const& what, double rel = 1e-6,
                         double abs = 1e-7) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(fd::close(got[i], want[i], rel, abs))
            << what << " entry " << i << ": " << got[i] << " vs finite difference " << want[i];
}

// Central difference of eps -> f(eps) at 0.
inline Vec central(std::function<Vec(double)> const& f, double h = fd::kStep) {
    const Vec fp = f(h);
    const Vec fm = f(-h);
    return (fp - fm) / (2.0 * h);
}

}  // namespace tangent_test
