#include "api/workspace.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <utility>

namespace veltn {

namespace {

std::mutex live_mutex;
std::unordered_set<uint64_t>& live() {
    static std::unordered_set<uint64_t> serials;
    return serials;
}
std::atomic<uint64_t> next_serial{1};
// Counts releases, so that a thread checks its workspaces only after one.
std::atomic<uint64_t> releases{0};

struct ThreadWorkspaces {
    std::vector<std::pair<uint64_t, std::unique_ptr<TangentWorkspace>>> entries;
    uint64_t seen = 0;  // the release count at the last check

    // Frees the workspaces of released handles.
    void prune() {
        const uint64_t now = releases.load(std::memory_order_acquire);
        if (now == seen) return;
        seen = now;
        std::lock_guard<std::mutex> lock(live_mutex);
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [](auto const& e) { return live().count(e.first) == 0; }),
                      entries.end());
    }
};

ThreadWorkspaces& thread_workspaces() {
    thread_local ThreadWorkspaces w;
    return w;
}

}  // namespace

uint64_t handle_made() {
    const uint64_t serial = next_serial.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(live_mutex);
    live().insert(serial);
    return serial;
}

void handle_released(uint64_t serial) {
    {
        std::lock_guard<std::mutex> lock(live_mutex);
        live().erase(serial);
    }
    releases.fetch_add(1, std::memory_order_acq_rel);
    thread_workspaces().prune();
}

TangentWorkspace& tangent_workspace(VELTN::VELTNInfo const& info) {
    ThreadWorkspaces& w = thread_workspaces();
    w.prune();
    for (auto& e : w.entries)
        if (e.first == info.serial) return *e.second;
    w.entries.emplace_back(info.serial, std::make_unique<TangentWorkspace>());
    return *w.entries.back().second;
}

}  // namespace veltn
