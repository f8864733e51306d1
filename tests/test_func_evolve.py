import re
import signal

import numpy as np
import pytest

import tessavo

PROBE = np.linspace(-1, 1, 10).reshape(5, 2)


def target_score(genome):
    """Deterministic: mean squared distance of the outputs from 0.25."""
    return float(np.mean((genome.predict(PROBE) - 0.25) ** 2))


def scores(genomes):
    return np.array([target_score(g) for g in genomes])


def snapshot(model):
    model.clear()
    return model.size, model.predict(PROBE).copy()


def test_pool_handed_to_train_func():
    model = tessavo.Model(2, 1, size=4)
    calls = []

    def train_func(genomes):
        calls.append(genomes)
        assert type(genomes) is list
        for genome in genomes:
            assert type(genome) is tessavo.Genome
            assert (genome.inputs, genome.outputs, genome.recurrent) == (2, 1, False)
        return scores(genomes)

    history = model.func_evolve(train_func, pop_size=3, epochs=4, verbose=0)
    assert [len(c) for c in calls] == [6] * 4
    assert list(history) == ["loss"]
    assert len(history["loss"]) == 4
    assert all(type(v) is float for v in history["loss"])


def test_loss_never_increases_and_is_the_best_score():
    model = tessavo.Model(2, 1, size=5)
    seen = []

    def train_func(genomes):
        result = scores(genomes)
        seen.append(result.min())
        return result

    history = model.func_evolve(train_func, pop_size=10, epochs=15, verbose=0)
    losses = history["loss"]
    assert losses == sorted(losses, reverse=True)
    assert losses == pytest.approx(seen)
    # The model now holds the best of the last epoch.
    assert target_score(model) == pytest.approx(losses[-1])


def test_two_dimensional_result_ranked_by_first_column():
    model = tessavo.Model(2, 1, size=4)

    def train_func(genomes):
        first = scores(genomes)
        noise = -np.arange(len(genomes), dtype=float) * 100
        return np.stack([first, noise, noise], axis=1)

    history = model.func_evolve(train_func, pop_size=5, epochs=6, verbose=0)
    assert history["loss"] == sorted(history["loss"], reverse=True)
    assert min(history["loss"]) >= 0


def test_integer_scores_and_extra_rows_are_accepted():
    model = tessavo.Model(2, 1)
    history = model.func_evolve(
        lambda g: np.arange(len(g) + 3, dtype=np.int32), pop_size=2, epochs=2, verbose=0
    )
    assert history["loss"] == [0.0, 0.0]


def test_validation_and_size_history():
    model = tessavo.Model(2, 1, size=4)
    model.compile(monitors=["size"])
    validated = []

    def validation_func(genome):
        validated.append(genome)
        assert isinstance(genome, tessavo.Genome)
        return 0.5

    history = model.func_evolve(scores, pop_size=4, epochs=3, verbose=0,
                                validation_func=validation_func)
    assert list(history) == ["loss", "val_loss", "size"]
    assert history["val_loss"] == [0.5, 0.5, 0.5]
    assert all(type(s) is int and s >= 3 for s in history["size"])
    assert history["size"][-1] == model.size
    # The last validated genome predicts what the model now predicts.
    model.clear()
    np.testing.assert_array_equal(validated[-1].predict(PROBE), model.predict(PROBE))


def test_genomes_are_independent_copies():
    model = tessavo.Model(2, 1, size=5, recurrent=True)
    kept = []

    def train_func(genomes):
        for genome in genomes:
            first = genome.predict(PROBE)
            genome.clear()
            np.testing.assert_array_equal(genome.predict(PROBE), first)
            genome.predict(np.full((3, 2), 7.0))
        kept.extend(genomes)
        return scores(genomes)

    model.func_evolve(train_func, pop_size=4, epochs=3, verbose=0)
    # Kept genomes still work after the call.
    assert kept[0].predict(PROBE).shape == (5, 1)


def test_recurrent_genomes_start_from_zero_state():
    model = tessavo.Model(1, 1, size=5, recurrent=True)
    model.predict(np.ones((4, 1)))  # leave state behind in the model

    def train_func(genomes):
        for genome in genomes:
            first = genome.predict(np.ones((3, 1)))
            genome.clear()
            np.testing.assert_array_equal(genome.predict(np.ones((3, 1))), first)
        return np.zeros(len(genomes))

    model.func_evolve(train_func, pop_size=3, epochs=3, verbose=0)


def test_genome_predicts_like_a_model_with_the_same_network():
    model = tessavo.Model(2, 2, size=6)
    captured = []

    def train_func(genomes):
        captured.append(genomes[0])  # parent 0 of the first epoch: the model's clone
        return np.zeros(len(genomes))

    before = model.predict(PROBE)
    model.func_evolve(train_func, pop_size=1, epochs=1, verbose=0)
    np.testing.assert_array_equal(captured[0].predict(PROBE), before)


