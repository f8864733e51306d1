"""tessavo and neat-python 2.0.0 side by side, measured in one run.

Every figure is CPU time in a fresh child process pinned to one CPU, the
two libraries' runs interleaved so that both see the same load.

- evolve throughput on 1000 x 8 regression rows, population 150: network-
  rows scored per CPU second (tessavo scores 2 * 150 networks a generation,
  neat-python 150). Size 9 is the inputs wired straight to the output, as
  neat-python starts; size 20 gives neat-python 11 hidden nodes, fully
  connected.
- XOR time to solve at population 150: CPU seconds until the summed squared
  error over the four cases is at most 0.1 (mse 0.025; neat-python fitness
  4 - error >= 3.9), at most 300 generations; mean over the solved runs.

    python benchmarks/vs_neat.py [--runs N] [--cpu 1]
"""
import argparse
import json
import statistics
import subprocess
import sys
import tempfile

NEAT_CONFIG = """
[NEAT]
fitness_criterion = max
fitness_threshold = {threshold}
pop_size = 150
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
import json, sys, time
import numpy as np
library, task, arg = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = np.random.default_rng(0)
if task == "rows":
    x = rng.normal(size=(1000, 8))
    y = np.tanh(x[:, :2].sum(axis=1, keepdims=True))
else:
    x = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=np.float64)
    y = np.array([[0], [1], [1], [0]], dtype=np.float64)
if library == "tessavo":
    import tessavo
    size = arg if task == "rows" else 5
    model = tessavo.Model(x.shape[1], 1, size=size)
    model.compile(loss="mse")
    if task == "rows":
        model.evolve(x, y, pop_size=150, epochs=1, verbose=0)  # warm-up
        epochs = 10
        start = time.process_time()
        model.evolve(x, y, pop_size=150, epochs=epochs, verbose=0)
        cpu = time.process_time() - start
        print(json.dumps({"rate": epochs * 2 * 150 * 1000 / cpu}))
    else:
        class Solved(tessavo.callbacks.Callback):
            def on_epoch_end(self, epoch, logs=None):
                if logs["loss"] <= 0.025:
                    self.model.stop_training = True
        start = time.process_time()
        history = model.evolve(x, y, pop_size=150, epochs=300, verbose=0, callbacks=[Solved()])
        cpu = time.process_time() - start
        print(json.dumps({"solved": history["loss"][-1] <= 0.025, "cpu": cpu}))
else:
    import neat
    config = neat.Config(neat.DefaultGenome, neat.DefaultReproduction, neat.DefaultSpeciesSet,
                         neat.DefaultStagnation, sys.argv[4])
    rows = [tuple(r) for r in x.tolist()]
    targets = y[:, 0].tolist()

    def evaluate(genomes, config):
        for _, genome in genomes:
            net = neat.nn.FeedForwardNetwork.create(genome, config)
            error = 0.0
            for r, t in zip(rows, targets):
                error += (net.activate(r)[0] - t) ** 2
            genome.fitness = (4.0 if task == "xor" else 0.0) - error

    population = neat.Population(config)
    if task == "rows":
        generations = 3
        start = time.process_time()
        population.run(evaluate, generations)
        cpu = time.process_time() - start
        print(json.dumps({"rate": generations * 150 * 1000 / cpu}))
    else:
        start = time.process_time()
        best = population.run(evaluate, 300)
        cpu = time.process_time() - start
        print(json.dumps({"solved": best.fitness >= 3.9, "cpu": cpu}))
"""


def child(cpu, library, task, arg, config=""):
    command = ["taskset", "-c", cpu, sys.executable, "-P", "-c", CHILD, library, task, str(arg),
               config]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def neat_config(folder, name, **values):
    path = f"{folder}/{name}.ini"
    with open(path, "w") as f:
        f.write(NEAT_CONFIG.format(**values))
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per figure and library")
    parser.add_argument("--cpu", default="1", help="the CPU to pin to")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        configs = {
            9: neat_config(folder, "rows9", threshold=1e9, no_termination=True, hidden=0,
                           inputs=8, compatibility=3.0),
            # Wider species: 11 hidden nodes would otherwise put every genome
            # in a species of its own, which neat-python refuses.
            20: neat_config(folder, "rows20", threshold=1e9, no_termination=True, hidden=11,
                            inputs=8, compatibility=30.0),
            "xor": neat_config(folder, "xor", threshold=3.9, no_termination=False, hidden=0,
                               inputs=2, compatibility=3.0),
        }
        rates = {(lib, size): [] for lib in ("tessavo", "neat") for size in (9, 20)}
        xor = {"tessavo": [], "neat": []}
        for _ in range(args.runs):
            for size in (9, 20):
                for lib in ("tessavo", "neat"):
                    rates[lib, size].append(child(args.cpu, lib, "rows", size, configs[size]))
            for lib in ("tessavo", "neat"):
                xor[lib].append(child(args.cpu, lib, "xor", 0, configs["xor"]))

    print(f"{args.runs} interleaved runs per figure, CPU time, pinned to CPU {args.cpu}")
    print("| measure | tessavo | neat-python 2.0.0 | ratio |")
    print("|---|---|---|---|")
    for size in (9, 20):
        ours = statistics.median(r["rate"] for r in rates["tessavo", size])
        theirs = statistics.median(r["rate"] for r in rates["neat", size])
        print(f"| evolve 1000 x 8, pop 150, size {size} (network-rows/s) | {ours:.3g} "
              f"| {theirs:.3g} | {ours / theirs:.0f}x |")
    solved = {lib: [r["cpu"] for r in runs if r["solved"]] for lib, runs in xor.items()}
    if solved["tessavo"] and solved["neat"]:
        ours, theirs = statistics.mean(solved["tessavo"]), statistics.mean(solved["neat"])
        print(f"| XOR time to solve, pop 150 (CPU ms; solved {len(solved['tessavo'])}/{args.runs}"
              f" and {len(solved['neat'])}/{args.runs}) | {1e3 * ours:.1f} | {1e3 * theirs:.1f} "
              f"| {theirs / ours:.0f}x |")


if __name__ == "__main__":
    main()
