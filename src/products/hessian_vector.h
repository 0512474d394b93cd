// Hessian-vector products: forward mode over the reverse pass. The reverse pass runs over the
// tangent model whose parameters carry the caller's directions, so the values of the parameter
// adjoints form the gradient and their tangents the products H v_d.
#pragma once

#include "core/input_rows.h"
#include "forward/tangent_ops.h"
#include "reverse/reverse_pass.h"

namespace veltn {

// The objective of the tangent model nn over the rows X with targets Y (its tangents are the
// directional derivatives g . v_d); G receives the parameter adjoints in the parameter layout:
// value the gradient, tangent d the product H v_d. The caller holds a DirectionScope for nn's
// direction count.
tanad::FO::Dynamic::Active<1> hessian_vector(TangentNN const& nn, InputRows const& X, InputRows const& Y,
                                             fad1<Vec>& G);
// The same with the adjoint model and the passes' storage kept by the caller (adj is
// overwritten; with both reused at the same sizes, the call allocates nothing).
tanad::FO::Dynamic::Active<1> hessian_vector(TangentNN const& nn, InputRows const& X, InputRows const& Y,
                                             fad1<Vec>& G, TangentNN& adj, ObjvStorage<TangentNN>* store);

}  // namespace veltn
