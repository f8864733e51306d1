"""tessavo and neat-python 2.0.0 side by side on this machine.

    python benchmarks/versus_neat.py [--runs 20] [--cpu 0]

Each run is a fresh process pinned to one CPU, timed on CPU time around the
training call only; the two libraries take turns run by run.

- XOR, population 150, at most 300 generations, solved at a mean squared
  error of 0.025 (neat-python: fitness 4 - sum of squared errors >= 3.9, the
  same bar). Median CPU time to solve over the solved runs. tessavo starts
  from Model(2, 1, size=5) with its default optimizer; neat-python from its
  usual XOR settings (sigmoid nodes, fully connected, no hidden node).
- Evolve throughput: 1000 x 8 regression rows, population 150, networks that
  start with the inputs wired straight to the output; network-rows scored
  per CPU second (tessavo scores parents and children, 2 x 150 networks per
  generation; neat-python 150 genomes per generation).

neat-python must be importable by the interpreter given with --neat-python
(default: this one).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

NEAT_CONFIG = """
[NEAT]
fitness_criterion     = max
fitness_threshold     = {threshold}
pop_size              = {pop}
reset_on_extinction   = False
no_fitness_termination = False

[DefaultGenome]
activation_default      = sigmoid
activation_mutate_rate  = 0.0
activation_options      = sigmoid
aggregation_default     = sum
aggregation_mutate_rate = 0.0
aggregation_options     = sum
bias_init_mean          = 0.0
bias_init_stdev         = 1.0
bias_max_value          = 30.0
bias_min_value          = -30.0
bias_mutate_power       = 0.5
bias_mutate_rate        = 0.7
bias_replace_rate       = 0.1
compatibility_disjoint_coefficient = 1.0
compatibility_weight_coefficient   = 0.5
conn_add_prob           = 0.5
conn_delete_prob        = 0.5
enabled_default         = True
enabled_mutate_rate     = 0.01
feed_forward            = True
initial_connection      = full
node_add_prob           = 0.2
node_delete_prob        = 0.2
num_hidden              = 0
num_inputs              = {inputs}
num_outputs             = 1
response_init_mean      = 1.0
response_init_stdev     = 0.0
response_max_value      = 30.0
response_min_value      = -30.0
response_mutate_power   = 0.0
response_mutate_rate    = 0.0
response_replace_rate   = 0.0
weight_init_mean        = 0.0
weight_init_stdev       = 1.0
weight_max_value        = 30
weight_min_value        = -30
weight_mutate_power     = 0.5
weight_mutate_rate      = 0.8
weight_replace_rate     = 0.1

[DefaultSpeciesSet]
compatibility_threshold = 3.0

[DefaultStagnation]
species_fitness_func = max
max_stagnation       = 20
species_elitism      = 2

[DefaultReproduction]
elitism            = 2
survival_threshold = 0.2
"""

CHILD = r"""
import json, os, sys, time
task, seed, cpu, config = json.loads(sys.argv[1])
os.sched_setaffinity(0, [cpu])
import numpy as np

XOR_X = [(0.0, 0.0), (0.0, 1.0), (1.0, 0.0), (1.0, 1.0)]
XOR_Y = [0.0, 1.0, 1.0, 0.0]
rng = np.random.default_rng(0)
ROWS_X = rng.normal(size=(1000, 8))
ROWS_Y = np.tanh(ROWS_X[:, :2].sum(axis=1, keepdims=True))
GENERATIONS = 300

if task.endswith("tessavo"):
    import tessavo
    tessavo.set_random_seed(seed)
    if task == "xor-tessavo":
        x, y = np.array(XOR_X), np.array(XOR_Y).reshape(4, 1)
        model = tessavo.Model(2, 1, size=5)
        model.compile(loss="mse")
        def stop(epoch, logs):
            if logs["loss"] <= 0.025:
                model.stop_training = True
        done = tessavo.callbacks.LambdaCallback(on_epoch_end=stop)
        start = time.process_time()
        history = model.evolve(x, y, pop_size=150, epochs=GENERATIONS, verbose=0, callbacks=[done])
        seconds = time.process_time() - start
        result = [history["loss"][-1] <= 0.025, len(history["loss"]), seconds]
    else:
        model = tessavo.Model(8, 1)
        model.compile(loss="mse")
        start = time.process_time()
        model.evolve(ROWS_X, ROWS_Y, pop_size=150, epochs=5, verbose=0)
        result = 2 * 150 * 1000 * 5 / (time.process_time() - start)
