"""Runs the native test drivers (tests/native/core_tests.cpp and
preprocessor_tests.cpp, CMake targets of the `native` build in
native_builds.py): node arena and shared subtrees, tree text writer and its
measure, the grammar's own stack and its depth per level, parser cursor and
text helpers, and the million-level tree on a small stack; the preprocessor;
and the profiling driver of the core, whose totals must agree with the
module's outputs."""

from __future__ import annotations

import re
import subprocess
import sys

import pytest

from native_builds import program


@pytest.fixture(scope="module")
def core_tests_exe() -> str:
    return program("native", "core_tests")


def test_core_tests(core_tests_exe):
    proc = subprocess.run([core_tests_exe], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=900)
    output = proc.stdout + proc.stderr
    assert proc.returncode == 0, f"core_tests exited with {proc.returncode}:\n{output}"
    summary = proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else ""
    match = re.fullmatch(r"(\d+) passed, (\d+) failed", summary)
    assert match, f"unexpected summary line {summary!r}:\n{output}"
    assert int(match.group(2)) == 0, output
    # The driver holds several hundred checks; far fewer means some were skipped.
    assert int(match.group(1)) >= 500, output


@pytest.fixture(scope="module")
def preprocessor_tests_exe() -> str:
    return program("native", "preprocessor_tests")


def test_preprocessor_tests(preprocessor_tests_exe):
    """tests/native/preprocessor_tests.cpp: directives, expressions, includes
    from memory, unbalanced and malformed directives, targets, decoding, and
    random nestings and expressions against models of them."""
    proc = subprocess.run([preprocessor_tests_exe], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=600)
    output = proc.stdout + proc.stderr
    match = re.search(r"(\d+) passed, (\d+) failed\s*$", proc.stdout)
    assert proc.returncode == 0 and match, f"preprocessor_tests exited with {proc.returncode}:\n{output}"
    assert int(match.group(2)) == 0 and int(match.group(1)) >= 300, output


def test_profile_driver_agrees_with_the_module(tmp_path):
    import tarnwick

    sources = {"a.pas": "unit a; interface\nconst s = 'x\ty'; {\\ c}\nimplementation\nend.\n",
               "b.pas": "program b; begin writeln('\u00e4') end.", "c.pas": ""}
    for name, text in sources.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    listing = "\n".join(str(tmp_path / n) for n in sources) + "\n"
    expected = {
        "tree": sum(len(tarnwick.parse_to_serialized(t, "").encode()) for t in sources.values()),
        "tokens": sum(len(tarnwick.lex_to_serialized(t, "").encode()) for t in sources.values()),
    }
    for mode, total in expected.items():
        proc = subprocess.run([program("native", "profile_driver"), mode, "1"], input=listing,
                              stdout=subprocess.PIPE, text=True, timeout=60, check=True)
        assert re.search(rf"\b{total} bytes out$", proc.stdout.strip()), (mode, total, proc.stdout)


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
