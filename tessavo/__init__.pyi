"""Tessavo allows training models through neuro-evolution."""

import os
from collections.abc import Callable, Iterable
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypedDict, final

import numpy
import numpy.typing
from typing_extensions import disjoint_base

from tessavo import callbacks as callbacks
from tessavo import optimizers as optimizers
from tessavo import utils as utils
from tessavo.optimizers import Alpha, Beta, Gamma

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

__version__: str

# Arrays that NumPy casts safely to float64 (bool, integer and floating
# element types; complex and object arrays are refused).
_Array = numpy.ndarray[Any, numpy.dtype[numpy.bool_ | numpy.integer[Any] | numpy.floating[Any]]]
# What predict, evaluate and evolve take: anything NumPy converts to such an
# array (lists, tuples, pandas objects, objects with __array__).
_Data = numpy.typing.ArrayLike
_LossName = Literal["mse", "mae", "mape"]
_MonitorName = Literal["size"]
# Keras's verbose values, taken by predict and evaluate for its habits.
_Verbose = int | Literal["auto"]
_ActivationName = Literal["sigmoid", "tanh", "relu", "linear"]
_History = dict[str, list[float]]
_Path = str | os.PathLike[str]
_Score = SupportsFloat | SupportsIndex

class _Executor(Protocol):
    """What scorer uses of a concurrent.futures.Executor."""

    def map(self, fn: Callable[..., Any], /, *iterables: Iterable[Any]) -> Iterable[Any]:
        """fn applied to the items of the iterables, results in order."""

@final
class _NodeAttributes(TypedDict):
    bias: float
    activation: _ActivationName

@final
class _ConnectionAttributes(TypedDict):
    weight: float

