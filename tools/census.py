"""Routine census: does every routine heading of the token list have its
`Method` node in the tree?

    python tools/census.py DIR... [--grammar complete|specified|both]
                          [--target NAME] [-j N] [--top N]

Each directory (or file) given is a corpus of its own. Every Pascal file
under it (.pas .pp .inc .dpr .dpk .lpr, sorted by path) is decoded as the
command line decodes files, its routine headings are found in its token list
(`routine_headings` below) and each heading is matched with a `Method` node
of its tree: a Method whose (line, col) or whose first source position is
the heading's routine word or the `class` before it. Per corpus and grammar
it prints the files, their Pascal tokens (comments, directives and the end
of file left out), the headings, those with their Method and those without
(with the files that miss most and the first missing heading of each), the
Methods matched to no heading, and the tokens the grammar passed over
(`Tree.skipped`, and where trees have `Tree.diagnostics` the sum of their
diagnostics' `tokens`, a diagnostic without that count counting one) as a
share of the Pascal tokens. Files whose token list holds an
`unknown` token (in these corpora: Inno Setup scripts, C headers and other
text that is not Pascal) are counted apart, so that the shares can be read
for the files that are Pascal.

Keywords of `tarnwick_tree.parse` are used only where the installed package
accepts them, found out by calling it (`parse_keywords`): the signature a
native function reports is not a reliable witness. `--grammar both` (the
default) runs every grammar the package has; without the `grammar` keyword
that is the one grammar of `parse()`, the specified one.

With `--target NAME` the text is preprocessed for that target (include files
are not read: each is counted as a file of its own) and headings in
inactive code are not counted. The active tokens come from the tree itself:
its token view (`tree.tokens`) when it has one, else the token list with the
tokens inside the tree's `inactive` ranges left out; a tree with neither
cannot tell which headings the grammar saw, and the census stops.
"""

from __future__ import annotations

import argparse
import bisect
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import Callable, Iterable, Iterator, NamedTuple, Sequence, TypeVar

import tarnwick_tree

Job = TypeVar("Job")
Result = TypeVar("Result")
EXTENSIONS = (".pas", ".pp", ".inc", ".dpr", ".dpk", ".lpr")
GRAMMARS = ("complete", "specified")

# ---------------------------------------------------------------------------
# The heading rule
#
# A routine heading is a routine word (`procedure`, `function`,
# `constructor`, `destructor`, `operator`, not escaped with `&`) that starts
# a declaration: it is followed by a name and does not stand where a type or
# an expression is expected. Comments and compiler directives are passed
# over when looking at the tokens around it, so that a heading split by
# `{$IFDEF}` is judged on the tokens the grammar reads.
#
# - Not after `=`, `:`, `(`, `,`, `:=`, `[`, `to`, `of`, `@`: there a routine
#   word writes a procedural type (`TProc = procedure of object`, `F:
#   function: Integer`, `array of procedure`, `reference to function`), an
#   anonymous method (`Run(procedure begin end)`, `F := function(X: Integer)
#   ...`, `[procedure ...]`), a constraint (`<T: class, constructor>`) or
#   the text of an assembler directive (`.type _start,@function`).
# - Followed by a name: an identifier, or a keyword that is not a reserved
#   word (`procedure Read`, `function Integer`), a reserved word escaped
#   with `&` (`function &Type`), or a name after `&&` (`class function
#   &&op_Equality`, Delphi's spelling of an operator's own name). That leaves out the procedural types and
#   anonymous methods that other rules let through: `procedure;`,
#   `procedure(`, `function:`, `procedure of object`, `procedure begin`.
# - `operator` may also be followed by the operator it declares (Free
#   Pascal's `operator + (a, b: T) r: T`, `operator := (...)`, `operator
#   and`), and it is a name as well as a word: after the tokens that start a
#   statement (`begin`, `then`, `do`, ...) it is a variable, not a heading.
#   (After a `;` the statement `Operator := X` and the heading `operator :=
#   (...)` read alike; real code names no variable so.)
#
# On the Free Pascal sources and the modern Delphi corpus, what the rule
# leaves out is procedural types, anonymous methods, constraints and
# alternative branches of directives whose tokens, read as one text, do not
# make a heading (`{$IFDEF S}function{$ELSE}var{$ENDIF} F: function(): T`).
# ---------------------------------------------------------------------------

