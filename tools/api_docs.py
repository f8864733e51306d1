"""Write docs/api.md from the package's type stubs, or check that it is current.

    python tools/api_docs.py           rewrite docs/api.md
    python tools/api_docs.py --check   exit 1 if docs/api.md differs from the stubs

The stubs are the one source of the reference: signatures, types and
parameter documentation are written there and only copied here.
"""

from __future__ import annotations

import argparse
import ast
import inspect
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PAGE = ROOT / "docs" / "api.md"
# Public modules in the order the page shows them, with their stub files.
MODULES = [
    ("tessavo", ROOT / "tessavo" / "__init__.pyi"),
    ("tessavo.optimizers", ROOT / "tessavo" / "optimizers.pyi"),
    ("tessavo.callbacks", ROOT / "tessavo" / "callbacks.pyi"),
    ("tessavo.utils", ROOT / "tessavo" / "utils.pyi"),
    ("tessavo.sklearn", ROOT / "tessavo" / "sklearn.pyi"),
    ("tessavo.gym", ROOT / "tessavo" / "gym.pyi"),
]
SECTIONS = ("Args", "Returns", "Raises")

Function = ast.FunctionDef | ast.AsyncFunctionDef


def is_public(name: str) -> bool:
    return not name.startswith("_") or name == "__version__"


