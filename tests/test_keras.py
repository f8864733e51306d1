"""Keras export and import, run on a real Keras backend (JAX, see conftest.py)."""
import os
import random
import struct
import types

import numpy as np
import pytest

try:
    import keras
except ImportError as error:
    # CI sets TESSAVO_REQUIRE_KERAS so these tests can never be skipped there.
    if os.environ.get("TESSAVO_REQUIRE_KERAS"):
        raise
    pytest.skip(f"Keras cannot be imported: {error}", allow_module_level=True)

import tessavo

pytestmark = pytest.mark.filterwarnings("ignore:__array__ implementation:DeprecationWarning")

# Keras computes and stores in float32.
TOLERANCE = {"rtol": 1e-4, "atol": 1e-5}


def sources(layer):
    """Layers feeding a layer, through its concatenation when it has one."""
    feeding = layer.input if isinstance(layer.input, list) else [layer.input]
    feeders = [t._keras_history.operation for t in feeding]
    if len(feeders) == 1 and isinstance(feeders[0], keras.layers.Concatenate):
        return [t._keras_history.operation for t in feeders[0].input]
    return feeders


def node_layers(keras_model):
    return {layer.name: layer for layer in keras_model.layers if layer.name.startswith("node")}


def describe(keras_model):
    """Everything a node layer carries: sources, weights as stored, activation."""
    source_name = lambda s: "input" if s is keras_model.layers[0] else s.name
    return {
        name: (
            [source_name(s) for s in sources(layer)],
            [w.tolist() for w in layer.get_weights()],
            layer.activation.__name__,
        )
        for name, layer in node_layers(keras_model).items()
    }


def exported_graph(inputs, nodes, outputs=1, seed=0, names=None, bias=True):
    """A Keras graph of the exported shape, built directly in Keras.

    nodes holds (sources, activation) for each non-input node in index order.
    names may rename nodes (index -> layer name) to build graphs outside the shape.
    """
    rng = np.random.default_rng(seed)
    names = names or {}
    name = lambda i: names.get(i, f"node{i}")
    x = keras.Input((inputs,))
    tensors, layers = [], []
    for i in range(inputs):
        layers.append(keras.layers.Dense(1, activation="linear", name=name(i)))
        tensors.append(layers[-1](x))
    for node_sources, activation in nodes:
        layer = keras.layers.Dense(1, activation=activation, name=name(len(tensors)), use_bias=bias)
        fed = [tensors[j] for j in node_sources]
        tensors.append(layer(fed[0] if len(fed) == 1 else keras.layers.Concatenate()(fed)))
        layers.append(layer)
    output = tensors[-1] if outputs == 1 else keras.layers.Concatenate()(tensors[-outputs:])
    model = keras.Model(x, output)
    for i, layer in enumerate(layers):
        if i < inputs:
            kernel = np.zeros((inputs, 1))
            kernel[i] = 1.0
            layer.set_weights([kernel, np.zeros(1)])
        else:
            shapes = [w.shape for w in layer.get_weights()]
            layer.set_weights([rng.normal(size=s) for s in shapes])
    return model


# Two inputs, three hidden nodes and two outputs: all four activations, one
# node with a single source and one whose concatenation is out of order.
FOUR_ACTIVATIONS = dict(
    inputs=2,
    outputs=2,
    nodes=[
        ([0, 1], "sigmoid"),
        ([2], "tanh"),
        ([0, 2, 3], "relu"),
        ([1, 3, 4], "linear"),
        ([4, 2], "tanh"),  # sources out of order, stored in order of the concatenation
    ],
)


@pytest.fixture(scope="module")
def samples():
    return np.random.default_rng(1).normal(size=(16, 3))


@pytest.mark.parametrize("inputs, outputs, size", [(2, 1, None), (3, 3, 8), (1, 2, 5)])
def test_export_graph_shape(inputs, outputs, size):
    model = tessavo.Model(inputs, outputs, size=size or -1)
    size = model.size
    exported = model.to_keras()
    nodes = node_layers(exported)
    assert sorted(nodes) == sorted(f"node{i}" for i in range(size))

    for i in range(inputs):
        layer = nodes[f"node{i}"]
        kernel, bias = layer.get_weights()
        assert np.array_equal(kernel, np.eye(inputs)[:, [i]]) and np.array_equal(bias, [0.0])
        assert layer.activation.__name__ == "linear" and not layer.trainable
        assert [s.name for s in sources(layer)] == [exported.layers[0].name]
    # A new model is dense: node i is fed by every lower non-output node.
    for i in range(inputs, size):
        expected = [f"node{j}" for j in range(min(i, size - outputs))]
        assert [s.name for s in sources(nodes[f"node{i}"])] == expected
        assert nodes[f"node{i}"].trainable

    concatenations = [l for l in exported.layers if isinstance(l, keras.layers.Concatenate)]
    multi_input = sum(min(i, size - outputs) >= 2 for i in range(inputs, size))
    assert len(concatenations) == multi_input + (outputs >= 2)
    (output,) = exported.outputs
    producer = output._keras_history.operation
    if outputs == 1:
        assert producer.name == f"node{size - 1}"
    else:
        assert isinstance(producer, keras.layers.Concatenate)
        assert [t._keras_history.operation.name for t in producer.input] == [
            f"node{i}" for i in range(size - outputs, size)
        ]


