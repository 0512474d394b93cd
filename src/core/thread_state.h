// What a call hands to every thread that works for it. Nothing here is process-wide: the
// calling thread sets its own state for the call, and parallel_region copies it into each
// worker for the worker's share of the region.
//
// CallState replaced two process-wide direction counts: the number of tangents an active scalar
// built from a plain number receives, and the number a tangent container built from plain values
// receives. As globals, every product call wrote them before its parallel region and every active
// object read them, so two calls with different direction counts on different threads (or two
// handles used at once) sized each other's objects, and a call made inside the caller's own
// OpenMP region could not tell its counts from a neighbour's. Held per thread and copied into the
// call's workers, each call's counts reach exactly the threads that work for it, and a thread
// that no call has set sees the same load-time values the globals had. The forward layer reads
// them through scalar_directions(), container_directions() and DirectionScope (forward/ad.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace veltn {

// Tangents of an active scalar made from a plain number on a thread that no product call has set:
// the load-time value of the process-wide count this state replaced. C++ callers of the forward
// layer that build active scalars without setting a count have always received this many, so it
// is kept; every product call sets its own count and never sees it.
constexpr uint64_t kDefaultScalarDirections = 940;

struct CallState {
    // Where worker threads report floating-point events of the current call.
    std::atomic<int>* fp_sink = nullptr;
    // Tangents of an active scalar made from a plain number.
    uint64_t scalar_directions = kDefaultScalarDirections;
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
