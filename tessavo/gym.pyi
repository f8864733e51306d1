"""Scoring genomes on Gymnasium environments, a whole population at a time."""

from collections.abc import Iterable
from typing import Any, Literal

import numpy
import numpy.typing

from tessavo import Genome

__all__ = ["score_batch"]

def score_batch(
    genomes: Iterable[Genome],
    env: str | Any,
    *,
    episodes: int = 1,
    seed: int = 0,
    max_steps: int | None = None,
    vectorization_mode: Literal["vector_entry_point", "sync", "async"] | None = None,
) -> numpy.typing.NDArray[numpy.float64]:
    """Each genome's mean return over its episodes of env, negated: a loss.

    Every genome plays `episodes` episodes, each in an environment of its
    own, and all of them are stepped together as one vector environment; the
    genomes act through one GenomeBatch.predict per step. A recurrent genome
    plays each episode from a cleared state, on a copy of its own. An episode
    ends when its environment terminates or truncates it, or after
    max_steps steps. Gymnasium is imported on the first call.

    Actions: for a Discrete space of 2 actions, one output above 0.5 picks
    the second; with one output per action the largest picks. For a Box
    space of shape (outputs,), the outputs are clipped to its bounds.

    Args:
        genomes: A GenomeBatch (as func_evolve hands to train_func) or any
            list of Genomes sharing inputs and outputs.
        env: A Gymnasium environment id, made as one vector environment of
            len(genomes) * episodes environments; or a
            gymnasium.vector.VectorEnv of that many, where environment e
            plays episode e % episodes of genome e // episodes (reset here,
            not closed).
        episodes: Episodes per genome, at least 1. Keyword only. Default 1.
        seed: The episodes' seeds, at least 0. With Gymnasium's sync or async
            vector environments, episode k of every genome is seeded with
            seed + k, so all genomes play the same episodes. An environment's
            own vector entry point (CartPole-v1's) draws every environment's
            start from one generator seeded with seed: fixed, but different
            for each genome. Keyword only. Default 0.
        max_steps: Steps per episode at most, at least 1; None (the default)
            uses the environment's own time limit, or 1000 if it has none.
            Keyword only.
        vectorization_mode: For an environment id: None (the default) uses
            the environment's own vector entry point where it has one and
            Gymnasium's SyncVectorEnv otherwise; or one of
            "vector_entry_point", "sync" and "async". Keyword only.

    Returns:
        A float64 array of shape (len(genomes),): minus each genome's mean
        return.

    Raises:
        ImportError: Gymnasium is not installed.
        TypeError: An argument has the wrong type.
        ValueError: The observation space is not a Box of shape (inputs,),
            the action space does not fit the outputs, a vector env holds the
            wrong number of environments, or an argument is out of range;
            raised before any step. An exception raised by the environment
            propagates: inside func_evolve it ends the run and leaves the
            model unchanged.
    """
