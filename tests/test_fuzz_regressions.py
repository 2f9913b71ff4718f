"""Replays the fuzz regression inputs (tests/fuzz_corpus/), the examples and
the test data through the fuzz targets, built as stand-alone programs.

The programs are the libFuzzer targets of tools/fuzz/ compiled with
-DTARNWICK_FUZZ_STANDALONE (the `replay` build of native_builds.py, with
AddressSanitizer and UndefinedBehaviorSanitizer when the compiler links
them): each file is one input, and every invariant the targets check (token
list against the text, tree text shape, no exception) must hold for it. The
planted variants (tests/native/planted_core.cpp) show that the checks catch
faults.
"""

from __future__ import annotations

import glob
import os
import re
import subprocess

import pytest

from native_builds import build_environment, program

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(REPO, "tests", "fuzz_corpus")
EXAMPLES = os.path.join(REPO, "examples")
DATA = os.path.join(REPO, "tests", "data")


@pytest.fixture(scope="module")
def drivers() -> dict[str, str]:
    """The replay program of each target, and as TARGET-fake its planted variant."""
    drivers = {target + suffix: program("replay", f"fuzz_{target}_{variant}")
               for target in ("lexer", "parser") for suffix, variant in (("", "replay"), ("-fake", "planted"))}
    drivers["tree"] = program("replay", "fuzz_tree_replay")
    drivers["complete"] = program("replay", "fuzz_complete_replay")
    drivers["preprocessor"] = program("replay", "fuzz_preprocessor_replay")
    return drivers


def _run(exe: str, inputs: list[str], **env_extra: str) -> subprocess.CompletedProcess:
    # The programs bring their own sanitizer runtime.
    env = dict(build_environment(), **env_extra)
    # Leak detection of the driver's own process is wanted here, unless a
    # surrounding sanitizer run has already set its options.
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    return subprocess.run([exe, *inputs], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, errors="replace", timeout=600, env=env)


def _inputs() -> list[str]:
    return sorted(p for d in (CORPUS, EXAMPLES, DATA) for p in glob.glob(os.path.join(d, "*"))
                  if os.path.isfile(p))


@pytest.mark.parametrize("target", ["lexer", "parser", "tree", "complete", "preprocessor"])
def test_regression_inputs(drivers, target):
    inputs = _inputs()
    assert len(glob.glob(os.path.join(CORPUS, "*"))) >= 20
    proc = _run(drivers[target], inputs)
    output = proc.stdout + proc.stderr
    assert proc.returncode == 0, f"fuzz_{target} found a fault:\n{output[-6000:]}"
    match = re.search(r"^(\d+) inputs ran without a finding$", proc.stdout, re.M)
    assert match, output
    assert int(match.group(1)) == len(inputs)


# The checks themselves, on planted outputs for the input "x := 1;\nab".
SOURCE = "x := 1;\nab"
TOKENS = "identifier x 1:1\nsymbol := 1:3\nnumber 1 1:6\nsymbol ; 1:7\nidentifier ab 2:1\neof  2:3"
HEADER = r"# file_name=dir\\fuzz\tinput\r\n name=x.pas"
ROOT = "ntUnit line=1 col=1 end_line=1 end_col=2 kind=unit name=x source_positions=1:1,1:2"
CHILD = "  ntIdentifier line=2 col=1 end_line=2 end_col=3 name=ab source_positions=2:1,2:2,2:3"


