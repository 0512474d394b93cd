// The failures every layer may raise; the C boundary turns them into a status and one line.
#pragma once

#include <stdexcept>
#include <string>

namespace veltn {

// A refused argument or unusable input: the entry point returns -1 with this message.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure whose message is a fixed text of the library, written without the function name.
struct PlainFailure : Failure {
    using Failure::Failure;
};

// A non-finite input value: reported like a floating-point event raised during the call (-2).
struct FloatingPointFailure : Failure {
    using Failure::Failure;
};

[[noreturn]] inline void fail(std::string const& message) { throw Failure(message); }

}  // namespace veltn
