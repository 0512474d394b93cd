// The libveltn entry points over the rows of the ranks of a communicator: each rank evaluates
// its rows with the public C interface, the ranks agree on one status, then sum their results
// in one reduction.
#include "veltn_mpi.h"
#include "veltn_mpi_testing.h"

#include <fenv.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr int kStderr = 2;
// Longest message a failing rank hands to the others (longer ones are cut).
constexpr int kMessageBytes = 1024;
// Most sizes an entry point asks the ranks to agree on.
constexpr int kMaxSizes = 6;

thread_local std::string tl_last_error;

// Values per MPI_Allreduce of the results: MPI counts are int, and a product may gather up to
// 2^33 values, so the sum goes in pieces well below 2^31. Changed only by the tests.
constexpr std::size_t kReductionChunk = std::size_t(1) << 30;
std::atomic<std::size_t> reduction_chunk{kReductionChunk};

// Through libveltn's message path, so that a host captures this layer's lines with the same
// handler as the library's.
void write_line(std::string const& line) noexcept { velt_message(kStderr, line.c_str()); }

// The layer's own arithmetic (scaling, sums over ranks) runs without traps and leaves the
// caller's flags as they were.
class FpScope {
public:
    FpScope() { feholdexcept(&env_); }
    ~FpScope() { fesetenv(&env_); }
    FpScope(FpScope const&) = delete;
    FpScope& operator=(FpScope const&) = delete;

private:
    fenv_t env_;
};

struct Size {
    const char* name;
    uint64_t value;
};

// One collective call: the local status and message, the agreement and the reduction.
class Collective {
public:
    Collective(const char* function, MPI_Comm comm) : function_(function), comm_(comm) {}

    // False (with the status set) when no collective can run: MPI is not running or comm is not
    // an intracommunicator. Every rank of comm sees the same, so none is left waiting.
    bool usable() {
        int initialised = 0, finalised = 0;
        MPI_Initialized(&initialised);
        MPI_Finalized(&finalised);
        if (!initialised || finalised) return refuse_alone("MPI is not initialised or already finalised");
        if (comm_ == MPI_COMM_NULL) return refuse_alone("the communicator is MPI_COMM_NULL");
        int inter = 0;
        MPI_Comm_test_inter(comm_, &inter);
        if (inter) return refuse_alone("an intercommunicator is not supported");
        MPI_Comm_rank(comm_, &rank_);
        MPI_Comm_size(comm_, &size_);
        return true;
    }

    bool ok() const { return status_ == 0; }

    // A local argument error found by this layer (libveltn was not called, so nothing is
    // written yet on this rank).
    void refuse(const char* what) {
        if (status_ != 0) return;
        status_ = VELTN_EBADARG;
        message_ = std::string(function_) + ": " + what;
        written_ = false;
    }

    // The status of a libveltn call on this rank's rows; its line is already written.
    void take(int status) {
        if (status_ != 0 || status == 0) return;
        status_ = status == VELTN_EFPE ? VELTN_EFPE : VELTN_EBADARG;
        message_ = velt_last_error();
        written_ = true;
    }

    // Runs the local part; an exception (out of memory) becomes a local -1 so that this rank
    // still joins the agreement.
    template <class F>
    void local(F&& body) {
        try {
            body();
        } catch (...) {
            status_ = 0;
            refuse("out of memory");
        }
    }

    // One MPI_Allreduce (MIN) carrying the lowest failing rank and its status, the largest row
    // count and, for every size, its smallest and largest value. Returns the common status.
    int agree(std::initializer_list<Size> sizes, uint64_t rows, bool need_rows) {
        assert(sizes.size() <= kMaxSizes);
        long long v[2 + 2 * kMaxSizes];
        const int n = 2 + 2 * int(sizes.size());
        v[0] = status_ ? rank_ * 4LL - status_ : LLONG_MAX;
        v[1] = -static_cast<long long>(rows);
        int i = 2;
        for (Size const& s : sizes) {
            v[i++] = static_cast<long long>(s.value);
            v[i++] = -static_cast<long long>(s.value);
        }
        MPI_Allreduce(MPI_IN_PLACE, v, n, MPI_LONG_LONG, MPI_MIN, comm_);

        if (v[0] != LLONG_MAX) {
            const int failing = int(v[0] / 4), status = -int(v[0] % 4);
            char text[kMessageBytes] = {};
            if (rank_ == failing) std::strncpy(text, message_.c_str(), kMessageBytes - 1);
            MPI_Bcast(text, kMessageBytes, MPI_CHAR, failing, comm_);
            const bool written = rank_ == failing && written_;
            return fail_all(status, "rank " + std::to_string(failing) + " of " + std::to_string(size_) + ": " + text,
                            !written);
        }
        i = 2;
        for (Size const& s : sizes) {
            const long long lo = v[i], hi = -v[i + 1];
            i += 2;
            if (lo != hi)
                return fail_all(VELTN_EBADARG, std::string("the ranks pass different ") + s.name + " (" +
                                                   std::to_string(lo) + " to " + std::to_string(hi) + ")");
        }
        if (need_rows && v[1] == 0) return fail_all(VELTN_EBADARG, "no rows on any rank");
        return 0;
    }

