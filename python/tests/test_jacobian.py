"""The whole Jacobian, Gauss-Newton products, the least-squares pair and the covariances."""
import warnings

import numpy as np
import pytest
import scipy.optimize

import veltn
from conftest import central_jacobian, make_data
from test_problem import CountingNetwork

# phi'' of each norm (sum_log_dnorm_fat: its normal core, |r| < 2)
PHI2 = {"sum": lambda r: 0 * r, "sum_sq": lambda r: 1 + 0 * r, "sum_pseudo_huber": lambda r: (1 + r * r) ** -1.5,
        "sum_log_dnorm_fat": lambda r: 9 + 0 * r}


def gauss_newton(JF, norm, net, p, X, Y):
    """E * G = J_F^T diag(phi''(r)) J_F from the Jacobian J_F of the outputs."""
    return JF.T @ (PHI2[norm](net.residuals(p, X, Y).reshape(-1, 1)) * JF)


@pytest.mark.parametrize("norm", sorted(PHI2))
def test_jacobian_rows_against_central_differences_and_gnvp_against_the_output_jacobian(norm):
    net = veltn.Network(f"4 2 3 2 32 4 6 4 atan {norm}")  # two outputs, the hidden stack run twice
    p, X, Y = make_data(net, 9)
    J0, g0 = net.gradient(p, X, Y)
    terms, Jac = net.jacobian(p, X, Y, with_terms=True)
    assert Jac.shape == (18, p.size) and np.array_equal(terms, net.terms(p, X, Y))
    np.testing.assert_allclose(Jac, central_jacobian(lambda q: net.terms(q, X, Y), p), rtol=1e-6, atol=1e-8)
    np.testing.assert_allclose(Jac.sum(axis=0) / Jac.shape[0], g0, rtol=1e-12, atol=1e-14)
    JF = veltn.Network("4 2 3 2 32 4 6 4 atan sum").jacobian(p, X, Y)
    G = gauss_newton(JF, norm, net, p, X, Y) / JF.shape[0]
    V = np.cos(np.arange(3 * p.size).reshape(3, p.size))
    np.testing.assert_allclose(net.gnvp(p, V, X, Y), V @ G, rtol=1e-12, atol=1e-14)
    J, g, Gv = net.gnvp(p, V[1], X, Y, with_gradient=True)
    np.testing.assert_allclose([J, *g, *Gv], [J0, *g0, *(G @ V[1])], rtol=1e-12, atol=1e-14)


def test_problem_gnp_scales_and_fills_the_cache_as_hessp_does():
    net = veltn.Network("4 2 3 2 32 4 6 4 atan sum_log_dnorm_fat")
    p, X, Y = make_data(net, 12)
    counting = CountingNetwork(net)
    one, many = veltn.Problem(counting, X, Y), veltn.Problem(net, X, Y, scale=24)
    v = np.linspace(-1, 1, p.size)
    np.testing.assert_allclose(many.gnp(p, v), 24 * one.gnp(p, v), rtol=1e-15)
    np.testing.assert_array_equal(one.gnp(p, v), net.gnvp(p, v, X, Y))
    np.testing.assert_allclose([one.fun(p), *one.jac(p)], [net.objective(p, X, Y), *net.gradient(p, X, Y)[1]],
                               rtol=1e-12, atol=1e-15)
    assert counting.calls == ["gnvp", "gnvp"]  # fun and jac came from the cache


def test_least_squares_on_sum_with_two_outputs_reaches_the_sum_sq_minimum():
    rng = np.random.default_rng(4)
    X = rng.uniform(-2, 2, size=(100, 2))
    Y = np.column_stack([0.8 * np.sin(X[:, 0]) * np.cos(0.5 * X[:, 1]), 0.4 * np.tanh(X[:, 1] - X[:, 0])])
    Y += 0.05 * rng.normal(size=Y.shape)
    net_r, net_sq = (veltn.Network(f"2 2 2 1 32 2 3 atan {norm}") for norm in ("sum", "sum_sq"))
    p0 = net_r.random_params(seed=4)
    lsq = veltn.Problem(net_r, X, Y)
    fit = scipy.optimize.least_squares(lsq.residuals, p0, jac=lsq.jacobian, method="lm", xtol=1e-15, ftol=1e-15,
                                       gtol=1e-15, max_nfev=500)
    prob = veltn.Problem(net_sq, X, Y, scale=Y.size)
    res = scipy.optimize.minimize(prob.fun, p0, jac=prob.jac, hessp=prob.gnp, method="trust-krylov",
                                  options={"gtol": 1e-8})
    assert np.linalg.norm(net_sq.gradient(fit.x, X, Y)[1]) < 1e-9, fit.message
    # atan is odd, so compare the fits, not the parameters
    assert res.fun == pytest.approx(fit.cost, rel=1e-9)
    np.testing.assert_allclose(net_sq.outputs(res.x, X), net_r.outputs(fit.x, X), atol=1e-6)


