"""Scoring genomes on Gymnasium environments, a whole population at a time.

Every genome (times the episodes) gets an environment of its own; they are
stepped together as one vector environment, and every genome acts in one
GenomeBatch.predict per step. Gymnasium is imported only when a function
here is called.
"""

import copy
import numbers

import numpy as np

import tessavo

__all__ = ["score_batch"]

# Steps per episode for an environment that sets no time limit of its own.
_DEFAULT_MAX_STEPS = 1000
_MODES = ("vector_entry_point", "sync", "async")
# Environments per vector env when score_batch makes them: a step of
# CartPole-v1's vector env costs about as much for 64 environments as for
# 750, so only large populations are split.
_GROUP_ENVS = 1024


def _gymnasium():
    try:
        import gymnasium
    except ImportError as error:
        raise ImportError(
            "tessavo.gym needs Gymnasium: from a clone of tessavo, pip install \".[gym]\" "
            "(or pip install gymnasium)."
        ) from error
    return gymnasium


def score_batch(genomes, env, *, episodes=1, seed=0, max_steps=None, vectorization_mode=None):
    """Each genome's mean return over `episodes` episodes of `env`, negated.

    See the stub (tessavo/gym.pyi) for the full description.
    """
    gym = _gymnasium()
    batch = _as_batch(genomes)
    episodes = _count("episodes", episodes, 1)
    seed = _count("seed", seed, 0)
    if max_steps is not None:
        max_steps = _count("max_steps", max_steps, 1)
    if vectorization_mode is not None and vectorization_mode not in _MODES:
        raise ValueError(
            f"vectorization_mode must be None or one of {', '.join(map(repr, _MODES))}, "
            f"got {vectorization_mode!r}."
        )
    count = len(batch) * episodes
    if count == 0:
        return np.zeros(0, dtype=np.float64)
    if isinstance(env, str):
        registered = gym.spec(env)
        if vectorization_mode is None:
            vectorization_mode = "vector_entry_point" if registered.vector_entry_point else "sync"
        if max_steps is None:
            max_steps = registered.max_episode_steps or _DEFAULT_MAX_STEPS
        # Groups of whole genomes, each its own vector env: a group whose
        # episodes have all ended is no longer stepped, while a single env
        # would step every environment until the longest episode ends.
        per_group = max(1, _GROUP_ENVS // episodes)
        sizes = [min(per_group, len(batch) - i) * episodes
                 for i in range(0, len(batch), per_group)]
        envs = []
        try:
            for size in sizes:
                envs.append(gym.make_vec(env, num_envs=size,
                                         vectorization_mode=vectorization_mode))
            return _run(gym, batch, envs, episodes, seed, max_steps, per_env_seeds=(
                vectorization_mode != "vector_entry_point"))
        finally:
            for e in envs:
                e.close()
    if not isinstance(env, gym.vector.VectorEnv):
        raise TypeError(
            "env must be a Gymnasium environment id (str) or a gymnasium.vector.VectorEnv, "
            f"got {type(env).__name__}."
        )
    if vectorization_mode is not None:
        raise ValueError("vectorization_mode applies to an environment id, not to a vector env.")
    if env.num_envs != count:
        raise ValueError(
            f"The vector env has {env.num_envs} environments; {len(batch)} genomes times "
            f"{episodes} episodes need {count}."
        )
    if max_steps is None:
        registered = getattr(env, "spec", None)
        cap = registered.max_episode_steps if registered is not None else None
        max_steps = cap or _DEFAULT_MAX_STEPS
    per_env_seeds = isinstance(env, (gym.vector.SyncVectorEnv, gym.vector.AsyncVectorEnv))
    return _run(gym, batch, [env], episodes, seed, max_steps, per_env_seeds=per_env_seeds)


def _as_batch(genomes):
    if isinstance(genomes, tessavo.GenomeBatch):
        return genomes
    if isinstance(genomes, tessavo.Genome):
        raise TypeError("genomes must be a list of Genomes, not one Genome.")
    return tessavo.GenomeBatch(genomes)


def _count(name, value, least):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}.")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}.")
    return int(value)


def _actions(gym, space, outputs):
    """A function from the batch's outputs to the env's actions, after checking
    that they fit."""
    if isinstance(space, gym.spaces.Discrete):
        n, start = int(space.n), int(space.start)
        if outputs == 1 and n == 2:
            return lambda out: (out[:, 0] > 0.5).astype(np.int64) + start
        if outputs == n:
            return lambda out: np.argmax(out, axis=1).astype(np.int64) + start
        raise ValueError(
            f"The action space {space} needs models with 1 output (thresholded at 0.5, "
            f"for 2 actions) or {n} outputs (the largest chooses), not {outputs}."
        )
    if isinstance(space, gym.spaces.Box):
        if space.shape != (outputs,):
            raise ValueError(
                f"The action space {space} needs models with {space.shape} outputs as one "
                f"vector, not {outputs}."
            )
        low, high, dtype = space.low, space.high, space.dtype
        return lambda out: np.clip(out, low, high).astype(dtype)
    raise ValueError(
        f"The action space {space} is neither Discrete nor Box; score it per genome instead."
    )


def _check_observations(gym, space, inputs):
    if not isinstance(space, gym.spaces.Box) or space.shape != (inputs,):
        raise ValueError(
            f"The observation space {space} does not fit models with {inputs} inputs: it must "
            f"be a Box of shape ({inputs},)."
        )


def _run(gym, batch, envs, episodes, seed, max_steps, per_env_seeds):
    genome = batch[0]
    if not isinstance(genome, tessavo.Genome):
        raise TypeError(f"GenomeBatch item 0 is a {type(genome).__name__}, not a tessavo.Genome.")
    _check_observations(gym, envs[0].single_observation_space, genome.inputs)
    act = _actions(gym, envs[0].single_action_space, genome.outputs)
    # Environment e plays episode e % episodes of genome e // episodes. A
    # recurrent genome needs a state per episode: a copy for each.
    members = []
    for g in batch:
        members.append(g)
        for _ in range(episodes - 1):
            members.append(copy.copy(g) if g.recurrent else g)
    count = len(members)
    returns = np.zeros(count, dtype=np.float64)
    done = np.zeros(count, dtype=bool)
    groups = []
    first = 0
    for index, env in enumerate(envs):
        last = first + env.num_envs
        actors = batch if len(envs) == 1 and episodes == 1 else tessavo.GenomeBatch(
            members[first:last])
        actors.reset()
        if per_env_seeds:
            observations, _ = env.reset(seed=[seed + e % episodes for e in range(first, last)])
        else:
            # One generator for all environments of a vector env: fixed by
            # seed, though each environment starts from its own draw.
            observations, _ = env.reset(seed=seed + 7919 * index)
        groups.append([env, actors, slice(first, last), observations])
        first = last
    for _ in range(max_steps):
        for group in groups:
            env, actors, part, observations = group
            actions = act(actors.predict(np.asarray(observations, dtype=np.float64)))
            observations, rewards, terminated, truncated, _ = env.step(actions)
            group[3] = observations
            returns[part] += np.where(done[part], 0.0, np.asarray(rewards, dtype=np.float64))
            done[part] |= np.asarray(terminated, dtype=bool) | np.asarray(truncated, dtype=bool)
        groups = [group for group in groups if not done[group[2]].all()]
        if not groups:
            break
    return -returns.reshape(len(batch), episodes).mean(axis=1)
