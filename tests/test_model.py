import numpy as np
import pytest

import tessavo

MODEL_DOC = "A Tessavo model that can be evolved on datasets and fitness functions."


def test_module_surface():
    assert tessavo.__doc__ == "Tessavo allows training models through neuro-evolution."
    assert isinstance(tessavo.Model, type)
    assert tessavo.Model.__doc__ == MODEL_DOC
    assert tessavo.Model.__module__ == "tessavo"
    assert tessavo.Model.__name__ == "Model"


def test_method_docstrings_and_signatures():
    assert tessavo.Model.predict.__doc__ == "Predict the the outputs for a given set of samples."
    assert tessavo.Model.predict.__text_signature__ == "($self, x, /)"
    assert tessavo.Model.clear.__doc__ == (
        "Clears the recurrent state of the model, preparing it for a new sequence of inputs."
    )
    assert tessavo.Model.size.__doc__ == (
        "Total number of nodes in the model (including inputs and outputs)."
    )
    assert tessavo.Model.inputs.__doc__ == "The number of inputs of the model."
    assert tessavo.Model.outputs.__doc__ == "The number of outputs of the model."
    assert tessavo.Model.recurrent.__doc__ == "Returns whether the network is recurrent or not."


@pytest.mark.parametrize(
    "args, kwargs, shape",
    [
        ((2, 1), {}, (3, 2, 1, False)),
        ((2, 1, -1), {}, (3, 2, 1, False)),
        ((2, 1), {"size": 4}, (4, 2, 1, False)),
        ((2, 1), {"size": 4, "recurrent": True}, (4, 2, 1, True)),
        ((2, 1), {"recurrent": []}, (3, 2, 1, False)),
        ((0, 0), {}, (0, 0, 0, False)),
        ((), {"inputs": 3, "outputs": 2, "size": 9}, (9, 3, 2, False)),
    ],
)
def test_construction(args, kwargs, shape):
    model = tessavo.Model(*args, **kwargs)
    assert (model.size, model.inputs, model.outputs, model.recurrent) == shape


@pytest.mark.parametrize(
    "args, error",
    [
        ((-1, 1), ValueError),
        ((1, -1), ValueError),
        ((2, 1, 2), ValueError),
        ((2, 1, -2), ValueError),
        ((2,), TypeError),
        (("2", 1), TypeError),
        ((2, 1, 3, False, 5), TypeError),
        ((2**31, 1), OverflowError),
        ((2**31 - 1, 2**31 - 1), ValueError),
        ((1, 1, 10**9), MemoryError),
    ],
)
def test_bad_construction(args, error):
    with pytest.raises(error):
        tessavo.Model(*args)


def test_output_activation():
    plain = tessavo.Model(3, 2, size=7, seed=4).get_nodes()
    linear = tessavo.Model(3, 2, size=7, seed=4, output_activation="linear").get_nodes()
    assert [node["activation"] for _, node in linear[-2:]] == ["linear", "linear"]
    # The other nodes and every bias are those of the model made without it.
    assert linear[:-2] == plain[:-2]
    assert [node["bias"] for _, node in linear] == [node["bias"] for _, node in plain]
    for value, error in [("softmax", ValueError), ("Linear", ValueError), (3, TypeError)]:
        with pytest.raises(error):
            tessavo.Model(1, 1, output_activation=value)


def test_failed_reinit_leaves_model_as_it_was():
    model = tessavo.Model(2, 1, size=4)
    x = np.random.default_rng(0).normal(size=(5, 2))
    before = model.predict(x)
    with pytest.raises(ValueError):
        model.__init__(2, 1, size=1)
    with pytest.raises(MemoryError):
        model.__init__(1, 1, size=10**9)
    assert model.size == 4
    np.testing.assert_array_equal(model.predict(x), before)
    model.__init__(3, 2)
    assert (model.size, model.inputs, model.outputs) == (5, 3, 2)


def test_readonly_members():
    model = tessavo.Model(2, 1)
    for name in ("size", "inputs", "outputs"):
        with pytest.raises(AttributeError):
            setattr(model, name, 5)
    assert model.size == 3


def test_recurrent_setter():
    model = tessavo.Model(2, 1)
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match=r"^The recurrent attribute must be a boolean\.$"):
            model.recurrent = bad
    with pytest.raises(TypeError, match="must be a boolean"):
        del model.recurrent
    assert model.recurrent is False
    model.recurrent = True
    assert model.recurrent is True


def test_uninitialised_model_is_safe():
    model = tessavo.Model.__new__(tessavo.Model)
    assert (model.size, model.inputs, model.outputs, model.recurrent) == (0, 0, 0, False)
    assert model.predict(np.zeros(0)).shape == (0,)
    model.clear()
    with pytest.raises(ValueError):
        model.predict(np.zeros(3))


def test_subclassing():
    class Mine(tessavo.Model):
        def __init__(self, n):
            super().__init__(n, 1)
            self.extra = "kept"

    mine = Mine(3)
    assert isinstance(mine, tessavo.Model)
    assert (mine.size, mine.extra) == (4, "kept")
    assert mine.predict(np.zeros(3)).shape == (1,)


def test_package_around_compiled_core():
    assert tessavo._core.__file__.endswith(".so")
    assert (tessavo.Model.__module__, tessavo.Genome.__module__) == ("tessavo", "tessavo")
