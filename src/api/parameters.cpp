// Exported parameter access and settings.
#include <string>

#include "functions/norms.h"
#include "api/arguments.h"
#include "veltn.h"

using namespace veltn;

namespace {
void require_layer(PlainNN const& nn, uint32_t l) {
    if (l >= nn.nlayers)
        fail("layer " + std::to_string(l) + " does not exist (the network has " + std::to_string(nn.nlayers) +
             " layers)");
}
}  // namespace

extern "C" {

VELTN_API uint64_t velt_numel(void* handle) {
    VELTN::VELTNInfo* info = try_handle(handle);
    return info ? numel(info->model) : 0;
}

VELTN_API uint32_t velt_numin(void* handle) {
    VELTN::VELTNInfo* info = try_handle(handle);
    return info ? info->model.numin : 0;
}

VELTN_API uint32_t velt_numout(void* handle) {
    VELTN::VELTNInfo* info = try_handle(handle);
    return info ? info->model.numout : 0;
}

VELTN_API double velt_logp_bias(void* /*handle*/) { return norm_constants::kBias; }
VELTN_API double velt_logp_sigma(void* /*handle*/) { return norm_constants::kSigma; }

VELTN_API int velt_weights(void* handle, uint32_t l, double* buf, uint32_t* rows, uint32_t* cols) {
    return call_guarded("velt_weights", [&] {
        PlainNN const& nn = handle_of(handle).model;
        require_layer(nn, l);
        if (!rows || !cols) fail("rows or cols is null");
        Mat const& W = nn.weights[l];
        if (!buf) {
            *rows = static_cast<uint32_t>(W.rows);
            *cols = static_cast<uint32_t>(W.cols);
            return;
        }
        const uint64_t n = uint64_t(*rows) * *cols;
        if (n > W.size())
            fail("asked for " + std::to_string(n) + " values, layer " + std::to_string(l) + " holds " +
                 std::to_string(W.size()));
        for (uint64_t i = 0; i < n; ++i) buf[i] = W.data[i];
    });
}

VELTN_API int velt_bias(void* handle, uint32_t l, double* buf, uint32_t* n) {
    return call_guarded("velt_bias", [&] {
        PlainNN const& nn = handle_of(handle).model;
        require_layer(nn, l);
        if (!n) fail("n is null");
        Vec const& b = nn.biases[l];
        if (!buf) {
            *n = static_cast<uint32_t>(b.size());
            return;
        }
        if (*n > b.size())
            fail("asked for " + std::to_string(*n) + " values, bias " + std::to_string(l) + " holds " +
                 std::to_string(b.size()));
        for (uint32_t i = 0; i < *n; ++i) buf[i] = b[i];
    });
}

VELTN_API int velt_setweights(void* handle, const double* par, uint32_t n) {
    return call_guarded("velt_setweights", [&] {
        PlainNN& nn = handle_of(handle).model;
        require_params(nn, par, n, "par");
        // Storing is not arithmetic: the values are kept as given, only the first numel of them.
        setweights(nn, Vec(par, numel(nn)));
    });
}

VELTN_API int velt_getweights(void* handle, double* buf, uint32_t n) {
    return call_guarded("velt_getweights", [&] {
        PlainNN const& nn = handle_of(handle).model;
        const uint64_t have = numel(nn);
        if (n > have)
            fail("asked for " + std::to_string(n) + " values, the network has " + std::to_string(have) +
                 " parameters");
        require_array(buf, n, "buf");
        const Vec v = getweights(nn);
        for (uint32_t i = 0; i < n; ++i) buf[i] = v[i];
    });
}

VELTN_API int velt_setbatch(void* handle, int n) {
    return call_guarded("velt_setbatch", [&] {
        VELTN::VELTNInfo& info = handle_of(handle);
        if (n < 1) fail("batch size " + std::to_string(n) + " is below 1");
        info.model.batch = info.admodel.batch = static_cast<uint32_t>(n);
    });
}

VELTN_API int velt_setpar(void* handle, uint32_t nthreads, int n) {
    return call_guarded("velt_setpar", [&] {
        VELTN::VELTNInfo& info = handle_of(handle);
        if (nthreads - 1u > 99998u) fail("thread count " + std::to_string(nthreads) + " is outside 1 .. 99999");
        info.model.nthreads = info.admodel.nthreads = nthreads;
        if (n >= 1) info.model.batch = info.admodel.batch = static_cast<uint32_t>(n);
    });
}

}  // extern "C"

