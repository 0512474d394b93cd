#include "core/messages.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>

namespace veltn {

namespace {

// The handler and its argument change together under the lock, and each call of a handler is
// counted, by the installation it belongs to, while it runs. The lock is never held while a
// handler runs, so a handler may call into the library (its lines reach the handler again) or
// change the handler without deadlocking.
std::mutex handler_lock;
std::condition_variable handler_done;
MessageFn handler_fn = nullptr;
void* handler_user = nullptr;
// Installations are numbered; running[n] counts the calls of installation n under way. Never
// destroyed, since lines may still be written while the process exits.
uint64_t installation = 0;
std::map<uint64_t, int>& running = *new std::map<uint64_t, int>;
// Calls of a handler under way on this thread (a handler's own lines nest).
thread_local int tl_in_handler = 0;

thread_local HeldLines* tl_held = nullptr;
// A worker's lines are appended by that worker alone, but several workers share one list.
std::mutex held_lock;

void write_out(int stream, std::string const& line) noexcept {
    MessageFn fn;
    void* user;
    uint64_t from;
    {
        std::lock_guard<std::mutex> lock(handler_lock);
        fn = handler_fn;
        user = handler_user;
        from = installation;
        if (fn) {
            try {
                ++running[from];
            } catch (...) {
                return;  // out of memory: the line is lost rather than passed uncounted
            }
        }
    }
    if (fn) {
        ++tl_in_handler;
        fn(user, stream, line.c_str());
        --tl_in_handler;
        std::lock_guard<std::mutex> lock(handler_lock);
        const auto it = running.find(from);
        if (--it->second == 0) {
            running.erase(it);
            handler_done.notify_all();
        }
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
    std::unique_lock<std::mutex> lock(handler_lock);
    handler_fn = fn;
    handler_user = user;
    const uint64_t installed = ++installation;
    // From inside a handler, waiting would wait for the caller itself (or, on two threads that
    // both do so, for each other): the change then takes effect without waiting.
    if (tl_in_handler > 0) return;
    // Calls of every earlier installation end before the change returns; calls of this one (or
    // of later ones) are not waited for, so lines keep flowing meanwhile.
    handler_done.wait(lock, [&] { return running.empty() || running.begin()->first >= installed; });
}

HoldLines::HoldLines(HeldLines* held) : previous_(tl_held) { tl_held = held; }
HoldLines::~HoldLines() { tl_held = previous_; }

}  // namespace veltn
