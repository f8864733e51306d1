"""Arguments a hostile caller might pass to Model, compile, predict,
evaluate, evolve and func_evolve: 0-d, empty, huge, NaN and non-contiguous
arrays, wrong types, every batch_size edge. Each call returns a correct
result or raises a clear exception, and a call that raises leaves the model
as it was.

TESSAVO_PROBE_EXAMPLES sets the number of examples over all six tests
(default 1,200); TESSAVO_PROBE_SEED a seed (default: derandomized)."""

import contextlib
import io
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import seed as seeded
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import tessavo
from tessavo.optimizers import Alpha

TESTS = 6
EXAMPLES = max(1, int(os.environ.get("TESSAVO_PROBE_EXAMPLES", "1200")) // TESTS)
SEED = os.environ.get("TESSAVO_PROBE_SEED")
CLEAR = (TypeError, ValueError, RuntimeError, MemoryError, OverflowError)


def probe(test):
    test = settings(max_examples=EXAMPLES, derandomize=SEED is None, deadline=None,
                    database=None, suppress_health_check=list(HealthCheck))(test)
    return seeded(int(SEED))(test) if SEED is not None else test


class Raised(Exception):
    """What a user function raises; it must pass through unchanged."""


def layout(array, how):
    if how == "reversed" and array.ndim:
        return array[::-1]
    if how == "fortran":
        return np.asfortranarray(array)
    if how == "strided":
        return np.stack([array, array], axis=-1)[..., 0]
    return array


DTYPES = st.sampled_from([np.float64, np.float64, np.float32, np.int64, np.bool_, np.uint8,
                          np.complex128])
# Zero-stride views claim many gigabytes without holding them.
HUGE = st.sampled_from([(10**11, 2), (2**31, 2), (3, 2**31), (2**20, 2**20, 2)]).map(
    lambda shape: np.broadcast_to(np.zeros(1), shape))
JUNK = st.sampled_from([None, 1.5, "x", [[0.0, 1.0]], np.array(["a", "b"]),
                        np.array([None, 1.0], dtype=object)])


@st.composite
def arrays(draw, last=None):
    """Mostly arrays whose last axis fits the model, now and then anything."""
    kind = draw(st.sampled_from(["fit"] * 6 + ["any", "huge", "junk"]))
    if kind == "huge":
        return draw(HUGE)
    if kind == "junk":
        return draw(JUNK)
    shape = list(draw(hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5)))
    if kind == "fit" and shape and last is not None:
        shape[-1] = last
    array = draw(hnp.arrays(draw(DTYPES), tuple(shape)))
    return layout(array, draw(st.sampled_from(["plain", "reversed", "fortran", "strided"])))


SIDES = st.integers(-1, 4) | st.sampled_from([-2**31, 2**31 - 1, 2**31, 10**5])
SIZES = st.integers(-2, 9) | st.sampled_from([-2**31, 2**31 - 1, 2**31, 10**5])
FLAGS = st.booleans() | st.sampled_from([0, 1, [], "yes", None])


@st.composite
def models(draw, compiled=True):
    inputs, outputs = draw(st.integers(1, 3)), draw(st.integers(1, 2))
    hidden = draw(st.integers(0, 4))
    model = tessavo.Model(inputs, outputs, size=inputs + outputs + hidden if hidden else -1,
                          recurrent=draw(st.booleans()))
    if draw(st.booleans()):
        model.recurrent = not model.recurrent  # a switched network
    if compiled:
        model.compile(loss=draw(st.sampled_from(["mse", "mae", "mape"])),
                      metrics=draw(st.lists(st.sampled_from(["mse", "mae", "mape"]), max_size=2)),
                      monitors=draw(st.sampled_from([[], ["size"]])))
    return model


def state(model):
    return model.__reduce__()[1][1]


def well_formed(model):
    """The listing agrees with the rule every copy keeps."""
    for start, end, _ in model.get_connections():
        assert end >= model.inputs and (model.recurrent or start < end)


@contextlib.contextmanager
def unchanged_on_failure(model, also=()):
    """Lets clear exceptions through as the call's result; the model stays whole."""
    before = state(model)
    try:
        yield
    except (*CLEAR, *also):
        assert state(model) == before, "a failed call changed the model"
    well_formed(model)


def quiet():
    # Progress and warnings go through sys.stdout while it is redirected.
    return contextlib.redirect_stdout(io.StringIO())


@probe
@given(SIDES, SIDES, SIZES, FLAGS, st.sampled_from([None, "mse", "mae", "nope", 3]),
       st.lists(st.sampled_from(["mse", "mape", "size", "", 0]), max_size=3),
       st.sampled_from([None, [], ["size"], ["size", "size"], ["loss"], "size"]),
       st.sampled_from([None, Alpha(), Alpha(0.5), "alpha", 1]))