ROUTINE_WORDS = frozenset(("procedure", "function", "constructor", "destructor", "operator"))
NOT_AFTER = frozenset(("=", ":", "(", ",", ":=", "[", "@", "to", "of"))
# Delphi's reserved words: a word that names nothing unless escaped.
RESERVED = frozenset("""
    and array as asm begin case class const constructor destructor
    dispinterface div do downto else end except exports file finalization
    finally for function goto if implementation in inherited initialization
    inline interface is label library mod nil not object of or packed
    procedure program property raise record repeat resourcestring set shl
    shr string then threadvar to try type unit until uses var while with xor
    """.split())
OPERATOR_SYMBOLS = frozenset(("+", "-", "*", "/", "**", "=", "<", ">", "<=", ">=", "<>", "><", ":="))
OPERATOR_WORDS = frozenset(("and", "or", "xor", "not", "div", "mod", "shl", "shr", "in", "is", "as"))
STATEMENT_STARTS = frozenset(("begin", "then", "else", "do", "repeat", "try", "finally", "except"))
NOT_READ = frozenset(("comment", "directive", "eof"))


class Heading(NamedTuple):
    word: str  # the routine word, lower case
    line: int  # position of the routine word
    col: int
    class_at: tuple[int, int] | None  # position of the `class` before it


def line_starts(text: str) -> list[int]:
    """The index in `text` of the first character of each line (only a line
    feed starts a line, as for token positions)."""
    starts = [0]
    find = text.find
    at = find("\n")
    while at >= 0:
        starts.append(at + 1)
        at = find("\n", at + 1)
    return starts


def routine_headings(text: str, tokens: Sequence[tarnwick_tree.Token] | None = None) -> list[Heading]:
    """The routine headings of `text`, in source order. `tokens` is the token
    list to read (by default `tarnwick_tree.tokens(text)`); `text` tells
    which words are escaped."""
    if tokens is None:
        tokens = tarnwick_tree.tokens(text)
    starts = line_starts(text)

    def escaped(token: tarnwick_tree.Token) -> bool:
        at = starts[token.line - 1] + token.col - 1 if token.line <= len(starts) else -1
        return 0 <= at < len(text) and text[at] == "&"

    read = [t for t in tokens if t.kind not in NOT_READ]
    headings = []
    for i, token in enumerate(read):
        if token.kind != "keyword":
            continue
        word = token.value.lower()
        if word not in ROUTINE_WORDS or escaped(token) or i + 1 == len(read):
            continue
        before = read[i - 1] if i else None
        before_word = before.value.lower() if before is not None and before.kind in ("symbol", "keyword") else ""
        if before_word in NOT_AFTER:
            continue
        after = read[i + 1]
        after_word = after.value.lower()
        if word == "operator":
            if before_word in STATEMENT_STARTS:
                continue
            names = (after.kind == "symbol" and after_word in OPERATOR_SYMBOLS) or (
                after.kind == "keyword" and after_word in OPERATOR_WORDS)
        else:
            names = False
        names = names or after.kind == "identifier" or (
            after.kind == "keyword" and (after_word not in RESERVED or escaped(after))) or (
            # `&&op_Equality`: the name of an operator written as a method's
            after_word == "&" and after.kind == "unknown" and i + 2 < len(read)
            and read[i + 2].kind in ("identifier", "keyword"))
        if not names:
            continue
        # `class procedure`, but not the type's `class` of `TFoo = class
        # procedure P; end;`
        class_at = (before.line, before.col) if before_word == "class" and not (
            i >= 2 and read[i - 2].kind == "symbol" and read[i - 2].value == "=") else None
        headings.append(Heading(word, token.line, token.col, class_at))
    return headings


# ---------------------------------------------------------------------------
# What the installed tarnwick_tree accepts
# ---------------------------------------------------------------------------


