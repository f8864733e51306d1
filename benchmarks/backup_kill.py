"""Kill-and-resume: seeded runs SIGKILLed at random moments, then resumed.

Every case (optimizer x driver x feed-forward/recurrent x threads) is run
once uninterrupted for its reference. Then, for each kill, a run with a
BackupAndRestore is started, killed with SIGKILL after a random delay, and
started again until it completes; its history and model must equal the
reference bit for bit. Also counted: backups that a resume refused (corrupt)
and temporary files left in the backup folders.

    python benchmarks/backup_kill.py [--kills 200] [--seed 0]

The same file is the child process (``--child``) that tests/test_backup.py
uses for its small matrix.
"""
import argparse
import itertools
import json
import os
import pickle
import random
import subprocess
import sys
import tempfile
import time

OPTIMIZERS = ("alpha", "beta", "gamma")
DRIVERS = ("evolve", "func_evolve")
CASES = list(itertools.product(OPTIMIZERS, DRIVERS, (False, True), (1, 2)))


def data(recurrent):
    import numpy as np

    rng = np.random.default_rng(3)
    if recurrent:
        x = rng.uniform(-1, 1, size=(48, 5, 2))
        y = np.cumsum(x[:, :, :1] * x[:, :, 1:], axis=1) / 5
    else:
        x = rng.uniform(-1, 1, size=(160, 2))
        y = x[:, :1] * x[:, 1:]
    return x, y


def run(optimizer, driver, recurrent, threads, backup_dir, epochs, out, progress=False):
    """One seeded run; writes its history and model to out (pickle)."""
    import numpy as np

    import tessavo
    from tessavo.callbacks import BackupAndRestore, LambdaCallback

    tessavo.set_num_threads(threads)
    tessavo.set_random_seed(11)
    model = tessavo.Model(2, 1, size=6, recurrent=recurrent)
    opt = {"alpha": tessavo.optimizers.Alpha, "beta": tessavo.optimizers.Beta,
           "gamma": tessavo.optimizers.Gamma}[optimizer]()
    model.compile(loss="mse", optimizer=opt)
    x, y = data(recurrent)
    callbacks = []
    if backup_dir is not None:
        callbacks.append(BackupAndRestore(backup_dir))
    if progress:
        callbacks.append(LambdaCallback(
            on_epoch_end=lambda epoch, logs: print(f"epoch {epoch}", flush=True)))
    if driver == "evolve":
        history = model.evolve(x, y, epochs=epochs, pop_size=24, batch_size=40 if not recurrent
                               else 12, verbose=0, callbacks=callbacks)
    else:
        def score(genomes):
            rows = []
            for genome in genomes:
                prediction = genome.predict(x)
                rows.append(float(np.mean((prediction - y) ** 2)))
            return np.array(rows)

        history = model.func_evolve(score, pop_size=24, epochs=epochs, verbose=0,
                                    callbacks=callbacks)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.tv")
        model.save(path)
        with open(path, "rb") as f:
            saved = f.read()
    result = {"history": history, "model": saved, "weights": pickle.dumps(model)}
    with open(out + ".part", "wb") as f:
        pickle.dump(result, f)
    os.replace(out + ".part", out)


def child_command(case, backup_dir, epochs, out, progress=False):
    optimizer, driver, recurrent, threads = case
    command = [sys.executable, "-P", os.path.abspath(__file__), "--child", optimizer, driver,
               str(int(recurrent)), str(threads), backup_dir or "-", str(epochs), out]
    if progress:
        command.append("--progress")
    return command


def load(out):
    with open(out, "rb") as f:
        return pickle.load(f)


def temporaries(folder):
    return [name for name in os.listdir(folder) if name.endswith(".tmp")]


def kill_and_resume(case, folder, epochs, delay, reference):
    """Kills one run after delay seconds, resumes it; returns the outcome."""
    backup_dir = os.path.join(folder, "backup")
    out = os.path.join(folder, "out.pickle")
    for path in (out,):
        if os.path.exists(path):
            os.unlink(path)
    process = subprocess.Popen(child_command(case, backup_dir, epochs, out),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(delay)
    process.kill()
    process.wait()
    killed = process.returncode == -9
    left = temporaries(backup_dir) if os.path.isdir(backup_dir) else []
    resumed = subprocess.run(child_command(case, backup_dir, epochs, out),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    outcome = {"killed": killed, "temporaries_after_kill": len(left), "corrupt": False,
               "identical": False, "error": ""}
    if resumed.returncode != 0:
        outcome["error"] = resumed.stderr.strip().splitlines()[-1] if resumed.stderr else "?"
        outcome["corrupt"] = "backup" in outcome["error"] and "ValueError" in outcome["error"]
        return outcome
    result = load(out)
    outcome["identical"] = (result["history"] == reference["history"]
                            and result["model"] == reference["model"]
                            and result["weights"] == reference["weights"])
    # Normal end: the backup is deleted and nothing else is left.
    outcome["left_after_resume"] = len(os.listdir(backup_dir)) if os.path.isdir(backup_dir) else 0
    return outcome


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--epochs", type=int, default=40)
    args = parser.parse_args()
    chooser = random.Random(args.seed)
    totals = {"runs": 0, "killed": 0, "identical": 0, "corrupt": 0, "failed": 0,
              "temporaries": 0, "left": 0}
    with tempfile.TemporaryDirectory() as root:
        references, durations = {}, {}
        for case in CASES:
            out = os.path.join(root, "reference.pickle")
            start = time.perf_counter()
            subprocess.run(child_command(case, None, args.epochs, out), check=True)
            durations[case] = time.perf_counter() - start
            references[case] = load(out)
        for k in range(args.kills):
            case = CASES[k % len(CASES)]
            folder = os.path.join(root, f"kill{k}")
            os.makedirs(folder)
            delay = chooser.uniform(0.0, durations[case])
            outcome = kill_and_resume(case, folder, args.epochs, delay, references[case])
            totals["runs"] += 1
            totals["killed"] += outcome["killed"]
            totals["identical"] += outcome["identical"]
            totals["corrupt"] += outcome["corrupt"]
            totals["failed"] += bool(outcome["error"])
            totals["temporaries"] += outcome["temporaries_after_kill"]
            totals["left"] += outcome.get("left_after_resume", 0)
            if not outcome["identical"]:
                print(f"case {case} delay {delay:.3f}s: {outcome}", flush=True)
    print(json.dumps({"cases": len(CASES), "epochs": args.epochs, **totals}))
    print(f"{totals['identical']} of {totals['runs']} resumed runs identical to the "
          f"uninterrupted run ({totals['killed']} killed before they ended); "
          f"{totals['corrupt']} corrupt backups; {totals['temporaries']} temporary files left "
          f"after kills; {totals['left']} files left after the resumed runs ended")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        optimizer, driver, recurrent, threads, backup_dir, epochs, out = sys.argv[2:9]
        run(optimizer, driver, recurrent == "1", int(threads),
            None if backup_dir == "-" else backup_dir, int(epochs), out,
            progress="--progress" in sys.argv)
    else:
        main()
