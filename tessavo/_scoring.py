"""Scoring func_evolve genomes one by one, here or on other processes."""

import os
import pickle
import sys
from concurrent.futures import CancelledError

import numpy as np

# Tasks per worker when the chunk size is left to the scorer: a few, so that
# a worker that finishes early takes over, but not one per genome, since a
# task's own cost (pickling, the round trip, Dask's scheduling) can be
# larger than scoring one small genome.
_TASKS_PER_WORKER = 2


def scorer(score_genome, executor=None, *, chunksize=None, batched=False):
    """Make a ``train_func`` for ``Model.func_evolve`` from a per-genome score.

    ``score_genome(genome) -> float`` scores one ``Genome`` (lower is better).
    Without an executor the genomes are scored one after the other in this
    process. With an executor that has the ``concurrent.futures`` interface
    (``ProcessPoolExecutor``, Dask's ``Client.get_executor()``, ...) or a Dask
    ``Client``, each task scores ``chunksize`` genomes in a row (by default
    a generation split evenly over the workers). On Dask, ``score_genome``
    (with the data it holds) is sent to the workers again only when it
    changed. Scores come back in genome order; an exception raised while
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
    if not isinstance(batched, bool):
        raise TypeError(f"batched must be a bool, got {type(batched).__name__}.")
    client = _dask_client(executor)
    score_chunk = _BatchChunk(score_genome) if batched else _GenomeChunk(score_genome)
    shared = _Shared(score_chunk)

    def train_func(genomes):
        epoch = getattr(genomes, "epoch", None)
        if executor is None:
            scores = score_chunk(genomes, epoch)
        else:
            chunks = _chunks(genomes, chunksize, _workers(executor, client),
                             1 if client is not None else _TASKS_PER_WORKER)
            if client is not None:
                scores = _dask_scores(client, shared, chunks, epoch)
            elif len(chunks) == len(genomes) and not batched:
                scores = list(executor.map(score_genome, genomes))
            else:
                tasks = executor.map(score_chunk, chunks, [epoch] * len(chunks))
                scores = [value for chunk in tasks for value in chunk]
        if len(scores) != len(genomes):
            raise ValueError(
                f"The executor returned {len(scores)} scores for {len(genomes)} genomes."
            )
        return np.array([_score(value) for value in scores], dtype=np.float64)

    return train_func


def _chunks(genomes, chunksize, workers, per_worker):
    """chunksize genomes per task; by default a generation split evenly
    into per_worker tasks per worker: no short last task leaves a worker
    idle."""
    count = len(genomes)
    if chunksize is not None:
        return [genomes[i:i + chunksize] for i in range(0, count, chunksize)]
    tasks = max(1, min(count, per_worker * max(1, workers)))
    bounds = [count * k // tasks for k in range(tasks + 1)]
    return [genomes[a:b] for a, b in zip(bounds, bounds[1:])]


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


class _Shared:
    """The scoring function on every Dask worker, sent again only when it
    changed: pickled each generation, it is broadcast when its bytes differ
    from the last copy sent (or that copy was lost), so a function whose data
    the user changes between generations is never stale, and one that stays
    the same costs no round trip to every worker."""

    def __init__(self, score_chunk):
        self.score_chunk = score_chunk
        self.client = None
        self.future = None
        self.payload = None

    def on(self, client):
        try:
            payload = pickle.dumps(self.score_chunk, protocol=pickle.HIGHEST_PROTOCOL)
        except Exception:
            payload = None  # Dask's own pickling may still manage (closures, lambdas)
        if (payload is None or payload != self.payload or client is not self.client
                or self.future is None or self.future.status != "finished"):
            self.drop()
            self.future = client.scatter(self.score_chunk, broadcast=True, hash=False)
            self.client, self.payload = client, payload
        return self.future

    def drop(self):
        if self.future is not None:
            future, self.future, self.payload = self.future, None, None
            try:
                self.client.cancel([future])
            except Exception:
                pass  # a client that is closed has released it already


def _dask_scores(client, shared, chunks, epoch):
    # Each task names the function by its key instead of carrying a copy.
    # pure=False: hashing every genome for a key would cost more than it
    # could save. Tasks are placed round the workers, one chunk each in
    # turn: left to itself, the scheduler may queue two on one worker while
    # another idles. allow_other_workers: a lost worker's tasks run elsewhere.
    workers = sorted(client.nthreads())

    def run(function, placed):
        placed = placed and bool(workers)
        futures = [
            client.submit(_call, function, chunk, epoch, pure=False,
                          workers=[workers[k % len(workers)]] if placed else None,
                          allow_other_workers=placed)
            for k, chunk in enumerate(chunks)
        ]
        try:
            return client.gather(futures)
        except BaseException:
            client.cancel(futures)
            shared.drop()
            raise

    try:
        results = run(shared.on(client), True)
    except CancelledError:
        # A worker that died took the scattered function with it, and Dask
        # cancels the tasks that needed it, naming no cause. Scored again
        # with the function in every task, Dask retries them on the other
        # workers and reports its own cause (KilledWorker) if they keep
        # killing workers. Not placed: the workers named above may be gone.
        results = run(shared.score_chunk, False)
    return [value for chunk in results for value in chunk]


def _call(score_chunk, genomes, epoch):
    return score_chunk(genomes, epoch)


class _GenomeChunk:
    """Scores a chunk one genome at a time."""

    def __init__(self, score_genome):
        self.score_genome = score_genome

    def __call__(self, genomes, epoch):
        return [self.score_genome(genome) for genome in genomes]


class _BatchChunk:
    """Scores a chunk as one GenomeBatch, in one call."""

    def __init__(self, score_batch):
        self.score_batch = score_batch

    def __call__(self, genomes, epoch):
        from tessavo import GenomeBatch

        batch = genomes if isinstance(genomes, GenomeBatch) else GenomeBatch(genomes, epoch=epoch)
        scores = self.score_batch(batch)
        try:
            values = list(np.asarray(scores, dtype=object).reshape(-1))
        except Exception:
            values = None
        if values is None or len(values) != len(batch):
            raise ValueError(
                f"score_batch must return one score per genome: {len(batch)} expected, got "
                f"{len(values) if values is not None else type(scores).__name__}."
            )
        return values


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
