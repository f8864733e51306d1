"""Land Gymnasium's LunarLander-v3 (Box2D) with func_evolve on a process pool.

Four outputs, one per action (nothing, left engine, main engine, right
engine); the lander fires the one with the largest output. The loss is the
negated mean return over a few episodes. Their seeds change every epoch: on
the same few seeds, evolution learns those landings and little else.
StopAtTarget ends the run once the return on ten fixed validation seeds
reaches 200, the score at which the task counts as solved.

Needs Gymnasium with Box2D (`pip install ".[gym-box2d]"` in a clone). A full
run of 30 epochs takes minutes.

Checked at the end: the model ends the run with the network that did best on
the validation seeds, and scores that return on them again. With
TESSAVO_EXAMPLE_QUICK=1 the run is a few tiny epochs on fewer episodes.
"""
import os
import time
from concurrent.futures import ProcessPoolExecutor

import gymnasium as gym
import numpy as np
import numpy.typing as npt

import tessavo
from tessavo.callbacks import EarlyStopping, LambdaCallback, StopAtTarget

# Small caps for the test that runs every example.
QUICK = os.environ.get("TESSAVO_EXAMPLE_QUICK") == "1"
EPISODES = 1 if QUICK else 4
EPOCHS = 2 if QUICK else 30
POPULATION = 6 if QUICK else 100
VALIDATION_SEEDS = range(1000, 1002 if QUICK else 1010)
TEST_SEEDS = range(10_000, 10_003 if QUICK else 10_100)


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
        history = model.func_evolve(
            Training(pool), pop_size=POPULATION, epochs=EPOCHS, verbose=0,
            validation_func=validation,
            callbacks=[LambdaCallback(on_epoch_end=report),
                       StopAtTarget(-200.0, monitor="val_loss"),
                       # Ends with the network that did best on the validation
                       # seeds, not the last epoch's luckiest.
                       EarlyStopping(monitor="val_loss", patience=EPOCHS,
                                     restore_best_weights=True)],
        )
    seconds = time.perf_counter() - start
    print(f"mean return over {len(TEST_SEEDS)} test episodes: "
          f"{mean_return(model, TEST_SEEDS):.1f} after {seconds:.0f}s of evolution")
    best = -min(history["val_loss"])
    assert mean_return(model, VALIDATION_SEEDS) == best, "not the best validation network"


if __name__ == "__main__":
    main()
