"""Routines of tarnwick's tree against tree-sitter-pascal's, on the files
where tree-sitter reports no ERROR or MISSING node.

    pip install ".[bench]"
    python tools/compare_tree_sitter.py DIR... [--grammar complete|specified|both]
                                       [--start attribute|class|word] [--show N] [-j N]

Each directory (or file) given is a corpus of its own; files are found and
decoded as by tools/census.py, and tree-sitter parses the UTF-8 bytes of the
decoded text. Files where tree-sitter's tree holds an ERROR or MISSING node
(`has_error` of its root) are counted and left out.

Routines in tree-sitter-pascal 0.11: a `declProc` is a routine heading
(a declaration in a class, record, interface or section, a forward or
external declaration) unless it is the `header` field of a `defProc`, a
routine with its body. The `name` field of the heading holds its name (an
`identifier`, a `genericDot` such as `TList<T>.Add`, a `genericTpl` such as
`Get<T>`, or an `operatorName`); its children start with the custom
attributes (`rttiAttributes`), then `kClass`, then the routine word
(`kProcedure`, `kFunction`, `kConstructor`, `kDestructor`, `kOperator`). A
node starts at its first child: at `[Test]` on the line above when there is
one, else at `class`, else at the routine word; a `defProc` ends with the
`;` after its `end`, a `declProc` with its last `;` (directives included).
Procedural types (`declProcRef`) and anonymous methods (`lambda`) are not
routines.

Routines in tarnwick's tree: the `Method` nodes. The two trees' routines
are paired by the position of their routine word (a Method's first source
position, or the word after it when that is `class`), so that a routine
whose name or lines disagree is still compared with its counterpart. Of
each pair:

- the name: the `name` attribute against tree-sitter's name text, both
  without blanks, `&` escapes and type arguments (`TList<T>.Add` and
  `Get<T: class>` are `TList.Add` and `Get`), in lower case (Pascal names
  are not case-sensitive);
- the first line, as `--start` says where a routine starts: `attribute` (the
  default) from its custom attribute list when it has one, as tree-sitter
  and the complete grammar start it (tarnwick: the first line of the node's
  extent, which holds its `Attributes`); `class` from its `class` or its
  routine word; `word` from its routine word;
- the last line: the last line of the node's extent in tarnwick (a
  specified tree's routine ends at its last statement, a complete tree's at
  its `;`), the end of the node in tree-sitter.

Printed per corpus and grammar: the files compared, the routines of each
tree and those in both, the share of those in both with the same name,
first line and last line (each, and all three), the share of all routines
(of either tree) that are in both with all three the same, the first line
under each `--start` convention, how the last lines differ, and the first
disagreements by file and line.
"""

from __future__ import annotations

import argparse
import collections
import os
import re
import sys
from dataclasses import dataclass, field
from typing import NamedTuple, Sequence

import tarnwick_tree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import census  # noqa: E402

ROUTINE_WORD_NODES = frozenset(("kProcedure", "kFunction", "kConstructor", "kDestructor", "kOperator"))
CONVENTIONS = ("attribute", "class", "word")


def tree_sitter_parser():
    """tree-sitter-pascal's parser, loaded as bench/bench.py loads it."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
    try:
        import bench
        return bench.tree_sitter_parser()
    except ImportError as e:
        raise SystemExit(f"compare_tree_sitter: {e} (pip install \"tree-sitter>=0.23\" \"tree-sitter-pascal>=0.11\")")


_TYPE_ARGUMENTS = re.compile(r"<[^<>]*>")


def normal_name(name: str) -> str:
    """A routine name as the comparison reads it: no blanks, no `&`, no type
    arguments, lower case."""
    name = re.sub(r"\s+", "", name).replace("&", "")
    while True:
        shorter = _TYPE_ARGUMENTS.sub("", name)
        if shorter == name:
            return name.lower()
        name = shorter


class Routine(NamedTuple):
    word: tuple[int, int]  # position of the routine word
    name: str  # normalised
    starts: tuple[int, int, int]  # first line under each convention (attribute, class, word)
    last: int


# ---------------------------------------------------------------------------
# tree-sitter's routines
# ---------------------------------------------------------------------------

_query = None


def tree_sitter_routines(tree, language, data: bytes) -> list[Routine]:
    """The routines of a tree-sitter tree: its `defProc` nodes and its
    `declProc` nodes that are not a `defProc`'s header."""
    global _query
    import tree_sitter

    if _query is None:
        _query = tree_sitter.Query(language, "(declProc) @routine")
    if hasattr(tree_sitter, "QueryCursor"):  # tree-sitter 0.25 on
        headings = tree_sitter.QueryCursor(_query).captures(tree.root_node).get("routine", [])
    else:
        headings = _query.captures(tree.root_node).get("routine", [])
    # Columns of tree-sitter are bytes; tarnwick's count code points.
    line_starts = [0] + [m.end() for m in re.finditer(b"\n", data)]

    def position(point) -> tuple[int, int]:
        start = line_starts[point.row]
        prefix = data[start:start + point.column]
        return point.row + 1, (len(prefix) if prefix.isascii() else len(prefix.decode("utf-8", "replace"))) + 1

    routines = []
    for heading in headings:
        parent = heading.parent
        node = parent if parent is not None and parent.type == "defProc" and parent.child_by_field_name(
            "header") == heading else heading
        word = class_word = None
        for child in heading.children:
            if child.type == "kClass":
                class_word = child
            elif child.type in ROUTINE_WORD_NODES:
                word = child
                break
        if word is None:
            continue
        name = heading.child_by_field_name("name")
        first_class = (class_word or word).start_point.row + 1
        routines.append(Routine(
            position(word.start_point),
            normal_name(name.text.decode("utf-8", "replace")) if name is not None else "",
            (node.start_point.row + 1, first_class, word.start_point.row + 1),
            node.end_point.row + 1))
    return sorted(routines)


