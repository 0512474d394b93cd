// Jacobian-vector products of the per-element objective terms: the forward pass over the
// tangent model whose parameters carry the caller's directions.
#pragma once

#include "forward/tangent_functions.h"
#include "forward/tangent_ops.h"
#include "model/forward_pass.h"

// O (n x numout, with the model's directions) := the per-element terms of computev(X) - Y.
// Rows beyond one batch run in batches on nn.nthreads threads, each writing its own rows.
inline void resv(TangentNN const& nn, Mat const& X, Mat const& Y, fad1<Mat>& O) { objv_vec(nn, X, Y, O); }