PLANTED = [
    ("lexer", TOKENS, None),
    ("lexer", "THROW", "lex_to_serialized threw: planted fault"),
    ("lexer", TOKENS.replace("symbol ; 1:7\n", ""), "one line per token"),
    ("lexer", TOKENS + "\n", "one line per token"),
    ("lexer", TOKENS.replace("eof  2:3", "symbol ; 2:3"), 'starts_with(lines.back(), "eof ")'),
    ("lexer", TOKENS.replace("1:6", "1:5"), "position differs from tokenize()"),
    ("lexer", TOKENS.replace("2:3", "2:4"), "token position outside the text"),
    ("lexer", TOKENS.replace("1:1", "0:1"), "token position outside the text"),
    ("lexer", TOKENS.replace("1:3", "01:3"), "malformed LINE:COL"),
    ("lexer", TOKENS.replace("number", "numeral"), "unknown token kind"),
    ("lexer", TOKENS.replace("ab", "a\\\\b"), "value is not the token's text"),
    ("lexer", TOKENS.replace("ab", "a\\qb"), "starts no escape"),
    ("parser", "\n".join([HEADER, ROOT, "  value=a\\\\b", CHILD, "    value="]), None),
    ("parser", "THROW", "parse_to_serialized threw: planted fault"),
    ("parser", "\n".join([HEADER.replace(r"\t", "\t"), ROOT]), "header line"),
    ("parser", "\n".join([ROOT, HEADER]), "header line"),
    ("parser", HEADER, "no root node line"),
    ("parser", "\n".join([HEADER, ROOT]) + "\n", "line feed after the last line"),
    ("parser", "\n".join([HEADER, ROOT, "  " + CHILD]), "more than one level deeper"),
    ("parser", "\n".join([HEADER, ROOT, " " + CHILD]), "odd indentation"),
    ("parser", "\n".join([HEADER, ROOT, CHILD.strip()]), "a second node at depth 0"),
    ("parser", "\n".join([HEADER, ROOT, "value=x"]), "value line not one level below"),
    ("parser", "\n".join([HEADER, ROOT, "  value=x", "  value=y"]), "value line not right under"),
    ("parser", "\n".join([HEADER, ROOT, "  hello"]), "neither a node line nor a value line"),
    ("parser", "\n".join([HEADER, ROOT.replace("kind=unit name=x", "name=x kind=unit")]),
     "attribute keys out of order"),
    ("parser", "\n".join([HEADER, ROOT.replace("kind=unit", "colour=unit")]), "do not start with a known key"),
    ("parser", "\n".join([HEADER, ROOT.replace("kind=unit", "kind=unit file_name=y")]), "file_name item"),
    ("parser", "\n".join([HEADER, ROOT.replace("name=x", "name=x\ty")]), "raw tab"),
    ("parser", "\n".join([HEADER, ROOT.replace("ntUnit", "ntUnits")]), "unknown node kind"),
    ("parser", "\n".join([HEADER, ROOT.replace("line=1 col=1", "line=3 col=1")]), "node start outside the text"),
    ("parser", "\n".join([HEADER, ROOT.replace("line=1 col=1", "line=1 col=9")]), "node start outside the text"),
    ("parser", "\n".join([HEADER, ROOT.replace("end_line=1", "end_line=3")]), "end line past the last line"),
    ("parser", "\n".join([HEADER, ROOT.replace("end_col=2", "end_col=4294967296")]), "four positions"),
    ("parser", "\n".join([HEADER, ROOT.replace("1:1,1:2", "1:1,")]), "malformed source_positions"),
]


@pytest.mark.parametrize("target, output, message", PLANTED,
                         ids=[f"{t}-{m or 'well formed'}" for t, _, m in PLANTED])
def test_checks_catch_planted_faults(drivers, tmp_path, target, output, message):
    source = tmp_path / "input.pas"
    source.write_bytes(SOURCE.encode())
    proc = _run(drivers[target + "-fake"], [str(source)], TARNWICK_FAKE_OUTPUT=output)
    if message is None:
        assert proc.returncode == 0, proc.stderr
        assert "1 inputs ran without a finding" in proc.stdout
    else:
        assert proc.returncode != 0
        assert "fuzz invariant broken" in proc.stderr
        assert message in proc.stderr, proc.stderr
        assert str(source) in proc.stderr  # the report names the input
