"""The typed stubs of the tarnwick module, checked with mypy.

The stub package is checked twice when possible: from the source tree (its
parent directory put on the search path, where mypy finds `tarnwick-stubs` as
an installed stub package) and as installed beside the module by the wheel.
"""

import os
import site
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

SOURCE_STUBS = Path(__file__).resolve().parent.parent / "src"
STUB_PACKAGE = "tarnwick-stubs"

GOOD = """\
    import tarnwick

    def first_kinds(source: str) -> list[str]:
        lines = tarnwick.lex_to_serialized(source, "demo.pas").split("\\n")
        return [line.split(" ", 1)[0] for line in lines]

    def root_line(source: str, name: str) -> str:
        return tarnwick.parse_to_serialized(text=source, file_name=name).split("\\n")[1]

    def check() -> str:
        try:
            return tarnwick.lex_to_serialized(text="x", _file_name="f") + tarnwick.version()
        except tarnwick.PanicException as fault:
            raise RuntimeError("internal error") from fault

    fault: BaseException = tarnwick.PanicException("fault")
"""

# Each line is a mistake that the stubs must let mypy see.
BAD = """\
    import tarnwick

    count: int = tarnwick.version()
    tarnwick.lex_to_serialized("x")
    tarnwick.lex_to_serialized("x", file_name="f")
    tarnwick.parse_to_serialized(b"x", "f")
    tarnwick.parse_to_serialized("x", "f", "g")
    tarnwick.version(1)
    tarnwick.no_such_function()
    not_an_error: Exception = tarnwick.PanicException("fault")
    try:
        pass
    except tarnwick.PanicException as e:
        e.no_such_attribute
"""


def installed_stub_root():
    roots = [*site.getsitepackages(), site.getusersitepackages()]
    for root in roots:
        if (Path(root) / STUB_PACKAGE / "__init__.pyi").is_file():
            return Path(root)
    return None


def environment(stub_root):
    """The current environment, with only `stub_root` providing the stubs."""
    env = os.environ.copy()
    env.pop("MYPYPATH", None)
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p and not (Path(p) / STUB_PACKAGE).is_dir()]
    if stub_root is not None:
        paths.insert(0, str(stub_root))
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


@pytest.fixture(params=["source", "installed"])
def stub_env(request):
    if request.param == "source":
        return environment(SOURCE_STUBS)
    if installed_stub_root() is None:
        pytest.skip("no tarnwick-stubs installed in this interpreter")
    return environment(None)


def run_mypy(tmp_path, env, *args):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--hide-error-context", "--no-error-summary", *args],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )


def test_typed_example_passes(tmp_path, stub_env):
    (tmp_path / "example.py").write_text(textwrap.dedent(GOOD))
    result = run_mypy(tmp_path, stub_env, "example.py")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == ""


def test_type_errors_are_reported(tmp_path, stub_env):
    (tmp_path / "example.py").write_text(textwrap.dedent(BAD))
    result = run_mypy(tmp_path, stub_env, "example.py")
    assert result.returncode == 1, result.stdout + result.stderr
    found = [
        (int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
        for line in result.stdout.splitlines()
        if ": error: " in line
    ]
    assert found == [
        (3, "assignment"),  # version() is a str
        (4, "call-arg"),  # _file_name missing
        (5, "call-arg"),  # the lexer's second parameter is _file_name
        (6, "arg-type"),  # bytes for text
        (7, "call-arg"),  # three arguments
        (8, "call-arg"),  # version() takes none
        (9, "attr-defined"),  # not in the module
        (10, "assignment"),  # PanicException is not an Exception
        (14, "attr-defined"),
    ], result.stdout


def test_stubs_match_the_module(tmp_path):
    # stubtest imports the module and compares every name, parameter and base
    # class with the stubs.
    pytest.importorskip("tarnwick")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tarnwick"],
        cwd=tmp_path, env=environment(SOURCE_STUBS), capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# ---- tarnwick_tree ---------------------------------------------------------------

NATIVE_STUB = SOURCE_STUBS / "tarnwick_tree" / "_native.pyi"
KIND_TABLE = SOURCE_STUBS / "core" / "tree" / "node_kinds.def"


def stub_literal(name):
    """The strings of the `Literal[...]` type alias `name` of the stub."""
    import ast

    for statement in ast.parse(NATIVE_STUB.read_text(encoding="utf-8")).body:
        if isinstance(statement, ast.AnnAssign) and getattr(statement.target, "id", None) == name:
            return [element.value for element in statement.value.slice.elts]
    raise AssertionError(f"{name} is not in the stub")


def test_node_kind_literals_list_the_kind_table():
    import re

    table = re.findall(r"^NODE_KIND\((\w+)\)", KIND_TABLE.read_text(encoding="utf-8"), re.M)
    assert len(table) > 100
    assert stub_literal("NodeKind") == ["nt" + name for name in table]
    assert stub_literal("ShortNodeKind") == table


TREE_TYPED = """\
    import tarnwick_tree

    tree = tarnwick_tree.parse("unit U; end.")
    kind: tarnwick_tree.NodeKind = tree.root.kind
    short: tarnwick_tree.ShortNodeKind = "Method"
    methods = tree.root.find_all("ntMethod") + tree.find_all(short, name="P")
    start, end = tree.root.span
    doc: str = tree.root.doc or tree.root.text
    lines = [t.line for t in tree.root.tokens + tree.root.comments + tree.comments]
    parents = [a.kind for a in tree.root.ancestors()]
    tree.find_all("ntMetod")
    tree.root.find("Metod")
    count: int = tree.root.text
    tree.root.doc.strip()
    tree.root.span = (0, 0)
"""


def test_tree_stubs_catch_a_mistyped_kind(tmp_path):
    (tmp_path / "example.py").write_text(textwrap.dedent(TREE_TYPED))
    env = dict(os.environ, MYPYPATH=str(SOURCE_STUBS))
    result = run_mypy(tmp_path, env, "example.py")
    found = [(int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
             for line in result.stdout.splitlines() if ": error: " in line]
    assert found == [
        (11, "arg-type"),  # no kind ntMetod
        (12, "arg-type"),
        (13, "assignment"),  # text is a str
        (14, "union-attr"),  # doc may be None
        (15, "misc"),  # span is read-only
    ], result.stdout + result.stderr


def test_tree_stubs_match_the_module(tmp_path):
    pytest.importorskip("tarnwick_tree")
    # The kind aliases are types only: at run time a kind is a str.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("tarnwick_tree._native.NodeKind\ntarnwick_tree._native.ShortNodeKind\n")
    env = dict(environment(SOURCE_STUBS), MYPYPATH=str(SOURCE_STUBS))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tarnwick_tree._native", "--allowlist", str(allowlist)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
