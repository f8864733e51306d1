"""Pictures of networks (Graphviz) and of training runs (matplotlib).

Neither is needed to import tessavo: ``plot_model`` runs Graphviz's ``dot``
program, and ``plot_history`` imports matplotlib when it is called.
"""

import math
import os
import shutil
import subprocess
import tempfile
from collections.abc import Mapping

__all__ = ["plot_history", "plot_model"]

# Formats dot writes that are worth saving; others would need more options.
_FORMATS = ("png", "svg", "pdf", "jpg", "jpeg", "gif", "ps", "dot")


def plot_model(model, to_file="model.png", show_weights=False, rankdir="LR", dpi=96):
    """Render ``model.to_dot()`` to an image file with Graphviz's ``dot``."""
    if not callable(getattr(model, "to_dot", None)):
        raise TypeError(f"model must be a tessavo Model or Genome, got {type(model).__name__}.")
    if isinstance(to_file, bytes) or not isinstance(to_file, (str, os.PathLike)):
        raise TypeError(f"to_file must be a str or os.PathLike, got {type(to_file).__name__}.")
    to_file = os.fspath(to_file)
    if isinstance(dpi, bool) or not isinstance(dpi, (int, float)):
        raise TypeError(f"dpi must be a number, got {type(dpi).__name__}.")
    if not (math.isfinite(dpi) and dpi > 0):
        raise ValueError(f"dpi must be a positive number, got {dpi}.")
    extension = os.path.splitext(to_file)[1][1:].lower()
    if extension not in _FORMATS:
        raise ValueError(
            f"to_file must end in one of {', '.join('.' + f for f in _FORMATS)}, got {to_file!r}."
        )
    text = model.to_dot(show_weights=bool(show_weights), rankdir=rankdir)
    text = text.replace("{\n", f"{{\n  dpi={dpi:g};\n", 1)
    dot = shutil.which("dot")
    if dot is None:
        raise OSError(
            "plot_model needs Graphviz's dot program on the PATH: install Graphviz "
            "(apt install graphviz, dnf install graphviz, brew install graphviz or "
            "conda install graphviz)."
        )
    # Rendered next to the target and moved over it: a failed run leaves no
    # half-written file behind.
    directory = os.path.dirname(os.path.abspath(to_file))
    handle, partial = tempfile.mkstemp(suffix="." + extension, dir=directory)
    os.close(handle)
    try:
        result = subprocess.run(
            [dot, f"-T{'jpeg' if extension == 'jpg' else extension}", "-o", partial],
            input=text.encode(), capture_output=True, check=False,
        )
        if result.returncode != 0:
            raise OSError(
                f"Graphviz's dot failed (exit status {result.returncode}): "
                f"{result.stderr.decode(errors='replace').strip()}"
            )
        # mkstemp makes the file private; an image gets the usual mode.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(partial, 0o666 & ~umask)
        os.replace(partial, to_file)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def plot_history(history, keys=None, ax=None):
    """Draw the values of a history per epoch with matplotlib; returns the Axes."""
    if not isinstance(history, Mapping):
        history = getattr(history, "history", history)  # a Keras History object
    if not isinstance(history, Mapping):
        raise TypeError(f"history must be a dict of lists, got {type(history).__name__}.")
    if keys is None:
        keys = list(history)
    elif isinstance(keys, str):
        keys = [keys]
    else:
        keys = list(keys)
    unknown = [key for key in keys if key not in history]
    if unknown:
        raise ValueError(f"history has no {unknown[0]!r} (it has: {', '.join(history) or 'none'}).")
    if ax is None:
        try:
            import matplotlib.pyplot as plt
        except ImportError:
            raise ImportError(
                "plot_history needs matplotlib: pip install matplotlib (or, in a clone of "
                "tessavo, pip install \".[plot]\")."
            ) from None
        _, ax = plt.subplots()
    # The size of the network is counted in nodes, not in loss units: its
    # own axis on the right.
    sizes = [key for key in keys if key == "size" or key == "val_size"]
    losses = [key for key in keys if key not in sizes]
    colours = {}
    for key in losses:
        base = key[4:] if key.startswith("val_") else key
        values = list(history[key])
        epochs = range(1, len(values) + 1)
        colour = colours.get(base)
        (line,) = ax.plot(epochs, values, label=key, color=colour,
                          linestyle="--" if key.startswith("val_") else "-")
        colours.setdefault(base, line.get_color())
    ax.set_xlabel("epoch")
    if losses:
        ax.set_ylabel(", ".join(losses) if len(losses) <= 2 else "loss and metrics")
    handles, labels = ax.get_legend_handles_labels()
    if sizes:
        size_ax = ax.twinx()
        for key in sizes:
            values = list(history[key])
            size_ax.plot(range(1, len(values) + 1), values, label=key, color="0.45",
                         linestyle=":")
        size_ax.set_ylabel("size (nodes)")
        more_handles, more_labels = size_ax.get_legend_handles_labels()
        handles, labels = handles + more_handles, labels + more_labels
    if handles:
        ax.legend(handles, labels)
    return ax
