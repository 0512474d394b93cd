"""Arrays in, shapes checked before the library, errors and messages out."""
import ast
import logging
import pathlib
import warnings

import numpy as np
import pytest

import veltn
from conftest import NETS, make_data

S = NETS["S"][0]


@pytest.fixture
def s_problem():
    net = veltn.Network(S)
    return (net, *make_data(net, 20))


def test_attributes():
    net = veltn.Network("8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", threads=2, batch=16)
    assert (net.n_params, net.n_inputs, net.n_outputs) == (314, 8, 2)
    assert (net.threads, net.batch) == (2, 16)
    assert net.description == "8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat"
    # biases then weights, layer by layer, add up to n_params
    assert sum(r * c + c for r, c in net.layer_shapes) == net.n_params
    assert net.random_params(seed=1).shape == (314,)


def test_any_array_like_gives_the_same_result(s_problem):
    net, p, X, Y = s_problem
    J = net.objective(p, X, Y)
    wide = np.zeros((X.shape[0], 2 * X.shape[1]))
    wide[:, ::2] = X
    variants = {
        "lists": (p.tolist(), X.tolist(), Y.tolist()),
        "fortran": (p, np.asfortranarray(X), np.asfortranarray(Y)),
        "strided": (p, wide[:, ::2], Y),
        "1-d targets": (p, X, Y[:, 0]),
    }
    for name, (pp, XX, YY) in variants.items():
        assert net.objective(pp, XX, YY) == pytest.approx(J, rel=1e-15), name
    assert net.objective(p, X.astype(int), Y) == pytest.approx(net.objective(p, np.trunc(X), Y), rel=1e-15)
    Y32 = Y.astype(np.float32)
    assert net.objective(p, X, Y32) == pytest.approx(net.objective(p, X, Y32.astype(np.float64)), rel=1e-15)


def test_one_input_one_output_take_flat_arrays():
    net = veltn.Network("1 1 2 1 32 1 4 softplus sum")
    p, X, Y = make_data(net, 12)
    assert X.shape == (12, 1)
    assert net.outputs(p, X[:, 0]).shape == (12, 1)
    np.testing.assert_array_equal(net.outputs(p, X[:, 0]), net.outputs(p, X))
    np.testing.assert_array_equal(net.gradient(p, X[:, 0], Y[:, 0])[1], net.gradient(p, X, Y)[1])
    U = np.linspace(-1, 1, 12)
    np.testing.assert_array_equal(net.vjp(p, U, X, Y), net.vjp(p, U[:, None], X, Y))


def test_longer_params_are_accepted_and_get_zero_derivatives(s_problem):
    net, p, X, Y = s_problem
    longer = np.concatenate([p, [5.0, -3.0]])
    J, g = net.gradient(longer, X, Y)
    J0, g0 = net.gradient(p, X, Y)
    assert J == J0
    np.testing.assert_array_equal(g[:-2], g0)
    np.testing.assert_array_equal(g[-2:], 0.0)


