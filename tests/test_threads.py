"""Training scores pools without the interpreter lock: other threads, calls
on the same model and forked children must all stay sound."""
import multiprocessing
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import tessavo


def _data(rows=2000, inputs=4):
    rng = np.random.default_rng(3)
    x = rng.normal(size=(rows, inputs))
    return x, np.tanh(x[:, :1] - x[:, 1:2])


def _model(size=12):
    model = tessavo.Model(4, 1, size=size)
    model.compile(loss="mse", metrics=["mae"])
    return model


def _in_background(target):
    errors = []

    def run():
        try:
            target()
        except BaseException as e:  # reported by the test thread
            errors.append(e)

    thread = threading.Thread(target=run)
    thread.start()
    return thread, errors


def test_calls_on_the_model_during_a_run_see_a_whole_network(tmp_path):
    x, y = _data()
    model = _model()
    before_predict = model.predict(x[:50])
    thread, errors = _in_background(lambda: model.evolve(x, y, pop_size=40, epochs=15, verbose=0))
    seen = 0
    while thread.is_alive():
        # Until the run installs its result the model is the one it was.
        predicted = model.predict(x[:50])
        if thread.is_alive() and np.array_equal(predicted, before_predict):
            seen += 1
        model.evaluate(x, y)
        model.save(str(tmp_path / "during.tv"))
        tessavo.load(str(tmp_path / "during.tv")).predict(x[:5])
    thread.join()
    assert not errors
    assert seen > 0  # the main thread ran while the pool was scored
    assert np.isfinite(model.evaluate(x, y)[0])


def test_two_runs_on_one_model_from_two_threads():
    x, y = _data(rows=500)
    model = _model()
    runs = [_in_background(lambda: model.evolve(x, y, pop_size=20, epochs=5, verbose=0))
            for _ in range(2)]
    for thread, errors in runs:
        thread.join()
        assert not errors
    assert model.predict(x[:4]).shape == (4, 1)
    assert np.isfinite(model.evaluate(x, y)[0])


def _task_count():
    return len(os.listdir("/proc/self/task"))


def test_runs_leave_no_thread_behind():
    x, y = _data(rows=400)
    model = _model()
    model.evolve(x, y, pop_size=20, epochs=1, verbose=0)  # starts the pool
    tasks = _task_count()
    for batch_size in (-1, 100):
        model.evolve(x, y, pop_size=20, epochs=2, batch_size=batch_size, verbose=0)
    with pytest.raises(ValueError):
        model.evolve(x, y[:10], pop_size=20, epochs=2, verbose=0)
    # Other libraries' threads (left by earlier tests) may end meanwhile.
    assert _task_count() <= tasks


def _train_in_child(queue):
    x, y = _data(rows=400)
    model = _model()
    history = model.evolve(x, y, pop_size=20, epochs=2, verbose=0)
    queue.put((len(history["loss"]), model.predict(x[:3]).shape))


def fork_check():
    x, y = _data(rows=400)
    _model().evolve(x, y, pop_size=20, epochs=1, verbose=0)  # the parent's pool runs
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_train_in_child, args=(queue,))
    child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        raise AssertionError("the forked child hung")
    assert child.exitcode == 0
    assert queue.get(timeout=5) == (2, (3, 1))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_trains_with_its_own_pool():
    # Forked from a new interpreter: this one may have imported JAX (the
    # Keras tests), which warns that forking it may deadlock.
    code = (f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); "
            "import test_threads; test_threads.fork_check()")
    result = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                            timeout=180)
    assert result.returncode == 0, result.stderr
    assert "jax" not in result.stderr.lower()
