// The objective and its exact gradient: one reverse pass of the plain model.
#pragma once

#include "core/input_rows.h"
#include "core/matrix.h"
#include "model/nn.h"

namespace veltn {

// The objective of nn over the rows X with targets Y; grad receives its gradient in the
// parameter layout (per layer the bias, then the weights row-major).
double objective_gradient(PlainNN const& nn, InputRows const& X, InputRows const& Y, Vec& grad);

}  // namespace veltn
