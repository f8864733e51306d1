"""XOR time to solve, success rate and cost per generation against a baseline.

Both sides evolve tessavo.Model(2, 1, size=5) on XOR with mse, at populations
50 and 150, for `--runs` runs of 300 generations each. A run is solved at the
first generation whose loss is at most 0.025; its time to solve is the CPU
time of the whole run scaled by the share of generations it needed. Each side
runs in its own worker process pinned to one core; the runs alternate between
the sides so that both see the same load.

With --bench (the operators_bench program, built with -DTESSAVO_BENCHMARKS=ON)
the share of an XOR generation spent in random draws is also measured, with
perf, on the new build.

    python benchmarks/compare_xor.py --baseline /path/to/baseline/python \
        [--new /path/to/python] [--runs 20] [--bench build/bench/operators_bench]
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

GENERATIONS = 300
THRESHOLD = 0.025
POPULATIONS = (50, 150)
# Recorded speed of the baseline against neat-python 2.0.0 (time to solve
# XOR at the same threshold), by population.
BASELINE_VS_NEAT = {150: 6.9, 50: 10.6}

WORKER = r"""
import json, sys, time
import numpy as np
import tessavo
x = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=np.float64)
y = np.array([[0], [1], [1], [0]], dtype=np.float64)
for line in sys.stdin:
    pop, generations, threshold = line.split()
    model = tessavo.Model(2, 1, size=5)
    model.compile(loss="mse")
    start = time.process_time()
    history = model.evolve(x, y, pop_size=int(pop), epochs=int(generations), verbose=0)
    cpu = time.process_time() - start
    solved = next((k + 1 for k, v in enumerate(history["loss"]) if v <= float(threshold)), None)
    print(json.dumps({"cpu": cpu, "solved": solved}), flush=True)
"""

# Functions of the random sources (and the kernel's random device) in a
# profile of the new build. With mse on XOR only the polar method takes
# logarithms, so log counts as drawing too.
RANDOM_SYMBOLS = re.compile(
    r"FreshStream|fresh_uniform|fresh_normal|fresh_stream|network_normal|polar_step|"
    r"canonical_uniform|RandomEngine|shuffle_indices|uniform_below|device_value|DeviceBlock|"
    r"random_int|random_activation|^rand$|^random$|^random_r$|getrandom|chacha|crng|"
    r"get_random_bytes|^__ieee754_log|^log$|^__log"
)


class Worker:
    def __init__(self, python):
        self.proc = subprocess.Popen(
            ["taskset", "-c", "1", python, "-P", "-c", WORKER],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=tempfile.gettempdir())

    def run(self, pop):
        self.proc.stdin.write(f"{pop} {GENERATIONS} {THRESHOLD}\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            sys.exit("a worker ended early")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def summary(runs):
    solved = [r["cpu"] * r["solved"] / GENERATIONS for r in runs if r["solved"]]
    return {
        "success": len(solved),
        "solve": statistics.median(solved) if solved else float("nan"),
        "ms_per_gen": statistics.median(r["cpu"] / GENERATIONS * 1e3 for r in runs),
    }


def random_share(bench):
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "perf.data")
        subprocess.run(["perf", "record", "-q", "-F", "10000", "-o", data, "taskset", "-c", "1",
                        bench, "xor", "150", "3000"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", "sym",
                                 "--stdio"], check=True, capture_output=True, text=True).stdout
    share = 0.0
    for line in report.splitlines():
        match = re.match(r"\s*([\d.]+)%\s+\[[.k]\]\s+(\S+)", line)
        if match and RANDOM_SYMBOLS.search(match.group(2).split("<")[0].removeprefix("tessavo::")):
            share += float(match.group(1))
    return share


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", required=True, help="python of the baseline build")
    parser.add_argument("--new", default=sys.executable, help="python of the new build")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--bench", help="operators_bench program, for the random-draw share")
    args = parser.parse_args()

    sides = {"baseline": Worker(args.baseline), "new": Worker(args.new)}
    results = {(side, pop): [] for side in sides for pop in POPULATIONS}
    for run in range(args.runs):
        order = ("baseline", "new") if run % 2 == 0 else ("new", "baseline")
        for pop in POPULATIONS:
            for side in order:
                results[side, pop].append(sides[side].run(pop))
        print(f"run {run + 1}/{args.runs} done", file=sys.stderr)
    for worker in sides.values():
        worker.close()

    print(f"XOR, size 5, mse <= {THRESHOLD}, {args.runs} runs of at most {GENERATIONS} "
          "generations, CPU time on one core")
    print()
    print("| population | build | solved | median time to solve (s) | CPU ms per generation |")
    print("|---|---|---|---|---|")
    rows = {}
    for pop in POPULATIONS:
        for side in sides:
            s = rows[side, pop] = summary(results[side, pop])
            print(f"| {pop} | {side} | {s['success']}/{args.runs} | {s['solve']:.4f} "
                  f"| {s['ms_per_gen']:.3f} |")
    print()
    print("| population | time to solve, baseline/new | per generation, baseline/new "
          "| estimated vs neat-python 2.0.0 |")
    print("|---|---|---|---|")
    for pop in POPULATIONS:
        base, new = rows["baseline", pop], rows["new", pop]
        solve = base["solve"] / new["solve"]
        generation = base["ms_per_gen"] / new["ms_per_gen"]
        print(f"| {pop} | {solve:.2f}x | {generation:.2f}x "
              f"| ~{solve * BASELINE_VS_NEAT[pop]:.0f}x (estimate: {solve:.2f} x recorded "
              f"{BASELINE_VS_NEAT[pop]}x) |")
    if args.bench:
        print()
        print(f"random draws: {random_share(args.bench):.1f}% of an XOR generation "
              "(population 150, perf samples, new build)")


if __name__ == "__main__":
    main()
