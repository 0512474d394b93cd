#!/usr/bin/python3
"""What a call through the Python package costs on top of the same C call.

For each network (S and I of the benchmark suite) and each product (objective, gradient, hvp
with one direction), times many calls from C (build/bench/libveltn_call_timer.so, on the package's
own handle and arrays) and the same calls through veltn.Network, in alternating rounds, and prints
the medians and their difference, the added cost. A third column times a minimal ctypes binding
of the same library (argtypes set once, the same conversions and shape checks as the package, a
status check), the alternative to the compiled extension.

Usage: BUILD/venv/bin/python bench/python_overhead.py BUILD [--nets S,I] [--reps N] [--rounds N]
Run it with the Python of a virtual environment where the package is installed
(scripts/test.sh BUILD makes one in BUILD/venv).
"""
import argparse
import ctypes
import statistics
import sys
import time

import numpy as np

import veltn

NETS = {
    "S": ("3 1 3 1 16 3 8 8 softplus sum", 100),
    "I": ("8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", 1000),
}

u32 = ctypes.c_uint32
ptr = ctypes.c_void_p


class CtypesBinding:
    """The thinnest ctypes binding that still converts, checks shapes and raises on failure."""

    def __init__(self, net):
        lib = ctypes.CDLL("libveltn.so.0")  # already loaded by the package: the same library
        lib.velt_obj.argtypes = [ptr, ptr, u32, ptr, ptr, u32, u32, u32, ptr]
        lib.velt_g.argtypes = [ptr, ptr, u32, ptr, ptr, u32, u32, u32, ptr, ptr]
        lib.velt_Hv.argtypes = [ptr, ptr, u32, ptr, u32, ptr, ptr, u32, u32, u32, ptr, ptr, ptr]
        lib.velt_last_error.restype = ctypes.c_char_p
        self.lib, self.h = lib, net._address
        self.npar, self.nin, self.nout = net.n_params, net.n_inputs, net.n_outputs

    def _args(self, p, X, Y):
        p = np.ascontiguousarray(p, dtype=np.float64)
        X = np.ascontiguousarray(X, dtype=np.float64)
        Y = np.ascontiguousarray(Y, dtype=np.float64)
        if p.ndim != 1 or p.shape[0] < self.npar:
            raise ValueError(f"params has shape {p.shape}")
        if X.ndim != 2 or X.shape[1] > self.nin:
            raise ValueError(f"X has shape {X.shape}")
        if Y.ndim != 2 or Y.shape != (X.shape[0], self.nout):
            raise ValueError(f"Y has shape {Y.shape}, X {X.shape}")
        return p, X, Y

    def _check(self, status):
        if status != 0:
            raise RuntimeError(self.lib.velt_last_error().decode())

    def objective(self, p, X, Y):
        p, X, Y = self._args(p, X, Y)
        J = ctypes.c_double()
        self._check(self.lib.velt_obj(self.h, p.ctypes.data, p.shape[0], X.ctypes.data, Y.ctypes.data,
                                      X.shape[0], X.shape[1], self.nout, ctypes.byref(J)))
        return J.value

    def gradient(self, p, X, Y):
        p, X, Y = self._args(p, X, Y)
        J = ctypes.c_double()
        g = np.empty(p.shape[0])
        self._check(self.lib.velt_g(self.h, p.ctypes.data, p.shape[0], X.ctypes.data, Y.ctypes.data,
                                    X.shape[0], X.shape[1], self.nout, ctypes.byref(J), g.ctypes.data))
        return J.value, g

    def hvp(self, p, v, X, Y):
        p, X, Y = self._args(p, X, Y)
        v = np.ascontiguousarray(v, dtype=np.float64)
        if v.shape != p.shape:
            raise ValueError(f"V has shape {v.shape}")
        J = ctypes.c_double()
        g = np.empty(p.shape[0])
        Hv = np.empty(p.shape[0])
        self._check(self.lib.velt_Hv(self.h, p.ctypes.data, p.shape[0], v.ctypes.data, 1, X.ctypes.data,
                                     Y.ctypes.data, X.shape[0], X.shape[1], self.nout, ctypes.byref(J),
                                     g.ctypes.data, Hv.ctypes.data))
        return Hv


def libveltn_copies():
    with open("/proc/self/maps") as f:
        return {line.split()[-1] for line in f if "libveltn.so" in line}


def time_python(f, reps):
    ts = np.empty(reps)
    clock = time.perf_counter_ns
    for i in range(reps):
        t0 = clock()
        f()
        ts[i] = clock() - t0
    return ts


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("--nets", default="S,I")
    ap.add_argument("--reps", type=int, default=2000, help="calls per round")
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()

    timer = ctypes.CDLL(f"{args.build}/bench/libveltn_call_timer.so")
    timer.vct_time_calls.argtypes = [ptr, ctypes.c_int, ptr, u32, ptr, u32, ptr, ptr, u32, u32, u32, ctypes.c_int, ptr]
    timer.vct_clock_cost.argtypes = [ctypes.c_int, ptr]
    copies = libveltn_copies()
    if len(copies) != 1:
        sys.exit(f"expected one libveltn in the process, found {sorted(copies)}")

    # The cost of the clock readings themselves, taken off each side.
    c_clock = np.empty(args.reps)
    timer.vct_clock_cost(args.reps, c_clock.ctypes.data)
    c_clock = float(np.median(c_clock))
    py_clock = float(np.median(time_python(lambda: None, args.reps)))

    print(f"library {veltn.library_version()} from {copies.pop()}")
    print(f"median of {args.rounds} x {args.reps} calls, 1 thread, microseconds; added = package - C")
    print(f"{'net':4} {'product':10} {'C':>9} {'package':>9} {'added':>7} {'ctypes added':>13}")
    for name in args.nets.split(","):
        description, rows = NETS[name]
        net = veltn.Network(description)
        rng = np.random.default_rng(7)
        p = rng.normal(0.0, 1.0 / np.sqrt(4.0 * net.n_inputs), net.n_params)
        X = rng.normal(size=(rows, net.n_inputs))
        Y = 0.5 * rng.normal(size=(rows, net.n_outputs))
        v = np.sin(0.37 * np.arange(net.n_params) + 1.0)
        ct = CtypesBinding(net)
        products = {
            "objective": (0, lambda: net.objective(p, X, Y), lambda: ct.objective(p, X, Y)),
            "gradient": (1, lambda: net.gradient(p, X, Y), lambda: ct.gradient(p, X, Y)),
            "hvp": (2, lambda: net.hvp(p, v, X, Y), lambda: ct.hvp(p, v, X, Y)),
        }
        for product, (which, through_package, through_ctypes) in products.items():
            c_all, py_all, ct_all = [], [], []
            ns = np.empty(args.reps)
            for _ in range(args.rounds):
                status = timer.vct_time_calls(net._address, which, p.ctypes.data, net.n_params, v.ctypes.data, 1,
                                              X.ctypes.data, Y.ctypes.data, rows, net.n_inputs, net.n_outputs,
                                              args.reps, ns.ctypes.data)
                if status != 0:
                    sys.exit(f"{product} on {name}: status {status}")
                c_all.append(ns - c_clock)
                py_all.append(time_python(through_package, args.reps) - py_clock)
                ct_all.append(time_python(through_ctypes, args.reps) - py_clock)
            c, py, ctp = (float(np.median(np.concatenate(a))) / 1e3 for a in (c_all, py_all, ct_all))
            print(f"{name:4} {product:10} {c:9.2f} {py:9.2f} {py - c:7.2f} {ctp - c:13.2f}")
        del net


if __name__ == "__main__":
    main()
