// Small helpers shared by the tangent activations and the tangent norms.
#pragma once

#include <cstddef>
#include <valarray>

#include "forward/fad1.h"

namespace veltn {
namespace tangent_support {

// Where the entries of v are below c (NaN is not).
inline std::valarray<bool> below(Vec const& v, double c) {
    std::valarray<bool> m(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) m[i] = v[i] < c;
    return m;
}

// Gives out the value shape rows x cols and k tangents of that shape, keeping storage whose
// element count already matches.
inline void shape_like(fad1<Mat>& out, std::size_t k, std::size_t rows, std::size_t cols) { out.shape(k, rows, cols); }

// Whether every tangent has the value's element count n.
inline bool tangents_of_size(fad1<Mat> const& x, std::size_t n) {
    return x.tangents.size() == 0 || x.tangents.count() == n;
}

}  // namespace tangent_support
}  // namespace veltn
