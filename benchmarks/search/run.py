"""Networks scored until the first solver, over seeds, for one task and optimizer.

    python benchmarks/search/run.py --task dpv --optimizer beta --seeds 20 --cap 50000

Optimizers: alpha, beta and gamma (tessavo's func_evolve) and neat (neat-python with
the configurations in neat_configs/). Each seed runs until the first network
that solves the task or until `--cap` networks were scored. Every network
handed to the scoring function counts, in order, parents scored again
included, up to and including the solver. CPU seconds are the process's
(threads included), not wall time: the machine may be shared.

One JSON line per run is printed (and with --out, all runs and the summary
are written as JSON).
"""
from __future__ import annotations

import argparse
import configparser
import json
import os
import random
import statistics
import sys
import tempfile
from typing import Any

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tasks  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# neat-python's populations: its documented 150, and 100 for CartPole (its
# published figure is 4 generations of 100).
NEAT_POP = {"xor": 150, "dpv": 150, "dpnv": 150, "cartpole": 100}


class _Done(Exception):
    pass


def neat_config(task: Any, pop: int) -> Any:
    import neat

    name = "recurrent.ini" if task.recurrent else "feedforward.ini"
    parser = configparser.ConfigParser()
    parser.read(os.path.join(HERE, "neat_configs", name))
    parser["NEAT"]["pop_size"] = str(pop)
    parser["DefaultGenome"]["num_inputs"] = str(task.inputs)
    parser["DefaultGenome"]["num_outputs"] = str(task.outputs)
    with tempfile.NamedTemporaryFile("w", suffix=".ini", delete=False) as f:
        parser.write(f)
    try:
        return neat.Config(neat.DefaultGenome, neat.DefaultReproduction,
                           neat.DefaultSpeciesSet, neat.DefaultStagnation, f.name)
    finally:
        os.unlink(f.name)


def run_neat(task: Any, seed: int, cap: int, pop: int | None) -> dict[str, Any]:
    import neat

    random.seed(seed)
    np.random.seed(seed)
    config = neat_config(task, pop or NEAT_POP[task.name])
    make = neat.nn.RecurrentNetwork.create if task.recurrent else neat.nn.FeedForwardNetwork.create
    tracker = tasks.Tracker(task, cap)

    def eval_genomes(genomes: list[tuple[int, Any]], config: Any) -> None:
        scores = tracker.score([tasks.NeatPolicy(make(g, config)) for _, g in genomes])
        for (_, g), s in zip(genomes, scores):
            g.fitness = -float(s)
        if tracker.done:
            raise _Done

    start = tasks.cpu_time()
    population = neat.Population(config, seed=seed)
    try:
        population.run(eval_genomes, n=cap + 1)
    except _Done:
        pass
    return tracker.result(tasks.cpu_time() - start)


def run_one(task: Any, optimizer: str, seed: int, cap: int, pop: int | None,
            size: int | None = None) -> dict[str, Any]:
    if optimizer == "neat":
        return run_neat(task, seed, cap, pop)
    return tasks.run_tessavo(task, seed, cap, optimizer=optimizer, pop_size=pop, size=size)


def summarise(runs: list[dict[str, Any]], cap: int) -> dict[str, Any]:
    """Median and mean over the solved runs; failures count only in the solved share."""
    solved = [r["scored"] for r in runs if r["solved"]]
    cpu = [r["cpu"] for r in runs]
    return {
        "runs": len(runs),
        "solved": len(solved),
        "cap": cap,
        "median": statistics.median(solved) if solved else None,
        "mean": statistics.fmean(solved) if solved else None,
        # With failures counted at the cap: a lower bound when any failed.
        "median_all": statistics.median(r["scored"] for r in runs) if runs else None,
        "cpu_median": statistics.median(cpu) if cpu else None,
        "cpu_total": sum(cpu),
        "steps_median": statistics.median(r["steps"] for r in runs) if runs else None,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--task", choices=sorted(tasks.TASKS), required=True)
    parser.add_argument("--optimizer", choices=("alpha", "beta", "gamma", "neat"), required=True)
    parser.add_argument("--seeds", type=int, default=20, help="runs, seeds 1..N")
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--cap", type=int, default=50_000, help="networks scored at most")
    parser.add_argument("--pop", type=int, default=None, help="population (default per task)")
    parser.add_argument("--size", type=int, default=None,
                        help="tessavo model size, nodes in all (default per task)")
    parser.add_argument("--out", help="write the runs and summary to this JSON file")
    args = parser.parse_args(argv)

    task = tasks.TASKS[args.task]
    runs = []
    for seed in range(args.first_seed, args.first_seed + args.seeds):
        result = run_one(task, args.optimizer, seed, args.cap, args.pop, args.size)
        result["seed"] = seed
        runs.append(result)
        print(json.dumps(result), flush=True)
    summary = summarise(runs, args.cap)
    neat = args.optimizer == "neat"
    summary.update(task=args.task, optimizer=args.optimizer,
                   pop=args.pop or (NEAT_POP[task.name] if neat else task.pop_size),
                   size=None if neat else args.size or task.size)
    print(json.dumps(summary), flush=True)
    if args.out:
        with open(args.out, "w") as f:
            json.dump({"summary": summary, "runs": runs}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
