import importlib
import multiprocessing
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import tessavo

PROBE = np.linspace(-1, 1, 12).reshape(6, 2)


def score(genome):
    """Picklable by reference, so that worker processes can run it."""
    return float(np.mean((genome.predict(PROBE) - 0.3) ** 2))


def fail(genome):
    raise ArithmeticError("worker failed")


def seeded_run(executor=None, function=score, chunk=None):
    tessavo.set_random_seed(11)
    try:
        model = tessavo.Model(2, 1, size=5, recurrent=True)
        model.compile(monitors=["size"])
        train_func = tessavo.scorer(function, executor, chunksize=chunk)
        history = model.func_evolve(train_func, pop_size=6, epochs=4, verbose=0)
        return history, model.get_connections()
    finally:
        tessavo.set_random_seed(None)


def die(genome):
    os._exit(1)


def test_serial_scores_in_genome_order():
    genomes = [tessavo.Genome(2, 1) for _ in range(3)]
    rank = {id(g): i for i, g in enumerate(genomes)}
    scores = tessavo.scorer(lambda g: rank[id(g)])(genomes)
    assert scores.dtype == np.float64 and scores.tolist() == [0.0, 1.0, 2.0]
    # Numbers of any kind, but not text that float() would parse.
    assert tessavo.scorer(lambda g: np.float32(0.5))(genomes).tolist() == [0.5] * 3
    for text in ("0.5", b"0.5", np.str_("0.5"), np.array("0.5")):
        with pytest.raises(TypeError, match="must return a number"):
            tessavo.scorer(lambda g: text)(genomes)


def test_process_pool_equals_serial():
    serial = seeded_run()
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert seeded_run(pool) == serial
        assert seeded_run(pool, chunk=1) == serial
        assert seeded_run(pool, chunk=5) == serial
        model = tessavo.Model(2, 1)
        before = model.get_connections()
        with pytest.raises(ArithmeticError, match="worker failed"):
            model.func_evolve(tessavo.scorer(fail, pool), pop_size=2, epochs=2,
                              verbose=0)
        assert model.get_connections() == before


def test_dask_cluster_from_the_command_line_equals_serial():
    # CI sets TESSAVO_REQUIRE_DASK so this test can never be skipped there.
    if not os.environ.get("TESSAVO_REQUIRE_DASK"):
        pytest.importorskip("distributed", reason="the 'distributed' extra is not installed")
    sys.path.insert(0, str(Path(__file__).parents[1] / "benchmarks"))
    try:
        bench = importlib.import_module("dask_scoring")
    finally:
        sys.path.pop(0)
    serial = seeded_run()
    with bench.cluster(2, pythonpath=[Path(__file__).parent]) as client:
        # The benchmark, small: its own check is that both runs are the same.
        _, serial_history, dask_history, _ = bench.compare(client, bench.calibrated(1.0), 6, 2, 1)
        assert dask_history == serial_history
        for executor, chunk in [(client.get_executor(), None), (client.get_executor(), 1),
                                (client, 4)]:
            assert seeded_run(executor, chunk=chunk) == serial
        model = tessavo.Model(2, 1)
        before = model.get_connections()
        with pytest.raises(ArithmeticError, match="worker failed"):
            model.func_evolve(tessavo.scorer(fail, client), pop_size=2, epochs=2, verbose=0)
        assert model.get_connections() == before


@pytest.mark.parametrize(
    "args, kwargs, error",
    [((1,), {}, TypeError), ((score, object()), {}, TypeError),
     ((score,), {"chunksize": 0}, ValueError), ((score,), {"chunksize": 2.0}, TypeError),
     ((score,), {"chunksize": True}, TypeError)],
)
def test_bad_arguments(args, kwargs, error):
    with pytest.raises(error):
        tessavo.scorer(*args, **kwargs)


def test_bad_scores():
    model = tessavo.Model(2, 1)
    with pytest.raises(TypeError, match="number"):
        model.func_evolve(tessavo.scorer(lambda g: "low"), pop_size=2, epochs=1, verbose=0)


def test_dask_reports_workers_killed_while_scoring():
    if not os.environ.get("TESSAVO_REQUIRE_DASK"):
        pytest.importorskip("distributed", reason="the 'distributed' extra is not installed")
    import dask
    from distributed import Client, LocalCluster
    from distributed.scheduler import KilledWorker

    # A dying worker loses the function scattered to it; Dask's own report
    # names the cause, where the tasks that needed it only say "cancelled".
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}), \
            LocalCluster(n_workers=1, threads_per_worker=1, host="127.0.0.1",
                         dashboard_address=":0") as cluster, Client(cluster) as client:
        model = tessavo.Model(2, 1)
        before = model.get_connections()
        with pytest.raises(KilledWorker):
            model.func_evolve(tessavo.scorer(die, client), pop_size=2, epochs=1, verbose=0)
        assert model.get_connections() == before
