// What the derivative products share at the C boundary: their argument checks, the tangent
// model seeded from the caller's directions, the layout of multi-direction arrays, and the
// NN_TRACE line with its timer.
#pragma once

#include <cstdint>
#include <valarray>

#include "api/arguments.h"
#include "api/handle.h"
#include "forward/tangent_ops.h"

namespace veltn {

// Checks common to velt_Hv, velt_Jv, velt_vJ and velt_vJ_vec (null inputs read as zeros); each
// product then checks the arrays only it stores. Returns the handle.
VELTN::VELTNInfo& checked_product(void* handle, uint32_t nw, uint32_t n, uint32_t nin, uint32_t nout);

// Directions one tangent sweep over `rows` rows carries when k are asked for: as many as keep
// one batch's tangents within about a core's second-level cache, between 8 and 64; more run in
// blocks of equal size, so that memory does not grow with k.
uint32_t block_size(PlainNN const& nn, uint32_t rows, uint32_t k);

// The parameter vector w (nw values; null reads as zeros) with k tangents: tangent d is
// direction d of V in the layout veltn_rowmajor selects (null V reads as zeros). Only the first
// `used` entries of w and of each direction are read; the rest are zero. For nw = 1 and k = 1
// the single direction is 1.0 and V is not read.
fad1<Vec> seeded_parameters(const double* w, uint32_t nw, const double* V, uint32_t k, uint32_t used);
// The same for directions d0 .. d0+c-1 of the k in V, into P (its storage kept).
void seeded_parameters_into(const double* w, uint32_t nw, const double* V, uint32_t k, uint32_t d0, uint32_t c,
                            uint32_t used, fad1<Vec>& P);

// A private copy of the handle's tangent model loaded with w and the k directions of V (see
// seeded_parameters). The caller holds a DirectionScope(k) for the whole call.
TangentNN seeded_model(VELTN::VELTNInfo const& info, const double* w, uint32_t nw, const double* V, uint32_t k);

// Writes k directions of `len` values from `tangents` to out in the veltn_rowmajor layout with
// stride `len_out` (>= len; entries beyond len are 0).
void write_directions(VecTangents const& tangents, uint32_t k, std::size_t len, std::size_t len_out,
                      double* out);
// The same for the c directions of `tangents`, as directions d0 .. d0+c-1 of the k in out.
void write_directions(VecTangents const& tangents, uint32_t d0, uint32_t c, uint32_t k, std::size_t len,
                      std::size_t len_out, double* out);

// Writes nn's parameters (numel values in the parameter layout, then zeros up to len_out >=
// numel) as direction d of the k in out, in the veltn_rowmajor layout.
void write_direction(PlainNN const& nn, uint32_t d, uint32_t k, std::size_t len_out, double* out);

// Seconds on a monotonic clock, for the NN_TRACE line.
double wall_seconds();
// With NN_TRACE set, writes "J = <J>, <seconds> s" as a standard-output line.
void trace_objective(double J, double seconds);
// The same for an objective given by its n x nout per-element terms (the mean of norm's sum).
void trace_terms_objective(PlainNN const& norm, const double* terms, uint32_t n, uint32_t nout, double seconds);

}  // namespace veltn