def test_exported_predictions_match(samples):
    imported = tessavo.from_keras(exported_graph(**FOUR_ACTIVATIONS))
    models = [imported, tessavo.Model(3, 2, size=7), tessavo.Model(3, 1)]
    for model in models:
        x = samples[:, : model.inputs]
        expected = model.predict(x)
        assert np.allclose(model.to_keras()(x), expected, **TOLERANCE)


def test_import_reads_the_graph(samples):
    graph = exported_graph(**FOUR_ACTIVATIONS)
    model = tessavo.from_keras(graph)
    assert (model.size, model.inputs, model.outputs, model.recurrent) == (7, 2, 2, False)
    x = samples[:, :2]
    assert np.allclose(model.predict(x), graph(x), **TOLERANCE)
    # Sources come back in index order, kernel rows with them.
    round_trip = describe(model.to_keras())
    original = describe(graph)
    assert round_trip["node6"][0] == ["node2", "node4"]
    assert round_trip["node6"][1][0] == original["node6"][1][0][::-1]
    for name in (f"node{i}" for i in range(2, 6)):
        assert round_trip[name] == original[name]


@pytest.mark.parametrize("outputs, size", [(1, None), (1, 6), (3, 8)])
def test_round_trip(outputs, size, samples):
    model = tessavo.Model(3, outputs, size=size or -1)
    exported = model.to_keras()
    back = tessavo.from_keras(exported)
    assert (back.size, back.inputs, back.outputs, back.recurrent) == (
        model.size, model.inputs, model.outputs, False
    )
    assert np.allclose(back.predict(samples), model.predict(samples), **TOLERANCE)
    # Links, float32 weights, biases and activations survive a second trip unchanged.
    assert describe(back.to_keras()) == describe(exported)


@pytest.mark.skipif(not hasattr(tessavo.Model, "get_nodes"), reason="needs the node listing")
def test_round_trip_listings():
    model = tessavo.Model(2, 2, size=6)
    back = tessavo.from_keras(model.to_keras())
    f32 = lambda v: float(np.float32(v))
    assert [(a, b, f32(w["weight"])) for a, b, w in model.get_connections()] == [
        (a, b, w["weight"]) for a, b, w in back.get_connections()
    ]
    nodes, back_nodes = model.get_nodes(), back.get_nodes()
    assert back_nodes[:2] == [(0, {"bias": 0.0, "activation": "sigmoid"}),
                              (1, {"bias": 0.0, "activation": "sigmoid"})]
    for (i, node), (j, back_node) in zip(nodes[2:], back_nodes[2:]):
        assert (i, f32(node["bias"]), node["activation"]) == (
            j, back_node["bias"], back_node["activation"]
        )


def test_weights_changed_in_keras_come_back(samples):
    model = tessavo.Model(3, 2, size=6)
    exported = model.to_keras()
    nodes = node_layers(exported)
    nodes["node4"].set_weights([np.array([[0.5], [-1.0], [2.0], [0.25]]), np.array([0.75])])
    back = tessavo.from_keras(exported)
    before = model.predict(samples)
    after = back.predict(samples)
    assert not np.allclose(after[:, 0], before[:, 0])
    assert np.allclose(after[:, 1], before[:, 1], **TOLERANCE)
    assert describe(back.to_keras())["node4"][1] == [[[0.5], [-1.0], [2.0], [0.25]], [0.75]]


INPUT_NODE_CHANGES = {
    "kernel": lambda layer: layer.set_weights([np.array([[3.0], [0.0], [0.0]]), np.zeros(1)]),
    "other-input": lambda layer: layer.set_weights([np.array([[0.0], [1.0], [0.0]]), np.zeros(1)]),
    "bias": lambda layer: layer.set_weights([np.array([[1.0], [0.0], [0.0]]), np.ones(1)]),
    "activation": lambda layer: setattr(layer, "activation", keras.activations.tanh),
}


@pytest.mark.parametrize("change", INPUT_NODE_CHANGES.values(), ids=INPUT_NODE_CHANGES.keys())
def test_changed_input_node_layers_are_refused(change):
    # The network cannot hold them: the import would compute something else.
    exported = tessavo.Model(3, 2, size=6).to_keras()
    change(node_layers(exported)["node0"])
    with pytest.raises(ValueError, match="'node0' should pass input 0 through unchanged"):
        tessavo.from_keras(exported)


