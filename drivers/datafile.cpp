// Data directory, config.txt and MAT-files for the driver programs.
#include "datafile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "matfile_matio.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the MAT-file code copies little-endian values as they are");

namespace datafile {

std::string data_dir() {
    std::string dir = "/tmp";
    if (const char* tmp = std::getenv("TMP")) {
        dir = tmp;
    } else if (const char* temp = std::getenv("TEMP")) {
        dir = temp;
    }
    if (const char* nn = std::getenv("NN_DATA_DIR")) dir = nn;
    return dir;
}

std::string data_path(std::string const& file) { return data_dir() + "/" + file; }

std::string read_description(std::istream& in) {
    std::string line, desc;
    std::getline(in, line);
    while (!in.fail() && !in.bad()) {
        // getline leaves the string alone when the stream is already at its end: clear it so
        // that the final read appends an empty line, not the last one again.
        line.clear();
        std::getline(in, line);
        desc += line;
        desc += ' ';
    }
    return desc;
}

std::string read_config(bool* opened) {
    std::ifstream in(data_path("config.txt"));
    if (opened) *opened = static_cast<bool>(in);
    if (!in) return std::string();
    return read_description(in);
}

namespace {

constexpr std::size_t kHeaderBytes = 20;
// The library counts values in 32 bits; a larger matrix could not be passed to it.
constexpr uint64_t kMaxValues = UINT32_MAX;

uint32_t get_u32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t byteswap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7f; }

// Bytes per value for the precision digit P of the type field, or 0 when P is unknown.
unsigned value_bytes(unsigned prec) {
    static const unsigned bytes[] = {8, 4, 4, 2, 2, 1};
    return prec < 6 ? bytes[prec] : 0;
}

// Type field M*1000 + O*100 + P*10 + T: "" when this reader converts it (M = 0, O = 0, P known,
// T = 0), otherwise what the file holds, for the refusal message.
std::string classify_type(uint32_t type) {
    auto plausible = [](uint32_t t) { return t < 5000 && (t / 100) % 10 == 0; };
    if (!plausible(type)) {
        const uint32_t swapped = byteswap32(type);
        if (plausible(swapped) && swapped / 1000 == 1)
            return "a big-endian matrix (type field " + std::to_string(swapped) + ")";
        return "no Level 4 matrix (type field " + std::to_string(type) + ")";
    }
    const uint32_t machine = type / 1000, prec = (type / 10) % 10, kind = type % 10;
    const std::string field = " (type field " + std::to_string(type) + ")";
    if (machine == 1) return "a big-endian matrix" + field;
    if (machine == 2) return "VAX D-float values" + field;
    if (machine == 3) return "VAX G-float values" + field;
    if (machine == 4) return "Cray floating-point values" + field;
    if (kind == 1) return "a text matrix" + field;
    if (kind == 2) return "a sparse matrix" + field;
    if (kind != 0) return "a matrix of unknown kind" + field;
    if (value_bytes(prec) == 0) return "values of unknown precision" + field;
    return std::string();
}

void refuse(std::string const& path, std::string const& what) {
    std::cerr << path << ": holds " << what << "; only full real little-endian Level 4 matrices are read\n";
}

// The line keeps its fixed start, which callers match, and goes on to say which file and what.
void stream_error(std::string const& path, std::string const& what) {
    std::cerr << "input stream left in error state: " << path << ": " << what << "\n";
}

// "1000 x 3 doubles" for the precision digit P of the type field.
std::string values_text(uint32_t rows, uint32_t cols, unsigned prec) {
    static const char* const names[] = {"doubles", "singles", "int32 values", "int16 values", "uint16 values",
                                        "uint8 values"};
    return std::to_string(rows) + " x " + std::to_string(cols) + " " + names[prec < 6 ? prec : 0];
}

std::string bytes_text(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

template <class T>
void convert(const unsigned char* src, std::size_t n, double* dst) {
    for (std::size_t k = 0; k < n; ++k) {
        T v;
        std::memcpy(&v, src + k * sizeof(T), sizeof(T));
        dst[k] = static_cast<double>(v);
    }
}

}  // namespace

int read_level4(std::string const& path, Matrix& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) std::cerr << "cannot open input file " << path << ": " << std::strerror(errno) << "\n";
    if (!in) {
        std::cerr << "input stream is not readable\n";
        return -1;
    }

