"""Times the cart-pole of examples/control.py scored serially, on a process
pool or on a local Dask cluster: python benchmarks/parallel_scoring.py MODE
with MODE serial, pool or dask. Prints the seconds of func_evolve alone
(workers are started and warmed up before the clock starts)."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

import tessavo  # noqa: E402
from control import score  # noqa: E402

EPOCHS = int(os.environ.get("EPOCHS", "20"))


def timed(executor, chunksize):
    tessavo.set_random_seed(2024)
    model = tessavo.Model(4, 1, size=7)
    model.compile(monitors=["size"])
    start = time.perf_counter()
    model.func_evolve(tessavo.scorer(score, executor, chunksize=chunksize), pop_size=30,
                      epochs=EPOCHS, verbose=0)
    return time.perf_counter() - start


def warmed(executor, workers):
    list(executor.map(score, [tessavo.Model(4, 1, size=7) for _ in range(workers)]))
    return executor


if __name__ == "__main__":
    mode = sys.argv[1]
    workers = len(os.sched_getaffinity(0))
    if mode == "serial":
        seconds = timed(None, 1)
    elif mode == "pool":
        from concurrent.futures import ProcessPoolExecutor

        with ProcessPoolExecutor(workers) as pool:
            seconds = timed(warmed(pool, workers), 3)
    elif mode == "dask":
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=workers, threads_per_worker=1, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            seconds = timed(warmed(client.get_executor(), workers), 5)
    else:
        sys.exit(f"unknown mode {mode!r}: serial, pool or dask")
    print(f"{mode} {seconds:.2f}")
