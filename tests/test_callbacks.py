import numpy as np
import pytest

import tessavo
from tessavo.callbacks import (
    Callback,
    EarlyStopping,
    LambdaCallback,
    ModelCheckpoint,
    StopAtTarget,
)

X = np.linspace(-1, 1, 40).reshape(20, 2)
Y = X[:, :1] - X[:, 1:]


def compiled():
    model = tessavo.Model(2, 1, size=5)
    model.compile(loss="mse", monitors=["size"])
    return model


def run(model, kind, epochs=12, **kwargs):
    if kind == "evolve":
        return model.evolve(X, Y, pop_size=6, epochs=epochs, verbose=0, **kwargs)
    score = lambda g: float(np.mean((g.predict(X) - Y) ** 2))  # noqa: E731
    return model.func_evolve(tessavo.scorer(score), pop_size=6, epochs=epochs, verbose=0,
                             **kwargs)


class Recorder(Callback):
    def __init__(self, stop_at=None):
        super().__init__()
        self.events, self.stop_at = [], stop_at

    def on_train_begin(self, logs=None):
        self.events.append(("begin", dict(logs)))

    def on_epoch_end(self, epoch, logs=None):
        genome = self.model.best_genome
        self.events.append((epoch, dict(logs), float(genome.predict(X[0])[0])))
        if epoch == self.stop_at:
            self.model.stop_training = True

    def on_train_end(self, logs=None):
        self.events.append(("end", dict(logs)))


@pytest.mark.parametrize("kind", ["evolve", "func"])
def test_protocol_and_stop(kind):
    model = compiled()
    recorder = Recorder(stop_at=2)
    history = run(model, kind, callbacks=[recorder])
    assert len(history["loss"]) == 3
    assert recorder.events[0] == ("begin", {})
    for epoch in range(3):
        index, logs, output = recorder.events[1 + epoch]
        assert index == epoch
        assert logs == {key: values[epoch] for key, values in history.items()}
    assert recorder.events[-1] == ("end", recorder.events[3][1])
    # The run ended as a normal end: the last epoch's best is the model now.
    assert float(model.predict(X[0])[0]) == recorder.events[3][2]
    assert model.best_genome is None and model.stop_training


class AllHooks(Callback):
    """Records every hook with its arguments; stops at (epoch, batch)."""

    def __init__(self, stop_at=None):
        super().__init__()
        self.events, self.stop_at = [], stop_at

    def on_train_begin(self, logs=None):
        self.events.append(("train_begin", logs))

    def on_epoch_begin(self, epoch, logs=None):
        self.events.append(("epoch_begin", epoch, logs))

    def on_train_batch_begin(self, batch, logs=None):
        self.events.append(("batch_begin", batch, logs))

    def on_train_batch_end(self, batch, logs=None):
        self.events.append(("batch_end", batch, dict(logs)))
        if (len([e for e in self.events if e[0] == "epoch_begin"]) - 1, batch) == self.stop_at:
            self.model.stop_training = True

    def on_epoch_end(self, epoch, logs=None):
        self.events.append(("epoch_end", epoch, dict(logs)))

    def on_train_end(self, logs=None):
        self.events.append(("train_end", dict(logs)))


def test_every_hook_with_keras_arguments():
    model = tessavo.Model(2, 1, size=5)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    hooks = AllHooks()
    history = model.evolve(X, Y, pop_size=6, batch_size=8, epochs=2, verbose=0,
                           callbacks=[hooks])
    names = [e[0] for e in hooks.events]
    epoch = ["epoch_begin"] + ["batch_begin", "batch_end"] * 3 + ["epoch_end"]
    assert names == ["train_begin"] + epoch * 2 + ["train_end"]
    assert hooks.events[0] == ("train_begin", {})
    assert hooks.events[1] == ("epoch_begin", 0, {})
    assert [e[1] for e in hooks.events if e[0] == "batch_begin"] == [0, 1, 2] * 2
    assert all(e[2] == {} for e in hooks.events if e[0] == "batch_begin")
    # The last batch's running means are the epoch's training values.
    for k in range(2):
        last_batch = hooks.events[1 + 8 * k + 6][2]
        assert last_batch == {"loss": history["loss"][k], "mae": history["mae"][k],
                              "size": last_batch["size"]}
        assert hooks.events[1 + 8 * k + 7] == (
            "epoch_end", k, {key: values[k] for key, values in history.items()})


def test_function_evolution_has_no_batch_hooks():
    hooks = AllHooks()
    run(compiled(), "func", epochs=2, callbacks=[hooks])
    assert [e[0] for e in hooks.events] == ["train_begin"] + [
        "epoch_begin", "epoch_end"] * 2 + ["train_end"]


def test_stop_in_a_batch_ends_its_epoch():
    model = compiled()
    hooks = AllHooks(stop_at=(1, 0))
    history = model.evolve(X, Y, pop_size=6, batch_size=8, epochs=4, verbose=0,
                           callbacks=[hooks])
    assert len(history["loss"]) == 2
    # The second epoch ran one batch: its value is that batch's.
    assert history["loss"][1] == hooks.events[-3][2]["loss"]
    assert [e[0] for e in hooks.events][-3:] == ["batch_end", "epoch_end", "train_end"]


