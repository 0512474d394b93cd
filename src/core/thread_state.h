// What a call hands to every thread that works for it. Nothing here is process-wide: the
// calling thread sets its own state for the call, and parallel_region copies it into each
// worker for the worker's share of the region.
#pragma once

#include <atomic>
#include <cstdint>

namespace veltn {

struct CallState {
    // Where worker threads report floating-point events of the current call.
    std::atomic<int>* fp_sink = nullptr;
    // Tangents of an active scalar made from a plain number. 940 outside any product call is the
    // forward-mode layer's historical default for C++ callers; every product sets its own count.
    uint64_t scalar_directions = 940;
    // Tangents of a tangent container made from plain values.
    uint64_t container_directions = 0;
};

// This thread's state. A function rather than an extern thread_local, so that every use goes
// through the one definition (no per-unit TLS wrappers, which UndefinedBehaviorSanitizer trips on).
CallState& call_state() noexcept;

// Floating-point events the library reports (invalid operation, division by zero, overflow).
int reported_fp_events();

// Held by a worker thread (not the calling thread) for its share of a parallel region: takes
// the caller's state, runs with traps off, clear flags and round-to-nearest, then reports the
// events it raised to the caller's sink and puts its own environment and state back.
class WorkerScope {
public:
    WorkerScope(bool active, CallState const& caller);
    ~WorkerScope();
    WorkerScope(WorkerScope const&) = delete;
    WorkerScope& operator=(WorkerScope const&) = delete;

private:
    bool active_;
    CallState saved_;
    alignas(16) unsigned char env_[64];
};

}  // namespace veltn
