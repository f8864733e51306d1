"""Run every task with Alpha, Beta, Gamma and neat-python over 20 seeds; write RESULTS.md.

    python benchmarks/search/matrix.py                  # the whole matrix
    python benchmarks/search/matrix.py --optimizers beta --tasks xor dpv
    python benchmarks/search/matrix.py --report-only    # RESULTS.md from saved runs

Each (task, optimizer) cell runs `run.py` in its own process, at most two at a
time, and saves its runs in results/TASK-OPTIMIZER.json; RESULTS.md is built
from every saved cell, so cells can be rerun one at a time.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
RESULTS = os.path.join(HERE, "results")
TASKS = ("xor", "dpv", "dpnv", "cartpole")
OPTIMIZERS = ("alpha", "beta", "gamma", "neat")
TITLES = {
    "xor": "XOR",
    "dpv": "double pole, velocities",
    "dpnv": "double pole, no velocities",
    "cartpole": "CartPole-v1",
}
# Networks scored at most per run. Alpha does not fine-tune the double pole
# controllers, so its caps there bound the matrix's CPU time.
CAPS: dict[tuple[str, str], int] = {
    ("xor", "alpha"): 30_000, ("xor", "beta"): 30_000, ("xor", "neat"): 30_000,
    ("dpv", "alpha"): 15_000, ("dpv", "beta"): 20_000, ("dpv", "neat"): 30_000,
    # neat-python's recurrent networks soon balance most of Gruau's 1,000
    # actions, and its networks run in pure Python: its generations cost most.
    ("dpnv", "alpha"): 10_000, ("dpnv", "beta"): 15_000, ("dpnv", "neat"): 6_000,
    ("cartpole", "alpha"): 10_000, ("cartpole", "beta"): 10_000, ("cartpole", "neat"): 10_000,
    ("xor", "gamma"): 30_000, ("dpv", "gamma"): 20_000, ("dpnv", "gamma"): 20_000,
    ("cartpole", "gamma"): 10_000,
}
# (population, model size) where an optimizer runs best with other than the
# task's defaults (tasks.py). Beta scores pop_size networks a generation, not
# twice that, and prefers small populations on control tasks.
# Gamma, an evolution strategy, runs best with small populations.
SETTINGS: dict[tuple[str, str], tuple[int | None, int | None]] = {
    **{(task, "beta"): (50, None) for task in TASKS},
    **{(task, "gamma"): (10, None) for task in TASKS},
}
# Published figures and the targets for the best tessavo optimizer.
ANCHORS = {
    "xor": "NEAT 4,755. Target: <= 1,100, 20/20.",
    "dpv": "NEAT 3,600; CoSyNE 954; CMA-ES under 1,000. Target: <= 800, 20/20.",
    "dpnv": "NEAT 33,184; ESP 169,466; CoSyNE 1,249. Target: >= 18/20 within 20,000, "
            "median <= 8,000.",
    "cartpole": "Target: fewer environment steps than neat-python, 20/20.",
}


def cell_path(task: str, optimizer: str) -> str:
    return os.path.join(RESULTS, f"{task}-{optimizer}.json")


def run_cell(task: str, optimizer: str, seeds: int) -> str:
    os.makedirs(RESULTS, exist_ok=True)
    out = cell_path(task, optimizer)
    cmd = [sys.executable, "-P", os.path.join(HERE, "run.py"), "--task", task,
           "--optimizer", optimizer, "--seeds", str(seeds),
           "--cap", str(CAPS[task, optimizer]), "--out", out]
    pop, size = SETTINGS.get((task, optimizer), (None, None))
    if pop is not None:
        cmd += ["--pop", str(pop)]
    if size is not None:
        cmd += ["--size", str(size)]
    log = out[:-5] + ".log"
    with open(log, "w") as f:
        code = subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT).returncode
    return f"{task}/{optimizer}: " + ("done" if code == 0 else f"failed ({code}), see {log}")


def machine() -> str:
    model = cores = "?"
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
    except OSError:
        pass
    cores = str(os.cpu_count())
    return f"{model}, {cores} cores"


def population(task: str, optimizer: str, summary: dict[str, Any]) -> str:
    import run  # the defaults, for cells saved without them

    task_ = run.tasks.TASKS[task]
    if optimizer == "neat":
        return str(summary.get("pop") or run.NEAT_POP[task])
    return f"{summary.get('pop') or task_.pop_size}, {summary.get('size') or task_.size}"


def commit() -> str:
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, cwd=HERE).stdout.strip() or "?"
    except OSError:
        return "?"


def fmt(value: Any, digits: int = 0) -> str:
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def partial_cell(task: str, optimizer: str) -> dict[str, Any] | None:
    """The runs finished so far by a cell still running or stopped early."""
    import run

    with open(cell_path(task, optimizer)[:-5] + ".log") as f:
        runs = [r for r in map(json.loads, filter(str.strip, f)) if "seed" in r]
    if not runs:
        return None
    summary = run.summarise(runs, CAPS[task, optimizer])
    summary["partial"] = True
    summary["pop"], summary["size"] = SETTINGS.get((task, optimizer), (None, None))
    return {"summary": summary, "runs": runs}


def report(path: str) -> None:
    cells = {}
    for task in TASKS:
        for opt in OPTIMIZERS:
            if os.path.exists(cell_path(task, opt)):
                with open(cell_path(task, opt)) as f:
                    cells[task, opt] = json.load(f)
            elif os.path.exists(cell_path(task, opt)[:-5] + ".log"):
                cell = partial_cell(task, opt)
                if cell is not None:
                    cells[task, opt] = cell
    lines = [
        "# Search benchmarks",
        "",
        "Networks scored up to and including the first network that solves the task "
        "(every network handed to the scoring function counts, parents scored again "
        "included). Median and mean are over the solved runs only; failures show in "
        "the solved column, and \"median, failures at cap\" counts each failure as the "
        "cap (a lower bound). CPU seconds are the process's CPU time per run (median), "
        "not wall time: the machine was shared with other work, so times are noisy.",
        "",
        f"tessavo built from commit {commit()}. "
        f"Machine: {machine()}, load average {os.getloadavg()[0]:.1f} when written. Written {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC "
        "by `python benchmarks/search/matrix.py` (see README.md).",
        "",
        "| task | optimizer | median | mean | solved | median, failures at cap | cap | CPU s median | steps median | population, model size |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for task in TASKS:
        for opt in OPTIMIZERS:
            cell = cells.get((task, opt))
            if cell is None:
                lines.append(f"| {TITLES[task]} | {opt} | not run | | | | | | | |")
                continue
            s = cell["summary"]
            lines.append(
                f"| {TITLES[task]} | {opt} | {fmt(s['median'])} | {fmt(s['mean'])} | "
                f"{s['solved']}/{s['runs']}{' (partial)' if s.get('partial') else ''} | "
                f"{fmt(s['median_all'])} | {fmt(s['cap'])} | "
                f"{fmt(s['cpu_median'], 2)} | {fmt(s['steps_median'])} | "
                f"{population(task, opt, s)} |")
    notes = [c["summary"]["note"] for c in cells.values() if c["summary"].get("note")]
    lines += [""] + [f"Note: {n}" for n in notes] if notes else []
    lines += [
        "",
        "Steps are simulation steps (double pole: two RK4 steps per action) or "
        "environment steps (CartPole-v1), tests of candidates included.",
        "",
        "## Published anchors and targets",
        "",
    ]
    lines += [f"- {TITLES[t]}: {ANCHORS[t]}" for t in TASKS]
    failures = []
    for task, opt in ((t, o) for o in ("beta", "gamma") for t in TASKS):
        cell = cells.get((task, opt))
        if cell is None:
            continue
        missed = [r for r in cell["runs"] if not r["solved"]]
        slow = sorted(cell["runs"], key=lambda r: -r["scored"] if r["solved"] else 0)[:3]
        note = f"- {opt}, {TITLES[task]}: "
        if missed:
            note += ("unsolved within the cap for seed(s) "
                     + ", ".join(str(r["seed"]) for r in missed) + "; ")
        solved = [r for r in slow if r["solved"]]
        if solved:
            note += "slowest solved seeds " + ", ".join(
                f"{r['seed']} ({r['scored']:,})" for r in solved)
        failures.append(note)
    if failures:
        lines += ["", "## Where Beta and Gamma struggle", ""] + failures
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", nargs="+", choices=TASKS, default=list(TASKS))
    parser.add_argument("--optimizers", nargs="+", choices=OPTIMIZERS, default=list(OPTIMIZERS))
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--jobs", type=int, default=2, help="cells run at once (default 2)")
    parser.add_argument("--report-only", action="store_true")
    args = parser.parse_args()
    if not args.report_only:
        cells = [(t, o) for t in args.tasks for o in args.optimizers]
        with ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for line in pool.map(lambda c: run_cell(c[0], c[1], args.seeds), cells):
                print(line, flush=True)
    report(os.path.join(HERE, "RESULTS.md"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
