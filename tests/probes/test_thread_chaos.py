"""Six threads call everything at random on a few shared models. Every call
gives a result or a clear exception, and every model is whole at the end.
Meant to run under ThreadSanitizer too.

TESSAVO_PROBE_SECONDS sets the duration (default 20); TESSAVO_PROBE_SEED
the seed (default 0)."""

import collections
import copy
import os
import pickle
import random
import threading
import time

import numpy as np

import tessavo

SECONDS = float(os.environ.get("TESSAVO_PROBE_SECONDS", "20"))
SEED = int(os.environ.get("TESSAVO_PROBE_SEED", "0"))
THREADS = 6


class Draws(random.Random):
    def __init__(self, seed):
        super().__init__(seed)
        self.arrays = np.random.default_rng(seed)

    def normal(self, size):
        return self.arrays.normal(size=size)


def data(model, rng, rows):
    x = rng.normal(size=(rows, model.inputs))
    y = rng.normal(size=(rows, model.outputs))
    return (x[None], y[None]) if model.recurrent else (x, y)


def operations(models, folder, index):
    path = os.path.join(folder, f"{index}.tv")

    def pick(rng):
        return rng.choice(models)

    def predict(rng):
        model = pick(rng)
        model.predict(rng.normal(size=(rng.randint(1, 20), model.inputs)))

    def evaluate(rng):
        model = pick(rng)
        model.evaluate(*data(model, rng, 8))

    def evolve(rng):
        model = pick(rng)
        model.evolve(*data(model, rng, rng.choice([10, 200])), pop_size=rng.randint(1, 12),
                     batch_size=rng.choice([-1, 25]), epochs=rng.randint(0, 3), verbose=0)

    def func_evolve(rng):
        pick(rng).func_evolve(lambda genomes: np.array([g.predict(np.ones(g.inputs))[0]
                                                        for g in genomes]),
                              pop_size=rng.randint(1, 6), epochs=rng.randint(0, 2), verbose=0)

    def save_load(rng):
        pick(rng).save(path)
        tessavo.load(path).predict(np.ones(2))

    def copies(rng):
        model = pick(rng)
        for twin in (pickle.loads(pickle.dumps(model)), copy.deepcopy(model)):
            twin.get_connections()

    def switch(rng):
        pick(rng).recurrent = rng.random() < 0.5

    def seed(rng):
        tessavo.set_random_seed(rng.choice([None, rng.randrange(2**64)]))

    def rebuild(rng):
        model = pick(rng)
        if rng.random() < 0.5:
            model.__init__(2, 1, size=rng.randint(3, 8), recurrent=rng.random() < 0.5)
        model.compile(loss=rng.choice(["mse", "mae"]), metrics=["mape"], monitors=["size"])

    def inspect(rng):
        model = pick(rng)
        model.get_nodes()
        model.get_connections()
        repr(model)
        model.clear()

    def build(rng):
        tessavo.Model(2, 1, size=rng.randint(3, 30), recurrent=rng.random() < 0.5)

    return [predict, evaluate, evolve, func_evolve, save_load, copies, switch, seed, rebuild,
            inspect, build]


# What a call may raise when another thread changed the model under it: a
# shape that no longer fits, a run that found its model rebuilt, a model
# rebuilt uncompiled, an operator's failure on a switched network.
EXPECTED = (ValueError, RuntimeError)


def test_threads_calling_everything(tmp_path, round_trip):
    models = [tessavo.Model(2, 1, size=5), tessavo.Model(2, 1, size=6, recurrent=True)]
    for model in models:
        model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    unexpected = []
    calls = [0] * THREADS
    refused = collections.Counter()
    stop = time.monotonic() + SECONDS

    def work(index):
        rng = Draws(SEED * THREADS + index)
        ops = operations(models, str(tmp_path), index)
        while time.monotonic() < stop and not unexpected:
            op = rng.choice(ops)
            try:
                op(rng)
            except EXPECTED as error:
                refused[f"{op.__name__}: {str(error)[:40]}"] += 1
            except BaseException as error:  # noqa: BLE001 - reported below
                unexpected.append((op.__name__, repr(error)))
            calls[index] += 1

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    tessavo.set_random_seed(None)
    assert not unexpected, unexpected
    for model in models:
        model.predict(np.ones(model.inputs))
        round_trip(model)
    print(f"{sum(calls)} calls in {SECONDS:g} s; refused: {dict(refused)}")
