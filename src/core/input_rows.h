// The caller's row-major input arrays (X, Y, the weights U), read one batch of rows at a time
// into storage the reading thread owns. No call holds a whole copy of them, so a call's memory
// beyond its inputs and outputs does not grow with the row count; the caller's arrays are only
// read.
#pragma once

#include <cstring>
#include <cstdint>
#include <string>

#include "core/errors.h"
#include "core/matrix.h"

namespace veltn {

struct InputRows {
    const double* data = nullptr;  // null reads as zeros
    uint32_t rows = 0;
    uint32_t cols = 0;
    const char* name = "X";  // for the message when a value is not finite

    // out := rows row0 .. row0+n-1 (n x cols; out's storage is kept when its size fits). A NaN
    // or an infinity would propagate without raising anything, so it is refused as a
    // floating-point event.
    void read(uint32_t row0, uint32_t n, Mat& out) const {
        out.resize(n, cols);
        if (!data) {
            out.data = 0.0;
            return;
        }
        const std::size_t count = std::size_t(n) * cols;
        const double* src = data + std::size_t(row0) * cols;
        double* dst = ptr(out.data);
        // Copied as bits: a value is NaN or infinite when its exponent field is all ones, and
        // adding 1 to the field then carries into the top bit. Integer operations only, so the
        // loop vectorises and no floating-point flag is touched.
        constexpr uint64_t kExponent = 0x7ff0000000000000ull, kOne = 1ull << 52;
        uint64_t carry = 0;
        for (std::size_t e = 0; e < count; ++e) {
            uint64_t bits;
            std::memcpy(&bits, src + e, sizeof bits);
            carry |= (bits & kExponent) + kOne;
            std::memcpy(dst + e, &bits, sizeof bits);
        }
        if (carry >> 63) throw veltn::FloatingPointFailure(std::string(name) + " holds NaN or infinity");
    }
};

// The rows of a matrix the library already holds.
inline InputRows input_rows(Mat const& m, const char* name) {
    return InputRows{ptr(m.data), static_cast<uint32_t>(m.rows), static_cast<uint32_t>(m.cols), name};
}

}  // namespace veltn
