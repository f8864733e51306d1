import copy
import pickle
import struct

import numpy as np
import pytest

import tessavo
from tessavo.optimizers import Alpha

SERIES = np.random.default_rng(1).uniform(-1, 1, size=(6, 3))


class Tagged(tessavo.Model):
    pass


def compile_states():
    yield "new", lambda m: None
    yield "bare", lambda m: m.compile()
    yield "full", lambda m: m.compile(optimizer=Alpha(0.25), loss="mae", metrics=["mse", "mae"],
                                      monitors=["size"])
    yield "failed", lambda m: pytest.raises(ValueError, m.compile, loss="mse", metrics=["nope"])


def compiled_settings(model):
    """What the model does with its compile settings, seen from outside."""
    series = SERIES.reshape(1, 6, 3)
    history = model.func_evolve(lambda gs: np.zeros(len(gs)), pop_size=1, epochs=0, verbose=0)
    try:
        return list(history), model.evaluate(series[..., :2], series[..., 2:])
    except RuntimeError as error:
        return list(history), str(error)


@pytest.mark.parametrize("state, apply", list(compile_states()))
@pytest.mark.parametrize("copier", [lambda m: pickle.loads(pickle.dumps(m)), copy.copy,
                                    copy.deepcopy])
def test_model_round_trip(state, apply, copier):
    model = tessavo.Model(2, 1, size=5, recurrent=True)
    apply(model)
    model.predict(SERIES[:, :2])  # a recurrent state worth keeping
    restored = copier(model)
    assert type(restored) is tessavo.Model and restored is not model
    assert (restored.size, restored.inputs, restored.outputs, restored.recurrent) == (5, 2, 1, True)
    assert restored.get_connections() == model.get_connections()
    np.testing.assert_array_equal(restored.predict(SERIES[:, :2]), model.predict(SERIES[:, :2]))
    assert compiled_settings(restored) == compiled_settings(model)


def test_optimizer_and_subclass_kept():
    model = Tagged(2, 1)
    model.note = "kept"
    model.compile(optimizer=Alpha(0.125), loss="mse")
    restored = pickle.loads(pickle.dumps(model))
    assert type(restored) is Tagged and restored.note == "kept"
    state = restored.__reduce__()[1]
    assert type(state[2]) is Alpha
    assert pickle.loads(pickle.dumps(state[2])).__reduce__()[1] == Alpha(0.125).__reduce__()[1]


def test_genome_and_uninitialised_objects():
    seen = []
    model = tessavo.Model(3, 1, size=6, recurrent=True)
    model.func_evolve(lambda gs: seen.extend(gs) or np.zeros(len(gs)), pop_size=2, epochs=1,
                      verbose=0)
    genome = seen[0]
    genome.predict(SERIES)
    for original in (genome, tessavo.Genome(4, 2, recurrent=True), tessavo.Model.__new__(
            tessavo.Model)):
        restored = copy.deepcopy(original)
        assert type(restored) is type(original)
        for name in ("inputs", "outputs", "recurrent"):
            assert getattr(restored, name) == getattr(original, name)
    np.testing.assert_array_equal(copy.deepcopy(genome).predict(SERIES), genome.predict(SERIES))


def state_of(obj):
    function, args = obj.__reduce__()[:2]
    return function, args


@pytest.mark.parametrize("obj", [tessavo.Model(2, 1, size=4), Alpha(0.3)], ids=["model", "alpha"])
def test_bad_states(obj):
    restore, (cls, state, *rest) = state_of(obj)
    damaged = [state[:-1], state[:10], b"", state[:8] + bytes([state[8] ^ 1]) + state[9:],
               state + b"\0"]
    for bad in damaged:
        with pytest.raises(ValueError):
            restore(cls, bad, *rest)
    other = tessavo.Genome if cls is not tessavo.Genome else tessavo.Model
    with pytest.raises(ValueError, match="another type"):
        restore(other, state)
    with pytest.raises(TypeError):
        restore(int, state)


def signed(body):
    """A state body with a valid checksum (FNV-1a), as a crafted state would have."""
    value = 0xCBF29CE484222325
    for byte in body:
        value = ((value ^ byte) * 0x100000001B3) % 2**64
    return body + value.to_bytes(8, "little")


@pytest.mark.parametrize("offset, value, message", [
    (12, b"\0", "higher node in a feed-forward"),  # the self link 2->2 of a recurrent model
    (13 + 12 * 4 + 4, (0).to_bytes(4, "little"), "into an input"),  # record 0 now 0->0
])
def test_states_with_links_no_file_can_hold_are_refused(offset, value, message):
    restore, (cls, state, *rest) = state_of(tessavo.Model(2, 1, size=4, recurrent=True))
    layout = state.index(struct.pack("<iiiB", 4, 2, 1, 1))
    body = bytearray(state[:-8])
    body[layout + offset:layout + offset + len(value)] = value
    restore(cls, signed(state[:-8]), *rest)  # the re-signed original loads
    with pytest.raises(ValueError, match=message):
        restore(cls, signed(bytes(body)), *rest)
