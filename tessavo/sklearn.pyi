"""scikit-learn estimators that evolve a tessavo Model.

Importing this module imports scikit-learn (the ``sklearn`` extra);
``import tessavo`` does not.
"""

from typing import Any

import numpy
import numpy.typing
from tessavo import Model
from tessavo.optimizers import Alpha, Beta, Gamma

__all__ = ["EvolvedClassifier", "EvolvedRegressor"]

# scikit-learn ships no types: the estimators are typed here without its
# base classes (BaseEstimator and RegressorMixin or ClassifierMixin at run
# time), with the methods of theirs that users call.
class _Evolved:
    """The parameters and the fitted attributes both estimators share."""

    size: int
    optimizer: Alpha | Beta | Gamma | str | None
    loss: str | None
    pop_size: int
    epochs: int
    batch_size: int
    validation_fraction: float | None
    random_state: int | numpy.random.RandomState | None
    verbose: int
    callbacks: list[Any] | None
    model_: Model
    history_: dict[str, list[float]]
    n_features_in_: int
    feature_names_in_: numpy.typing.NDArray[numpy.object_]
    def __init__(
        self,
        *,
        size: int = -1,
        optimizer: Alpha | Beta | Gamma | str | None = None,
        loss: str | None = None,
        pop_size: int = 50,
        epochs: int = 300,
        batch_size: int = -1,
        validation_fraction: float | None = None,
        random_state: int | numpy.random.RandomState | None = None,
        verbose: int = 0,
        callbacks: list[Any] | None = None,
    ) -> None: ...
    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor's parameters, as scikit-learn's clone reads them.

        Args:
            deep: Whether parameters of nested estimators are included.

        Returns:
            The parameters by name.
        """

    def set_params(self, **params: Any) -> Any:
        """Set constructor parameters.

        Args:
            params: New values by parameter name.

        Returns:
            The estimator itself.
        """

    def __sklearn_tags__(self) -> Any:
        """scikit-learn's description of the estimator."""

