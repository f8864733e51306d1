import numpy as np
import pytest

import tessavo


def test_genome_type_surface():
    assert isinstance(tessavo.Genome, type)
    assert tessavo.Genome.__doc__ == (
        "A lightweight Tessavo model that can only be used for predictions."
    )
    assert tessavo.Genome.predict.__text_signature__ == "($self, x, /, *, verbose='auto')"
    assert tessavo.Genome.clear.__doc__ == (
        "Clears the recurrent state of the genome, preparing it for a new sequence of inputs."
    )
    assert tessavo.Genome.recurrent.__doc__ == "If the model is recurrent or not."
    assert not hasattr(tessavo.Genome, "size")


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [((2, 1), {}, (2, 1, False)), ((3, 4), {"recurrent": 1}, (3, 4, True)),
     ((), {"inputs": 1, "outputs": 1, "recurrent": []}, (1, 1, False))],
)
def test_genome_attributes(args, kwargs, expected):
    genome = tessavo.Genome(*args, **kwargs)
    assert (genome.inputs, genome.outputs, genome.recurrent) == expected
    for name in ("inputs", "outputs", "recurrent"):
        with pytest.raises(AttributeError):
            setattr(genome, name, True)


@pytest.mark.parametrize("args", [(2,), ("a", 1), (1, 2, True, 4)])
def test_genome_bad_arguments(args):
    with pytest.raises(TypeError):
        tessavo.Genome(*args)


def test_genome_without_network_refuses_to_predict():
    genome = tessavo.Genome(2, 1)
    with pytest.raises(RuntimeError, match="holds no network"):
        genome.predict(np.zeros(2))
    with pytest.raises(ValueError, match="last dimension"):
        genome.predict(np.zeros(3))
    genome.clear()
    empty = tessavo.Genome.__new__(tessavo.Genome)
    assert empty.predict(np.zeros(0)).shape == (0,)


def test_genome_subclass():
    class Mine(tessavo.Genome):
        pass

    assert Mine(1, 1).inputs == 1
