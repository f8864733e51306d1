import functools
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")

import tessavo
import tessavo.gym
from tessavo.callbacks import StopAtTarget


def negated_return(genome):
    env = gym.make("CartPole-v1")
    total = 0.0
    for seed in (0, 1):
        observation, _ = env.reset(seed=seed)
        done = False
        while not done:
            observation, reward, terminated, truncated, _ = env.step(
                int(genome.predict(observation)[0] > 0.5))
            total += reward
            done = terminated or truncated
    return -total / 2


def test_cartpole_return_improves():
    tessavo.set_random_seed(4)
    model = tessavo.Model(4, 1, size=6)
    stop = StopAtTarget(-500.0)
    history = model.func_evolve(tessavo.scorer(negated_return), pop_size=12, epochs=6,
                                verbose=0, callbacks=[stop])
    assert history["loss"][-1] < history["loss"][0]
    assert np.isclose(negated_return(model), history["loss"][-1])
    assert (stop.stopped_epoch is not None) == (history["loss"][-1] <= -500.0)


def generation(inputs, outputs, recurrent=False):
    tessavo.set_random_seed(2)
    try:
        kept = []
        model = tessavo.Model(inputs, outputs, size=inputs + outputs + 2, recurrent=recurrent)
        model.func_evolve(lambda g: (kept.__setitem__(slice(None), g), np.zeros(len(g)))[1],
                          pop_size=3, epochs=1, verbose=0)
        return kept
    finally:
        tessavo.set_random_seed(None)


def per_genome(genome, env_id, seeds, act):
    """The same episodes one genome and one environment at a time."""
    env = gym.make(env_id)
    total = 0.0
    for seed in seeds:
        genome.clear()
        observation, _ = env.reset(seed=seed)
        done = False
        while not done:
            observation, reward, terminated, truncated, _ = env.step(act(genome.predict(
                np.asarray(observation, dtype=np.float64))))
            total += float(reward)
            done = terminated or truncated
    return -total / len(seeds)


@pytest.mark.parametrize("recurrent", [False, True])
def test_sync_vector_episodes_are_each_genomes_own(recurrent):
    # Pendulum: a Box action clipped to [-2, 2]; with seeds per environment
    # every genome plays episodes seed and seed + 1, as alone.
    genomes = generation(3, 1, recurrent)
    losses = tessavo.gym.score_batch(genomes, "Pendulum-v1", episodes=2, seed=7)
    want = [per_genome(g, "Pendulum-v1", (7, 8), lambda out: np.clip(out, -2, 2).astype(np.float32))
            for g in genomes]
    np.testing.assert_allclose(losses, want, rtol=1e-9)
    # Acrobot: Discrete(3), one output per action, the largest picks; a step cap.
    genomes = generation(6, 3)
    capped = tessavo.gym.score_batch(genomes, "Acrobot-v1", max_steps=20)
    assert np.all(capped >= 20) and np.all(capped <= 20)  # -1 per step, none ends early


def test_vectorised_cartpole_run_improves_and_batched_scorer_on_a_process_pool():
    tessavo.set_random_seed(3)
    model = tessavo.Model(4, 1, size=6)
    score = functools.partial(tessavo.gym.score_batch, env="CartPole-v1", episodes=3)
    history = model.func_evolve(score, pop_size=20, epochs=4, verbose=0)
    assert history["loss"][-1] < history["loss"][0]
    genomes = generation(4, 1)
    serial = score(genomes)
    # One chunk per task, each its own vector env: the starts then differ
    # from one big env, so compare with the same chunks scored here.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        pooled = tessavo.scorer(score, pool, batched=True, chunksize=len(genomes))(genomes)
    assert pooled.tolist() == serial.tolist()


def test_bad_environments_fail_before_any_step():
    genomes = generation(4, 1)
    for kwargs, error in [({"env": "Pendulum-v1"}, ValueError),  # 3 observations, not 4
                          ({"env": "CartPole-v1", "episodes": 0}, ValueError),
                          ({"env": 3}, TypeError),
                          ({"env": "CartPole-v1", "vectorization_mode": "thread"}, ValueError)]:
        with pytest.raises(error):
            tessavo.gym.score_batch(genomes, **kwargs)
    with pytest.raises(ValueError, match="action space"):
        tessavo.gym.score_batch(generation(4, 3), "CartPole-v1")
    envs = gym.make_vec("CartPole-v1", num_envs=2, vectorization_mode="sync")
    with pytest.raises(ValueError, match="2 environments"):
        tessavo.gym.score_batch(genomes, envs)
    envs.close()


class Broken(gym.Wrapper):
    def step(self, action):
        raise OSError("simulator down")


def test_env_exception_ends_func_evolve_with_model_unchanged():
    envs = gym.vector.SyncVectorEnv([lambda: Broken(gym.make("CartPole-v1"))] * 4)
    model = tessavo.Model(4, 1, size=6)
    before = model.get_connections()
    with pytest.raises(OSError, match="simulator down"):
        model.func_evolve(lambda g: tessavo.gym.score_batch(g, envs), pop_size=2, epochs=2,
                          verbose=0)
    assert model.get_connections() == before
