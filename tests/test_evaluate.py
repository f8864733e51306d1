import numpy as np
import pytest

import tessavo

CODES = ["mse", "mae", "mape"]


def terms(t, p, name):
    if name == "mse":
        return (t - p) ** 2
    if name == "mae":
        return np.abs(t - p)
    return np.abs(t - p) * 100 / (np.abs(t) + 1e-10)


def expected(t, p, names):
    # Mean over outputs, then over all targets of the dataset.
    return [terms(t, p, name).mean(axis=-1).mean() for name in names]


def model_for(recurrent, names=CODES):
    model = tessavo.Model(3, 2, size=7, recurrent=recurrent)
    model.compile(loss=names[0], metrics=list(names[1:]))
    return model


@pytest.fixture
def rng():
    return np.random.default_rng(12)


def test_feed_forward_against_numpy(rng):
    model = model_for(False)
    x, y = rng.normal(size=(20, 3)), rng.normal(size=(20, 2))
    y[3, 1] = 0.0  # a zero target under mape stays finite
    result = model.evaluate(x, y)
    assert result == pytest.approx(expected(y, model.predict(x), CODES), rel=1e-12)
    assert all(np.isfinite(result))


@pytest.mark.parametrize("steps_y", [1, 5], ids=["sequence-to-one", "per-step"])
def test_recurrent_against_numpy(rng, steps_y):
    model = model_for(True, ["mae", "mse", "mape", "mae"])
    x, y = rng.normal(size=(4, 5, 3)), rng.normal(size=(4, steps_y, 2))
    y[0, 0, 0] = 0.0
    # predict clears the state per series too; sequence-to-one keeps the last step.
    p = model.predict(x)
    if steps_y == 1:
        p = p[:, -1:, :]
    want = expected(y, p, ["mae", "mse", "mape", "mae"])
    # A stale state from before the call makes no difference.
    model.predict(rng.normal(size=(3, 3)))
    assert model.evaluate(x, y) == pytest.approx(want, rel=1e-12)


def test_recurrent_state_after_evaluate_is_end_of_last_series(rng):
    model = model_for(True)
    x, y = rng.normal(size=(3, 4, 3)), rng.normal(size=(3, 1, 2))
    later = rng.normal(size=(2, 3))
    model.evaluate(x, y)
    after_evaluate = model.predict(later)
    model.clear()
    model.predict(x[-1])  # the last series, from a cleared state
    np.testing.assert_array_equal(after_evaluate, model.predict(later))


def test_uncompiled_model_refused_before_arguments_are_read():
    model = tessavo.Model(3, 2)
    for args in [(), (1, 2), (np.zeros((1, 3)), np.zeros((1, 2)))]:
        with pytest.raises(RuntimeError) as info:
            model.evaluate(*args)
        assert str(info.value) == (
            "You must compile your model before evaluating. Use `model.compile(loss)`."
        )


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((np.zeros((1, 3)),), {}),
        ((np.zeros((1, 3)), [["a", "b"]]), {}),
        (([[None, 0.0, 0.0]], np.zeros((1, 2))), {}),
        ((np.zeros((1, 3)), np.zeros((1, 2)), None), {}),
        ((np.zeros((1, 3)),), {"y": np.zeros((1, 2))}),
    ],
)
def test_argument_errors(args, kwargs):
    model = tessavo.Model(3, 2)
    if not kwargs:
        model.compile()
    # Keywords are refused by the interpreter even before the compile check.
    with pytest.raises(TypeError):
        model.evaluate(*args, **kwargs)


def test_uninitialised_model():
    model = tessavo.Model.__new__(tessavo.Model)
    model.compile(loss="mse")
    # No outputs: the mean over no terms.
    assert np.isnan(model.evaluate(np.zeros((2, 0)), np.zeros((2, 0)))[0])
