import sys

import numpy as np
import pytest

import tessavo

Alpha = tessavo.optimizers.Alpha
NOT_OPTIMIZER = "The given optimizer is not an optimizer and not the name of an optimizer.\n"


def numpy_losses(model, x, y, names):
    t, p = y, model.predict(x)
    error = np.abs(t - p)
    terms = {"mse": error**2, "mae": error, "mape": error * 100 / (np.abs(t) + 1e-10)}
    return [terms[name].mean() for name in names]


@pytest.fixture
def data():
    rng = np.random.default_rng(4)
    return rng.normal(size=(6, 2)), rng.normal(size=(6, 1)) + 3


def test_optimizers_submodule_and_alpha():
    optimizers = tessavo.optimizers
    assert (optimizers.__name__, optimizers.__doc__) == ("tessavo.optimizers", "Optimizers.")
    assert [n for n in vars(optimizers) if not n.startswith("__")] == ["Alpha", "Beta", "Gamma"]
    assert Alpha.__doc__ == "The first optimizer in Tessavo."
    import tessavo.optimizers as imported

    assert imported is optimizers
    Alpha(), Alpha(0.3), Alpha(mutation_rate=1), type("Sub", (Alpha,), {})(0.2)
    for args, kwargs in [(("x",), {}), ((0.1, 0.2), {}), ((), {"rate": 0.1})]:
        with pytest.raises(TypeError):
            Alpha(*args, **kwargs)
    with pytest.raises(AttributeError):
        Alpha().mutation_rate


@pytest.mark.parametrize(
    "args, kwargs, names",
    [
        ((), {}, []),
        ((), {"loss": "mse", "metrics": ["mae", "mse"], "monitors": ["size"]}, ["mse", "mae", "mse"]),
        ((), {"metrics": ["mse"]}, ["mse"]),
        ((), {"optimizer": "alpha", "loss": "mape", "monitors": ["size", "size"]}, ["mape"]),
        ((Alpha(0.1), "mae", ["mape", "mae"], []), {}, ["mae", "mape", "mae"]),
        ((type("Sub", (Alpha,), {})(),), {"loss": "", "metrics": []}, []),
    ],
)
def test_compile_codes_seen_through_evaluate(args, kwargs, names, data):
    model = tessavo.Model(2, 1)
    assert model.compile(*args, **kwargs) is None
    result = model.evaluate(*data)
    assert all(type(v) is float for v in result)
    assert result == pytest.approx(numpy_losses(model, *data, names), rel=1e-12)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"optimizer": None}, NOT_OPTIMIZER),
        ({"optimizer": Alpha, "loss": "nope"}, NOT_OPTIMIZER),
        ({"optimizer": "Alpha"}, "Optimizer 'Alpha' not known.\n"),
        ({"loss": "rmse", "metrics": ["nope"]}, "Loss 'rmse' not known.\n"),
        ({"loss": "mse", "metrics": ["mae", "r2", "x"]}, "Metric 'r2' not known.\n"),
        ({"metrics": ["\udc80"]}, "Metric '\udc80' not known.\n"),
        ({"loss": "mse", "monitors": ["size", "Size"]}, "Monitor 'Size' not known.\n"),
    ],
)
def test_failed_compile_leaves_model_uncompiled(kwargs, message, data):
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    with pytest.raises(ValueError) as info:
        model.compile(**kwargs)
    assert str(info.value) == message
    with pytest.raises(RuntimeError, match="You must compile"):
        model.evaluate(*data)


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((), {"loss": 1}, TypeError),
        ((), {"loss": "ms\0e"}, ValueError),
        ((None, "mse", [], [], 1), {}, TypeError),
        ((), {"losses": "mse"}, TypeError),
        ((), {"metrics": "mse"}, TypeError),
        ((), {"metrics": ["mse", 2]}, TypeError),
        ((), {"monitors": ("size",)}, TypeError),
        ((), {"monitors": [b"size"]}, TypeError),
    ],
)
def test_bad_argument_types_change_nothing(args, kwargs, error, data):
    model = tessavo.Model(2, 1)
    model.compile(loss="mse", metrics=["mae"])
    with pytest.raises(error):
        model.compile(*args, **kwargs)
    assert len(model.evaluate(*data)) == 2


def test_model_holds_one_reference_to_its_optimizer():
    alpha = Alpha()
    before = sys.getrefcount(alpha)
    model = tessavo.Model(2, 1)
    model.compile(optimizer=alpha)
    model.compile(optimizer=alpha)
    assert sys.getrefcount(alpha) == before + 1
    with pytest.raises(ValueError):
        model.compile(optimizer=None)
    assert sys.getrefcount(alpha) == before
    model.compile(optimizer=alpha)
    del model
    assert sys.getrefcount(alpha) == before
