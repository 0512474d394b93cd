#include "forward/ad.h"

#include "core/messages.h"
#include <sstream>

namespace tanad {
namespace FO {
namespace Dynamic {

namespace {

// The tag of the pole-division check ("ad:269"): a fixed name that handlers may match on, not
// a source location, so it does not move when this file changes.
constexpr const char* kRaiseFile = "ad";
constexpr int kRaiseLine = 269;
constexpr const char* kPoleDivisionName = "POLE_DIVISION_C";

void raise_pole_division(Active<1> const& a, double c) {
    // The divisor as an active argument, so that the handler sees both operands alike.
    const Active<1> B(c);

    std::ostringstream description;
    description << "non differentiable function " << "division" << " at point (" << a.value << ", " << B.value
                << ")";
    std::ostringstream message;
    message << kRaiseFile << ":" << kRaiseLine << ": " << kPoleDivisionName << ": " << description.str();

    const Discontinuity<Active<1>> err(kRaiseFile, kRaiseLine, POLE_DIVISION_C, message.str(), &a, &a, &B);
    if (ErrorHandler* h = ErrorHandler::getHandler()) {
        h->handle(err);
    } else {
        veltn::emit(veltn::kStderr, err.message);
    }
}

}  // namespace

Active<1>& Active<1>::operator+=(Active<1> const& b) {
    value += b.value;
    if (tangents.size() == b.tangents.size()) {
        tangents += b.tangents;
        return *this;
    }
    // Directions missing on either side count as zero derivatives.
    if (tangents.size() < b.tangents.size()) {
        tangents.grow(b.tangents.size());
        ndir = tangents.size();
    }
    for (std::size_t d = 0; d < b.tangents.size(); ++d) tangents[d] += b.tangents[d];
    return *this;
}

Active<1>& Active<1>::operator*=(double c) {
    value *= c;
    tangents *= c;
    return *this;
}

Active<1>& Active<1>::operator/=(double c) {
    if (c == 0.0) raise_pole_division(*this, c);
    value /= c;
    tangents /= c;
    return *this;
}

Active<1> Active<1>::operator-() const {
    Active<1> r(*this);
    r.value = -value;
    r.tangents = -tangents;
    return r;
}

}  // namespace Dynamic
}  // namespace FO

Error::~Error() = default;

ErrorHandler::~ErrorHandler() = default;

ErrorHandler*& ErrorHandler::getHandler() {
    static ErrorHandler* currentErrorHandler = nullptr;
    return currentErrorHandler;
}

ErrorHandler* ErrorHandler::setHandler(ErrorHandler* h) {
    ErrorHandler*& slot = getHandler();
    ErrorHandler* previous = slot;
    slot = h;
    return previous;
}

}  // namespace tanad
