"""tessavo and neat-python 2.0.0 side by side on this machine.

    python benchmarks/versus_neat.py [--runs 20] [--repeat 3] [--sizes 9 20] [--cpu 0]

Each run is a fresh process pinned to one CPU, timed on CPU time around the
training call only; the two libraries take turns run by run, and the
throughput and XOR runs are interleaved round by round.

- XOR, population 150, at most 300 generations, solved at a mean squared
  error of 0.025 (neat-python: fitness 4 - sum of squared errors >= 3.9, the
  same bar). Median and mean CPU time to solve over the solved runs.
  tessavo starts from Model(2, 1, size=5) with its default optimizer;
  neat-python from its usual XOR settings (sigmoid nodes, fully connected,
  no hidden node).
- Evolve throughput: 1000 x 8 regression rows, population 150, for each
  network size in --sizes: network-rows scored per CPU second (tessavo
  scores parents and children, 2 x 150 networks per generation; neat-python
  150 genomes per generation). Size 9 is the inputs wired straight to the
  output, as neat-python starts; larger sizes give neat-python size - 9
  hidden nodes, fully connected.

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

INPUTS = 8  # columns of the throughput rows; size 9 has no hidden node
POP = 150

NEAT_CONFIG = """
[NEAT]
fitness_criterion = max
fitness_threshold = {threshold}
pop_size = {pop}
reset_on_extinction = False
no_fitness_termination = {no_termination}

[DefaultGenome]
activation_default = sigmoid
activation_mutate_rate = 0.0
activation_options = sigmoid
aggregation_default = sum
aggregation_mutate_rate = 0.0
aggregation_options = sum
bias_init_mean = 0.0
bias_init_stdev = 1.0
bias_max_value = 30.0
bias_min_value = -30.0
bias_mutate_power = 0.5
bias_mutate_rate = 0.7
bias_replace_rate = 0.1
compatibility_disjoint_coefficient = 1.0
compatibility_weight_coefficient = 0.5
conn_add_prob = 0.5
conn_delete_prob = 0.5
enabled_default = True
enabled_mutate_rate = 0.01
feed_forward = True
initial_connection = full
node_add_prob = 0.2
node_delete_prob = 0.2
num_hidden = {hidden}
num_inputs = {inputs}
num_outputs = 1
response_init_mean = 1.0
response_init_stdev = 0.0
response_max_value = 30.0
response_min_value = -30.0
response_mutate_power = 0.0
response_mutate_rate = 0.0
response_replace_rate = 0.0
weight_init_mean = 0.0
weight_init_stdev = 1.0
weight_max_value = 30
weight_min_value = -30
weight_mutate_power = 0.5
weight_mutate_rate = 0.8
weight_replace_rate = 0.1

[DefaultSpeciesSet]
compatibility_threshold = {compatibility}

[DefaultStagnation]
species_fitness_func = max
max_stagnation = 20
species_elitism = 2

[DefaultReproduction]
elitism = 2
survival_threshold = 0.2
"""


CHILD = r"""
import json, os, sys, time
task, library, seed, cpu, size, config = json.loads(sys.argv[1])
os.sched_setaffinity(0, [cpu])
import numpy as np

POP, GENERATIONS = 150, 300
XOR_X = [(0.0, 0.0), (0.0, 1.0), (1.0, 0.0), (1.0, 1.0)]
XOR_Y = [0.0, 1.0, 1.0, 0.0]
rng = np.random.default_rng(0)
ROWS_X = rng.normal(size=(1000, 8))
ROWS_Y = np.tanh(ROWS_X[:, :2].sum(axis=1, keepdims=True))

if library == "tessavo":
    import tessavo
    tessavo.set_random_seed(seed)
    if task == "xor":
        model = tessavo.Model(2, 1, size=5)
        model.compile(loss="mse")
        def stop(epoch, logs):
            if logs["loss"] <= 0.025:
                model.stop_training = True
        done = tessavo.callbacks.LambdaCallback(on_epoch_end=stop)
        start = time.process_time()
        history = model.evolve(np.array(XOR_X), np.array(XOR_Y).reshape(4, 1), pop_size=POP,
                               epochs=GENERATIONS, verbose=0, callbacks=[done])
        seconds = time.process_time() - start
        result = [history["loss"][-1] <= 0.025, len(history["loss"]), seconds]
    else:
        model = tessavo.Model(8, 1, size=size)
        model.compile(loss="mse")
        model.evolve(ROWS_X, ROWS_Y, pop_size=POP, epochs=1, verbose=0)  # warm-up
        epochs = 10
        start = time.process_time()
        model.evolve(ROWS_X, ROWS_Y, pop_size=POP, epochs=epochs, verbose=0)
        result = epochs * 2 * POP * len(ROWS_X) / (time.process_time() - start)
