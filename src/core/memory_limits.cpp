#include "core/memory_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace veltn {

namespace {

std::vector<std::string> split(std::string const& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

// A limit file holds a decimal byte count, or "max" (v2) for none.
bool read_limit_file(std::string const& path, uint64_t& value) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text.empty()) return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + uint64_t(c - '0');
    }
    value = v;
    return true;
}

struct Mount {
    std::string root;   // the cgroup path mounted there
    std::string point;  // where
};

// The cgroup v2 mount (v2) or the v1 mount that carries the memory controller.
bool find_mount(std::string const& mountinfo, bool v2, Mount& found) {
    std::ifstream in(mountinfo);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream pre(line.substr(0, dash)), post(line.substr(dash + 3));
        std::string id, parent, dev, root, point, fstype, source, options;
        if (!(pre >> id >> parent >> dev >> root >> point) || !(post >> fstype >> source >> options)) continue;
        if (v2 ? fstype != "cgroup2" : fstype != "cgroup") continue;
        if (!v2) {
            bool memory = false;
            for (auto const& o : split(options, ',')) memory |= o == "memory";
            if (!memory) continue;
        }
        found = {root, point};
        return true;
    }
    return false;
}

}  // namespace

MemoryLimit cgroup_memory_limit(std::string const& root) {
    MemoryLimit best;
    std::ifstream in(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        // "hierarchy:controllers:path"; v2 has hierarchy 0 and no controllers.
        const std::size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        std::string path = line.substr(b + 1);
        bool v2 = line.compare(0, a, "0") == 0 && controllers.empty(), memory = false;
        for (auto const& c : split(controllers, ',')) memory |= c == "memory";
        if (!v2 && !memory) continue;
        Mount m;
        if (!find_mount(root + "/proc/self/mountinfo", v2, m)) continue;
        // The path is relative to the hierarchy's root; the mount shows the part below m.root.
        if (m.root != "/") {
            if (path.compare(0, m.root.size(), m.root) != 0) continue;
            path.erase(0, m.root.size());
        }
        const char* file = v2 ? "memory.max" : "memory.limit_in_bytes";
        // Every ancestor's limit applies too.
        while (true) {
            uint64_t v = 0;
            if (read_limit_file(root + m.point + path + "/" + file, v) && v < best.bytes)
                best = {v, std::string("the memory cgroup's limit (") + file + ")"};
            if (path.empty() || path == "/") break;
            const std::size_t slash = path.find_last_of('/');
            path.erase(slash == std::string::npos ? 0 : slash);
        }
    }
    return best;
}

MemoryLimit process_memory_limit(std::string const& root) {
    MemoryLimit best;
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) best = {uint64_t(pages) * uint64_t(page), "this machine's physical memory"};
    const struct {
        int resource;
        const char* name;
    } rlimits[] = {{RLIMIT_AS, "the address-space limit (RLIMIT_AS, ulimit -v)"},
                   {RLIMIT_DATA, "the data limit (RLIMIT_DATA, ulimit -d)"}};
    for (auto const& r : rlimits) {
        rlimit lim{};
        if (getrlimit(r.resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && uint64_t(lim.rlim_cur) < best.bytes)
            best = {uint64_t(lim.rlim_cur), r.name};
    }
    MemoryLimit cgroup = cgroup_memory_limit(root);
    if (cgroup.bytes < best.bytes) best = std::move(cgroup);
    return best;
}

}  // namespace veltn
