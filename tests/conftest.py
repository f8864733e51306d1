import atexit
import copy
import ctypes
import os
import pickle
import shutil
import sys
import tempfile

import pytest

import tessavo

os.environ.setdefault("KERAS_BACKEND", "jax")

_libc = ctypes.CDLL(None)


@pytest.fixture
def c_stdout(capfd):
    """Reads what the C runtime wrote to stdout (it is not Python's sys.stdout)."""

    def read():
        _libc.fflush(None)
        return capfd.readouterr().out

    read()
    return read


# ---- Every model a test leaves in its locals must survive save/load,
# pickling and copying unchanged: a copy that differs loses the user's work.

_ROUND_TRIP_FOLDER = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
atexit.register(shutil.rmtree, _ROUND_TRIP_FOLDER, ignore_errors=True)
# Larger models cost more to copy than they add to the check.
_ROUND_TRIP_MAX_SIZE = 200


def _models_in(values):
    seen = set()
    for value in values:
        items = value if isinstance(value, (list, tuple)) else [value]
        if isinstance(value, dict):
            items = list(value.values())
        for item in items:
            if isinstance(item, tessavo.Model) and id(item) not in seen:
                seen.add(id(item))
                yield item


def _view(model):
    # repr: NaN weights compare equal, and -0.0 differs from 0.0.
    return repr((model.inputs, model.outputs, model.recurrent, model.size, model.get_nodes(),
                 model.get_connections()))


def _state(model):
    # Everything pickling keeps: network, engine, node values, compile settings.
    return model.__reduce__()[1][1]


def check_round_trips(model):
    """Fails when a copy of the model differs from it."""
    if not 0 < model.size <= _ROUND_TRIP_MAX_SIZE:
        return
    state = _state(model)
    twins = [("copy", copy.copy(model)), ("deepcopy", copy.deepcopy(model))]
    try:
        twins.append(("pickle", pickle.loads(pickle.dumps(model))))
    except (pickle.PicklingError, AttributeError):
        pass  # a class local to the test (the model's or its optimizer's)
    for name, twin in twins:
        assert _state(twin) == state, f"a {name} of {model!r} differs from it"
    path = os.path.join(_ROUND_TRIP_FOLDER, "model.tv")
    model.save(path)
    loaded = tessavo.load(path)
    assert type(loaded) is tessavo.Model and _view(loaded) == _view(model), (
        f"{model!r} differs from its saved and loaded copy")


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    # The test function's locals, caught as it returns. Tracing costs little:
    # only the test's own frame gets a local tracer.
    code = getattr(pyfuncitem.obj, "__code__", None)
    if code is None or sys.gettrace() is not None:
        return (yield)
    found = []

    def local(frame, event, arg):
        if event == "return":
            found.extend(frame.f_locals.values())
        return local

    sys.settrace(lambda frame, event, arg: local if frame.f_code is code else None)
    try:
        result = yield
    finally:
        sys.settrace(None)
    for model in _models_in(found):
        check_round_trips(model)
    return result


@pytest.fixture
def round_trip():
    """check_round_trips, for tests that build models in other ways."""
    return check_round_trips