# C types with their own layout: no class can derive from two of them.
@disjoint_base
class Model:
    """A Tessavo model that can be evolved on datasets and fitness functions.

    The model holds one network over a fixed node order: input nodes first,
    output nodes last, hidden nodes between. A new model is densely connected
    with random weights, biases and activations.

    Args:
        inputs: Number of input nodes (at least 0).
        outputs: Number of output nodes (at least 0).
        size: Total number of nodes, inputs and outputs included; -1 (the
            default) means inputs + outputs, so no hidden node.
        recurrent: Whether the network is recurrent; taken by its truth value.
            Default False.
        seed: None (the default) draws from tessavo's process-wide stream
            (see set_random_seed). An int from 0 to 2**64 - 1 builds the
            network from a stream of its own: the same arguments give the
            same network in any thread, and the process-wide stream is left
            as it was. Keyword only.
        output_activation: None (the default) draws each output node's
            activation at random, as for every other node; "sigmoid",
            "tanh", "relu" or "linear" gives every output node that
            activation (the other nodes are drawn as without it). Evolution
            may still change it. Keyword only.

    Raises:
        TypeError: An argument has the wrong type.
        OverflowError: An integer outside the 32-bit range.
        ValueError: inputs or outputs negative, size neither -1 nor at
            least inputs + outputs, seed outside 0 to 2**64 - 1, or an
            unknown output_activation.
        MemoryError: The network does not fit in memory.
    """

    def __init__(
        self,
        inputs: int,
        outputs: int,
        size: int = -1,
        recurrent: bool = False,
        *,
        seed: int | None = None,
        output_activation: _ActivationName | None = None,
    ) -> None: ...
    @property
    def size(self) -> int:
        """Total number of nodes in the model (including inputs and outputs).

        Follows the network after training and loading.
        """

    @property
    def inputs(self) -> int:
        """The number of inputs of the model."""

    @property
    def outputs(self) -> int:
        """The number of outputs of the model."""

    @property
    def recurrent(self) -> bool:
        """Returns whether the network is recurrent or not.

        Assign True or False to switch the mode of the forward pass.
        Switching to recurrent keeps every connection. Switching to
        feed-forward removes the self connections and the connections to a
        node of lower index, which a feed-forward network never holds: its
        forward pass would ignore them, and save, pickling and evolution
        would not keep them. Predictions of the feed-forward model do not
        change, and switching back does not restore the removed
        connections. A hidden node left without incoming or outgoing
        connections makes a later evolve or func_evolve fail with the
        operators' RuntimeError, the model unchanged. load and unpickling
        refuse, with ValueError, a network holding connections into an input
        node, or self or backward connections in a feed-forward network.
        Assigning anything but a bool raises TypeError.
        """

    @recurrent.setter
    def recurrent(self, value: bool, /) -> None: ...
    stop_training: bool
    """Set to True during evolve or func_evolve (from a callback, for instance) to end the run after the current epoch."""

    @property
    def best_genome(self) -> Genome | None:
        """During evolve or func_evolve with callbacks, a Genome of the best network of the last finished epoch; None otherwise."""

    def evolve(
        self,
        x_train: _Data,
        y_train: _Data,
        pop_size: int = 100,
        batch_size: int = -1,
        epochs: int = 100,
        validation_data: tuple[_Data, _Data] | None = None,
        verbose: int | Literal["auto"] = 1,
        *,
        callbacks: list[Any] | None = None,
        seed: int | None = None,
    ) -> _History:
        """Evolves the network on a given dataset.

        Each batch runs one generation; at the end the best network of the
        last generation replaces the model's network. Needs a model compiled
        with a loss.

        Args:
            x_train: Training inputs, a numpy.ndarray or anything NumPy
                converts safely to float64 (lists, pandas DataFrame and
                Series, ...): (samples, inputs) for a feed-forward model,
                (series, steps, inputs) for a recurrent one.
            y_train: Training targets: (samples, outputs), or for a recurrent
                model (series, steps, outputs) or (series, 1, outputs). With
                one output a 1-D y of n values means (n, 1).
            pop_size: Population size, at least 1. Default 100.
            batch_size: Samples (series) per batch, at least 1; -1 (the
                default) makes the whole dataset one batch.
            epochs: Number of epochs, at least 0. Default 100.
            validation_data: None (the default) or a tuple (x_val, y_val) of
                two arrays shaped like the training data.
            verbose: 0 prints no progress line, 1 (the default) or "auto" a
                progress line after every batch, 2 one line per epoch; any
                other int a line without the bar after every batch. The
                batch-size warning and an evolution operator's failure line
                print whatever the level.
            callbacks: None (the default) or a list of objects with at least
                one of the hooks of tessavo.callbacks.Callback (on_train_begin,
                on_epoch_begin, on_train_batch_begin, on_train_batch_end,
                on_epoch_end, on_train_end), such as those of
                tessavo.callbacks. Keyword only.
            seed: None (the default) draws from tessavo's process-wide
                stream (see set_random_seed). An int from 0 to 2**64 - 1
                gives the run a stream of its own: the same model, data,
                settings and seed give the same run in any thread, beside
                other runs, and the process-wide stream is left as it was.
                Keyword only.

        Returns:
            The history: "loss", each metric, "val_loss" and each "val_"
            metric (with validation data) and "size" (with the "size"
            monitor), each a list with one value per epoch.

        Raises:
            RuntimeError: The model is not compiled or has no loss, or an
                evolution operator broke a network; the message says so, and
                the model is left unchanged.
            TypeError: An argument has the wrong type, validation_data is not
                a tuple of two arrays, or callbacks is not a list of callbacks.
            ValueError: Shapes that do not fit the model, an empty dataset,
                pop_size below 1, epochs below 0, batch_size 0 or below -1,
                or a verbose string other than "auto".
            KeyboardInterrupt: Ctrl-C during the run, its last generation
                and on_train_end included; the model is left unchanged. A
                call that returns a history has installed the new network.
            Exception: Whatever a callback raises; the model is left
                unchanged.
        """

    def func_evolve(
        self,
        train_func: Callable[[GenomeBatch], _Array],
        pop_size: int = 100,
        epochs: int = 100,
        verbose: int | Literal["auto"] = 1,
        validation_func: Callable[[Genome], _Score] | None = None,
        *,
        callbacks: list[Any] | None = None,
        seed: int | None = None,
    ) -> _History:
        """Evolves the network on a given fitness function.

        Each epoch runs one generation whose 2 x pop_size networks are scored
        by train_func. Lower scores are better. The model need not be
        compiled; its "size" monitor, if compiled, adds "size" to the history.

        Args:
            train_func: Called once per epoch with a GenomeBatch, a list of
                Genome objects that can also predict for all of them in one
                call and knows its epoch; returns a numpy.ndarray with one score per genome, or a 2-D
                array whose first column holds the scores.
            pop_size: Population size, at least 1. Default 100.
            epochs: Number of epochs, at least 0. Default 100.
            verbose: 0 prints no progress line, any other int (1 is the
                default) or "auto" one line per epoch. An evolution
                operator's failure line prints whatever the level.
            validation_func: None (the default) or a function called once per
                epoch with the best network as a Genome, returning a number.
            callbacks: As for evolve; the batch hooks are not called, as
                function evolution has no batches. Keyword only.
            seed: As for evolve: an int gives the run a stream of its own;
                the run then repeats when train_func scores alike. Keyword
                only.

        Returns:
            The history: "loss" (the best score of each epoch), "val_loss"
            (with validation_func) and "size" (with the "size" monitor).

        Raises:
            TypeError: train_func or validation_func is not callable,
                train_func did not return a numpy.ndarray, or callbacks is not
                a list of callbacks.
            ValueError: pop_size below 1, epochs below 0, a verbose string
                other than "auto", or a result with fewer rows than genomes.
            RuntimeError: An evolution operator broke a network; the message
                says so, and the model is left unchanged.
            Exception: Whatever train_func, validation_func or a callback
                raises; the model is left unchanged.
            KeyboardInterrupt: Ctrl-C, as for evolve.
        """

    def predict(
        self, x: _Data, /, *, verbose: _Verbose = "auto"
    ) -> numpy.typing.NDArray[numpy.float64]:
        """Predict the outputs for a given set of samples.

        A recurrent model carries its node values from call to call, except
        that every series of a 3-D x starts from a cleared state.

        Args:
            x: A numpy.ndarray or array-like (list, DataFrame, ...) of
                shape (inputs,) for one sample,
                (samples, inputs) for several (one time series for a
                recurrent model), or, for a recurrent model only,
                (series, steps, inputs).
            verbose: 0, 1, 2 or "auto" (the default), as Keras takes it;
                nothing is printed whatever its value. Keyword only.

        Returns:
            A new float64 array of x's shape with the last dimension replaced
            by the number of outputs.

        Raises:
            TypeError: x does not hold numbers that convert safely to
                float64, or was given by keyword; verbose is neither an int
                nor a str.
            ValueError: x has the wrong number of dimensions or its last
                dimension is not the number of inputs; verbose is another
                int or str.
        """

    def evaluate(self, x: _Data, y: _Data, /, *, verbose: _Verbose = "auto") -> list[float]:
        """Evaluate the network based on the compiled losses/metrics on a given dataset.

        Args:
            x: Inputs, shaped as for evolve.
            y: Targets, shaped as for evolve.
            verbose: 0, 1, 2 or "auto" (the default), as Keras takes it;
                nothing is printed whatever its value. Keyword only.

        Returns:
            The compiled loss (when one was given) followed by the metrics, in
            compile order.

        Raises:
            RuntimeError: The model is not compiled.
            TypeError: x or y does not hold numbers that convert safely to
                float64, or was given by keyword; verbose is neither an int
                nor a str.
            ValueError: Shapes that do not fit the model, an empty dataset,
                or a verbose that is another int or str.
        """

    def compile(
        self,
        optimizer: Alpha | Beta | Gamma | Literal["alpha", "beta", "gamma"] = "alpha",
        loss: _LossName | Literal[""] = "",
        metrics: list[_LossName] = [],
        monitors: list[_MonitorName] = [],
    ) -> None:
        """Configure the losses, metrics and monitors for evolution. For `func_evolve`, losses and metrics are optional.

        Names are case-sensitive. A failed compile leaves the model not
        compiled.

        Args:
            optimizer: An optimizers.Alpha, optimizers.Beta or
                optimizers.Gamma instance, or the name "alpha" (the default,
                which makes a new Alpha()), "beta" (a new Beta()) or "gamma"
                (a new Gamma()). None is refused.
            loss: "mse", "mae" or "mape"; "" (the default) means no loss,
                which evolve refuses.
            metrics: A list of loss names reported besides the loss. Default
                [].
            monitors: A list of monitor names; "size" records the node count
                of the best network. Default [].

        Raises:
            TypeError: loss is not a str, or metrics or monitors is not a list
                of str.
            ValueError: An unknown optimizer, loss, metric or monitor name, or
                an optimizer that is neither an Alpha, a Beta, a Gamma nor a str.
        """

    def get_nodes(self) -> list[tuple[int, _NodeAttributes]]:
        """Returns a list of nodes contained in the network.

        Returns:
            One (index, {"bias": float, "activation": str}) per node, inputs
            first and outputs last.
        """

    def get_connections(self) -> list[tuple[int, int, _ConnectionAttributes]]:
        """Returns a list of connections contained in the network.

        Returns:
            One (from, to, {"weight": float}) per connection, sorted by source
            and then by target.
        """

    def to_dot(
        self, *, show_weights: bool = False, rankdir: Literal["TB", "LR", "BT", "RL"] = "LR"
    ) -> str:
        """The network as Graphviz DOT text, to render with the dot program.

        Inputs are ranked first and outputs last; nodes show their index and
        activation. An edge is blue for a positive weight and red for a
        negative one, wider the larger the weight; recurrent edges (to the
        same or an earlier node) are dashed.

        Args:
            show_weights: Whether edges are labelled with their weight.
                Keyword only. Default False.
            rankdir: Graphviz's direction of the layout. Keyword only.
                Default "LR".

        Returns:
            A DOT digraph with one node statement "n<index> [...]" per node.

        Raises:
            ValueError: An unknown rankdir.
        """

    def to_keras(self) -> Any:
        """Convert the Tessavo model to a Keras model.

        Needs Keras 3 with a backend; Keras is imported only here.

        Returns:
            A keras.Model with one single-unit Dense layer per node, named
            "node" + index.

        Raises:
            NotImplementedError: The model is recurrent.
            ImportError: Keras is not installed.
            ValueError: A non-input node has no incoming connection.
        """

    def save(self, path: _Path, /) -> None:
        """Saves the model using the '.tv' format.

        The file is written under a temporary name and replaces the target
        only once complete. Compile settings are not stored.

        Args:
            path: The file's path, a str or os.PathLike (not bytes), used as
                given.

        Raises:
            TypeError: path is neither a str nor an os.PathLike giving one.
            ValueError: path holds a null character.
            OSError: The file cannot be written; an existing file is left as
                it was.
        """

    def clear(self) -> None:
        """Clears the recurrent state of the model, preparing it for a new sequence of inputs."""

    def summary(self) -> None:
        """Prints a summary of the network and its compile settings.

        Writes to sys.stdout a table of node and connection counts by kind
        (input, hidden, output) with the activations used, the number of
        parameters and the compile settings.
        """

