#include "core/thread_state.h"

#include <fenv.h>

namespace veltn {

namespace {
thread_local CallState tl_call_state;
}  // namespace

CallState& call_state() noexcept { return tl_call_state; }

namespace {
constexpr int kReported = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
static_assert(sizeof(fenv_t) <= 64, "fenv_t must fit the reserved storage");
fenv_t* as_env(unsigned char* p) { return reinterpret_cast<fenv_t*>(p); }
}  // namespace

int reported_fp_events() { return kReported; }

WorkerScope::WorkerScope(bool active, CallState const& caller) : active_(active) {
    if (!active_) return;
    saved_ = tl_call_state;
    tl_call_state = caller;
    // Pool threads keep the environment of whoever created them: never run our work trapped or
    // in another rounding mode.
    feholdexcept(as_env(env_));
    fesetround(FE_TONEAREST);
}

WorkerScope::~WorkerScope() {
    if (!active_) return;
    const int raised = fetestexcept(kReported);
    if (raised && tl_call_state.fp_sink) tl_call_state.fp_sink->fetch_or(raised, std::memory_order_relaxed);
    fesetenv(as_env(env_));
    tl_call_state = saved_;
}

}  // namespace veltn
