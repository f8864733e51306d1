import re
import signal
import struct
import time

import numpy as np
import pytest

import tessavo

DURATION = r"(?:\d+ms|\d+s|\d+:\d\d(?::\d\d)?)"
WARNING = (
    "WARNING! The batch size is less than 10% the number of samples in your dataset. If the "
    "dataset is highly nonlinear, individual batches may not represent your dataset correctly "
    "and the loss can be extremely underestimated. Make sure to use a validation set to "
    "monitor the actual loss closely.\n"
)


def line_data(rows, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, size=(rows, 2))
    y = (0.6 * x[:, :1] - 0.3 * x[:, 1:] + 0.2) ** 2
    return x, y


def compiled(loss="mse", metrics=(), monitors=(), recurrent=False, size=5):
    model = tessavo.Model(2, 1, size=size, recurrent=recurrent)
    model.compile(loss=loss, metrics=list(metrics), monitors=list(monitors))
    return model


def without_durations(text):
    return re.sub(DURATION, "T", text)


@pytest.mark.parametrize(
    "metrics, monitors, validation, keys",
    [
        ((), (), False, ["loss"]),
        (("mae", "mape"), ("size",), True,
         ["loss", "mae", "mape", "val_loss", "val_mae", "val_mape", "size"]),
        (("mae",), ("size", "size"), False, ["loss", "mae", "size"]),
        # A metric compiled twice, or equal to the loss, keeps one key per name.
        (("mae", "mse", "mae"), (), True, ["loss", "mae", "mse", "val_loss", "val_mae", "val_mse"]),
    ],
)
@pytest.mark.parametrize("epochs", [0, 3])
def test_history_keys_and_lengths(metrics, monitors, validation, keys, epochs):
    model = compiled(metrics=metrics, monitors=monitors)
    x, y = line_data(12)
    extra = {"validation_data": (x[:4], y[:4])} if validation else {}
    history = model.evolve(x, y, pop_size=4, batch_size=5, epochs=epochs, verbose=0, **extra)
    assert list(history) == keys
    for key, values in history.items():
        assert len(values) == epochs, key
        assert all(type(v) is (int if key == "size" else float) for v in values)
    if epochs and monitors:
        assert history["size"][-1] == model.size


@pytest.mark.parametrize("recurrent", [False, True], ids=["feed-forward", "recurrent"])
def test_one_batch_loss_never_rises_and_matches_evaluate(recurrent):
    model = compiled(metrics=["mae"], recurrent=recurrent)
    if recurrent:
        rng = np.random.default_rng(5)
        x = rng.uniform(-1, 1, size=(6, 4, 2))
        y = x.sum(axis=1, keepdims=True)[:, :, :1] * 0.3
    else:
        x, y = line_data(16)
    history = model.evolve(x, y, pop_size=8, epochs=25, verbose=0)
    losses = history["loss"]
    assert all(b <= a for a, b in zip(losses, losses[1:]))
    assert model.evaluate(x, y) == [losses[-1], history["mae"][-1]]


def test_evolve_learns():
    rng = np.random.default_rng(11)
    x = rng.uniform(-1, 1, size=(32, 2))
    # Within the range of every activation the output node may have.
    y = 0.5 + 0.2 * x[:, :1] - 0.1 * x[:, 1:]
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    before = model.evaluate(x, y)[0]
    history = model.evolve(x, y, pop_size=30, epochs=80, verbose=0)
    assert history["loss"][-1] < 0.25 * before
    assert model.evaluate(x, y)[0] == history["loss"][-1]


def test_epochs_zero_keeps_the_network():
    model = compiled(monitors=["size"])
    x, y = line_data(8)
    before = model.predict(x)
    assert model.evolve(x, y, epochs=0, verbose=0) == {"loss": [], "size": []}
    np.testing.assert_array_equal(model.predict(x), before)
    assert model.size == 5


