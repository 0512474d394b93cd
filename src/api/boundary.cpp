#include "api/boundary.h"

#include <cblas.h>
#include <fenv.h>

#include <cstring>
#include <mutex>
#include <new>

#include "core/messages.h"
#include "core/thread_state.h"
#include "veltn.h"

namespace veltn {

thread_local std::string tl_last_error;

namespace {
static_assert(sizeof(fenv_t) <= 64, "fenv_t must fit the reserved storage");

fenv_t* as_env(unsigned char* p) { return reinterpret_cast<fenv_t*>(p); }

// The BLAS thread count is process-wide (this OpenBLAS has no per-thread setting), so calls
// share one change of it: the first call to enter saves the count and sets 1, the last to leave
// puts the saved count back. The lock also keeps two changes of the count from overlapping.
std::mutex blas_lock;
int blas_calls = 0;
int blas_saved = 1;

void enter_blas_single() {
    std::lock_guard<std::mutex> lock(blas_lock);
    if (blas_calls++ > 0) return;
    blas_saved = openblas_get_num_threads();
    // Changing the count synchronises the BLAS pool: only do it when it is not 1 already.
    if (blas_saved != 1) openblas_set_num_threads(1);
}

void leave_blas_single() {
    std::lock_guard<std::mutex> lock(blas_lock);
    if (--blas_calls == 0 && blas_saved != 1) openblas_set_num_threads(blas_saved);
}

const char* event_name(int flags) {
    if (flags & FE_INVALID) return "invalid operation";
    if (flags & FE_DIVBYZERO) return "division by zero";
    return "overflow";
}
}  // namespace

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

CallFrame::CallFrame(const char* function) : function_(function) {
    enter_blas_single();
    // Saves the caller's environment, clears the flags, turns every trap off and rounds to
    // nearest for the call, whatever mode the caller runs in.
    feholdexcept(as_env(env_));
    fesetround(FE_TONEAREST);
    previous_sink_ = call_state().fp_sink;
    call_state().fp_sink = &worker_events_;
}

CallFrame::~CallFrame() {
    call_state().fp_sink = previous_sink_;
    fesetenv(as_env(env_));
    leave_blas_single();
}

int CallFrame::finish(int status) {
    const int raised = fetestexcept(reported_fp_events()) | worker_events_.load(std::memory_order_relaxed);
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

extern "C" VELTN_API const char* velt_last_error(void) {
    return veltn::tl_last_error.c_str();
}

extern "C" VELTN_API void velt_set_message_handler(velt_message_fn fn, void* user) {
    veltn::set_message_handler(fn, user);
}

extern "C" VELTN_API void velt_message(int stream, const char* line) {
    if (line) veltn::emit(stream == 1 ? veltn::kStdout : veltn::kStderr, line);
}
