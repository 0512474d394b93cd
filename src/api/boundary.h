// The wall between the C interface and the library: every exported function runs its body
// through call_guarded, which turns exceptions into a status and one message line, runs the
// call in round-to-nearest with traps off, detects floating-point events instead of trapping
// them, and restores the caller's floating-point environment on every path. The BLAS runs on
// one thread while any call runs; the count is put back when the last concurrent call ends.
#pragma once

#include <atomic>
#include <string>
#include <utility>

#include "core/errors.h"

namespace veltn {

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
