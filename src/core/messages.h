// The one path by which the library writes a line: to the host's handler when one is set,
// else to standard output or standard error.
#pragma once

#include <string>
#include <vector>

namespace veltn {

enum MessageStream : int { kStdout = 1, kStderr = 2 };

// A host's receiver of every line: (user, stream, line without its newline).
using MessageFn = void (*)(void* user, int stream, const char* line);
// fn == nullptr writes to the streams again. Returns once no call of an earlier handler runs,
// except from inside a handler, where it returns at once.
void set_message_handler(MessageFn fn, void* user) noexcept;

// Writes one line (no trailing newline) to `stream`. On a worker thread of a call the line is
// held and written by the calling thread when the worker's share of the region ends, so that a
// host's handler only ever runs on the thread that made the call.
void emit(int stream, std::string const& line) noexcept;

// Lines held by worker threads, in the order they were emitted by each worker.
struct HeldLines {
    std::vector<std::pair<int, std::string>> lines;
    // Emits every held line on the calling thread and empties the list.
    void flush() noexcept;
};

// While alive, this thread's lines go to `held` instead of out (nullptr: out again).
class HoldLines {
public:
    explicit HoldLines(HeldLines* held);
    ~HoldLines();
    HoldLines(HoldLines const&) = delete;
    HoldLines& operator=(HoldLines const&) = delete;

private:
    HeldLines* previous_;
};

}  // namespace veltn
