"""Small dense feed-forward networks with exact derivatives, from NumPy.

    net = veltn.Network("2 1 3 1 32 2 8 8 atan sum")
    p = net.random_params(seed=0)
    J, g = net.gradient(p, X, Y)

Every method takes the parameter vector first, then the directions or weights if any, then the
inputs X (rows, inputs) and the targets Y (rows, outputs). Any array-like of real numbers (float,
int or bool) is accepted and converted to C-contiguous float64 once; X may be 1-D when the
network has one input, Y when it has one output. Types and shapes are checked before the library
is called: complex, object and string arrays raise TypeError, wrong shapes ValueError, each
naming the argument. A failed library call raises veltn.Error with the library's message, a
floating-point event (NaN or overflow in the inputs, say) raises veltn.FloatingPointEvent.

The library's own lines go to the logging logger "veltn": its warnings (an unknown activation or
norm, a missing norm, any line on standard error) at WARNING, the INFO build line and NN_TRACE
timings at INFO, and the message of a failure that is raised at DEBUG. The "Error: " or
"Warning: " tag the library puts in front of a line is left out, since the exception class or
the level says it. The GIL is released during library calls: distinct Networks may be used
from several threads at once.

Directions are rows of V and of the results, (k, n_params), whatever the library's process-wide
storage-order flag holds: the package reads the flag at each call and never changes it.
"""
import warnings as _warnings

import numpy as _np

from ._veltn import Error, FloatingPointEvent, library_version
from ._veltn import Network as _Network
from ._veltn import __version__
from ._covariance import covariance, norm_name as _norm_name

__all__ = ["Network", "Problem", "covariance", "Error", "FloatingPointEvent", "library_version"]


def _real_params(p):
    """p as a float64 array, refused with TypeError (as the Network methods do) unless it holds
    real numbers: a complex p would otherwise lose its imaginary part here with only a warning."""
    a = _np.asarray(p)
    if a.dtype.kind not in "fiub":
        raise TypeError(f"p must hold real numbers (float, int or bool), got an array of {a.dtype}")
    return _np.ascontiguousarray(a, dtype=_np.float64)


class Network(_Network):
    """A network built from a one-line description (see the libveltn README).

    Network(description, threads=1, batch=32): `threads` OpenMP threads run the row batches of
    `batch` rows each.

    Arrays may be any array-like of real numbers; complex, object and string arrays raise
    TypeError and wrong shapes ValueError, naming the argument, before the library is called.

    Attributes: description, n_params, n_inputs, n_outputs, threads, batch, layer_shapes.

    Methods (params has n_params values; n below is len(params)):
      outputs(params, X)          -> (R, n_outputs)
      residuals(params, X, Y)     -> (R, n_outputs), outputs minus targets
      terms(params, X, Y)         -> (R, n_outputs), the norm's per-element terms
      objective(params, X, Y)     -> float, the mean of the terms
      gradient(params, X, Y)      -> (J, g)
      hvp(params, V, X, Y)        V (n,) -> (n,); V (k, n) -> (k, n)
      hessian(params, X, Y)       -> (n, n)
      gnvp(params, V, X, Y)       generalised Gauss-Newton products G v, in the layout of hvp
      jacobian(params, X, Y)      -> (R * n_outputs, n), the Jacobian of the terms, row i * n_outputs + o
      jvp(params, V, X, Y)        V (n,) -> (R, n_outputs); V (k, n) -> (k, R, n_outputs)
      vjp(params, U, X, Y)        U (R, n_outputs) -> (n,); U (m, R, n_outputs) -> (m, n)
    hvp, gnvp and hessian take with_gradient=True to return (J, g, result); jacobian, jvp and vjp
    take with_terms=True to return (terms, result), from the same library call.

    G = J_F^T diag(phi''(r)) J_F / (R * n_outputs), with J_F the Jacobian of the outputs and phi''
    the norm's second derivative: positive semi-definite for "sum_sq" and "sum_pseudo_huber", 0 for
    "sum", and indefinite in the tails of "sum_log_dnorm_fat". It equals the Hessian where every
    residual has phi'(r) = 0 (zero residuals on "sum_sq"). The Jacobian may hold 2^32 values or
    more; one that does not fit in memory raises MemoryError.
    """

    __slots__ = ()

    @property
    def layer_shapes(self):
        """Weight-matrix shapes (inputs, outputs) of the layers in parameter order; each layer's
        bias (one value per output) comes before its weights."""
        return self._layer_shapes(int(self.description.split()[2]))

    def random_params(self, seed=None, scale=1.0):
        """A starting point: biases 0, weights normal with variance scale / (layer inputs)."""
        rng = _np.random.default_rng(seed)
        parts = []
        for rows, cols in self.layer_shapes:
            parts.append(_np.zeros(cols))
            parts.append(rng.normal(0.0, _np.sqrt(scale / rows), size=rows * cols))
        return _np.concatenate(parts)

    def __repr__(self):
        return f"veltn.Network({self.description!r}, threads={self.threads}, batch={self.batch})"


