#include "model/boundary.h"

#include <cblas.h>
#include <fenv.h>

#include <cstring>
#include <new>

#include "core/messages.h"

namespace veltn {

thread_local std::string tl_last_error;

namespace {
constexpr int kReported = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
thread_local std::atomic<int>* tl_sink = nullptr;

static_assert(sizeof(fenv_t) <= 64, "fenv_t must fit the reserved storage");

fenv_t* as_env(unsigned char* p) { return reinterpret_cast<fenv_t*>(p); }

const char* event_name(int flags) {
    if (flags & FE_INVALID) return "invalid operation";
    if (flags & FE_DIVBYZERO) return "division by zero";
    return "overflow";
}
}  // namespace

void fail(std::string const& message) { throw Failure(message); }

int reported_fp_events() { return kReported; }

std::atomic<int>* fp_event_sink() { return tl_sink; }

void set_last_error(std::string const& message) {
    try {
        tl_last_error = message;
    } catch (...) {
    }
}

void report_error(const char* function, std::string const& message) {
    emit(kStderr, std::string(function) + ": " + message);
    set_last_error(std::string(function) + ": " + message);
}

WorkerFpScope::WorkerFpScope(bool active, std::atomic<int>* sink) : active_(active), sink_(sink) {
    // Pool threads keep the environment of whoever created them; never run our work trapped.
    if (active_) feholdexcept(as_env(env_));
}

WorkerFpScope::~WorkerFpScope() {
    if (!active_) return;
    const int raised = fetestexcept(kReported);
    if (raised && sink_) sink_->fetch_or(raised, std::memory_order_relaxed);
    fesetenv(as_env(env_));
}

CallFrame::CallFrame(const char* function) : function_(function) {
    // Changing the BLAS thread count synchronises its pool: only do it when it is not 1 already.
    blas_threads_ = openblas_get_num_threads();
    if (blas_threads_ != 1) openblas_set_num_threads(1);
    // Saves the caller's environment, clears the flags and turns every trap off for the call.
    feholdexcept(as_env(env_));
    previous_sink_ = tl_sink;
    tl_sink = &worker_events_;
}

CallFrame::~CallFrame() {
    tl_sink = previous_sink_;
    fesetenv(as_env(env_));
    if (blas_threads_ != 1) openblas_set_num_threads(blas_threads_);
}

int CallFrame::finish(int status) {
    const int raised = fetestexcept(kReported) | worker_events_.load(std::memory_order_relaxed);
    if (raised) {
        report_error(function_, std::string("floating-point exception: ") + event_name(raised));
        return -2;
    }
    return status;
}

int CallFrame::fail_fp(std::string const& message) {
    report_error(function_, "floating-point exception: invalid operation: " + message);
    return -2;
}

int CallFrame::fail_with(std::string const& message, bool plain) {
    if (plain) {
        emit(kStderr, message);
        set_last_error(message);
    } else {
        report_error(function_, message);
    }
    return -1;
}

}  // namespace veltn

extern "C" __attribute__((visibility("default"))) const char* velt_last_error(void) {
    return veltn::tl_last_error.c_str();
}
