"""Runs the native test driver (tests/native/core_tests.cpp, the CMake target
`core_tests` of the `native` build in native_builds.py): node arena and shared
subtrees, tree text writer and its measure, the grammar's own stack and its
depth per level, parser cursor and text helpers, and the million-level tree
on a small stack."""

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


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