def test_keras_training_is_carried_over(samples):
    model = tessavo.Model(3, 1, size=5)
    exported = model.to_keras()
    exported.compile(optimizer=keras.optimizers.SGD(0.05), loss="mse")
    target = np.sin(samples.sum(axis=1, keepdims=True))
    exported.fit(samples, target, epochs=3, batch_size=4, verbose=0)
    back = tessavo.from_keras(exported)
    assert np.allclose(back.predict(samples), exported(samples), **TOLERANCE)


def test_layer_order_does_not_matter(samples):
    exported = tessavo.Model(3, 2, size=8).to_keras()
    layers = list(exported.layers)
    middle = layers[1:-1]
    random.Random(3).shuffle(middle)
    shuffled = tessavo.from_keras(LayerView([layers[0], *middle, layers[-1]]))
    assert np.array_equal(shuffled.predict(samples), tessavo.from_keras(exported).predict(samples))


class LayerView(keras.Model):
    """A real Keras model whose layers list is replaced."""

    def __init__(self, layers):
        super().__init__()
        object.__setattr__(self, "_view", list(layers))

    @property
    def layers(self):
        return self._view


class Patched:
    """A layer whose named attributes are replaced; the rest is the layer's."""

    def __init__(self, layer, **replaced):
        self._layer, self._replaced = layer, replaced

    def __getattr__(self, name):
        return self._replaced[name] if name in self._replaced else getattr(self._layer, name)


def patched(graph, name, **replaced):
    layers = [Patched(l, **replaced) if l.name == name else l for l in graph.layers]
    return LayerView(layers)


def simple(**kwargs):
    """Two inputs, two hidden nodes, one output; kwargs change exported_graph."""
    arguments = dict(inputs=2, nodes=[([0, 1], "tanh"), ([0, 2], "relu"), ([2, 3], "linear")])
    arguments.update(kwargs)
    return exported_graph(**arguments)


def dropout_between():
    x = keras.Input((1,))
    n0 = keras.layers.Dense(1, name="node0", kernel_initializer="ones")(x)
    n1 = keras.layers.Dense(1, name="node1")(keras.layers.Dropout(0.5)(n0))
    return keras.Model(x, n1)


BAD_GRAPHS = {
    "suffix-not-decimal": (lambda: simple(names={3: "node_x"}), "node_x"),
    "index-outside": (lambda: simple(names={3: "node9"}), "numbered outside"),
    "index-twice": (lambda: simple(names={3: "node02"}), "same node index"),
    "activation": (lambda: simple(nodes=[([0, 1], "softmax"), ([2], "relu")]), "softmax"),
    "no-bias": (lambda: simple(bias=False), "kernel and a bias"),
    "backward-source": (lambda: simple(names={2: "node3", 3: "node2"}), "lower to a higher"),
    "output-not-last": (lambda: simple(names={4: "node3", 3: "node4"}), "should be node4"),
    "outputs-out-of-order": (
        lambda: simple(outputs=2, names={3: "node4", 4: "node3"}), "node3 to node4 in order"
    ),
    "not-concatenation": (dropout_between, "neither a node layer nor a concatenation"),
    "first-layer-not-input": (
        lambda: LayerView(simple().layers[1:]), "should be the input layer"
    ),
    "kernel-rows": (
        lambda: patched(simple(), "node2", get_weights=lambda: [np.ones((3, 1)), np.ones(1)]),
        r"kernel of shape \(2, 1\)",
    ),
    "bias-two-elements": (
        lambda: patched(simple(), "node2", get_weights=lambda: [np.ones((2, 1)), np.ones(2)]),
        r"bias of shape \(1,\)",
    ),
    "activation-without-name": (
        lambda: patched(simple(), "node3", activation=types.SimpleNamespace(__name__="elu")),
        "elu",
    ),
}


@pytest.mark.parametrize("make, message", BAD_GRAPHS.values(), ids=BAD_GRAPHS.keys())
def test_graphs_outside_the_shape_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        tessavo.from_keras(make())


def test_keras_errors_propagate():
    def broken():
        raise RuntimeError("weights unavailable")

    with pytest.raises(RuntimeError, match="weights unavailable"):
        tessavo.from_keras(patched(simple(), "node3", get_weights=broken))


def model_file(path, inputs, outputs, links, size):
    """A feed-forward .tv file with zero biases, tanh nodes and the given links."""
    data = struct.pack("<iiib", size, inputs, outputs, 0)
    data += struct.pack(f"<{size}d", *[0.0] * size) + struct.pack(f"<{size}i", *[1] * size)
    for source, target in links:
        data += struct.pack("<iid", source, target, 0.5)
    path.write_bytes(data)
    return str(path)