# ---------------------------------------------------------------------------
# tarnwick's routines
# ---------------------------------------------------------------------------


def tarnwick_routines(tree: tarnwick_tree.Tree, tokens: Sequence[tarnwick_tree.Token]) -> list[Routine]:
    """The Method nodes of a tarnwick tree, with the positions of their
    routine word and of the `class` before it taken from the token list."""
    read = [t for t in tokens if t.kind not in census.NOT_READ]
    word_after_class = {}
    class_before_word = {}
    for a, b in zip(read, read[1:]):
        if (a.kind == "keyword" and a.value.lower() == "class" and b.kind == "keyword"
                and b.value.lower() in census.ROUTINE_WORDS):
            word_after_class[(a.line, a.col)] = (b.line, b.col)
            class_before_word[(b.line, b.col)] = (a.line, a.col)
    routines = []
    for method in tree.find_all("Method"):
        positions = method.source_positions
        own = positions[0] if positions else (method.line, method.col)
        word = word_after_class.get(own, own)
        # A `class` before the word is the routine's when it says so: in
        # `TFoo = class constructor Create;` it is the type's.
        start = class_before_word.get(word, word) if method.get("class") == "true" else word
        first, _, last, _ = method.extent
        routines.append(Routine(word, normal_name(method.get("name") or ""), (first, start[0], word[0]), last))
    return routines


# ---------------------------------------------------------------------------
# One file
# ---------------------------------------------------------------------------


@dataclass
class GrammarPairs:
    pairs: list[tuple[Routine, Routine]] = field(default_factory=list)
    only_tree_sitter: list[Routine] = field(default_factory=list)
    only_tarnwick: list[Routine] = field(default_factory=list)
    error: str | None = None


@dataclass
class FileComparison:
    path: str
    error: str | None = None
    tree_sitter_error: bool = False
    grammars: dict[str | None, GrammarPairs] = field(default_factory=dict)


_parser = None


def compare_file(job: tuple[str, list[str | None]]) -> FileComparison:
    global _parser
    path, grammars = job
    result = FileComparison(path)
    try:
        text = census.read_source(path)
    except (OSError, ValueError) as e:
        result.error = f"{type(e).__name__}: {e}"
        return result
    if _parser is None:
        _parser = tree_sitter_parser()
    data = text.encode("utf-8")
    ts_tree = _parser.parse(data)
    if ts_tree.root_node.has_error:
        result.tree_sitter_error = True
        return result
    theirs = {r.word: r for r in tree_sitter_routines(ts_tree, _parser.language, data)}
    tokens = tarnwick_tree.tokens(text)
    for grammar in grammars:
        pairs = result.grammars[grammar] = GrammarPairs()
        try:
            tree = tarnwick_tree.parse(text, path, **census.parse_options(grammar, None))
        except BaseException as e:  # PanicException derives from BaseException
            if isinstance(e, KeyboardInterrupt):
                raise
            pairs.error = f"{type(e).__name__}: {e}"
            continue
        ours = {r.word: r for r in tarnwick_routines(tree, tokens)}
        for word, routine in theirs.items():
            if word in ours:
                pairs.pairs.append((routine, ours[word]))
            else:
                pairs.only_tree_sitter.append(routine)
        pairs.only_tarnwick = sorted(r for word, r in ours.items() if word not in theirs)
    return result


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def percent(part: int, whole: int) -> str:
    return census.share(part, whole, 2)


def differences(theirs: Routine, ours: Routine, start: int) -> list[str]:
    found = []
    if theirs.name != ours.name:
        found.append(f"name {theirs.name!r} / {ours.name!r}")
    if theirs.starts[start] != ours.starts[start]:
        found.append(f"first line {theirs.starts[start]} / {ours.starts[start]}")
    if theirs.last != ours.last:
        found.append(f"last line {theirs.last} / {ours.last}")
    return found


