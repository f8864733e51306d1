"""Pictures of networks (Graphviz) and of training runs (matplotlib).

Neither is needed to import tessavo: ``plot_model`` runs Graphviz's ``dot``
program, and ``plot_history`` imports matplotlib when it is called.
"""

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal

from tessavo import Genome, Model

__all__ = ["plot_history", "plot_model"]

def plot_model(
    model: Model | Genome,
    to_file: str | os.PathLike[str] = "model.png",
    show_weights: bool = False,
    rankdir: Literal["TB", "LR", "BT", "RL"] = "LR",
    dpi: float = 96,
) -> None:
    """Render the network to an image file with Graphviz's ``dot`` program.

    Draws ``model.to_dot()``: inputs on one side, outputs on the other, each
    node with its activation; blue edges for positive weights, red for
    negative ones, wider for larger ones; recurrent edges dashed.

    Args:
        model: A Model or a Genome.
        to_file: The image to write, replaced atomically; its extension
            (.png, .svg, .pdf, .jpg, .jpeg, .gif, .ps or .dot) picks the
            format. Default "model.png".
        show_weights: Whether edges are labelled with their weight. Default
            False.
        rankdir: The direction of the layout: "LR" (the default), "TB",
            "BT" or "RL".
        dpi: Resolution of bitmap formats, above 0. Default 96.

    Raises:
        OSError: Graphviz's dot is not installed (the message says how to
            install it), fails, or the file cannot be written.
        TypeError: An argument has the wrong type.
        ValueError: An unknown extension or rankdir, or dpi not above 0.
    """

def plot_history(
    history: Mapping[str, Sequence[float]],
    keys: str | Iterable[str] | None = None,
    ax: Any = None,
) -> Any:
    """Draw a history with matplotlib, one line per key over the epochs.

    Validation values are dashed in their base key's colour; "size" is drawn
    on a second y axis on the right.

    Args:
        history: The dict that evolve and func_evolve return (or an object
            with such a dict as its history attribute).
        keys: None (the default) for every key, or the keys to draw.
        ax: None (the default) for a new figure, or the matplotlib Axes to
            draw on.

    Returns:
        The matplotlib Axes drawn on.

    Raises:
        ImportError: matplotlib is not installed and ax is None.
        TypeError: history is not a dict.
        ValueError: A key the history does not hold.
    """
