"""The cart-pole of control.py, scored on a Dask cluster.

Needs the 'distributed' extra (in a clone: pip install ".[distributed]"). A local
cluster of worker processes stands in for a real one: point Client at a
scheduler's address to score on other machines, with tessavo and this
example's modules installed there.
"""
# pyright: standard
# (Dask's own annotations are partial.)
import os

from distributed import Client, LocalCluster

from parallel_control import run, warm_up


if __name__ == "__main__":
    workers = len(os.sched_getaffinity(0))
    serial, serial_seconds = run(None)
    with LocalCluster(n_workers=workers, threads_per_worker=1, host="127.0.0.1",
                      # None (no dashboard) is missing from Dask's annotation.
                      dashboard_address=None,  # pyright: ignore[reportArgumentType]
                      ) as cluster, Client(cluster) as client:
        warm_up(client.get_executor(), workers)
        # 60 genomes an epoch in chunks of 5: a Dask task costs about a
        # millisecond of its own, more than scoring one genome.
        distributed, distributed_seconds = run(client.get_executor(), chunksize=5)
    assert distributed == serial, "the same seed gives the same run, however it is scored"
    print(f"best score per epoch: {[round(v, 3) for v in distributed['loss']]}")
    print(f"serial {serial_seconds:.2f}s, Dask with {workers} workers {distributed_seconds:.2f}s: "
          f"{serial_seconds / distributed_seconds:.2f}x faster")
