"""Evolve a controller whose score is noisy: a few random episodes per network.

Each generation draws fresh starting states for its episodes, so a network's
score depends on its luck. Two things keep the search honest:

- the episodes change every generation (they are drawn from the epoch that
  the batch of genomes carries), so no network is fitted to a fixed set of
  starts;
- `Gamma` ranks scores instead of using their values, and scores its best
  network of the last generation again on the new episodes: a network that
  was only lucky drops out at once instead of being kept as the best.

The model that func_evolve leaves is the best of the last generation, scored
on that generation's episodes; the end of the script tests it on starts no
generation saw.
"""
import os

import numpy as np

import tessavo
from control import MAX_STEPS, episode_steps

EPISODES = 3  # per network and generation: few, so the scores are noisy
QUICK = os.environ.get("TESSAVO_EXAMPLE_QUICK") == "1"


def train_func(genomes: tessavo.GenomeBatch) -> np.ndarray:
    # Fresh starts for this generation, the same for all its networks so that
    # they are ranked on equal terms.
    rng = np.random.default_rng(genomes.epoch)
    starts = rng.uniform(-0.2, 0.2, size=(EPISODES, 4))
    return np.array([1.0 - episode_steps(g, starts).mean() / MAX_STEPS for g in genomes])


if __name__ == "__main__":
    tessavo.set_random_seed(3)
    model = tessavo.Model(4, 1, size=7)
    model.compile(optimizer=tessavo.optimizers.Gamma())
    history = model.func_evolve(train_func, pop_size=10, epochs=15 if QUICK else 40, verbose=0)
    unseen = np.random.default_rng(12345).uniform(-0.2, 0.2, size=(100, 4))
    steps = episode_steps(model, unseen)
    print(f"noisy training scores of the best network, last 5 generations: "
          f"{np.round(history['loss'][-5:], 3).tolist()}")
    print(f"on 100 unseen starts it balances {steps.mean():.0f} of {MAX_STEPS} steps on average, "
          f"the full {MAX_STEPS} in {int((steps == MAX_STEPS).sum())} of them")
    assert steps.mean() > 0.9 * MAX_STEPS, "the controller does not generalise"
