import pickle
import threading

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from sklearn import datasets
from sklearn.base import clone
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.metrics import r2_score
from sklearn.model_selection import GridSearchCV, cross_val_score, train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import tessavo
from tessavo.sklearn import EvolvedClassifier, EvolvedRegressor

SMALL = {"pop_size": 30, "epochs": 20, "random_state": 0}


# Default settings: the checks' training-score thresholds need them.
@parametrize_with_checks([EvolvedRegressor(random_state=0), EvolvedClassifier(random_state=0)])
def test_sklearn_checks(estimator, check):
    check(estimator)


def regression_data():
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.normal(size=(60, 3)) * [1.0, 10.0, 100.0], columns=["a", "b", "c"])
    return X, 3.0 * X["a"] - 0.2 * X["b"] + 40.0


def test_in_the_scikit_learn_ecosystem():
    X, y = regression_data()
    pipeline = make_pipeline(StandardScaler(), EvolvedRegressor(**SMALL))
    scores = cross_val_score(pipeline, X, y, cv=3)
    assert scores.shape == (3,) and np.all(np.isfinite(scores))
    search = GridSearchCV(EvolvedRegressor(**SMALL), {"epochs": [2, 20]}, cv=2).fit(X, y)
    assert search.best_params_ == {"epochs": 20}
    best = search.best_estimator_
    assert list(best.feature_names_in_) == ["a", "b", "c"]
    assert best.n_features_in_ == 3 and best.model_.inputs == 3
    fitted = pipeline.fit(X, y)[-1]
    restored = pickle.loads(pickle.dumps(pipeline))
    np.testing.assert_array_equal(restored.predict(X), pipeline.predict(X))
    assert clone(pipeline)[-1].get_params() == fitted.get_params()


@pytest.mark.parametrize("make", [EvolvedRegressor, EvolvedClassifier])
def test_random_state_repeats_fit(make):
    X, y = regression_data()
    if make is EvolvedClassifier:
        y = np.where(y > 40.0, "high", "low")
    first, second = make(**SMALL).fit(X, y), make(**SMALL).fit(X, y)
    assert first.history_ == second.history_
    assert first.model_.get_connections() == second.model_.get_connections()


@pytest.mark.parametrize("classes", [2, 3])
def test_classifier_decoding(classes):
    rng = np.random.default_rng(1)
    X = rng.normal(size=(90, 2))
    y = np.array(["a", "b", "c"])[np.argmax(np.column_stack([X, -X.sum(axis=1)]), axis=1) % classes]
    clf = EvolvedClassifier(**SMALL).fit(X, y)
    assert clf.model_.outputs == (1 if classes == 2 else classes)
    proba = clf.predict_proba(X)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    np.testing.assert_array_equal(clf.predict(X), clf.classes_[np.argmax(proba, axis=1)])


@pytest.mark.parametrize(
    "params, error",
    [({"validation_fraction": 1.0}, ValueError), ({"validation_fraction": "x"}, TypeError),
     ({"random_state": -1}, ValueError), ({"pop_size": 0}, ValueError)],
)
def test_bad_parameters(params, error):
    X, y = regression_data()
    with pytest.raises(error):
        EvolvedRegressor(**params).fit(X, y)


def test_validation_fraction_holds_out_the_last_samples():
    X, y = regression_data()
    history = EvolvedRegressor(validation_fraction=0.25, **SMALL).fit(X, y).history_
    assert len(history["val_loss"]) == SMALL["epochs"]


def test_regressor_targets_far_from_zero():
    # Each column with its own large mean and spread: predictions come back
    # in the targets' units, column by column.
    rng = np.random.default_rng(0)
    X = rng.normal(size=(80, 3))
    Y = np.column_stack([5000.0 + 800.0 * (X @ [1.0, -0.5, 0.25]), -30.0 + 0.01 * X[:, 0]])
    regressor = EvolvedRegressor(pop_size=20, epochs=30, random_state=0).fit(X, Y)
    predictions = regressor.predict(X)
    assert np.all(np.abs(predictions.mean(axis=0) - Y.mean(axis=0)) < 0.25 * Y.std(axis=0))
    assert r2_score(Y, predictions, multioutput="raw_values").min() > 0.9
    assert [node["activation"] for _, node in regressor.model_.get_nodes()[-2:]] == ["linear"] * 2


# Seeded, so each score is fixed; the margins to scikit-learn's linear
# models on the same split sit well outside the spread of seeds (5-fold
# figures in benchmarks/estimators.py).
@pytest.mark.parametrize("name, make, linear, margin", [
    ("diabetes", EvolvedRegressor, LinearRegression, 0.05),
    ("breast_cancer", EvolvedClassifier, LogisticRegression, 0.03),
    ("iris", EvolvedClassifier, LogisticRegression, 0.1),
])
def test_default_settings_fit_small_datasets(name, make, linear, margin):
    X, y = getattr(datasets, f"load_{name}")(return_X_y=True)
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.3, random_state=0)

    def score(model):
        return make_pipeline(StandardScaler(), model).fit(X_train, y_train).score(X_test, y_test)

    assert score(make(random_state=0)) >= score(linear()) - margin


@pytest.fixture
def unseeded():
    yield
    tessavo.set_random_seed(None)


def test_seeded_fits_leave_the_process_stream_and_other_threads_alone(unseeded):
    X, y = regression_data()

    def fit(seed):
        return EvolvedRegressor(**{**SMALL, "random_state": seed}).fit(X, y).predict(X)

    tessavo.set_random_seed(5)
    expected = tessavo.Model(2, 1, size=5).get_nodes()
    tessavo.set_random_seed(5)
    sequential = [fit(0), fit(1)]
    assert tessavo.Model(2, 1, size=5).get_nodes() == expected
    tessavo.set_random_seed(None)
    results = [None, None]

    def work(seed):
        results[seed] = fit(seed)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got, want in zip(results, sequential):
        np.testing.assert_array_equal(got, want)
