"""The routine metrics of examples/metrics.py computed on tree-sitter-pascal's
tree, for bench/bench.py to time the two side by side.

Both find the nodes that matter natively and leave the rest to the same
`metrics.score`, so the rule is one: tarnwick with `Tree.find_all` and node
extents in (line, col), tree-sitter with one `Query` and byte offsets. The
rule read off tree-sitter's node types: a routine with a body is a `defProc`
(its `header` a `declProc`, its `body` a `block`; nested routines are
`local` children of the `defProc`, apart from its body); decision points
are `if`/`ifElse`, each `caseCase` of a `case`, `for`/`foreach`, `while`,
`repeat`, `exceptionHandler`, and each `exprBinary` whose `operator` is
`kAnd` or `kOr` inside the `condition` of an `if`, `ifElse`, `while` or
`repeat`; structured statements are those and `case`, `with`, `try`; an
`if` that is the `else` of an `ifElse` is an `else if`. Names are the text
of the heading's `name` without blanks and type arguments (`TList<T>.Add`
gives `TList.Add`), as tarnwick writes them.
"""

from __future__ import annotations

import re
from typing import Any

from metrics import Routine, score

QUERY = """
(defProc body: (block)) @routine
[(if) (ifElse) (caseCase) (for) (foreach) (while) (repeat) (exceptionHandler)] @decision
(exprBinary operator: [(kAnd) (kOr)]) @operator
(if condition: (_) @condition)
(ifElse condition: (_) @condition)
(while condition: (_) @condition)
(repeat condition: (_) @condition)
[(if) (ifElse) (case) (for) (foreach) (while) (repeat) (with) (try)] @structured
(ifElse else: [(if) (ifElse)] @chained)
"""
_TYPE_ARGUMENTS = re.compile(r"<[^<>]*>")
_cursors: dict[int, Any] = {}


def cursor(language: Any) -> Any:
    """A query cursor over QUERY, made once per language."""
    import tree_sitter

    if id(language) not in _cursors:
        _cursors[id(language)] = tree_sitter.QueryCursor(tree_sitter.Query(language, QUERY))
    return _cursors[id(language)]


def name_of(header: Any) -> str:
    node = header.child_by_field_name("name")
    name = re.sub(r"\s+", "", node.text.decode("utf-8", "replace")) if node is not None else ""
    while (shorter := _TYPE_ARGUMENTS.sub("", name)) != name:
        name = shorter
    return name


def routines(file: str, tree: Any, language: Any) -> list[Routine]:
    """The rows of examples/metrics.py from a tree-sitter-pascal tree."""
    found = cursor(language).captures(tree.root_node)

    def of(name: str) -> list[Any]:
        return list(found.get(name, []))

    routines = sorted(of("routine"), key=lambda n: n.start_byte)
    chained = {(n.start_byte, n.end_byte) for n in of("chained")}
    scores = score([(b.start_byte, b.end_byte) for b in (r.child_by_field_name("body") for r in routines)],
                   [n.start_byte for n in of("decision")],
                   [(n.start_byte, n.end_byte) for n in of("condition")],
                   [n.start_byte for n in of("operator")],
                   [(n.start_byte, n.end_byte, (n.start_byte, n.end_byte) in chained) for n in of("structured")])
    rows = []
    for routine, (complexity, depth) in zip(routines, scores):
        first, last = routine.start_point.row + 1, routine.end_point.row + 1
        rows.append(Routine(file, name_of(routine.child_by_field_name("header")), first, last, last - first + 1,
                            complexity, depth))
    return rows