class EvolvedRegressor(_Evolved):
    """Regression by a network evolved with Model.evolve.

    Targets are standardised for training (each column to mean 0 and
    standard deviation 1) and predictions scaled back. The output nodes are
    linear, and the default optimizer keeps them so. score is R².
    """

    y_mean_: numpy.typing.NDArray[numpy.float64]
    y_scale_: numpy.typing.NDArray[numpy.float64]
    def __init__(
        self,
        *,
        size: int = -1,
        optimizer: Alpha | Beta | Gamma | str | None = None,
        loss: str | None = None,
        pop_size: int = 50,
        epochs: int = 300,
        batch_size: int = -1,
        validation_fraction: float | None = None,
        random_state: int | numpy.random.RandomState | None = None,
        verbose: int = 0,
        callbacks: list[Any] | None = None,
    ) -> None:
        """Keyword parameters only, stored unchanged; fit checks them.

        Args:
            size: Nodes of the initial network, as for Model. Default -1.
            optimizer: None (the default) for Beta(mutation_power=0.3,
                structure_rate=0.05, keep_output_activations=True), the
                settings that fitted scikit-learn's datasets best, or any
                optimizer Model.compile takes. Pass keep_output_activations
                to a Beta of your own to keep the output nodes' activation.
            loss: As for Model.compile, or None (the default) for the
                loss that fitted scikit-learn's datasets best: "mse", and
                "mae" for a classifier of two classes.
            pop_size: As for Model.evolve. Default 50.
            epochs: As for Model.evolve. Default 300.
            batch_size: As for Model.evolve. Default -1 (one batch).
            validation_fraction: None (the default), or the fraction of the
                samples, taken from the end as Keras' validation_split does,
                held out as validation data.
            random_state: None (the default) draws from tessavo's
                process-wide random stream; an int (at least 0) or a
                numpy.random.RandomState makes fit repeat bit for bit, from
                a stream of the fit's own (the seed of Model and evolve): the
                process-wide stream is left as it was, and fits in other
                threads, at the same time, give what they give alone.
            verbose: As for Model.evolve. Default 0.
            callbacks: None (the default) or callbacks for Model.evolve.
        """

    def fit(self, X: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike) -> EvolvedRegressor:
        """Evolve a new network on X and y.

        Args:
            X: Samples: an array or array-like (list, DataFrame, ...) of
                shape (samples, features).
            y: Targets: 1-D, or 2-D for several outputs.

        Returns:
            The estimator itself.

        Raises:
            TypeError, ValueError: Bad parameters or data.
        """

    def predict(self, X: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
        """Predict targets for X.

        Args:
            X: Samples: an array or array-like (list, DataFrame, ...) of
                shape (samples, features).

        Returns:
            The predictions: 1-D when fit had a 1-D y.
        """

    def score(
        self, X: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, sample_weight: Any = None
    ) -> float:
        """R² of the predictions for X against y.

        Args:
            X: Samples: an array or array-like (list, DataFrame, ...) of
                shape (samples, features).
            y: The true targets.
            sample_weight: None or a weight per sample.

        Returns:
            The R².
        """

    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> Any:
        """scikit-learn's metadata routing for score.

        Args:
            sample_weight: Whether score is passed sample_weight.

        Returns:
            The estimator itself.
        """

class EvolvedClassifier(_Evolved):
    """Classification by a network evolved with Model.evolve.

    With two classes the network has one output, trained towards 0 for
    classes_[0] and 1 for classes_[1]; the class is classes_[1] when the
    output is above 0.5, and its probability is the output clipped to
    [0, 1]. With more classes the network has one output per class, trained
    towards the one-hot code; the class is the one whose output is largest,
    and the probabilities are the softmax of the outputs. The output nodes
    are sigmoid, and the default optimizer keeps them so. score is accuracy.
    """

    classes_: numpy.typing.NDArray[Any]
    def __init__(
        self,
        *,
        size: int = -1,
        optimizer: Alpha | Beta | Gamma | str | None = None,
        loss: str | None = None,
        pop_size: int = 50,
        epochs: int = 300,
        batch_size: int = -1,
        validation_fraction: float | None = None,
        random_state: int | numpy.random.RandomState | None = None,
        verbose: int = 0,
        callbacks: list[Any] | None = None,
    ) -> None:
        """Keyword parameters only, stored unchanged; fit checks them.

        Args:
            size: Nodes of the initial network, as for Model. Default -1.
            optimizer: None (the default) for Beta(mutation_power=0.3,
                structure_rate=0.05, keep_output_activations=True), the
                settings that fitted scikit-learn's datasets best, or any
                optimizer Model.compile takes. Pass keep_output_activations
                to a Beta of your own to keep the output nodes' activation.
            loss: As for Model.compile, or None (the default) for the
                loss that fitted scikit-learn's datasets best: "mse", and
                "mae" for a classifier of two classes.
            pop_size: As for Model.evolve. Default 50.
            epochs: As for Model.evolve. Default 300.
            batch_size: As for Model.evolve. Default -1 (one batch).
            validation_fraction: None (the default), or the fraction of the
                samples, taken from the end as Keras' validation_split does,
                held out as validation data.
            random_state: None (the default) draws from tessavo's
                process-wide random stream; an int (at least 0) or a
                numpy.random.RandomState makes fit repeat bit for bit, from
                a stream of the fit's own (the seed of Model and evolve): the
                process-wide stream is left as it was, and fits in other
                threads, at the same time, give what they give alone.
            verbose: As for Model.evolve. Default 0.
            callbacks: None (the default) or callbacks for Model.evolve.
        """

    def fit(self, X: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike) -> EvolvedClassifier:
        """Evolve a new network on X and the class labels y.

        Args:
            X: Samples: an array or array-like (list, DataFrame, ...) of
                shape (samples, features).
            y: Class labels, 1-D.

        Returns:
            The estimator itself.

        Raises:
            TypeError, ValueError: Bad parameters or data, or fewer than two
                classes.
        """

    def predict_proba(self, X: numpy.typing.ArrayLike) -> numpy.typing.NDArray[numpy.float64]:
        """Class probabilities for X.

        Args:
            X: Samples: an array or array-like (list, DataFrame, ...) of
                shape (samples, features).

        Returns:
            One row per sample, one column per class of classes_.
        """

    def predict(self, X: numpy.typing.ArrayLike) -> numpy.typing.NDArray[Any]:
        """Predict class labels for X.

        Args:
            X: Samples: an array or array-like (list, DataFrame, ...) of
                shape (samples, features).

        Returns:
            One label of classes_ per sample.
        """

    def score(
        self, X: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, sample_weight: Any = None
    ) -> float:
        """Accuracy of the predictions for X against y.

        Args:
            X: Samples: an array or array-like (list, DataFrame, ...) of
                shape (samples, features).
            y: The true targets.
            sample_weight: None or a weight per sample.

        Returns:
            The accuracy.
        """

    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> Any:
        """scikit-learn's metadata routing for score.

        Args:
            sample_weight: Whether score is passed sample_weight.

        Returns:
            The estimator itself.
        """
