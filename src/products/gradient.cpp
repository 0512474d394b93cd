#include "products/gradient.h"

#include "model/parameters.h"
#include "reverse/reverse_pass.h"

namespace veltn {

double objective_gradient(PlainNN const& nn, InputRows const& X, InputRows const& Y, Vec& grad) {
    PlainNN adjnn = nn;
    zero_parameters(adjnn);
    const double objective = adj_objv(nn, X, Y, 1.0, adjnn);
    grad = getweights(adjnn);
    return objective;
}

}  // namespace veltn
