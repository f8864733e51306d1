"""The Beta optimizer: it solves, repeats under a seed, and refuses bad settings."""
import copy
import math
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import tessavo
from tessavo.optimizers import Beta

XOR_X = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=float)
XOR_Y = np.array([[0], [1], [1], [0]], dtype=float)


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_solves_xor(seed):
    tessavo.set_random_seed(seed)
    model = tessavo.Model(2, 1)
    model.compile(optimizer="beta", loss="mse")
    # 300 generations of 50 is far above the few thousand networks it needs.
    history = model.evolve(XOR_X, XOR_Y, pop_size=50, epochs=300, verbose=0)
    assert min(history["loss"]) <= 0.025
    assert model.evaluate(XOR_X, XOR_Y)[0] == pytest.approx(history["loss"][-1])


_RUN = """
import os, sys
os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:int(sys.argv[1])]))
import numpy as np, tessavo
tessavo.set_random_seed(11)
rng = np.random.default_rng(0)
x = rng.normal(size=(3000, 3)); y = np.sin(x[:, :1]) * x[:, 1:2]
model = tessavo.Model(3, 1, size=8)
model.compile(optimizer=tessavo.optimizers.Beta(structure_rate=0.5), loss="mse", metrics=["mae"])
h = model.evolve(x, y, pop_size=64, batch_size=1000, epochs=4, verbose=0)
print(h["loss"], h["mae"], model.predict(x[:3]).tolist())
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_seeded_runs_repeat_on_any_number_of_threads():
    def run(threads):
        done = subprocess.run([sys.executable, "-P", "-c", _RUN, str(threads)],
                              capture_output=True, text=True, check=True)
        return done.stdout

    one = run(1)
    assert one == run(2) == run(1)


def test_recurrent_func_evolve_with_growth_and_callbacks():
    tessavo.set_random_seed(5)
    model = tessavo.Model(2, 1, recurrent=True)
    model.compile(optimizer=Beta(structure_rate=1.0, species=3))
    seen = []

    class Stop(tessavo.callbacks.Callback):
        def on_epoch_end(self, epoch, logs=None):
            seen.append(epoch)
            if epoch == 24:
                self.model.stop_training = True

    sizes = []

    def train(genomes):
        sizes.extend(int(repr(g).split("size=")[1].split()[0]) for g in genomes)
        return np.array([float(np.mean((g.predict(XOR_X) - XOR_Y) ** 2)) for g in genomes])

    history = model.func_evolve(train, pop_size=12, epochs=100, verbose=0, callbacks=[Stop()],
                                validation_func=lambda g: 1.0)
    assert seen == list(range(25)) and len(history["loss"]) == 25
    assert history["val_loss"] == [1.0] * 25
    assert max(sizes) > 5  # children grow, and none breaks the run
    assert np.isfinite(model.predict(XOR_X)).all()


def test_failed_train_func_leaves_the_model():
    model = tessavo.Model(2, 1)
    model.compile(optimizer="beta")
    before = model.predict(XOR_X)
    calls = []

    def train(genomes):
        calls.append(len(genomes))
        if len(calls) == 3:
            raise ArithmeticError("stop")
        return np.zeros(len(genomes))

    with pytest.raises(ArithmeticError):
        model.func_evolve(train, pop_size=7, epochs=5, verbose=0)
    assert calls == [7, 7, 7]  # one network scored per member, no parents on top
    np.testing.assert_array_equal(model.predict(XOR_X), before)


def test_pickling_copying_and_printing(capsys):
    beta = Beta(mutation_power=0.25, species=4, elitism=2)
    for twin in (pickle.loads(pickle.dumps(beta)), copy.deepcopy(beta)):
        assert type(twin) is Beta and repr(twin) == repr(beta)
    assert repr(beta) == ("<tessavo.optimizers.Beta mutation_power=0.25 mutation_rate=0.2 "
                          "structure_rate=0.2 species=4 elitism=2>")
    model = tessavo.Model(2, 1)
    model.compile(optimizer=beta, loss="mse")
    clone = pickle.loads(pickle.dumps(model))
    clone.summary()
    assert "optimizer=Beta(mutation_power=0.25, mutation_rate=0.2" in capsys.readouterr().out
    np.testing.assert_array_equal(clone.predict(XOR_X), model.predict(XOR_X))
    clone.evolve(XOR_X, XOR_Y, pop_size=5, epochs=2, verbose=0)
    keep = Beta(keep_output_activations=True)
    assert repr(keep).endswith(" elitism=1 keep_output_activations=True>")
    assert repr(pickle.loads(pickle.dumps(keep))) == repr(keep)


def test_keep_output_activations():
    # Scored by the size of the outputs for a large input: bounded
    # activations win, so outputs free to evolve leave linear.
    big = np.full((1, 2), 1000.0)

    def train_func(genomes):
        return np.array([float(np.abs(genome.predict(big)).max()) for genome in genomes])

    outputs = {}
    for keep in (False, True):
        model = tessavo.Model(2, 2, size=5, seed=3, output_activation="linear")
        model.compile(optimizer=Beta(keep_output_activations=keep))
        model.func_evolve(train_func, pop_size=20, epochs=5, verbose=0, seed=3)
        outputs[keep] = [node["activation"] for _, node in model.get_nodes()[-2:]]
    assert outputs[True] == ["linear", "linear"]
    assert outputs[False] != ["linear", "linear"]


@pytest.mark.parametrize("kwargs, error", [
    ({"mutation_power": 0.0}, ValueError),
    ({"mutation_power": -1.0}, ValueError),
    ({"mutation_power": math.inf}, ValueError),
    ({"mutation_rate": math.nan}, ValueError),
    ({"mutation_rate": 1.5}, ValueError),
    ({"structure_rate": -0.1}, ValueError),
    ({"species": 0}, ValueError),
    ({"elitism": -1}, ValueError),
    ({"species": 2.5}, TypeError),
    ({"mutation_rate": "0.1"}, TypeError),
    ({"speciation": 3}, TypeError),
])
def test_bad_settings(kwargs, error):
    with pytest.raises(error):
        Beta(**kwargs)
    model = tessavo.Model(2, 1)
    with pytest.raises(error):
        model.compile(optimizer=Beta(**kwargs), loss="mse")
    assert "uncompiled" in repr(model)


def test_positional_settings_are_refused():
    with pytest.raises(TypeError):
        Beta(0.5)  # type: ignore[misc]
