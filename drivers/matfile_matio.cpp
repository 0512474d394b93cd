// Level 5 and v7.3 MAT-files through libmatio, in this process or in a child process.
#include "matfile_matio.h"

#include <fcntl.h>
#include <matio.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "mat5_layout.h"

namespace datafile {

namespace {

// libmatio reports through one process-wide log function. It is installed once and keeps the
// first message of the read in progress; nothing reaches the standard streams. (Without a log
// function of our own, libmatio stays silent but HDF5 prints its error stacks to stderr;
// installing one also replaces HDF5's printer with libmatio's, which logs through it.)
std::string* g_log = nullptr;

extern "C" void collect_log(int level, char* message) {
    if (!g_log || !message || !g_log->empty()) return;
    if (!(level & (MATIO_LOG_LEVEL_ERROR | MATIO_LOG_LEVEL_CRITICAL | MATIO_LOG_LEVEL_WARNING))) return;
    try {
        // One line: runs of white space (HDF5's messages span several lines) become one space.
        std::string line;
        for (const char* p = message; *p && line.size() < 300; ++p) {
            const bool space = *p == '\n' || *p == '\r' || *p == '\t' || *p == ' ';
            if (space) {
                if (!line.empty() && line.back() != ' ') line += ' ';
            } else if (static_cast<unsigned char>(*p) >= 0x20) {
                line += *p;
            }
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        // HDF5's entries name a source file and line of the library: drop that part.
        const std::size_t file = line.find(" file : "), minor = line.find(" minor: ");
        if (file != std::string::npos && minor != std::string::npos && minor > file)
            line.erase(file, minor - file);
        *g_log = line;
    } catch (...) {
        // Out of memory while copying a log line: the read reports its own message instead.
    }
}

void install_log() {
    static const bool installed = (Mat_LogInitFunc("veltn", collect_log), true);
    (void)installed;
}

// Collects the log of one read; the read is not reentrant (libmatio's log is global).
class LogScope {
public:
    LogScope() {
        install_log();
        g_log = &text_;
    }
    ~LogScope() { g_log = nullptr; }
    LogScope(LogScope const&) = delete;
    LogScope& operator=(LogScope const&) = delete;
    std::string const& text() const { return text_; }

private:
    std::string text_;
};

struct MatCloser {
    void operator()(mat_t* m) const { Mat_Close(m); }
};
struct VarFreer {
    void operator()(matvar_t* v) const { Mat_VarFree(v); }
};
using MatPtr = std::unique_ptr<mat_t, MatCloser>;
using VarPtr = std::unique_ptr<matvar_t, VarFreer>;

// What the directory pass keeps of a variable.
struct VarInfo {
    std::string name;
    matio_classes cls = MAT_C_EMPTY;
    bool complex = false, logical = false;
    std::vector<std::size_t> dims;
};

bool numeric(matio_classes c) { return c >= MAT_C_DOUBLE && c <= MAT_C_UINT64; }

const char* class_name(VarInfo const& v) {
    if (v.logical) return "logical";
    switch (v.cls) {
        case MAT_C_DOUBLE: return "double";
        case MAT_C_SINGLE: return "single";
        case MAT_C_INT8: return "int8";
        case MAT_C_UINT8: return "uint8";
        case MAT_C_INT16: return "int16";
        case MAT_C_UINT16: return "uint16";
        case MAT_C_INT32: return "int32";
        case MAT_C_UINT32: return "uint32";
        case MAT_C_INT64: return "int64";
        case MAT_C_UINT64: return "uint64";
        case MAT_C_CELL: return "cell";
        case MAT_C_STRUCT: return "struct";
        case MAT_C_OBJECT: return "object";
        case MAT_C_CHAR: return "char";
        case MAT_C_SPARSE: return "sparse";
        case MAT_C_FUNCTION: return "function handle";
        case MAT_C_OPAQUE: return "opaque";
        case MAT_C_EMPTY: break;
    }
    return "empty";
}

// A name between single quotes, as a message may show it: bytes outside printable ASCII as
// \xNN, and at most 64 of them (a name from a damaged file may hold anything).
std::string quoted(std::string const& name) {
    static const char hex[] = "0123456789abcdef";
    std::string s = "'";
    for (std::size_t k = 0; k < name.size() && k < 64; ++k) {
        const unsigned char c = static_cast<unsigned char>(name[k]);
        if (c >= 0x20 && c < 0x7f) {
            s += char(c);
        } else {
            s += "\\x";
            s += hex[c >> 4];
            s += hex[c & 15];
        }
    }
    return s + (name.size() > 64 ? "'..." : "'");
}

std::string extents(VarInfo const& v) {
    std::string s;
    for (std::size_t k = 0; k < v.dims.size(); ++k) s += (k ? " x " : "") + std::to_string(v.dims[k]);
    return s.empty() ? "0 x 0" : s;
}

// "x (double 2 x 3)", with "complex " before a complex class.
std::string describe(VarInfo const& v) {
    return quoted(v.name) + " (" + (v.complex ? "complex " : "") + class_name(v) + " " + extents(v) + ")";
}

// Why a variable cannot be read as a matrix of doubles, or "" when it can.
std::string refusal(VarInfo const& v) {
    if (!numeric(v.cls)) {
        const char* what = "";
        switch (v.cls) {
            case MAT_C_CELL: what = "a cell array"; break;
            case MAT_C_STRUCT: what = "a struct"; break;
            case MAT_C_OBJECT: what = "an object"; break;
            case MAT_C_CHAR: what = "a char array"; break;
            case MAT_C_SPARSE: what = "a sparse matrix"; break;
            case MAT_C_FUNCTION: what = "a function handle"; break;
            case MAT_C_OPAQUE: what = "an opaque object (such as a string or a table)"; break;
            default: what = "a value of no class"; break;
        }
        return "variable " + quoted(v.name) + " is " + what + " (class " + class_name(v) +
               "); only real numeric and logical matrices are read";
    }
    if (v.complex)
        return "variable " + quoted(v.name) + " is complex (class " + class_name(v) +
               "); only real numeric and logical matrices are read";
    if (v.dims.size() != 2)
        return "variable " + quoted(v.name) + " is a " + std::to_string(v.dims.size()) + "-dimensional array (" +
               extents(v) + "); only matrices are read";
    return std::string();
}

template <class T>
void to_double(const void* src, std::size_t n, double* dst) {
    const unsigned char* p = static_cast<const unsigned char*>(src);
    for (std::size_t k = 0; k < n; ++k) {
        T v;
        std::memcpy(&v, p + k * sizeof(T), sizeof(T));
        dst[k] = static_cast<double>(v);
    }
}

bool convert(matio_classes c, const void* src, std::size_t n, double* dst) {
    switch (c) {
        case MAT_C_DOUBLE: to_double<double>(src, n, dst); return true;
        case MAT_C_SINGLE: to_double<float>(src, n, dst); return true;
        case MAT_C_INT8: to_double<int8_t>(src, n, dst); return true;
        case MAT_C_UINT8: to_double<uint8_t>(src, n, dst); return true;
        case MAT_C_INT16: to_double<int16_t>(src, n, dst); return true;
        case MAT_C_UINT16: to_double<uint16_t>(src, n, dst); return true;
        case MAT_C_INT32: to_double<int32_t>(src, n, dst); return true;
        case MAT_C_UINT32: to_double<uint32_t>(src, n, dst); return true;
        case MAT_C_INT64: to_double<int64_t>(src, n, dst); return true;
        case MAT_C_UINT64: to_double<uint64_t>(src, n, dst); return true;
        default: return false;
    }
}

// At most this many variables are listed in a message.
constexpr std::size_t kListed = 12;
// More variables than this make a v7.3 file suspect; the directory pass stops there.
constexpr std::size_t kMaxVariables = 100000;
// zlib's largest expansion is about 1032 to 1; HDF5 datasets may be deflated as well.
constexpr uint64_t kMaxInflation = 1032;

int fail(std::string* error, std::string const& what, LogScope const& log) {
    *error = what;
    if (!log.text().empty()) *error += " (libmatio: " + log.text() + ")";
    return -1;
}

}  // namespace

namespace {

// The variable the drivers read: the one called name, else the only numeric one. Returns its
// index, or vars.size() after setting *why.
std::size_t choose(std::vector<VarInfo> const& vars, std::string const& name, std::string* why) {
    for (std::size_t k = 0; k < vars.size(); ++k)
        if (vars[k].name == name) return k;
    std::size_t n_numeric = 0, chosen = vars.size();
    for (std::size_t k = 0; k < vars.size(); ++k)
        if (numeric(vars[k].cls)) {
            ++n_numeric;
            chosen = k;
        }
    if (n_numeric == 1) return chosen;
    std::string list;
    for (std::size_t k = 0; k < vars.size() && k < kListed; ++k) list += (k ? ", " : "") + describe(vars[k]);
    if (vars.size() > kListed) list += ", ... (" + std::to_string(vars.size()) + " in all)";
    *why = "holds no variable named " + quoted(name) + " and " +
           (n_numeric ? std::to_string(n_numeric) : std::string("no")) + " numeric variables; it holds " + list;
    return vars.size();
}

// The first 128 bytes of the file: Level 5 (0x0100) or v7.3 (0x0200), as its version field
// says in the byte order its endian mark gives; 0 for anything else.
unsigned header_version(std::string const& path) {
    unsigned char h[128];
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    const bool got = std::fread(h, 1, sizeof h, f) == sizeof h;
    std::fclose(f);
    if (!got) return 0;
    if (h[126] == 'I' && h[127] == 'M') return unsigned(h[125]) << 8 | h[124];
    if (h[126] == 'M' && h[127] == 'I') return unsigned(h[124]) << 8 | h[125];
    return 0;
}

// A Level 5 file holding only the given element of the file at path (its header, then the
// element's bytes), in memory; the descriptor, or -1 with *why set.
int single_element_file(std::string const& path, uint64_t offset, uint64_t bytes, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(std::size_t(128 + bytes));
    in.read(buf.data(), 128);
    in.seekg(std::streamoff(offset));
    in.read(buf.data() + 128, std::streamsize(bytes));
    if (!in) {
        *why = "the file cannot be read at byte " + std::to_string(offset);
        return -1;
    }
    const int fd = ::memfd_create("veltn-mat5-variable", MFD_CLOEXEC);
    if (fd < 0) {
        *why = std::string("cannot make a scratch file: ") + std::strerror(errno);
        return -1;
    }
    std::size_t done = 0;
    while (done < buf.size()) {
        const ssize_t w = ::write(fd, buf.data() + done, buf.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            *why = std::string("cannot write a scratch file: ") + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        done += std::size_t(w);
    }
    return fd;
}

}  // namespace

int matio_read(std::string const& path, std::string const& name, Matrix& out, std::string* error,
               std::function<void(uint64_t)> const& before_data) {
    LogScope log;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return fail(error, std::string("cannot open: ") + std::strerror(errno), log);
    const uint64_t file_bytes = uint64_t(st.st_size);
    const unsigned version = header_version(path);
    if (version != MAT_FT_MAT5 && version != MAT_FT_MAT73)
        return fail(error, "holds no Level 5 or v7.3 MAT-file header", log);

    // Directory: names, classes and extents, no data. For Level 5 it comes from our own walk
    // of the elements, so that libmatio never parses a variable the drivers do not read (a
    // cell that announces 2^31 elements would have it allocate for minutes); for v7.3 it comes
    // from libmatio (HDF5 keeps the extents and the storage of a dataset consistent).
    std::vector<VarInfo> vars;
    std::vector<Mat5Var> elements;
    MatPtr mat;
    if (version == MAT_FT_MAT5) {
        std::string why;
        if (!mat5_directory(path, &elements, &why)) return fail(error, why, log);
        for (auto const& e : elements) {
            VarInfo info;
            info.name = e.name;
            info.cls = e.cls <= MAT_C_OPAQUE ? matio_classes(e.cls) : MAT_C_EMPTY;
            info.complex = e.complex;
            info.logical = e.logical;
            info.dims.assign(e.dims.begin(), e.dims.end());
            vars.push_back(std::move(info));
        }
    } else {
        mat.reset(Mat_Open(path.c_str(), MAT_ACC_RDONLY));
        if (!mat) return fail(error, "libmatio cannot open it as a MAT-file", log);
        while (vars.size() < kMaxVariables) {
            VarPtr v(Mat_VarReadNextInfo(mat.get()));
            if (!v) break;
            VarInfo info;
            info.name = v->name ? v->name : "";
            info.cls = v->class_type;
            info.complex = v->isComplex != 0;
            info.logical = v->isLogical != 0;
            if (v->rank > 0 && v->dims) info.dims.assign(v->dims, v->dims + v->rank);
            vars.push_back(std::move(info));
        }
        // libmatio ends the directory at the first variable it cannot parse, after logging why.
        if (!log.text().empty()) return fail(error, "the file is damaged", log);
    }
    if (vars.empty()) return fail(error, "holds no variables", log);

    std::string why;
    const std::size_t chosen = choose(vars, name, &why);
    if (chosen == vars.size()) return fail(error, why, log);
    VarInfo const& want = vars[chosen];
    why = refusal(want);
    if (!why.empty()) return fail(error, why, log);

    // Every stored value takes at least one byte (integer-valued doubles may be stored as
    // uint8), before compression at most kMaxInflation to one.
    const uint64_t r = want.dims[0], c = want.dims[1];
    if (r > UINT32_MAX || c > UINT32_MAX || r * c > UINT32_MAX)
        return fail(error,
                    "variable " + quoted(want.name) + " holds a " + extents(want) +
                        " matrix, more values than the library's 32-bit counts allow",
                    log);
    const uint64_t count = r * c;
    if (count > file_bytes * kMaxInflation)
        return fail(error,
                    "variable " + quoted(want.name) + " announces a " + extents(want) +
                        " matrix, more values than the file can hold",
                    log);

    int scratch = -1;
    if (version == MAT_FT_MAT5) {
        // libmatio fills a data element shorter than the extents with zeros: compare the
        // extents with the values the element's real part announces.
        Mat5Var const& e = elements[chosen];
        if (e.stored != count)
            return fail(error,
                        "variable " + quoted(want.name) + " announces a " + extents(want) + " matrix but stores " +
                            std::to_string(e.stored) + " values",
                        log);
        // Nor may its real part run past the element (libmatio would read what follows, or,
        // in a compressed element, memory it never wrote).
        if (!mat5_holds_real_part(path, e))
            return fail(error, "variable " + quoted(want.name) + " ends before the values its header announces", log);
        // libmatio reads a file that holds this one element.
        scratch = single_element_file(path, e.offset, e.bytes, &why);
        if (scratch < 0) return fail(error, why, log);
        mat.reset(Mat_Open(("/proc/self/fd/" + std::to_string(scratch)).c_str(), MAT_ACC_RDONLY));
        if (!mat) {
            ::close(scratch);
            return fail(error, "libmatio cannot open it as a MAT-file", log);
        }
    }
    struct FdCloser {
        int fd;
        ~FdCloser() {
            if (fd >= 0) ::close(fd);
        }
    } scratch_closer{scratch};

    if (before_data) before_data(count);
    VarPtr var(version == MAT_FT_MAT5 ? Mat_VarReadNext(mat.get()) : Mat_VarRead(mat.get(), want.name.c_str()));
    if (!var) return fail(error, "variable " + quoted(want.name) + " cannot be read", log);
    // The data pass must find what the directory pass found.
    const std::size_t esize = Mat_SizeOfClass(want.cls);
    if (var->class_type != want.cls || var->isComplex || var->rank != 2 || !var->dims || var->dims[0] != r ||
        var->dims[1] != c || esize == 0 || std::size_t(var->data_size) != esize ||
        (count > 0 && (!var->data || var->nbytes / esize < count)))
        return fail(error, "variable " + quoted(want.name) + " is damaged", log);

    std::vector<double> file_order(count);
    if (count > 0 && !convert(want.cls, var->data, count, file_order.data()))
        return fail(error, "variable " + quoted(want.name) + " is damaged", log);
    var.reset();
    mat.reset();

    // File order is column-major: value j*rows + i is element (i, j). An empty matrix may
    // still have 2^32 - 1 columns: skip the loop rather than count through them.
    std::vector<double> values(count);
    if (count)
        for (std::size_t j = 0; j < c; ++j)
            for (std::size_t i = 0; i < r; ++i) values[i * c + j] = file_order[j * r + i];
    out.data = std::move(values);
    out.rows = std::size_t(r);
    out.cols = std::size_t(c);
    return 0;
}

namespace {

// Seconds a child may spend on one file before it is stopped.
constexpr unsigned kChildSeconds = 120;
// Address space a child may take beyond what it starts with and what the file and the matrix
// need: libmatio's and HDF5's own structures.
constexpr uint64_t kChildSlack = uint64_t(256) << 20;

#if defined(__SANITIZE_ADDRESS__)
#define VELTN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTN_ASAN 1
#endif
#endif

// Lets the process map `extra` bytes beyond its present address space (soft limit only, so
// that it can be raised again). AddressSanitizer maps memory of its own as it goes and is left
// unlimited.
void allow_address_space(uint64_t extra) {
#ifndef VELTN_ASAN
    unsigned long pages = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return;
    const bool got = std::fscanf(f, "%lu", &pages) == 1;
    std::fclose(f);
    rlimit lim;
    if (!got || ::getrlimit(RLIMIT_AS, &lim) != 0) return;
    const uint64_t want = uint64_t(pages) * uint64_t(::sysconf(_SC_PAGESIZE)) + extra;
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? rlim_t(want) : std::min<rlim_t>(rlim_t(want), lim.rlim_max);
    ::setrlimit(RLIMIT_AS, &lim);
#else
    (void)extra;
#endif
}

bool write_all(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

bool read_all(int fd, void* data, std::size_t n) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= std::size_t(got);
    }
    return true;
}

// What the child sends: status, message length, rows, cols; then the message, then the values.
struct Reply {
    int64_t status;
    uint64_t message_bytes, rows, cols;
};

[[noreturn]] void child(int fd, std::string const& path, std::string const& name) {
    // libmatio and HDF5 must not write to the caller's streams, whatever they meet.
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
    }
    ::alarm(kChildSeconds);
    // Until the variable has passed its checks, room for a copy of the file and libmatio's
    // structures; then room for the matrix (the class's values, and two arrays of doubles).
    struct stat st_file;
    const uint64_t file_bytes = ::stat(path.c_str(), &st_file) == 0 ? uint64_t(st_file.st_size) : 0;
    allow_address_space(kChildSlack + 2 * file_bytes);
    Matrix m;
    std::string error;
    const int st =
        matio_read(path, name, m, &error, [](uint64_t count) { allow_address_space(kChildSlack + 24 * count); });
    const Reply reply{st, error.size(), m.rows, m.cols};
    const bool ok = write_all(fd, &reply, sizeof reply) && write_all(fd, error.data(), error.size()) &&
                    (m.data.empty() || write_all(fd, m.data.data(), m.data.size() * sizeof(double)));
    // _exit: no atexit handlers, no flushing of the parent's buffered output a second time.
    ::_exit(ok ? 0 : 1);
}

}  // namespace

int matio_read_isolated(std::string const& path, std::string const& name, Matrix& out, std::string* error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("cannot start the MAT-file reader: ") + std::strerror(errno);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int e = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        *error = std::string("cannot start the MAT-file reader: ") + std::strerror(e);
        return -1;
    }
    if (pid == 0) {
        ::close(fds[0]);
        child(fds[1], path, name);
    }
    ::close(fds[1]);

