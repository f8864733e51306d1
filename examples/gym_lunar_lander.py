"""Land Gymnasium's LunarLander-v3 (Box2D) with func_evolve on a process pool.

Four outputs, one per action (nothing, left engine, main engine, right
engine); the lander fires the one with the largest output. The loss is the
negated mean return over a few episodes. Their seeds change every epoch: on
the same few seeds, evolution learns those landings and little else.
StopAtTarget ends the run once the return on ten fixed validation seeds
reaches 200, the score at which the task counts as solved.

Needs `pip install ".[gym-box2d]"` in a clone. Measured with this seed: 30
epochs took 8 to 10 minutes on a shared, busy 2-core machine, and the network ends
with a mean return of -47 over 100 test episodes (-68 on the validation
seeds): it learns to steer and slow its fall but rarely lands, far from the
200 that counts as solved; more epochs, a larger population or more episodes
per genome go further.
"""
import os
import time
from concurrent.futures import ProcessPoolExecutor

import gymnasium as gym
import numpy as np
import numpy.typing as npt

import tessavo
from tessavo.callbacks import EarlyStopping, LambdaCallback, StopAtTarget

EPISODES = 4
EPOCHS = 30
VALIDATION_SEEDS = range(1000, 1010)
TEST_SEEDS = range(10_000, 10_100)


def mean_return(genome: tessavo.Genome | tessavo.Model, seeds: range) -> float:
    env = gym.make("LunarLander-v3")
    total = 0.0
    for seed in seeds:
        observation, _ = env.reset(seed=seed)
        done = False
        while not done:
            action = int(np.argmax(genome.predict(observation)))
            observation, reward, terminated, truncated, _ = env.step(action)
            total += float(reward)
            done = terminated or truncated
    env.close()
    return total / len(seeds)


class Loss:
    """The negated mean return on the epoch's seeds; picklable, so that the
    pool's workers can run it."""

    def __init__(self, seeds: range) -> None:
        self.seeds = seeds

    def __call__(self, genome: tessavo.Genome) -> float:
        return -mean_return(genome, self.seeds)


class Training:
    """A train_func that scores each epoch on new episodes."""

    def __init__(self, pool: ProcessPoolExecutor) -> None:
        self.pool = pool
        self.epoch = 0

    def __call__(self, genomes: list[tessavo.Genome]) -> npt.NDArray[np.float64]:
        seeds = range(self.epoch * EPISODES, (self.epoch + 1) * EPISODES)
        self.epoch += 1
        return tessavo.scorer(Loss(seeds), self.pool)(genomes)


def validation(genome: tessavo.Genome) -> float:
    return -mean_return(genome, VALIDATION_SEEDS)


def report(epoch: int, logs: dict[str, float]) -> None:
    print(f"epoch {epoch + 1}: training return {-logs['loss']:.1f}, "
          f"validation return {-logs['val_loss']:.1f}, size {logs['size']:.0f}", flush=True)


def main() -> None:
    tessavo.set_random_seed(3)
    model = tessavo.Model(8, 4, size=14)
    model.compile(monitors=["size"])
    start = time.perf_counter()
    with ProcessPoolExecutor(len(os.sched_getaffinity(0))) as pool:
        model.func_evolve(
            Training(pool), pop_size=100, epochs=EPOCHS, verbose=0,
            validation_func=validation,
            callbacks=[LambdaCallback(on_epoch_end=report),
                       StopAtTarget(-200.0, monitor="val_loss"),
                       # Ends with the network that did best on the validation
                       # seeds, not the last epoch's luckiest.
                       EarlyStopping(monitor="val_loss", patience=EPOCHS,
                                     restore_best_weights=True)],
        )
    seconds = time.perf_counter() - start
    print(f"mean return over 100 test episodes: {mean_return(model, TEST_SEEDS):.1f} "
          f"after {seconds:.0f}s of evolution")


if __name__ == "__main__":
    main()