def test_progress_one_batch_is_byte_exact(c_stdout):
    model = compiled(metrics=["mae"], monitors=["size"])
    x, y = line_data(10)
    val = line_data(4, seed=8)
    history = model.evolve(x, y, pop_size=4, epochs=3, validation_data=val, verbose=1)
    expected = "".join(
        f"\rEpoch {e + 1}/3 - 1/1 [{'=' * 30}] - T T/step - loss: {history['loss'][e]:f}"
        f" - mae: {history['mae'][e]:f} - val_loss: {history['val_loss'][e]:f}"
        f" - val_mae: {history['val_mae'][e]:f} - size: {history['size'][e]}\n"
        for e in range(3)
    )
    assert without_durations(c_stdout()) == expected


def test_progress_with_batches(c_stdout):
    model = compiled()
    x, y = line_data(10)
    history = model.evolve(x, y, pop_size=4, batch_size=3, epochs=2, verbose=1)
    out = c_stdout()
    epochs = out.split("\n")
    assert epochs[-1] == "" and len(epochs) == 3
    for e, text in enumerate(epochs[:2]):
        lines = text.split("\r")[1:]
        assert len(lines) == 4
        for step, (line, full) in enumerate(zip(lines[:3], (8, 15, 23))):
            bar = "=" * full + ">" + "." * (29 - full)
            assert re.fullmatch(
                rf"Epoch {e + 1}/2 - {step + 1}/4 \[{bar}\] - ETA: {DURATION} - loss\*: \d+\.\d{{6}}",
                line,
            ), line
        assert without_durations(lines[3]) == (
            f"Epoch {e + 1}/2 - 4/4 [{'=' * 30}] - T T/step - loss*: {history['loss'][e]:f}"
        )


@pytest.mark.parametrize("verbose, lines_per_epoch", [(0, 0), (2, 1), (3, 4), (-1, 4)])
def test_progress_levels(c_stdout, verbose, lines_per_epoch):
    model = compiled()
    x, y = line_data(10)
    model.evolve(x, y, pop_size=3, batch_size=3, epochs=2, verbose=verbose)
    out = c_stdout()
    assert out.count("\r") == 2 * lines_per_epoch
    assert out.count("\n") == (2 if lines_per_epoch else 0)
    if lines_per_epoch:
        assert out.endswith("\n") and "[" not in out and "/step" not in out
        assert all(chunk.endswith("\n") for chunk in out.split("\r")[lines_per_epoch::lines_per_epoch])


@pytest.mark.parametrize("kind", ["evolve", "func"])
def test_verbose_auto_is_1(c_stdout, kind):
    x, y = line_data(10)
    outs = []
    for verbose in ("auto", 1):
        tessavo.set_random_seed(5)
        model = compiled()
        if kind == "evolve":
            model.evolve(x, y, pop_size=3, batch_size=3, epochs=2, verbose=verbose)
        else:
            model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=3, epochs=2,
                              verbose=verbose)
        outs.append(re.sub(DURATION, "T", c_stdout()))
    tessavo.set_random_seed(None)
    assert outs[0] == outs[1] and outs[0].count("\r") == (8 if kind == "evolve" else 2)
    model = compiled()
    before = model.get_connections()
    for verbose, error in (("Auto", ValueError), ("", ValueError), (1.0, TypeError),
                           (None, TypeError)):
        with pytest.raises(error, match="verbose|integer"):
            if kind == "evolve":
                model.evolve(x, y, pop_size=3, epochs=1, verbose=verbose)
            else:
                model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=3,
                                  epochs=1, verbose=verbose)
    assert model.get_connections() == before


def test_batch_size_warning_once(c_stdout):
    model = compiled()
    x, y = line_data(20)
    model.evolve(x, y, pop_size=2, batch_size=1, epochs=2, verbose=0)
    assert c_stdout() == WARNING
    model.evolve(x, y, pop_size=2, batch_size=2, epochs=1, verbose=0)
    assert c_stdout() == ""