class Problem:
    """One data set on one network, in the form scipy.optimize wants:

        prob = veltn.Problem(net, X, Y)
        scipy.optimize.minimize(prob.fun, p0, jac=prob.jac, hessp=prob.hessp, method="trust-krylov")
        scipy.optimize.minimize(prob.fun, p0, jac=prob.jac, hessp=prob.gnp, method="trust-krylov")
        scipy.optimize.least_squares(prob.residuals, p0, jac=prob.jacobian)   # norm "sum"

    fun(p) and jac(p) at the same p share one gradient call; hessp(p, v) and gnp(p, v) (the
    Gauss-Newton product, positive semi-definite on the convex norms) also return the objective
    and gradient, which later fun/jac calls at p reuse.

    The least-squares pair: residuals(p) are the norm's terms flattened to (R * n_outputs,), term
    (i, o) at i * n_outputs + o, and jacobian(p) their Jacobian (R * n_outputs, n) with its rows
    in the same order, from one reverse sweep. With the norm "sum" the terms are the residuals
    F - Y, which is what least_squares and Levenberg-Marquardt take; on any other norm the first
    call warns (a "sum_sq" network would hand the solver r^2/2, which it squares again).
    X and Y are checked and copied once.

    scale multiplies fun, jac, hessp, gnp and hess (not the least-squares pair). The objective is
    a mean; scale=len(Y) (times the
    outputs) minimizes the sum of the terms instead, which suits optimisers with absolute
    tolerances: SciPy's trust-krylov, for one, stops early ("A bad approximation caused failure to
    predict improvement") when the objective and its curvature are small.
    """

    def __init__(self, net, X, Y, scale=1.0):
        self.net = net
        self.scale = float(scale)
        X, Y = net._prepare(X, Y)
        self.X = _np.array(X, dtype=_np.float64, order="C", copy=True)
        self.Y = _np.array(Y, dtype=_np.float64, order="C", copy=True)
        self.X.flags.writeable = False
        self.Y.flags.writeable = False
        self._p = None
        self._J = None
        self._g = None
        self._least_squares_checked = False

    @property
    def n_params(self):
        """Length of the parameter vector of the problem's network."""
        return self.net.n_params

    def _cached(self, p):
        return self._p is not None and p.shape == self._p.shape and _np.array_equal(p, self._p)

    def _store(self, p, J, g):
        self._p = _np.array(p, copy=True)
        self._J = J
        self._g = g

    def _evaluate(self, p):
        p = _real_params(p)
        if not self._cached(p):
            J, g = self.net.gradient(p, self.X, self.Y)
            self._store(p, J, g)

    def fun(self, p):
        """The objective at p (a float)."""
        self._evaluate(p)
        return self.scale * self._J

    def jac(self, p):
        """The gradient at p, shape (n,)."""
        self._evaluate(p)
        return self.scale * self._g

    def hessp(self, p, v):
        """The Hessian at p times v, shape (n,)."""
        p = _real_params(p)
        J, g, Hv = self.net.hvp(p, v, self.X, self.Y, with_gradient=True)
        self._store(p, J, g)
        return self.scale * Hv

    def gnp(self, p, v):
        """The generalised Gauss-Newton matrix at p times v, shape (n,): SciPy's hessp slot."""
        p = _real_params(p)
        J, g, Gv = self.net.gnvp(p, v, self.X, self.Y, with_gradient=True)
        self._store(p, J, g)
        return self.scale * Gv

    def hess(self, p):
        """The Hessian at p, shape (n, n)."""
        p = _real_params(p)
        J, g, H = self.net.hessian(p, self.X, self.Y, with_gradient=True)
        self._store(p, J, g)
        return self.scale * H

    def _check_least_squares(self):
        if self._least_squares_checked:
            return
        self._least_squares_checked = True
        norm = _norm_name(self.net.description)
        if norm != "sum":
            _warnings.warn(f"veltn.Problem: residuals and jacobian are the terms of the norm {norm!r}, not residuals; "
                          f"least-squares solvers square what they are given, so build the network with the norm "
                          f"'sum' for them", UserWarning, stacklevel=3)

    def residuals(self, p):
        """The per-element terms at p, shape (R * n_outputs,): the residuals F - Y for the norm "sum"."""
        self._check_least_squares()
        return self.net.terms(p, self.X, self.Y).reshape(-1)

    def jacobian(self, p):
        """The Jacobian of the terms at p, shape (R * n_outputs, n), rows in the order of residuals(p)."""
        self._check_least_squares()
        return self.net.jacobian(p, self.X, self.Y)
