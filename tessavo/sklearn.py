"""scikit-learn estimators that evolve a tessavo Model.

Importing this module imports scikit-learn (the ``sklearn`` extra);
``import tessavo`` does not.
"""

import numbers

import numpy as np

try:
    from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
    from sklearn.utils import check_random_state
    from sklearn.utils.multiclass import check_classification_targets
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as error:  # pragma: no cover - depends on the install
    raise ImportError(
        "tessavo.sklearn needs scikit-learn: pip install scikit-learn (or, in a clone of "
        "tessavo, pip install \".[sklearn]\")."
    ) from error

import tessavo
from tessavo.optimizers import Beta

__all__ = ["EvolvedClassifier", "EvolvedRegressor"]


class _Evolved(BaseEstimator):
    # The activation of the output nodes, which the default optimizer keeps.
    _output_activation = "linear"

    # Keyword-only and stored unchanged, as scikit-learn's clone and
    # get_params expect; checked in fit.
    def __init__(self, *, size=-1, optimizer=None, loss=None, pop_size=50, epochs=300,
                 batch_size=-1, validation_fraction=None, random_state=None, verbose=0,
                 callbacks=None):
        self.size = size
        self.optimizer = optimizer
        self.loss = loss
        self.pop_size = pop_size
        self.epochs = epochs
        self.batch_size = batch_size
        self.validation_fraction = validation_fraction
        self.random_state = random_state
        self.verbose = verbose
        self.callbacks = callbacks

    def _evolve(self, X, targets):
        fraction = self.validation_fraction
        validation = None
        if fraction is not None:
            if isinstance(fraction, bool) or not isinstance(fraction, numbers.Real):
                raise TypeError(
                    f"validation_fraction must be None or a float, got {type(fraction).__name__}."
                )
            held = int(round(len(X) * fraction))
            if not 0.0 < fraction < 1.0 or held < 1 or held >= len(X):
                raise ValueError(
                    f"validation_fraction must leave at least one sample on each side, got "
                    f"{fraction} of {len(X)} samples."
                )
            # The last samples, as Keras' validation_split takes them.
            X, targets, validation = X[:-held], targets[:-held], (X[-held:], targets[-held:])
        # The seed is the run's own: the process-wide stream is left alone,
        # and fits in other threads do not disturb this one.
        seed = self._seed()
        model = tessavo.Model(X.shape[1], targets.shape[1], size=self.size, seed=seed,
                              output_activation=self._output_activation)
        loss = self.loss if self.loss is not None else self._default_loss(targets)
        model.compile(optimizer=self._optimizer(), loss=loss)
        self.history_ = model.evolve(
            X, targets, pop_size=self.pop_size, batch_size=self.batch_size, epochs=self.epochs,
            validation_data=validation, verbose=self.verbose,
            callbacks=None if self.callbacks is None else list(self.callbacks), seed=seed,
        )
        self.model_ = model

    def _default_loss(self, targets):
        return "mse"

    def _optimizer(self):
        if self.optimizer is not None:
            return self.optimizer
        # Chosen on scikit-learn's datasets (benchmarks/estimators.py): small
        # additive steps and little growth fit them best, and the outputs
        # keep the activation that suits the task.
        return Beta(mutation_power=0.3, structure_rate=0.05, keep_output_activations=True)

    def _seed(self):
        if self.random_state is None:
            return None
        if isinstance(self.random_state, numbers.Integral) and not isinstance(
            self.random_state, bool
        ):
            if self.random_state < 0:
                raise ValueError(f"random_state must not be negative, got {self.random_state}.")
            return int(self.random_state)
        # A RandomState: one draw, so that a given state repeats the fit.
        return int(check_random_state(self.random_state).randint(0, 2**31 - 1))

    def _outputs(self, X):
        check_is_fitted(self, "model_")
        X = validate_data(self, X, reset=False, dtype=np.float64)
        return self.model_.predict(X)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.non_deterministic = self.random_state is None
        return tags


class EvolvedRegressor(RegressorMixin, _Evolved):
    """Regression by a network evolved with ``Model.evolve``.

    Targets are standardised for training (each column to mean 0 and
    standard deviation 1) and predictions scaled back. The output nodes are
    linear, so that they cover the targets' whole range; the default
    optimizer keeps them so.
    """

    def fit(self, X, y):
        X, y = validate_data(self, X, y, multi_output=True, y_numeric=True, dtype=np.float64)
        y = np.asarray(y, dtype=np.float64)
        self._single_output = y.ndim == 1
        targets = y.reshape(len(y), -1)
        self.y_mean_ = targets.mean(axis=0)
        scale = targets.std(axis=0)
        self.y_scale_ = np.where(scale > 0, scale, 1.0)
        self._evolve(X, (targets - self.y_mean_) / self.y_scale_)
        return self

    def predict(self, X):
        values = self._outputs(X) * self.y_scale_ + self.y_mean_
        return values.ravel() if self._single_output else values

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        return tags


class EvolvedClassifier(ClassifierMixin, _Evolved):
    """Classification by a network evolved with ``Model.evolve``.

    With two classes the network has one output, trained towards 0 for
    ``classes_[0]`` and 1 for ``classes_[1]``; the class is ``classes_[1]``
    when the output is above 0.5, and its probability is the output clipped
    to [0, 1]. With more classes the network has one output per class,
    trained towards the one-hot code; the class is the one whose output is
    largest, and the probabilities are the softmax of the outputs. The
    output nodes are sigmoid (the default optimizer keeps them so), which
    fitted the datasets measured better than linear outputs.
    """

    _output_activation = "sigmoid"

    def _default_loss(self, targets):
        # Measured: mae fits two classes better (breast cancer), mse more
        # (iris).
        return "mae" if targets.shape[1] == 1 else "mse"

    def fit(self, X, y):
        X, y = validate_data(self, X, y, dtype=np.float64)
        check_classification_targets(y)
        self.classes_, codes = np.unique(y, return_inverse=True)
        if len(self.classes_) < 2:
            raise ValueError(
                f"EvolvedClassifier needs samples of at least 2 classes, got 1 class: "
                f"{self.classes_[0]!r}."
            )
        if len(self.classes_) == 2:
            targets = codes.reshape(-1, 1).astype(np.float64)
        else:
            targets = np.eye(len(self.classes_))[codes]
        self._evolve(X, targets)
        return self

    def predict_proba(self, X):
        outputs = self._outputs(X)
        if outputs.shape[1] == 1:
            positive = np.clip(outputs[:, 0], 0.0, 1.0)
            return np.column_stack([1.0 - positive, positive])
        shifted = np.exp(outputs - outputs.max(axis=1, keepdims=True))
        return shifted / shifted.sum(axis=1, keepdims=True)

    def predict(self, X):
        outputs = self._outputs(X)
        if outputs.shape[1] == 1:
            return self.classes_[(outputs[:, 0] > 0.5).astype(np.intp)]
        return self.classes_[np.argmax(outputs, axis=1)]
