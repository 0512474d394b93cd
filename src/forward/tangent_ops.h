// The primitive overload set of model/net_ops.h for the tangent types, and the parameter
// access of the network over them. Every operation acts on the value and on every tangent
// unless its comment says otherwise.
#pragma once

#include <cstddef>

#include "forward/ad.h"
#include "forward/fad1.h"
#include "forward/ops.h"
#include "model/net_ops.h"
#include "model/nn.h"

namespace veltn {

using TangentNN = NNTemplate<fad1<Mat>, fad1<Vec>, tanad::FO::Dynamic::Active<1>>;

inline std::size_t nn_rows(fad1<Mat> const& m) { return m.value.rows; }
inline std::size_t nn_count(fad1<Mat> const& m) { return m.value.size(); }
inline std::size_t nn_count(fad1<Vec> const& v) { return v.value.size(); }
inline std::size_t nn_ndir(fad1<Mat> const& m) { return m.ndir(); }

// The input is data, not a function of the parameters: the current count of zero tangents.
// A's storage is kept where the shapes match, here and in nn_zeros.
void nn_input(fad1<Mat>& A, Mat const& X, std::size_t width);
// Value and the current count of tangents of rows x cols zeros.
void nn_zeros(fad1<Mat>& m, std::size_t rows, std::size_t cols);
inline void nn_mult_bias(fad1<Mat> const& A, fad1<Mat> const& W, fad1<Vec> const& b, fad1<Mat>& Z) {
    do_mult_bias(A, W, b, Z);
}

// Over src's directions.
void nn_place_columns(fad1<Mat>& T, fad1<Mat> const& src, std::size_t col0);
// dst += columns col0 .. col0+dst.cols-1 of src, value and the directions both have (those src
// lacks count as zero).
void nn_add_columns(fad1<Mat> const& src, std::size_t col0, fad1<Mat>& dst);

// Rows of src (value and each of its directions) into dst from row row0 on.
void nn_place_rows(fad1<Mat>& dst, fad1<Mat> const& src, std::size_t row0);

// The target is data: only the value changes.
inline void nn_sub_target(fad1<Mat>& F, Mat const& Y) { F.value.data -= Y.data; }

// C := A B^T and C := A^T B (+ C when accumulate, value and tangents).
inline void nn_mult_nt(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C) {
    do_binmult(C, A, TransposedFAD1<Mat>(B));
}
void nn_mult_tn(fad1<Mat> const& A, fad1<Mat> const& B, fad1<Mat>& C, bool accumulate);

// a += b over a's element count and a's directions (directions b lacks count as zero).
void nn_add_into(fad1<Vec>& a, fad1<Vec> const& b);
void nn_add_into(fad1<Mat>& a, fad1<Mat> const& b);

inline void nn_colsum(fad1<Mat> const& m, fad1<Vec>& s) { colsum_into(m, s); }

void nn_set_zero(fad1<Mat>& m);
void nn_set_zero(fad1<Vec>& v);

inline fad1<Vec> nn_as_vector(fad1<Mat> const& m) { return asVector(m); }
// The target keeps its rows and cols.
inline void nn_assign_values(fad1<Mat>& m, fad1<Vec> const& v) { m = v; }

}  // namespace veltn

namespace tanad {
namespace FO {
namespace Dynamic {
// Declared in the scalar's namespace so that argument-dependent lookup finds it from generic
// code compiled before this header.
inline double scalar_value(Active<1> const& s) { return s.value; }
}  // namespace Dynamic
}  // namespace FO
}  // namespace tanad

namespace veltn {

using tanad::FO::Dynamic::scalar_value;

// Loads p (parameter layout: per layer the bias, then the weights row-major) into nn: values
// from p.value, and tangent d of every weight and bias from p's tangent d. Every weight and
// bias takes p's direction count, and remembers which of its directions are zero until it is
// next written. p's length is not checked.
void setweights(TangentNN& nn, fad1<Vec> const& p);
// The inverse of setweights: numel entries with the current direction count (those a weight or bias lacks
// stay zero).
fad1<Vec> getweights(TangentNN const& nn);
// The same into p, keeping p's storage.
void getweights_into(TangentNN const& nn, fad1<Vec>& p);

}  // namespace veltn