@disjoint_base
class Genome:
    """A lightweight Tessavo model that can only be used for predictions.

    func_evolve hands every network it scores to the user's functions as a
    Genome holding an independent copy of it.

    Args:
        inputs: Number of inputs (at least 0).
        outputs: Number of outputs (at least 0).
        recurrent: Whether the network is recurrent; taken by its truth value.
            Default False.
        seed: None (the default) draws from tessavo's process-wide stream
            (see set_random_seed). An int from 0 to 2**64 - 1 builds the
            network from a stream of its own: the same arguments give the
            same network in any thread, and the process-wide stream is left
            as it was. Keyword only.
        output_activation: None (the default) draws each output node's
            activation at random, as for every other node; "sigmoid",
            "tanh", "relu" or "linear" gives every output node that
            activation (the other nodes are drawn as without it). Evolution
            may still change it. Keyword only.

    Raises:
        TypeError: An argument has the wrong type.
        ValueError: inputs or outputs negative.
    """

    def __init__(self, inputs: int, outputs: int, recurrent: bool = False) -> None: ...
    @property
    def inputs(self) -> int:
        """The number of inputs of the model."""

    @property
    def outputs(self) -> int:
        """The number of outputs of the model."""

    @property
    def recurrent(self) -> bool:
        """If the model is recurrent or not."""

    def predict(
        self, x: _Data, /, *, verbose: _Verbose = "auto"
    ) -> numpy.typing.NDArray[numpy.float64]:
        """Predict the outputs for a given set of samples.

        Args:
            x: As for Model.predict.
            verbose: As for Model.predict; nothing is printed. Keyword only.

        Returns:
            As for Model.predict.

        Raises:
            TypeError: x does not hold numbers that convert safely to
                float64, or was given by keyword; verbose as for
                Model.predict.
            ValueError: x does not fit the genome's shape, or verbose as
                for Model.predict.
            RuntimeError: The genome was built directly and holds no network.
        """

    def clear(self) -> None:
        """Clears the recurrent state of the genome, preparing it for a new sequence of inputs."""

    def to_dot(
        self, *, show_weights: bool = False, rankdir: Literal["TB", "LR", "BT", "RL"] = "LR"
    ) -> str:
        """The network as Graphviz DOT text, as for Model.to_dot.

        Inputs are ranked first and outputs last; nodes show their index and
        activation. An edge is blue for a positive weight and red for a
        negative one, wider the larger the weight; recurrent edges (to the
        same or an earlier node) are dashed.

        Args:
            show_weights: Whether edges are labelled with their weight.
                Keyword only. Default False.
            rankdir: Graphviz's direction of the layout. Keyword only.
                Default "LR".

        Returns:
            A DOT digraph with one node statement "n<index> [...]" per node.

        Raises:
            ValueError: An unknown rankdir.
        """

