"""Optimizers."""

from typing import Literal

from typing_extensions import disjoint_base

@disjoint_base
class Alpha:
    """The first optimizer in Tessavo.

    The default of Model.compile. Each generation pairs the pop_size networks
    at random and crosses every pair; each child may take one mutation (its
    weights and biases moved by normal steps of a fifth of their size,
    activations redrawn, or a node or link added or removed), and parents
    and children meet in tournaments of four
    for the places of the next population: a generation scores 2 x pop_size
    networks. Use it to repeat earlier seeded runs bit for bit (it stays as
    it is), or where a search should also remove nodes and links. Beta
    solved XOR, double pole balancing with velocities and CartPole-v1 with
    fewer networks and fitted scikit-learn's datasets better; the README's
    "Choosing an optimizer" has the figures.

    Evolution uses fixed mutation probabilities: the rate is stored with the
    compiled model but has no effect on training, and cannot be read back.

    Args:
        mutation_rate: A float, or anything Python converts to one. Default
            0.5.

    Raises:
        TypeError: mutation_rate has no float conversion.
    """

    def __init__(self, mutation_rate: float = 0.5) -> None: ...

@disjoint_base
class Beta:
    """Species of networks bred by additive perturbations with adaptive step sizes.

    The population is split into species of similar networks. Each species
    keeps its champions unchanged and breeds its other children from its best
    members, by crossover and additive perturbations. Every network carries
    its own step size, which its children inherit and vary, so steps that pay
    spread with the networks that take them. New nodes and links compete only
    inside their species, so new structure gets time to tune its weights. A
    generation scores pop_size networks; networks grow but never shrink.

    Use it for control tasks, for fitting datasets (the default of
    tessavo.sklearn's estimators) and for fine-tuning a trained network:
    its additive steps change signs and move zero weights, where Alpha's
    scaled ones cannot. It solved XOR, double pole balancing with
    velocities and CartPole-v1 with fewer networks than Alpha; double pole
    balancing without velocities is beyond both.

    Args:
        mutation_power: The first step size (the deviation of a
            perturbation); it adapts during the run. Finite, above 0.
            Default 1.0.
        mutation_rate: The chance that a child moves each of its parameters
            (at least one always moves). Between 0 and 1. Default 0.2.
        structure_rate: The chance that a child gains a node or a link.
            Between 0 and 1. Default 0.2.
        species: The number of species the search steers towards (at most a
            quarter of the population). At least 1. Default 6.
        elitism: Champions copied unchanged into the next generation, per
            species. At least 0. Default 1.
        keep_output_activations: Whether the output nodes keep the
            activations of the network a run starts from (set them with
            Model(..., output_activation=...)); taken by its truth value.
            Default False: they evolve like every other node's.

    Raises:
        TypeError: An argument has the wrong type, or is passed by position.
        ValueError: An argument is out of range or NaN.
    """

    def __init__(
        self,
        *,
        mutation_power: float = 1.0,
        mutation_rate: float = 0.2,
        structure_rate: float = 0.2,
        species: int = 6,
        elitism: int = 1,
        keep_output_activations: bool = False,
    ) -> None: ...

@disjoint_base
class Gamma:
    """An evolution strategy for control tasks and memory, with small populations.

    Gamma keeps the model's topology and searches its weights and biases. It
    holds a mean network and a step size per parameter; each generation
    samples networks around the mean and moves the mean towards the better
    samples and each step size towards the spread that paid. Only the ranks
    of the scores count, so noisy or oddly scaled scores do no harm.

    Each generation scores the mean itself and the best network of the last
    generation again, besides the samples: a network that scored well by luck
    is scored afresh, and on a fixed dataset the best loss never rises. When
    the best loss has not improved for a while (5 + 30 x parameters /
    samples generations) the search starts again from a fresh random mean,
    and the output nodes (the hidden ones too when hidden_activation is
    None) draw new activations.

    Give the model the hidden nodes it needs (`Model(..., size=...)`; a
    recurrent model for tasks that need memory) and a small population:
    10 to 20 suits networks of a few dozen parameters.

    Args:
        step_size: The first step size of every parameter (the deviation of
            a sample around the mean); each adapts during the run. Finite,
            above 0, at most 1e6. Default 1.0.
        hidden_activation: The activation every hidden node takes: "sigmoid",
            "tanh", "relu" or "linear", or None to keep the model's. Default
            "tanh", which suits the search and lets recurrent nodes hold
            state.
        restarts: Whether a stalled search starts again. Default True.

    Raises:
        TypeError: An argument has the wrong type, or is passed by position.
        ValueError: An argument is out of range, NaN, or not an activation.
    """

    def __init__(
        self,
        *,
        step_size: float = 1.0,
        hidden_activation: Literal["sigmoid", "tanh", "relu", "linear"] | None = "tanh",
        restarts: bool = True,
    ) -> None: ...
