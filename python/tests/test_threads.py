"""Distinct networks used from two threads give the single-threaded results."""
import threading

import numpy as np
import pytest

import veltn
from conftest import NETS, make_data


def run_in_threads(jobs):
    """Runs each job in its own thread, all released at once; returns their results."""
    barrier = threading.Barrier(len(jobs))
    results, errors = [None] * len(jobs), []

    def worker(i, job):
        try:
            barrier.wait()
            results[i] = job()
        except BaseException as e:  # reported below, in the test's thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i, j)) for i, j in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert errors == []
    return results


def networks():
    out = []
    for name in ("S", "F"):
        description, rows = NETS[name]
        net = veltn.Network(description)
        out.append((net, *make_data(net, 4 * rows, seed=len(out))))
    return out


def test_gradient_and_objective_from_two_threads_match_one_thread():
    nets = networks()
    expected = [(net.objective(p, X, Y), net.gradient(p, X, Y)) for net, p, X, Y in nets]

    def job(net, p, X, Y):
        return [(net.objective(p, X, Y), net.gradient(p, X, Y)) for _ in range(200)]

    for (J0, (Jg0, g0)), runs in zip(expected, run_in_threads([lambda a=a: job(*a) for a in nets])):
        for J, (Jg, g) in runs:
            assert J == J0 and Jg == Jg0
            np.testing.assert_array_equal(g, g0)


def test_hvp_with_different_direction_counts_from_two_threads():
    nets = networks()
    ks = [1, 5]
    Vs = [np.random.default_rng(k).normal(size=(k, p.size)) for k, (net, p, X, Y) in zip(ks, nets)]
    expected = [net.hvp(p, V, X, Y) for (net, p, X, Y), V in zip(nets, Vs)]

    def job(net, p, X, Y, V):
        return [net.hvp(p, V, X, Y) for _ in range(100)]

    jobs = [lambda a=a, V=V: job(*a, V) for a, V in zip(nets, Vs)]
    for Hv0, runs in zip(expected, run_in_threads(jobs)):
        for Hv in runs:
            np.testing.assert_array_equal(Hv, Hv0)