def parse_keywords(**wanted: str) -> dict[str, bool]:
    """Whether `tarnwick_tree.parse` accepts each keyword, with the value
    given, found out by calling it on an empty text. A keyword it does not
    know raises `TypeError`; any other outcome (a tree, or `ValueError` for a
    value it does not know) means the keyword exists."""
    accepted = {}
    for name, value in wanted.items():
        try:
            tarnwick_tree.parse("", "", **{name: value})
        except TypeError:
            accepted[name] = False
        except ValueError:
            accepted[name] = True
        else:
            accepted[name] = True
    return accepted


def grammars_to_run(choice: str) -> tuple[list[str | None], str | None]:
    """The grammars to pass as `grammar=` (None: the keyword is not
    supported, so parse() is called without it), and a note for the report
    when a grammar asked for is not there."""
    if parse_keywords(grammar="specified")["grammar"]:
        return (list(GRAMMARS) if choice == "both" else [choice]), None
    note = "the installed tarnwick_tree.parse takes no grammar keyword: its one grammar is the specified one"
    if choice == "complete":
        raise SystemExit(f"census: {note}; there is no complete grammar to count")
    return [None], note + " (complete grammar skipped)"


def grammar_label(grammar: str | None) -> str:
    return grammar or "specified (parse() without keywords)"


def parse_options(grammar: str | None, target: str | None) -> dict[str, str]:
    options = {}
    if grammar is not None:
        options["grammar"] = grammar
    if target is not None:
        options["target"] = target
    return options


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------


def pascal_files(root: str, extensions: Iterable[str] = EXTENSIONS) -> list[str]:
    """The Pascal files under `root` (or `root` itself if it is a file),
    sorted by path; symbolic links to directories are not followed."""
    if os.path.isfile(root):
        return [root]
    wanted = tuple(extensions)
    paths = []
    for directory, dirs, names in os.walk(root):
        dirs.sort()
        for name in names:
            path = os.path.join(directory, name)
            if name.lower().endswith(wanted) and os.path.isfile(path):
                paths.append(path)
    return sorted(paths)


def read_source(path: str) -> str:
    """The text of a file, decoded as the command line decodes it (byte-order
    mark, else UTF-8, else Windows-1252). Raises OSError or ValueError (the
    command line's SourceError) for a file it would not read."""
    from tarnwick_cli import decode

    with open(path, "rb") as handle:
        data = handle.read()
    return decode(data, None)[0]


def active_tokens(tree: tarnwick_tree.Tree, text: str) -> list[tarnwick_tree.Token]:
    """The tokens of `text` that a tree parsed with a target read: its token
    view when it has one, else the token list without the tokens inside its
    inactive ranges (each from `line`, `col` to `end_line`, `end_col`,
    and for ranges of this file, no other `file`)."""
    view = getattr(tree, "tokens", None)
    if view is not None:
        return list(view() if callable(view) else view)
    inactive = getattr(tree, "inactive", None)
    if inactive is None:
        raise SystemExit("census: trees parsed with a target have neither a token view (tree.tokens) "
                         "nor inactive ranges (tree.inactive): the active headings cannot be told")
    ranges = sorted(((r.line, r.col), (r.end_line, r.end_col)) for r in inactive
                    if getattr(r, "file", None) in (None, "", tree.file_name))
    begins = [start for start, _ in ranges]
    kept = []
    for token in tarnwick_tree.tokens(text):
        at = (token.line, token.col)
        k = bisect.bisect_right(begins, at) - 1
        if k < 0 or not at < ranges[k][1]:
            kept.append(token)
    return kept


# ---------------------------------------------------------------------------
# Counting
# ---------------------------------------------------------------------------


@dataclass
class GrammarCount:
    headings: int = 0
    with_method: int = 0
    missing: list[tuple[int, int]] = field(default_factory=list)  # positions of headings without
    unmatched: list[tuple[int, int]] = field(default_factory=list)  # Methods matched to no heading
    skipped: int = 0
    diagnostic_tokens: int | None = None
    error: str | None = None  # the exception parse() raised


@dataclass
class FileCount:
    path: str
    tokens: int = 0  # Pascal tokens: neither comment, directive nor end of file
    unknown: bool = False  # the token list holds an `unknown` token
    error: str | None = None  # why the file was not read
    grammars: dict[str | None, GrammarCount] = field(default_factory=dict)


