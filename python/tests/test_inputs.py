"""A description whose numin exceeds s_0: the package takes at most s_0 columns."""
import logging

import numpy as np
import pytest

import veltn


@pytest.mark.parametrize("description, columns", [
    ("5 1 3 1 16 3 8 8 softplus sum", 3),   # numin 5 > s_0 3: s_0 is the limit
    ("3 1 3 1 16 5 8 8 softplus sum", 3),   # numin 3 < s_0 5: numin is the limit
])
def test_n_inputs_is_the_columns_a_call_takes(description, columns, caplog):
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        net = veltn.Network(description)
    assert net.n_inputs == columns
    warned = [r.getMessage() for r in caplog.records if "numin" in r.getMessage()]
    assert len(warned) == (1 if description.startswith("5") else 0)
    p = net.random_params(seed=1)
    assert net.outputs(p, np.ones((2, columns))).shape == (2, 1)
    # One column more is refused before the library is called, naming X.
    with pytest.raises(ValueError, match="X has shape"):
        net.outputs(p, np.ones((2, columns + 1)))
