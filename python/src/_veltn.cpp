// veltn._veltn: the compiled core of the Python package. It checks types and shapes, converts
// array-likes to C-contiguous float64 once, releases the GIL around each library call, turns
// status codes into exceptions and passes the library's lines on to Python's logging.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "veltn.h"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// veltn.Error and veltn.FloatingPointEvent, created when the module loads.
PyObject* error_type = nullptr;
PyObject* fpe_type = nullptr;

// Lines the library wrote during the current thread's call. The library calls the handler on
// the calling thread while that thread has released the GIL, so lines are held here and logged
// once the GIL is back.
struct Line {
    int stream;
    std::string text;
};
thread_local std::vector<Line> held_lines;
constexpr std::size_t kMaxHeldLines = 10000;

void hold_line(void*, int stream, const char* line) {
    try {
        if (held_lines.size() < kMaxHeldLines) held_lines.push_back({stream, line ? line : ""});
    } catch (...) {
        // Out of memory: the line is lost rather than thrown into the library.
    }
}

bool starts_with(std::string const& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The library's lines carry their own "Error: " / "Warning: " tag; where Python's exception class
// or log level says it already, the tag is left out. The C message path keeps the exact text.
std::string without_tag(std::string const& line) {
    for (const char* tag : {"Error: ", "Warning: "})
        if (starts_with(line, tag)) return line.substr(std::char_traits<char>::length(tag));
    return line;
}

// Every library warning is logged at WARNING, whichever stream the library gives it: the lines
// tagged "Warning: " and the unknown norm's line, which the library writes on standard output.
// The other standard-output lines (the INFO build line, NN_TRACE timings) are logged at INFO.
int log_level(Line const& line) {
    if (line.stream != 1 || starts_with(line.text, "Warning: ") || starts_with(line.text, "invalid norm function name"))
        return 30;
    return 20;
}

// Logs the held lines on logger "veltn" at their level (see log_level), except the failure line
// of a call that raises (its text is in the exception), which goes at DEBUG.
void log_held_lines(std::string const* raised) {
    if (held_lines.empty()) return;
    std::vector<Line> lines;
    lines.swap(held_lines);
    py::object logger = py::module_::import("logging").attr("getLogger")("veltn");
    bool raised_seen = false;
    for (auto const& line : lines) {
        int level = log_level(line);
        if (raised && !raised_seen && line.text == *raised) {
            level = 10;
            raised_seen = true;
        }
        logger.attr("log")(level, "%s", without_tag(line.text));
    }
}

[[noreturn]] void raise(PyObject* type, std::string const& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Logs the call's lines and raises for a non-zero status. Runs with the GIL held, on the
// thread that made the call, so velt_last_error() belongs to that call.
void finish(int status, const char* function) {
    if (status == VELTN_OK) {
        log_held_lines(nullptr);
        return;
    }
    std::string message = velt_last_error();
    if (message.empty()) message = std::string(function) + " failed with status " + std::to_string(status);
    log_held_lines(&message);
    raise(status == VELTN_EFPE ? fpe_type : error_type, without_tag(message));
}

// Runs one library call without the GIL and raises on failure.
template <class Call>
void call(const char* function, Call&& c) {
    int status;
    {
        py::gil_scoped_release nogil;
        status = c();
    }
    finish(status, function);
}

std::string shape_of(py::array const& a) {
    std::ostringstream s;
    s << '(';
    for (py::ssize_t i = 0; i < a.ndim(); ++i) s << (i ? ", " : "") << a.shape(i);
    s << (a.ndim() == 1 ? ",)" : ")");
    return s.str();
}

[[noreturn]] void bad_value(std::string const& message) { throw py::value_error(message); }

// NumPy kinds of arrays that hold real numbers: floats, signed and unsigned integers, booleans.
bool is_real_kind(char kind) { return kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b'; }

// obj as C-contiguous float64. Complex, object, string and other non-numeric arrays are refused
// with a TypeError naming the argument, before anything is converted (NumPy would drop an
// imaginary part with only a warning).
Array as_array(py::handle obj, const char* name) {
    py::object arr = py::reinterpret_borrow<py::object>(obj);
    if (!py::isinstance<py::array>(arr)) arr = py::module_::import("numpy").attr("asarray")(arr);
    py::dtype dtype = py::reinterpret_borrow<py::array>(arr).dtype();
    if (!is_real_kind(dtype.kind()))
        throw py::type_error(std::string(name) + " must hold real numbers (float, int or bool), got an array of " +
                             py::str(dtype).cast<std::string>());
    return Array(arr);
}

// Counts go to the library as 32-bit values, and no product of them may reach 2^32, except the
// Jacobian's (terms x parameters), which the library writes without counting it as one.
uint32_t count(std::size_t n, const char* what) {
    if (n >= std::numeric_limits<uint32_t>::max())
        bad_value(std::string(what) + " is too large for the library (2^32 values or more)");
    return static_cast<uint32_t>(n);
}

// Inputs and targets after their checks: X is R x C, Y is R x nout (Y may be absent).
struct Data {
    Array X, Y;
    uint32_t R = 0, C = 0;
};

class Network {
public:
    Network(std::string description, int threads, int batch) : description_(std::move(description)) {
        if (threads < 1 || threads > 99999) bad_value("threads must be between 1 and 99999, got " + std::to_string(threads));
        if (batch < 1) bad_value("batch must be at least 1, got " + std::to_string(batch));
        if (description_.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            bad_value("description is too long");
        {
            py::gil_scoped_release nogil;
            handle_ = initVELTNet(description_.data(), static_cast<int>(description_.size()));
        }
        if (!handle_) finish(VELTN_EBADARG, "initVELTNet");
        log_held_lines(nullptr);
        if (velt_setpar(handle_, static_cast<uint32_t>(threads), batch) != 0) {
            releaseVELTNet(handle_);
            handle_ = nullptr;
            finish(VELTN_EBADARG, "velt_setpar");
        }
        threads_ = threads;
        batch_ = batch;
        npar_ = velt_numel(handle_);
        // A call takes at most min(numin, s_0) columns: the first layer reads s_0.
        uint32_t s0 = 0, unused = 0;
        nin_ = velt_numin(handle_);
        if (velt_weights(handle_, 0, nullptr, &s0, &unused) == 0 && s0 < nin_) nin_ = s0;
        nout_ = velt_numout(handle_);
    }
    ~Network() { releaseVELTNet(handle_); }
    Network(Network const&) = delete;
    Network& operator=(Network const&) = delete;

    std::string const& description() const { return description_; }
    uint64_t n_params() const { return npar_; }
    uint32_t n_inputs() const { return nin_; }
    uint32_t n_outputs() const { return nout_; }
    int threads() const { return threads_; }
    int batch() const { return batch_; }
    uintptr_t address() const { return reinterpret_cast<uintptr_t>(handle_); }

    // Weight-matrix shapes (rows = inputs of the layer, columns = its outputs), layer by layer.
    py::list layer_shapes(int nlayers) const {
        py::list shapes;
        for (int l = 0; l < nlayers; ++l) {
            uint32_t rows = 0, cols = 0;
            if (velt_weights(handle_, static_cast<uint32_t>(l), nullptr, &rows, &cols) != 0) {
                held_lines.clear();
                break;
            }
            shapes.append(py::make_tuple(rows, cols));
        }
        return shapes;
    }

    Array params_arg(py::handle obj) const {
        Array p = as_array(obj, "params");
        if (p.ndim() != 1 || static_cast<uint64_t>(p.shape(0)) < npar_)
            bad_value("params has shape " + shape_of(p) + " but the network has " + std::to_string(npar_) +
                      " parameters: expected shape (" + std::to_string(npar_) + ",)");
        count(p.size(), "params");
        return p;
    }

    Data data_arg(py::handle x, py::handle y, bool with_y) const {
        Data d;
        d.X = as_array(x, "X");
        if (d.X.ndim() == 1 && nin_ == 1) {
            d.R = count(d.X.shape(0), "X");
            d.C = 1;
        } else if (d.X.ndim() == 2) {
            if (static_cast<uint64_t>(d.X.shape(1)) > nin_)
                bad_value("X has shape " + shape_of(d.X) + " but the network takes at most " + std::to_string(nin_) +
                          " input columns: expected shape (rows, " + std::to_string(nin_) + ")");
            d.R = count(d.X.shape(0), "X");
            d.C = static_cast<uint32_t>(d.X.shape(1));
        } else {
            bad_value("X has shape " + shape_of(d.X) + " but must be (rows, " + std::to_string(nin_) + ")" +
                      (nin_ == 1 ? " or (rows,)" : ""));
        }
        count(std::size_t(d.R) * std::max<uint32_t>(d.C, 1), "X");
        if (!with_y) return d;
        d.Y = as_array(y, "Y");
        bool flat = d.Y.ndim() == 1 && nout_ == 1;
        if (!flat && (d.Y.ndim() != 2 || static_cast<uint64_t>(d.Y.shape(1)) != nout_))
            bad_value("Y has shape " + shape_of(d.Y) + " but must be (rows, " + std::to_string(nout_) + ")" +
                      (nout_ == 1 ? " or (rows,)" : "") + " for this network");
        if (static_cast<uint64_t>(d.Y.shape(0)) != d.R)
            bad_value("X and Y must have the same number of rows: X has shape " + shape_of(d.X) + ", Y has shape " +
                      shape_of(d.Y));
        count(std::size_t(d.R) * nout_, "Y");
        return d;
    }

    // The directions V: (n,) gives one, (k, n) gives k, with n = len(params).
    std::pair<Array, bool> directions_arg(py::handle v, Array const& p, const char* name) const {
        Array V = as_array(v, name);
        const py::ssize_t n = p.shape(0);
        bool single = V.ndim() == 1;
        if (!(single && V.shape(0) == n) && !(V.ndim() == 2 && V.shape(1) == n))
            bad_value(std::string(name) + " has shape " + shape_of(V) + " but params has shape " + shape_of(p) +
                      ": expected (" + std::to_string(n) + ",) or (k, " + std::to_string(n) + ")");
        count(V.size(), name);
        return {V, single};
    }

    // The storage-order flag is the process's, not ours: read it at each call and lay out the
    // directions for it. NumPy holds them as rows, (k, len); with the flag clear the library wants
    // and gives columns, (len, k), so those are transposed on the way in and out.
    static bool directions_are_rows() { return veltn_rowmajor != 0; }
    static void transpose(const double* in, std::size_t rows, std::size_t cols, double* out) {
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) out[j * rows + i] = in[i * cols + j];
    }

    Array outputs(py::handle params, py::handle x) const {
        Array p = params_arg(params);
        Data d = data_arg(x, py::none(), false);
        Array out({static_cast<py::ssize_t>(d.R), static_cast<py::ssize_t>(nout_)});
        call("velt_compute", [&] {
            return velt_compute(handle_, p.data(), p.shape(0), d.X.data(), d.R, d.C, 0, out.mutable_data());
        });
        return out;
    }

    // residuals (which = 0) or the norm's terms (which = 1), R x nout.
    Array elementwise(py::handle params, py::handle x, py::handle y, int which) const {
        Array p = params_arg(params);
        Data d = data_arg(x, y, true);
        Array out({static_cast<py::ssize_t>(d.R), static_cast<py::ssize_t>(nout_)});
        call(which == 0 ? "velt_residual" : "velt_objv", [&] {
            return which == 0 ? velt_residual(handle_, p.data(), p.shape(0), d.X.data(), d.Y.data(), d.R, d.C, nout_,
                                              out.mutable_data())
                              : velt_objv(handle_, p.data(), p.shape(0), d.X.data(), d.Y.data(), d.R, d.C, nout_,
                                          out.mutable_data());
        });
        return out;
    }

    double objective(py::handle params, py::handle x, py::handle y) const {
        Array p = params_arg(params);
        Data d = data_arg(x, y, true);
        double J = 0.0;
        call("velt_obj", [&] {
            return velt_obj(handle_, p.data(), p.shape(0), d.X.data(), d.Y.data(), d.R, d.C, nout_, &J);
        });
        return J;
    }

    py::tuple gradient(py::handle params, py::handle x, py::handle y) const {
        Array p = params_arg(params);
        Data d = data_arg(x, y, true);
        double J = 0.0;
        Array g(p.shape(0));
        call("velt_g", [&] {
            return velt_g(handle_, p.data(), p.shape(0), d.X.data(), d.Y.data(), d.R, d.C, nout_, &J, g.mutable_data());
        });
        return py::make_tuple(J, g);
    }

    // velt_Hv and velt_GNv: the same arguments and layouts.
    using CurvatureProduct = int (*)(void*, const double*, uint32_t, const double*, uint32_t, const double*,
                                     const double*, uint32_t, uint32_t, uint32_t, double*, double*, double*);

    // Runs velt_Hv (or velt_GNv) for the directions V (k x n, or the identity when V is None).
    py::object hvp_core(Array const& p, Array const* V, uint32_t k, bool single, Data const& d, bool with_gradient,
                        CurvatureProduct product = velt_Hv, const char* name = "velt_Hv") const {
        const py::ssize_t n = p.shape(0);
        double J = 0.0;
        Array g(n);
        Array Hv = single ? Array(n) : Array({static_cast<py::ssize_t>(k), n});
        std::vector<double> identity;
        const double* v = V ? V->data() : nullptr;
        if (!V) {
            identity.assign(std::size_t(n) * n, 0.0);
            for (py::ssize_t i = 0; i < n; ++i) identity[std::size_t(i) * n + i] = 1.0;
            v = identity.data();
        }
        const bool transposed = k > 1 && !directions_are_rows();
        std::vector<double> vt, hvt;
        if (transposed) {
            vt.resize(std::size_t(k) * n);
            transpose(v, k, n, vt.data());
            v = vt.data();
            hvt.resize(vt.size());
        }
        double* out = transposed ? hvt.data() : Hv.mutable_data();
        call(name, [&] {
            return product(handle_, p.data(), n, v, k, d.X.data(), d.Y.data(), d.R, d.C, nout_, &J, g.mutable_data(), out);
        });
        if (transposed) transpose(hvt.data(), n, k, Hv.mutable_data());
        if (with_gradient) return py::make_tuple(J, g, Hv);
        return std::move(Hv);
    }

    py::object hvp(py::handle params, py::handle v, py::handle x, py::handle y, bool with_gradient) const {
        Array p = params_arg(params);
        auto [V, single] = directions_arg(v, p, "V");
        Data d = data_arg(x, y, true);
        uint32_t k = single ? 1 : count(V.shape(0), "V");
        return hvp_core(p, &V, k, single, d, with_gradient);
    }

    // Generalised Gauss-Newton products, in the layout of hvp.
    py::object gnvp(py::handle params, py::handle v, py::handle x, py::handle y, bool with_gradient) const {
        Array p = params_arg(params);
        auto [V, single] = directions_arg(v, p, "V");
        Data d = data_arg(x, y, true);
        uint32_t k = single ? 1 : count(V.shape(0), "V");
        return hvp_core(p, &V, k, single, d, with_gradient, velt_GNv, "velt_GNv");
    }

    py::object hessian(py::handle params, py::handle x, py::handle y, bool with_gradient) const {
        Array p = params_arg(params);
        Data d = data_arg(x, y, true);
        uint32_t n = count(p.shape(0), "params");
        count(std::size_t(n) * n, "the Hessian");
        return hvp_core(p, nullptr, n, false, d, with_gradient);
    }

    py::object jvp(py::handle params, py::handle v, py::handle x, py::handle y, bool with_terms) const {
        Array p = params_arg(params);
        auto [V, single] = directions_arg(v, p, "V");
        Data d = data_arg(x, y, true);
        uint32_t k = single ? 1 : count(V.shape(0), "V");
        const auto R = static_cast<py::ssize_t>(d.R), m = static_cast<py::ssize_t>(nout_);
        count(std::size_t(k) * d.R * nout_, "the Jacobian-vector products");
        Array res({R, m});
        Array Jv = single ? Array({R, m}) : Array({static_cast<py::ssize_t>(k), R, m});
        const bool transposed = k > 1 && !directions_are_rows();
        const std::size_t terms = std::size_t(d.R) * nout_;
        std::vector<double> vt, jvt;
        if (transposed) {
            vt.resize(std::size_t(k) * p.shape(0));
            transpose(V.data(), k, p.shape(0), vt.data());
            jvt.resize(std::size_t(k) * terms);
        }
        const double* dirs = transposed ? vt.data() : V.data();
        double* out = transposed ? jvt.data() : Jv.mutable_data();
        call("velt_Jv", [&] {
            return velt_Jv(handle_, p.data(), p.shape(0), dirs, k, d.X.data(), d.Y.data(), d.R, d.C, nout_,
                           res.mutable_data(), out);
        });
        if (transposed) transpose(jvt.data(), terms, k, Jv.mutable_data());
        if (with_terms) return py::make_tuple(res, Jv);
        return std::move(Jv);
    }

    // The whole Jacobian of the terms, (R * nout, n) with row i * nout + o for term (i, o). Unlike
    // every other array it may hold 2^32 values or more (only its two extents go to the library
    // as counts); NumPy refuses, with MemoryError, one that does not fit in memory.
    py::object jacobian(py::handle params, py::handle x, py::handle y, bool with_terms) const {
        Array p = params_arg(params);
        Data d = data_arg(x, y, true);
        const auto R = static_cast<py::ssize_t>(d.R), m = static_cast<py::ssize_t>(nout_), n = p.shape(0);
        const py::ssize_t rows = R * m;
        if (n > 0 && rows > std::numeric_limits<py::ssize_t>::max() / static_cast<py::ssize_t>(sizeof(double)) / n)
            raise(PyExc_MemoryError, "the Jacobian of " + std::to_string(rows) + " terms by " + std::to_string(n) +
                                         " parameters does not fit in the address space");
        Array res({R, m});
        Array Jac({rows, n});
        call("velt_jacobian", [&] {
            return velt_jacobian(handle_, p.data(), n, d.X.data(), d.Y.data(), d.R, d.C, nout_, res.mutable_data(),
                                 Jac.mutable_data());
        });
        if (with_terms) return py::make_tuple(res, Jac);
        return std::move(Jac);
    }

    // U: (R, nout) (or (R,) with one output) gives one product, (m, R, nout) gives m.
    py::object vjp(py::handle params, py::handle u, py::handle x, py::handle y, bool with_terms) const {
        Array p = params_arg(params);
        Data d = data_arg(x, y, true);
        Array U = as_array(u, "U");
        const auto R = static_cast<py::ssize_t>(d.R), m = static_cast<py::ssize_t>(nout_);
        bool single = (U.ndim() == 2 && U.shape(0) == R && U.shape(1) == m) || (U.ndim() == 1 && m == 1 && U.shape(0) == R);
        bool stacked = U.ndim() == 3 && U.shape(1) == R && U.shape(2) == m;
        if (!single && !stacked)
            bad_value("U has shape " + shape_of(U) + " but the terms have shape (" + std::to_string(R) + ", " +
                      std::to_string(m) + "): expected (" + std::to_string(R) + ", " + std::to_string(m) + ") or (m, " +
                      std::to_string(R) + ", " + std::to_string(m) + ")");
        count(U.size(), "U");
        uint32_t nvec = single ? 1 : count(U.shape(0), "U");
        const py::ssize_t n = p.shape(0);
        count(std::size_t(nvec) * n, "the vector-Jacobian products");
        Array res({R, m});
        Array vJ = single ? Array(n) : Array({static_cast<py::ssize_t>(nvec), n});
        call(single ? "velt_vJ" : "velt_vJ_vec", [&] {
            return single ? velt_vJ(handle_, p.data(), n, U.data(), 1, d.X.data(), d.Y.data(), d.R, d.C, nout_,
                                    res.mutable_data(), vJ.mutable_data())
                          : velt_vJ_vec(handle_, p.data(), n, U.data(), nvec, d.X.data(), d.Y.data(), d.R, d.C, nout_,
                                        res.mutable_data(), vJ.mutable_data());
        });
        if (with_terms) return py::make_tuple(res, vJ);
        return std::move(vJ);
    }

    // X and Y after the checks every method makes, as 2-D C-contiguous float64 arrays.
    py::tuple prepare(py::handle x, py::handle y) const {
        Data d = data_arg(x, y, true);
        auto R = static_cast<py::ssize_t>(d.R);
        return py::make_tuple(d.X.reshape({R, static_cast<py::ssize_t>(d.C)}),
                              d.Y.reshape({R, static_cast<py::ssize_t>(nout_)}));
    }

private:
    std::string description_;
    void* handle_ = nullptr;
    uint64_t npar_ = 0;
    uint32_t nin_ = 0, nout_ = 0;
    int threads_ = 1, batch_ = 32;
};

}  // namespace

PYBIND11_MODULE(_veltn, m) {
    m.doc() = "Compiled core of veltn; use the veltn package.";

    if (velt_version_number() / 100 != VELTN_VERSION_NUMBER / 100)
        throw py::import_error(std::string("veltn was built for libveltn ") + VELTN_VERSION_STRING + " but loaded " +
                               velt_version_string());

    // Created once and kept for the life of the process.
    error_type = PyErr_NewExceptionWithDoc("veltn.Error", "A libveltn call failed (status -1).", PyExc_RuntimeError,
                                           nullptr);
    if (!error_type) throw py::error_already_set();
    py::tuple fpe_bases = py::make_tuple(py::handle(error_type), py::handle(PyExc_FloatingPointError));
    fpe_type = PyErr_NewExceptionWithDoc("veltn.FloatingPointEvent",
                                         "A floating-point event (invalid operation, division by zero or overflow) "
                                         "was raised during a libveltn call (status -2).",
                                         fpe_bases.ptr(), nullptr);
    if (!fpe_type) throw py::error_already_set();
    m.attr("Error") = py::handle(error_type);
    m.attr("FloatingPointEvent") = py::handle(fpe_type);

    velt_set_message_handler(hold_line, nullptr);

    m.attr("__version__") = VELTN_VERSION_STRING;
    m.def("library_version", [] { return std::string(velt_version_string()); },
          "Version string of the loaded libveltn (veltn.__version__ is the version the "
          "package was built for; their major and minor numbers agree).");

    py::class_<Network>(m, "Network", "A network built from a one-line description; see veltn.Network.")
        .def(py::init<std::string, int, int>(), py::arg("description"), py::arg("threads") = 1, py::arg("batch") = 32,
             "Builds the network from its description. threads (1 to 99999) OpenMP threads run row batches of "
             "batch rows each. A description the library refuses raises veltn.Error; library warnings (an "
             "unknown activation or norm, a missing norm) are logged on logger 'veltn' at WARNING.")
        .def_property_readonly("description", &Network::description, "The description the network was built from.")
        .def_property_readonly("n_params", &Network::n_params, "Length of the parameter vector.")
        .def_property_readonly("n_inputs", &Network::n_inputs, "Largest number of input columns X may have.")
        .def_property_readonly("n_outputs", &Network::n_outputs, "Number of outputs: the columns of Y.")
        .def_property_readonly("threads", &Network::threads, "OpenMP threads of one call.")
        .def_property_readonly("batch", &Network::batch, "Rows per batch.")
        .def_property_readonly("_address", &Network::address, "Address of the library handle (for tests).")
        .def("_layer_shapes", &Network::layer_shapes, py::arg("nlayers"),
             "Weight-matrix shapes (inputs, outputs) of the first nlayers layers.")
        .def("_prepare", &Network::prepare, py::arg("X"), py::arg("Y"),
             "X and Y after the checks every method makes, as 2-D C-contiguous float64 arrays.")
        .def("outputs", &Network::outputs, py::arg("params"), py::arg("X"),
             "The network's outputs for the R rows of X: (R, n_outputs).")
        .def(
            "residuals", [](Network const& n, py::handle p, py::handle x, py::handle y) { return n.elementwise(p, x, y, 0); },
            py::arg("params"), py::arg("X"), py::arg("Y"),
            "Outputs minus targets: (R, n_outputs).")
        .def(
            "terms", [](Network const& n, py::handle p, py::handle x, py::handle y) { return n.elementwise(p, x, y, 1); },
            py::arg("params"), py::arg("X"), py::arg("Y"),
            "The norm's term for each residual, (R, n_outputs); their "
            "mean is the objective.")
        .def("objective", &Network::objective, py::arg("params"), py::arg("X"), py::arg("Y"),
             "The objective (a float): the mean of the norm's terms over all R * n_outputs "
             "residuals.")
        .def("gradient", &Network::gradient, py::arg("params"), py::arg("X"), py::arg("Y"),
             "(J, g): the objective and its exact gradient (n,), from "
             "one reverse pass.")
        .def("hvp", &Network::hvp, py::arg("params"), py::arg("V"), py::arg("X"), py::arg("Y"), py::kw_only(),
             py::arg("with_gradient") = false,
             "Hessian-vector products of the objective: V (n,) gives "
             "(n,), V (k, n) gives (k, n), one direction per row. with_gradient=True returns (J, g, Hv) from the "
             "same call.")
        .def("hessian", &Network::hessian, py::arg("params"), py::arg("X"), py::arg("Y"), py::kw_only(),
             py::arg("with_gradient") = false,
             "The full Hessian (n, n), as the products with the "
             "identity (cost grows with n). with_gradient=True returns (J, g, H).")
        .def("gnvp", &Network::gnvp, py::arg("params"), py::arg("V"), py::arg("X"), py::arg("Y"), py::kw_only(),
             py::arg("with_gradient") = false,
             "Generalised Gauss-Newton products G v, G = J_F^T diag(phi''(r)) J_F / (R * n_outputs) with J_F "
             "the Jacobian of the outputs, in the layout of hvp. Positive semi-definite for sum_sq and "
             "sum_pseudo_huber, 0 for sum. with_gradient=True returns (J, g, Gv) from the same call.")
        .def("jacobian", &Network::jacobian, py::arg("params"), py::arg("X"), py::arg("Y"), py::kw_only(),
             py::arg("with_terms") = false,
             "The whole Jacobian of the norm's terms, (R * n_outputs, n), row i * n_outputs + o for the term "
             "of row i and output o, from one reverse sweep; it may hold 2^32 values or more (MemoryError if "
             "it does not fit). with_terms=True returns (terms, Jac).")
        .def("jvp", &Network::jvp, py::arg("params"), py::arg("V"), py::arg("X"), py::arg("Y"), py::kw_only(),
             py::arg("with_terms") = false,
             "Jacobian-vector products of the norm's terms: V (n,) "
             "gives (R, n_outputs), V (k, n) gives (k, R, n_outputs). with_terms=True returns (terms, Jv).")
        .def("vjp", &Network::vjp, py::arg("params"), py::arg("U"), py::arg("X"), py::arg("Y"), py::kw_only(),
             py::arg("with_terms") = false,
             "Vector-Jacobian products U^T J of the norm's terms: U "
             "(R, n_outputs) gives (n,), U (m, R, n_outputs) gives (m, n). with_terms=True returns (terms, vJ).");
}