@disjoint_base
class GenomeBatch(list[Genome]):
    """A list of Genomes that also predicts for all of them in one call.

    func_evolve hands train_func its genomes as a GenomeBatch; any list of
    Genomes can be made one, for example inside a Dask task or a process
    pool's chunk. predict runs every genome's network side by side in one
    call into the core, with the interpreter lock released and split across
    the worker threads when the work is large, and gives the same values,
    bit for bit, as each genome's own predict on its rows. A recurrent
    genome keeps its own state from call to call, exactly as its predict
    would; reset clears it. Slicing or copying gives a plain list.

    Args:
        genomes: Any iterable of Genome objects sharing inputs and outputs.
            Positional only. Default empty.
        epoch: The epoch of func_evolve that scores the genomes (from 0), or
            None. Keyword only. Default None.

    Raises:
        TypeError: An item is not a Genome, or epoch is not None or an int.
        ValueError: The genomes differ in inputs or outputs (naming the
            first that differs), or epoch is negative.
    """

    def __init__(self, genomes: Iterable[Genome] = (), /, *, epoch: int | None = None) -> None: ...
    @property
    def epoch(self) -> int | None:
        """The epoch of func_evolve that scores these genomes (from 0), or None.

        A score that draws fresh episode seeds per epoch can seed from it.
        """

    def predict(self, x: _Data, /) -> numpy.typing.NDArray[numpy.float64]:
        """Predict for every genome at once.

        Args:
            x: One row per genome, shape (len(batch), inputs), or one series
                of samples per genome, shape (len(batch), samples, inputs).
                Genome i reads x[i], as its own predict(x[i]) would: the rows
                of a feed-forward genome are independent samples, those of a
                recurrent genome the steps of one sequence that continues its
                state.

        Returns:
            A float64 array of shape (len(batch), outputs) or (len(batch),
            samples, outputs).

        Raises:
            TypeError: x does not hold numbers that convert safely to
                float64, or an item of the batch is not a Genome.
            ValueError: x does not fit the batch's shape, the batch is empty,
                its genomes differ in inputs or outputs, or one recurrent
                genome appears twice.
            RuntimeError: A genome was built directly and holds no network.
        """

    def reset(self, which: _Data | SupportsIndex | None = None, /) -> None:
        """Clear the recurrent state of every genome, or of the chosen ones.

        Args:
            which: None (the default) for all; integer indices (negative ones
                count from the end); or a boolean mask with one entry per
                genome, such as the done flags of a vector environment.

        Raises:
            TypeError: which is neither indices nor a boolean mask, or a
                chosen item is not a Genome.
            ValueError: A mask of the wrong length.
            IndexError: An index out of range.
        """

