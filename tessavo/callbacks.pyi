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

__all__ = [
    "BackupAndRestore",
    "CSVLogger",
    "Callback",
    "EarlyStopping",
    "LambdaCallback",
    "ModelCheckpoint",
    "StopAtTarget",
    "TerminateOnNaN",
]

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

class CSVLogger(Callback):
    """Write each epoch's logs to a CSV file, as Keras's CSVLogger does.

    The first row is the header: ``epoch`` and the keys of the first epoch's
    logs in sorted order; then one row per epoch, the epoch counted from 0
    and "NA" for a key the epoch lacks. Each row is written and the file
    closed at once, so the file is complete after every epoch and nothing
    stays open when a run fails.

    Args:
        filename: A str or os.PathLike (not bytes).
        separator: The one character between fields. Default ",".
        append: False (the default) rewrites the file at the start of a run;
            True appends to it, with a header only when it is empty.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: separator is not one character.
        OSError: During the run, the file cannot be written.
    """

    filename: str
    sep: str
    append: bool
    keys: list[str] | None
    def __init__(
        self, filename: str | os.PathLike[str], separator: str = ",", append: bool = False
    ) -> None: ...

class TerminateOnNaN(Callback):
    """Stop a run once its loss is NaN or infinite.

    Checks ``logs["loss"]`` at the end of every epoch (and of every batch,
    where the run calls batch hooks); then prints a line and sets
    ``model.stop_training``, so the run ends after that epoch.

    Args:
        raise_error: Whether to raise RuntimeError instead, ending the run
            at once with the model unchanged. Default False.

    Raises:
        TypeError: raise_error is not a bool.
    """

    raise_error: bool
    def __init__(self, raise_error: bool = False) -> None: ...
    def on_train_batch_end(self, batch: int, logs: _Logs | None = None) -> None:
        """Checks the batch's loss.

        Args:
            batch: The batch's index within the epoch, from 0.
            logs: The batch's values.
        """

class BackupAndRestore(Callback):
    """Back up the whole state of a run, and resume a run killed midway.

    After every ``save_freq`` epochs, ``evolve`` and ``func_evolve`` write the
    run's whole state to the file ``run.tvbackup`` in ``backup_dir``: the
    epoch, the history so far, the optimizer's population and its own state,
    every random stream the run draws from, and the best network. The next
    call with this callback and the same arguments resumes from there, at the
    epoch that follows the backup: a seeded run killed at any moment ends
    with the history and the network of the same run left uninterrupted. The
    file is replaced atomically and carries a checksum; see the backup page
    of the docs for its format.

    When the run ends normally the backup is deleted, unless
    ``delete_checkpoint=False``: then it holds the state of the run's end,
    and a later call with more ``epochs`` continues the run exactly.

    Args:
        backup_dir: A str or os.PathLike: the folder for the backup, made
            when missing. Give each run a folder of its own.
        save_freq: "epoch" (the default) to back up after every epoch, or a
            positive int n to back up after every n-th epoch.
        delete_checkpoint: Whether a run that ends normally deletes its
            backup. Default True.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: An empty backup_dir or a bad save_freq; at the start of
            a run, a backup that cannot be used (damaged, truncated, written
            by another tessavo version or format, or by a run with other
            arguments or data; the message says which), or a second
            BackupAndRestore in the callbacks.
        OSError: At the start of a run, before the first epoch and with the
            model unchanged, a backup_dir that is a file or is not writable;
            during the run, a backup that cannot be written.
    """

    filename: str
    backup_dir: str
    save_freq: Literal["epoch"] | int
    delete_checkpoint: bool
    def __init__(
        self,
        backup_dir: str | os.PathLike[str],
        save_freq: Literal["epoch"] | int = "epoch",
        delete_checkpoint: bool = True,
    ) -> None: ...
    @property
    def backup_path(self) -> str:
        """The backup file's path: ``backup_dir/run.tvbackup``."""
