// The network description read once into a plain struct, from which both models of a handle
// are built. Reading is strict about numbers and says which field is wrong; names are looked up
// here, so that every warning is written once per description.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/memory_limits.h"

namespace veltn {

struct Description {
    uint32_t numin = 0;
    uint32_t numout = 0;
    uint32_t nlayers = 0;
    uint32_t niter = 0;
    uint32_t batch = 0;
    std::vector<uint32_t> sizes;
    std::string actname;   // "" when the description ends before it
    std::string normname;  // "" when the description ends before it

    // Parameter count and the bytes a handle built from it holds (both models).
    uint64_t numel = 0;
    uint64_t bytes = 0;

    // The refusal line ("Error: invalid network data: ..."), or "" when the network can be built.
    std::string problem;
    // Lines to write when the network is built: (stream, line), in order.
    std::vector<std::pair<int, std::string>> notes;
};

// Reads a description. Writes nothing.
Description parse_description(std::string const& text);

// Writes the build line (when INFO is set), then parses; when the network can be built, writes
// its notes. The caller reports `problem`.
Description read_description(std::string const& text);

// Whether a row of the function table (functions/registry.h) has this name: an activation the
// parser knows (any other selects softplus), a norm the model can bind.
bool is_known_activation(std::string const& name);
bool is_known_norm(std::string const& name);

// Bytes a handle holds for a network of numel parameters in nlayers layers: the plain model
// (one double per parameter) and the tangent model (value and one tangent per parameter),
// plus a fixed allowance per layer for the containers.
uint64_t handle_bytes(uint64_t numel, uint64_t nlayers);

// The largest handle a description may ask for, and which limit that is: the smallest of the
// machine's physical memory, RLIMIT_AS, RLIMIT_DATA and the memory cgroup's limit, or a lower
// limit set for tests and fuzzing (0 restores the process's own).
veltn::MemoryLimit description_memory_cap();
uint64_t description_memory_limit();
void set_description_memory_limit(uint64_t bytes);

}  // namespace veltn
