"""Callbacks for ``Model.evolve`` and ``Model.func_evolve``.

A callback is any object with at least one of the hooks ``on_train_begin(logs)``,
``on_epoch_begin(epoch, logs)``, ``on_train_batch_begin(batch, logs)``,
``on_train_batch_end(batch, logs)``, ``on_epoch_end(epoch, logs)`` and
``on_train_end(logs)``, called with Keras's arguments; ``set_model(model)`` is
called first when present. The batch hooks fire for the batches of ``evolve``;
``func_evolve`` has none. During a run ``model.best_genome`` is a Genome of
the best network of the last finished epoch, and ``model.stop_training = True``
ends the run as a normal end: set during an epoch, after the current batch;
set before an epoch began, after that epoch.
"""

import os
from collections.abc import Callable
from typing import Literal

from tessavo import Genome, Model

__all__ = ["Callback", "EarlyStopping", "LambdaCallback", "ModelCheckpoint", "StopAtTarget"]

# The epoch's history values: "loss", the metrics, "val_..." and "size".
_Logs = dict[str, float]
_Mode = Literal["auto", "min", "max"]

class Callback:
    """Base class: every hook does nothing; ``self.model`` is the model trained.

    Subclass it and override the hooks you need.
    """

    model: Model | None
    def __init__(self) -> None: ...
    def set_model(self, model: Model) -> None:
        """Called with the model before training begins.

        Args:
            model: The model being trained; kept as self.model.
        """

    def on_train_begin(self, logs: _Logs | None = None) -> None:
        """Called once before the first epoch.

        Args:
            logs: An empty dict.
        """

    def on_epoch_begin(self, epoch: int, logs: _Logs | None = None) -> None:
        """Called before every epoch.

        Args:
            epoch: The epoch's index, from 0.
            logs: An empty dict.
        """

    def on_train_batch_begin(self, batch: int, logs: _Logs | None = None) -> None:
        """Called before every batch of evolve (func_evolve has no batches).

        Args:
            batch: The batch's index within its epoch, from 0.
            logs: An empty dict.
        """

    def on_train_batch_end(self, batch: int, logs: _Logs | None = None) -> None:
        """Called after every batch of evolve (func_evolve has no batches).

        Args:
            batch: The batch's index within its epoch, from 0.
            logs: The running means over the epoch's batches so far:
                "loss", the metrics and "size" (with the "size" monitor).
        """

    def on_epoch_end(self, epoch: int, logs: _Logs | None = None) -> None:
        """Called after every epoch.

        Args:
            epoch: The epoch's index, from 0.
            logs: The epoch's history values, keyed like the history.
        """

    def on_train_end(self, logs: _Logs | None = None) -> None:
        """Called once after the last epoch, before the call returns.

        Args:
            logs: The last epoch's history values.
        """

class EarlyStopping(Callback):
    """Stop a run once the monitored value has stopped improving.

    After ``patience`` epochs without an improvement of more than
    ``min_delta`` (lower is better unless ``mode="max"``), or without beating
    ``baseline`` when one is given, ``model.stop_training`` is set. With
    ``restore_best_weights`` the model ends the run with the network of the
    best epoch instead of the last one.

    Args:
        monitor: The history key to watch. Default "loss".
        min_delta: The smallest change that counts as an improvement; its
            sign is ignored. Default 0.
        patience: Epochs without improvement before stopping, at least 0.
            Default 0.
        verbose: Above 0, prints a line when it stops or restores. Default 0.
        mode: "min" or "auto" (the default): lower is better; "max": higher
            is better.
        baseline: None (the default) or a value the monitored one must beat.
        restore_best_weights: Whether the model ends with the best epoch's
            network. Default False.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: patience negative, a NaN number, or an unknown mode;
            during the run, a monitor the run does not record.
    """

    monitor: str
    mode: Literal["min", "max"]
    min_delta: float
    patience: int
    verbose: float
    baseline: float | None
    restore_best_weights: bool
    wait: int
    stopped_epoch: int
    best: float | None
    best_epoch: int
    best_genome: Genome | None
    def __init__(
        self,
        monitor: str = "loss",
        min_delta: float = 0,
        patience: int = 0,
        verbose: float = 0,
        mode: _Mode = "auto",
        baseline: float | None = None,
        restore_best_weights: bool = False,
    ) -> None: ...

class ModelCheckpoint(Callback):
    """Save the epoch's best network after every epoch, or only on improvement.

    Files are ``.tv`` model files written atomically by ``Model.save`` and
    read back with ``tessavo.load``.

    Args:
        filepath: A str or os.PathLike (not bytes); may hold ``{epoch}``
            (counted from 1) and any key of the logs, as in
            ``"ckpt-{epoch:03d}-{loss:.4f}.tv"``.
        monitor: The history key that save_best_only watches. Default
            "loss".
        verbose: Above 0, prints a line for every file saved. Default 0.
        save_best_only: Whether to save only when the monitored value
            improves on every earlier one. Default False.
        mode: "min" or "auto" (the default): lower is better; "max": higher
            is better.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: An unknown mode; during the run, a filepath that the logs
            cannot fill in or a monitor the run does not record.
        OSError: During the run, a file cannot be written.
    """

    filepath: str
    monitor: str
    mode: Literal["min", "max"]
    min_delta: float
    verbose: float
    save_best_only: bool
    best: float | None
    def __init__(
        self,
        filepath: str | os.PathLike[str],
        monitor: str = "loss",
        verbose: float = 0,
        save_best_only: bool = False,
        mode: _Mode = "auto",
    ) -> None: ...

class StopAtTarget(Callback):
    """Stop a run once the monitored value reaches a target.

    At the end of the first epoch whose value is at or below ``target``
    (``mode="min"`` or ``"auto"``), or at or above it (``mode="max"``),
    ``model.stop_training`` is set: the run ends after that epoch. For a
    ``func_evolve`` that scores the negated return of an episode, stopping at
    a return of 475 is ``StopAtTarget(-475)``.

    Args:
        target: The value to reach; not NaN.
        monitor: The history key to watch. Default "loss".
        mode: "min" or "auto" (the default): reached at or below target;
            "max": at or above.
        verbose: Above 0, prints a line when the target is reached. Default 0.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: A NaN number or an unknown mode; during the run, a
            monitor the run does not record.
    """

    target: float
    monitor: str
    mode: Literal["min", "max"]
    min_delta: float
    verbose: float
    stopped_epoch: int | None
    def __init__(
        self, target: float, monitor: str = "loss", mode: _Mode = "auto", verbose: float = 0
    ) -> None: ...

class LambdaCallback(Callback):
    """A callback made of plain functions; any may be omitted.

    Args:
        on_train_begin: None (the default) or a function of logs.
        on_epoch_end: None (the default) or a function of epoch and logs.
        on_train_end: None (the default) or a function of logs.
            Training always passes logs as a dict (empty at the start).

    Raises:
        TypeError: A given hook is not callable.
    """

    def __init__(
        self,
        on_train_begin: Callable[[_Logs], object] | None = None,
        on_epoch_end: Callable[[int, _Logs], object] | None = None,
        on_train_end: Callable[[_Logs], object] | None = None,
    ) -> None: ...
