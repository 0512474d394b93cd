#include "core/messages.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace veltn {

namespace {

// The handler and its argument change together under the lock; a call reads both under it.
std::mutex handler_lock;
MessageFn handler_fn = nullptr;
void* handler_user = nullptr;

thread_local HeldLines* tl_held = nullptr;
// A worker's lines are appended by that worker alone, but several workers share one list.
std::mutex held_lock;

void write_out(int stream, std::string const& line) noexcept {
    MessageFn fn;
    void* user;
    {
        std::lock_guard<std::mutex> lock(handler_lock);
        fn = handler_fn;
        user = handler_user;
    }
    if (fn) {
        fn(user, stream, line.c_str());
        return;
    }
    std::FILE* out = stream == kStdout ? stdout : stderr;
    // One write per line, so that lines of concurrent calls do not interleave.
    std::string text = line;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

}  // namespace

void emit(int stream, std::string const& line) noexcept {
    try {
        if (HeldLines* held = tl_held) {
            std::lock_guard<std::mutex> lock(held_lock);
            held->lines.emplace_back(stream, line);
            return;
        }
        write_out(stream, line);
    } catch (...) {
        // A line that cannot be built or held is lost rather than thrown across the call.
    }
}

void HeldLines::flush() noexcept {
    for (auto const& [stream, line] : lines) write_out(stream, line);
    lines.clear();
}

void set_message_handler(MessageFn fn, void* user) noexcept {
    std::lock_guard<std::mutex> lock(handler_lock);
    handler_fn = fn;
    handler_user = user;
}

HoldLines::HoldLines(HeldLines* held) : previous_(tl_held) { tl_held = held; }
HoldLines::~HoldLines() { tl_held = previous_; }

}  // namespace veltn