    Reply reply{};
    std::string message;
    Matrix m;
    // A reply that does not add up counts as a failed child, as does a short one.
    bool complete = read_all(fds[0], &reply, sizeof reply) && reply.message_bytes <= 65536;
    if (complete) {
        message.resize(reply.message_bytes);
        complete = message.empty() || read_all(fds[0], &message[0], message.size());
    }
    if (complete && reply.status == 0) {
        complete = reply.rows <= UINT32_MAX && reply.cols <= UINT32_MAX && reply.rows * reply.cols <= UINT32_MAX;
        if (complete) {
            m.data.resize(std::size_t(reply.rows * reply.cols));
            m.rows = std::size_t(reply.rows);
            m.cols = std::size_t(reply.cols);
            complete = m.data.empty() || read_all(fds[0], m.data.data(), m.data.size() * sizeof(double));
        }
    }
    ::close(fds[0]);
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }

    if (WIFSIGNALED(wstatus)) {
        const int sig = WTERMSIG(wstatus);
        *error = sig == SIGALRM ? "libmatio did not finish reading it within " + std::to_string(kChildSeconds) +
                                      " seconds; the file is damaged or not a MAT-file"
                                : std::string("libmatio stopped on it (") + strsignal(sig) +
                                      "); the file is damaged or not a MAT-file";
        return -1;
    }
    if (!complete || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
        *error = "the MAT-file reader ended without an answer; the file is damaged or not a MAT-file";
        return -1;
    }
    if (reply.status != 0) {
        *error = message;
        return -1;
    }
    out = std::move(m);
    return 0;
}

}  // namespace datafile
