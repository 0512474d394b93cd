#include "api/handle.h"

#include <memory>
#include <string>

#include "api/boundary.h"
#include "api/workspace.h"
#include "forward/tangent_functions.h"
#include "model/description.h"
#include "model/mknn.h"
#include "veltn.h"

namespace veltn {

VELTN::VELTNInfo* try_handle(void* h) {
    auto* info = static_cast<VELTN::VELTNInfo*>(h);
    if (!info || info->magic != VELTN::VELTNInfo::kMagic) return nullptr;
    return info;
}

VELTN::VELTNInfo& handle_of(void* h) {
    if (!h) fail("null handle");
    VELTN::VELTNInfo* info = try_handle(h);
    if (!info) fail("not a handle made by initVELTNet");
    return *info;
}

}  // namespace veltn

extern "C" {

VELTN_API int veltn_rowmajor = 0;

VELTN_API void* initVELTNet(const char* text, int length) {
    VELTN::VELTNInfo* made = nullptr;
    veltn::call_guarded("initVELTNet", [&] {
        if (!text && length != 0) veltn::fail("null description");
        if (length < 0) veltn::fail("negative description length " + std::to_string(length));
        const std::string description(text ? text : "", static_cast<std::size_t>(length));
        const veltn::Description parsed = veltn::read_description(description);
        if (!parsed.problem.empty()) throw veltn::PlainFailure(parsed.problem);
        auto info = std::make_unique<VELTN::VELTNInfo>();
        info->model = veltn::model_from<veltn::PlainNN>(parsed);
        const veltn::DirectionScope directions(1);
        info->admodel = veltn::model_from<veltn::TangentNN>(parsed);
        // One thread, as documented, even when made inside a caller's parallel region.
        info->model.batch = info->admodel.batch = 32;
        info->model.nthreads = info->admodel.nthreads = 1;
        info->serial = veltn::handle_made();
        made = info.release();
    });
    return made;
}

VELTN_API void releaseVELTNet(void* handle) {
    VELTN::VELTNInfo* info = veltn::try_handle(handle);
    if (!info) return;
    info->magic = 0;
    try {
        veltn::handle_released(info->serial);
    } catch (...) {
        // The other threads' workspaces then stay until those threads end.
    }
    delete info;
}

VELTN_API int velt_major(void* /*handle*/, int flag) {
    veltn_rowmajor = flag;
    return 0;
}

VELTN_API unsigned velt_version_number(void) { return VELTN_VERSION_NUMBER; }
VELTN_API const char* velt_version_string(void) { return VELTN_VERSION_STRING; }

}  // extern "C"
