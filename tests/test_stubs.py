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
