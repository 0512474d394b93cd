#!/usr/bin/python3
"""Wall time per Jacobian inside scipy.optimize.least_squares(method="trf"), by two routes.

  jvp-identity  the Jacobian as n_params Jacobian-vector products with the identity as the
                directions (Network.jvp(p, eye(n), X, Y)), the route veltn.Problem.jacobian took
                before the library had the whole Jacobian
  jacobian      veltn.Problem.jacobian: velt_jacobian, one reverse sweep per batch

On the network M of the benchmark suite with the norm "sum" (16 inputs, 4 outputs, 5,508
parameters) and 512 rows, 1 thread. Each route runs least_squares for --nfev evaluations from
the same start, --rounds times, alternating; the table gives the minimum over rounds of the
median time per Jacobian call, the whole least_squares wall time, and the ratio of the two routes.

Usage: BUILD/venv/bin/python bench/least_squares.py [--rows 512] [--nfev 4] [--rounds 3]
       [--tr-solver lsmr|exact]
Run it with the Python of a virtual environment where the package is installed
(scripts/test.sh BUILD makes one in BUILD/venv).
"""
import argparse
import statistics
import time

import numpy as np
import scipy.optimize

import veltn

M = "16 4 3 1 32 16 64 64 softplus sum"


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def identity_route(net, X, Y):
    def jacobian(p):
        n = p.shape[0]
        return net.jvp(p, np.eye(n), X, Y).reshape(n, -1).T

    return jacobian


def timed(fn, times):
    def wrapper(p):
        t = time.perf_counter()
        out = fn(p)
        times.append(time.perf_counter() - t)
        return out

    return wrapper


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rows", type=int, default=512)
    ap.add_argument("--nfev", type=int, default=4)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--tr-solver", default="lsmr", choices=["lsmr", "exact"])
    args = ap.parse_args()

    net = veltn.Network(M, threads=1)
    rng = np.random.default_rng(7)
    X = rng.normal(size=(args.rows, net.n_inputs))
    Y = 0.5 * rng.normal(size=(args.rows, net.n_outputs))
    p0 = net.random_params(seed=7)
    prob = veltn.Problem(net, X, Y)
    routes = {"jvp-identity": identity_route(net, prob.X, prob.Y), "jacobian": prob.jacobian}
    # the two routes give the same matrix
    a, b = (route(p0) for route in routes.values())
    err = np.max(np.abs(a - b)) / np.max(np.abs(b))
    del a, b

    print(f"# load before: {loadavg()}")
    per_call = {name: [] for name in routes}
    wall = {name: [] for name in routes}
    for _ in range(args.rounds):
        for name, route in routes.items():
            times = []
            t = time.perf_counter()
            fit = scipy.optimize.least_squares(prob.residuals, p0, jac=timed(route, times), method="trf",
                                               tr_solver=args.tr_solver, max_nfev=args.nfev)
            wall[name].append(time.perf_counter() - t)
            per_call[name].append(statistics.median(times))
    print(f"# load after: {loadavg()}")
    print(f"# M with the norm sum, {args.rows} rows, {net.n_params} parameters, 1 thread; trf with "
          f"tr_solver={args.tr_solver}, {args.nfev} evaluations ({fit.njev} Jacobians) per run, "
          f"minimum of {args.rounds} rounds; the routes agree to {err:.1e} (relative)")
    print(f"{'route':14s} {'s per Jacobian':>15s} {'least_squares s':>16s}")
    for name in routes:
        print(f"{name:14s} {min(per_call[name]):15.4f} {min(wall[name]):16.3f}")
    old, new = min(per_call["jvp-identity"]), min(per_call["jacobian"])
    print(f"per Jacobian: {old / new:.1f}x less wall time with velt_jacobian")


if __name__ == "__main__":
    main()
