"""Optimizers."""

from typing_extensions import disjoint_base

@disjoint_base
class Alpha:
    """The first optimizer in Tessavo.

    Evolution uses fixed mutation probabilities: the rate is stored with the
    compiled model but has no effect on training, and cannot be read back.

    Args:
        mutation_rate: A float, or anything Python converts to one. Default
            0.5.

    Raises:
        TypeError: mutation_rate has no float conversion.
    """

    def __init__(self, mutation_rate: float = 0.5) -> None: ...
