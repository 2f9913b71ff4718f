"""The committed Unicode tables are what the generator makes from the database files."""

import difflib
import os
import subprocess
import sys

import pytest

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UCD_DIR = "/usr/share/unicode"
TABLES = os.path.join(REPO_ROOT, "src", "core", "unicode", "unicode_tables.inc")


@pytest.mark.skipif(not os.path.exists(os.path.join(UCD_DIR, "UnicodeData.txt")),
                    reason="Unicode Character Database files not installed")
def test_committed_tables_match_generator(tmp_path):
    out = tmp_path / "unicode_tables.inc"
    subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "gen_unicode.py"),
                    "--ucd", UCD_DIR, "--output", str(out)], check=True)
    generated = out.read_bytes()
    with open(TABLES, "rb") as f:
        committed = f.read()
    if generated != committed:
        diff = difflib.unified_diff(
            committed.decode("utf-8", "replace").splitlines(),
            generated.decode("utf-8", "replace").splitlines(),
            "committed", "generated", lineterm="", n=1)
        pytest.fail("unicode_tables.inc differs from the generator's output "
                    "(run python tools/gen_unicode.py):\n" + "\n".join(list(diff)[:40]))
