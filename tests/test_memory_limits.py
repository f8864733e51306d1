"""Requests larger than the memory a process can get end in MemoryError, at once."""
import subprocess
import sys
import textwrap

import pytest

# Each case runs under an address-space limit of what the interpreter uses
# plus 1 GiB: without the guard it would allocate several GiB (or be ended
# by the OOM killer where no limit is set).
PRELUDE = """
import resource, struct, numpy as np, tessavo
def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
limit = vm_size() + (1 << 30)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
def compiled(inputs=2, outputs=1):
    model = tessavo.Model(inputs, outputs)
    model.compile(loss="mse")
    return model
x, y = np.zeros((8, 2)), np.zeros((8, 1))
"""

# A 16-byte array seen as 20 million rows.
WIDE = "np.broadcast_to(np.zeros((1, {}), dtype=np.float64), (20_000_000, {}))"

CASES = {
    "model-size": "tessavo.Model(2, 1, size=40000)",
    "evolve-pop-size": "compiled().evolve(x, y, pop_size=1_000_000, epochs=1, verbose=0)",
    "func-evolve-pop-size": (
        "compiled().func_evolve(lambda g: np.zeros(len(g)), pop_size=1_000_000, epochs=1)"
    ),
    # 234 KiB of header and nodes declaring 19,500 nodes: 3.4 GiB of matrices.
    "load-declared-size": """
        n = 19500
        with open(sys.argv[1], "wb") as f:
            f.write(struct.pack("<iiiB", n, 1, 1, 0) + bytes(12 * n))
        tessavo.load(sys.argv[1])
        """,
    # Read as one flat block, x alone needs 1.28 GB.
    "evaluate-broadcast": f"compiled(8, 1).evaluate({WIDE.format(8, 8)}, {WIDE.format(1, 1)})",
    "evolve-broadcast": (
        f"compiled(8, 1).evolve({WIDE.format(8, 8)}, {WIDE.format(1, 1)}, epochs=1, verbose=0)"
    ),
    "predict-conversion": (
        "compiled(4, 4).predict(np.broadcast_to(np.zeros((1, 4), np.float32), (50_000_000, 4)))"
    ),
}


@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_oversized_requests_raise_memory_error(tmp_path, call):
    body = textwrap.indent(textwrap.dedent(call).strip(), "    ")
    code = f"{PRELUDE}import sys\ntry:\n{body}\nexcept MemoryError as error:\n    print('MemoryError', error)\n"
    result = subprocess.run(
        [sys.executable, "-P", "-c", code, str(tmp_path / "big.tv")],
        capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    # Refused by the guard before allocating, not by a failed allocation.
    assert result.stdout.startswith("MemoryError") and "can get only" in result.stdout, result.stdout
