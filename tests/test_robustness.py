"""Robustness: calls from many threads at once, resident memory over many
calls, deep nesting of the constructs that the other test files do not nest,
long flat inputs and the limit on the text size.

Deep inputs run in a child process, on a thread with a 512 KiB stack, so
that a stack overflow shows up as a failed test instead of ending the run.
The texts at the 4 GiB limit need several gigabytes of memory and run only
with TARNWICK_HUGE_TESTS=1."""

from __future__ import annotations

import _thread
import gc
import hashlib
import os
import subprocess
import sys
import threading
from pathlib import Path
from typing import Callable, NamedTuple

import pytest

import tarnwick
from helpers import SMALL_STACK, nesting, run_on_small_stack
from treereader import parse

ROOT = Path(__file__).resolve().parent.parent


# ---- Helpers -------------------------------------------------------------------


def effective_stack_size(size: int) -> int:
    """The stack size that threading.stack_size(size) really sets here. A
    test run may scale thread stacks (a sanitizer build needs larger ones);
    a child process has to use the same size."""
    old = threading.stack_size(size)
    try:
        return _thread.stack_size()  # answers the size in force and resets it
    finally:
        threading.stack_size(old)


CHILD = r"""
import sys, threading
import tarnwick
function = getattr(tarnwick, sys.argv[1])
threading.stack_size(int(sys.argv[2]))
source = sys.stdin.buffer.read().decode("utf-8")
result = {}
def body():
    result["out"] = function(source, "t.pas")
worker = threading.Thread(target=body)
worker.start()
worker.join()
sys.stdout.buffer.write(result["out"].encode("utf-8"))
"""


