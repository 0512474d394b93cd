// Jacobian-vector products of the per-element objective terms: the forward pass over the
// tangent model whose parameters carry the caller's directions.
#pragma once

#include "forward/tangent_functions.h"
#include "forward/tangent_ops.h"
#include "model/forward_pass.h"

namespace veltn {

// The per-element terms of computev(X) - Y over the tangent model, whose directions make the
// terms' tangents the products J v_d: batches on nn.nthreads threads, each handed to
// put(row0, terms) (see row_pass).
template <class Put>
void jacobian_vector_rows(TangentNN const& nn, InputRows const& X, InputRows const& Y, Put&& put,
                          std::vector<ForwardScratch<TangentNN>>* store = nullptr) {
    row_pass(nn, X, Y, RowResult::terms, put, store);
}

}  // namespace veltn