    unsigned char hdr[kHeaderBytes] = {};
    in.read(reinterpret_cast<char*>(hdr), kHeaderBytes);
    const std::streamsize got = in.gcount();
    // Version 5 and later files start with a text header; no Level 4 type field is printable.
    if (got >= 4 && printable(hdr[0]) && printable(hdr[1]) && printable(hdr[2]) && printable(hdr[3])) {
        std::size_t len = 0;
        while (len < std::size_t(got) && printable(hdr[len])) ++len;
        const std::string text(reinterpret_cast<const char*>(hdr), len);
        if (text.compare(0, 6, "MATLAB") == 0)
            std::cerr << path << ": holds a MAT-file header of unknown version (\"" << text << "...\")\n";
        else
            std::cerr << path << ": holds text (\"" << text << "...\"), not a MAT-file\n";
        return -1;
    }
    if (got != std::streamsize(kHeaderBytes)) {
        stream_error(path, "the file holds " + bytes_text(uint64_t(got)) + ", less than a Level 4 header (" +
                               bytes_text(kHeaderBytes) + ")");
        return -1;
    }

    const uint32_t type = get_u32(hdr), rows = get_u32(hdr + 4), cols = get_u32(hdr + 8);
    const uint32_t imag = get_u32(hdr + 12), namelen = get_u32(hdr + 16);
    const std::string what = classify_type(type);
    if (!what.empty()) {
        refuse(path, what);
        return -1;
    }
    if (imag != 0) {
        refuse(path, "a complex matrix (imaginary flag " + std::to_string(imag) + ")");
        return -1;
    }

    // Every announced size is checked against the bytes the file really has before anything is
    // allocated, so a damaged or hostile header cannot make the reader reserve memory.
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    if (!in || end < std::streamoff(kHeaderBytes)) {
        stream_error(path, "its size cannot be read, or it shrank below a Level 4 header while being read");
        return -1;
    }
    uint64_t left = uint64_t(end) - kHeaderBytes;
    if (namelen > left) {
        stream_error(path, "Level 4 header announces a name of " + bytes_text(namelen) + ", the file holds " +
                               bytes_text(uint64_t(end)));
        return -1;
    }
    left -= namelen;
    const unsigned prec = (type / 10) % 10, esize = value_bytes(prec);
    const uint64_t count = uint64_t(rows) * cols;  // at most (2^32 - 1)^2: no overflow
    if (count > left / esize) {
        stream_error(path, "Level 4 header announces " + values_text(rows, cols, prec) + ", the file holds " +
                               bytes_text(uint64_t(end)));
        return -1;
    }
    if (count > kMaxValues) {
        std::cerr << path << ": holds a " << rows << " x " << cols
                  << " matrix, more values than the library's 32-bit counts allow\n";
        return -1;
    }
    // The name is not used: skip it.
    in.seekg(std::streamoff(kHeaderBytes + namelen), std::ios::beg);

    const std::size_t n = std::size_t(count);
    std::vector<unsigned char> raw(n * esize);
    if (n) in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
    if (!in || (n && std::size_t(in.gcount()) != raw.size())) {
        stream_error(path, "read " + bytes_text(uint64_t(in.gcount())) + " of the " + bytes_text(raw.size()) +
                               " of " + values_text(rows, cols, prec) + "; the file changed or could not be read");
        return -1;
    }

    std::vector<double> file_order(n);
    switch (prec) {
        case 0: convert<double>(raw.data(), n, file_order.data()); break;
        case 1: convert<float>(raw.data(), n, file_order.data()); break;
        case 2: convert<int32_t>(raw.data(), n, file_order.data()); break;
        case 3: convert<int16_t>(raw.data(), n, file_order.data()); break;
        case 4: convert<uint16_t>(raw.data(), n, file_order.data()); break;
        default: convert<uint8_t>(raw.data(), n, file_order.data()); break;
    }
    raw.clear();
    raw.shrink_to_fit();

    // File order is column-major: value j*rows + i is element (i, j). An empty matrix may
    // still have 2^32 - 1 columns: skip the loop rather than count through them.
    std::vector<double> values(n);
    if (n)
        for (std::size_t j = 0; j < cols; ++j)
            for (std::size_t i = 0; i < rows; ++i) values[i * cols + j] = file_order[j * rows + i];

    out.data = std::move(values);
    out.rows = rows;
    out.cols = cols;
    return 0;
}