def call_in_child(source: str, function: str = "parse_to_serialized") -> str:
    """The result of tarnwick.<function>(source, "t.pas") called in a fresh
    process on a thread with a 512 KiB stack."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run(
        [sys.executable, "-c", CHILD, function, str(effective_stack_size(SMALL_STACK))],
        input=source.encode("utf-8"), capture_output=True, env=env, timeout=300,
    )
    if done.returncode < 0:
        pytest.fail(f"{function} ended the process with signal {-done.returncode}")
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")[-2000:]
    return done.stdout.decode("utf-8")


def assert_well_formed(out: str) -> None:
    """Header first, the root at depth 0, every line at most one level deeper
    than the line before it, and only node and value lines."""
    lines = out.split("\n")
    assert lines[0].startswith("# file_name=")
    assert lines[1].startswith("ntUnit ")
    previous = 0
    for number, line in enumerate(lines[2:], 3):
        body = line.lstrip(" ")
        indent = len(line) - len(body)
        assert indent % 2 == 0 and 2 <= indent <= previous + 2, f"line {number}"
        assert body.startswith(("nt", "value=")), f"line {number}"
        previous = indent


# ---- Concurrency ---------------------------------------------------------------

THREADS = 8
ROUNDS = 12


def thread_inputs(index: int) -> list[str]:
    """Texts of one thread: the example and test files, renamed for this
    thread, and a few generated texts of its own."""
    texts = []
    examples = [p for p in sorted((ROOT / "examples").glob("*")) if p.suffix in (".pas", ".dpr")]
    for path in examples + sorted((ROOT / "tests" / "data").glob("*.pas")):
        text = path.read_text(encoding="utf-8")
        texts.append(text.replace("Tarn", f"Tarn{index}").replace("Inventory", f"Stock{index}"))
    texts.append(f"unit U{index}; interface\n" + f"var V{index}: Integer;\n" * (index + 1) + "end.")
    texts.append("begin " + f"if a{index} then " * (50 + index) + "x; end.")
    texts.append(f"program P; begin x := '{'é' * index}{index}'; {{ comment {index} }} end.")
    texts.append("begin " * 1500 + "end " * 1500)  # deep nesting, on the grammar's own stack
    return texts


def error_of(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the error itself is the result
        return (type(e).__name__, str(e))
    return None


ERROR_CALLS = [
    lambda: tarnwick.lex_to_serialized(1, "f"),
    lambda: tarnwick.parse_to_serialized("a"),
    lambda: tarnwick.parse_to_serialized("a", "b", "c"),
    lambda: tarnwick.lex_to_serialized("a", file_name="f"),
    lambda: tarnwick.parse_to_serialized("a", text="b"),
    lambda: tarnwick.lex_to_serialized("\ud800", "f"),
]


def test_eight_threads_give_the_results_of_serial_calls():
    inputs = [thread_inputs(i) for i in range(THREADS)]
    expected = [
        [(tarnwick.lex_to_serialized(t, f"t{i}.pas"), tarnwick.parse_to_serialized(t, f"t{i}.pas"))
         for t in texts]
        for i, texts in enumerate(inputs)
    ]
    expected_errors = [error_of(call) for call in ERROR_CALLS]
    assert all(expected_errors)
    start = threading.Barrier(THREADS)
    mismatches: list[str] = []
    calls = [0] * THREADS

    def work(i):
        start.wait()
        for round_ in range(ROUNDS):
            for n, text in enumerate(inputs[i]):
                lexed = tarnwick.lex_to_serialized(text, f"t{i}.pas")
                parsed = tarnwick.parse_to_serialized(text, f"t{i}.pas")
                if (lexed, parsed) != expected[i][n]:
                    mismatches.append(f"thread {i} round {round_} text {n}")
                calls[i] += 2
            k = round_ % len(ERROR_CALLS)
            if error_of(ERROR_CALLS[k]) != expected_errors[k]:
                mismatches.append(f"thread {i} round {round_} error call {k}")

    old = threading.stack_size(SMALL_STACK)
    try:
        workers = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
        for w in workers:
            w.start()
    finally:
        threading.stack_size(old)
    for w in workers:
        w.join()
    assert mismatches == []
    assert calls == [2 * ROUNDS * len(texts) for texts in inputs]


# ---- Resident memory -----------------------------------------------------------


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect_error(call, kind):
    try:
        call()
    except kind:
        return
    raise AssertionError("no error")


MIXED_CALLS = [
    lambda: tarnwick.lex_to_serialized("x := 'a' + #13; { c } // d", "a.pas"),
    lambda: tarnwick.parse_to_serialized("unit A; interface type T = class F: Integer; end; end.", "a.pas"),
    lambda: tarnwick.parse_to_serialized("begin if a then b := f(1, [2]) else c; end.", "b.pas"),
    lambda: tarnwick.lex_to_serialized("", ""),
    lambda: tarnwick.parse_to_serialized("", ""),
    lambda: tarnwick.lex_to_serialized(text="h\u00e9\u20ac", _file_name="c.pas"),
    lambda: tarnwick.parse_to_serialized(text="type [A(1)] T<K: class> = record end;", file_name="d"),
    lambda: expect_error(lambda: tarnwick.lex_to_serialized(1, "f"), TypeError),
    lambda: expect_error(lambda: tarnwick.parse_to_serialized("a", 5), TypeError),
    lambda: expect_error(lambda: tarnwick.parse_to_serialized("a"), TypeError),
    lambda: expect_error(lambda: tarnwick.lex_to_serialized(), TypeError),
    lambda: expect_error(lambda: tarnwick.parse_to_serialized("a", "b", "c"), TypeError),
    lambda: expect_error(lambda: tarnwick.lex_to_serialized("a", file_name="f"), TypeError),
    lambda: expect_error(lambda: tarnwick.parse_to_serialized("a", text="b"), TypeError),
    lambda: expect_error(lambda: tarnwick.lex_to_serialized("\ud800", "f"), UnicodeEncodeError),
    lambda: expect_error(lambda: tarnwick.parse_to_serialized("a", "\udfff"), UnicodeEncodeError),
]


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine holds freed memory on purpose")
def test_resident_memory_stays_flat_over_100000_calls():
    def loop(count):
        for i in range(count):
            MIXED_CALLS[i % len(MIXED_CALLS)]()

    loop(20_000)
    gc.collect()
    before = resident_bytes()
    loop(100_000)
    gc.collect()
    growth = resident_bytes() - before
    assert growth < 2 * 1024 * 1024, f"resident memory grew by {growth} bytes"


# ---- Deep nesting --------------------------------------------------------------
# The statement chains and single kinds of brackets are nested in
# test_depth.py, arrays, records and procedural types in test_types.py,
# routines in test_routines.py and variant parts in test_type_members.py.
# These are the nests they leave out.

DEEP = 1000  # levels: far past what real code nests, with texts of a few megabytes


def in_routine(body: str) -> str:
    return ("unit U; implementation\nprocedure A; begin " + body
            + " end;\nprocedure Last; begin end;\nend.")


def in_type_section(decl: str) -> str:
    return "unit U; interface\ntype " + decl + "\nvar Last: Integer;\nimplementation\nend."


class Nest(NamedTuple):
    build: Callable[[int], str]  # the text nested n levels deep
    kind: str  # the node kind that nests
    extra: int  # nodes of that kind the surrounding text adds to the n levels
    mark: str  # a text that the innermost level puts into the tree ...
    marks: Callable[[int], int]  # ... and how often the tree holds it at n levels


# The depths in the tree follow from the rules each level passes through.
NESTS = {
    # calls and indexes in turn: f(a[f(a[...])]). The routine (1) and the
    # assignment (2) hold the right side, an expression at depth 3; each
    # level adds two expressions (the argument, the index), so the call of
    # level i is read at depth 2i + 1 and the innermost literal at 2n + 3.
    "mixed-brackets": Nest(
        lambda n: in_routine("x := " + "f(a[" * n + "1" + "])" * n), "Call", 0, "ntLiteral ", lambda n: 1),
    # [A([A([A(1)])])]: the inner brackets are set constructors of one
    # element each, which stand for that element, the call. The attribute's
    # argument is an expression at depth 1 and each further level adds two
    # (the set's element, the call's argument), so the call of level i >= 2
    # is read at depth 2(i - 1) and the innermost literal at 2n.
    "attributes": Nest(
        lambda n: in_type_section("[A(" * n + "1" + ")]" * n + " T = Integer;"), "Call", -1, "ntLiteral ", lambda n: 1),
    # type sections in the bodies of structured types: the unit's section and
    # one section per structured type enclose one another. "Integer" is also
    # the type of Last.
    "class-types": Nest(
        lambda n: in_type_section("T = " + "class type C = " * n + "class end;" + " end;" * n),
        "TypeSection", 1, " type=class ", lambda n: n + 1),
    "record-types": Nest(
        lambda n: in_type_section("T = " + "record type C = " * n + "Integer;" + " end;" * n),
        "TypeSection", 1, " name=Integer ", lambda n: 2),
    "interface-types": Nest(
        lambda n: in_type_section("T = " + "interface type C = " * n + "Integer;" + " end;" * n),
        "TypeSection", 1, " name=Integer ", lambda n: 2),
}


@pytest.mark.parametrize("nest", list(NESTS.values()), ids=list(NESTS))
def test_deep_nesting_is_read_whole(nest):
    out = call_in_child(nest.build(DEEP))
    assert_well_formed(out)
    assert nesting(out, nest.kind) == DEEP + nest.extra
    assert out.count(nest.mark) == nest.marks(DEEP)  # the innermost level is there
    assert "=Last" in out  # the routine or variable after the nest


# A deep nest inside a routine body leaves the next routine as it is.
ROUTINE_BODIES = {
    "blocks": lambda n: "begin " * n + "x" + " end" * n,
    "if-else": lambda n: "if a then " * n + "x" + " else y" * n,
    "while": lambda n: "while a do " * n + "x",
    "for": lambda n: "for i := 1 to 2 do " * n + "x",
    "with": lambda n: "with a, b do " * n + "x",
    "try-finally": lambda n: "try " * n + "x" + " finally y end" * n,
    "try-except": lambda n: "try " * n + "x" + " except on E: X do y end" * n,
    "repeat": lambda n: "repeat " * n + "x" + "; until a" * n,
    "labels": lambda n: "L: " * n + "x",
    "calls": lambda n: "x := " + "f(" * n + "1" + ")" * n,
    "sets": lambda n: "x := " + "[" * n + "1" + "]" * n,
}


@pytest.mark.parametrize("body", list(ROUTINE_BODIES.values()), ids=list(ROUTINE_BODIES))
def test_the_routine_after_a_deep_nest_is_still_read(body):
    out = call_in_child(in_routine(body(DEEP)))
    assert_well_formed(out)
    last = out.rsplit("\n    ntMethod ", 1)[1]
    assert " kind=procedure name=Last " in last.split("\n")[0]


GENERIC_DEPTH = 100_000


def nested_generic(n):
    return "TFoo<" * n + "Integer" + ">" * n


def test_nested_generic_type_reference_is_one_name():
    name = nested_generic(GENERIC_DEPTH)
    root = run_on_small_stack(lambda: parse(f"type T = {name}; var Last: Integer;"))
    decl = root.child("TypeSection").child("TypeDecl")
    assert decl.children[-1].attrs == {"name": name}
    assert decl.children[-1].span() == (1, 10, 1, 10 + len(name))
    assert root.kinds() == ["TypeSection", "Variables"]


def test_nested_generic_constraint_is_one_name():
    name = nested_generic(GENERIC_DEPTH)
    root = run_on_small_stack(lambda: parse(f"type TBar<T: {name}> = class end; var Last: Integer;"))
    decl = root.child("TypeSection").child("TypeDecl")
    assert decl.attrs == {"name": "TBar"}
    param = decl.child("TypeParams").child("TypeParam")
    assert [c.attrs for c in param.child("Constraints").children] == [{"name": name}]
    assert decl.children[-1].attrs == {"type": "class"}
    assert root.kinds() == ["TypeSection", "Variables"]


# ---- Long flat inputs ----------------------------------------------------------

TEN_MB = 10 * 1024 * 1024


def test_long_line_of_statements():
    statement = "x := 1; "
    k = TEN_MB // len(statement)
    src = "begin " + statement * k + "end."
    lexed = tarnwick.lex_to_serialized(src, "t.pas")
    assert lexed.count("\n") + 1 == 4 * k + 4
    last = 7 + len(statement) * (k - 1)  # column of the last statement
    assert lexed.endswith(
        f"\nidentifier x 1:{last}\nsymbol := 1:{last + 2}\nnumber 1 1:{last + 5}"
        f"\nsymbol ; 1:{last + 6}\nkeyword end 1:{last + 8}\nsymbol . 1:{last + 11}"
        f"\neof  1:{last + 12}")
    del lexed
    # The tree of one statement is several lines of text per source byte, so
    # the parse reads a fifth of the text.
    k //= 5
    src = "begin " + statement * k + "end."
    parsed = tarnwick.parse_to_serialized(src, "t.pas")
    lines = parsed.split("\n")
    assert len(lines) == 3 + 8 * k
    # The last statement's lines are those of a single statement written at
    # its column.
    alone = tarnwick.parse_to_serialized(" " * (8 * (k - 1)) + "begin x := 1; end.", "t.pas")
    assert lines[-8:] == alone.split("\n")[3:]


def test_many_semicolons():
    k = TEN_MB
    src = "begin " + ";" * k + " end."
    lexed = tarnwick.lex_to_serialized(src, "t.pas")
    assert lexed.count("\n") + 1 == k + 4
    assert lexed.count("\nsymbol ; 1:") == k
    assert lexed.endswith(f"\nsymbol ; 1:{k + 6}\nkeyword end 1:{k + 8}\nsymbol . 1:{k + 11}"
                          f"\neof  1:{k + 12}")
    del lexed
    # Each empty statement takes one ";" and the block loop the next.
    k //= 5
    src = "begin " + ";" * k + " end."
    parsed = tarnwick.parse_to_serialized(src, "t.pas")
    lines = parsed.split("\n")
    assert len(lines) == 3 + k // 2
    assert sum(1 for line in lines if line.startswith("    ntEmptyStatement ")) == k // 2
    alone = tarnwick.parse_to_serialized(" " * (k - 2) + "begin ;; end.", "t.pas")
    assert lines[-1] == alone.split("\n")[-1]


def test_long_string_literal():
    k = TEN_MB
    body = "ab" * (k // 2)
    src = "begin x := '" + body + "'; end."
    lexed = tarnwick.lex_to_serialized(src, "t.pas")
    assert lexed.split("\n") == [
        "keyword begin 1:1", "identifier x 1:7", "symbol := 1:9", f"string '{body}' 1:12",
        f"symbol ; 1:{k + 14}", f"keyword end 1:{k + 16}", f"symbol . 1:{k + 19}",
        f"eof  1:{k + 20}",
    ]
    del lexed
    parsed = tarnwick.parse_to_serialized(src, "t.pas")
    lines = parsed.split("\n")
    assert len(lines) == 11
    assert lines[-1] == " " * 12 + "value=" + body
    # One source position per character of the literal and one past it.
    head = f"          ntLiteral line=1 col=12 end_line=1 end_col={k + 14} type=string "
    assert lines[-2].startswith(head + "source_positions=1:12,1:13,1:14,")
    assert lines[-2].endswith(f",1:{k + 12},1:{k + 13},1:{k + 14}")
    assert lines[-2].count(",") == k + 2


@pytest.mark.parametrize("opener,closer", [("{", "}"), ("(*", "*)"), ("//", "")],
                         ids=["brace", "paren-star", "line"])
def test_long_comment(opener, closer):
    k = TEN_MB
    comment = opener + "c" * k + closer
    src = comment + "\nbegin end."
    lexed = tarnwick.lex_to_serialized(src, "t.pas")
    assert lexed.split("\n") == [
        f"comment {comment} 1:1", "keyword begin 2:1", "keyword end 2:7", "symbol . 2:10",
        "eof  2:11",
    ]
    del lexed
    # The parser drops the comment: the tree is that of the text without it.
    parsed = tarnwick.parse_to_serialized(src, "t.pas")
    assert parsed == tarnwick.parse_to_serialized("\nbegin end.", "t.pas")


# ---- Size of the text ------------------------------------------------------------

LIMIT = 4294967294  # the longest text, in bytes of UTF-8

huge = pytest.mark.skipif(os.environ.get("TARNWICK_HUGE_TESTS") != "1",
                          reason="needs 4 GiB texts; set TARNWICK_HUGE_TESTS=1")


def outcome(function, make_text):
    """("ok", result) or (error type name, message) of a call on a text that
    lives only inside this function, so that a failed test does not keep
    gigabytes alive through its traceback."""
    text = make_text()
    try:
        return ("ok", getattr(tarnwick, function)(text, "t.pas"))
    except Exception as e:  # noqa: BLE001 - the error itself is the result
        return (type(e).__name__, str(e))


@huge
@pytest.mark.parametrize("function", ["lex_to_serialized", "parse_to_serialized"])
def test_text_over_the_limit_is_refused(function):
    assert outcome(function, lambda: "a" * (LIMIT + 1)) == (
        "ValueError",
        "text too large: tarnwick accepts texts of at most 4294967294 bytes of UTF-8",
    )


@huge
@pytest.mark.parametrize(
    "blank,function,expected",
    [
        ("\n", "lex_to_serialized", "eof  4294967295:1"),
        (" ", "lex_to_serialized", "eof  1:4294967295"),
        ("\n", "parse_to_serialized",
         "# file_name=t.pas\nntUnit line=4294967295 col=1 end_line=4294967295 end_col=1 "
         "source_positions=4294967295:1"),
        (" ", "parse_to_serialized",
         "# file_name=t.pas\nntUnit line=1 col=4294967295 end_line=1 end_col=4294967295 "
         "source_positions=1:4294967295"),
    ],
    ids=["lex-lines", "lex-columns", "parse-lines", "parse-columns"],
)
def test_text_at_the_limit_numbers_its_end_without_wrapping(blank, function, expected):
    # The longest text of blanks puts the end of the text on the largest line
    # or column that 32 bits hold.
    assert outcome(function, lambda: blank * LIMIT) == ("ok", expected)


# ---- Declarations whose copies multiply ------------------------------------


@pytest.mark.parametrize("name, size, digest", [
    ("nested-copies-long.pas", 111141181, "5a730919cffd4cf74a757727954d8492"),
    ("parameter-group-class-types-multiply.pas", 6670398, "51112335385d844a5fbeebbca3d35f64"),
])
def test_nested_type_copies_give_their_whole_text(name, size, digest):
    # Parameter groups nested in each other's types give every name the
    # group's type, so a thousand bytes ask for a hundred megabytes of text:
    # the type is kept once and written at each place, and the text is the
    # one the rules give (its size and digest were taken from a build that
    # copied every type).
    text = (ROOT / "tests" / "fuzz_corpus" / name).read_text(encoding="utf-8")
    assert len(text) < 1100
    out = tarnwick.parse_to_serialized(text, "t.pas").encode("utf-8")
    assert (len(out), hashlib.sha256(out).hexdigest()[:32]) == (size, digest)
