"""The discoverable surface: signatures, stubs and their reference page, repr, summary."""

import ast
import importlib.metadata
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import tessavo
from tessavo.optimizers import Alpha

ROOT = Path(__file__).resolve().parent.parent
STUBS = {name: ROOT / "tessavo" / f"{file}.pyi" for name, file in
         [("tessavo", "__init__"), ("tessavo.optimizers", "optimizers"),
          ("tessavo.callbacks", "callbacks"), ("tessavo.utils", "utils"),
          ("tessavo.sklearn", "sklearn")]}

SIGNATURES = [
    (tessavo.Model, "(inputs, outputs, size=-1, recurrent=False, *, seed=None, "
     "output_activation=None)"),
    (tessavo.Genome, "(inputs, outputs, recurrent=False)"),
    (Alpha, "(mutation_rate=0.5)"),
    (tessavo.load, "(path, /)"),
    (tessavo.from_keras, "(keras_model, /)"),
    (tessavo.set_random_seed, "(seed, /)"),
    (tessavo.scorer, "(score_genome, executor=None, *, chunksize=None)"),
    (tessavo.Model(2, 1).evolve, "(x_train, y_train, pop_size=100, batch_size=-1, epochs=100, "
     "validation_data=None, verbose=1, *, callbacks=None, seed=None)"),
    (tessavo.Model.func_evolve, "(self, /, train_func, pop_size=100, epochs=100, verbose=1, "
     "validation_func=None, *, callbacks=None, seed=None)"),
    (tessavo.Model.compile, "(self, /, optimizer='alpha', loss='', metrics=[], monitors=[])"),
    (tessavo.Model.predict, "(self, x, /)"),
    (tessavo.Model(2, 1).predict, "(x, /)"),
    (tessavo.Model.evaluate, "(self, x, y, /)"),
    (tessavo.Model.save, "(self, path, /)"),
    (tessavo.Model.summary, "(self, /)"),
    (tessavo.Genome.predict, "(self, x, /)"),
]


@pytest.mark.parametrize("obj, expected", SIGNATURES, ids=lambda v: getattr(v, "__qualname__", ""))
def test_signatures_with_real_defaults(obj, expected):
    assert str(inspect.signature(obj)) == expected


@pytest.mark.parametrize(
    "obj, doc",
    [
        (tessavo.Model, "A Tessavo model that can be evolved on datasets and fitness functions."),
        (tessavo.Genome, "A lightweight Tessavo model that can only be used for predictions."),
        (Alpha, "The first optimizer in Tessavo."),
        (tessavo.load, "Load a model saved in the '.tv' format."),
        (tessavo.Model.evolve, "Evolves the network on a given dataset."),
        (tessavo.Model.func_evolve, "Evolves the network on a given fitness function."),
        (tessavo.Model.evaluate, "Evaluate the the network based on the compiled losses/metrics on "
         "a given dataset."),
        (tessavo.Model.compile, "Configure the losses, metrics and monitors for evolution. For "
         "`model.evolve_func`, losses and metrics are optional."),
        (tessavo.Model.get_nodes, "Returns a list of nodes contained in the network."),
        (tessavo.Model.get_connections, "Returns a list of connections contained in the network."),
        (tessavo.Model.to_keras, "Convert the Tessavo model to a Keras model."),
        (tessavo.Model.save, "Saves the model using the '.tv' format."),
        (tessavo.from_keras, "Convert a Keras model to a Tessavo model. This only works for Keras "
         "models that have been exported from Tessavo using `model.to_keras()` with unmodified "
         "architecture."),
    ],
)
def test_docstrings_unchanged_by_signature_lines(obj, doc):
    assert obj.__doc__ == doc


def stub_callables():
    """(qualified name, node, is method) for every public function and method of the stubs."""
    for module, path in STUBS.items():
        for node in ast.parse(path.read_text()).body:
            if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
                yield f"{module}.{node.name}", node, False
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                yield f"{module}.{node.name}", node, False
                for item in node.body:
                    if isinstance(item, ast.FunctionDef) and not item.name.startswith("_"):
                        decorators = {ast.unparse(d) for d in item.decorator_list}
                        if not decorators:
                            yield f"{module}.{node.name}.{item.name}", item, True