    // Sums buf over the ranks in place, one piece of at most reduction_chunk values at a time
    // (every rank holds the same size, agreed before); -2 on every rank when a sum is not finite.
    int sum(std::vector<double>& buf) {
        const std::size_t chunk = reduction_chunk.load(std::memory_order_relaxed);
        for (std::size_t at = 0; at < buf.size(); at += chunk) {
            const std::size_t n = std::min(chunk, buf.size() - at);
            MPI_Allreduce(MPI_IN_PLACE, buf.data() + at, int(n), MPI_DOUBLE, MPI_SUM, comm_);
        }
        bool finite = true;
        for (double x : buf) finite &= std::isfinite(x);
        if (!finite) return fail_all(VELTN_EFPE, "floating-point exception: overflow in the sum over the ranks");
        return 0;
    }

    // The status of a failure found before any collective: only this rank's view.
    int status() const { return status_; }

private:
    bool refuse_alone(const char* what) {
        fail_all(VELTN_EBADARG, what);
        status_ = VELTN_EBADARG;
        return false;
    }

    int fail_all(int status, std::string const& what, bool write = true) noexcept {
        try {
            const std::string line = std::string(function_) + ": " + what;
            if (write) write_line(line);
            tl_last_error = line;
        } catch (...) {
        }
        return status;
    }

    const char* function_;
    MPI_Comm comm_;
    int rank_ = 0, size_ = 1;
    int status_ = 0;
    std::string message_;
    bool written_ = false;
};

bool too_many(uint64_t a, uint64_t b) { return a != 0 && b > UINT32_MAX / a; }

// Checks a rank with no rows makes in place of libveltn's (which refuses R = 0).
void check_empty(Collective& c, void* h, uint32_t npar, uint32_t C, uint32_t Cy) {
    if (!h) return c.refuse("the handle is null");
    if (npar < velt_numel(h)) return c.refuse("the parameter vector is shorter than the network's parameters");
    if (C > velt_numin(h)) return c.refuse("too many input columns");
    if (Cy != velt_numout(h)) return c.refuse("targets have a different number of columns than the network outputs");
}

// J and grad as means over all ranks' elements: buf holds {J * count, count, grad * count...}
// after the sum.
int finish_mean(Collective& c, std::vector<double>& buf, double* J, double* grad, std::size_t n) {
    if (const int st = c.sum(buf)) return st;
    const double count = buf[1];
    *J = buf[0] / count;
    for (std::size_t i = 0; i < n; ++i) grad[i] = buf[2 + i] / count;
    return 0;
}

// Scales a rank's means by its element count before the sum.
void weigh(std::vector<double>& buf, double count) {
    buf[1] = count;
    buf[0] *= count;
    for (std::size_t i = 2; i < buf.size(); ++i) buf[i] *= count;
}

// velt_mpi_vJ and velt_mpi_vJ_vec: each rank's m weight arrays over its rows, the products
// summed over all ranks; each rank keeps its own per-element terms. `local` is the library's
// entry point of the same name, so that its messages name what the caller called.
using VectorJacobian = int (*)(void*, const double*, uint32_t, const double*, uint32_t, const double*,
                               const double*, uint32_t, uint32_t, uint32_t, double*, double*);
int vector_jacobian(const char* name, VectorJacobian local, void* h, MPI_Comm comm, const double* w, uint32_t nw,
                    const double* U, uint32_t m, const double* X, const double* Y, uint32_t n_local, uint32_t nin,
                    uint32_t nout, double* res, double* vJ) {
    FpScope fp;
    Collective c(name, comm);
    if (!c.usable()) return c.status();
    std::vector<double> buf, terms;
    c.local([&] {
        if (!vJ && m) return c.refuse("vJ is null");
        if (!res && n_local) return c.refuse("res is null");
        if (too_many(n_local, nout)) return c.refuse("res has too many elements");
        if (too_many(m, nw)) return c.refuse("vJ has too many elements");
        buf.assign(std::size_t(m) * nw, 0.0);
        if (n_local == 0) return check_empty(c, h, nw, nin, nout);
        terms.resize(std::size_t(n_local) * nout);
        c.take(local(h, w, nw, U, m, X, Y, n_local, nin, nout, terms.data(), buf.data()));
    });
    if (const int st = c.agree({{"nw", nw}, {"m", m}, {"nin", nin}, {"nout", nout}}, n_local, true)) return st;
    if (!buf.empty())
        if (const int st = c.sum(buf)) return st;
    std::copy(buf.begin(), buf.end(), vJ);
    std::copy(terms.begin(), terms.end(), res);
    return 0;
}

