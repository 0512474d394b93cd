// The memory this process may use: the smallest of the machine's physical memory, the
// address-space and data limits (setrlimit, ulimit -v / -d) and the memory cgroup's limit.
#pragma once

#include <cstdint>
#include <string>

namespace veltn {

struct MemoryLimit {
    uint64_t bytes = UINT64_MAX;  // UINT64_MAX when no limit could be read
    std::string name;             // which limit it is, for messages
};

// The smallest limit readable now. `root` is prepended to the /proc and /sys paths of the cgroup
// (tests point it at a tree of their own); the rlimits and physical memory are always the real ones.
MemoryLimit process_memory_limit(std::string const& root = "");

// The memory cgroup's limit: the smallest memory.max (cgroup v2) or memory.limit_in_bytes (v1)
// on the path from this process's cgroup up to the root of its mount; UINT64_MAX when none is
// set or readable. `name` says which file.
MemoryLimit cgroup_memory_limit(std::string const& root = "");

}  // namespace veltn
