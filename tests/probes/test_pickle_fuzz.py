"""Damaged and crafted pickle states: each is refused with ValueError or
restores an object that works and round-trips. Most damaged states get a
valid checksum, so that the checks behind it are reached.

TESSAVO_PROBE_STATES sets the number of states (default 50,000);
TESSAVO_PROBE_SEED the seed (default 0)."""

import os
import random

import numpy as np

import tessavo
from tessavo.optimizers import Alpha

STATES = int(os.environ.get("TESSAVO_PROBE_STATES", "50000"))
SEED = int(os.environ.get("TESSAVO_PROBE_SEED", "0"))
EDGES = [0, 1, 2, 3, 4, 0x7F, 0x80, 0xFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 2**63, 2**64 - 1]


def signed(body):
    value = 0xCBF29CE484222325  # FNV-1a, as the states carry it
    for byte in body:
        value = ((value ^ byte) * 0x100000001B3) % 2**64
    return bytes(body) + value.to_bytes(8, "little")


def seeds():
    """(restore, cls, state, extra) of objects in every kind of state."""
    objects = [tessavo.Model(2, 1), tessavo.Model(3, 2, size=7, recurrent=True),
               tessavo.Model.__new__(tessavo.Model), Alpha(), Alpha(0.3)]
    compiled = tessavo.Model(2, 2, size=6)
    compiled.compile(optimizer=Alpha(0.2), loss="mae", metrics=["mse", "mape"], monitors=["size"])
    switched = tessavo.Model(2, 1, size=5, recurrent=True)
    switched.predict(np.ones((3, 2)))
    switched.recurrent = False
    genomes = []
    trained = tessavo.Model(2, 1, size=5, recurrent=True)
    trained.func_evolve(lambda gs: genomes.extend(gs) or np.zeros(len(gs)), pop_size=2,
                        epochs=1, verbose=0)
    objects += [compiled, switched, trained, genomes[0], genomes[-1],
                tessavo.Genome(2, 1, recurrent=True)]
    for obj in objects:
        restore, (cls, state, *extra) = obj.__reduce__()[:2]
        yield restore, cls, state, extra


def mutate(rng, state, others):
    body = bytearray(state[:-8])
    for _ in range(rng.choice([1, 1, 1, 2, 4, 16])):
        kind = rng.randrange(7)
        at = rng.randrange(len(body)) if body else 0
        if kind == 0 and body:
            body[at] ^= 1 << rng.randrange(8)
        elif kind == 1 and body:
            body[at] = rng.choice([0, 1, 0x7F, 0x80, 0xFF])
        elif kind == 2:
            width = rng.choice([4, 8])
            value = rng.choice(EDGES) % 2**(8 * width)
            body[at:at + width] = value.to_bytes(width, "little")
        elif kind == 3:
            del body[at:at + rng.choice([1, 4, 8, 16])]
        elif kind == 4:
            body[at:at] = rng.randbytes(rng.choice([1, 4, 8, 16]))
        elif kind == 5:
            other = rng.choice(others)[:-8]
            cut = rng.randrange(len(other) + 1)
            body = body[:at] + other[cut:]
        else:
            body = body[:at]
    return signed(body) if rng.random() < 0.9 else bytes(body) + state[-8:]


def exercise(obj, round_trip):
    restore, (cls, state, *extra) = obj.__reduce__()[:2]
    again = restore(cls, state, *extra)
    assert again.__reduce__()[1][1] == state, "a restored object does not round-trip"
    # (A genome's declared inputs can be huge while its network is empty.)
    if isinstance(obj, (tessavo.Model, tessavo.Genome)) and 0 < obj.inputs <= 1000 and \
            obj.outputs > 0:
        try:
            out = obj.predict(np.ones(obj.inputs))
        except (ValueError, RuntimeError, MemoryError):
            return  # an empty network or one too large: refused clearly
        assert out.shape == (obj.outputs,)
    if isinstance(obj, tessavo.Model):
        round_trip(obj)


def test_damaged_states_are_refused_or_restore_whole(round_trip):
    rng = random.Random(SEED)
    corpus = list(seeds())
    states = [state for _, _, state, _ in corpus]
    restored = 0
    for _ in range(STATES):
        restore, cls, state, extra = rng.choice(corpus)
        damaged = mutate(rng, state, states)
        try:
            obj = restore(cls, damaged, *extra)
        except (ValueError, MemoryError):
            continue
        restored += 1
        exercise(obj, round_trip)
    print(f"{STATES} states, {restored} restored")
