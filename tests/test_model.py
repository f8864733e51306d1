import numpy as np
import pytest

import tessavo


def test_model_attributes():
    model = tessavo.Model(2, 1, size=4, recurrent=True)
    assert (model.size, model.inputs, model.outputs, model.recurrent) == (4, 2, 1, True)
    assert model.predict(np.zeros((5, 2))).shape == (5, 1)
