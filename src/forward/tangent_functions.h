// The activations and norm functions over tangent types, for code that binds both (a
// TangentNN's function pointers): tangent_activations.h and tangent_norms.h.
#pragma once

#include "forward/tangent_activations.h"
#include "forward/tangent_norms.h"
