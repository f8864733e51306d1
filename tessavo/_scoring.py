"""Scoring func_evolve genomes one by one, here or on other processes."""

import numpy as np


def scorer(score_genome, executor=None):
    """Make a ``train_func`` for ``Model.func_evolve`` from a per-genome score.

    ``score_genome(genome) -> float`` scores one ``Genome`` (lower is better).
    Without an executor the genomes are scored one after the other in this
    process. With an executor that has the ``concurrent.futures`` interface
    (``ProcessPoolExecutor``, Dask's ``Client.get_executor()``, ...), they are
    scored through ``executor.map``: genomes travel by pickling, so
    ``score_genome`` must be picklable (a function defined at module level).
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

    def train_func(genomes):
        if executor is None:
            scores = [score_genome(genome) for genome in genomes]
        else:
            scores = list(executor.map(score_genome, genomes))
        if len(scores) != len(genomes):
            raise ValueError(
                f"The executor returned {len(scores)} scores for {len(genomes)} genomes."
            )
        return np.array([_score(value) for value in scores], dtype=np.float64)

    return train_func


def _score(value):
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(
            f"score_genome must return a number, got {type(value).__name__}."
        ) from None
