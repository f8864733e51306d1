import pickle

import numpy as np
import pytest

import tessavo

FF_DIMS = (
    r"^Expected x to have 1 dimension \(one sample\) or 2 dimensions \(multiple samples\)\.$"
)
RNN_DIMS = (
    r"^Expected x to have 1 dimension \(one sample in a timeserie\), 2 dimensions "
    r"\(one timeseries\) or 3 dimensions \(multiple timeseries\)\.$"
)


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.mark.parametrize(
    "shape, expected",
    [((2,), (1,)), ((5, 2), (5, 1)), ((0, 2), (0, 1))],
)
def test_feed_forward_shapes(shape, expected):
    result = tessavo.Model(2, 1, size=4).predict(np.ones(shape))
    assert result.shape == expected
    assert result.dtype == np.float64
    assert result.flags.c_contiguous


@pytest.mark.parametrize(
    "recurrent, shape, message",
    [
        (False, (4, 3), r"^Expected last dimension of x \(3\) to be equal to the number of "
                        r"inputs of the model \(2\)$"),
        (False, (2, 2, 2), FF_DIMS),
        (False, (), FF_DIMS),
        (True, (), RNN_DIMS),
        (True, (1, 1, 1, 2), RNN_DIMS),
        (True, (3, 4, 5), r"^Expected last dimension of x \(5\) to be equal to the number of "
                          r"inputs of the model \(2\)$"),
    ],
)
def test_shape_errors(recurrent, shape, message):
    model = tessavo.Model(2, 1, size=4, recurrent=recurrent)
    with pytest.raises(ValueError, match=message):
        model.predict(np.zeros(shape))


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((np.zeros(2), np.zeros(2)), {}), ((["0", "0"],), {}), ((), {"x": np.zeros(2)})],
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        tessavo.Model(2, 1).predict(*args, **kwargs)


def a_genome():
    caught = []
    model = tessavo.Model(2, 1)
    model.compile()
    model.func_evolve(lambda g: caught.extend(g) or np.zeros(len(g)), pop_size=1, epochs=1,
                      verbose=0)
    return caught[0]


@pytest.mark.parametrize("owner", ["model", "genome"])
def test_verbose_is_taken_as_keras_takes_it(capfd, owner):
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    target = model if owner == "model" else a_genome()
    x = np.linspace(-1, 1, 6).reshape(3, 2)
    expected = target.predict(x)
    for verbose in (0, 1, 2, "auto", True):
        # Keyword only; nothing printed, and the result as without it.
        np.testing.assert_array_equal(target.predict(x, verbose=verbose), expected)
        assert model.evaluate(x, model.predict(x), verbose=verbose) == [0.0]
    assert capfd.readouterr() == ("", "")
    for verbose, error in [("silent", ValueError), (3, ValueError), (-1, ValueError),
                           (2**80, ValueError), (1.0, TypeError), (None, TypeError)]:
        with pytest.raises(error, match="verbose"):
            target.predict(x, verbose=verbose)
        with pytest.raises(error, match="verbose"):
            model.evaluate(x, expected, verbose=verbose)
    with pytest.raises(TypeError):
        target.predict(x, 0)  # not positional
    with pytest.raises(TypeError):
        model.evaluate(x, expected, 0)


def test_complex_input_is_refused_and_state_kept(rng):
    model = tessavo.Model(2, 1, size=5, recurrent=True)
    x = rng.normal(size=(3, 2))
    model.predict(x)
    state_probe = model.predict(x)
    model.clear()
    model.predict(x)
    with pytest.raises(TypeError):
        model.predict(np.zeros((2, 2), dtype=complex))
    with pytest.raises(ValueError):
        model.predict(np.zeros((2, 3)))
    np.testing.assert_array_equal(model.predict(x), state_probe)


def _variants(x):
    yield x.astype(np.int64)
    yield x.astype(np.float32)
    yield np.asfortranarray(x)
    yield np.ascontiguousarray(x.T).T
    wide = np.zeros((x.shape[0] * 2, x.shape[1] * 3))
    wide[::2, ::3] = x
    yield wide[::2, ::3]
    yield x.astype(">f8")
    yield x.astype(np.int8)


def test_dtype_and_layout_equivalence(rng):
    model = tessavo.Model(3, 2, size=8)
    x = rng.integers(-3, 4, size=(6, 3)).astype(np.float64)
    expected = model.predict(x)
    for variant in _variants(x):
        np.testing.assert_array_equal(model.predict(variant), expected)
    # The caller's array is never written.
    copy = x.copy()
    model.predict(x)
    np.testing.assert_array_equal(x, copy)


