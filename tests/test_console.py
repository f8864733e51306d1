import contextlib
import io
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessavo

X = np.linspace(-1, 1, 40).reshape(20, 2)
Y = X[:, :1] * 2

RUN = textwrap.dedent("""
    import numpy as np, tessavo
    x = np.linspace(-1, 1, 40).reshape(20, 2)
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    model.evolve(x, x[:, :1], pop_size=3, batch_size=1, epochs=2)
    model.func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=1)
""")

TIME = r"[\d:]+m?s?"  # durations vary with the machine's load
STEP = (rf"\rEpoch \d/2 - \d+/20 \[[=>.]{{30}}\] - (ETA: )?{TIME}( {TIME}/step)? "
        r"- loss\*: \d+\.\d{6}")
EXPECTED = re.compile(
    r"WARNING! The batch size is less than 10% the number of samples in your dataset\. [^\n]*\n"
    rf"(({STEP})\n?)+\rEpoch 1/1 - {TIME} - loss: 0\.000000\n"
)


def test_real_stdout_gets_the_c_bytes():
    done = subprocess.run([sys.executable, "-P", "-c", RUN], capture_output=True, check=True)
    out = done.stdout.decode()
    assert EXPECTED.fullmatch(out), out
    assert out.count("\n") == 4


def test_redirected_stdout_gets_the_lines(c_stdout):
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        model.evolve(X, Y, pop_size=3, batch_size=1, epochs=2)
        model.func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=1)
    assert EXPECTED.fullmatch(captured.getvalue()), captured.getvalue()
    assert c_stdout() == ""


class Broken(io.StringIO):
    def write(self, text):
        raise OSError("disk full")


@pytest.mark.parametrize("train", ["evolve", "func"])
def test_failing_stdout_ends_the_run(train):
    model = tessavo.Model(2, 1, size=4)
    model.compile(loss="mse")
    before = model.get_connections()
    with contextlib.redirect_stdout(Broken()), pytest.raises(OSError, match="disk full"):
        if train == "evolve":
            model.evolve(X, Y, pop_size=3, epochs=3)
        else:
            model.func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=3)
    assert model.get_connections() == before
