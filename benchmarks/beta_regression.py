"""Beta against Alpha on the regression example, at equal networks scored.

Runs examples/regression.py's task (the same data, model and batches) with
both optimizers over many seeds and prints the final validation loss of
each. Alpha scores 2 * pop_size networks per generation (parents and
children), Beta pop_size, so Beta runs with twice the population: the same
generations and the same networks scored.

    python benchmarks/beta_regression.py [--seeds 20] [--epochs 100] [--structure-rate R]
    python benchmarks/beta_regression.py --optimizer gamma     # Gamma, also at twice the population
"""
import argparse
import statistics
import time

import numpy as np

import tessavo


def dataset(rng, rows):
    x = rng.uniform(-2, 2, size=(rows, 1))
    y = 0.7 * np.sin(1.5 * x) + 0.1 * x + rng.normal(0, 0.05, size=(rows, 1))
    return x, y


def run(optimizer, seed, epochs, pop_size):
    rng = np.random.default_rng(0)
    x, y = dataset(rng, 400)
    x_val, y_val = dataset(rng, 100)
    tessavo.set_random_seed(seed)
    model = tessavo.Model(1, 1, size=6)
    model.compile(optimizer=optimizer, loss="mse")
    start = time.process_time()
    history = model.evolve(x, y, pop_size=pop_size, batch_size=100, epochs=epochs,
                           validation_data=(x_val, y_val), verbose=0)
    return history["val_loss"][-1], time.process_time() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--epochs", type=int, default=100)
    parser.add_argument("--pop-size", type=int, default=100, help="Alpha's; Beta gets twice")
    parser.add_argument("--structure-rate", type=float, default=None,
                        help="Beta's structure_rate (default: Beta's own)")
    parser.add_argument("--optimizer", choices=("beta", "gamma"), default="beta")
    args = parser.parse_args()
    name = args.optimizer.capitalize()
    networks = args.epochs * 4 * 2 * args.pop_size
    print(f"{networks} networks scored per run (4 batches per epoch)")
    print(f"| seed | Alpha val_loss | {name} val_loss | Alpha CPU s | {name} CPU s |")
    print("|-----:|---------------:|--------------:|------------:|-----------:|")
    wins, alphas, betas = 0, [], []
    for seed in range(1, args.seeds + 1):
        a, ta = run("alpha", seed, args.epochs, args.pop_size)
        if args.optimizer == "gamma":
            beta = tessavo.optimizers.Gamma()
        elif args.structure_rate is None:
            beta = tessavo.optimizers.Beta()
        else:
            beta = tessavo.optimizers.Beta(structure_rate=args.structure_rate)
        b, tb = run(beta, seed, args.epochs, 2 * args.pop_size)
        wins += b < a
        alphas.append(a)
        betas.append(b)
        print(f"| {seed:4d} | {a:14.6f} | {b:13.6f} | {ta:11.2f} | {tb:10.2f} |", flush=True)
    print(f"{name} lower in {wins} of {args.seeds} seeds; median val_loss Alpha "
          f"{statistics.median(alphas):.6f}, {name} {statistics.median(betas):.6f} "
          f"(the noise alone gives 0.0025)")


if __name__ == "__main__":
    main()
