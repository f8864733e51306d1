import os
import subprocess
import sys

import pytest

# A seeded run whose scoring passes take the vector paths (batches of 8 and
# 16 rows and a ragged rest), and a prediction over many rows; prints a digest
# of every bit that comes out.
RUN = """
import hashlib
import numpy as np
import tessavo

tessavo.set_random_seed(5)
rng = np.random.default_rng(0)
x = rng.uniform(-2, 2, (37, 3))
y = np.tanh(x.sum(axis=1, keepdims=True))
model = tessavo.Model(3, 1, size=9, recurrent=False)
model.compile(loss="mse")
history = model.evolve(x, y, pop_size=12, epochs=5, batch_size=16, verbose=0)
digest = hashlib.sha256()
digest.update(np.asarray(history["loss"]).tobytes())
digest.update(model.predict(rng.uniform(-3, 3, (101, 3))).tobytes())
print(digest.hexdigest())
"""


def digest(isa):
    env = dict(os.environ)
    env.pop("TESSAVO_ISA", None)
    if isa is not None:
        env["TESSAVO_ISA"] = isa
    done = subprocess.run([sys.executable, "-P", "-c", RUN], env=env, capture_output=True,
                          text=True, check=True)
    return done.stdout.strip()


@pytest.mark.parametrize("isa", ["generic", "avx2", "avx512", "no-such-isa"])
def test_capped_instruction_set_gives_the_same_bits(isa):
    assert digest(isa) == digest(None)


def test_missing_numpy_is_named_on_import():
    code = ("import sys\nsys.modules['numpy'] = None\n"
            "try:\n    import tessavo\nexcept ImportError as e:\n    print(e.name)")
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          check=True)
    # NumPy's own error, not the compiled core's failure to bind it.
    assert done.stdout.strip() == "numpy"