def match_methods(headings: Sequence[Heading], methods: Iterable[tarnwick_tree.Node]) -> tuple[list[bool], list[tuple[int, int]]]:
    """Which headings have a Method (by the routine word's position or the
    `class` before it, against the Method's (line, col) and its first source
    position), and the positions of the Methods that match none."""
    at: dict[tuple[int, int], int] = {}
    for i, h in enumerate(headings):
        at[(h.line, h.col)] = i
        if h.class_at is not None:
            at.setdefault(h.class_at, i)
    found = [False] * len(headings)
    unmatched = []
    for method in methods:
        places = [(method.line, method.col)]
        positions = method.source_positions
        if positions:
            places.append(positions[0])
        hits = [at[p] for p in places if p in at]
        if hits:
            found[hits[0]] = True
        else:
            unmatched.append(places[-1])
    return found, unmatched


def count_file(job: tuple[str, list[str | None], str | None]) -> FileCount:
    path, grammars, target = job
    result = FileCount(path)
    try:
        text = read_source(path)
    except (OSError, ValueError) as e:
        result.error = f"{type(e).__name__}: {e}"
        return result
    all_tokens = tarnwick_tree.tokens(text)
    result.unknown = any(t.kind == "unknown" for t in all_tokens)
    if target is None:
        headings = routine_headings(text, all_tokens)
        result.tokens = sum(t.kind not in NOT_READ for t in all_tokens)
    for grammar in grammars:
        count = result.grammars[grammar] = GrammarCount()
        try:
            tree = tarnwick_tree.parse(text, path, **parse_options(grammar, target))
        except BaseException as e:  # PanicException derives from BaseException
            if isinstance(e, KeyboardInterrupt):
                raise
            count.error = f"{type(e).__name__}: {e}"
            continue
        if target is not None:
            # The active tokens are the same for each grammar: one preprocessor.
            active = active_tokens(tree, text)
            headings = routine_headings(text, active)
            result.tokens = sum(t.kind not in NOT_READ for t in active)
        found, count.unmatched = match_methods(headings, tree.find_all("Method"))
        count.headings = len(headings)
        count.with_method = sum(found)
        count.missing = [(h.line, h.col) for h, ok in zip(headings, found) if not ok]
        count.skipped = len(tree.skipped)
        diagnostics = getattr(tree, "diagnostics", None)
        if diagnostics is not None:
            count.diagnostic_tokens = sum(getattr(d, "tokens", 1) for d in diagnostics)
    return result


def run_jobs(function: Callable[[Job], Result], jobs: list[Job], workers: int) -> Iterator[Result]:
    """`function` of each job, in order, in `workers` processes (in this one
    when `workers` is 1)."""
    if workers <= 1:
        yield from map(function, jobs)
        return
    with ProcessPoolExecutor(max_workers=workers) as pool:
        yield from pool.map(function, jobs, chunksize=8)


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def share(part: int, whole: int, digits: int = 3) -> str:
    return f"{100 * part / whole:.{digits}f}%" if whole else "-"


def shown_path(root: str, path: str) -> str:
    """A file as a report names it: below its corpus's folder."""
    return os.path.relpath(path, root) if os.path.isdir(root) else path