def test_model_and_compile(round_trip, inputs, outputs, size, recurrent, loss, metrics,
                           monitors, optimizer):
    try:
        model = tessavo.Model(inputs, outputs, size=size, recurrent=recurrent)
    except CLEAR:
        return
    expected = inputs + outputs if size == -1 else size
    assert (model.inputs, model.outputs, model.size) == (inputs, outputs, expected)
    try:
        model.compile(optimizer=optimizer, loss=loss, metrics=metrics, monitors=monitors)
    except CLEAR:
        assert "uncompiled" in repr(model)  # a failed compile leaves it so
    well_formed(model)
    round_trip(model)


@probe
@given(st.data())
def test_predict(round_trip, data):
    model = data.draw(models(compiled=False))
    x = data.draw(arrays(model.inputs))
    with unchanged_on_failure(model):
        out = model.predict(x)
        assert out.shape == x.shape[:-1] + (model.outputs,)
    round_trip(model)


@probe
@given(st.data())
def test_evaluate(round_trip, data):
    model = data.draw(models())
    x, y = data.draw(arrays(model.inputs)), data.draw(arrays(model.outputs))
    with unchanged_on_failure(model):
        result = model.evaluate(x, y)
        assert isinstance(result, (float, list))
    round_trip(model)


def batch_sizes(x):
    rows = x.shape[0] if isinstance(x, np.ndarray) and x.ndim else 3
    return st.sampled_from([-2, -1, 0, 1, 2, rows - 1, rows, rows + 1, 2**31 - 1, 2**31])


@probe
@given(st.data())
def test_evolve(round_trip, data):
    model = data.draw(models())
    x, y = data.draw(arrays(model.inputs)), data.draw(arrays(model.outputs))
    validation = data.draw(st.none() | st.tuples(arrays(model.inputs), arrays(model.outputs)) |
                           JUNK)
    epochs = data.draw(st.sampled_from([-1, 0, 1, 2]))
    with unchanged_on_failure(model), quiet():
        history = model.evolve(x, y, pop_size=data.draw(st.sampled_from([-1, 0, 1, 3, 2**31 - 1])),
                               batch_size=data.draw(batch_sizes(x)), epochs=epochs,
                               validation_data=validation, verbose=data.draw(st.sampled_from(
                                   [0, 1, 2, -1])))
        assert history and all(len(values) == epochs for values in history.values())
    round_trip(model)


RESULTS = ["ok", "ok", "nan", "inf", "short", "long", "columns", "0-d", "empty", "int", "strided",
           "list", "none", "raise"]


def scores(kind, count):
    values = np.linspace(0.0, 1.0, count)
    made = {"ok": values, "nan": np.full(count, np.nan), "inf": np.full(count, -np.inf),
            "short": values[:-1], "long": np.append(values, 0.0),
            "columns": np.stack([values, values], axis=1), "0-d": np.array(0.5),
            "empty": np.zeros(0), "int": np.arange(count), "strided": np.repeat(values, 2)[::2],
            "list": list(values), "none": None}
    if kind == "raise":
        raise Raised
    return made[kind]


@probe
@given(st.data())
def test_func_evolve(round_trip, data):
    model = data.draw(models(compiled=data.draw(st.booleans())))
    kinds = data.draw(st.lists(st.sampled_from(RESULTS), min_size=1, max_size=3))
    validation = data.draw(st.sampled_from([None, 0.5, float("nan"), "x", np.float64(1.0),
                                            np.zeros(2), Raised]))
    calls = iter(range(10**6))

    def train(genomes):
        return scores(kinds[next(calls) % len(kinds)], len(genomes))

    def validate(genome):
        genome.predict(np.zeros(genome.inputs))
        if validation is Raised:
            raise Raised
        return validation

    epochs = data.draw(st.sampled_from([-1, 0, 1, 2]))
    with unchanged_on_failure(model, also=(Raised,)), quiet():
        history = model.func_evolve(train, pop_size=data.draw(st.sampled_from([-1, 0, 1, 3])),
                                    epochs=epochs, verbose=data.draw(st.sampled_from([0, 1])),
                                    validation_func=data.draw(st.sampled_from([None, validate])))
        assert all(len(values) == epochs for values in history.values())
    round_trip(model)


@probe
@given(st.data())
def test_genome_predict(data):
    genomes = []
    model = data.draw(models(compiled=False))
    model.func_evolve(lambda gs: genomes.extend(gs) or np.zeros(len(gs)), pop_size=1, epochs=1,
                      verbose=0)
    genome = genomes[0]
    x = data.draw(arrays(genome.inputs))
    try:
        out = genome.predict(x)
    except CLEAR:
        return
    assert out.shape == x.shape[:-1] + (genome.outputs,)


pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