else:
    import random
    import neat
    random.seed(seed)
    settings = neat.Config(neat.DefaultGenome, neat.DefaultReproduction,
                           neat.DefaultSpeciesSet, neat.DefaultStagnation, config)
    population = neat.Population(settings)
    if task == "xor":
        rows, targets, base = XOR_X, XOR_Y, 4.0
    else:
        rows, targets, base = [tuple(r) for r in ROWS_X.tolist()], ROWS_Y[:, 0].tolist(), 0.0
    def score(genomes, settings):
        for _, genome in genomes:
            net = neat.nn.FeedForwardNetwork.create(genome, settings)
            genome.fitness = base - sum((net.activate(r)[0] - t) ** 2
                                        for r, t in zip(rows, targets))
    if task == "xor":
        start = time.process_time()
        best = population.run(score, GENERATIONS)
        seconds = time.process_time() - start
        result = [best.fitness >= 3.9, population.generation, seconds]
    else:
        generations = 3
        start = time.process_time()
        population.run(score, generations)
        result = generations * POP * len(rows) / (time.process_time() - start)
print(json.dumps(result))
"""


def child(python, task, library, seed, cpu, size=0, config=""):
    out = subprocess.run([python, "-c", CHILD, json.dumps([task, library, seed, cpu, size, config])],
                         check=True, capture_output=True, text=True, cwd=tempfile.gettempdir())
    return json.loads(out.stdout.splitlines()[-1])


def write_config(folder, name, inputs, hidden=0, xor=False):
    path = os.path.join(folder, f"{name}.ini")
    with open(path, "w") as f:
        f.write(NEAT_CONFIG.format(
            pop=POP, inputs=inputs, hidden=hidden,
            # Throughput runs every generation: no fitness ends them.
            threshold=3.9 if xor else 1e9, no_termination=not xor,
            # Wider species with hidden nodes: 11 of them would otherwise put
            # every genome in a species of its own, which neat-python refuses.
            compatibility=30.0 if hidden else 3.0))
    return path


def size_arg(text):
    size = int(text)
    if size < INPUTS + 1:
        raise argparse.ArgumentTypeError(f"a network needs at least {INPUTS + 1} nodes")
    return size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="XOR runs per library")
    parser.add_argument("--repeat", type=int, default=3,
                        help="throughput runs per library and size")
    parser.add_argument("--sizes", type=size_arg, nargs="+", default=[9, 20],
                        help="network sizes for throughput (default: 9 20)")
    parser.add_argument("--cpu", type=int, default=0, help="the CPU to pin to")
    parser.add_argument("--neat-python", default=sys.executable,
                        help="interpreter that imports neat-python")
    args = parser.parse_args()
    pythons = {"tessavo": sys.executable, "neat": args.neat_python}
    with tempfile.TemporaryDirectory() as folder:
        configs = {size: write_config(folder, f"rows{size}", INPUTS, hidden=size - INPUTS - 1)
                   for size in args.sizes}
        xor_config = write_config(folder, "xor", 2, xor=True)
        rates = {(name, size): [] for name in pythons for size in args.sizes}
        xor = {name: [] for name in pythons}
        for seed in range(max(args.runs, args.repeat)):
            if seed < args.repeat:
                for size in args.sizes:
                    for name, python in pythons.items():
                        rates[name, size].append(
                            child(python, "rows", name, seed, args.cpu, size, configs[size]))
            if seed < args.runs:
                for name, python in pythons.items():
                    xor[name].append(child(python, "xor", name, seed, args.cpu, config=xor_config))

    print(f"{args.runs} XOR and {args.repeat} throughput runs per library, CPU time, "
          f"pinned to CPU {args.cpu}")
    print("| | tessavo | neat-python 2.0.0 | ratio |")
    print("|---|---|---|---|")
    if args.runs:
        cells, solve = {}, {}
        for name, runs in xor.items():
            solved = [seconds for ok, _, seconds in runs if ok]
            if not solved:
                cells[name], solve[name] = f"none of {len(runs)} solved", float("nan")
                continue
            solve[name] = statistics.median(solved)
            gens = statistics.median(g for ok, g, _ in runs if ok)
            cells[name] = (f"{solve[name] * 1000:.1f} ms, mean {statistics.mean(solved) * 1000:.1f}"
                           f" ({len(solved)}/{len(runs)} solved, median {gens:g} generations)")
        print(f"| XOR: median CPU time to solve | {cells['tessavo']} | {cells['neat']} "
              f"| {solve['neat'] / solve['tessavo']:.0f}x faster |")
    for size in args.sizes if args.repeat else ():
        ours = statistics.median(rates["tessavo", size])
        theirs = statistics.median(rates["neat", size])
        print(f"| evolve throughput, 1000 x 8 rows, size {size}: network-rows per CPU second "
              f"| {ours:.3g} | {theirs:.3g} | {ours / theirs:.0f}x |")


if __name__ == "__main__":
    main()