# (call, words the message must hold: the argument and both shapes)
SHAPE_ERRORS = {
    "row counts differ": (lambda n, p, X, Y: n.objective(p, X, Y[:-1]), ["X", "Y", "(20, 3)", "(19, 1)"]),
    "too many inputs": (lambda n, p, X, Y: n.outputs(p, np.ones((20, 4))), ["X", "(20, 4)", "3"]),
    "flat X, 3 inputs": (lambda n, p, X, Y: n.outputs(p, np.ones(20)), ["X", "(20,)", "(rows, 3)"]),
    "3-d X": (lambda n, p, X, Y: n.outputs(p, np.ones((2, 10, 3))), ["X", "(2, 10, 3)"]),
    "Y columns": (lambda n, p, X, Y: n.residuals(p, X, np.ones((20, 2))), ["Y", "(20, 2)", "(rows, 1)"]),
    "short params": (lambda n, p, X, Y: n.gradient(p[:-1], X, Y), ["params", "(112,)", "(113,)"]),
    "2-d params": (lambda n, p, X, Y: n.terms(p[None, :], X, Y), ["params", "(1, 113)", "(113,)"]),
    "V length": (lambda n, p, X, Y: n.hvp(p, np.ones(112), X, Y), ["V", "(112,)", "(113,)"]),
    "V columns": (lambda n, p, X, Y: n.jvp(p, np.ones((2, 114)), X, Y), ["V", "(2, 114)", "(113,)"]),
    "gnvp V": (lambda n, p, X, Y: n.gnvp(p, np.ones((2, 112)), X, Y), ["V", "(2, 112)", "(113,)"]),
    "jacobian Y": (lambda n, p, X, Y: n.jacobian(p, X, np.ones((20, 2))), ["Y", "(20, 2)", "(rows, 1)"]),
    "U rows": (lambda n, p, X, Y: n.vjp(p, np.ones((19, 1)), X, Y), ["U", "(19, 1)", "(20, 1)"]),
    "U stacked": (lambda n, p, X, Y: n.vjp(p, np.ones((3, 20, 2)), X, Y), ["U", "(3, 20, 2)", "(20, 1)"]),
    "Problem rows": (lambda n, p, X, Y: veltn.Problem(n, X, Y[:5]), ["X", "Y", "(20, 3)", "(5, 1)"]),
}


@pytest.mark.parametrize("case", sorted(SHAPE_ERRORS))
def test_shape_errors_are_caught_before_the_library(case, s_problem, caplog):
    call, words = SHAPE_ERRORS[case]
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        with pytest.raises(ValueError) as info:
            call(*s_problem)
    for w in words:
        assert w in str(info.value), (w, str(info.value))
    assert caplog.records == []  # the library wrote nothing: it was not called


# (call, the argument the TypeError names, the dtype it names)
TYPE_ERRORS = {
    "complex X": (lambda n, p, X, Y: n.objective(p, X + 0j, Y), "X", "complex128"),
    "complex params": (lambda n, p, X, Y: n.gradient(p.astype(np.complex64), X, Y), "params", "complex64"),
    "object Y": (lambda n, p, X, Y: n.residuals(p, X, Y.astype(object)), "Y", "object"),
    "string X": (lambda n, p, X, Y: n.outputs(p, X.astype(str)), "X", "<U"),
    "list with None in Y": (lambda n, p, X, Y: n.terms(p, X, [None] * len(Y)), "Y", "object"),
    "complex list V": (lambda n, p, X, Y: n.hvp(p, list(p * 1j), X, Y), "V", "complex128"),
    "complex V of jvp": (lambda n, p, X, Y: n.jvp(p, np.ones((2, p.size), complex), X, Y), "V", "complex128"),
    "complex U": (lambda n, p, X, Y: n.vjp(p, Y + 1j, X, Y), "U", "complex128"),
    "complex V of gnvp": (lambda n, p, X, Y: n.gnvp(p, p + 1j, X, Y), "V", "complex128"),
    "covariance complex p": (lambda n, p, X, Y: veltn.covariance(n, p + 0j, X, Y), "params", "complex128"),
    "datetime params": (lambda n, p, X, Y: n.hessian(p.astype("datetime64[s]"), X, Y), "params", "datetime64"),
    "Problem complex X": (lambda n, p, X, Y: veltn.Problem(n, X + 0j, Y), "X", "complex128"),
    "Problem complex p": (lambda n, p, X, Y: veltn.Problem(n, X, Y).fun(p + 0j), "p", "complex128"),
    "Problem hessp": (lambda n, p, X, Y: veltn.Problem(n, X, Y).hessp(p + 0j, p), "p", "complex128"),
    "Problem gnp": (lambda n, p, X, Y: veltn.Problem(n, X, Y).gnp(p + 0j, p), "p", "complex128"),
}


