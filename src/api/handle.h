// The handle behind the C interface's opaque pointer.
#pragma once

#include <cstdint>

#include "forward/tangent_ops.h"
#include "model/nn.h"

namespace VELTN {

struct VELTNInfo {
    veltn::PlainNN model;
    // The same network over tangent types, for the Hessian-vector and Jacobian-vector products.
    veltn::TangentNN admodel;
    uint32_t magic = kMagic;
    // Names the handle's per-thread workspaces (api/workspace.h); never reused.
    uint64_t serial = 0;

    static constexpr uint32_t kMagic = 0x564c544eu;  // "VLTN"
};

}  // namespace VELTN

namespace veltn {

// The handle behind `h`, or a Failure ("null handle" / "not a handle") for anything else.
VELTN::VELTNInfo& handle_of(void* h);
// The handle, or nullptr for a null or foreign pointer; never throws.
VELTN::VELTNInfo* try_handle(void* h);

}  // namespace veltn
