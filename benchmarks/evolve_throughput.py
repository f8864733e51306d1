"""Throughput of Model.evolve on fixed workloads.

Prints, per workload, the wall time of the evolve call, the generations per
second (one generation per batch) and the forward passes per second (every
pool member, 2 * pop_size networks, runs one pass per time step of its batch).

    python benchmarks/evolve_throughput.py [--repeat N]
"""
import argparse
import time

import numpy as np

import tessavo


def xor():
    x = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=np.float64)
    y = np.array([[0], [1], [1], [0]], dtype=np.float64)
    return tessavo.Model(2, 1, size=5), x, y


def rows_1000():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(1000, 8))
    y = np.tanh(x[:, :2].sum(axis=1, keepdims=True))
    return tessavo.Model(8, 1, size=20), x, y


def sequence_to_one():
    rng = np.random.default_rng(1)
    x = rng.uniform(size=(64, 20, 1))
    return tessavo.Model(1, 1, size=10, recurrent=True), x, x.mean(axis=1, keepdims=True)


# name, data, pop_size, batch_size, epochs
WORKLOADS = [
    ("XOR, pop 100", xor, 100, -1, 200),
    ("1000x8, size 20, pop 100, one batch", rows_1000, 100, -1, 10),
    ("1000x8, size 20, pop 100, batches of 100", rows_1000, 100, 100, 10),
    ("64x20 recurrent seq-to-one, size 10, pop 50", sequence_to_one, 50, -1, 30),
]


def run(make, pop_size, batch_size, epochs):
    model, x, y = make()
    model.compile(loss="mse")
    start = time.perf_counter()
    model.evolve(x, y, pop_size=pop_size, batch_size=batch_size, epochs=epochs, verbose=0)
    wall = time.perf_counter() - start
    rows = len(x)
    batch = rows if batch_size == -1 else batch_size
    generations = epochs * -(-rows // batch)
    steps = x.shape[1] if x.ndim == 3 else 1
    passes = epochs * 2 * pop_size * rows * steps
    return wall, generations / wall, passes / wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per workload (best is kept)")
    args = parser.parse_args()
    print(f"| {'workload':<46} | {'epochs':>6} | {'wall s':>7} | {'gen/s':>8} | {'passes/s':>11} |")
    print(f"|{'-' * 48}|{'-' * 8}|{'-' * 9}|{'-' * 10}|{'-' * 13}|")
    for name, make, pop_size, batch_size, epochs in WORKLOADS:
        wall, gens, passes = min(
            (run(make, pop_size, batch_size, epochs) for _ in range(args.repeat)),
            key=lambda r: r[0],
        )
        print(f"| {name:<46} | {epochs:>6} | {wall:>7.3f} | {gens:>8.1f} | {passes:>11.3e} |")


if __name__ == "__main__":
    main()
