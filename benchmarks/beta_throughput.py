"""CPU time per network scored, Beta (or Gamma) against Alpha, on the 1000 x 8 workload.

The workload of benchmarks/evolve_throughput.py (1000 rows of 8 inputs, a
model of 20 nodes, one batch). Alpha scores 2 * pop_size networks per
generation, Beta pop_size; both are charged the CPU time of the whole
evolve call (breeding, selection and scoring, every thread), divided by the
networks scored. Runs alternate so that a busy machine slows both alike.
Pin it for steadier figures:

    taskset -c 0 python benchmarks/beta_throughput.py [--rounds 5] [--structure-rate R]
    taskset -c 0 python benchmarks/beta_throughput.py --optimizer gamma
"""
import argparse
import statistics
import time

import numpy as np

import tessavo


def data():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(1000, 8))
    return x, np.tanh(x[:, :2].sum(axis=1, keepdims=True))


def cpu_per_network(optimizer, seed, pop_size, epochs):
    x, y = data()
    tessavo.set_random_seed(seed)
    model = tessavo.Model(8, 1, size=20)
    model.compile(optimizer=optimizer, loss="mse")
    start = time.process_time()
    model.evolve(x, y, pop_size=pop_size, epochs=epochs, verbose=0)
    scored = epochs * (2 * pop_size if optimizer == "alpha" else pop_size)
    return (time.process_time() - start) / scored


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--structure-rate", type=float, default=None,
                        help="Beta's structure_rate (default: Beta's own)")
    parser.add_argument("--optimizer", choices=("beta", "gamma"), default="beta")
    args = parser.parse_args()
    name = args.optimizer.capitalize()
    ratios = []
    print(f"| round | Alpha us/network | {name} us/network | {name} / Alpha |")
    print("|------:|-----------------:|----------------:|-------------:|")
    for r in range(1, args.rounds + 1):
        a = cpu_per_network("alpha", r, 100, args.epochs)
        if args.optimizer == "gamma":
            other = tessavo.optimizers.Gamma()
        elif args.structure_rate is None:
            other = tessavo.optimizers.Beta()
        else:
            other = tessavo.optimizers.Beta(structure_rate=args.structure_rate)
        b = cpu_per_network(other, r, 200, args.epochs)
        ratios.append(b / a)
        print(f"| {r:5d} | {a * 1e6:16.1f} | {b * 1e6:15.1f} | {b / a:12.3f} |", flush=True)
    print(f"median {name} / Alpha: {statistics.median(ratios):.3f} (target: at most 1.2)")


if __name__ == "__main__":
    main()
