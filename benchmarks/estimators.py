"""tessavo.sklearn's estimators beside scikit-learn's models.

5-fold cross-validation (scikit-learn's default folds) of each model in a
StandardScaler pipeline, on scikit-learn's own small datasets: diabetes and
Friedman #1 (regression, R²), breast cancer and iris (classification,
accuracy). Friedman #1 stands in for California housing, which needs a
download. The tessavo estimators run at their default settings, once per
random_state; the table gives the mean CV score over the seeds and the
worst seed's, and the CPU seconds of one fit (process time, so all threads
count: run it pinned to one core to see a one-core figure).

    taskset -c 0 python benchmarks/estimators.py [--seeds 3] [--set name=value ...]

--set overrides an estimator parameter for both estimators (pop_size=50,
optimizer='alpha', "optimizer=Beta(mutation_power=0.3)", ...), for trying
other defaults.
"""
import argparse
import statistics
import time

import numpy as np
from sklearn.base import clone
from sklearn.datasets import load_breast_cancer, load_diabetes, load_iris, make_friedman1
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.model_selection import KFold, StratifiedKFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from tessavo.optimizers import Alpha, Beta
from tessavo.sklearn import EvolvedClassifier, EvolvedRegressor


def friedman1():
    return make_friedman1(n_samples=500, noise=1.0, random_state=0)


DATASETS = {
    "diabetes": (lambda: load_diabetes(return_X_y=True), "regression"),
    "friedman1": (friedman1, "regression"),
    "breast cancer": (lambda: load_breast_cancer(return_X_y=True), "classification"),
    "iris": (lambda: load_iris(return_X_y=True), "classification"),
}


def cross_validate(estimator, X, y, task):
    """Mean 5-fold score and mean CPU seconds per fit."""
    folds = (StratifiedKFold if task == "classification" else KFold)(n_splits=5)
    scores, seconds = [], []
    for train, test in folds.split(X, y):
        pipeline = make_pipeline(StandardScaler(), clone(estimator))
        start = time.process_time()
        pipeline.fit(X[train], y[train])
        seconds.append(time.process_time() - start)
        scores.append(pipeline.score(X[test], y[test]))
    return float(np.mean(scores)), float(np.mean(seconds))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE")
    parser.add_argument("--only", action="append", default=[], help="dataset names to run")
    args = parser.parse_args()
    overrides = {}
    for item in args.set:
        name, value = item.split("=", 1)
        overrides[name] = eval(value, {"Alpha": Alpha, "Beta": Beta})  # a trusted command line

    print("| dataset | model | 5-fold CV score | worst seed | CPU s per fit |")
    print("| --- | --- | --- | --- | --- |")
    for name, (load, task) in DATASETS.items():
        if args.only and name not in args.only:
            continue
        X, y = load()
        if task == "regression":
            baselines = [("LinearRegression", LinearRegression()),
                         ("HistGradientBoostingRegressor",
                          HistGradientBoostingRegressor(random_state=0))]
            evolved, label = EvolvedRegressor, "EvolvedRegressor"
        else:
            baselines = [("LogisticRegression", LogisticRegression(max_iter=1000)),
                         ("HistGradientBoostingClassifier",
                          HistGradientBoostingClassifier(random_state=0))]
            evolved, label = EvolvedClassifier, "EvolvedClassifier"
        for model_name, model in baselines:
            score, cpu = cross_validate(model, X, y, task)
            print(f"| {name} | {model_name} | {score:.3f} | | {cpu:.3f} |", flush=True)
        runs = [cross_validate(evolved(random_state=seed, **overrides), X, y, task)
                for seed in range(args.seeds)]
        scores = [score for score, _ in runs]
        cpu = statistics.mean(seconds for _, seconds in runs)
        print(f"| {name} | {label} | {statistics.mean(scores):.3f} | {min(scores):.3f} | "
              f"{cpu:.2f} |", flush=True)


if __name__ == "__main__":
    main()