@pytest.mark.parametrize("kind", ["evolve", "func"])
def test_early_stopping_restores_the_best_epoch(kind):
    model = compiled()
    outputs = []
    keep = LambdaCallback(on_epoch_end=lambda e, logs: outputs.append(
        (logs["loss"], model.best_genome.predict(X))))
    # A baseline no run reaches: stops at the first epoch without improvement
    # once three epochs have run.
    stopper = EarlyStopping(monitor="loss", patience=3, baseline=-1.0, restore_best_weights=True)
    history = run(model, kind, epochs=200, callbacks=[keep, stopper])
    run_length = len(history["loss"])
    assert 3 <= run_length < 200 and stopper.stopped_epoch == run_length - 1
    best = min(range(run_length), key=lambda e: outputs[e][0])
    np.testing.assert_array_equal(model.predict(X), outputs[best][1])


def test_early_stopping_patience_and_min_delta():
    stopper = EarlyStopping(min_delta=0.5, patience=1)
    stopper.set_model(compiled())
    stopper.on_train_begin({})
    for epoch, loss in enumerate([1.0, 0.4]):
        stopper.on_epoch_end(epoch, {"loss": loss})
    assert not stopper.model.stop_training
    stopper.on_epoch_end(2, {"loss": 0.3})
    assert stopper.model.stop_training and stopper.stopped_epoch == 2
    with pytest.raises(ValueError, match="val_loss"):
        EarlyStopping(monitor="val_loss").on_epoch_end(0, {"loss": 1.0})


@pytest.mark.parametrize("best_only", [False, True])
def test_checkpoints(tmp_path, best_only):
    model = compiled()
    outputs = {}
    keep = LambdaCallback(on_epoch_end=lambda e, logs: outputs.setdefault(
        e + 1, (logs["loss"], model.best_genome.predict(X))))
    pattern = tmp_path / "ckpt-{epoch:02d}-{loss:.5f}.tv"
    run(model, "evolve", epochs=6,
        callbacks=[keep, ModelCheckpoint(pattern, save_best_only=best_only)])
    files = sorted(tmp_path.iterdir())
    saved = {int(f.name[5:7]): f for f in files}
    if best_only:
        losses = [outputs[e][0] for e in sorted(outputs)]
        assert sorted(saved) == [e for e in sorted(outputs)
                                 if outputs[e][0] < min(losses[:e - 1], default=np.inf)]
    else:
        assert sorted(saved) == list(range(1, 7))
    for epoch, path in saved.items():
        assert path.name == f"ckpt-{epoch:02d}-{outputs[epoch][0]:.5f}.tv"
        np.testing.assert_array_equal(tessavo.load(path).predict(X), outputs[epoch][1])


def failing(hook):
    def fail(*args):
        raise KeyError(hook)
    return LambdaCallback(**{hook: fail})


@pytest.mark.parametrize("kind", ["evolve", "func"])
@pytest.mark.parametrize(
    "callbacks, error",
    [
        ((Callback(),), TypeError),
        ([object()], TypeError),
        ([type("Hookless", (), {"on_epoch_end": 3})()], TypeError),
        ([failing("on_train_begin")], KeyError),
        ([failing("on_epoch_end")], KeyError),
        ([EarlyStopping(restore_best_weights=True), failing("on_train_end")], KeyError),
        ([EarlyStopping(monitor="val_loss")], ValueError),
        ([StopAtTarget(0.0, monitor="val_loss")], ValueError),
    ],
)
def test_bad_callbacks_leave_the_model(kind, callbacks, error):
    model = compiled()
    before = model.get_connections(), model.predict(X)
    with pytest.raises(error):
        run(model, kind, epochs=3, callbacks=callbacks)
    assert model.get_connections() == before[0]
    np.testing.assert_array_equal(model.predict(X), before[1])
    assert model.best_genome is None


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: EarlyStopping(patience=-1), ValueError),
        (lambda: EarlyStopping(mode="up"), ValueError),
        (lambda: EarlyStopping(monitor=1), TypeError),
        (lambda: ModelCheckpoint(b"x.tv"), TypeError),
        (lambda: LambdaCallback(on_epoch_end=1), TypeError),
        (lambda: StopAtTarget(float("nan")), ValueError),
        (lambda: StopAtTarget("1"), TypeError),
    ],
)
def test_bad_callback_arguments(make, error):
    with pytest.raises(error):
        make()


@pytest.mark.parametrize("kind", ["evolve", "func"])
@pytest.mark.parametrize("mode", ["min", "max"])
def test_stop_at_target(kind, mode):
    # The target is the value the run reaches at its fourth epoch.
    tessavo.set_random_seed(5)
    full = run(compiled(), kind, epochs=8, callbacks=[Recorder()])
    target = full["loss"][3] if mode == "min" else full["size"][3]
    monitor = "loss" if mode == "min" else "size"
    reached = [i for i, v in enumerate(full[monitor])
               if (v <= target if mode == "min" else v >= target)][0]
    stopper = StopAtTarget(target, monitor=monitor, mode=mode)
    tessavo.set_random_seed(5)
    history = run(compiled(), kind, epochs=8, callbacks=[Recorder(), stopper])
    assert stopper.stopped_epoch == reached
    assert history["loss"] == full["loss"][:reached + 1]