else:
    import random
    import neat
    random.seed(seed)
    settings = neat.Config(neat.DefaultGenome, neat.DefaultReproduction,
                           neat.DefaultSpeciesSet, neat.DefaultStagnation, config)
    population = neat.Population(settings)
    if task == "xor-neat":
        def score(genomes, settings):
            for _, genome in genomes:
                net = neat.nn.FeedForwardNetwork.create(genome, settings)
                genome.fitness = 4.0 - sum((net.activate(x)[0] - y) ** 2
                                           for x, y in zip(XOR_X, XOR_Y))
        start = time.process_time()
        best = population.run(score, GENERATIONS)
        seconds = time.process_time() - start
        result = [best.fitness >= 3.9, population.generation, seconds]
    else:
        rows = [tuple(r) for r in ROWS_X.tolist()]
        targets = ROWS_Y[:, 0].tolist()
        def score(genomes, settings):
            for _, genome in genomes:
                net = neat.nn.FeedForwardNetwork.create(genome, settings)
                genome.fitness = -sum((net.activate(r)[0] - t) ** 2
                                      for r, t in zip(rows, targets)) / len(rows)
        start = time.process_time()
        population.run(score, 2)
        result = 150 * 1000 * 2 / (time.process_time() - start)
print(json.dumps(result))
"""


def child(python, task, seed, cpu, config):
    out = subprocess.run([python, "-c", CHILD, json.dumps([task, seed, cpu, config])],
                         check=True, capture_output=True, text=True, cwd=tempfile.gettempdir())
    return json.loads(out.stdout)


def write_config(folder, inputs, threshold):
    path = os.path.join(folder, f"neat-{inputs}.ini")
    with open(path, "w") as f:
        f.write(NEAT_CONFIG.format(pop=150, inputs=inputs, threshold=threshold))
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="XOR runs per library")
    parser.add_argument("--repeat", type=int, default=3, help="throughput runs per library")
    parser.add_argument("--cpu", type=int, default=0)
    parser.add_argument("--neat-python", default=sys.executable)
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    xor_config = write_config(folder, 2, 3.9)
    # A fitness no network reaches: every generation runs.
    rows_config = write_config(folder, 8, 1.0)
    pythons = {"tessavo": sys.executable, "neat": args.neat_python}

    xor = {name: [] for name in pythons}
    for seed in range(args.runs):
        for name, python in pythons.items():
            xor[name].append(child(python, f"xor-{name}", seed, args.cpu, xor_config))
    rows = {name: [] for name in pythons}
    for seed in range(args.repeat):
        for name, python in pythons.items():
            rows[name].append(child(python, f"rows-{name}", seed, args.cpu, rows_config))

    print("| | tessavo | neat-python 2.0.0 | ratio |")
    print("|---|---|---|---|")
    solve = {}
    for name, runs in xor.items():
        solved = [seconds for ok, _, seconds in runs if ok]
        solve[name] = statistics.median(solved) if solved else float("nan")
        gens = statistics.median(g for ok, g, _ in runs if ok) if solved else float("nan")
        xor[name] = f"{solve[name] * 1000:.1f} ms ({len(solved)}/{len(runs)} solved, median {gens:g} generations)"
    print(f"| XOR: median CPU time to solve | {xor['tessavo']} | {xor['neat']} "
          f"| {solve['neat'] / solve['tessavo']:.0f}x faster |")
    rate = {name: statistics.median(values) for name, values in rows.items()}
    print(f"| evolve throughput, 1000 x 8 rows: network-rows per CPU second "
          f"| {rate['tessavo']:.3g} | {rate['neat']:.3g} | {rate['tessavo'] / rate['neat']:.0f}x |")


if __name__ == "__main__":
    main()
