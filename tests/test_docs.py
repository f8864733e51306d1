import contextlib
import importlib
import io
import re
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# A block may be preceded by <!-- requires: module --> (skipped where that
# optional module is missing) or <!-- skip: reason -->.
BLOCK = re.compile(r"(?:<!-- (requires|skip): ([^>]*?) -->\n)?```(\w*)\n(.*?)^```", re.S | re.M)
# Its blocks are signatures, written from the stubs (test_api checks it).
REFERENCE = ROOT / "docs" / "api.md"
PAGES = [ROOT / "README.md"] + sorted(p for p in (ROOT / "docs").glob("*.md") if p != REFERENCE)


def installed(module):
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def python_blocks(page):
    return [(kind, arg, code) for kind, arg, lang, code in BLOCK.findall(page.read_text())
            if lang == "python"]


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_python_blocks_run_in_order(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # Not "__main__": a block's `if __name__ == "__main__":` part starts worker
    # processes, which would import the test runner.
    namespace = {"__name__": "docs_example"}
    for kind, arg, code in python_blocks(page):
        if kind == "skip" or (kind == "requires" and not installed(arg)):
            continue
        with contextlib.redirect_stdout(io.StringIO()):
            exec(compile(code, f"{page.name} block", "exec"), namespace)


@pytest.mark.parametrize("page", PAGES + [ROOT / "CONTRIBUTING.md"],
                         ids=lambda p: p.relative_to(ROOT).as_posix())
def test_relative_links_exist(page):
    for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", page.read_text()):
        if "://" not in target and not target.startswith("mailto:"):
            assert (page.parent / target).exists(), f"{page.name} links to missing {target}"


def test_supported_versions_agree_with_the_metadata():
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text())
    project = settings["project"]
    pythons = sorted((c.rsplit(" ", 1)[1] for c in project["classifiers"]
                      if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)),
                     key=lambda v: int(v.split(".")[1]))
    assert project["requires-python"] == f">={pythons[0]}"
    assert settings["tool"]["cibuildwheel"]["build"] == [f"cp3{v[2:]}-*" for v in pythons]
    numpy = next(d for d in project["dependencies"] if d.startswith("numpy"))
    stated = f"CPython {pythons[0]} to {pythons[-1]}, NumPy {numpy.split('>=')[1]} to 2.x"
    for page in ROOT / "README.md", ROOT / "docs" / "index.md":
        assert stated in " ".join(page.read_text().split()), page.name
