"""Shared networks, problems and finite differences for the package's tests."""
import numpy as np
import pytest

import veltn

# name: (description, rows). F runs its hidden stack twice and has two outputs.
NETS = {
    "S": ("3 1 3 1 16 3 8 8 softplus sum", 40),
    "F": ("4 2 3 2 32 4 6 4 atan sum_log_dnorm_fat", 30),
}


def make_data(net, rows, seed=3):
    """Parameters, inputs and targets; residuals stay well inside the fat norm's core (|r| < 2)."""
    rng = np.random.default_rng(seed)
    p = net.random_params(seed=seed)
    X = rng.normal(size=(rows, net.n_inputs))
    Y = np.clip(0.3 * rng.normal(size=(rows, net.n_outputs)), -0.5, 0.5)
    if "fat" in net.description:
        assert np.max(np.abs(net.residuals(p, X, Y))) < 1.9
    return p, X, Y


@pytest.fixture(params=sorted(NETS))
def problem(request):
    description, rows = NETS[request.param]
    net = veltn.Network(description)
    return (net, *make_data(net, rows))


def central(f, p, v, h=1e-5):
    """Central difference of f at p along v."""
    return (np.asarray(f(p + h * v)) - np.asarray(f(p - h * v))) / (2 * h)


def central_jacobian(f, p, h=1e-5):
    """Jacobian of f (its output flattened) at p by central differences, one column per parameter."""
    return np.stack([central(f, p, e, h).ravel() for e in np.eye(p.size)], axis=1)


def norm_known(name):
    """Whether the loaded library knows the norm: a handle whose norm is unknown refuses velt_obj."""
    net = veltn.Network(f"1 1 2 1 32 1 2 id {name}")
    try:
        net.objective(np.zeros(net.n_params), [[0.0]], [[0.0]])
    except veltn.Error:
        return False
    return True