def parameters(args: ast.arguments, skip_self: bool) -> list[str]:
    """Each parameter as written in the stub ("name: type = default"), with / and *."""
    def one(arg: ast.arg, default: ast.expr | None) -> str:
        text = arg.arg + (f": {ast.unparse(arg.annotation)}" if arg.annotation else "")
        return text + (f" = {ast.unparse(default)}" if default is not None else "")

    positional = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults))
    defaults += args.defaults
    out = [one(a, d) for a, d in zip(positional, defaults)]
    if args.posonlyargs:
        out.insert(len(args.posonlyargs), "/")
    if args.vararg:
        out.append("*" + one(args.vararg, None))
    elif args.kwonlyargs:
        out.append("*")
    out += [one(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        out.append("**" + one(args.kwarg, None))
    return out[1:] if skip_self else out


def signature(node: Function, owner: str | None) -> str:
    """The call as a user writes it: no self, defaults and types as stubbed."""
    params = parameters(node.args, skip_self=owner is not None)
    if params == ["/"]:
        params = []
    name = owner if node.name == "__init__" and owner else node.name
    returns = ""
    if node.name != "__init__" and node.returns is not None:
        returns = f" -> {ast.unparse(node.returns)}"
    one_line = f"{name}({', '.join(params)}){returns}"
    if len(one_line) <= 88:
        return one_line
    return f"{name}(\n" + "".join(f"    {p},\n" for p in params) + f"){returns}"


def render_docstring(doc: str) -> str:
    """Paragraphs as text; Args, Returns and Raises sections as lists."""
    lines = inspect.cleandoc(doc).splitlines()
    out: list[str] = []
    section: str | None = None
    for line in lines:
        header = line.rstrip(":")
        if line.endswith(":") and header in SECTIONS:
            section = header
            out += ["", f"**{header}**", ""]
            continue
        if section is None or not line.strip():
            if section is not None and not line.strip():
                section = None
            out.append(line)
            continue
        text = line.strip()
        if line.startswith("    ") and not line.startswith("        "):
            if section == "Returns":
                out.append(text)
                continue
            name, _, rest = text.partition(": ")
            out.append(f"- `{name}`: {rest}")
        else:
            out[-1] += " " + text
    return "\n".join(out).strip() + "\n"


def docstring(node: Function | ast.ClassDef) -> str:
    doc = ast.get_docstring(node, clean=False)
    return render_docstring(doc) if doc else ""


def render_function(node: Function, owner: str | None, qualified: str,
                    level: str = "###") -> list[str]:
    return [f"{level} `{qualified}`", "", "```python", signature(node, owner), "```", "", docstring(node)]


def render_property(getter: Function, writable: bool, qualified: str) -> list[str]:
    kind = "read-write" if writable else "read-only"
    returns = ast.unparse(getter.returns) if getter.returns else "Any"
    return [f"### `{qualified}`", "", f"Property ({kind}): `{returns}`", "", docstring(getter)]


def decorators(node: Function) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def render_attributes(node: ast.ClassDef) -> list[str]:
    """Documented attributes get a section each; the others one list."""
    out: list[str] = []
    plain: list[str] = []
    body = node.body
    for i, item in enumerate(body):
        if not isinstance(item, ast.AnnAssign) or not isinstance(item.target, ast.Name):
            continue
        name, kind = item.target.id, ast.unparse(item.annotation)
        following = body[i + 1] if i + 1 < len(body) else None
        if (isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                and isinstance(following.value.value, str)):
            text = render_docstring(following.value.value)
            out += [f"### `{node.name}.{name}`", "", f"Attribute: `{kind}`", "", text]
        elif is_public(name):
            plain.append(f"`{name}: {kind}`")
    if plain:
        out[:0] = ["Attributes: " + ", ".join(plain) + ".", ""]
    return out


def render_class(node: ast.ClassDef, module: str) -> list[str]:
    qualified = f"{module}.{node.name}"
    out = [f"## `{qualified}`", ""]
    init = next((n for n in node.body if isinstance(n, Function) and n.name == "__init__"), None)
    if init is not None:
        out += ["```python", signature(init, node.name), "```", ""]
    out.append(docstring(node))
    out += render_attributes(node)
    members = [n for n in node.body if isinstance(n, Function) and is_public(n.name)]
    setters = {n.name for n in members if any(d.endswith(".setter") for d in decorators(n))}
    for member in members:
        marks = decorators(member)
        if any(d.endswith(".setter") for d in marks):
            continue
        name = f"{node.name}.{member.name}"
        if "property" in marks:
            out += render_property(member, member.name in setters, name)
        else:
            out += render_function(member, node.name, name)
    return out


def render() -> str:
    out = [
        "# API reference",
        "",
        "<!-- Generated by tools/api_docs.py from the type stubs (tessavo/*.pyi): "
        "edit those and run the tool. -->",
        "",
        "Every class and function of the package, with the parameter types that",
        "type checkers see. Names that start with `_` are type aliases of the stubs,",
        "listed under [Types](#types).",
        "",
    ]
    aliases: list[str] = []
    for module, path in MODULES:
        tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
        for node in tree.body:
            if isinstance(node, ast.ClassDef) and is_public(node.name):
                out += render_class(node, module)
            elif isinstance(node, Function) and is_public(node.name):
                out += render_function(node, None, f"{module}.{node.name}", level="##")
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                if is_public(node.target.id):
                    name = f"{module}.{node.target.id}"
                    out += [f"## `{name}`", "", f"`{ast.unparse(node.annotation)}`", ""]
            elif isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
                name = node.targets[0].id
                if name.startswith("_") and name != "__all__":
                    aliases.append(f"{name} = {ast.unparse(node.value)}")
            elif isinstance(node, ast.ClassDef):
                fields = [ast.unparse(n) for n in node.body if isinstance(n, ast.AnnAssign)]
                aliases.append(f"class {node.name}(TypedDict):  # " + ", ".join(fields))
    out += ["## Types", "", "```python", *aliases, "```", ""]
    text = "\n".join(out)
    while "\n\n\n" in text:
        text = text.replace("\n\n\n", "\n\n")
    return text.rstrip("\n") + "\n"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Write or check docs/api.md.")
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    options = parser.parse_args(argv)
    text = render()
    if options.check:
        current = PAGE.read_text(encoding="utf-8") if PAGE.exists() else ""
        if current != text:
            print(f"{PAGE.relative_to(ROOT)} differs from the stubs: run python tools/api_docs.py")
            return 1
        return 0
    PAGE.parent.mkdir(exist_ok=True)
    PAGE.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
