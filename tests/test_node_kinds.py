"""docs/node-kinds.md holds: every example gives its kind in the grammars its
row marks, the page covers the node kind table, and over the Delphi corpus
(when present) no grammar produces a kind the page does not mark for it."""

import os
import re
from pathlib import Path

import pytest

import tarnwick_tree

ROOT = Path(__file__).resolve().parent.parent
PAGE = (ROOT / "docs" / "node-kinds.md").read_text(encoding="utf-8")
GRAMMARS = ("specified", "complete")
ROW = re.compile(r"^\| `(\w+)` \| (yes)? \| (yes)? \| `(.*)` \|$", re.M)
ROWS = [(m[1], {g for g, mark in zip(GRAMMARS, (m[2], m[3])) if mark}, m[4].replace("\\|", "|"))
        for m in ROW.finditer(PAGE)]
UNUSED = re.findall(r"`(\w+)`", PAGE.split("Kinds of the model that neither grammar produces:")[1].split(".")[0])
TABLE = re.findall(r"^NODE_KIND\((\w+)\)", (ROOT / "src/core/tree/node_kinds.def").read_text(), re.M)
WHOLE = re.compile(r"(?i)(unit|program|library|package)\b")
DECLARATION = re.compile(r"(?i)(type|const|var|label|uses|exports|procedure|function)\b")


def as_file(example):
    if WHOLE.match(example):
        return example
    if DECLARATION.match(example):
        return f"program P; {example} begin end."
    return f"program P; begin {example} end."


def kinds(text, grammar):
    return {n.kind[2:] for n in tarnwick_tree.walk(tarnwick_tree.parse(text, grammar=grammar).root)}


def test_the_page_covers_the_kind_table():
    assert len(ROWS) > 100 and sorted([k for k, _, _ in ROWS] + UNUSED) == sorted(TABLE)
    assert all(marks for _, marks, _ in ROWS)


@pytest.mark.parametrize("kind,grammars,example", ROWS, ids=[k for k, _, _ in ROWS])
def test_example_gives_its_kind(kind, grammars, example):
    for grammar in grammars:
        assert kind in kinds(as_file(example), grammar), grammar


def test_corpus_kinds_are_marked():
    corpus = Path(os.environ.get("TARNWICK_DELPHI_CORPUS", ROOT.parent / "shared" / "corpus" / "delphi"))
    if not corpus.is_dir():
        pytest.skip(f"{corpus} is not there")
    marked = {g: {k for k, marks, _ in ROWS if g in marks} for g in GRAMMARS}
    seen = {g: set() for g in GRAMMARS}
    for path in sorted(corpus.rglob("*.pas"))[::7]:
        text = path.read_bytes().decode("utf-8", "replace").removeprefix("\ufeff")
        for grammar in GRAMMARS:
            seen[grammar] |= kinds(text, grammar)
    for grammar in GRAMMARS:
        assert seen[grammar] <= marked[grammar], grammar