@pytest.mark.parametrize("case", sorted(TYPE_ERRORS))
def test_non_real_arrays_raise_type_error_before_the_library(case, s_problem, caplog):
    call, name, dtype = TYPE_ERRORS[case]
    with caplog.at_level(logging.DEBUG, logger="veltn"), warnings.catch_warnings():
        warnings.simplefilter("error")  # no ComplexWarning: nothing was cast
        with pytest.raises(TypeError) as info:
            call(*s_problem)
    message = str(info.value)
    assert message.startswith(name + " must hold real numbers"), message
    assert dtype in message, message
    assert caplog.records == []


def test_integer_and_bool_arrays_are_real(s_problem):
    net, p, X, Y = s_problem
    B = X > 0
    assert net.objective(p, B, Y) == net.objective(p, B.astype(np.float64), Y)
    assert net.objective(p, X.astype(np.uint8), Y) == net.objective(p, X.astype(np.uint8).astype(float), Y)


# (description, the message logged at WARNING, without the library's "Warning: " tag)
LIBRARY_WARNINGS = {
    "unknown norm": ("3 1 3 1 16 3 8 8 softplus no_such_norm", "invalid norm function name: no_such_norm"),
    "unknown activation": ("3 1 3 1 16 3 8 8 tanh sum", "field 9 (activation): unknown activation \"tanh\""),
    "missing norm": ("3 1 3 1 16 3 8 8 atan", "the description ends before its norm, field 10"),
    "missing activation": ("3 1 3 1 16 3 8 8", "the description ends before its activation and norm"),
}


@pytest.mark.parametrize("case", sorted(LIBRARY_WARNINGS))
def test_library_warnings_are_logged_at_warning_without_their_tag(case, caplog):
    description, start = LIBRARY_WARNINGS[case]
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        veltn.Network(description)
    assert [r.levelno for r in caplog.records] == [logging.WARNING]
    assert caplog.records[0].getMessage().startswith(start), caplog.records[0].getMessage()


def test_error_tag_is_left_out_of_the_exception(caplog):
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        with pytest.raises(veltn.Error) as info:
            veltn.Network("3 1 x 1 16 3 8 8 softplus sum")
    assert str(info.value).startswith('invalid network data: field 3 (nlayers): "x"'), str(info.value)
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.DEBUG, str(info.value))]


