"""The cart-pole of control.py, with the genomes scored on a process pool.

Each genome's score is a Python simulation, so scoring is nearly all of the
time and other cores are the way to go faster. tessavo.scorer turns the
per-genome score into a train_func that maps it over the pool; the genomes
travel to the worker processes by pickling.

Checked at the end: under the same seed the run is the same as with serial
scoring. Both are timed; how much faster the pool is depends on the machine
(see the benchmarks page). With TESSAVO_EXAMPLE_QUICK=1 the runs are
shorter.
"""
import os
import time
from concurrent.futures import Executor, ProcessPoolExecutor

import tessavo
from control import QUICK, score  # a module-level function: workers import it by name


def run(executor: Executor | None, chunksize: int = 1) -> tuple[dict[str, list[float]], float]:
    tessavo.set_random_seed(2024)
    model = tessavo.Model(4, 1, size=7)
    model.compile(monitors=["size"])
    start = time.perf_counter()
    train_func = tessavo.scorer(score, executor, chunksize=chunksize)
    history = model.func_evolve(train_func, pop_size=30, epochs=5 if QUICK else 20, verbose=0)
    return history, time.perf_counter() - start


def warm_up(executor: Executor, workers: int) -> None:
    """Starts the workers and has them import what scoring needs, untimed."""
    list(executor.map(score, [tessavo.Model(4, 1, size=7) for _ in range(workers)]))


if __name__ == "__main__":
    workers = len(os.sched_getaffinity(0))
    serial, serial_seconds = run(None)
    with ProcessPoolExecutor(workers) as pool:
        warm_up(pool, workers)
        # Three genomes a task: fewer round trips to the workers.
        parallel, parallel_seconds = run(pool, chunksize=3)
    assert parallel == serial, "the same seed gives the same run, however it is scored"
    print(f"best score per epoch: {[round(v, 3) for v in parallel['loss']]}")
    print(f"serial {serial_seconds:.2f}s, {workers} processes {parallel_seconds:.2f}s: "
          f"{serial_seconds / parallel_seconds:.2f}x faster")