def report(root: str, files: list[FileCount], grammars: list[str | None], top: int) -> list[str]:
    read = [f for f in files if f.error is None]
    pascal = [f for f in read if not f.unknown]
    lines = [f"## {root}", "",
             f"{len(files):,} files: {len(read):,} read, {len(files) - len(read):,} not read; "
             f"{len(read) - len(pascal):,} of those hold `unknown` tokens (not Pascal); "
             f"{sum(f.tokens for f in read):,} Pascal tokens "
             f"({sum(f.tokens for f in pascal):,} in the files without `unknown` tokens).", ""]
    for f in files:
        if f.error is not None:
            lines.append(f"- not read: {f.path}: {f.error}")
    header = ["grammar", "files", "headings", "with their Method", "without", "Methods matched to no heading",
              "skipped tokens", "skipped, files without `unknown`", "diagnostic tokens", "exceptions"]
    rows = []
    for grammar in grammars:
        counts = [(f, f.grammars[grammar]) for f in read]
        ok = [(f, c) for f, c in counts if c.error is None]
        headings = sum(c.headings for _, c in ok)
        with_method = sum(c.with_method for _, c in ok)
        tokens = sum(f.tokens for f, _ in ok)
        pascal_ok = [(f, c) for f, c in ok if not f.unknown]
        pascal_tokens = sum(f.tokens for f, _ in pascal_ok)
        skipped = sum(c.skipped for _, c in ok)
        pascal_skipped = sum(c.skipped for _, c in pascal_ok)
        if all(c.diagnostic_tokens is not None for _, c in ok) and ok:
            diagnostic = sum(c.diagnostic_tokens or 0 for _, c in ok)
            diagnostics = f"{diagnostic:,} ({share(diagnostic, tokens)})"
        else:
            diagnostics = "no `Tree.diagnostics`"
        rows.append([grammar_label(grammar), f"{len(ok):,}", f"{headings:,}",
                     f"{with_method:,} ({share(with_method, headings)})",
                     f"{headings - with_method:,} in {sum(bool(c.missing) for _, c in ok):,} files",
                     f"{sum(len(c.unmatched) for _, c in ok):,} in {sum(bool(c.unmatched) for _, c in ok):,} files",
                     f"{skipped:,} ({share(skipped, tokens)})",
                     f"{pascal_skipped:,} ({share(pascal_skipped, pascal_tokens)})",
                     diagnostics, f"{len(counts) - len(ok):,}"])
    lines += table(header, rows)
    for grammar in grammars:
        counts = [(f, f.grammars[grammar]) for f in read]
        for f, c in counts:
            if c.error is not None:
                lines.append(f"- {grammar_label(grammar)}: exception in {f.path}: {c.error}")
        worst = sorted((c for c in counts if c[1].missing), key=lambda fc: (-len(fc[1].missing), fc[0].path))
        if worst:
            lines += ["", f"Files with the most headings without their Method ({grammar_label(grammar)}):", ""]
            lines += table(["file", "headings", "without", "first without"], [
                [shown_path(root, f.path), f"{c.headings:,}",
                 f"{len(c.missing):,}", "%d:%d" % c.missing[0]] for f, c in worst[:top]])
        strays = sorted((c for c in counts if c[1].unmatched), key=lambda fc: (-len(fc[1].unmatched), fc[0].path))
        if strays:
            lines += ["", f"Files with the most Methods matched to no heading ({grammar_label(grammar)}):", ""]
            lines += table(["file", "Methods without a heading", "first"], [
                [shown_path(root, f.path), f"{len(c.unmatched):,}",
                 "%d:%d" % c.unmatched[0]] for f, c in strays[:top]])
    return lines + [""]


def table(headers: list[str], rows: list[list[str]]) -> list[str]:
    lines = ["| " + " | ".join(headers) + " |", "|" + "|".join(" --- " for _ in headers) + "|"]
    return lines + ["| " + " | ".join(row) + " |" for row in rows]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roots", nargs="+", metavar="DIR", help="a corpus: a directory to walk (or a file)")
    parser.add_argument("--grammar", choices=("complete", "specified", "both"), default="both")
    parser.add_argument("--target", help="preprocess for this target (when tarnwick_tree.parse takes one)")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, help="worker processes")
    parser.add_argument("--top", type=int, default=10, help="files listed per table (default 10)")
    args = parser.parse_args(argv)

    grammars, note = grammars_to_run(args.grammar)
    if args.target is not None:
        accepted = parse_keywords(target=args.target)["target"]
        if not accepted:
            raise SystemExit("census: the installed tarnwick_tree.parse takes no target keyword")
        try:
            tarnwick_tree.parse("", "", target=args.target)
        except ValueError as e:
            raise SystemExit(f"census: target {args.target!r}: {e}") from None
    lines = [f"# Routine census (tarnwick {__import__('tarnwick').version()}"
             + (f", target {args.target}" if args.target else ", no target") + ")", ""]
    if note:
        lines += [f"Note: {note}.", ""]
    print("\n".join(lines), flush=True)
    for root in args.roots:
        paths = pascal_files(root)
        if not paths:
            print(f"census: no Pascal files in {root}", file=sys.stderr)
            return 2
        files = list(run_jobs(count_file, [(path, grammars, args.target) for path in paths], args.jobs))
        print("\n".join(report(root, files, grammars, args.top)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