def load(path: _Path, /) -> Model:
    """Load a model saved in the '.tv' format.

    Args:
        path: The file's path, a str or os.PathLike (not bytes), used as
            given.

    Returns:
        A new, uncompiled Model holding the stored network.

    Raises:
        TypeError: path is neither a str nor an os.PathLike giving one.
        OSError: The file cannot be read.
        ValueError: The file is not a valid model file.
    """

def from_keras(keras_model: Any, /) -> Model:
    """Convert a Keras model to a Tessavo model. This only works for Keras models that have been exported from Tessavo using `model.to_keras()` with unmodified architecture.

    Args:
        keras_model: A keras.Model of the shape that Model.to_keras builds;
            its weights may have changed.

    Returns:
        A new, uncompiled, feed-forward Model.

    Raises:
        TypeError: keras_model is not a Keras model.
        ValueError: The graph is not of the exported shape.
    """

def set_random_seed(seed: int | None, /) -> None:
    """Make every random value of tessavo repeatable.

    From now on the values of the random device and of the C generator come
    from one stream seeded with seed: the same seed and the same calls give
    the same models, histories and files, for any number of threads.
    Process-wide; Python's random module and NumPy are not seeded.

    Args:
        seed: An int from 0 to 2**64 - 1, or None to return to the operating
            system's random device (the default).

    Raises:
        TypeError: seed is neither None nor an int (bool is refused).
        ValueError: seed is outside 0 to 2**64 - 1.
    """