// velt_mpi_Hv and velt_mpi_GNv: the objective, the gradient and k curvature products, each a
// mean over every rank's rows (the local means weighted by the local element counts, then
// summed). `local` is the library's entry point of the same name; `out` names its output array.
using CurvatureProduct = int (*)(void*, const double*, uint32_t, const double*, uint32_t, const double*,
                                 const double*, uint32_t, uint32_t, uint32_t, double*, double*, double*);
int curvature_product(const char* name, const char* out, CurvatureProduct local, void* h, MPI_Comm comm,
                      const double* w, uint32_t nw, const double* V, uint32_t k, const double* X, const double* Y,
                      uint32_t n_local, uint32_t nin, uint32_t nout, double* J, double* g, double* products) {
    FpScope fp;
    Collective c(name, comm);
    if (!c.usable()) return c.status();
    std::vector<double> buf;
    c.local([&] {
        if (!J) return c.refuse("J is null");
        if (!g) return c.refuse("g is null");
        if (!products && k) return c.refuse((std::string(out) + " is null").c_str());
        if (too_many(k, nw)) return c.refuse((std::string(out) + " has too many elements").c_str());
        buf.assign(2 + std::size_t(nw) * (1 + std::size_t(k)), 0.0);
        if (n_local == 0) return check_empty(c, h, nw, nin, nout);
        c.take(local(h, w, nw, V, k, X, Y, n_local, nin, nout, &buf[0], &buf[2], &buf[2 + nw]));
        if (c.ok()) weigh(buf, double(n_local) * nout);
    });
    const uint64_t flag = veltn_rowmajor != 0;
    if (const int st = c.agree({{"nw", nw}, {"k", k}, {"nin", nin}, {"nout", nout}, {"storage-order flags", flag}},
                               n_local, true))
        return st;
    if (const int st = c.sum(buf)) return st;
    const double count = buf[1];
    *J = buf[0] / count;
    for (std::size_t i = 0; i < nw; ++i) g[i] = buf[2 + i] / count;
    for (std::size_t i = 0; i < std::size_t(k) * nw; ++i) products[i] = buf[2 + nw + i] / count;
    return 0;
}

}  // namespace