def test_unaligned_float64(rng):
    model = tessavo.Model(2, 1, size=4)
    x = rng.normal(size=(4, 2))
    raw = np.zeros(x.size * 8 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(x.shape)
    unaligned[...] = x
    assert not unaligned.flags.aligned
    np.testing.assert_array_equal(model.predict(unaligned), model.predict(x))


def test_feed_forward_rows_are_independent(rng):
    model = tessavo.Model(2, 3, size=7)
    x = rng.normal(size=(5, 2))
    batch = model.predict(x)
    np.testing.assert_array_equal(model.predict(x), batch)
    for i, row in enumerate(x):
        np.testing.assert_array_equal(model.predict(row), batch[i])
    model.clear()
    np.testing.assert_array_equal(model.predict(x), batch)


def test_recurrent_state_is_carried_and_cleared(rng):
    x = rng.normal(size=(4, 1))
    differs = []
    for _ in range(10):
        model = tessavo.Model(1, 1, size=5, recurrent=True)
        model.clear()
        first = model.predict(x)
        second = model.predict(x)
        differs.append(not np.array_equal(first, second))
        # The second call continued the first: together they are one series.
        model.clear()
        np.testing.assert_array_equal(model.predict(np.concatenate([x, x])),
                                      np.concatenate([first, second]))
        model.clear()
        np.testing.assert_array_equal(model.predict(x), first)
        # Step by step equals the whole series.
        model.clear()
        steps = np.array([model.predict(row) for row in x])
        np.testing.assert_array_equal(steps, first)
    # Random networks whose output ignores the state are rare, not the rule.
    assert sum(differs) >= 5


def test_three_dimensional_input_clears_per_series(rng):
    model = tessavo.Model(2, 1, size=6, recurrent=True)
    series = rng.normal(size=(3, 4, 2))
    model.predict(rng.normal(size=(7, 2)))  # leave some state behind
    result = model.predict(series)
    assert result.shape == (3, 4, 1)
    for i in range(3):
        model.clear()
        np.testing.assert_array_equal(model.predict(series[i]), result[i])
    # The state after the call is that of the last series' last step.
    model.clear()
    model.predict(series[2])
    follow = model.predict(series[0, 0])
    model.predict(series)
    np.testing.assert_array_equal(model.predict(series[0, 0]), follow)


def test_recurrent_switch_keeps_connections(rng):
    model = tessavo.Model(2, 1, size=5)
    x = rng.normal(size=(3, 2))
    before = model.predict(x)
    model.recurrent = True
    model.clear()
    # Forward links only: from a zero state the first step agrees.
    np.testing.assert_allclose(model.predict(x[0]), before[0])
    model.recurrent = False
    np.testing.assert_array_equal(model.predict(x), before)


@pytest.mark.parametrize("recurrent", [False, True])
def test_one_row_predict_follows_every_change_of_the_network(rng, recurrent):
    # One-row calls reuse what they built while the network is unchanged; a
    # copy made after each change is the reference.
    x = rng.normal(size=(40, 2))
    y = x[:, :1] * x[:, 1:]
    model = tessavo.Model(2, 1, size=6, recurrent=recurrent)
    model.compile(loss="mse")
    for _ in range(3):
        model.clear()
        reference = pickle.loads(pickle.dumps(model))
        for row in x[:5]:
            np.testing.assert_array_equal(model.predict(row), reference.predict(row))
        shape = (4, 10, -1) if recurrent else (40, -1)
        model.evolve(x.reshape(shape), y.reshape(shape), pop_size=10, epochs=1, verbose=0)


def test_one_row_predict_after_an_in_place_change_is_the_full_pass(rng):
    # Each change below rewrites the same network object in place; a one-row
    # call right before it must not leave anything for the call right after.
    x = rng.normal(size=(20, 2))
    model = tessavo.Model(2, 1, size=7, recurrent=True)
    model.compile(loss="mse")
    others = [tessavo.Model(2, 1, size=size) for size in (7, 7, 5)]
    changes = [lambda: setattr(model, "recurrent", False)]
    for other in others:
        caught = []
        other.compile()
        other.func_evolve(lambda g: caught.extend(g) or np.zeros(len(g)), pop_size=1, epochs=1,
                          verbose=0)
        changes.append(lambda genome=caught[0]: tessavo._core._install_genome(model, genome))
    changes.append(lambda: model.evolve(x, x[:, :1], pop_size=6, epochs=1, verbose=0))
    for change in changes:
        model.predict(x[0])
        change()
        model.clear()
        full = model.predict(x)  # several rows: no cached plan
        model.clear()
        np.testing.assert_array_equal(model.predict(x[0]), full[0])
        np.testing.assert_array_equal(model.predict(x[5]), full[5])
