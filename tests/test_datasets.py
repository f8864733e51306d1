import numpy as np
import pytest

import tessavo

SAME = "Expected x and y to have the same number of dimensions."
TWO = "Expected x and y to have 2 dimensions (n_samples, n_inputs or n_outputs)"
THREE = "Expected x and y to have 3 dimensions (n_series, n_samples, n_inputs or n_outputs)"


def first(a, b):
    return f"Expected first dimension of x ({a}) to be equal to the first dimension of y ({b})"


def second(a, b):
    return (
        f"Expected second dimension of x ({a}) to be equal to the second dimension of y ({b})"
        " or (1)"
    )


def inputs(a, n=3):
    return f"Expected last dimension of x ({a}) to be equal to the number of inputs of the model ({n})"


def outputs(a, n=1):
    return f"Expected last dimension of y ({a}) to be equal to the number of outputs of the model ({n})"


def compiled(recurrent):
    model = tessavo.Model(3, 1, recurrent=recurrent)
    model.compile(loss="mse")
    return model


# Each case breaks every later test too, so the order of precedence shows.
@pytest.mark.parametrize(
    "recurrent, x_shape, y_shape, message",
    [
        # With one output a 1-D y is (samples, 1).
        (False, (10, 2), (10,), inputs(2)),
        (False, (10, 4, 3), (9, 4, 2), TWO),
        (False, (10,), (9,), SAME),
        (False, (100, 4), (99, 2), first(100, 99)),
        (False, (100, 4), (100, 2), inputs(4)),
        (False, (100, 3), (100, 2), outputs(2)),
        (False, (0, 3), (0, 2), outputs(2)),
        (True, (5, 8, 3), (5, 8), SAME),
        (True, (5, 3), (5, 1), THREE),
        (True, (5, 8, 3, 1), (5, 8, 1, 1), THREE),
        (True, (5, 8, 4), (6, 4, 2), first(5, 6)),
        (True, (5, 8, 4), (5, 4, 2), second(8, 4)),
        (True, (5, 0, 4), (5, 2, 2), second(0, 2)),
        (True, (5, 8, 4), (5, 1, 2), inputs(4)),
        (True, (5, 8, 3), (5, 8, 2), outputs(2)),
    ],
)
def test_shape_messages_in_order(recurrent, x_shape, y_shape, message):
    with pytest.raises(ValueError) as info:
        compiled(recurrent).evaluate(np.zeros(x_shape), np.zeros(y_shape))
    assert str(info.value) == message


@pytest.mark.parametrize("y_steps", [1, 8])
def test_recurrent_targets_per_series_or_per_step(y_steps):
    assert len(compiled(True).evaluate(np.zeros((5, 8, 3)), np.zeros((5, y_steps, 1)))) == 1


@pytest.mark.parametrize(
    "recurrent, x_shape, y_shape, what",
    [
        (False, (0, 3), (0, 1), "one sample"),
        (True, (0, 4, 3), (0, 1, 1), "one series"),
        (True, (2, 0, 3), (2, 0, 1), "one time step per series"),
        (True, (2, 0, 3), (2, 1, 1), "one time step per series"),
    ],
)
def test_empty_datasets_are_refused(recurrent, x_shape, y_shape, what):
    with pytest.raises(ValueError) as info:
        compiled(recurrent).evaluate(np.zeros(x_shape), np.zeros(y_shape))
    assert str(info.value) == f"Expected x and y to hold at least {what}, got none."


def layouts(a):
    """The same values as a in other dtypes and memory layouts."""
    wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],))
    wide[..., ::2] = a
    big_endian = a.astype(">f8")
    return [
        np.asfortranarray(a),
        wide[..., ::2],
        a[::-1][::-1],
        big_endian,
        a.astype(np.float32),
    ]


@pytest.mark.parametrize("recurrent", [False, True])
def test_any_layout_reads_the_same_values(recurrent):
    rng = np.random.default_rng(7)
    shape = (4, 3, 3) if recurrent else (6, 3)
    x = rng.integers(-3, 4, size=shape)
    # Quarters: exact in float32 too.
    y = rng.integers(-8, 9, size=shape[:-1] + (1,)) / 4
    model = compiled(recurrent)
    model.compile(loss="mse", metrics=["mae", "mape"])
    expected = model.evaluate(x.astype(np.float64), y)
    for xs in [x, x.astype(np.int8), np.asfortranarray(x), *layouts(x.astype(np.float64))]:
        for ys in [y, *layouts(y)]:
            x_before, y_before = xs.copy(), ys.copy()
            assert model.evaluate(xs, ys) == expected
            np.testing.assert_array_equal(xs, x_before)
            np.testing.assert_array_equal(ys, y_before)


@pytest.mark.parametrize("dtype", [np.complex128, object, "U3"])
def test_unsafe_dtypes_raise_numpys_error(dtype):
    model = compiled(False)
    x = np.zeros((2, 3), dtype=dtype)
    with pytest.raises(TypeError, match="according to the rule 'safe'"):
        model.evaluate(x, np.zeros((2, 1)))
    with pytest.raises(TypeError, match="according to the rule 'safe'"):
        model.evaluate(np.zeros((2, 3)), np.zeros((2, 1), dtype=dtype))


@pytest.mark.parametrize("method", ["predict", "evaluate", "evolve"])
def test_model_rebuilt_while_converting_is_not_read_past(method):
    # Converting an ndarray subclass runs its Python hook, which may rebuild
    # the model; the converted rows then no longer fit its network.
    model = compiled(False)
    armed = []

    class Rebuilds(np.ndarray):
        def __array_finalize__(self, obj):
            if armed:
                armed.clear()
                model.__init__(50, 40)
                model.compile(loss="mse")

    x = np.ones((3, 3), dtype=np.int64).view(Rebuilds)
    y = np.ones((3, 1))
    armed.append(True)
    call = {
        "predict": lambda: model.predict(x),
        "evaluate": lambda: model.evaluate(x, y),
        "evolve": lambda: model.evolve(x, y, pop_size=2, epochs=1, verbose=0),
    }[method]
    with pytest.raises(RuntimeError, match="changed while"):
        call()
    assert (model.inputs, model.outputs, model.size) == (50, 40, 90)
