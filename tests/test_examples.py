"""Every example runs, with the small caps of TESSAVO_EXAMPLE_QUICK=1, and
fails (an assertion, a non-zero exit) when what it states does not hold."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).parents[1] / "examples"

# The optional packages an example needs, and the variable with which CI
# says they are installed there, so that the example can never skip.
NEEDS = {
    "keras_roundtrip.py": (["keras", "jax"], "TESSAVO_REQUIRE_KERAS"),
    "dask_control.py": (["distributed"], "TESSAVO_REQUIRE_DASK"),
    "gym_cartpole.py": (["gymnasium"], None),
    "gym_lunar_lander.py": (["gymnasium", "Box2D", "pygame"], None),
}


@pytest.mark.parametrize("name", sorted(p.name for p in EXAMPLES.glob("*.py")))
def test_example_keeps_its_word(name):
    modules, required_by = NEEDS.get(name, ([], None))
    missing = [m for m in modules if importlib.util.find_spec(m) is None]
    if missing and not (required_by and os.environ.get(required_by)):
        pytest.skip(f"{name} needs {', '.join(missing)}")
    env = dict(os.environ, TESSAVO_EXAMPLE_QUICK="1", KERAS_BACKEND="jax")
    # Run as a user runs it: from its folder, beside the modules it imports.
    result = subprocess.run([sys.executable, name], cwd=EXAMPLES, env=env, capture_output=True,
                            text=True, timeout=600, check=False)
    assert result.returncode == 0, f"{name} failed:\n{result.stdout[-3000:]}{result.stderr[-3000:]}"
