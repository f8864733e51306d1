"""Tessavo allows training models through neuro-evolution."""

import sys as _sys
from importlib import metadata as _metadata

# NumPy first: a missing or incompatible NumPy then fails with NumPy's own
# message rather than as the compiled core's failure to bind it.
import numpy as _numpy  # noqa: F401

from tessavo._core import (
    Genome,
    GenomeBatch,
    Model,
    from_keras,
    get_num_threads,
    load,
    optimizers,
    set_num_threads,
    set_random_seed,
)

# The optimizers submodule lives in the compiled core; make it importable.
_sys.modules[__name__ + ".optimizers"] = optimizers

from tessavo import callbacks  # noqa: E402
from tessavo import utils  # noqa: E402
from tessavo._scoring import scorer  # noqa: E402

try:
    __version__ = _metadata.version(__name__)
except _metadata.PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "Genome",
    "GenomeBatch",
    "Model",
    "callbacks",
    "from_keras",
    "get_num_threads",
    "load",
    "optimizers",
    "scorer",
    "set_num_threads",
    "set_random_seed",
    "utils",
]
