#include "products/hessian_vector.h"

#include "forward/tangent_functions.h"
#include "model/parameters.h"
#include "reverse/reverse_pass.h"

namespace veltn {

tanad::FO::Dynamic::Active<1> hessian_vector(TangentNN const& nn, InputRows const& X, InputRows const& Y,
                                             fad1<Vec>& G, TangentNN& adj, ObjvStorage<TangentNN>* store) {
    adj = nn;
    zero_parameters(adj);
    const tanad::FO::Dynamic::Active<1> seed(1.0);
    const auto objective = adj_objv(nn, X, Y, seed, adj, store);
    getweights_into(adj, G);
    return objective;
}

tanad::FO::Dynamic::Active<1> hessian_vector(TangentNN const& nn, InputRows const& X, InputRows const& Y,
                                             fad1<Vec>& G) {
    TangentNN adj;
    return hessian_vector(nn, X, Y, G, adj, nullptr);
}

}  // namespace veltn
