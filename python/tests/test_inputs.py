"""n_inputs is min(numin, s_0): more columns are refused before the library is called."""
import numpy as np
import pytest

import veltn


@pytest.mark.parametrize("description", ["5 1 3 1 16 3 8 8 softplus sum", "3 1 3 1 16 5 8 8 softplus sum"])
def test_n_inputs_is_the_columns_a_call_takes(description):
    net = veltn.Network(description)
    assert net.n_inputs == 3
    with pytest.raises(ValueError, match="X has shape"):
        net.outputs(net.random_params(seed=1), np.ones((2, 4)))
