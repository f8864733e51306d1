"""CPU cost of a backup after every epoch.

Population 150 around a network of size 20, on 1000 x 8 rows (one batch per
epoch): the same seeded run with and without BackupAndRestore, interleaved,
in CPU time of the process (pin it to one core for steady figures).

    taskset -c 0 python benchmarks/backup_cost.py [--epochs 30] [--repeat 5]
"""
import argparse
import os
import tempfile
import time

import numpy as np

import tessavo
from tessavo.callbacks import BackupAndRestore


def run(optimizer, epochs, folder):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(1000, 8))
    y = np.tanh(x[:, :2].sum(axis=1, keepdims=True))
    tessavo.set_random_seed(5)
    model = tessavo.Model(8, 1, size=20)
    model.compile(loss="mse", optimizer=optimizer())
    callbacks = [BackupAndRestore(folder)] if folder else []
    start = time.process_time()
    model.evolve(x, y, pop_size=150, epochs=epochs, verbose=0, callbacks=callbacks)
    return time.process_time() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=30)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--folder", default=None,
                        help="where the backups go (default: a temporary folder); /dev/shm "
                             "shows the cost without a disk's flush")
    args = parser.parse_args()
    tessavo.set_num_threads(1)
    for name, optimizer in (("Alpha", tessavo.optimizers.Alpha), ("Beta", tessavo.optimizers.Beta)):
        plain, backed = [], []
        with tempfile.TemporaryDirectory(dir=args.folder) as folder:
            for _ in range(args.repeat):
                plain.append(run(optimizer, args.epochs, None))
                backed.append(run(optimizer, args.epochs, os.path.join(folder, "backup")))
        p, b = min(plain), min(backed)
        print(f"{name}: {args.epochs} epochs, CPU {p:.3f} s without backups, {b:.3f} s with a "
              f"backup every epoch: +{100 * (b - p) / p:.1f}% "
              f"(medians {np.median(plain):.3f} s, {np.median(backed):.3f} s)", flush=True)


if __name__ == "__main__":
    main()
