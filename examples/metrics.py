"""Size and complexity of every routine with a body, as CSV.

    python examples/metrics.py PATH... [--out metrics.csv]

One row per routine that has a body (`Method` nodes with a `Statements`
child: routines of a unit or program, methods of classes and records,
nested routines), in the order of the source:

    file,routine,first_line,last_line,lines,complexity,depth

- routine: its name as written in its heading, qualified (`TFoo.Bar`).
- first_line, last_line, lines: the routine's extent, from its first token
  (its attributes, `class` or routine word) to the `;` after its `end`.
- complexity (cyclomatic): 1 + one per decision point of its statements:
  each `if`, each arm of a `case` (its `else` is not counted), each `for`,
  `while` and `repeat`, each `on` handler of an `except`, and each `and` and
  `or` operator anywhere in the condition of an `if`, `while` or `repeat`
  (boolean or bitwise alike: the tree does not know types).
- depth: how many structured statements (`if`, `case`, `for`, `while`,
  `repeat`, `with`, `try`) enclose one another at the deepest point; 0 for
  straight-line code. `begin ... end` blocks add nothing, and an `if` that is
  the whole `else` branch of another (`else if`) stands at its depth.

A nested routine has its own row and adds nothing to the routine around it.
Anonymous methods have no row: their statements count toward the routine
they are written in. The main block of a program is no routine.

One pass over the tree picks out the nodes of the few kinds that matter;
their spans (`line`, `col`, `end_line`, `end_col`, which nest as the
constructs do) then tell which body and which condition each lies in and
how the statements nest (`score`, which knows nothing of node kinds).
"""

from __future__ import annotations

import argparse
import csv
import sys
from bisect import bisect_right
from contextlib import nullcontext
from typing import NamedTuple, Sequence, TypeVar

import tarnwick_tree
from pascal_files import parsed

DECISIONS = ("ntIf", "ntCaseLabels", "ntFor", "ntWhile", "ntRepeat", "ntExceptionHandler")
STRUCTURED = ("ntIf", "ntCase", "ntFor", "ntWhile", "ntRepeat", "ntWith", "ntTry")
KINDS = frozenset((*DECISIONS, *STRUCTURED, "ntAnd", "ntOr", "ntMethod"))
P = TypeVar("P", tuple[int, int], int)  # a position in the text: (line, col), or an offset


class Routine(NamedTuple):
    file: str
    routine: str
    first_line: int
    last_line: int
    lines: int
    complexity: int
    depth: int


def score(bodies: list[tuple[P, P]], decisions: list[P], conditions: list[tuple[P, P]], operators: list[P],
          structured: list[tuple[P, P, bool]]) -> list[tuple[int, int]]:
    """Complexity and depth of each routine body (spans apart from one
    another) from where the decision points, conditions, `and`/`or` operators
    and structured statements (with their end, and whether an `else if`) lie."""
    order = sorted(range(len(bodies)), key=lambda i: bodies[i])
    spans = [bodies[i] for i in order]
    tests: list[tuple[P, P]] = []  # the conditions not inside another one
    for test in sorted(conditions):
        if not tests or test[0] >= tests[-1][1]:
            tests.append(test)

    def inside(spans: list[tuple[P, P]], starts: list[P], at: P) -> int:
        """The index of the span that holds `at` (spans sorted and apart), or -1."""
        i = bisect_right(starts, at) - 1
        return i if i >= 0 and at < spans[i][1] else -1

    complexity, depth = [1] * len(bodies), [0] * len(bodies)
    starts, test_starts = [start for start, _ in spans], [start for start, _ in tests]
    for at in decisions + [at for at in operators if inside(tests, test_starts, at) >= 0]:
        if (i := inside(spans, starts, at)) >= 0:
            complexity[order[i]] += 1
    around: list[tuple[P, int]] = []  # end and depth of each statement around the current one
    for start, end, chained in sorted(structured):
        if (i := inside(spans, starts, start)) >= 0:
            while around and around[-1][0] <= start:
                around.pop()
            around.append((end, (around[-1][1] if around else 0) + (not chained)))
            depth[order[i]] = max(depth[order[i]], around[-1][1])
    return list(zip(complexity, depth))


def span(node: tarnwick_tree.Node) -> tuple[tuple[int, int], tuple[int, int]]:
    return (node.line, node.col), (node.end_line, node.end_col)


def else_if(node: tarnwick_tree.Node) -> bool:
    """Whether an `if` is the whole `else` branch of another `if`."""
    branch = node.parent
    return (branch is not None and branch.kind == "ntElse" and len(branch.children) == 1
            and branch.parent is not None and branch.parent.kind == "ntIf")


def routines(file: str, tree: tarnwick_tree.Tree) -> list[Routine]:
    found: dict[str, list[tarnwick_tree.Node]] = {kind: [] for kind in KINDS}
    for node in tree:  # one pass over the tree picks out the kinds that matter
        if (kind := node.kind) in found:
            found[kind].append(node)
    methods = [m for m in found["ntMethod"] if m.children and m.children[-1].kind == "ntStatements"]
    tests = [span(n.children[0]) for kind in ("ntIf", "ntWhile") for n in found[kind] if n.children]
    tests += [span(n.children[-1]) for n in found["ntRepeat"] if n.children]
    scores = score([span(m.children[-1]) for m in methods],
                   [(n.line, n.col) for kind in DECISIONS for n in found[kind]], tests,
                   [(n.line, n.col) for kind in ("ntAnd", "ntOr") for n in found[kind]],
                   [(*span(n), kind == "ntIf" and else_if(n)) for kind in STRUCTURED for n in found[kind]])
    return [Routine(file, m.get("name") or "", m.line, m.end_line, m.end_line - m.line + 1, complexity, depth)
            for m, (complexity, depth) in zip(methods, scores)]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Lines, cyclomatic complexity and nesting depth per routine, as CSV.")
    parser.add_argument("paths", nargs="+", metavar="PATH", help="Pascal files or folders")
    parser.add_argument("--out", metavar="FILE", help="write the CSV to FILE instead of standard output")
    args = parser.parse_args(argv)
    with open(args.out, "w", newline="", encoding="utf-8") if args.out else nullcontext(sys.stdout) as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(Routine._fields)
        for file, tree in parsed(args.paths):
            writer.writerows(routines(file, tree))
    return 0


if __name__ == "__main__":
    sys.exit(main())