def test_all_nan_batches_keep_the_previous_best():
    model = compiled(monitors=["size"])
    x, y = line_data(6)
    y[2, 0] = np.nan
    before = model.predict(x)
    history = model.evolve(x, y, pop_size=5, epochs=4, verbose=0)
    # No member has a finite loss: the seed clone stays best, and its own
    # (NaN) loss on the batch is what the history reports.
    assert all(np.isnan(history["loss"]))
    assert history["size"] == [5] * 4
    np.testing.assert_array_equal(model.predict(x), before)


class Stop(Exception):
    pass


@pytest.mark.parametrize("error", [KeyboardInterrupt, Stop])
@pytest.mark.parametrize("pop_size", [20, 300])  # 300: bred on the pool
def test_signal_during_training_leaves_the_model(error, pop_size):
    model = compiled(monitors=["size"], size=6)
    x, y = line_data(200)
    before = model.predict(x)

    def handler(signum, frame):
        raise error

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with pytest.raises(error):
            model.evolve(x, y, pop_size=pop_size, batch_size=50, epochs=2**31 - 1, verbose=0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert model.size == 6
    np.testing.assert_array_equal(model.predict(x), before)


@pytest.mark.parametrize("delay", [0.01, 0.04, 0.1])
def test_signal_during_the_last_generation_leaves_the_model(delay):
    # One generation on many rows: the alarm falls in its scoring, after the
    # run's last signal check, or (on a fast machine) after the run. Either
    # the run fails whole, or it completes with its history.
    model = compiled(size=6)
    x, y = line_data(400_000)
    before = model.get_connections()

    def handler(signum, frame):
        raise Stop

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, delay)
    history = None
    try:
        history = model.evolve(x, y, pop_size=20, epochs=1, verbose=0)
        time.sleep(2 * delay)  # a late alarm is raised here, not inside the run
    except Stop:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    if history is None:
        assert model.get_connections() == before
    else:
        assert len(history["loss"]) == 1


def test_compile_checks_come_first():
    model = tessavo.Model(2, 1)
    with pytest.raises(RuntimeError, match=r"^You must compile your model before evolving\. "):
        model.evolve()
    model.compile(metrics=["mae"])
    with pytest.raises(RuntimeError, match=r"^Please set the loss function uring compilation\. "):
        model.evolve()


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"validation_data": [np.zeros((2, 2)), np.zeros((2, 1))]}, TypeError, "validation_data"),
        ({"validation_data": (np.zeros((2, 2)),)}, TypeError, "validation_data"),
        ({"validation_data": (np.zeros((2, 2)), [["a"], ["b"]])}, TypeError, "y_val"),
        ({"validation_data": (np.zeros((2, 3)), np.zeros((2, 1)))}, ValueError, "x_val"),
        ({"batch_size": 0}, ValueError, "batch_size"),
        ({"batch_size": -2}, ValueError, "batch_size"),
        ({"epochs": -1}, ValueError, "epochs"),
        ({"pop_size": 0}, ValueError, "pop_size"),
        ({"pop_size": "3"}, TypeError, None),
        ({"pop_size": 2**31 - 1, "batch_size": 1}, MemoryError, None),
        ({"x_train": np.zeros((0, 2)), "y_train": np.zeros((0, 1))}, ValueError, "x_train"),
        ({"y_train": np.zeros((8, 2))}, ValueError, "y_train"),
        ({"x_train": [[0.0, 1.0]]}, ValueError, "x_train"),
        # Ragged: NumPy 2 refuses it, older NumPy makes an object array.
        ({"x_train": [[0.0, 1.0], [2.0]]}, (TypeError, ValueError), None),
        # 0-d data once crashed: its length was read before the shape checks.
        ({"x_train": np.array(0.0), "batch_size": 1}, ValueError, "x_train"),
        ({"x_train": np.array(0.0), "batch_size": 5}, ValueError, "x_train"),
        ({"y_train": np.array(0.0), "batch_size": 1}, ValueError, "y_train"),
        ({"validation_data": (np.array(0.0), np.array(0.0)), "batch_size": 1}, ValueError,
         "x_val"),
    ],
)
def test_bad_arguments_change_nothing(c_stdout, kwargs, error, message):
    model = compiled(monitors=["size"])
    x, y = line_data(8)
    before = model.predict(x)
    arguments = {"x_train": x, "y_train": y, "epochs": 2, **kwargs}
    with pytest.raises(error, match=message):
        model.evolve(**arguments)
    assert c_stdout() == ""
    assert model.size == 5
    np.testing.assert_array_equal(model.predict(x), before)


