"""Parameter covariance of the M-estimator a network and its norm define, from the library's
Hessian, Gauss-Newton and Jacobian calls."""
import warnings

import numpy as np

from ._veltn import Error

__all__ = ["covariance", "norm_name"]

KINDS = ("sandwich", "hessian", "gauss_newton")
BREADS = ("hessian", "gauss_newton")
RCOND_MIN = 1e-12
MATRIX_NAMES = {"hessian": "the Hessian E*H", "gauss_newton": "the Gauss-Newton matrix E*G"}


def norm_name(description):
    """The norm named in a network description ("" when the description stops before it)."""
    fields = description.split()
    at = 5 + int(fields[2]) + 1
    return fields[at] if len(fields) > at else ""


def _inverse(B, which):
    """B^-1 for the symmetric bread B, refused below the reciprocal condition number 1e-12."""
    name = MATRIX_NAMES[which]
    if not np.all(np.isfinite(B)):
        raise Error(f"covariance: {name} has non-finite entries")
    B = 0.5 * (B + B.T)
    lam, Q = np.linalg.eigh(B)
    largest = np.max(np.abs(lam))
    rcond = np.min(np.abs(lam)) / largest if largest > 0 else 0.0
    if rcond < RCOND_MIN:
        raise Error(f"covariance: {name} is singular to working precision: reciprocal condition number "
                    f"{rcond:.3g} < {RCOND_MIN:g} (the norm 'sum' has G = 0; relu and id networks have "
                    f"scaling symmetries; more rows or other parameters may help)")
    if lam[0] < 0:
        warnings.warn(f"covariance: {name} is indefinite (smallest eigenvalue {lam[0]:.3g}, largest {lam[-1]:.3g}): "
                      f"params is not a minimum of the objective", RuntimeWarning, stacklevel=3)
    return (Q / lam) @ Q.T


def _more_rows_than_params(n, nw, what):
    if n <= nw:
        raise Error(f"covariance: {what} needs more than n_params = {nw} rows, got {n}")


def covariance(net, params, X, Y, kind="sandwich", *, bread="hessian", hc=None, cluster=None):
    """Covariance (n_params, n_params) of the parameters that minimise the sum of the terms.

    With E = rows * n_outputs, H the Hessian of the objective (a mean, so E*H is the Hessian of
    the sum), G its generalised Gauss-Newton matrix and s_i the gradient of sample i's terms (its
    n_outputs rows of the Jacobian summed):

      kind="sandwich"      B^-1 (sum_i s_i s_i^T) B^-1, valid for any norm, with the bread
                           B = E*H (bread="hessian") or E*G (bread="gauss_newton"; on "sum_sq"
                           this is R's sandwich() for an nls fit);
      kind="hessian"       (E*H)^-1: the inverse observed information when the terms are a
                           negative log-likelihood;
      kind="gauss_newton"  (E*G)^-1.
    On the norm "sum_sq" "hessian" and "gauss_newton" are multiplied by
    sigma^2 = sum r^2 / (E - n_params), the classical nonlinear least-squares covariance.

    The sandwich's meat, as R's sandwich package and statsmodels name it: hc="HC0" (the default)
    as above, or "HC1", times n / (n - n_params) with n the rows. cluster (one label per row)
    gives the cluster-robust meat sum_c (sum_{i in c} s_i)(sum_{i in c} s_i)^T, with the CR1
    factor C/(C - 1) * (n - 1)/(n - n_params) for C clusters (hc="HC1", the default with a
    cluster) or C/(C - 1) alone (hc="HC0"), as R's vcovCL with that type. hc and cluster are for
    the sandwich only.

    Raises veltn.Error when the matrix to invert has a reciprocal condition number below 1e-12
    (naming it; the norm "sum" has G = 0), when n <= n_params for HC1, CR1 or the sigma^2 of
    "sum_sq" (E <= n_params), or with fewer than 2 clusters; ValueError for bad arguments.
    A bread that is not positive definite (params is not a minimum) gives a RuntimeWarning.

    Networks of the activations "relu" and "id" have exact scaling symmetries: multiplying a
    hidden unit's incoming weights and bias by c > 0 and its outgoing weights by 1/c leaves the
    outputs unchanged (for "id" any c != 0, and more: any invertible mix of a layer's units).
    Their H and G are singular along those directions and their parameters have no covariance;
    only functions of the parameters that the symmetries leave unchanged (the outputs) do.
    """
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, KINDS))}, got {kind!r}")
    if bread not in BREADS:
        raise ValueError(f"bread must be one of {', '.join(map(repr, BREADS))}, got {bread!r}")
    if hc not in (None, "HC0", "HC1"):
        raise ValueError(f"hc must be 'HC0' or 'HC1', got {hc!r}")
    if kind != "sandwich" and (hc is not None or cluster is not None):
        raise ValueError(f"hc and cluster belong to the sandwich's meat, not to kind={kind!r}")
    X, Y = net._prepare(X, Y)
    nw = net.n_params
    p = np.asarray(params)
    if p.dtype.kind not in "fiub":
        raise TypeError(f"params must hold real numbers (float, int or bool), got an array of {p.dtype}")
    p = np.ascontiguousarray(p, dtype=np.float64)
    if p.shape != (nw,):
        raise ValueError(f"params has shape {p.shape} but the network has {nw} parameters: expected shape ({nw},)")
    n, nout = Y.shape
    if n == 0:
        raise ValueError("X and Y have no rows")
    E = n * nout
    sum_sq = norm_name(net.description) == "sum_sq"
    labels = None
    if kind == "sandwich":
        hc = hc or ("HC1" if cluster is not None else "HC0")
        if hc == "HC1":
            _more_rows_than_params(n, nw, "CR1" if cluster is not None else "HC1")
        if cluster is not None:
            labels = np.asarray(cluster)
            if labels.shape != (n,):
                raise ValueError(f"cluster has shape {labels.shape} but must hold one label per row: expected ({n},)")
            _, labels = np.unique(labels, return_inverse=True)
            if labels.max() < 1:
                raise Error("covariance: the cluster-robust form needs at least 2 clusters, got 1")
    elif sum_sq:
        _more_rows_than_params(E, nw, "sigma^2 of the norm 'sum_sq' (rows * n_outputs)")

    which = bread if kind == "sandwich" else kind
    if which == "hessian":
        B = net.hessian(p, X, Y)
    else:
        B = net.gnvp(p, np.eye(nw), X, Y)
    Binv = _inverse(E * B, which)
    if kind != "sandwich":
        if sum_sq:
            r = net.residuals(p, X, Y)
            Binv *= np.sum(r * r) / (E - nw)
        return Binv

    scores = net.jacobian(p, X, Y).reshape(n, nout, nw).sum(axis=1)
    if labels is None:
        meat = scores.T @ scores
        if hc == "HC1":
            meat *= n / (n - nw)
    else:
        C = labels.max() + 1
        sums = np.zeros((C, nw))
        np.add.at(sums, labels, scores)
        meat = sums.T @ sums
        meat *= C / (C - 1)
        if hc == "HC1":
            meat *= (n - 1) / (n - nw)
    V = Binv @ meat @ Binv
    return 0.5 * (V + V.T)
