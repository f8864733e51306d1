"""Callbacks for ``Model.evolve`` and ``Model.func_evolve``.

A callback is any object with at least one of the hooks ``on_train_begin(logs)``,
``on_epoch_begin(epoch, logs)``, ``on_train_batch_begin(batch, logs)``,
``on_train_batch_end(batch, logs)``, ``on_epoch_end(epoch, logs)`` and
``on_train_end(logs)``, called with Keras's arguments; ``set_model(model)`` is
called first when present. ``on_epoch_end`` gets the epoch's history values
(``"loss"``, the metrics, ``"val_..."`` and ``"size"`` as in the returned
history), ``on_train_end`` those of the last epoch, ``on_train_batch_end`` the
running means of the epoch's batches so far (``"loss"``, the metrics and
``"size"``), and the other hooks an empty dict. The batch hooks fire for the
batches of ``evolve``; ``func_evolve`` has none. During a run,
``model.best_genome`` is a ``Genome`` of the best network of the last finished
epoch, and setting ``model.stop_training = True`` ends the run as a normal end:
the best network is written back and the history holds the epochs run. Set
during an epoch, it ends that epoch after the current batch, as in Keras; set
before an epoch began, it ends the run after that epoch. A hook that raises
ends the call with its exception and leaves the model unchanged.
"""

import math
import os

from tessavo._core import Model, _install_genome

__all__ = ["Callback", "EarlyStopping", "LambdaCallback", "ModelCheckpoint", "StopAtTarget"]


class Callback:
    """Base class: every hook does nothing; ``self.model`` is the model trained."""

    def __init__(self):
        self.model = None

    def set_model(self, model):
        self.model = model

    def on_train_begin(self, logs=None):
        pass

    def on_epoch_begin(self, epoch, logs=None):
        pass

    def on_train_batch_begin(self, batch, logs=None):
        pass

    def on_train_batch_end(self, batch, logs=None):
        pass

    def on_epoch_end(self, epoch, logs=None):
        pass

    def on_train_end(self, logs=None):
        pass


def _check_mode(mode):
    if not isinstance(mode, str):
        raise TypeError(f"mode must be a str, got {type(mode).__name__}.")
    if mode not in ("auto", "min", "max"):
        raise ValueError(f"mode must be 'auto', 'min' or 'max', got {mode!r}.")
    # Every value tessavo records (losses, metrics, size) is better lower.
    return "max" if mode == "max" else "min"


def _check_monitor(monitor):
    if not isinstance(monitor, str):
        raise TypeError(f"monitor must be a str, got {type(monitor).__name__}.")
    return monitor


def _check_number(name, value, allow_none=False):
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}.")
    if math.isnan(value):
        raise ValueError(f"{name} must not be NaN.")
    return value


def _monitored(logs, monitor, owner):
    if not logs or monitor not in logs:
        known = ", ".join(sorted(logs or ())) or "none"
        raise ValueError(
            f"{owner} monitors {monitor!r}, which the run does not record (it records: {known})."
        )
    return logs[monitor]


class _Monitor(Callback):
    def __init__(self, monitor, mode, min_delta=0.0):
        super().__init__()
        self.monitor = _check_monitor(monitor)
        self.mode = _check_mode(mode)
        self.min_delta = abs(_check_number("min_delta", min_delta))

    def _is_improvement(self, value, reference):
        if reference is None:
            return True
        if self.mode == "min":
            return value + self.min_delta < reference
        return value - self.min_delta > reference


class EarlyStopping(_Monitor):
    """Stop a run once the monitored value has stopped improving.

    After ``patience`` epochs without an improvement of more than
    ``min_delta`` (lower is better unless ``mode="max"``), or without beating
    ``baseline`` when one is given, ``model.stop_training`` is set. With
    ``restore_best_weights`` the model ends the run with the network of the
    best epoch instead of the last one.
    """

    def __init__(self, monitor="loss", min_delta=0, patience=0, verbose=0, mode="auto",
                 baseline=None, restore_best_weights=False):
        super().__init__(monitor, mode, min_delta)
        if isinstance(patience, bool) or not isinstance(patience, int):
            raise TypeError(f"patience must be an int, got {type(patience).__name__}.")
        if patience < 0:
            raise ValueError(f"patience must not be negative, got {patience}.")
        self.patience = patience
        self.verbose = _check_number("verbose", verbose)
        self.baseline = _check_number("baseline", baseline, allow_none=True)
        if not isinstance(restore_best_weights, bool):
            raise TypeError("restore_best_weights must be a bool.")
        self.restore_best_weights = restore_best_weights
        self._reset()

    def _reset(self):
        self.wait = 0
        self.stopped_epoch = 0
        self.best = None
        self.best_epoch = 0
        self.best_genome = None

    def on_train_begin(self, logs=None):
        self._reset()

    def on_epoch_end(self, epoch, logs=None):
        current = _monitored(logs, self.monitor, "EarlyStopping")
        if self.restore_best_weights and self.best_genome is None:
            self.best_genome = self.model.best_genome
            self.best_epoch = epoch
        self.wait += 1
        if self._is_improvement(current, self.best):
            self.best = current
            self.best_epoch = epoch
            if self.restore_best_weights:
                self.best_genome = self.model.best_genome
            if self.baseline is None or self._is_improvement(current, self.baseline):
                self.wait = 0
            return
        if self.wait >= self.patience and epoch > 0:
            self.stopped_epoch = epoch
            self.model.stop_training = True

    def on_train_end(self, logs=None):
        if self.stopped_epoch > 0 and self.verbose > 0:
            print(f"Epoch {self.stopped_epoch + 1}: early stopping")
        if self.restore_best_weights and self.best_genome is not None:
            if self.verbose > 0:
                print(f"Restoring the network of the best epoch: {self.best_epoch + 1}.")
            _install_genome(self.model, self.best_genome)
        self.best_genome = None


