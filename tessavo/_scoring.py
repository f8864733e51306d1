"""Scoring func_evolve genomes one by one, here or on other processes."""

import math
import os
import sys
from concurrent.futures import CancelledError

import numpy as np

# Tasks per worker when the chunk size is left to the scorer: a few, so that
# a worker that finishes early takes over, but not one per genome, since a
# task's own cost (pickling, the round trip, Dask's scheduling) can be
# larger than scoring one small genome.
_TASKS_PER_WORKER = 2


def scorer(score_genome, executor=None, *, chunksize=None):
    """Make a ``train_func`` for ``Model.func_evolve`` from a per-genome score.

    ``score_genome(genome) -> float`` scores one ``Genome`` (lower is better).
    Without an executor the genomes are scored one after the other in this
    process. With an executor that has the ``concurrent.futures`` interface
    (``ProcessPoolExecutor``, Dask's ``Client.get_executor()``, ...) or a Dask
    ``Client``, each task scores ``chunksize`` genomes in a row (by default
    about a generation over twice the number of workers). On Dask,
    ``score_genome`` (with the data it holds) is sent to the workers once per
    generation. Scores come back in genome order; an exception raised while
    scoring ends ``func_evolve`` with that exception and leaves the model
    unchanged.
    """
    if not callable(score_genome):
        raise TypeError(f"score_genome must be callable, got {type(score_genome).__name__}.")
    if executor is not None and not callable(getattr(executor, "map", None)):
        raise TypeError(
            "executor must be None or have a map(fn, iterable) method like "
            f"concurrent.futures.Executor, got {type(executor).__name__}."
        )
    if chunksize is not None:
        if isinstance(chunksize, bool) or not isinstance(chunksize, int):
            raise TypeError(f"chunksize must be None or an int, got {type(chunksize).__name__}.")
        if chunksize < 1:
            raise ValueError(f"chunksize must be at least 1, got {chunksize}.")
    client = _dask_client(executor)

    def train_func(genomes):
        if executor is None:
            scores = [score_genome(genome) for genome in genomes]
        else:
            size = chunksize or _default_chunksize(len(genomes), _workers(executor, client))
            chunks = [genomes[i:i + size] for i in range(0, len(genomes), size)]
            if client is not None:
                scores = _dask_scores(client, score_genome, chunks)
            elif size == 1:
                scores = list(executor.map(score_genome, genomes))
            else:
                tasks = executor.map(_score_chunk, [score_genome] * len(chunks), chunks)
                scores = [value for chunk in tasks for value in chunk]
        if len(scores) != len(genomes):
            raise ValueError(
                f"The executor returned {len(scores)} scores for {len(genomes)} genomes."
            )
        return np.array([_score(value) for value in scores], dtype=np.float64)

    return train_func


def _default_chunksize(genomes, workers):
    return max(1, math.ceil(genomes / (_TASKS_PER_WORKER * max(1, workers))))


def _workers(executor, client):
    if client is not None:
        return sum(client.nthreads().values())
    # ProcessPoolExecutor and ThreadPoolExecutor keep their size here.
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return workers
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _dask_client(executor):
    """The Dask Client behind a Client or its get_executor(), else None.

    Only looked for when distributed is imported already: a Dask executor
    cannot exist otherwise, and importing Dask costs seconds.
    """
    distributed = sys.modules.get("distributed")
    if executor is None or distributed is None:
        return None
    if isinstance(executor, distributed.Client):
        return executor
    client = getattr(executor, "_client", None)
    from distributed.cfexecutor import ClientExecutor

    if isinstance(executor, ClientExecutor) and isinstance(client, distributed.Client):
        return client
    return None


def _dask_scores(client, score_genome, chunks):
    # The function and the data it holds go to every worker once; each task
    # names it by its key instead of carrying a copy. pure=False: hashing
    # every genome for a key would cost more than it could save.
    shared = client.scatter(score_genome, broadcast=True, hash=False)
    try:
        try:
            results = _gather(client, client.map(_score_chunk, [shared] * len(chunks), chunks,
                                                 pure=False))
        except CancelledError:
            results = None
        if results is None:
            # A worker that died took the scattered function with it, and Dask
            # cancels the tasks that needed it, naming no cause. Scored again
            # with the function in every task, Dask retries them on the other
            # workers and reports its own cause (KilledWorker) if they keep
            # killing workers.
            results = _gather(client, client.map(_score_chunk, [score_genome] * len(chunks),
                                                 chunks, pure=False))
    finally:
        client.cancel([shared])
    return [value for chunk in results for value in chunk]


def _gather(client, futures):
    try:
        return client.gather(futures)
    except BaseException:
        client.cancel(futures)
        raise


def _score_chunk(score_genome, genomes):
    return [score_genome(genome) for genome in genomes]


def _score(value):
    # float() would parse text: "0.5" is not a number.
    if isinstance(value, (str, bytes)) or (
        isinstance(value, (np.ndarray, np.generic)) and value.dtype.kind not in "biuf"
    ):
        raise TypeError(f"score_genome must return a number, got {type(value).__name__}.")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(
            f"score_genome must return a number, got {type(value).__name__}."
        ) from None
