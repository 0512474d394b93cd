#!/usr/bin/env python3
"""Fits a small network to a generated regression problem (2 inputs, 1 output, 300 rows) twice:
with scipy.optimize.minimize(method="trust-krylov") on the norm "sum_sq" (the mean of r^2/2),
using exact gradients and Hessian-vector products, and with scipy.optimize.least_squares on the
residuals of the norm "sum". Prints the iterations and the final gradient norms and draws the
data against the fitted surface and the objective against the iteration.

Usage: python3 examples/fit.py [OUT.png]     (writes fit.png by default)
"""
import sys

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

    # Newton-type: trust-krylov on the sum of the terms r^2/2 (scale = rows; see veltn.Problem).
    net = veltn.Network(LAYERS + " sum_sq")
    prob = veltn.Problem(net, X, Y, scale=len(Y))
    p0 = net.random_params(seed=3)
    try:
        history = [prob.fun(p0) / len(Y)]
    except veltn.Error as e:
        print(f"trust-krylov skipped: this libveltn does not know the norm sum_sq ({e})")
    else:
        res = scipy.optimize.minimize(prob.fun, p0, jac=prob.jac, hessp=prob.hessp, method="trust-krylov",
                                      callback=lambda p: history.append(prob.fun(p) / len(Y)),
                                      options={"gtol": 1e-9, "maxiter": 500})
        g = net.gradient(res.x, X, Y)[1]
        print(f"trust-krylov on sum_sq: {res.nit} iterations, {res.nfev} objective and {res.nhev} Hessian-vector "
              f"calls, objective {res.fun / len(Y):.6g}, |gradient| {np.linalg.norm(g):.2e}")
        fits["trust-krylov, sum_sq"] = (net, res.x, history)

    # Gauss-Newton type: least_squares on the residuals; its cost 0.5 |r|^2 over the rows is the
    # same quantity as the sum_sq objective above.
    net_ls = veltn.Network(LAYERS + " sum")
    lsq = veltn.Problem(net_ls, X, Y)
    costs = []

    def residuals(p):
        r = lsq.residuals(p)
        costs.append(0.5 * np.mean(r * r))
        return r

    fit = scipy.optimize.least_squares(residuals, p0, jac=lsq.jacobian, xtol=1e-12, ftol=1e-12, gtol=1e-10,
                                       max_nfev=500)
    grad = net_ls.vjp(fit.x, fit.fun, X, Y) / len(Y)  # gradient of the mean of r^2/2
    print(f"least_squares on sum: {fit.nfev} residual and {fit.njev} Jacobian evaluations, "
          f"objective {fit.cost / len(Y):.6g}, |gradient| {np.linalg.norm(grad):.2e}")
    fits["least_squares, sum"] = (net_ls, fit.x, costs)

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