def set_num_threads(n: SupportsIndex, /) -> None:
    """Use n threads (the calling one included) for training from now on.

    By default there is one per CPU this process may run on, counted from its
    CPU affinity when the first generation needs them. Breeding and scoring
    share the threads; a seeded run gives the same results on any number.

    Args:
        n: An int from 1 to 4096.

    Raises:
        TypeError: n is not an int (bool is refused).
        ValueError: n is outside 1 to 4096.
    """

def get_num_threads() -> int:
    """The number of threads that training uses.

    Returns:
        The threads in use, the calling one included: the number set with
        set_num_threads, or else one per CPU this process may run on.
    """

def scorer(
    score_genome: Callable[[Genome], _Score] | Callable[[GenomeBatch], _Data],
    executor: _Executor | None = None,
    *,
    chunksize: int | None = None,
    batched: bool = False,
) -> Callable[[list[Genome]], numpy.typing.NDArray[numpy.float64]]:
    """Make a train_func for Model.func_evolve from a per-genome score.

    On Dask, the function (with the data it holds) is sent to every worker
    when it first scores and again only when its pickled bytes changed.

    Args:
        score_genome: Scores one Genome (lower is better) and returns a
            number. With an executor it must be picklable (a function defined
            at module level, or an object of a module-level class): genomes
            travel by pickling.
        executor: None (the default) scores the genomes one after the other
            in this process; an object with the concurrent.futures interface
            (ProcessPoolExecutor, Dask's Client.get_executor(), ...) scores
            them through its map; a Dask Client or its get_executor() gets
            score_genome, with any data it holds, sent to every worker once,
            not once per task.
        chunksize: Genomes scored per task, at least 1; None (the default)
            splits a generation evenly into one task per Dask worker thread,
            or two per worker of another executor. Fewer, larger tasks save
            the executor's per-task cost when one genome is quick to score.
            Keyword only.
        batched: When True, score_genome scores a whole chunk in one call:
            it receives a GenomeBatch (with the epoch of func_evolve) and
            returns one score per genome, for example through
            tessavo.gym.score_batch, so that each task steps its chunk as
            one vector environment. Keyword only. Default False.

    Returns:
        A train_func that returns the scores in genome order. An exception
        raised while scoring ends func_evolve with that exception and leaves
        the model unchanged.

    Raises:
        TypeError: score_genome is not callable, executor has no map method,
            or chunksize is neither None nor an int; from the train_func, a
            score that is not a number.
        ValueError: chunksize below 1; from the train_func, an executor or a
            batched score_genome that returned too few or too many scores.
    """
