"""How often Alpha solves XOR within 300 generations, by population.

Model(2, 1, size=5), mse, solved at a loss of at most 0.025 (the bar of
versus_neat.py and of the search benchmarks), each seed a run of its own
(Model and evolve seeded alike, so the process-wide stream is not used).

    python benchmarks/xor_solve_rate.py [--seeds 100] [--pops 50 150]
"""
import argparse

import numpy as np

import tessavo
from tessavo.callbacks import StopAtTarget

X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
Y = np.array([0.0, 1.0, 1.0, 0.0])


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seeds", type=int, default=100)
    parser.add_argument("--pops", type=int, nargs="+", default=[50, 150])
    args = parser.parse_args()
    for pop in args.pops:
        solved = 0
        for seed in range(args.seeds):
            model = tessavo.Model(2, 1, size=5, seed=seed)
            model.compile(loss="mse")
            history = model.evolve(X, Y, pop_size=pop, epochs=300, verbose=0, seed=seed,
                                   callbacks=[StopAtTarget(0.025)])
            solved += min(history["loss"]) <= 0.025
        print(f"population {pop}: {solved}/{args.seeds} solved within 300 generations")


if __name__ == "__main__":
    main()
