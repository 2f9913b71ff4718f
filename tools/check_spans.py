"""Span check: do the source views of every node agree with the source?

    python tools/check_spans.py DIR... [--grammar complete|specified|both] [-j N]

For every Pascal file under the directories (decoded as the command line
decodes files) and each grammar, every node of the tree is checked:

- `node.text == tree.source[start:end]` for `(start, end) = node.span`;
- `node.tokens` are exactly the tokens of `tarnwick_tree.tokens(source)`
  that start inside the span (the positions turned into indices of the
  source here, from its line feeds, independently of the tree), and they
  are the tokens that start in the node's extent, whole;
- the span cuts no token and holds no blank at either end: it starts at the
  start of its first token, its first and last tokens are code (no comment
  or directive), and the text of the span, lexed on its own,
  gives the same tokens (kinds, values, and the positions moved by the
  span's start).

It prints, per grammar, the files, the nodes checked, those without a
position, those of an empty span (a node of no token: the unit of a file
that holds only comments), those whose span is narrower than their extent
(blanks or comments at its ends that the span leaves out) or wider (an
extent that ends inside a token), and the mismatches, with the first few.
Exits 1 when there is a mismatch.
"""

from __future__ import annotations

import argparse
import bisect
import os
import sys
from dataclasses import dataclass, field
from typing import Sequence

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tarnwick_tree  # noqa: E402
from census import pascal_files, read_source, run_jobs  # noqa: E402

GRAMMARS = ("complete", "specified")


@dataclass
class Counts:
    files: int = 0
    nodes: int = 0
    no_position: int = 0
    empty: int = 0
    narrower: int = 0
    wider: int = 0
    mismatches: int = 0
    examples: list[str] = field(default_factory=list)
    unlike: list[str] = field(default_factory=list)  # spans that are not the extent

    def add(self, other: Counts) -> None:
        self.files += other.files
        self.nodes += other.nodes
        self.no_position += other.no_position
        self.empty += other.empty
        self.narrower += other.narrower
        self.wider += other.wider
        self.mismatches += other.mismatches
        self.examples += other.examples[: max(0, 10 - len(self.examples))]
        self.unlike += other.unlike[: max(0, 10 - len(self.unlike))]


def line_starts(text: str) -> list[int]:
    """The index of the start of each line (lines end at line feeds, as the
    lexer counts them)."""
    starts = [0]
    at = text.find("\n")
    while at >= 0:
        starts.append(at + 1)
        at = text.find("\n", at + 1)
    return starts


def check_tree(tree: tarnwick_tree.Tree, name: str = "") -> Counts:
    """The checks of every node of a tree parsed from its source."""
    text = tree.source
    assert text is not None
    counts = Counts(files=1)
    lines = line_starts(text)
    tokens = [t for t in tarnwick_tree.tokens(text) if t.kind != "eof"]
    starts = [lines[t.line - 1] + t.col - 1 for t in tokens]

    def mismatch(node: tarnwick_tree.Node, what: str) -> None:
        counts.mismatches += 1
        if len(counts.examples) < 10:
            counts.examples.append(f"{name}:{node.line}:{node.col}: {node.kind} {what}")

    for node in tree:
        counts.nodes += 1
        start, end = node.span
        piece = text[start:end]
        if node.text != piece:
            mismatch(node, "text is not the source of its span")
        got = node.tokens
        if node.extent[0] == 0:
            counts.no_position += 1
            if start != end or got:
                mismatch(node, "holds no position but has a span or tokens")
            continue
        line, col, end_line, end_col = node.extent
        low, high = lines[line - 1] + col - 1, lines[end_line - 1] + end_col - 1
        first, last = bisect.bisect_left(starts, start), bisect.bisect_left(starts, end)
        if got != tokens[first:last]:
            mismatch(node, "tokens are not those of the source in its span")
            continue
        # The span holds the tokens that start in the extent, whole.
        if start < low or (got and starts[last - 1] >= high):
            mismatch(node, "span is not the tokens of its extent")
        elif (start, end) != (low, high):
            counts.narrower += end < high or start > low
            counts.wider += end > high
            if len(counts.unlike) < 10:
                counts.unlike.append(f"{name}:{node.line}:{node.col}: {node.kind} extent "
                                     f"{text[low:high][-30:]!r}, span {piece[-30:]!r}")
        if start == end and not got:
            counts.empty += 1  # a node of no token (the unit of a file of comments)
            continue
        if not got or starts[first] != start or piece != piece.strip(" \t\r\n") or \
                not all(t.kind not in ("comment", "directive") for t in (got[0], got[-1])):
            mismatch(node, "span does not run from a token of code to a token of code")
            continue
        # The span's text on its own: a span that cuts a token or a comment
        # lexes differently.
        line0, col0 = got[0].line, got[0].col
        alone = [
            (t.kind, t.value, t.line + line0 - 1, t.col + col0 - 1 if t.line == 1 else t.col)
            for t in tarnwick_tree.tokens(piece)
            if t.kind != "eof"
        ]
        if alone != [(t.kind, t.value, t.line, t.col) for t in got]:
            mismatch(node, "span's text lexes to other tokens")
    return counts


def check_file(job: tuple[str, str]) -> Counts:
    path, grammar = job
    try:
        text = read_source(path)
    except (OSError, ValueError):
        return Counts()
    return check_tree(tarnwick_tree.parse(text, path, grammar=grammar), path)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+")
    parser.add_argument("--grammar", choices=[*GRAMMARS, "both"], default="both")
    parser.add_argument("-j", type=int, default=1, help="worker processes")
    parser.add_argument("--unlike", action="store_true",
                        help="show the first spans that are not their node's extent")
    args = parser.parse_args(argv)
    grammars = GRAMMARS if args.grammar == "both" else (args.grammar,)
    files = [f for root in args.paths for f in pascal_files(root)]
    failed = False
    for grammar in grammars:
        total = Counts()
        for counts in run_jobs(check_file, [(f, grammar) for f in files], args.j):
            total.add(counts)
        print(f"{grammar}: {total.files} files, {total.nodes} nodes checked, "
              f"{total.no_position} without a position, "
              f"{total.empty} with an empty span, spans narrower than the extent {total.narrower}, "
              f"wider {total.wider}, {total.mismatches} mismatches")
        for example in total.examples:
            print(f"  {example}")
        for example in total.unlike if args.unlike else []:
            print(f"  unlike its extent: {example}")
        failed = failed or total.mismatches > 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
