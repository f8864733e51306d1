"""Solve Gymnasium's CartPole-v1 with func_evolve, a whole population at a time.

tessavo.gym.score_batch gives every genome five episodes of its own, steps
all of them as one vector environment (CartPole-v1's NumPy-vectorised one)
and lets the genomes act in one GenomeBatch.predict per step. The loss of a
genome is its mean return, negated: func_evolve keeps the genomes that score
lowest. StopAtTarget ends the run once the best genome holds the pole for the
full 500 steps in 20 validation episodes.

CartPole-v1 counts as solved at a mean return of 475 over 100 episodes. The
end of this script plays 100 episodes with fixed seeds, one genome in one
environment at a time (the form for environments that cannot be
vectorised), and fails unless the trained model reaches that mean.

Needs Gymnasium: from a clone of tessavo, `pip install ".[gym]"`.
"""
import sys
import time

import gymnasium as gym
import numpy as np
from numpy.typing import NDArray

import tessavo
import tessavo.gym
from tessavo.callbacks import StopAtTarget

TEST_SEEDS = range(10_000, 10_100)


def train_func(genomes: tessavo.GenomeBatch) -> NDArray[np.float64]:
    return tessavo.gym.score_batch(genomes, "CartPole-v1", episodes=5)


def validation(genome: tessavo.Genome) -> float:
    return float(tessavo.gym.score_batch([genome], "CartPole-v1", episodes=20, seed=1000)[0])


def mean_return(model: tessavo.Model | tessavo.Genome, seeds: range) -> float:
    """Episodes one at a time: one predict per step of one environment."""
    env = gym.make("CartPole-v1")
    total = 0.0
    for seed in seeds:
        observation, _ = env.reset(seed=seed)
        done = False
        while not done:
            action = int(model.predict(observation)[0] > 0.5)
            observation, reward, terminated, truncated, _ = env.step(action)
            total += float(reward)
            done = terminated or truncated
    env.close()
    return total / len(seeds)


def main() -> None:
    tessavo.set_random_seed(1)
    model = tessavo.Model(4, 1, size=6)
    model.compile(optimizer=tessavo.optimizers.Beta())
    start = time.process_time()
    history = model.func_evolve(
        train_func, pop_size=50, epochs=50, verbose=0, validation_func=validation,
        callbacks=[StopAtTarget(-500.0, monitor="val_loss")],
    )
    seconds = time.process_time() - start
    solved = mean_return(model, TEST_SEEDS)
    if solved < 475:
        sys.exit(f"not solved: mean return {solved:.1f} over 100 fixed-seed episodes")
    print(f"solved CartPole-v1 in {len(history['loss'])} epochs ({seconds:.1f} CPU s): "
          f"mean return {solved:.1f} over 100 fixed-seed episodes")


if __name__ == "__main__":
    main()
