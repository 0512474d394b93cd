"""n_inputs is min(numin, s_0), the columns a call takes; numin > s_0 warns once."""
import logging

import numpy as np
import pytest

import veltn


@pytest.mark.parametrize("description, columns, warnings", [("5 1 3 1 16 3 8 8 softplus sum", 3, 1),
                                                            ("3 1 3 1 16 5 8 8 softplus sum", 3, 0)])
def test_n_inputs_is_the_columns_a_call_takes(description, columns, warnings, caplog):
    with caplog.at_level(logging.DEBUG, logger="veltn"):
        net = veltn.Network(description)
    assert net.n_inputs == columns
    assert sum("numin" in r.getMessage() for r in caplog.records) == warnings
    p = net.random_params(seed=1)
    assert net.outputs(p, np.ones((2, columns))).shape == (2, 1)
    with pytest.raises(ValueError, match="X has shape"):  # before the library is called
        net.outputs(p, np.ones((2, columns + 1)))
