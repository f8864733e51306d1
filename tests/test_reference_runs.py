"""Seeded runs pinned to stored results: histories (exact floats), progress
lines (timings masked) and the saved bytes of the trained model.

The stored file is written by running this file as a script
(python tests/test_reference_runs.py), only when a change of results is
intended.
"""
import ctypes
import hashlib
import itertools
import json
import os
import pathlib
import re
import sys
import tempfile

import numpy as np
import pytest

import tessavo

DATA = pathlib.Path(__file__).with_name("data") / "reference_runs.json"

_libc = ctypes.CDLL(None)

RNG = np.random.default_rng(11)
X = RNG.uniform(-1, 1, size=(400, 2))
# Products and differences only: they round the same on every NumPy, sin does not.
Y = X[:, :1] * X[:, 1:] - 0.25 * X[:, 1:]
PROBE = X[:40]

OPTIMIZERS = ("alpha", "beta")
DRIVERS = ("one_batch", "batches", "func")
KINDS = ("feedforward", "recurrent")
THREADS = (1, 2)
CASES = list(itertools.product(OPTIMIZERS, DRIVERS, KINDS, THREADS))

# A duration: "1:05", "59s", "999ms".
_DURATION = re.compile(r"\d+(?::\d\d)+|\d+(?:ms|s)\b")


def _data(recurrent):
    if recurrent:
        return X.reshape(100, 4, 2), Y.reshape(100, 4, 1)
    return X, Y


def _score(genomes, recurrent):
    probe = PROBE.reshape(10, 4, 2) if recurrent else PROBE
    target = Y[:40].reshape(10, 4, 1) if recurrent else Y[:40]
    return np.array([np.mean((g.predict(probe) - target) ** 2) for g in genomes])


def run(optimizer, driver, kind, threads):
    """The history, the progress text and a hash of the saved model."""
    recurrent = kind == "recurrent"
    tessavo.set_num_threads(threads)
    tessavo.set_random_seed(12345)
    model = tessavo.Model(2, 1, size=6, recurrent=recurrent)
    if driver == "func":
        model.compile(loss="mse", optimizer=optimizer, monitors=["size"])
        probe = PROBE.reshape(10, 4, 2) if recurrent else PROBE
        history = model.func_evolve(
            lambda genomes: _score(genomes, recurrent), pop_size=10, epochs=3, verbose=1,
            validation_func=lambda g: float(np.mean(g.predict(probe) ** 2)))
    else:
        x, y = _data(recurrent)
        if driver == "one_batch":
            model.compile(loss="mse", optimizer=optimizer)
            history = model.evolve(x, y, pop_size=10, epochs=3, verbose=1)
        else:
            model.compile(loss="mse", optimizer=optimizer, metrics=["mae", "mape"],
                          monitors=["size"])
            batch = 30 if recurrent else 120
            history = model.evolve(x[50:], y[50:], pop_size=16, batch_size=batch, epochs=3,
                                   validation_data=(x[:50], y[:50]), verbose=1)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "m.tv")
        model.save(path)
        digest = hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()
    return {
        "history": {key: [v.hex() if isinstance(v, float) else v for v in values]
                    for key, values in history.items()},
        "model": digest,
    }


def _masked(text):
    return _DURATION.sub("T", text)


@pytest.fixture(autouse=True)
def _restore():
    yield
    tessavo.set_random_seed(None)
    tessavo.set_num_threads(os.cpu_count() or 1)


@pytest.fixture(scope="module")
def stored():
    return json.loads(DATA.read_text())


@pytest.mark.parametrize("case", CASES, ids=["-".join(map(str, c)) for c in CASES])
def test_same_as_stored(case, stored, capfd):
    _libc.fflush(None)
    capfd.readouterr()
    result = run(*case)
    _libc.fflush(None)
    result["lines"] = _masked(capfd.readouterr().out)
    assert result == stored["-".join(map(str, case))]


def _write():
    import subprocess

    results = {}
    for case in CASES:
        # A child process per case: its C stdout is read whole.
        out = subprocess.run(
            [sys.executable, __file__, "--case", *map(str, case)], check=True,
            capture_output=True).stdout.decode()
        lines, _, result = out.rpartition("\0")
        entry = json.loads(result)
        entry["lines"] = _masked(lines)
        results["-".join(map(str, case))] = entry
    DATA.parent.mkdir(exist_ok=True)
    DATA.write_text(json.dumps(results, indent=1, sort_keys=True) + "\n")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--case"]:
        optimizer, driver, kind, threads = sys.argv[2:6]
        result = run(optimizer, driver, kind, int(threads))
        _libc.fflush(None)
        sys.stdout.write("\0" + json.dumps(result))
    else:
        _write()
