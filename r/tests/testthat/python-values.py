#!/usr/bin/python3
"""Writes python-values.R: the Python package's Jacobian, Gauss-Newton products and covariances on
fixed data, for test-jacobian.R. Matrices are stored times three fixed dense vectors W (a wrong
value, row or column shows in the product), to keep the file small.

Usage (with the package importable):  python3 python-values.py > python-values.R
"""
import warnings

import numpy as np

import veltn

DESCRIPTION, ROWS = "2 2 2 1 32 2 3 atan {}", 40
COVARIANCES = {"sandwich": {}, "sandwich_gn_hc1": {"bread": "gauss_newton", "hc": "HC1"},
               "cluster": {"cluster": np.arange(ROWS) % 5}, "hessian": {"kind": "hessian"},
               "gauss_newton": {"kind": "gauss_newton"}}


def r_matrix(a):
    a = np.atleast_2d(a)
    return f"matrix(c({', '.join(f'{v:.17g}' for v in a.ravel())}), {a.shape[0]}, {a.shape[1]}, byrow = TRUE)"


def main():
    # p is not a minimum and H may be indefinite there: the values are defined all the same
    warnings.filterwarnings("ignore", "covariance: .* is indefinite", RuntimeWarning)
    net = veltn.Network(DESCRIPTION.format("sum_pseudo_huber"))
    i, o = np.arange(ROWS)[:, None], np.arange(2)
    X = 1.5 * np.sin(1.3 * (i + 1) + 0.7 * o)
    p = 0.6 * np.sin(1.3 * np.arange(1, net.n_params + 1) + 0.2)
    Y = net.outputs(p, X) + 0.05 * np.cos(2.1 * (i + 1) + 1.1 * o)
    V = np.cos(0.3 * np.arange(2 * net.n_params)).reshape(2, net.n_params)
    W = np.sin(0.9 * np.arange(3 * net.n_params) + 0.4).reshape(net.n_params, 3)
    out = {"X": X, "Y": Y, "p": p, "V": V.T, "W": W, "cluster": COVARIANCES["cluster"]["cluster"]}
    for norm in ("pseudo_huber", "sq"):
        net = veltn.Network(DESCRIPTION.format("sum_" + norm))
        out["jacobian_" + norm] = net.jacobian(p, X, Y) @ W
        out["gnvp_" + norm] = net.gnvp(p, V, X, Y).T
        for name, kwargs in COVARIANCES.items():
            out[f"{name}_{norm}"] = veltn.covariance(net, p, X, Y, **kwargs) @ W
    print(f"# Written by python-values.py with veltn {veltn.__version__}; do not edit.")
    print(f'python_values <- list(\n  description = "{DESCRIPTION.format("%s")}",')
    print(",\n".join(f"  {k} = {r_matrix(v)}" for k, v in out.items()) + ")")


if __name__ == "__main__":
    main()