namespace {

enum class Format { kLevel4, kMatio, kOctaveText, kOctaveBinary, kBareHdf5 };

bool starts_with(std::string const& head, const char* prefix) { return head.rfind(prefix, 0) == 0; }

// What a file holds, from its first bytes (head; up to 128 of them). A Level 5 or v7.3 header
// is 116 bytes of text, 8 of subsystem offset, a 16-bit version (0x0100 or 0x0200) and the
// endian mark "IM" (written little-endian) or "MI" (big-endian). Everything else goes to the
// Level 4 reader, which refuses what it cannot read with its own messages.
Format classify(std::string const& head) {
    if (starts_with(head, "# Created by Octave")) return Format::kOctaveText;
    if (starts_with(head, "Octave-1-L") || starts_with(head, "Octave-1-B")) return Format::kOctaveBinary;
    if (starts_with(head, "\x89HDF\r\n\x1a\n")) return Format::kBareHdf5;
    if (head.size() < 128) return Format::kLevel4;
    bool text = true;
    for (int k = 0; k < 4; ++k) text &= printable(static_cast<unsigned char>(head[k]));
    const unsigned char v0 = static_cast<unsigned char>(head[124]), v1 = static_cast<unsigned char>(head[125]);
    const bool little = head[126] == 'I' && head[127] == 'M', big = head[126] == 'M' && head[127] == 'I';
    const unsigned version = little ? (v1 << 8 | v0) : (v0 << 8 | v1);
    if (text && (little || big) && (version == 0x0100 || version == 0x0200)) return Format::kMatio;
    return Format::kLevel4;
}

// The variable a file is expected to hold: its name without directory and extension.
std::string stem(std::string const& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    return base;
}

const char* const kSaveAdvice =
    "save the matrix with save -v7 FILE VAR (or save -v4 FILE VAR), or from Python with scipy.io.savemat";

}  // namespace

int read(std::string const& path, Matrix& out) {
    std::string head(128, '\0');
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) return read_level4(path, out);  // reports the failure to open in the usual words
        in.read(&head[0], std::streamsize(head.size()));
        head.resize(std::size_t(in.gcount()));
    }
    switch (classify(head)) {
        case Format::kLevel4: return read_level4(path, out);
        case Format::kOctaveText:
            std::cerr << path << ": holds Octave's text format; " << kSaveAdvice << "\n";
            return -1;
        case Format::kOctaveBinary:
            std::cerr << path << ": holds Octave's binary format; " << kSaveAdvice << "\n";
            return -1;
        case Format::kBareHdf5:
            std::cerr << path << ": holds an HDF5 file without a MAT-file header; " << kSaveAdvice << "\n";
            return -1;
        case Format::kMatio: break;
    }
    std::string error;
    if (matio_read_isolated(path, stem(path), out, &error) != 0) {
        std::cerr << path << ": " << error << "\n";
        return -1;
    }
    return 0;
}

namespace {

// Writes all n bytes to fd; false with errno set on failure.
bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

// The file's bytes: header, name field, values column-major.
std::string level4_bytes(Matrix const& m, std::string const& name) {
    // At least one zero byte ends the name; the field is padded to a multiple of four bytes.
    const uint32_t namelen = uint32_t((name.size() / 4 + 1) * 4);
    const uint32_t header[5] = {0, uint32_t(m.rows), uint32_t(m.cols), 0, namelen};
    std::string bytes(sizeof header + namelen + m.size() * sizeof(double), '\0');
    std::memcpy(&bytes[0], header, sizeof header);
    std::memcpy(&bytes[sizeof header], name.data(), name.size());
    char* values = &bytes[sizeof header + namelen];
    for (std::size_t j = 0; j < (m.rows ? m.cols : 0); ++j)
        for (std::size_t i = 0; i < m.rows; ++i)
            std::memcpy(values + (j * m.rows + i) * sizeof(double), &m.data[i * m.cols + j], sizeof(double));
    return bytes;
}

}  // namespace

int write(Matrix const& m, std::string const& name, std::string const& path) {
    const std::string file = path.empty() ? data_path(name + ".mat") : path;
    auto fail = [&file](const char* reason) {
        std::cerr << "cannot write output file " << file << ": " << reason << "\n";
        return -1;
    };
    if (m.rows > UINT32_MAX || m.cols > UINT32_MAX || m.data.size() != m.rows * m.cols)
        return fail("matrix extents do not fit a Level 4 header");
    if (name.size() > UINT32_MAX - 8) return fail("name too long");
    const std::string bytes = level4_bytes(m, name);

    // The new content goes to a temporary file beside the result and is renamed over it only
    // when complete: a failure or a kill at any point leaves the result name as it was.
    std::string temp = file + ".XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) return fail(std::strerror(errno));
    // mkstemp creates the file private to its owner; give it the mode a plain create would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return fail(std::strerror(err));
    }
    return 0;
}

int load(Matrix& X, Matrix& Y, Matrix& P, Matrix& D, std::string const& fx, std::string const& fy,
         std::string const& fp, std::string const& fd) {
    // All four files are read even after a failure, so that every problem is reported at once.
    const int sx = read(data_path(fx), X);
    const int sy = read(data_path(fy), Y);
    const int sp = read(data_path(fp), P);
    const int sd = read(data_path(fd), D);
    if (sx || sy || sp || sd) {
        std::cerr << "Failed to load data\n";
        return -1;
    }
    return 0;
}

}  // namespace datafile
