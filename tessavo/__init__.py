"""Tessavo allows training models through neuro-evolution."""

import sys as _sys

from tessavo._core import Genome, Model, from_keras, load, optimizers

# The optimizers submodule lives in the compiled core; make it importable.
_sys.modules[__name__ + ".optimizers"] = optimizers

__all__ = ["Genome", "Model", "from_keras", "load", "optimizers"]