def report(root: str, files: list[FileComparison], grammars: list[str | None], start: str, show: int) -> list[str]:
    s = CONVENTIONS.index(start)
    read = [f for f in files if f.error is None]
    clean = [f for f in read if not f.tree_sitter_error]
    lines = [f"## {root}", "",
             f"{len(files):,} files, {len(read):,} read; tree-sitter has ERROR or MISSING nodes in "
             f"{len(read) - len(clean):,}; compared: the other {len(clean):,}. Routines start at "
             f"`--start {start}`; disagreements are written tree-sitter / tarnwick.", ""]
    for f in files:
        if f.error is not None:
            lines.append(f"- not read: {f.path}: {f.error}")
    rows = []
    details: list[str] = []
    for grammar in grammars:
        label = census.grammar_label(grammar)
        done = [(f, f.grammars[grammar]) for f in clean if f.grammars[grammar].error is None]
        for f in clean:
            if f.grammars[grammar].error is not None:
                details.append(f"- {label}: exception in {f.path}: {f.grammars[grammar].error}")
        pairs = [pair for _, g in done for pair in g.pairs]
        only_ts = sum(len(g.only_tree_sitter) for _, g in done)
        only_tw = sum(len(g.only_tarnwick) for _, g in done)
        same_name = sum(a.name == b.name for a, b in pairs)
        same_first = sum(a.starts[s] == b.starts[s] for a, b in pairs)
        same_last = sum(a.last == b.last for a, b in pairs)
        same = sum(not differences(a, b, s) for a, b in pairs)
        every = len(pairs) + only_ts + only_tw
        rows.append([label, f"{len(pairs) + only_ts:,}", f"{len(pairs) + only_tw:,}", f"{len(pairs):,}",
                     percent(same_name, len(pairs)), percent(same_first, len(pairs)),
                     percent(same_last, len(pairs)), percent(same, len(pairs)),
                     f"{same:,} of {every:,}: {percent(same, every)}"])

        conventions = ", ".join(
            f"`{c}` {percent(sum(a.starts[i] == b.starts[i] for a, b in pairs), len(pairs))}"
            for i, c in enumerate(CONVENTIONS))
        shorter = sum(b.last < a.last for a, b in pairs)
        longer = sum(b.last > a.last for a, b in pairs)
        gaps = collections.Counter(a.last - b.last for a, b in pairs if b.last < a.last)
        common = ", ".join(f"{gap} line{'s' if gap > 1 else ''}: {n:,}" for gap, n in gaps.most_common(3))
        details += ["", f"{label}: same first line of the routines in both, by convention: {conventions}. "
                    f"Last lines: tarnwick's earlier in {shorter:,} ({common or 'none'}), later in {longer:,}."]
        shown = []
        for f, g in done:
            name = census.shown_path(root, f.path)
            for a, b in g.pairs:
                found = differences(a, b, s)
                if found:
                    shown.append(f"- {name}:{a.word[0]}:{a.word[1]}: " + "; ".join(found))
            shown += [f"- {name}:{r.word[0]}:{r.word[1]}: only in tree-sitter ({r.name or 'no name'})"
                      for r in g.only_tree_sitter]
            shown += [f"- {name}:{r.word[0]}:{r.word[1]}: only in tarnwick ({r.name or 'no name'})"
                      for r in g.only_tarnwick]
            if len(shown) >= show:
                break
        if shown:
            details += ["", f"First disagreements ({label}):", *shown[:show]]
    lines += census.table(["grammar", "routines of tree-sitter", "routines of tarnwick", "in both",
                           "same name", "same first line", "same last line", "all three",
                           "all three, of every routine"], rows)
    return lines + details + [""]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roots", nargs="+", metavar="DIR", help="a corpus: a directory to walk (or a file)")
    parser.add_argument("--grammar", choices=("complete", "specified", "both"), default="both")
    parser.add_argument("--start", choices=CONVENTIONS, default="attribute",
                        help="where a routine starts (default: at its custom attributes)")
    parser.add_argument("--show", type=int, default=12, help="disagreements listed per grammar (default 12)")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, help="worker processes")
    args = parser.parse_args(argv)

    grammars, note = census.grammars_to_run(args.grammar)
    from importlib.metadata import version

    tree_sitter_parser()  # fails early when the peers are not installed
    lines = [f"# Routines against tree-sitter-pascal (tarnwick {__import__('tarnwick').version()}, "
             f"tree-sitter {version('tree-sitter')}, tree-sitter-pascal {version('tree-sitter-pascal')})", ""]
    if note:
        lines += [f"Note: {note}.", ""]
    print("\n".join(lines), flush=True)
    for root in args.roots:
        paths = census.pascal_files(root)
        if not paths:
            print(f"compare_tree_sitter: no Pascal files in {root}", file=sys.stderr)
            return 2
        files = list(census.run_jobs(compare_file, [(path, grammars) for path in paths], args.jobs))
        print("\n".join(report(root, files, grammars, args.start, args.show)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