extern "C" {

VELTN_MPI_API int velt_mpi_obj(void* h, MPI_Comm comm, const double* par, uint32_t npar, const double* X,
                               const double* Y, uint32_t R_local, uint32_t C, uint32_t Cy, double* J) {
    FpScope fp;
    Collective c("velt_mpi_obj", comm);
    if (!c.usable()) return c.status();
    std::vector<double> buf;
    c.local([&] {
        if (!J) return c.refuse("J is null");
        buf.assign(2, 0.0);
        if (R_local == 0) return check_empty(c, h, npar, C, Cy);
        c.take(velt_obj(h, par, npar, X, Y, R_local, C, Cy, &buf[0]));
        if (c.ok()) weigh(buf, double(R_local) * Cy);
    });
    if (const int st = c.agree({{"npar", npar}, {"C", C}, {"Cy", Cy}}, R_local, true)) return st;
    return finish_mean(c, buf, J, nullptr, 0);
}

VELTN_MPI_API int velt_mpi_g(void* h, MPI_Comm comm, const double* par, uint32_t npar, const double* X,
                             const double* Y, uint32_t R_local, uint32_t C, uint32_t Cy, double* J, double* grad) {
    FpScope fp;
    Collective c("velt_mpi_g", comm);
    if (!c.usable()) return c.status();
    std::vector<double> buf;
    c.local([&] {
        if (!J) return c.refuse("J is null");
        if (!grad) return c.refuse("grad is null");
        buf.assign(2 + std::size_t(npar), 0.0);
        if (R_local == 0) return check_empty(c, h, npar, C, Cy);
        c.take(velt_g(h, par, npar, X, Y, R_local, C, Cy, &buf[0], &buf[2]));
        if (c.ok()) weigh(buf, double(R_local) * Cy);
    });
    if (const int st = c.agree({{"npar", npar}, {"C", C}, {"Cy", Cy}}, R_local, true)) return st;
    return finish_mean(c, buf, J, grad, npar);
}

VELTN_MPI_API int velt_mpi_Hv(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* V, uint32_t k,
                              const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                              double* J, double* g, double* Hv) {
    return curvature_product("velt_mpi_Hv", "Hv", velt_Hv, h, comm, w, nw, V, k, X, Y, n_local, nin, nout, J, g, Hv);
}

VELTN_MPI_API int velt_mpi_vJ(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* U, uint32_t,
                              const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                              double* res, double* vJ) {
    return vector_jacobian("velt_mpi_vJ", velt_vJ, h, comm, w, nw, U, 1, X, Y, n_local, nin, nout, res, vJ);
}

VELTN_MPI_API int velt_mpi_vJ_vec(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* U,
                                  uint32_t m, const double* X, const double* Y, uint32_t n_local, uint32_t nin,
                                  uint32_t nout, double* res, double* vJ) {
    return vector_jacobian("velt_mpi_vJ_vec", velt_vJ_vec, h, comm, w, nw, U, m, X, Y, n_local, nin, nout, res, vJ);
}

VELTN_MPI_API int velt_mpi_objv(void* h, MPI_Comm comm, const double* par, uint32_t npar, const double* X,
                                const double* Y, uint32_t R_local, uint32_t C, uint32_t Cy, double* out) {
    FpScope fp;
    Collective c("velt_mpi_objv", comm);
    if (!c.usable()) return c.status();
    std::vector<double> terms;
    c.local([&] {
        if (R_local == 0) return check_empty(c, h, npar, C, Cy);
        if (!out) return c.refuse("out is null");
        if (too_many(R_local, Cy)) return c.refuse("out has too many elements");
        terms.resize(std::size_t(R_local) * Cy);
        c.take(velt_objv(h, par, npar, X, Y, R_local, C, Cy, terms.data()));
    });
    if (const int st = c.agree({{"npar", npar}, {"C", C}, {"Cy", Cy}}, R_local, false)) return st;
    std::copy(terms.begin(), terms.end(), out);
    return 0;
}

VELTN_MPI_API int velt_mpi_Jv(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* V, uint32_t k,
                              const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                              double* res, double* Jv) {
    FpScope fp;
    Collective c("velt_mpi_Jv", comm);
    if (!c.usable()) return c.status();
    std::vector<double> terms, products;
    c.local([&] {
        if (n_local == 0) return check_empty(c, h, nw, nin, nout);
        if (!res) return c.refuse("res is null");
        if (!Jv && k) return c.refuse("Jv is null");
        if (too_many(n_local, nout) || too_many(uint64_t(n_local) * nout, k))
            return c.refuse("Jv has too many elements");
        terms.resize(std::size_t(n_local) * nout);
        products.resize(terms.size() * k);
        c.take(velt_Jv(h, w, nw, V, k, X, Y, n_local, nin, nout, terms.data(), products.data()));
    });
    const uint64_t flag = veltn_rowmajor != 0;
    if (const int st = c.agree({{"nw", nw}, {"k", k}, {"nin", nin}, {"nout", nout}, {"storage-order flags", flag}},
                               n_local, true))
        return st;
    std::copy(terms.begin(), terms.end(), res);
    std::copy(products.begin(), products.end(), Jv);
    return 0;
}

VELTN_MPI_API int velt_mpi_GNv(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* V, uint32_t k,
                               const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                               double* J, double* g, double* GNv) {
    return curvature_product("velt_mpi_GNv", "GNv", velt_GNv, h, comm, w, nw, V, k, X, Y, n_local, nin, nout, J, g,
                             GNv);
}

VELTN_MPI_API int velt_mpi_jacobian(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* X,
                                    const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout, double* res,
                                    double* Jac) {
    FpScope fp;
    Collective c("velt_mpi_jacobian", comm);
    if (!c.usable()) return c.status();
    std::vector<double> terms;
    c.local([&] {
        if (n_local == 0) return check_empty(c, h, nw, nin, nout);
        if (!res) return c.refuse("res is null");
        if (!Jac) return c.refuse("Jac is null");
        if (too_many(n_local, nout)) return c.refuse("res has too many elements");
        terms.resize(std::size_t(n_local) * nout);
        // Jac goes straight into the caller's array: a second copy of it could need more memory
        // than the machine has.
        c.take(velt_jacobian(h, w, nw, X, Y, n_local, nin, nout, terms.data(), Jac));
    });
    if (const int st = c.agree({{"nw", nw}, {"nin", nin}, {"nout", nout}}, n_local, true)) return st;
    std::copy(terms.begin(), terms.end(), res);
    return 0;
}

VELTN_MPI_API const char* velt_mpi_last_error(void) { return tl_last_error.c_str(); }

VELTN_MPI_API size_t velt_mpi_testing_reduction_chunk(size_t values) {
    const std::size_t chunk = values == 0 || values > kReductionChunk ? kReductionChunk : values;
    return reduction_chunk.exchange(chunk);
}

}  // extern "C"