@pytest.mark.parametrize("norm, warns", [("sum_sq", True), ("sum", False)])
def test_least_squares_pair_warns_once_naming_sum_on_another_norm(norm, warns):
    prob = veltn.Problem(veltn.Network(f"2 1 2 1 32 2 3 atan {norm}"), [[0.0, 1.0]], [0.5])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        prob.jacobian(np.zeros(13)), prob.residuals(np.zeros(13))
    assert ["norm 'sum'" in str(w.message) for w in caught] == [True] * warns


def covariance_case(norm, rows=30, noise=0.1, seed=4):
    """A net with two outputs, targets near its outputs at p (so that p is near a minimum)."""
    net = veltn.Network(f"2 2 2 1 32 2 3 atan {norm}")
    rng = np.random.default_rng(seed)
    p = net.random_params(seed=seed, scale=2.0)
    X = rng.uniform(-2, 2, size=(rows, 2))
    Y = net.outputs(p, X) + noise * rng.normal(size=(rows, 2))
    return net, p, X, Y


# p is near, not at, a minimum, where the inverses stay well conditioned; H may be indefinite there
@pytest.mark.filterwarnings("ignore:covariance.*indefinite:RuntimeWarning")
@pytest.mark.parametrize("norm", ["sum_sq", "sum_pseudo_huber", "sum_log_dnorm_fat"])
def test_covariances_against_central_difference_formulas(norm):
    net, p, X, Y = covariance_case(norm)
    n, E, nw = len(Y), Y.size, p.size
    S = central_jacobian(lambda q: net.terms(q, X, Y).sum(axis=1), p)  # per-sample gradients
    Hi = np.linalg.inv(E * central_jacobian(lambda q: net.gradient(q, X, Y)[1], p))
    Gi = np.linalg.inv(gauss_newton(central_jacobian(lambda q: net.outputs(q, X), p), norm, net, p, X, Y))
    sigma2 = np.sum(net.residuals(p, X, Y) ** 2) / (E - nw) if norm == "sum_sq" else 1.0
    labels = np.arange(n) % 7
    Sc = np.stack([S[labels == c].sum(axis=0) for c in range(7)])
    cases = [
        (dict(), Hi @ S.T @ S @ Hi),
        (dict(bread="gauss_newton", hc="HC1"), n / (n - nw) * Gi @ S.T @ S @ Gi),
        (dict(cluster=labels), 7 / 6 * (n - 1) / (n - nw) * Hi @ Sc.T @ Sc @ Hi),
        (dict(cluster=labels, hc="HC0"), 7 / 6 * Hi @ Sc.T @ Sc @ Hi),
        (dict(kind="hessian"), sigma2 * Hi),
        (dict(kind="gauss_newton"), sigma2 * Gi),
    ]
    for kwargs, want in cases:
        got = veltn.covariance(net, p, X, Y, **kwargs)
        np.testing.assert_allclose(got, want, rtol=2e-5, atol=1e-7 * np.max(np.abs(want)), err_msg=str(kwargs))


def test_covariance_refusals_and_the_indefinite_warning():
    net, p, X, Y = covariance_case("sum_sq")
    refusals = [
        (dict(kind="gauss_newton"), veltn.Network("2 2 2 1 32 2 3 atan sum"), 30, "Gauss-Newton matrix E\\*G is sing"),
        (dict(hc="HC1"), net, 17, "HC1 needs more than n_params = 17 rows, got 17"),
        (dict(cluster=np.arange(17) % 3), net, 17, "CR1 needs more"),
        (dict(kind="hessian"), net, 8, "sigma\\^2 .* got 16"),
        (dict(cluster=np.zeros(30)), net, 30, "at least 2 clusters"),
        (dict(kind="gauss_newton"), veltn.Network("2 2 2 1 32 2 3 relu sum_sq"), 30, "singular"),
    ]
    for kwargs, n2, rows, message in refusals:
        with pytest.raises(veltn.Error, match=message):
            veltn.covariance(n2, p, X[:rows], Y[:rows], **kwargs)
    for bad in (dict(kind="robust"), dict(bread="outer"), dict(hc="HC3"), dict(cluster=[1, 2]),
                dict(kind="hessian", hc="HC1")):
        pytest.raises(ValueError, veltn.covariance, net, p, X, Y, **bad)
    # far targets: the pseudo-Huber tails make H indefinite, which warns but still gives a result
    net, p, X, Y = covariance_case("sum_pseudo_huber", noise=3.0)
    assert np.linalg.eigvalsh(net.hessian(p, X, Y)).min() < 0
    with pytest.warns(RuntimeWarning, match="Hessian E\\*H is indefinite"):
        assert np.all(np.isfinite(veltn.covariance(net, p, X, Y)))