class ModelCheckpoint(_Monitor):
    """Save the epoch's best network after every epoch, or only on improvement.

    ``filepath`` (a str or ``os.PathLike``) may hold ``{epoch}`` (counted from
    1) and any key of the logs, as in ``"ckpt-{epoch:03d}-{loss:.4f}.tv"``.
    Files are ``.tv`` model files written atomically by ``Model.save`` and
    read back with ``tessavo.load``. With ``save_best_only`` a file is written
    only when the monitored value improves on every earlier one.
    """

    def __init__(self, filepath, monitor="loss", verbose=0, save_best_only=False, mode="auto"):
        super().__init__(monitor, mode)
        if isinstance(filepath, bytes) or not isinstance(filepath, (str, os.PathLike)):
            raise TypeError(
                f"filepath must be a str or os.PathLike, got {type(filepath).__name__}."
            )
        filepath = os.fspath(filepath)
        if not isinstance(filepath, str):
            raise TypeError("filepath must be a str path, not bytes.")
        self.filepath = filepath
        self.verbose = _check_number("verbose", verbose)
        if not isinstance(save_best_only, bool):
            raise TypeError("save_best_only must be a bool.")
        self.save_best_only = save_best_only
        self.best = None

    def on_train_begin(self, logs=None):
        self.best = None

    def on_epoch_end(self, epoch, logs=None):
        logs = logs or {}
        if self.save_best_only:
            current = _monitored(logs, self.monitor, "ModelCheckpoint")
            if not self._is_improvement(current, self.best):
                return
            self.best = current
        try:
            path = self.filepath.format(epoch=epoch + 1, **logs)
        except (KeyError, IndexError, ValueError) as error:
            raise ValueError(
                f"Cannot fill in filepath {self.filepath!r} from the epoch and the logs "
                f"{sorted(logs)}: {error}"
            ) from None
        # A model made without drawing anything, so checkpoints do not change
        # what a seeded run does.
        holder = Model.__new__(Model)
        _install_genome(holder, self.model.best_genome)
        holder.save(path)
        if self.verbose > 0:
            print(f"Epoch {epoch + 1}: saved the best network to {path}")


class StopAtTarget(_Monitor):
    """Stop a run at the end of the first epoch whose monitored value reaches
    ``target``: at or below it (``mode="min"`` or ``"auto"``), at or above it
    (``mode="max"``). ``stopped_epoch`` is that epoch, or None."""

    def __init__(self, target, monitor="loss", mode="auto", verbose=0):
        super().__init__(monitor, mode)
        self.target = _check_number("target", target)
        self.verbose = _check_number("verbose", verbose)
        self.stopped_epoch = None

    def on_train_begin(self, logs=None):
        self.stopped_epoch = None

    def on_epoch_end(self, epoch, logs=None):
        current = _monitored(logs, self.monitor, "StopAtTarget")
        reached = current <= self.target if self.mode == "min" else current >= self.target
        if reached:
            self.stopped_epoch = epoch
            self.model.stop_training = True
            if self.verbose > 0:
                print(f"Epoch {epoch + 1}: {self.monitor} = {current:.6g} reached the target "
                      f"{self.target:.6g}")


class LambdaCallback(Callback):
    """A callback made of plain functions: ``on_train_begin(logs)``,
    ``on_epoch_end(epoch, logs)`` and ``on_train_end(logs)``; any may be omitted."""

    def __init__(self, on_train_begin=None, on_epoch_end=None, on_train_end=None):
        super().__init__()
        for name, function in (("on_train_begin", on_train_begin),
                               ("on_epoch_end", on_epoch_end),
                               ("on_train_end", on_train_end)):
            if function is not None:
                if not callable(function):
                    raise TypeError(f"{name} must be callable, got {type(function).__name__}.")
                setattr(self, name, function)
