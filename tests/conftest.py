import ctypes
import os

import pytest

os.environ.setdefault("KERAS_BACKEND", "jax")

_libc = ctypes.CDLL(None)


@pytest.fixture
def c_stdout(capfd):
    """Reads what the C runtime wrote to stdout (it is not Python's sys.stdout)."""

    def read():
        _libc.fflush(None)
        return capfd.readouterr().out

    read()
    return read
