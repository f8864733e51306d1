"""Control tasks a whole population at a time: CartPole-v1 and batch predict.

    taskset -c 0 python benchmarks/batch_control.py [--seeds 20] [--neat-seeds 20]
        [--part generation solve predict]

CPU time (time.process_time) throughout, in one process pinned by the caller.
- generation: 150 genomes x 5 episodes of CartPole-v1, CPU per generation
  and per environment step: tessavo.gym.score_batch (one vector env, one
  GenomeBatch.predict per step); the per-genome loop (one env per genome,
  one Genome.predict per step, as tessavo.scorer runs it); neat-python 2.0.0
  doing the same episodes with its own activate loop on its own first
  population. The three take turns, 5 rounds; medians.
- solve: CartPole-v1 end to end, solved at a mean return >= 475 over 100
  fixed-seed episodes: tessavo with Beta (examples/gym_cartpole.py's run)
  against neat-python (population 150, fitness the mean return of 5
  episodes, run until a genome scores 500 and then checked the same way);
  CPU seconds to the end of the run, median over seeds.
- predict: GenomeBatch.predict for 150 genomes of size 10 (4 inputs, 2
  outputs), one row each, per call; Model.predict of 150 rows beside it.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
import timeit

import gymnasium as gym
import numpy as np

import tessavo
import tessavo.gym
from tessavo.callbacks import StopAtTarget
from tessavo.optimizers import Beta

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from versus_neat import NEAT_CONFIG  # noqa: E402

TEST_SEEDS = range(10_000, 10_100)
TRAIN_EPISODES = 5


def neat_config(folder, pop):
    import neat

    path = os.path.join(folder, "cartpole.ini")
    with open(path, "w") as f:
        f.write(NEAT_CONFIG.format(pop=pop, inputs=4, hidden=0, threshold=500.0,
                                   no_termination=False, compatibility=3.0))
    return neat.Config(neat.DefaultGenome, neat.DefaultReproduction, neat.DefaultSpeciesSet,
                       neat.DefaultStagnation, path)


def episodes_alone(act, seeds, env):
    """(total return, steps) of one policy, one environment, one step at a time."""
    total, steps = 0.0, 0
    for seed in seeds:
        observation, _ = env.reset(seed=seed)
        done = False
        while not done:
            observation, reward, terminated, truncated, _ = env.step(act(observation))
            total += float(reward)
            steps += 1
            done = terminated or truncated
    return total, steps


def tessavo_genomes(count):
    tessavo.set_random_seed(7)
    kept = []
    model = tessavo.Model(4, 1, size=6)
    model.func_evolve(lambda g: (kept.__setitem__(slice(None), g), np.zeros(len(g)))[1],
                      pop_size=count // 2, epochs=1, verbose=0)
    tessavo.set_random_seed(None)
    return kept


def generation(rounds):
    import neat

    genomes = tessavo_genomes(150)
    env = gym.make("CartPole-v1")
    with tempfile.TemporaryDirectory() as folder:
        config = neat_config(folder, 150)
    population = neat.Population(config)
    neat_genomes = list(population.population.values())
    seeds = range(TRAIN_EPISODES)
    times = {"batched": [], "per genome": [], "neat-python": []}
    steps = {}
    for _ in range(rounds):
        start = time.process_time()
        losses = tessavo.gym.score_batch(genomes, "CartPole-v1", episodes=TRAIN_EPISODES)
        times["batched"].append(time.process_time() - start)
        steps["batched"] = -losses.sum() * TRAIN_EPISODES  # one reward per step
        start = time.process_time()
        count = 0
        for g in genomes:
            count += episodes_alone(lambda o: int(g.predict(o)[0] > 0.5), seeds, env)[1]
        times["per genome"].append(time.process_time() - start)
        steps["per genome"] = count
        start = time.process_time()
        count = 0
        for g in neat_genomes:
            net = neat.nn.FeedForwardNetwork.create(g, config)
            count += episodes_alone(lambda o: int(net.activate(o)[0] > 0.5), seeds, env)[1]
        times["neat-python"].append(time.process_time() - start)
        steps["neat-python"] = count
    print("CartPole-v1, 150 genomes x 5 episodes, CPU per generation (median of "
          f"{rounds}):")
    for name, values in times.items():
        t = statistics.median(values)
        print(f"  {name:12s} {t * 1000:9.1f} ms  {steps[name]:7.0f} steps  "
              f"{t / steps[name] * 1e6:7.2f} us/step")
    b = statistics.median(times["batched"]) / steps["batched"]
    for name in ("per genome", "neat-python"):
        per_step = statistics.median(times[name]) / steps[name]
        print(f"  batched vs {name}: {per_step / b:.1f}x per step, "
              f"{statistics.median(times[name]) / statistics.median(times['batched']):.1f}x "
              "per generation")


def solve_tessavo(seed):
    tessavo.set_random_seed(seed)
    model = tessavo.Model(4, 1, size=6)
    model.compile(optimizer=Beta())
    start = time.process_time()
    model.func_evolve(
        lambda g: tessavo.gym.score_batch(g, "CartPole-v1", episodes=TRAIN_EPISODES),
        pop_size=50, epochs=100, verbose=0,
        validation_func=lambda g: float(
            tessavo.gym.score_batch([g], "CartPole-v1", episodes=20, seed=1000)[0]),
        callbacks=[StopAtTarget(-500.0, monitor="val_loss")])
    seconds = time.process_time() - start
    tessavo.set_random_seed(None)
    env = gym.make("CartPole-v1")
    mean = episodes_alone(lambda o: int(model.predict(o)[0] > 0.5), TEST_SEEDS, env)[0] / 100
    return seconds, mean


def solve_neat(seed, generations=100):
    import random

    import neat

    random.seed(seed)
    with tempfile.TemporaryDirectory() as folder:
        config = neat_config(folder, 150)
    population = neat.Population(config)
    env = gym.make("CartPole-v1")

    def score(genomes, settings):
        for _, g in genomes:
            net = neat.nn.FeedForwardNetwork.create(g, settings)
            total, _ = episodes_alone(lambda o: int(net.activate(o)[0] > 0.5),
                                      range(TRAIN_EPISODES), env)
            g.fitness = total / TRAIN_EPISODES

    start = time.process_time()
    best = population.run(score, generations)
    seconds = time.process_time() - start
    net = neat.nn.FeedForwardNetwork.create(best, config)
    mean = episodes_alone(lambda o: int(net.activate(o)[0] > 0.5), TEST_SEEDS, env)[0] / 100
    return seconds, mean


def solve(seeds, neat_seeds):
    results = {"tessavo (Beta)": [], "neat-python": []}
    for seed in range(max(seeds, neat_seeds)):
        if seed < seeds:
            results["tessavo (Beta)"].append(solve_tessavo(seed))
        if seed < neat_seeds:
            results["neat-python"].append(solve_neat(seed))
        print("  seed", seed, {k: v[-1] for k, v in results.items() if len(v) > seed},
              flush=True)
    print("CartPole-v1 solved end to end (mean >= 475 over 100 fixed-seed episodes):")
    medians = {}
    for name, runs in results.items():
        if not runs:
            continue
        solved = [s for s, mean in runs if mean >= 475]
        medians[name] = statistics.median(s for s, _ in runs)
        print(f"  {name:15s} solved {len(solved)}/{len(runs)}, median CPU "
              f"{medians[name]:.2f} s over all runs")
    if len(medians) == 2:
        print(f"  neat-python / tessavo: "
              f"{medians['neat-python'] / medians['tessavo (Beta)']:.1f}x")


def predict():
    tessavo.set_random_seed(3)
    kept = []
    model = tessavo.Model(4, 2, size=10)
    model.func_evolve(lambda g: (kept.__setitem__(slice(None), g), np.zeros(len(g)))[1],
                      pop_size=75, epochs=1, verbose=0)
    tessavo.set_random_seed(None)
    batch = tessavo.GenomeBatch(kept)
    x = np.random.default_rng(0).normal(size=(150, 4))
    number = 20000
    rows = {}
    for _ in range(3):
        for name, call in [("GenomeBatch.predict, 150 genomes", lambda: batch.predict(x)),
                           ("Model.predict, 150 rows", lambda: model.predict(x))]:
            start = time.process_time()
            timeit.timeit(call, number=number)
            rows.setdefault(name, []).append((time.process_time() - start) / number * 1e6)
    print("Predict, size 10 (4 inputs, 2 outputs), one row each (median of 3):")
    for name, values in rows.items():
        print(f"  {name:34s} {statistics.median(values):6.2f} us per call")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--part", nargs="+", default=["predict", "generation", "solve"])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--neat-seeds", type=int, default=20)
    args = parser.parse_args()
    print("load average:", " ".join(f"{v:.2f}" for v in os.getloadavg()))
    if "predict" in args.part:
        predict()
    if "generation" in args.part:
        generation(args.rounds)
    if "solve" in args.part:
        solve(args.seeds, args.neat_seeds)
    print("load average:", " ".join(f"{v:.2f}" for v in os.getloadavg()))


if __name__ == "__main__":
    main()
