"""How a generation scales with cores, measured rather than guessed.

For 1000 and 100 rows of 8 inputs (population 150, size 20, one generation
per epoch), runs evolve on 1 thread and on 2 threads, each in a fresh
process pinned with taskset (CPU 0, then CPUs 0 and 1), rounds interleaved.
The 1-thread run gives the serial fraction: the share of the generation's
CPU time spent outside the work the pool shares out (breeding and scoring
the children). Prints Amdahl's projection for 16, 64 and 128 cores beside
the measured 2-core speed-up (wall time).

    python benchmarks/scaling.py [--rounds N] [--epochs E] [--cpus 0,1]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

ROWS = (1000, 100)


def child(rows, threads, epochs):
    import numpy as np

    import tessavo
    from tessavo import _core

    tessavo.set_num_threads(threads)
    rng = np.random.default_rng(0)
    x = rng.normal(size=(rows, 8))
    y = np.tanh(x[:, :2].sum(axis=1, keepdims=True))
    tessavo.set_random_seed(7)
    model = tessavo.Model(8, 1, size=20)
    model.compile(loss="mse")
    model.evolve(x, y, pop_size=150, epochs=2, verbose=0)  # warm-up: threads, scratch
    pool_before = _core._pool_seconds()
    cpu_before, wall_before = time.process_time(), time.perf_counter()
    model.evolve(x, y, pop_size=150, epochs=epochs, verbose=0)
    wall = time.perf_counter() - wall_before
    cpu = time.process_time() - cpu_before
    pool = _core._pool_seconds() - pool_before
    print(json.dumps({"wall": wall / epochs, "cpu": cpu / epochs, "pool": pool / epochs}))


def run(rows, threads, epochs, cpus):
    pinned = ",".join(cpus[:threads])
    command = ["taskset", "-c", pinned, sys.executable, "-P", os.path.abspath(__file__),
               "--child", str(rows), str(threads), str(epochs)]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def amdahl(serial, cores):
    return 1.0 / (serial + (1.0 - serial) / cores)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (median kept)")
    parser.add_argument("--epochs", type=int, default=20, help="generations timed per run")
    parser.add_argument("--cpus", default="0,1", help="the two CPUs to pin to")
    parser.add_argument("--child", nargs=3, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    cpus = args.cpus.split(",")
    results = {(rows, t): [] for rows in ROWS for t in (1, 2)}
    for _ in range(args.rounds):
        for rows in ROWS:
            for threads in (1, 2):
                results[rows, threads].append(run(rows, threads, args.epochs, cpus))

    def median(rows, threads, key):
        return statistics.median(r[key] for r in results[rows, threads])

    print(f"{args.rounds} interleaved rounds of {args.epochs} generations, population 150, "
          f"size 20, 8 inputs; medians")
    print("| rows | CPU ms/generation, 1 thread | serial fraction | 2 threads measured "
          "| Amdahl 2 | 16 | 64 | 128 |")
    print("|---|---|---|---|---|---|---|---|")
    for rows in ROWS:
        # Per run: the share of its CPU time outside the pool's work.
        serial = statistics.median(1.0 - r["pool"] / r["cpu"] for r in results[rows, 1])
        measured = median(rows, 1, "wall") / median(rows, 2, "wall")
        projected = " | ".join(f"{amdahl(serial, n):.2f}x" for n in (2, 16, 64, 128))
        print(f"| {rows} | {1e3 * median(rows, 1, 'cpu'):.1f} | {100 * serial:.1f}% "
              f"| {measured:.2f}x | {projected} |")


if __name__ == "__main__":
    main()
