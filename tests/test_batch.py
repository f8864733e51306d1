import pickle

import numpy as np
import pytest

import tessavo


def generation(recurrent, pop_size=20, epochs=3, seed=5):
    """Genomes of a few evolved generations: differing sizes, links and activations."""
    tessavo.set_random_seed(seed)
    try:
        model = tessavo.Model(3, 2, size=7, recurrent=recurrent)
        kept = []

        def train_func(genomes):
            kept[:] = genomes
            return np.random.default_rng(len(kept)).random(len(genomes))

        model.func_evolve(train_func, pop_size=pop_size, epochs=epochs, verbose=0)
        return kept
    finally:
        tessavo.set_random_seed(None)


def each(genomes, x):
    return np.array([g.predict(row) for g, row in zip(genomes, x)])


@pytest.mark.parametrize("recurrent", [False, True])
def test_batch_predict_is_each_genomes_own_predict(recurrent):
    genomes = generation(recurrent)
    alone = pickle.loads(pickle.dumps(genomes))
    batch = tessavo.GenomeBatch(genomes)
    rng = np.random.default_rng(0)
    # Steps of one row, then series of rows, then partial resets between steps
    # as episodes that end at different times would do.
    for step in range(6):
        x = rng.normal(scale=3.0, size=(len(batch), 3))
        assert batch.predict(x).tobytes() == each(alone, x).tobytes()
        if step == 2:
            batch.reset([0, -1])
            alone[0].clear()
            alone[-1].clear()
        if step == 4:
            done = rng.random(len(batch)) < 0.5
            batch.reset(done)
            for g, d in zip(alone, done):
                if d:
                    g.clear()
    x = rng.normal(size=(len(batch), 5, 3))
    assert batch.predict(x).tobytes() == each(alone, x).tobytes()
    batch.reset()
    for g in alone:
        g.clear()
    x = rng.normal(size=(len(batch), 3)).astype(np.float32)  # converted as predict converts
    assert batch.predict(x).tobytes() == each(alone, x).tobytes()
    # The state lives in the genomes themselves: their own predict goes on from it.
    x = rng.normal(size=(len(batch), 3))
    assert genomes[3].predict(x[3]).tobytes() == alone[3].predict(x[3]).tobytes()


def test_large_batch_split_across_threads_matches():
    genomes = generation(True, pop_size=150, epochs=1)  # 300 genomes
    x = np.random.default_rng(1).normal(size=(len(genomes), 40, 3))
    alone = pickle.loads(pickle.dumps(genomes))
    assert tessavo.GenomeBatch(genomes).predict(x).tobytes() == each(alone, x).tobytes()


def test_batch_is_a_list_with_an_epoch():
    epochs = []
    model = tessavo.Model(2, 1)
    model.func_evolve(lambda g: (epochs.append(g.epoch), np.zeros(len(g)))[1], pop_size=2,
                      epochs=3, verbose=0)
    assert epochs == [0, 1, 2]
    genomes = generation(False, pop_size=2, epochs=1)
    batch = tessavo.GenomeBatch(genomes, epoch=4)
    assert batch == genomes and batch.epoch == 4 and tessavo.GenomeBatch().epoch is None
    copy = pickle.loads(pickle.dumps(batch))
    assert type(copy) is tessavo.GenomeBatch and copy.epoch == 4 and len(copy) == 4
    x = np.ones((4, 3))
    assert copy.predict(x).tobytes() == batch.predict(x).tobytes()
    # Items replaced after a prediction are used by the next one.
    batch[0] = genomes[1]
    assert batch.predict(x)[0].tobytes() == genomes[1].predict(x[1]).tobytes()
    assert type(batch[:2]) is list


def test_bad_input():
    genomes = generation(True, pop_size=2, epochs=1)
    batch = tessavo.GenomeBatch(genomes)
    for x, error in [(np.ones(3), ValueError), (np.ones((3, 3)), ValueError),
                     (np.ones((4, 2)), ValueError), (np.ones((4, 1, 1, 3)), ValueError),
                     ([["a"] * 3] * 4, TypeError), (None, TypeError)]:
        with pytest.raises(error):
            batch.predict(x)
    # NaN and inf propagate, as in predict.
    odd = np.ones((4, 3))
    odd[1, 0], odd[2, 1] = np.nan, np.inf
    alone = pickle.loads(pickle.dumps(genomes))
    assert batch.predict(odd).tobytes() == each(alone, odd).tobytes()
    with pytest.raises(ValueError, match="item 1 has 4 inputs"):
        tessavo.GenomeBatch([genomes[0], tessavo.Genome(4, 2)])
    with pytest.raises(TypeError, match="item 0 is a int"):
        tessavo.GenomeBatch([1])
    batch.append("genome")
    with pytest.raises(TypeError, match="item 4 is a str"):
        batch.predict(np.ones((5, 3)))
    with pytest.raises(ValueError, match="items 0 and 1 are the same recurrent genome"):
        tessavo.GenomeBatch([genomes[0], genomes[0]]).predict(np.ones((2, 3)))
    with pytest.raises(RuntimeError, match="holds no network"):
        tessavo.GenomeBatch([tessavo.Genome(3, 2)]).predict(np.ones((1, 3)))
    with pytest.raises(ValueError, match="no genomes"):
        tessavo.GenomeBatch().predict(np.ones((0, 3)))
    good = tessavo.GenomeBatch(genomes)
    for which, error in [([4], IndexError), (np.ones(3, bool), ValueError), (["a"], TypeError),
                         (np.ones((2, 2), int), ValueError)]:
        with pytest.raises(error):
            good.reset(which)
    with pytest.raises(TypeError):
        tessavo.GenomeBatch(genomes, epoch="1")
