#include "model/description.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/memory_limits.h"
#include "core/messages.h"
#include "functions/registry.h"

namespace veltn {

namespace {
// With INFO set, one build line per handle.
void print_build_line() {
    if (std::getenv("INFO"))
        veltn::emit(veltn::kStdout, std::string("VELTN veltn ") + __DATE__ + " " + __TIME__ + " x86-64");
}
}  // namespace

bool is_known_activation(std::string const& a) { return find_activation<Mat, Vec>(a) != nullptr; }

bool is_known_norm(std::string const& n) { return find_norm<Mat, Vec, double>(n) != nullptr; }

namespace {

constexpr const char* kRefused = "Error: invalid network data: ";
constexpr const char* kHeaderNames[5] = {"numin", "numout", "nlayers", "niter", "batch"};
// Object headers and allocator rounding of one layer's weight and bias containers in both models.
constexpr uint64_t kLayerAllowance = 512;

std::atomic<uint64_t> memory_limit_override{0};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Whitespace-separated tokens, read one at a time (a long text is never split up front).
class Tokens {
public:
    explicit Tokens(std::string const& text) : text_(text) {}
    bool next(std::string& token) {
        while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) return false;
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
        token.assign(text_, start, pos_ - start);
        ++count_;
        return true;
    }
    // Tokens read so far.
    std::size_t count() const { return count_; }

private:
    std::string const& text_;
    std::size_t pos_ = 0;
    std::size_t count_ = 0;
};

// A token as it goes into a message: bytes outside printable ASCII as \xNN, cut after 40 bytes.
std::string shown(std::string const& token) {
    std::string out;
    const std::size_t limit = 40;
    for (std::size_t i = 0; i < token.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    if (token.size() > limit) out += "...";
    return out;
}

std::string quoted(std::string const& token) { return "\"" + shown(token) + "\""; }

// "field 7 (s_1)" for the 1-based position `field` of a description with nlayers widths.
std::string field_name(uint64_t field, uint64_t nlayers) {
    std::string name;
    if (field <= 5) {
        name = kHeaderNames[field - 1];
    } else if (field <= 5 + nlayers) {
        name = "s_" + std::to_string(field - 6);
    } else if (field == 6 + nlayers) {
        name = "activation";
    } else {
        name = "norm";
    }
    return "field " + std::to_string(field) + " (" + name + ")";
}

// A plain non-negative decimal integer that fits 32 bits, or the reason it is not one.
std::string read_count(std::string const& token, uint32_t& value) {
    uint64_t v = 0;
    bool too_large = false;
    for (const char c : token) {
        if (c < '0' || c > '9') return quoted(token) + " is not a non-negative integer";
        if (!too_large) {
            v = v * 10 + static_cast<uint64_t>(c - '0');
            too_large = v > UINT32_MAX;
        }
    }
    if (too_large) return quoted(token) + " is larger than 4294967295";
    value = static_cast<uint32_t>(v);
    return "";
}

// "25.3 GB (25312345678 bytes)"
std::string size_text(uint64_t bytes) {
    const double b = static_cast<double>(bytes);
    char buf[64];
    if (b >= 1e9)
        std::snprintf(buf, sizeof buf, "%.1f GB", b / 1e9);
    else
        std::snprintf(buf, sizeof buf, "%.1f MB", b / 1e6);
    return std::string(buf) + " (" + std::to_string(bytes) + " bytes)";
}

// Reads the numbers; the names are left to the caller. Returns the problem, or "".
std::string read_numbers(Tokens& in, Description& d) {
    uint32_t* header[5] = {&d.numin, &d.numout, &d.nlayers, &d.niter, &d.batch};
    std::string token;
    for (uint64_t f = 1; f <= 5; ++f) {
        if (!in.next(token))
            return field_name(f, 0) + " is missing: the description ends after " + std::to_string(in.count()) +
                   " fields";
        const std::string bad = read_count(token, *header[f - 1]);
        if (!bad.empty()) return field_name(f, 0) + ": " + bad;
        if (*header[f - 1] == 0) return field_name(f, 0) + " is 0; it must be at least 1";
    }
    if (d.nlayers < 2)
        return field_name(3, 0) + " is " + std::to_string(d.nlayers) + "; a network needs at least 2 layers";
    // Widths are taken one token at a time, so a huge layer count with few widths costs nothing.
    for (uint64_t l = 0; l < d.nlayers; ++l) {
        const uint64_t f = 6 + l;
        if (!in.next(token))
            return field_name(f, d.nlayers) + " is missing: the description ends after " +
                   std::to_string(in.count()) + " fields";
        uint32_t w = 0;
        const std::string bad = read_count(token, w);
        if (!bad.empty()) return field_name(f, d.nlayers) + ": " + bad;
        if (w == 0) return field_name(f, d.nlayers) + " is 0; a layer width must be at least 1";
        d.sizes.push_back(w);
    }
    return "";
}

// Shapes the forward pass relies on, the 32-bit extents, and the memory the handle will hold.
std::string check_network(Description& d) {
    const uint32_t L = d.nlayers;
    const uint32_t S = d.sizes[L - 1];
    if (d.niter > 1 && S != d.sizes[0])
        return field_name(4, L) + " is " + std::to_string(d.niter) + ", which needs the last width s_" +
               std::to_string(L - 1) + " (" + std::to_string(S) + ") equal to the first s_0 (" +
               std::to_string(d.sizes[0]) + ")";
    // Every extent, element count and the parameter count are 32-bit quantities.
    uint64_t total = 0;
    for (uint32_t l = 0; l < L; ++l) {
        const bool out = l + 1 == L;
        const uint64_t rows = out ? uint64_t(d.niter) * S : d.sizes[l];
        const uint64_t cols = out ? d.numout : d.sizes[l + 1];
        total += rows * cols + cols;
        if (rows > UINT32_MAX || rows * cols > UINT32_MAX || total > UINT32_MAX)
            return "layer " + std::to_string(l) + " is too large (" + std::to_string(rows) + " x " +
                   std::to_string(cols) + "): extents, entries and the parameter count must stay below 2^32";
    }
    d.numel = total;
    d.bytes = handle_bytes(total, L);
    const veltn::MemoryLimit limit = description_memory_cap();
    if (d.bytes > limit.bytes)
        return "the network has " + std::to_string(total) + " parameters, and its handle would hold " +
               size_text(d.bytes) + ", more than the " + size_text(limit.bytes) + " of " + limit.name;
    return "";
}

}  // namespace

uint64_t handle_bytes(uint64_t numel, uint64_t nlayers) {
    // Plain model 8 bytes per parameter; tangent model 16 (the value and one direction).
    return numel * (8 + 16) + nlayers * kLayerAllowance;
}

veltn::MemoryLimit description_memory_cap() {
    const uint64_t set = memory_limit_override.load(std::memory_order_relaxed);
    if (set) return {set, "the memory limit set for descriptions"};
    return veltn::process_memory_limit();
}

uint64_t description_memory_limit() { return description_memory_cap().bytes; }

void set_description_memory_limit(uint64_t bytes) { memory_limit_override.store(bytes, std::memory_order_relaxed); }

Description parse_description(std::string const& text) {
    Description d;
    Tokens in(text);
    std::string problem = read_numbers(in, d);
    if (problem.empty()) problem = check_network(d);
    if (!problem.empty()) {
        d.problem = kRefused + problem;
        return d;
    }
    const uint64_t L = d.nlayers;
    // Calls take at most min(numin, s_0) columns; such descriptions exist, so they only warn.
    if (d.numin > d.sizes[0])
        d.notes.emplace_back(veltn::kStderr, "Warning: " + field_name(1, L) + " is " + std::to_string(d.numin) +
                                                 ", larger than " + field_name(6, L) + ", " +
                                                 std::to_string(d.sizes[0]) + ": calls take at most " +
                                                 std::to_string(d.sizes[0]) +
                                                 (d.sizes[0] == 1 ? " input column" : " input columns"));
    const bool has_act = in.next(d.actname);
    const bool has_norm = has_act && in.next(d.normname);
    const std::string usable = "without a norm only velt_compute, velt_residual and the parameter functions work";
    if (!has_act) {
        d.notes.emplace_back(veltn::kStderr, "Warning: the description ends before its activation and norm, " +
                                                 field_name(6 + L, L) + " and " + field_name(7 + L, L) +
                                                 ": softplus is used, and " + usable);
        return d;
    }
    if (!is_known_activation(d.actname))
        d.notes.emplace_back(veltn::kStderr, "Warning: " + field_name(6 + L, L) + ": unknown activation " +
                                                 quoted(d.actname) + ", softplus is used; known names: " +
                                                 activation_names());
    if (!has_norm) {
        d.notes.emplace_back(veltn::kStderr,
                             "Warning: the description ends before its norm, " + field_name(7 + L, L) + ": " + usable);
    } else if (!is_known_norm(d.normname)) {
        d.notes.emplace_back(veltn::kStdout, "invalid norm function name: " + shown(d.normname) + " (known: " +
                                                 norm_names() + ")");
    }
    return d;
}

Description read_description(std::string const& text) {
    print_build_line();
    Description d = parse_description(text);
    if (d.problem.empty())
        for (auto const& [stream, line] : d.notes) veltn::emit(stream, line);
    return d;
}

}  // namespace veltn