def test_module_exports_only_its_own_names():
    public = {name for name in dir(veltn) if not name.startswith("_")}
    assert public == set(veltn.__all__)
    assert veltn.__version__ == veltn.library_version()
    # the one place the version is written; r/DESCRIPTION's copy is checked by scripts/sync-version.sh
    cmake = (pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    assert f"project(veltn VERSION {veltn.__version__} " in cmake


def test_every_compiled_method_and_property_has_a_docstring():
    cls = veltn._veltn.Network
    names = [n for n in vars(cls) if not n.startswith("__") or n == "__init__"]
    assert {"__init__", "outputs", "gradient", "hvp", "vjp", "n_params"} <= set(names)
    for name in names:
        doc = getattr(cls, name).__doc__ or ""
        # pybind11 puts the signature first; the text written for the method follows it
        text = doc.split("\n\n", 1)[1] if doc.startswith((name, "__init__")) else doc
        assert len(text.strip()) > 10, (name, doc)


def test_stub_declares_every_compiled_name():
    stub = ast.parse(pathlib.Path(veltn._veltn.__file__).with_name("_veltn.pyi").read_text())
    declared = {n.name for n in stub.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    declared |= {n.target.id for n in stub.body if isinstance(n, ast.AnnAssign)}
    assert {n for n in dir(veltn._veltn) if not n.startswith("__")} | {"__version__"} <= declared
    cls = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Network")
    stubbed = {f.name for f in cls.body if isinstance(f, ast.FunctionDef)}
    compiled = {n for n in vars(veltn._veltn.Network) if not n.startswith("__") or n == "__init__"}
    assert compiled == stubbed


def test_bad_settings_and_descriptions():
    with pytest.raises(ValueError, match="threads"):
        veltn.Network(S, threads=0)
    with pytest.raises(ValueError, match="batch"):
        veltn.Network(S, batch=0)
    with pytest.raises(veltn.Error, match="invalid network data"):
        veltn.Network("3 x 3 1 16 3 8 8 softplus sum")
    with pytest.raises(veltn.Error):
        veltn.Network("3 1 1 1 16 3 softplus sum")  # fewer than 2 layers


FPE_CALLS = {
    "objective": (lambda n, p, X, Y: n.objective(p, X, Y), "velt_obj"),
    "terms": (lambda n, p, X, Y: n.terms(p, X, Y), "velt_objv"),
    "gradient": (lambda n, p, X, Y: n.gradient(p, X, Y), "velt_g"),
    "hvp": (lambda n, p, X, Y: n.hvp(p, np.ones_like(p), X, Y), "velt_Hv"),
    "jvp": (lambda n, p, X, Y: n.jvp(p, np.ones((2, p.size)), X, Y), "velt_Jv"),
    "gnvp": (lambda n, p, X, Y: n.gnvp(p, np.ones((2, p.size)), X, Y), "velt_GNv"),
    "jacobian": (lambda n, p, X, Y: n.jacobian(p, X, Y), "velt_jacobian"),
    "vjp": (lambda n, p, X, Y: n.vjp(p, np.ones((2,) + Y.shape), X, Y), "velt_vJ_vec"),
}


@pytest.mark.parametrize("name", sorted(FPE_CALLS))
def test_nan_inputs_raise_a_floating_point_event(name, s_problem, caplog):
    net, p, X, Y = s_problem
    call, function = FPE_CALLS[name]
    X = X.copy()
    X[3, 1] = np.nan
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        with pytest.raises(veltn.FloatingPointEvent) as info:
            call(net, p, X, Y)
    e = info.value
    assert isinstance(e, veltn.Error) and isinstance(e, FloatingPointError) and isinstance(e, RuntimeError)
    assert str(e).startswith(function + ":") and "NaN" in str(e)
    # the library's line is logged once, at DEBUG, since the exception carries it
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.DEBUG, str(e))]


def test_refused_call_raises_error_with_the_library_message(s_problem, caplog):
    net, p, X, Y = s_problem
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        with pytest.raises(veltn.Error) as info:
            net.objective(p, X[:0], Y[:0])
    assert not isinstance(info.value, veltn.FloatingPointEvent)
    assert str(info.value).startswith("velt_obj") and len(str(info.value)) > len("velt_obj: ")
    assert [r.getMessage() for r in caplog.records] == [str(info.value)]
    # the network still works afterwards
    assert np.isfinite(net.objective(p, X, Y))


def test_library_lines_go_to_logging_not_to_the_process_streams(capfd, caplog, monkeypatch):
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        net = veltn.Network("3 1 3 1 16 3 8 8 softplus no_such_norm")
        assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
            ("veltn", logging.WARNING,
             "invalid norm function name: no_such_norm (known: sum, sum_log_dnorm_fat, sum_sq, sum_pseudo_huber)")]
        # outputs need no norm; the objective does
        p = net.random_params(seed=0)
        assert net.outputs(p, np.ones((4, 3))).shape == (4, 1)
        with pytest.raises(veltn.Error):
            net.objective(p, np.ones((4, 3)), np.ones(4))
        caplog.clear()
        monkeypatch.setenv("NN_TRACE", "1")
        good = veltn.Network(S)
        good.jvp(p[:113] * 0 + 0.1, np.ones(113), np.ones((4, 3)), np.ones(4))
        assert any(r.levelno == logging.INFO and r.getMessage().startswith("J = ") for r in caplog.records)
    out, err = capfd.readouterr()
    assert out == "" and err == ""
