// The wall between the C interface and the library: every exported function runs its body
// through call_guarded, which turns exceptions into a status and one line on standard error,
// detects floating-point events instead of trapping them, and restores the caller's
// floating-point environment and BLAS thread count on every path.
#pragma once

#include <atomic>
#include <stdexcept>
#include <string>
#include <utility>

namespace veltn {

// A refused argument or unusable input: the entry point returns -1 with this message.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure whose message is a fixed text of the library, printed without the function name.
struct PlainFailure : Failure {
    using Failure::Failure;
};

// A non-finite input value: reported like a floating-point event raised during the call (-2).
struct FloatingPointFailure : Failure {
    using Failure::Failure;
};

[[noreturn]] void fail(std::string const& message);

// Floating-point events the library reports (invalid operation, division by zero, overflow).
int reported_fp_events();

// Collects the floating-point events of the worker threads of the current call.
std::atomic<int>* fp_event_sink();

// Held by a worker thread (not the calling thread) for the duration of its share of a
// parallel region: runs it with traps off and clear flags, then reports what it raised.
class WorkerFpScope {
public:
    explicit WorkerFpScope(bool active, std::atomic<int>* sink);
    ~WorkerFpScope();
    WorkerFpScope(WorkerFpScope const&) = delete;
    WorkerFpScope& operator=(WorkerFpScope const&) = delete;

private:
    bool active_;
    std::atomic<int>* sink_;
    alignas(16) unsigned char env_[64];
};

class CallFrame {
public:
    explicit CallFrame(const char* function);
    ~CallFrame();
    CallFrame(CallFrame const&) = delete;
    CallFrame& operator=(CallFrame const&) = delete;
    // Status of the call: -2 if a floating-point event was raised in any thread, else status.
    int finish(int status);
    int fail_with(std::string const& message, bool plain = false);
    int fail_fp(std::string const& message);

private:
    const char* function_;
    int blas_threads_;
    std::atomic<int> worker_events_{0};
    std::atomic<int>* previous_sink_;
    alignas(16) unsigned char env_[64];
};

void set_last_error(std::string const& message);
void report_error(const char* function, std::string const& message);

template <class Body>
int call_guarded(const char* function, Body&& body) noexcept {
    try {
        CallFrame frame(function);
        try {
            body();
            return frame.finish(0);
        } catch (FloatingPointFailure const& e) {
            return frame.fail_fp(e.what());
        } catch (PlainFailure const& e) {
            return frame.fail_with(e.what(), true);
        } catch (Failure const& e) {
            return frame.fail_with(e.what());
        } catch (std::bad_alloc const&) {
            return frame.fail_with("out of memory");
        } catch (std::exception const& e) {
            return frame.fail_with(std::string("exception: ") + e.what());
        } catch (...) {
            return frame.fail_with("unknown internal error");
        }
    } catch (...) {
        return -1;
    }
}

}  // namespace veltn
