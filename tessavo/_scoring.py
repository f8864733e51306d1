"""Scoring func_evolve genomes one by one, here or on other processes."""

import numpy as np


def scorer(score_genome, executor=None, *, chunksize=1):
    """Make a ``train_func`` for ``Model.func_evolve`` from a per-genome score.

    ``score_genome(genome) -> float`` scores one ``Genome`` (lower is better).
    Without an executor the genomes are scored one after the other in this
    process. With an executor that has the ``concurrent.futures`` interface
    (``ProcessPoolExecutor``, Dask's ``Client.get_executor()``, ...), they are
    scored through ``executor.map``: genomes travel by pickling, so
    ``score_genome`` must be picklable (a function defined at module level).
    With ``chunksize`` above 1 each task scores that many genomes in a row,
    which saves the executor's per-task cost when one genome is quick to score.
    Scores come back in genome order; an exception raised while scoring ends
    ``func_evolve`` with that exception and leaves the model unchanged.
    """
    if not callable(score_genome):
        raise TypeError(f"score_genome must be callable, got {type(score_genome).__name__}.")
    if executor is not None and not callable(getattr(executor, "map", None)):
        raise TypeError(
            "executor must be None or have a map(fn, iterable) method like "
            f"concurrent.futures.Executor, got {type(executor).__name__}."
        )

    if isinstance(chunksize, bool) or not isinstance(chunksize, int):
        raise TypeError(f"chunksize must be an int, got {type(chunksize).__name__}.")
    if chunksize < 1:
        raise ValueError(f"chunksize must be at least 1, got {chunksize}.")

    def train_func(genomes):
        if executor is None:
            scores = [score_genome(genome) for genome in genomes]
        elif chunksize == 1:
            scores = list(executor.map(score_genome, genomes))
        else:
            chunks = [genomes[i:i + chunksize] for i in range(0, len(genomes), chunksize)]
            tasks = executor.map(_score_chunk, [score_genome] * len(chunks), chunks)
            scores = [value for chunk in tasks for value in chunk]
        if len(scores) != len(genomes):
            raise ValueError(
                f"The executor returned {len(scores)} scores for {len(genomes)} genomes."
            )
        return np.array([_score(value) for value in scores], dtype=np.float64)

    return train_func


def _score_chunk(score_genome, genomes):
    return [score_genome(genome) for genome in genomes]


def _score(value):
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(
            f"score_genome must return a number, got {type(value).__name__}."
        ) from None
