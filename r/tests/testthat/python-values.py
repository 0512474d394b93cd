#!/usr/bin/python3
"""Writes python-values.R: the Python package's Jacobian, Gauss-Newton products and covariances
on fixed data, which test-jacobian.R compares with the R package's. The matrices are stored
multiplied by three fixed dense vectors W (any difference in a value, a row or a column shows
in the product), to keep the file small.

Usage (from a checkout, with the package importable):  python3 python-values.py > python-values.R
"""
import warnings

import numpy as np

import veltn

DESCRIPTION = "2 2 2 1 32 2 3 atan {}"
ROWS = 40


def r_vector(a):
    return "c(" + ", ".join(f"{v:.17g}" for v in np.ravel(a)) + ")"


def r_matrix(a):
    """An R matrix with the same rows and columns (filled by row)."""
    a = np.atleast_2d(a)
    return f"matrix({r_vector(a)}, {a.shape[0]}, {a.shape[1]}, byrow = TRUE)"


def main():
    warnings.simplefilter("error")
    # p is not a minimum of either norm, and H may be indefinite there: the values are still defined
    warnings.filterwarnings("ignore", "covariance: .* is indefinite", RuntimeWarning)
    net = veltn.Network(DESCRIPTION.format("sum_pseudo_huber"))
    i = np.arange(ROWS)[:, None]
    X = 1.5 * np.sin(1.3 * (i + 1) + 0.7 * np.arange(2))
    p = 0.6 * np.sin(1.3 * np.arange(1, net.n_params + 1) + 0.2)
    Y = net.outputs(p, X) + 0.05 * np.cos(2.1 * (i + 1) + 1.1 * np.arange(2))
    V = np.cos(0.3 * np.arange(2 * net.n_params)).reshape(2, net.n_params)
    cluster = np.arange(ROWS) % 5
    W = np.sin(0.9 * np.arange(3 * net.n_params) + 0.4).reshape(net.n_params, 3)
    out = {"description": f'"{DESCRIPTION.format("%s")}"', "X": r_matrix(X), "Y": r_matrix(Y), "p": r_vector(p),
           "V": r_matrix(V.T), "W": r_matrix(W),
           "cluster": r_vector(cluster)}
    for norm in ("sum_pseudo_huber", "sum_sq"):
        net = veltn.Network(DESCRIPTION.format(norm))
        key = norm.replace("sum_", "")
        out[f"jacobian_{key}"] = r_matrix(net.jacobian(p, X, Y) @ W)
        out[f"gnvp_{key}"] = r_matrix(net.gnvp(p, V, X, Y).T)
        cases = {"sandwich": {}, "sandwich_gn_hc1": {"bread": "gauss_newton", "hc": "HC1"},
                 "cluster": {"cluster": cluster}, "hessian": {"kind": "hessian"},
                 "gauss_newton": {"kind": "gauss_newton"}}
        for name, kwargs in cases.items():
            out[f"{name}_{key}"] = r_matrix(veltn.covariance(net, p, X, Y, **kwargs) @ W)
    print("# Written by python-values.py from the Python package (veltn " + veltn.__version__ + "); do not edit.")
    print("python_values <- list(")
    print(",\n".join(f"  {k} = {v}" for k, v in out.items()))
    print(")")


if __name__ == "__main__":
    main()
