import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import tessavo

PROBE = np.linspace(-1, 1, 12).reshape(6, 2)


def score(genome):
    """Picklable by reference, so that worker processes can run it."""
    return float(np.mean((genome.predict(PROBE) - 0.3) ** 2))


def fail(genome):
    raise ArithmeticError("worker failed")


def seeded_run(executor=None, function=score, chunk=1):
    tessavo.set_random_seed(11)
    try:
        model = tessavo.Model(2, 1, size=5, recurrent=True)
        model.compile(monitors=["size"])
        train_func = tessavo.scorer(function, executor, chunksize=chunk)
        history = model.func_evolve(train_func, pop_size=6, epochs=4, verbose=0)
        return history, model.get_connections()
    finally:
        tessavo.set_random_seed(None)


def test_serial_scores_in_genome_order():
    genomes = [tessavo.Genome(2, 1) for _ in range(3)]
    rank = {id(g): i for i, g in enumerate(genomes)}
    scores = tessavo.scorer(lambda g: rank[id(g)])(genomes)
    assert scores.dtype == np.float64 and scores.tolist() == [0.0, 1.0, 2.0]


def test_process_pool_equals_serial():
    serial = seeded_run()
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert seeded_run(pool) == serial
        assert seeded_run(pool, chunk=5) == serial
        model = tessavo.Model(2, 1)
        before = model.get_connections()
        with pytest.raises(ArithmeticError, match="worker failed"):
            model.func_evolve(tessavo.scorer(fail, pool), pop_size=2, epochs=2,
                              verbose=0)
        assert model.get_connections() == before


def test_dask_cluster_equals_serial():
    # CI sets TESSAVO_REQUIRE_DASK so this test can never be skipped there.
    if os.environ.get("TESSAVO_REQUIRE_DASK"):
        import distributed
    else:
        distributed = pytest.importorskip("distributed",
                                          reason="the 'distributed' extra is not installed")
    serial = seeded_run()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert seeded_run(client.get_executor()) == serial
        assert seeded_run(client.get_executor(), chunk=4) == serial


@pytest.mark.parametrize(
    "args, kwargs, error",
    [((1,), {}, TypeError), ((score, object()), {}, TypeError),
     ((score,), {"chunksize": 0}, ValueError), ((score,), {"chunksize": 2.0}, TypeError)],
)
def test_bad_arguments(args, kwargs, error):
    with pytest.raises(error):
        tessavo.scorer(*args, **kwargs)


def test_bad_scores():
    model = tessavo.Model(2, 1)
    with pytest.raises(TypeError, match="number"):
        model.func_evolve(tessavo.scorer(lambda g: "low"), pop_size=2, epochs=1, verbose=0)
