"""The Gamma optimizer: it solves, repeats under a seed, and refuses bad settings."""
import copy
import math
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import tessavo
from tessavo.optimizers import Gamma

XOR_X = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=float)
XOR_Y = np.array([[0], [1], [1], [0]], dtype=float)
SEARCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "benchmarks", "search")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_solves_xor_and_never_loses_its_best(seed):
    tessavo.set_random_seed(seed)
    model = tessavo.Model(2, 1, size=5)
    model.compile(optimizer="gamma", loss="mse")
    # 500 generations of 10 are far above the few hundred networks it needs.
    history = model.evolve(XOR_X, XOR_Y, pop_size=10, epochs=500, verbose=0)
    assert min(history["loss"]) <= 0.025
    # The best network is scored again each generation: on a fixed dataset
    # the reported loss never rises, restarts included.
    assert history["loss"] == sorted(history["loss"], reverse=True)
    assert model.evaluate(XOR_X, XOR_Y)[0] == pytest.approx(history["loss"][-1])


def test_solves_double_pole_where_beta_does_not():
    sys.path.insert(0, SEARCH)
    try:
        import tasks
    finally:
        sys.path.remove(SEARCH)
    task = tasks.TASKS["dpv"]
    # Seed 2 needs 993 networks; Beta (at its benchmark population) none within 3,000.
    assert tasks.run_tessavo(task, 2, 3000, optimizer="gamma", pop_size=10)["solved"]
    assert not tasks.run_tessavo(task, 2, 3000, optimizer="beta", pop_size=50)["solved"]


_RUN = """
import os, sys
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:int(sys.argv[1])]))
import numpy as np, tessavo
tessavo.set_random_seed(11)
rng = np.random.default_rng(0)
x = rng.normal(size=(300, 10, 3)); y = np.sin(x[:, :, :1]) * x[:, :, 1:2]
model = tessavo.Model(3, 1, size=8, recurrent=True)
model.compile(optimizer=tessavo.optimizers.Gamma(), loss="mse", metrics=["mae"])
h = model.evolve(x, y, pop_size=64, batch_size=100, epochs=4, verbose=0)
print(h["loss"], h["mae"], model.predict(x[:3]).tolist())
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_seeded_runs_repeat_on_any_number_of_threads():
    def run(threads):
        done = subprocess.run([sys.executable, "-P", "-c", _RUN, str(threads)],
                              capture_output=True, text=True, check=True)
        return done.stdout

    one = run(1)
    assert one == run(2) == run(3)


def test_recurrent_func_evolve_with_callbacks_and_epochs():
    tessavo.set_random_seed(5)
    model = tessavo.Model(2, 1, size=5, recurrent=True)
    model.compile(optimizer=Gamma(step_size=0.5, hidden_activation=None))
    seen = []

    class Stop(tessavo.callbacks.Callback):
        def on_epoch_end(self, epoch, logs=None):
            seen.append(epoch)
            if epoch == 14:
                self.model.stop_training = True

    counts = []

    def train(genomes):
        counts.append(len(genomes))
        return np.array([float(np.mean((g.predict(XOR_X) - XOR_Y) ** 2)) for g in genomes])

    history = model.func_evolve(train, pop_size=9, epochs=100, verbose=0, callbacks=[Stop()],
                                validation_func=lambda g: 1.0)
    assert seen == list(range(15)) and len(history["loss"]) == 15
    assert counts == [9] * 15  # one network scored per member: mean, elite, samples
    assert history["val_loss"] == [1.0] * 15
    assert np.isfinite(model.predict(XOR_X)).all()


def test_failed_train_func_leaves_the_model():
    model = tessavo.Model(2, 1, size=4)
    model.compile(optimizer="gamma")
    before = model.predict(XOR_X)
    calls = []

    def train(genomes):
        calls.append(len(genomes))
        if len(calls) == 3:
            raise ArithmeticError("stop")
        return np.zeros(len(genomes))

    with pytest.raises(ArithmeticError):
        model.func_evolve(train, pop_size=7, epochs=5, verbose=0)
    assert calls == [7, 7, 7]
    np.testing.assert_array_equal(model.predict(XOR_X), before)


def test_small_populations_work():
    for pop in (1, 2, 3):
        tessavo.set_random_seed(pop)
        model = tessavo.Model(2, 1, size=4)
        model.compile(optimizer="gamma", loss="mse")
        history = model.evolve(XOR_X, XOR_Y, pop_size=pop, epochs=5, verbose=0)
        assert len(history["loss"]) == 5 and all(map(math.isfinite, history["loss"]))


def test_pickling_copying_and_printing(capsys):
    gamma = Gamma(step_size=0.25, hidden_activation="sigmoid", restarts=False)
    for twin in (pickle.loads(pickle.dumps(gamma)), copy.deepcopy(gamma)):
        assert type(twin) is Gamma and repr(twin) == repr(gamma)
    assert repr(gamma) == ("<tessavo.optimizers.Gamma step_size=0.25 "
                           "hidden_activation='sigmoid' restarts=False>")
    assert repr(Gamma(hidden_activation=None)) == (
        "<tessavo.optimizers.Gamma step_size=1 hidden_activation=None restarts=True>")
    model = tessavo.Model(2, 1, size=4)
    model.compile(optimizer=gamma, loss="mse")
    clone = pickle.loads(pickle.dumps(model))
    clone.summary()
    assert ("optimizer=Gamma(step_size=0.25, hidden_activation='sigmoid', restarts=False)"
            in capsys.readouterr().out)
    np.testing.assert_array_equal(clone.predict(XOR_X), model.predict(XOR_X))
    clone.evolve(XOR_X, XOR_Y, pop_size=5, epochs=2, verbose=0)


@pytest.mark.parametrize("kwargs, error", [
    ({"step_size": 0.0}, ValueError),
    ({"step_size": -1.0}, ValueError),
    ({"step_size": math.inf}, ValueError),
    ({"step_size": math.nan}, ValueError),
    ({"step_size": 1e7}, ValueError),
    ({"hidden_activation": "softmax"}, ValueError),
    ({"hidden_activation": "Tanh"}, ValueError),
    ({"hidden_activation": 1}, TypeError),
    ({"restarts": 1}, TypeError),
    ({"step_size": "0.1"}, TypeError),
    ({"sigma": 3}, TypeError),
])
def test_bad_settings(kwargs, error):
    with pytest.raises(error):
        Gamma(**kwargs)
    model = tessavo.Model(2, 1)
    with pytest.raises(error):
        model.compile(optimizer=Gamma(**kwargs), loss="mse")
    assert "uncompiled" in repr(model)


def test_positional_settings_are_refused():
    with pytest.raises(TypeError):
        Gamma(0.5)  # type: ignore[misc]