def test_uncompiled_model_and_zero_epochs():
    model = tessavo.Model(2, 1, size=4)
    size, before = snapshot(model)
    history = model.func_evolve(scores, pop_size=2, epochs=0, verbose=0)
    assert history == {"loss": []}
    assert model.size == size
    np.testing.assert_array_equal(model.predict(PROBE), before)


def test_non_finite_scores_keep_the_previous_best():
    model = tessavo.Model(2, 1)
    history = model.func_evolve(lambda g: np.full(len(g), np.nan), pop_size=3, epochs=2,
                                verbose=0)
    assert history["loss"] == [1.7976931348623157e308] * 2


class Boom(Exception):
    pass


def failing_in_epoch(n):
    calls = []

    def train_func(genomes):
        calls.append(1)
        if len(calls) == n:
            raise Boom("from train_func")
        return scores(genomes)

    return train_func


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"train_func": failing_in_epoch(3)}, Boom),
        ({"train_func": lambda g: [0.0] * len(g)}, TypeError),
        ({"train_func": lambda g: np.zeros(len(g) - 1)}, ValueError),
        ({"train_func": lambda g: np.zeros((len(g), 0))}, ValueError),
        ({"train_func": lambda g: np.zeros((len(g), 1, 1))}, ValueError),
        ({"train_func": lambda g: np.float64(1.0)}, TypeError),
        ({"train_func": lambda g: np.zeros(len(g), dtype=complex)}, TypeError),
        ({"train_func": scores, "validation_func": lambda g: "x"}, TypeError),
        # float() of NumPy text parses it; a score must be a number.
        ({"train_func": scores, "validation_func": lambda g: np.array("0.5")}, TypeError),
        ({"train_func": scores, "validation_func": lambda g: np.str_("0.5")}, TypeError),
        ({"train_func": lambda g: np.full(len(g), "0.5")}, TypeError),
        ({"train_func": scores, "validation_func": lambda g: 1 / 0}, ZeroDivisionError),
        ({"train_func": scores, "pop_size": 0}, ValueError),
        ({"train_func": scores, "epochs": -1}, ValueError),
        ({"train_func": 5}, TypeError),
        ({"train_func": scores, "validation_func": 3}, TypeError),
        ({"train_func": scores, "unknown": 3}, TypeError),
    ],
)
def test_failures_leave_the_model_unchanged(kwargs, error):
    model = tessavo.Model(2, 1, size=5)
    model.compile(loss="mse")
    before = snapshot(model)
    with pytest.raises(error):
        model.func_evolve(**{"pop_size": 3, "epochs": 5, "verbose": 0, **kwargs})
    after = snapshot(model)
    assert after[0] == before[0]
    np.testing.assert_array_equal(after[1], before[1])


@pytest.fixture
def sigint_raises():
    # A runner started with SIGINT ignored would otherwise swallow the signal.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_interrupt_at_epoch_boundary_leaves_model_unchanged(sigint_raises):
    model = tessavo.Model(2, 1, size=5)
    before = snapshot(model)
    calls = []

    def train_func(genomes):
        calls.append(1)
        if len(calls) == 2:
            signal.raise_signal(signal.SIGINT)
        return scores(genomes)

    with pytest.raises(KeyboardInterrupt):
        model.func_evolve(train_func, pop_size=3, epochs=10, verbose=0)
    assert len(calls) == 2
    after = snapshot(model)
    assert after[0] == before[0]
    np.testing.assert_array_equal(after[1], before[1])


def test_model_rebuilt_by_the_callback_is_not_overwritten():
    model = tessavo.Model(2, 1)

    def train_func(genomes):
        model.__init__(3, 1)
        return np.zeros(len(genomes))

    with pytest.raises(RuntimeError, match="changed while it was evolving"):
        model.func_evolve(train_func, pop_size=2, epochs=1, verbose=0)
    assert (model.inputs, model.size) == (3, 4)
    assert model.predict(np.zeros(3)).shape == (1,)


def test_epoch_progress_lines(c_stdout):
    model = tessavo.Model(2, 1)
    model.compile(monitors=["size"])
    history = model.func_evolve(lambda g: np.full(len(g), 0.03125), pop_size=2, epochs=2,
                                validation_func=lambda g: 0.04)
    out = c_stdout()
    lines = out.split("\n")
    assert lines[-1] == ""
    assert len(lines) == 3
    for i, line in enumerate(lines[:-1]):
        # A mutation may add or remove a node: the size shown is the best's.
        size = history["size"][i]
        assert re.fullmatch(
            rf"\rEpoch {i + 1}/2 - \d+(ms|s) - loss: 0\.031250 - val_loss: 0\.040000 - "
            rf"size: {size}",
            line,
        ), repr(line)
    model.func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=2, verbose=0)
    assert c_stdout() == ""
