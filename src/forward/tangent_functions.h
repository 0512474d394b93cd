// The activations and norm functions over tangent types, for code that binds both (a
// TangentNN's function pointers): tangent_activations.h and tangent_norms.h. Including it
// lets the function table be read over the tangent types.
#pragma once

#include "forward/tangent_activations.h"
#include "forward/tangent_norms.h"
#include "functions/registry.h"

namespace veltn {

// The function table (functions/registry.h) over the tangent types names the specialisations
// declared above.
template <>
struct forms_declared<fad1<Mat>> : std::true_type {};

}  // namespace veltn
