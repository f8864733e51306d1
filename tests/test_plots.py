import re
import shutil

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")

import tessavo
from tessavo.utils import plot_history, plot_model

matplotlib.use("Agg")

PNG = b"\x89PNG\r\n\x1a\n"


def evolved(recurrent):
    tessavo.set_random_seed(2)
    model = tessavo.Model(3, 2, size=8, recurrent=recurrent)
    model.compile(loss="mse", monitors=["size"])
    x = np.linspace(-1, 1, 30).reshape(10, 3)
    y = np.tanh(x[:, :2])
    if recurrent:
        x, y = x[None], y[None]
    history = model.evolve(x, y, pop_size=8, epochs=4, verbose=0, validation_data=(x, y))
    return model, history


@pytest.mark.parametrize("recurrent", [False, True])
def test_to_dot(recurrent):
    model, _ = evolved(recurrent)
    text = model.to_dot(show_weights=True, rankdir="TB")
    nodes = model.get_nodes()
    statements = re.findall(r"^  n(\d+) \[label=\"([^\"]*)\"", text, re.M)
    assert [int(i) for i, _ in statements] == [i for i, _ in nodes]
    for (_, label), (i, attributes) in zip(statements, nodes):
        assert i < 3 or attributes["activation"] in label
    # A forward edge's weight is a small node of its own on the edge (n -> w
    # -> n), so that no line crosses it; loops and backward edges keep a label.
    edges = re.findall(r"^  n(\d+) -> (?:n|w\d+_)(\d+) \[color=\"(#\w+)\", "
                       r"penwidth=([\d.]+)(.*)\];$", text, re.M)
    connections = model.get_connections()
    assert len(edges) == len(connections)
    for (a, b, colour, width, rest), (f, t, attributes) in zip(edges, connections):
        assert (int(a), int(b)) == (f, t)
        assert colour == ("#d62728" if attributes["weight"] < 0 else "#1f77b4")
        assert 0.5 <= float(width) <= 4.0
        assert ("dashed" in rest) == (f >= t)
        weight = f"{attributes['weight']:.3g}"
        if f < t:
            assert f'  w{f}_{t} [label="{weight}", shape=plaintext' in text
            assert f"  w{f}_{t} -> n{t} [color=\"{colour}\"" in text
        else:
            assert f'label="{weight}"' in rest
    assert "rankdir=TB" in text
    assert any(f >= t for f, t, _ in connections) == recurrent


def test_dot_ranks_inputs_then_hidden_then_outputs_in_index_order():
    text = tessavo.Model(4, 3, size=9).to_dot()
    # Each end is one rank, held in index order by an invisible chain.
    assert "  { rank=source; n0; n1; n2; n3; n0 -> n1 -> n2 -> n3 [style=invis]; }\n" in text
    assert "  { rank=sink; n6; n7; n8; n6 -> n7 -> n8 [style=invis]; }\n" in text
    assert "{ rank=source; n0; }\n" in tessavo.Model(1, 1).to_dot()


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")
def test_plot_model_and_history_render_pngs(tmp_path):
    model, history = evolved(True)
    target = tmp_path / "model.png"
    plot_model(model, to_file=target, show_weights=True, dpi=50)
    data = target.read_bytes()
    assert data.startswith(PNG) and len(data) > 1000
    ax = plot_history(history)
    assert [line.get_label() for line in ax.get_lines()] == ["loss", "val_loss"]
    figure = tmp_path / "history.png"
    ax.figure.savefig(figure)
    assert figure.read_bytes().startswith(PNG)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m, p: m.to_dot(rankdir="XY"), ValueError, "rankdir"),
        (lambda m, p: plot_model(m, p / "m.bmp2"), ValueError, "extension|end in"),
        (lambda m, p: plot_model(m, p / "m.png", dpi=0), ValueError, "dpi"),
        (lambda m, p: plot_model(object(), p / "m.png"), TypeError, "model"),
        (lambda m, p: plot_history({"loss": [1.0]}, keys=["val_loss"]), ValueError, "val_loss"),
    ],
)
def test_bad_arguments(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tessavo.Model(2, 1), tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_missing_dot_says_what_to_install(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(OSError, match="install Graphviz"):
        plot_model(tessavo.Model(2, 1), tmp_path / "m.png")


def test_dpi_in_plain_decimal_and_estimators_drawn_by_their_model(tmp_path, monkeypatch):
    # A stand-in for dot that keeps the text it is given.
    fake = tmp_path / "bin" / "dot"
    fake.parent.mkdir()
    fake.write_text('#!/bin/sh\n/bin/cat > "$DOT_INPUT"\nfor last; do :; done\nprintf x > "$last"\n')
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", str(fake.parent))
    monkeypatch.setenv("DOT_INPUT", str(tmp_path / "input.dot"))
    model = tessavo.Model(2, 1)
    for dpi, written in [(1e6, "1000000"), (72.5, "72.5"), (96, "96")]:
        plot_model(model, tmp_path / "m.png", dpi=dpi)
        assert f"  dpi={written};\n" in (tmp_path / "input.dot").read_text()
    sklearn = pytest.importorskip("tessavo.sklearn")
    estimator = sklearn.EvolvedRegressor(pop_size=4, epochs=1)
    with pytest.raises(ValueError, match="not fitted"):
        plot_model(estimator, tmp_path / "e.png")
    estimator.fit(np.zeros((6, 3)), np.arange(6.0))
    plot_model(estimator, tmp_path / "e.png")
    assert (tmp_path / "input.dot").read_text().split("\n", 2)[2] == \
        estimator.model_.to_dot().split("\n", 1)[1]


def test_history_axes_have_whole_number_ticks():
    ax = plot_history({"loss": [0.5, 0.4, 0.3], "size": [5, 6, 6]})
    ax.figure.canvas.draw()
    size_ax = [other for other in ax.figure.axes if other is not ax][0]
    for axis in (ax.xaxis, size_ax.yaxis):
        ticks = axis.get_majorticklocs()
        assert len(ticks) > 1 and all(float(t).is_integer() for t in ticks)
