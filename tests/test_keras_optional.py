"""Keras interchange behaviour that must hold whether or not Keras is installed."""
import subprocess
import sys
import types

import pytest

import tessavo

RECURRENT_MESSAGE = (
    "Recurrent models cannot yet be converted to Keras. Please use model.save() to save "
    "your model.\n"
)


@pytest.fixture
def no_keras(monkeypatch):
    """Makes `import keras` fail, as on a machine without Keras."""
    monkeypatch.setitem(sys.modules, "keras", None)


def test_import_tessavo_does_not_import_keras():
    code = "import sys, tessavo; print('keras' in sys.modules)"
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_recurrent_model_is_refused_before_keras_is_imported(no_keras):
    model = tessavo.Model(2, 1, size=4, recurrent=True)
    with pytest.raises(NotImplementedError) as error:
        model.to_keras()
    assert str(error.value) == RECURRENT_MESSAGE
    # A model switched to recurrent after construction is refused too.
    model = tessavo.Model(2, 1)
    model.recurrent = True
    with pytest.raises(NotImplementedError, match="Recurrent models cannot yet"):
        model.to_keras()


def test_missing_keras_raises_import_error(no_keras):
    with pytest.raises(ImportError):
        tessavo.Model(2, 1).to_keras()


@pytest.mark.parametrize(
    "model", [tessavo.Model(2, 0), tessavo.Model.__new__(tessavo.Model)], ids=["no-outputs", "empty"]
)
def test_models_without_outputs_are_refused(model, no_keras):
    with pytest.raises(ValueError, match="without outputs"):
        model.to_keras()


LOOK_ALIKE = types.SimpleNamespace(
    layers=[types.SimpleNamespace(name="input_layer"), types.SimpleNamespace(name="node0")]
)


@pytest.mark.parametrize(
    "argument, error",
    [
        (3, "got int"),
        (object(), "got object"),
        (types.SimpleNamespace(layers=5), "got types.SimpleNamespace"),
        (types.SimpleNamespace(layers=[]), "got types.SimpleNamespace"),
        (LOOK_ALIKE, "got types.SimpleNamespace"),
    ],
)
def test_from_keras_refuses_objects_that_are_not_keras_models(argument, error):
    with pytest.raises(TypeError, match=error):
        tessavo.from_keras(argument)


def test_from_keras_argument_count():
    with pytest.raises(TypeError):
        tessavo.from_keras()
    with pytest.raises(TypeError):
        tessavo.from_keras(keras_model=None)
