import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import tessavo

X = np.linspace(-1, 1, 24).reshape(12, 2)
Y = X[:, :1] * X[:, 1:]


def seeded():
    tessavo.set_random_seed(3)
    model = tessavo.Model(2, 1, size=4)
    model.compile(loss="mse")
    return model


class HasArray:
    def __init__(self, values):
        self.values = values

    def __array__(self, dtype=None, copy=None):
        return np.asarray(self.values, dtype=dtype)


@pytest.mark.parametrize(
    "wrap_x, wrap_y",
    [
        (lambda a: a.tolist(), lambda a: a.ravel().tolist()),
        (lambda a: tuple(map(tuple, a)), lambda a: a),
        (lambda a: pd.DataFrame(a, columns=["a", "b"]), lambda a: pd.Series(a.ravel())),
        (HasArray, lambda a: HasArray(a.ravel())),
        (lambda a: (a * 4).astype(np.int32), lambda a: a.ravel() > 0),
    ],
)
def test_array_likes_give_the_same_results_as_arrays(wrap_x, wrap_y):
    x, y = wrap_x(X), wrap_y(Y)
    if isinstance(x, np.ndarray):  # integer inputs: compare against their float64 copy
        reference_x, reference_y = x.astype(np.float64), np.asarray(y, np.float64).reshape(-1, 1)
    else:
        reference_x, reference_y = X, Y
    def run(x, y):
        model = seeded()
        genomes = []
        keep = tessavo.callbacks.LambdaCallback(
            on_train_end=lambda logs: genomes.append(model.best_genome))
        history = model.evolve(x, y, pop_size=5, epochs=3, verbose=0, validation_data=(x, y),
                               callbacks=[keep])
        return model, genomes[0], history

    model, genome, history = run(x, y)
    reference, _, expected = run(reference_x, reference_y)
    assert history == expected
    np.testing.assert_array_equal(model.predict(x), reference.predict(reference_x))
    assert model.evaluate(x, y) == reference.evaluate(reference_x, reference_y)
    np.testing.assert_array_equal(genome.predict(x), model.predict(reference_x))


def test_dataframe_round_trip():
    model = seeded()
    frame = pd.DataFrame(X, columns=["a", "b"])
    out = model.predict(frame)
    assert out.shape == (12, 1)
    np.testing.assert_array_equal(out, model.predict(frame.to_numpy()))
    # A 1-D x is still one sample.
    np.testing.assert_array_equal(model.predict(frame.iloc[0]), out[0])


@pytest.mark.parametrize(
    "bad, error, message",
    [
        ([["a", "b"]], TypeError, "array-like of numbers"),
        ([[object(), 1.0]], TypeError, "array-like of numbers"),
        (pd.DataFrame({"a": ["x"], "b": [1.0]}), TypeError, "array-like of numbers"),
        ([[1j, 0.0]], TypeError, None),
        (np.zeros((12, 2), dtype=complex), TypeError, "safe"),
        ([[1.0, 2.0], [3.0]], ValueError, None),
        (None, TypeError, "array-like of numbers"),
    ],
)
def test_refused_inputs_leave_the_model_unchanged(bad, error, message):
    model = seeded()
    before = model.predict(X)
    for call in (model.predict, lambda v: model.evaluate(v, Y),
                 lambda v: model.evolve(v, Y, epochs=1, verbose=0),
                 lambda v: model.evolve(X, Y, epochs=1, verbose=0, validation_data=(v, Y))):
        with pytest.raises(error, match=message):
            call(bad)
    np.testing.assert_array_equal(model.predict(X), before)


def test_one_dimensional_y_needs_one_output():
    model = tessavo.Model(2, 2, size=4)
    model.compile(loss="mse")
    with pytest.raises(ValueError, match="dimensions"):
        model.evaluate(X, Y.ravel())
