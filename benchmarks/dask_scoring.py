"""Dask scoring against serial scoring, on a cluster started the way users
start one: a `dask scheduler` and worker processes from the command line, on
127.0.0.1, each worker with one thread.

    python benchmarks/dask_scoring.py [--workers 2] [--pop-size 30]
        [--epochs 5] [--repeats 3] [--cost-ms 10 | --wait-ms 20 [--batched]]

Each genome costs about --cost-ms of CPU to score. Serial and Dask runs are
interleaved, after a warm-up; the speed-up is serial wall time over Dask wall
time, per repeat and as the median.
"""
import argparse
import contextlib
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import tessavo

HERE = os.path.dirname(os.path.abspath(__file__))


class Burn:
    """Scores a genome on a shared block of data, predicting it `repeats`
    times: the data travels with the function, as a user's dataset would."""

    def __init__(self, data, repeats):
        self.data = data
        self.repeats = repeats

    def __call__(self, genome):
        for _ in range(self.repeats):
            out = genome.predict(self.data)
        return float(np.mean((out - 0.5) ** 2))


class Wait:
    """Scores a genome after waiting `seconds`, as a call to a remote
    simulator would: the workers sleep, so more of them than there are cores
    measure the cost of coordination rather than of the machine."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __call__(self, genome):
        time.sleep(self.seconds)
        return float(np.mean((genome.predict(np.ones(4)) - 0.5) ** 2))


class WaitBatch(Wait):
    """The same for a whole GenomeBatch: one wait per genome, one predict."""

    def __call__(self, genomes):
        time.sleep(self.seconds * len(genomes))
        return np.mean((genomes.predict(np.ones((len(genomes), 4))) - 0.5) ** 2, axis=1)


def calibrated(cost_ms):
    """A Burn that costs about cost_ms of CPU per genome in this process."""
    rng = np.random.default_rng(0)
    burn = Burn(rng.normal(size=(256, 4)), 50)
    genome = tessavo.Model(4, 1, size=8)
    start = time.process_time()
    burn(genome)
    per_repeat = (time.process_time() - start) / burn.repeats
    burn.repeats = max(1, round(cost_ms / 1000 / per_repeat))
    return burn


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def cluster(workers, pythonpath=()):
    """A Client on a scheduler and `workers` worker processes started from the
    command line, importing from this directory and `pythonpath` besides;
    all of them are stopped on exit."""
    from distributed import Client

    address = f"tcp://127.0.0.1:{free_port()}"
    path = [HERE, *map(str, pythonpath), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, path)))
    processes = []
    with tempfile.TemporaryDirectory() as scratch:
        common = ["--no-dashboard"]
        try:
            processes.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                 "--port", address.rsplit(":", 1)[1], *common],
                env=env, cwd=scratch, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            for _ in range(workers):
                processes.append(subprocess.Popen(
                    [sys.executable, "-m", "distributed.cli.dask_worker", address,
                     "--nworkers", "1", "--nthreads", "1", "--host", "127.0.0.1",
                     "--local-directory", scratch, *common],
                    env=env, cwd=scratch, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            with Client(address, timeout=60) as client:
                client.wait_for_workers(workers, timeout=120)
                yield client
        finally:
            for process in reversed(processes):
                process.terminate()
            for process in reversed(processes):
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def timed(burn, executor, pop_size, epochs, **kwargs):
    tessavo.set_random_seed(2024)
    model = tessavo.Model(4, 1, size=8)
    model.compile(monitors=["size"])
    start = time.perf_counter()
    history = model.func_evolve(tessavo.scorer(burn, executor, **kwargs), pop_size=pop_size,
                                epochs=epochs, verbose=0)
    return time.perf_counter() - start, history


def cpu_seconds():
    """CPU time of this process and of every process it started (the
    scheduler, the nannies and the workers): wall time is only meaningful on
    an idle machine, CPU time also on a busy one."""
    import psutil

    total = 0.0
    for process in [psutil.Process(), *psutil.Process().children(recursive=True)]:
        with contextlib.suppress(psutil.Error):
            times = process.cpu_times()
            total += times.user + times.system
    return total


def compare(client, burn, pop_size, epochs, repeats, **kwargs):
    """(speed-ups per repeat, serial history, Dask history, CPU ratios):
    a CPU ratio is the CPU time of all processes in the Dask run over that of
    the serial run, the work Dask adds."""
    executor = client.get_executor()
    timed(burn, executor, pop_size, 1, **kwargs)  # warm-up: imports on the workers
    speedups, ratios = [], []
    for _ in range(repeats):
        before = cpu_seconds()
        serial, serial_history = timed(burn, None, pop_size, epochs,
                                       **{k: v for k, v in kwargs.items() if k == "batched"})
        middle = cpu_seconds()
        dask, dask_history = timed(burn, executor, pop_size, epochs, **kwargs)
        speedups.append(serial / dask)
        ratios.append((cpu_seconds() - middle) / (middle - before))
    return speedups, serial_history, dask_history, ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--pop-size", type=int, default=30)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--cost-ms", type=float, default=10.0)
    parser.add_argument("--wait-ms", type=float, default=None,
                        help="each genome's score sleeps this long instead of costing CPU")
    parser.add_argument("--batched", action="store_true",
                        help="score each chunk as one GenomeBatch (needs --wait-ms)")
    parser.add_argument("--chunksize", type=int, default=None,
                        help="scorer's chunksize (default: its own choice)")
    args = parser.parse_args()
    if args.wait_ms is None:
        burn = calibrated(args.cost_ms)
    else:
        burn = (WaitBatch if args.batched else Wait)(args.wait_ms / 1000)
        args.cost_ms = args.wait_ms
    kwargs = {} if args.chunksize is None else {"chunksize": args.chunksize}
    if args.batched:
        kwargs["batched"] = True
    with cluster(args.workers) as client:
        speedups, serial, dask, ratios = compare(client, burn, args.pop_size, args.epochs,
                                                 args.repeats, **kwargs)
    assert serial == dask, "the same seed gives the same run, however it is scored"
    print(f"{2 * args.pop_size} genomes per generation, {args.cost_ms:g} ms each, "
          f"{args.workers} workers, {'batched' if args.batched else 'per genome'}, "
          f"chunksize {args.chunksize or 'default'}: "
          f"speed-up {statistics.median(speedups):.2f}x "
          f"(runs: {', '.join(f'{s:.2f}' for s in speedups)}); "
          f"CPU time, Dask over serial: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
