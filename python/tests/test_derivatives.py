"""Derivatives checked through independent routes: central differences of the objective, the
gradient and the terms, and the adjoint identity between jvp and vjp."""
import numpy as np
import pytest

import veltn
from conftest import central


def directions(n, k, seed=11):
    return np.random.default_rng(seed).normal(size=(k, n))


def test_gradient_matches_central_differences(problem):
    net, p, X, Y = problem
    J, g = net.gradient(p, X, Y)
    assert J == pytest.approx(net.objective(p, X, Y), rel=1e-12)
    fd = np.array([central(lambda q: net.objective(q, X, Y), p, e) for e in np.eye(p.size)])
    np.testing.assert_allclose(g, fd, rtol=1e-6, atol=1e-9)


def test_hvp_matches_central_differences_of_the_gradient(problem):
    net, p, X, Y = problem
    V = directions(p.size, 3)
    Hv = net.hvp(p, V, X, Y)
    assert Hv.shape == (3, p.size)
    for v, hv in zip(V, Hv):
        fd = central(lambda q: net.gradient(q, X, Y)[1], p, v)
        np.testing.assert_allclose(hv, fd, rtol=1e-5, atol=1e-8)
        # one direction at a time gives the same as all at once
        np.testing.assert_allclose(net.hvp(p, v, X, Y), hv, rtol=1e-12, atol=1e-14)


def test_hessian_equals_stacked_hvp_and_is_symmetric(problem):
    net, p, X, Y = problem
    H = net.hessian(p, X, Y)
    assert H.shape == (p.size, p.size)
    V = directions(p.size, 4)
    np.testing.assert_allclose(V @ H.T, net.hvp(p, V, X, Y), rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(H, H.T, rtol=1e-9, atol=1e-12)
    J, g, H2 = net.hessian(p, X, Y, with_gradient=True)
    J0, g0 = net.gradient(p, X, Y)
    np.testing.assert_allclose(g, g0, rtol=1e-12, atol=1e-15)
    assert J == pytest.approx(J0, rel=1e-12)


def test_jvp_matches_central_differences_of_the_terms(problem):
    net, p, X, Y = problem
    V = directions(p.size, 2)
    Jv = net.jvp(p, V, X, Y)
    assert Jv.shape == (2, X.shape[0], net.n_outputs)
    for v, jv in zip(V, Jv):
        np.testing.assert_allclose(jv, central(lambda q: net.terms(q, X, Y), p, v), rtol=1e-5, atol=1e-8)
    terms, jv0 = net.jvp(p, V[0], X, Y, with_terms=True)
    np.testing.assert_allclose(terms, net.terms(p, X, Y), rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(jv0, Jv[0], rtol=1e-12, atol=1e-14)


def test_vjp_and_jvp_satisfy_the_adjoint_identity(problem):
    net, p, X, Y = problem
    rng = np.random.default_rng(5)
    V = directions(p.size, 3)
    U = rng.normal(size=(4, X.shape[0], net.n_outputs))
    Jv = net.jvp(p, V, X, Y)           # (k, R, m)
    UJ = net.vjp(p, U, X, Y)           # (m', n)
    assert UJ.shape == (4, p.size)
    # u . (J v) = (U^T J) . v for every pair
    np.testing.assert_allclose(np.einsum("arm,brm->ab", U, Jv), UJ @ V.T, rtol=1e-9, atol=1e-11)
    for u, uj in zip(U, UJ):
        terms, single = net.vjp(p, u, X, Y, with_terms=True)
        np.testing.assert_allclose(single, uj, rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(terms, net.terms(p, X, Y), rtol=1e-12, atol=1e-15)


def test_id_network_has_the_closed_form_outputs_and_gradient():
    # "2 1 2 1 32 2 1 id sum": h = x W0 + b0 (2 -> 1), F = h W1 + b1; parameters b0, W0 (2), b1, W1.
    net = veltn.Network("2 1 2 1 32 2 1 id sum")
    assert net.n_params == 5 and net.layer_shapes == [(2, 1), (1, 1)]
    b0, w00, w01, b1, w1 = p = np.array([0.3, -1.2, 0.7, 0.1, 2.0])
    X = np.array([[1.0, 2.0], [-0.5, 0.25], [3.0, -1.0]])
    Y = np.array([0.5, -1.0, 2.0])
    h = X @ np.array([w00, w01]) + b0
    np.testing.assert_allclose(net.outputs(p, X)[:, 0], h * w1 + b1, rtol=1e-14)
    # one column given: the second input reads as zero
    np.testing.assert_allclose(net.outputs(p, X[:, :1])[:, 0], (X[:, 0] * w00 + b0) * w1 + b1, rtol=1e-14)
    np.testing.assert_allclose(net.residuals(p, X, Y)[:, 0], h * w1 + b1 - Y, rtol=1e-14)
    J, g = net.gradient(p, X, Y)
    assert J == pytest.approx(np.mean(h * w1 + b1 - Y), rel=1e-14)
    expected = [w1, w1 * X[:, 0].mean(), w1 * X[:, 1].mean(), 1.0, h.mean()]
    np.testing.assert_allclose(g, expected, rtol=1e-14)


def test_directions_are_rows_whatever_the_storage_order_flag(problem):
    """The process-wide flag belongs to every user of the library: the package reads it and lays
    the directions out for it, and never changes it."""
    import ctypes
    import glob
    import os

    lib = ctypes.CDLL(glob.glob(os.path.join(os.path.dirname(veltn._veltn.__file__), "libveltn.so*"))[0])
    flag = ctypes.c_int.in_dll(lib, "veltn_rowmajor")
    net, p, X, Y = problem
    V = directions(p.size, 3)
    saved = flag.value
    try:
        results = []
        for value in (0, 1):
            lib.velt_major(None, value)
            results.append((net.hvp(p, V, X, Y), net.jvp(p, V, X, Y), net.hessian(p, X, Y)))
            assert flag.value == value
        for a, b in zip(*results):
            np.testing.assert_array_equal(a, b)
    finally:
        lib.velt_major(None, saved)
