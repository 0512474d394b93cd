#!/usr/bin/env python3
"""Fits a small network to a generated regression problem (2 inputs, 1 output, 300 rows) four
ways and compares them: scipy.optimize.minimize(method="trust-krylov") on the norm "sum_sq" (the
mean of r^2/2) with exact gradients and either Hessian-vector products (hessp=prob.hessp) or
Gauss-Newton products (hessp=prob.gnp), and scipy.optimize.least_squares with method "lm" and
"trf" on the residuals of the norm "sum" and their Jacobian (prob.jacobian, one reverse sweep).
Prints iterations, derivative calls, wall time, the objective and the final gradient norm of each,
and draws the data against the fitted surface and the objective against the iteration.

Usage: python3 examples/fit.py [OUT.png]     (writes fit.png by default)
"""
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import scipy.optimize  # noqa: E402

import veltn  # noqa: E402

LAYERS = "2 1 2 1 32 2 3 atan"  # 2 inputs, 1 output, 3 hidden units, atan everywhere: 13 parameters


def surface(x1, x2):
    return 0.8 * np.sin(x1) * np.cos(0.5 * x2)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "fit.png"
    rng = np.random.default_rng(0)
    X = rng.uniform(-2.0, 2.0, size=(300, 2))
    Y = surface(X[:, 0], X[:, 1]) + 0.05 * rng.normal(size=300)
    fits = {}
    rows = []  # method, iterations, derivative calls, seconds, objective, |gradient|

    # Newton-type: trust-krylov on the sum of the terms r^2/2 (scale = rows; see veltn.Problem),
    # with the Hessian and with its positive semi-definite Gauss-Newton part as the curvature.
    # gtol 1e-8: asked for less, SciPy's Krylov subproblem solver can hand back a NaN direction
    # once the gradient is that small.
    net = veltn.Network(LAYERS + " sum_sq")
    p0 = net.random_params(seed=3)
    try:
        net.objective(p0, X, Y)
    except veltn.Error as e:
        print(f"trust-krylov skipped: this libveltn does not know the norm sum_sq ({e})")
    else:
        for curvature in ("hessp", "gnp"):
            prob = veltn.Problem(net, X, Y, scale=len(Y))
            history = [prob.fun(p0) / len(Y)]
            t = time.perf_counter()
            res = scipy.optimize.minimize(prob.fun, p0, jac=prob.jac, hessp=getattr(prob, curvature),
                                          method="trust-krylov",
                                          callback=lambda p: history.append(prob.fun(p) / len(Y)),
                                          options={"gtol": 1e-8, "maxiter": 500})
            seconds = time.perf_counter() - t
            g = net.gradient(res.x, X, Y)[1]
            rows.append((f"trust-krylov, hessp=prob.{curvature}", res.nit, f"{res.nhev} products", seconds,
                         res.fun / len(Y), np.linalg.norm(g)))
            fits[f"trust-krylov ({curvature}), sum_sq"] = (net, res.x, history)

    # Gauss-Newton type: least_squares on the residuals and their Jacobian; its cost 0.5 |r|^2
    # over the rows is the same quantity as the sum_sq objective above.
    net_ls = veltn.Network(LAYERS + " sum")
    lsq = veltn.Problem(net_ls, X, Y)
    for method in ("lm", "trf"):
        costs = []

        def residuals(p):
            r = lsq.residuals(p)
            costs.append(0.5 * np.mean(r * r))
            return r

        t = time.perf_counter()
        fit = scipy.optimize.least_squares(residuals, p0, jac=lsq.jacobian, method=method, xtol=1e-12, ftol=1e-12,
                                           gtol=1e-10, max_nfev=500)
        seconds = time.perf_counter() - t
        grad = net_ls.vjp(fit.x, fit.fun, X, Y) / len(Y)  # gradient of the mean of r^2/2
        rows.append((f"least_squares, method={method!r}", fit.nfev, f"{fit.njev} Jacobians", seconds,
                     fit.cost / len(Y), np.linalg.norm(grad)))
        fits[f"least_squares ({method}), sum"] = (net_ls, fit.x, costs)

    print(f"{'method':36s} {'iterations':>10s} {'derivatives':>14s} {'seconds':>8s} {'objective':>11s} "
          f"{'|gradient|':>10s}")
    for name, its, calls, seconds, objective, gnorm in rows:
        print(f"{name:36s} {its:10d} {calls:>14s} {seconds:8.3f} {objective:11.6g} {gnorm:10.2e}")
    print("(least_squares: iterations are residual evaluations)")

    fig = plt.figure(figsize=(11, 4.5))
    ax = fig.add_subplot(1, 2, 1, projection="3d")
    g1, g2 = np.meshgrid(np.linspace(-2, 2, 41), np.linspace(-2, 2, 41))
    label, (fnet, p, _) = next(iter(fits.items()))
    F = fnet.outputs(p, np.column_stack([g1.ravel(), g2.ravel()])).reshape(g1.shape)
    ax.plot_surface(g1, g2, F, cmap="viridis", alpha=0.6, linewidth=0)
    ax.scatter(X[:, 0], X[:, 1], Y, s=6, c="k", depthshade=False)
    ax.set(xlabel="x1", ylabel="x2", zlabel="y", title=f"data and the fitted surface ({label})")
    ax = fig.add_subplot(1, 2, 2)
    for name, (_, _, hist) in fits.items():
        ax.semilogy(np.arange(len(hist)), hist, marker=".", label=name)
    ax.set(xlabel="iteration (least_squares: evaluation)", ylabel="mean of r^2/2", title="objective")
    ax.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=90)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