def test_every_public_callable_is_stubbed_with_documented_parameters():
    stubbed = {}
    for name, node, is_method in stub_callables():
        stubbed[name] = node
        doc = ast.get_docstring(node) or ""
        assert doc, f"{name} has no docstring in the stubs"
        target = node
        if isinstance(node, ast.ClassDef):
            target = next(n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
        args = target.args.posonlyargs + target.args.args
        names = [a.arg for a in args[1:]] if is_method or target is not node else [a.arg for a in args]
        documented = doc.partition("Args:")[2].partition("Returns:")[0].partition("Raises:")[0]
        for param in names:
            assert f"\n    {param}: " in "\n" + documented, f"{name}: parameter {param} undocumented"
        returns = ast.unparse(target.returns) if target.returns else "None"
        if returns != "None":
            assert "Returns:" in doc, f"{name} does not document what it returns"
    # Every public runtime callable has a stub and a signature.
    modules = {"optimizers", "callbacks", "utils"}
    runtime = [(f"tessavo.{n}", getattr(tessavo, n)) for n in tessavo.__all__ if n not in modules]
    runtime += [("tessavo.optimizers.Alpha", Alpha)]
    runtime += [(f"tessavo.callbacks.{n}", getattr(tessavo.callbacks, n))
                for n in tessavo.callbacks.__all__]
    runtime += [(f"tessavo.utils.{n}", getattr(tessavo.utils, n)) for n in tessavo.utils.__all__]
    for cls_name, cls in [("tessavo.Model", tessavo.Model), ("tessavo.Genome", tessavo.Genome)]:
        runtime += [(f"{cls_name}.{n}", getattr(cls, n)) for n in dir(cls)
                    if not n.startswith("_") and callable(getattr(cls, n))]
    for name, obj in runtime:
        assert name in stubbed, f"{name} is missing from the stubs"
        inspect.signature(obj)


def test_reference_page_matches_the_stubs():
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "api_docs.py"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_version_comes_from_the_package_metadata():
    assert tessavo.__version__ == importlib.metadata.version("tessavo")


def test_keyword_typo_fails_mypy(tmp_path):
    api = pytest.importorskip("mypy.api", reason="mypy is not installed (pip install '.[typing]')")
    script = tmp_path / "user.py"
    script.write_text(
        "import numpy as np\nimport tessavo\n"
        "model = tessavo.Model(2, 1)\nmodel.compile(loss='mse')\n"
        "model.evolve(np.zeros((4, 2)), np.zeros((4, 1)), pop_sise=50)\n"
    )
    out, _, status = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"), str(script)])
    assert status == 1 and 'Unexpected keyword argument "pop_sise"' in out, out


def compiled(model):
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    return model


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: tessavo.Model(2, 1, size=5),
         "<tessavo.Model inputs=2 outputs=1 size=5 feed-forward uncompiled>"),
        (lambda: compiled(tessavo.Model(3, 2, recurrent=True)),
         "<tessavo.Model inputs=3 outputs=2 size=5 recurrent compiled loss='mse' metrics=['mae'] "
         "monitors=['size']>"),
        (lambda: tessavo.Genome(2, 1, recurrent=True),
         "<tessavo.Genome inputs=2 outputs=1 size=0 recurrent>"),
        (lambda: Alpha(0.1), "<tessavo.optimizers.Alpha mutation_rate=0.1>"),
        (lambda: type("Sub", (tessavo.Model,), {"__module__": "user"})(1, 1),
         "<user.Sub inputs=1 outputs=1 size=2 feed-forward uncompiled>"),
    ],
)
def test_repr(make, text):
    assert repr(make()) == text


@pytest.mark.parametrize(
    "recurrent, rows, total",
    [
        # Model(2, 1, size=4): 0,1 -> 2 -> 3 plus 0,1 -> 3; recurrent adds 2 -> 2.
        (False, [(" input", 2, 0, 4), (" hidden", 1, 2, 1), (" output", 1, 3, 0)], 5),
        (True, [(" input", 2, 0, 4), (" hidden", 1, 3, 2), (" output", 1, 3, 0)], 6),
    ],
)
@pytest.mark.parametrize("compile_it", [False, True])
def test_summary_counts_nodes_and_connections_by_kind(capsys, recurrent, rows, total, compile_it):
    model = tessavo.Model(2, 1, size=4, recurrent=recurrent)
    if compile_it:
        compiled(model)
    assert model.summary() is None
    text = capsys.readouterr().out
    assert text.startswith(f"Model: tessavo.Model, {'recurrent' if recurrent else 'feed-forward'}\n")
    lines = text.splitlines()
    for kind, nodes, incoming, outgoing in rows:
        row = next(line for line in lines if line.startswith(kind + " "))
        assert row.split()[1:4] == [str(nodes), str(incoming), str(outgoing)]
    assert f"Total connections: {total}\n" in text
    assert f"Parameters: {total + 2} ({total} weights, 2 biases)\n" in text
    settings = ("Compiled: optimizer=Alpha(mutation_rate=0.5), loss='mse', metrics=['mae'], "
                "monitors=['size']\n")
    assert (settings if compile_it else "Not compiled.\n") in text
    activations = {node["activation"] for _, node in model.get_nodes()[2:]}
    assert all(name in text for name in activations)
