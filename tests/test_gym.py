import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")

import tessavo
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
