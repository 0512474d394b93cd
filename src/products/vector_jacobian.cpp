#include "products/vector_jacobian.h"

#include "model/parameters.h"

namespace veltn {

std::vector<PlainNN> vector_jacobian(PlainNN const& nn, InputRows const& X, InputRows const& Y, InputRows const& U,
                                     uint32_t m, double* res) {
    PlainNN zero = nn;
    zero_parameters(zero);
    std::vector<PlainNN> adj(m, zero);
    adj_computev_vec(nn, X, Y, U, m, res, adj);
    return adj;
}

}  // namespace veltn
