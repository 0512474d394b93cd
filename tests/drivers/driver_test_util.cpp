// Helpers of the driver tests.
#include "driver_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>

#include <gtest/gtest.h>

#include "support/fd.h"
#include "veltn.h"

extern char** environ;

// Every allocation of the test program goes through these, so that a test can see the largest
// block a call asked for (the MAT reader must not trust a header with memory).
namespace {
std::atomic<std::size_t> g_max_alloc{0};
}

void* operator new(std::size_t n) {
    std::size_t prev = g_max_alloc.load(std::memory_order_relaxed);
    while (n > prev && !g_max_alloc.compare_exchange_weak(prev, n, std::memory_order_relaxed)) {
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace dtest {

const char* const kDescription = "3 2 3 1 16 3 5 4 softplus sum_log_dnorm_fat";

void reset_max_allocation() { g_max_alloc.store(0); }
std::size_t max_allocation() { return g_max_alloc.load(); }

TempDir::TempDir() {
    char templ[] = "/tmp/veltn-drivers-XXXXXX";
    const char* p = ::mkdtemp(templ);
    if (!p) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void EnvGuard::set(const char* name, const char* value) {
    if (!saved_.count(name)) {
        const char* old = std::getenv(name);
        saved_[name] = {old != nullptr, old ? old : ""};
    }
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

EnvGuard::~EnvGuard() {
    for (auto const& [name, old] : saved_) {
        if (old.first)
            ::setenv(name.c_str(), old.second.c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

std::string read_bytes(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(std::string const& path, std::string const& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

bool file_exists(std::string const& path) { return std::filesystem::exists(path); }

std::string u32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = char((v >> (8 * i)) & 0xff);
    return s;
}

std::string f64s(std::vector<double> const& v) {
    std::string s(v.size() * 8, '\0');
    if (!v.empty()) std::memcpy(&s[0], v.data(), s.size());
    return s;
}

uint32_t get_u32(std::string const& bytes, std::size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(bytes.at(offset + i));
    return v;
}

double get_f64(std::string const& bytes, std::size_t offset) {
    double d;
    std::memcpy(&d, bytes.substr(offset, 8).data(), 8);
    return d;
}

namespace {

struct FileLimit {
    std::size_t bytes;
    bool ignore_sigxfsz;
};

RunResult run_impl(std::string const& program, std::vector<std::string> const& args,
                   std::vector<std::string> const& env, FileLimit const* limit) {
    RunResult r;
    TempDir capture;
    const std::string out = capture.file("stdout"), err = capture.file("stderr");

    static const char* const kCleared[] = {"NN_DATA_DIR", "TMP", "TEMP", "NN_TRACE", "INFO"};
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool cleared = false;
        for (const char* c : kCleared) cleared |= name == c;
        if (!cleared) envs.push_back(entry);
    }
    envs.insert(envs.end(), env.begin(), env.end());

    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (auto const& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    pid_t pid = 0;
    if (limit) {
        // fork and exec by hand: posix_spawn cannot set a resource limit for the child alone.
        // The captured streams are opened before the limit is set, and only the child's result
        // files are large enough to meet it.
        const int ofd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int efd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(ofd, 1);
            ::dup2(efd, 2);
            const rlimit lim{rlim_t(limit->bytes), rlim_t(limit->bytes)};
            ::setrlimit(RLIMIT_FSIZE, &lim);
            ::signal(SIGXFSZ, limit->ignore_sigxfsz ? SIG_IGN : SIG_DFL);
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(ofd);
        ::close(efd);
        if (pid < 0) {
            ADD_FAILURE() << "cannot fork: " << std::strerror(errno);
            return r;
        }
    } else {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
            return r;
        }
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = read_bytes(out);
    r.err = read_bytes(err);
    return r;
}

}  // namespace

RunResult run(std::string const& program, std::vector<std::string> const& args, std::vector<std::string> const& env) {
    return run_impl(program, args, env, nullptr);
}

RunResult run_driver(std::string const& program, std::string const& dir) {
    return run(program, {}, {"NN_DATA_DIR=" + dir});
}

RunResult run_driver_file_limit(std::string const& program, std::string const& dir, std::size_t max_file_bytes,
                                bool ignore_sigxfsz) {
    const FileLimit limit{max_file_bytes, ignore_sigxfsz};
    return run_impl(program, {}, {"NN_DATA_DIR=" + dir}, &limit);
}

std::vector<std::string> list_dir(std::string const& dir) {
    std::vector<std::string> names;
    for (auto const& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void make_problem(std::string const& dir, std::string const& desc, uint32_t rows, uint32_t ndirs, uint64_t seed,
                  bool vj) {
    std::vector<std::string> args;
    if (vj) args.push_back("--vj");
    args.insert(args.end(), {dir, desc, std::to_string(rows), std::to_string(ndirs), std::to_string(seed)});
    const RunResult r = run(MAKE_PROBLEM, args);
    ASSERT_EQ(r.status, 0) << r.err;
}

Matrix load(std::string const& path) {
    Matrix m;
    EXPECT_EQ(datafile::read(path, m), 0) << path;
    return m;
}

void save(Matrix const& m, std::string const& path) { ASSERT_EQ(datafile::write(m, "m", path), 0) << path; }

Matrix matrix(std::size_t rows, std::size_t cols, std::vector<double> const& values) {
    Matrix m;
    m.data.assign(rows * cols, 0.0);
    for (std::size_t i = 0; i < values.size() && i < rows * cols; ++i) m.data[i] = values[i];
    m.rows = rows;
    m.cols = cols;
    return m;
}

Problem::Problem(std::string const& dir) {
    std::ifstream cfg(dir + "/config.txt");
    description = datafile::read_description(cfg);
    handle = initVELTNet(description.data(), int(description.size()));
    EXPECT_NE(handle, nullptr) << description;
    npar = uint32_t(velt_numel(handle));
    numout = velt_numout(handle);
    X = load(dir + "/data.mat");
    Y = load(dir + "/specs.mat");
    P = load(dir + "/v0.mat");
    D = load(dir + "/d_v0.mat");
}

Problem::~Problem() { releaseVELTNet(handle); }

std::vector<double> Problem::params() const { return std::vector<double>(std::begin(P.data), std::end(P.data)); }

double Problem::obj(std::vector<double> const& p) const {
    double J = NAN;
    EXPECT_EQ(velt_obj(handle, p.data(), uint32_t(p.size()), &X.data[0], &Y.data[0], uint32_t(X.rows),
                       uint32_t(X.cols), uint32_t(Y.cols), &J),
              0)
        << velt_last_error();
    return J;
}

std::vector<double> Problem::objv(std::vector<double> const& p) const {
    std::vector<double> out(Y.size(), NAN);
    EXPECT_EQ(velt_objv(handle, p.data(), uint32_t(p.size()), &X.data[0], &Y.data[0], uint32_t(X.rows),
                        uint32_t(X.cols), uint32_t(Y.cols), out.data()),
              0)
        << velt_last_error();
    return out;
}

std::vector<double> Problem::grad(std::vector<double> const& p, double* J) const {
    std::vector<double> g(p.size(), NAN);
    double j = NAN;
    EXPECT_EQ(velt_g(handle, p.data(), uint32_t(p.size()), &X.data[0], &Y.data[0], uint32_t(X.rows),
                     uint32_t(X.cols), uint32_t(Y.cols), &j, g.data()),
              0)
        << velt_last_error();
    if (J) *J = j;
    return g;
}

std::vector<double> column(Matrix const& m, std::size_t j) {
    std::vector<double> c(m.rows);
    for (std::size_t i = 0; i < m.rows; ++i) c[i] = m.data[i * m.cols + j];
    return c;
}

std::vector<double> values(Matrix const& m) { return std::vector<double>(std::begin(m.data), std::end(m.data)); }

void expect_fd_close(std::vector<double> const& got, std::vector<double> const& want, std::string const& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    int reported = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!fd::close(got[i], want[i]) && reported++ < 10)
            ADD_FAILURE() << what << "[" << i << "] = " << got[i] << ", finite differences give " << want[i];
    }
}

void expect_near_all(std::vector<double> const& got, std::vector<double> const& want, double rel,
                     std::string const& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    const double tol = rel * std::fmax(max_abs(want), 1e-300);
    int reported = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!(std::fabs(got[i] - want[i]) <= tol) && reported++ < 10)
            ADD_FAILURE() << what << "[" << i << "] = " << got[i] << ", expected " << want[i] << " within " << tol;
    }
}

std::vector<std::string> split_lines(std::string const& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string default_format(double v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

void expect_j_line(std::string const& line, double J, double t) {
    EXPECT_EQ(line, "J = " + default_format(J) + ", " + default_format(t) + " s");
}

double max_abs(std::vector<double> const& v) {
    double m = 0.0;
    for (double x : v) m = std::fmax(m, std::fabs(x));
    return m;
}

std::string python_with_scipy() {
    static const std::string found = [] {
        const std::string py = PYTHON3;
        if (py.empty() || ::access(py.c_str(), X_OK) != 0) return std::string();
        const RunResult r = run(py, {"-c", "import scipy.io"});
        return r.status == 0 ? py : std::string();
    }();
    return found;
}

}  // namespace dtest
