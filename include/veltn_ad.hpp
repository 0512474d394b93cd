// veltn_ad.hpp - for C++ callers: the differentiation errors of the forward-mode layer and
// the handler that receives them.
//
// The forward-mode arithmetic reports the points at which an operation is not differentiable
// (today only the division of an active scalar by a plain 0.0) to one process-wide handler.
// The library installs none. A C++ client may install its own:
//
//     struct MyHandler : tanad::ErrorHandler {
//         void handle(tanad::Error const& e) override { ... e.kind, e.message ... }
//     };
//     MyHandler h;
//     tanad::ErrorHandler* previous = tanad::ErrorHandler::setHandler(&h);
//     ...  // derivative calls
//     tanad::ErrorHandler::setHandler(previous);
//
// The handler is called on the thread that raised the error, which may be an OpenMP worker of
// a derivative call, so handle() must be safe to call from several threads at once. When it
// returns, the operation completes with IEEE arithmetic (an infinite or NaN value and
// tangents). With no handler installed, e.message is written as one line to standard error
// and the computation goes on. The handler object stays owned by the client and must outlive
// its installation. Installing or removing a handler is not synchronised: do it while no
// derivative call runs.
#pragma once

#include <string>
#include <utility>

#if defined(__GNUC__)
#define VELTN_AD_EXPORT __attribute__((visibility("default")))
#else
#define VELTN_AD_EXPORT
#endif

namespace tanad {

// Discontinuity kind codes raised by this library.
enum DiscontinuityKind : int {
    POLE_DIVISION_C = 12  // active scalar divided by a plain 0.0 (+0.0 or -0.0; NaN is not)
};

// Base of every differentiation error.
//   file, line  a fixed tag naming the check that raised the error, not a source location:
//            "ad", 269 is the division of an active scalar by a plain 0.0. Tags stay the same
//            from release to release, so a handler may match on them.
//   kind     a DiscontinuityKind code
//   message  "<file>:<line>: <KIND NAME>: non differentiable function <name> at point (<x>, <y>)",
//            for example "ad:269: POLE_DIVISION_C: non differentiable function division at point (3, 0)"
class VELTN_AD_EXPORT Error {
public:
    Error(std::string file_, int line_, int kind_, std::string message_)
        : file(std::move(file_)), line(line_), kind(kind_), message(std::move(message_)) {}
    virtual ~Error();

    std::string file;
    int line;
    int kind;
    std::string message;
};

// A non-differentiable point of an operation on active type A. result is the object being
// produced (for a compound assignment the left operand itself), x and y the arguments; the
// three pointers are valid only while the handler runs.
template <class A>
class VELTN_AD_EXPORT Discontinuity : public Error {
public:
    Discontinuity(std::string file_, int line_, int kind_, std::string message_, A const* result_, A const* x_,
                  A const* y_)
        : Error(std::move(file_), line_, kind_, std::move(message_)), result(result_), x(x_), y(y_) {}
    ~Discontinuity() override = default;

    A const* result;
    A const* x;
    A const* y;
};

class VELTN_AD_EXPORT ErrorHandler {
public:
    virtual ~ErrorHandler();
    // Receives the error; its return value is not used. It may throw: the exception then
    // leaves the raising operation, and the exported C functions report it as a failure.
    virtual void handle(Error const& e) = 0;

    // The current handler (nullptr when none), held in the function-local static
    // currentErrorHandler.
    static ErrorHandler*& getHandler();
    // Installs h (nullptr removes the handler) and returns the handler it replaces.
    static ErrorHandler* setHandler(ErrorHandler* h);
};

}  // namespace tanad
