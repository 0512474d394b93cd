// What the Hessian-vector and Jacobian-vector products share: their argument checks, the
// tangent parameter vector seeded from the caller's directions, the layout of
// multi-direction arrays, and the trace line.
#pragma once

#include <cstdint>

#include "forward/tangent_ops.h"
#include "model/arguments.h"

namespace veltn {

// Checks common to velt_Hv and velt_Jv; returns the handle.
VELTN::VELTNInfo& checked_directional(void* handle, uint32_t nw, uint32_t k, uint32_t n, uint32_t nin,
                                      uint32_t nout);

// Sets the process-wide direction counts to k.
void set_direction_count(uint32_t k);

// The parameter vector w (nw values; null reads as zeros) with k tangents: tangent d is
// direction d of V in the layout veltn_rowmajor selects (null V reads as zeros). Only the first
// `used` entries of w and of each direction are read; the rest are zero. For nw = 1 and k = 1
// the single direction is 1.0 and V is not read.
fad1<Vec> seeded_parameters(const double* w, uint32_t nw, const double* V, uint32_t k, uint32_t used);

// Sets the direction counts to k and returns a private copy of the handle's tangent model
// loaded with w and the k directions of V (see seeded_parameters).
TangentNN seeded_model(VELTN::VELTNInfo const& info, const double* w, uint32_t nw, const double* V, uint32_t k);

// Writes k directions of `len` values from `tangents` to out in the veltn_rowmajor layout with
// stride `len_out` (>= len; entries beyond len are 0).
void write_directions(std::valarray<Vec> const& tangents, uint32_t k, std::size_t len, std::size_t len_out,
                      double* out);

double wall_seconds();
// With NN_TRACE set, prints "J = <J>, <seconds> s" on standard output.
void trace_objective(double J, double seconds);

}  // namespace veltn