needs_load = pytest.mark.skipif(not hasattr(tessavo, "load"), reason="needs tessavo.load")


@needs_load
def test_node_without_predecessor_is_refused(tmp_path):
    # Node 2 is hidden and fed by nothing: there is nothing to apply its layer to.
    model = tessavo.load(model_file(tmp_path / "m.tv", 2, 1, [(0, 3), (1, 3), (2, 3)], 4))
    with pytest.raises(ValueError, match="Node 2 has no incoming connection"):
        model.to_keras()


@needs_load
def test_node_leading_nowhere_exports_but_cannot_come_back(tmp_path, samples):
    # Node 2 feeds nothing: Keras drops its layer, the function is unchanged.
    model = tessavo.load(model_file(tmp_path / "m.tv", 2, 1, [(0, 2), (0, 3), (1, 3)], 4))
    exported = model.to_keras()
    assert sorted(node_layers(exported)) == ["node0", "node1", "node3"]
    assert np.allclose(exported(samples[:, :2]), model.predict(samples[:, :2]), **TOLERANCE)
    with pytest.raises(ValueError, match="lead to no output"):
        tessavo.from_keras(exported)


def test_imported_model_starts_uncompiled(samples):
    model = tessavo.from_keras(tessavo.Model(3, 1).to_keras())
    y = np.zeros((len(samples), 1))
    with pytest.raises(RuntimeError):
        model.evaluate(samples, y)
    model.compile(loss="mse")
    assert model.evaluate(samples, y)[0] == pytest.approx(np.mean(model.predict(samples) ** 2))


def test_export_reads_the_model_as_it_was_when_called(monkeypatch, samples):
    # Keras runs Python code between the layers; here it rebuilds the model.
    model = tessavo.Model(3, 2, size=40)
    expected = model.predict(samples)
    dense = keras.layers.Dense
    calls = []

    def rebuilding_dense(*args, **kwargs):
        calls.append(1)
        if len(calls) == 5:
            model.__init__(1, 1)
        return dense(*args, **kwargs)

    monkeypatch.setattr(keras.layers, "Dense", rebuilding_dense)
    exported = model.to_keras()
    assert len(calls) == 40
    # Forty nodes deep in float32: rounding adds up beyond the usual tolerance.
    assert np.allclose(exported(samples), expected, rtol=1e-4, atol=1e-4)


def test_keras_habits_and_callbacks(tmp_path):
    x = np.linspace(-1, 1, 40).reshape(20, 2)
    y = x[:, :1] - x[:, 1:]
    model = tessavo.Model(2, 1, size=5)
    model.compile(loss="mse")
    # Keras code passes verbose to predict and evaluate all the time.
    assert model.predict(x, verbose=0).shape == (20, 1)
    assert len(model.evaluate(x, y, verbose="auto")) == 1
    # Keras's callbacks that only read the logs and set stop_training work.
    seen = []
    stop = keras.callbacks.EarlyStopping(monitor="loss", patience=0, min_delta=1e9)
    history = model.evolve(x, y, pop_size=6, epochs=10, verbose=0, callbacks=[
        keras.callbacks.LambdaCallback(on_epoch_end=lambda e, logs: seen.append(e)),
        keras.callbacks.CSVLogger(str(tmp_path / "log.csv")), stop])
    assert seen == [0, 1] and len(history["loss"]) == 2 and stop.stopped_epoch == 1
    assert (tmp_path / "log.csv").read_text().splitlines()[0].startswith("epoch,loss")

    class Mine(keras.callbacks.Callback):
        def on_epoch_end(self, epoch, logs=None):
            self.model.stop_training = True

    assert len(model.evolve(x, y, pop_size=6, epochs=5, verbose=0,
                            callbacks=[Mine()])["loss"]) == 1
    # The others are refused before the run, naming what to use.
    before = model.get_connections()
    for callback, instead in [
        (keras.callbacks.History(), "history dict"),
        (keras.callbacks.TerminateOnNaN(), "tessavo.callbacks.TerminateOnNaN"),
        (keras.callbacks.EarlyStopping(restore_best_weights=True),
         r"tessavo.callbacks.EarlyStopping\(restore_best_weights=True\)"),
        (keras.callbacks.ModelCheckpoint(str(tmp_path / "m.keras")),
         "tessavo.callbacks.ModelCheckpoint"),
        (keras.callbacks.ReduceLROnPlateau(), "no equivalent"),
    ]:
        with pytest.raises(TypeError, match=f"callbacks\\[1\\] is keras.callbacks.*{instead}"):
            model.evolve(x, y, epochs=2, verbose=0, callbacks=[stop, callback])
        with pytest.raises(TypeError, match=instead):
            model.func_evolve(lambda g: np.zeros(len(g)), epochs=2, verbose=0,
                              callbacks=[callback])
    assert model.get_connections() == before
