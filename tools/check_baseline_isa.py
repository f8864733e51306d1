"""Checks that a built module runs on any x86-64 processor (x86-64-v1).

Only functions chosen at run time, whose names say which instruction set
they need (avx2, avx512, fma), may use wider instructions. Needs the
unstripped module (the build tree's copy) and objdump.

    python tools/check_baseline_isa.py build/wheel/_core.cpython-311-x86_64-linux-gnu.so
"""

import re
import subprocess
import sys

# AVX and later are VEX/EVEX encoded: AT&T mnemonics with a "v" prefix, or
# ymm/zmm/mask registers. The rest need SSE4, SSSE3, POPCNT, BMI or MOVBE.
WIDER = re.compile(
    r"%[yz]mm\d|%k[0-7]\b|^v(?!err|erw)[a-z]|^(popcnt|lzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|"
    r"pdep|pext|rorx|sarx|shlx|shrx|mulx|movbe|crc32|pshufb|ptest|pblendvb|blendvp[sd]|"
    r"blendp[sd]|round[sp][sd]|pmulld|pmin[su][bdw]|pmax[su][bdw]|pextr[bdq]|pinsr[bdq]|"
    r"dpp[sd]|insertps|extractps|pcmpeqq|pcmpgtq|packusdw|pmov[sz]x|phadd|phsub|palignr|"
    r"pabs[bdw]|pmaddubsw|pmulhrsw|psign[bdw])\b")
CHOSEN_AT_RUN_TIME = re.compile(r"avx|fma", re.IGNORECASE)
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")
INSTRUCTION = re.compile(r"^\s+[0-9a-f]+:\s+(\S+)\s*(.*)$")


def offending_functions(path: str) -> dict[str, str]:
    listing = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", path],
                             capture_output=True, text=True, check=True).stdout
    found: dict[str, str] = {}
    function = "?"
    for line in listing.splitlines():
        if m := FUNCTION.match(line):
            function = m.group(1)
        elif (m := INSTRUCTION.match(line)) and function not in found:
            mnemonic, operands = m.groups()
            if WIDER.search(mnemonic) or WIDER.search(operands):
                if not CHOSEN_AT_RUN_TIME.search(function):
                    found[function] = f"{mnemonic} {operands}"
    return found


def main() -> int:
    failed = False
    for path in sys.argv[1:]:
        found = offending_functions(path)
        for function, instruction in found.items():
            print(f"{path}: {function}: {instruction}")
        failed |= bool(found)
        if not found:
            print(f"{path}: x86-64-v1 outside the functions chosen at run time")
    return 1 if failed or len(sys.argv) < 2 else 0


if __name__ == "__main__":
    sys.exit(main())