def test_docstring():
    assert tessavo.Model.evolve.__doc__ == "Evolves the network on a given dataset."
    assert tessavo.Model.evolve.__text_signature__ == (
        "($self, x_train, y_train, pop_size=100, batch_size=-1, epochs=100, "
        "validation_data=None, verbose=1, *, callbacks=None, seed=None)"
    )


def test_model_rebuilt_by_a_signal_handler_is_not_overwritten():
    model = compiled(size=6)
    x, y = line_data(200)

    def handler(signum, frame):
        model.recurrent = True

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.02)
    try:
        with pytest.raises(RuntimeError, match="changed while it was evolving"):
            # The check comes at the end: the run must outlast the alarm well.
            model.evolve(x, y, pop_size=10, batch_size=50, epochs=2000, verbose=0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert model.recurrent and model.size == 6


def broken_model(tmp_path):
    # 2 inputs, hidden node 2, output 3: the hidden node sends nowhere.
    data = struct.pack("<iiiB", 4, 2, 1, 0) + struct.pack("<4d", 0.1, 0.2, 0.3, 0.4)
    data += struct.pack("<4i", 0, 1, 2, 3)
    for source, target, weight in [(0, 2, 1.0), (1, 3, 1.0), (0, 3, 0.5)]:
        data += struct.pack("<iid", source, target, weight)
    path = tmp_path / "broken.tv"
    path.write_bytes(data)
    model = tessavo.load(str(path))
    model.compile(loss="mse")
    return model


@pytest.mark.parametrize("driver", ["evolve", "func_evolve"])
def test_broken_network_ends_the_run_cleanly(tmp_path, c_stdout, driver):
    model = broken_model(tmp_path)
    before = model.get_connections(), model.get_nodes()
    with pytest.raises(RuntimeError, match=r"^Crossover broke network\. The model is unchanged "
                       r".*ModelCheckpoint"):
        if driver == "evolve":
            model.evolve(np.zeros((4, 2)), np.zeros((4, 1)), pop_size=1, epochs=3, verbose=0)
        else:
            model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=1, epochs=3,
                              verbose=0)
    assert c_stdout() == "One of networks already broken.\nCrossover broke network\n"
    assert (model.get_connections(), model.get_nodes()) == before
    assert model.size == 4


@pytest.mark.parametrize("inputs, outputs, missing", [(0, 1, "inputs"), (2, 0, "outputs")])
@pytest.mark.parametrize("driver", ["evolve", "func_evolve"])
def test_models_without_inputs_or_outputs_are_not_evolved(c_stdout, inputs, outputs, missing, driver):
    model = tessavo.Model(inputs, outputs, size=3)
    model.compile(loss="mse")
    x = np.zeros((4, inputs))
    before = model.predict(x)
    assert before.shape == (4, outputs)
    with pytest.raises(ValueError, match=f"without {missing} cannot be evolved"):
        if driver == "evolve":
            model.evolve(x, np.zeros((4, outputs)), pop_size=3, epochs=1)
        else:
            model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=3, epochs=1)
    assert c_stdout() == ""
    np.testing.assert_array_equal(model.predict(x), before)
