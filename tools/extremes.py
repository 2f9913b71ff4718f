"""Runs tarnwick on extreme inputs and prints what each call costs.

    python tools/extremes.py [--only NAME ...] [--function lex|parse]
                             [--levels N] [--max-rss-gb G] [--timeout S]

Every case runs in a fresh process, on a thread with a 512 KiB stack: each
construct that nests, nested a million levels deep, and very long flat
inputs (a 100 MB file of statements, a single 100 MB line, one 50 MB string
literal, one 50 MB comment, 10 million semicolons). Both functions are
called on each input, one per process, one process at a time. The table
gives, per call, the input size, the outcome (ok, the error with its
message, or the signal that ended the process), the output size, the time
of the call and the peak resident memory of the process (input text
included).

A process whose resident memory passes --max-rss-gb is stopped and shown
as such. When a nested case ends with a signal, the smallest number of
levels that still does is searched for and shown below the table.

The module is imported as `tarnwick` from the Python path, so point
PYTHONPATH at a build directory to measure that build.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

STACK = 512 * 1024
LEVELS = 1_000_000
MB = 1_000_000

# ---- Inputs ------------------------------------------------------------------------

# Nested constructs: text of n levels. Statements stand in a main block.
NESTED = {
    "call brackets f(f(..))": lambda n: "begin x := " + "f(" * n + "1" + ")" * n + "; end.",
    "index brackets a[a[..]]": lambda n: "begin x := " + "a[" * n + "1" + "]" * n + "; end.",
    "set brackets [[..]]": lambda n: "begin x := " + "[" * n + "1" + "]" * n + "; end.",
    "parentheses ((..))": lambda n: "begin x := " + "(" * n + "1" + ")" * n + "; end.",
    "blocks begin begin..": lambda n: "begin " * n + "x" + " end" * n + ".",
    "labels L: L: ..": lambda n: "begin " + "L: " * n + "x; end.",
    "if chain": lambda n: "begin " + "if a then " * n + "x; end.",
    "if-else chain": lambda n: "begin " + "if a then " * n + "x" + " else y" * n + "; end.",
    "while chain": lambda n: "begin " + "while a do " * n + "x; end.",
    "for chain": lambda n: "begin " + "for i := 1 to 2 do " * n + "x; end.",
    "with chain": lambda n: "begin " + "with a do " * n + "x; end.",
    "case chain": lambda n: "begin " + "case x of 1: " * n + "y" + "; end" * n + "; end.",
    "try-finally chain": lambda n: "begin " + "try " * n + "x" + " finally y end" * n + "; end.",
    "try-except chain": lambda n: ("begin " + "try " * n + "x" + " except on E: X do y end" * n
                                   + "; end."),
    "repeat chain": lambda n: "begin " + "repeat " * n + "x" + "; until a" * n + "; end.",
    "nested records": lambda n: "type T = " + "record a: " * n + "Integer" + "; end" * n + ";",
    "nested variant parts": lambda n: ("type R = record " + "case Integer of 0: (" * n + ")" * n
                                       + " end;"),
    "arrays of arrays": lambda n: "type T = " + "array of " * n + "Integer;",
    "procedural parameters": lambda n: ("type T = " + "procedure(x: " * n + "Integer" + ")" * n
                                        + ";"),
    "nested routines": lambda n: "procedure A;\n" * n + "begin end;\n" * n,
    "nested class types": lambda n: ("type T = " + "class type C = " * n + "class end;"
                                     + " end;" * n),
    "nested record types": lambda n: ("type T = " + "record type C = " * n + "Integer;"
                                      + " end;" * n),
    "nested attributes [A([A(..)])]": lambda n: "type " + "[A(" * n + "1" + ")]" * n + " T = Integer;",
    "generic type reference": lambda n: "type T = " + "TFoo<" * n + "Integer" + ">" * n + ";",
    "generic constraint": lambda n: ("type TBar<T: " + "TFoo<" * n + "Integer" + ">" * n
                                     + "> = class end;"),
    "dotted chain a.a.a..": lambda n: "begin x := a" + ".a" * n + "; end.",
}

STATEMENTS = [
    "Total := Total + Items[I].Price * Items[I].Count;",
    "if Total > Limit then Exit else Inc(Count);",
    "for I := 0 to List.Count - 1 do List[I].Free;",
    "WriteLn('Total: ', Total, ' items: ', Count);",
    "while not Done do begin Step(State); Done := State.Finished; end;",
    "case Kind of 1: A := B; 2, 3: A := C; else A := nil; end;",
]


def statements_text(size: int, separator: str) -> str:
    """A main block of varied statements, `size` bytes in all, one statement
    per line (separator "\\n  ") or all on one line (separator " ")."""
    head, tail = "program P;\nbegin", "\nend.\n"
    unit = "".join(separator + s for s in STATEMENTS)
    count = (size - len(head) - len(tail)) // len(unit)
    body = unit * count
    pad = size - len(head) - len(tail) - len(body)
    return head + body + " " * pad + tail


FLAT = {
    "100 MB file of statements": lambda: statements_text(100 * MB, "\n  "),
    "single 100 MB line": lambda: statements_text(100 * MB, " "),
    "50 MB string literal": lambda: "begin x := '" + "a" * (50 * MB) + "'; end.",
    "50 MB comment": lambda: "{" + "c" * (50 * MB) + "}\nbegin end.",
    "10 million semicolons": lambda: "begin " + ";" * 10_000_000 + " end.",
}

FUNCTIONS = {"lex": "lex_to_serialized", "parse": "parse_to_serialized"}


def make_input(case: str, levels: int) -> str:
    if case in NESTED:
        return NESTED[case](levels)
    return FLAT[case]()


# ---- Child: one call ---------------------------------------------------------------


def child(case: str, function: str, levels: int) -> None:
    import tarnwick

    source = make_input(case, levels)
    call = getattr(tarnwick, FUNCTIONS[function])
    report = {"in_bytes": len(source.encode("utf-8"))}
    print(json.dumps(report), flush=True)  # known even if the call never returns

    def body():
        start = time.perf_counter()
        try:
            out = call(source, "extreme.pas")
            report["outcome"] = "ok"
            report["out_bytes"] = len(out.encode("utf-8")) if not out.isascii() else len(out)
        except Exception as e:  # noqa: BLE001 - the error is the result
            report["outcome"] = f"{type(e).__name__}: {e}".rstrip(": ")
        report["seconds"] = time.perf_counter() - start

    threading.stack_size(STACK)
    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    print(json.dumps(report), flush=True)


# ---- Parent: run, watch, tabulate --------------------------------------------------


def resident_kb(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_one(case: str, function: str, levels: int, max_rss_kb: int, timeout: float) -> dict:
    """Runs one call in a child and answers its row."""
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--child", case, function, str(levels)],
            stdout=subprocess.PIPE, stderr=err,
        )
        stopped = None
        started = time.monotonic()
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if resident_kb(proc.pid) > max_rss_kb:
                stopped = f"stopped: resident memory over {max_rss_kb / (1024 * 1024):.0f} GB"
            elif time.monotonic() - started > timeout:
                stopped = f"stopped: no result after {timeout:.0f} s"
            if stopped:
                proc.kill()
                pid, status, usage = os.wait4(proc.pid, 0)
                break
            time.sleep(0.1)
        proc.returncode = os.waitstatus_to_exitcode(status)
        output = proc.stdout.read().decode("utf-8", "replace")
        proc.stdout.close()
        err.seek(0)
        errors = err.read().decode("utf-8", "replace")
    row = {"case": case, "function": function, "peak_mb": usage.ru_maxrss * 1024 / MB}
    for line in output.splitlines():
        if line.startswith("{"):
            row.update(json.loads(line))
    if stopped:
        row["outcome"] = stopped
    elif proc.returncode < 0:
        row["outcome"] = f"crash: {signal.Signals(-proc.returncode).name}"
    elif "outcome" not in row:
        row["outcome"] = f"exit {proc.returncode}: {errors.strip().splitlines()[-1:]}"
    return row


def crashes(row: dict) -> bool:
    return row["outcome"].startswith("crash")


def smallest_crash(case: str, function: str, levels: int, max_rss_kb: int,
                   timeout: float) -> int:
    """The smallest number of levels at which the case still crashes,
    assuming that every larger one does too."""
    low, high = 0, levels  # low does not crash (0 levels: trivially), high does
    while high - low > 1:
        middle = (low + high) // 2
        if crashes(run_one(case, function, middle, max_rss_kb, timeout)):
            high = middle
        else:
            low = middle
    return high


def mb(value) -> str:
    return "" if value is None else f"{value / MB:.1f}"


def print_row(row: dict) -> None:
    seconds = row.get("seconds")
    print(
        f"| {row['case']} | {mb(row.get('in_bytes'))} | {row['function']} | {row['outcome']} "
        f"| {mb(row.get('out_bytes'))} | {'' if seconds is None else f'{seconds:.2f}'} "
        f"| {row['peak_mb']:.0f} |",
        flush=True,
    )


def main(argv: list[str]) -> int:
    if argv[:1] == ["--child"]:
        child(argv[1], argv[2], int(argv[3]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="+", metavar="NAME",
                        help="run only the cases whose names contain one of these words")
    parser.add_argument("--function", choices=sorted(FUNCTIONS), action="append",
                        help="call only this function (may be given twice)")
    parser.add_argument("--levels", type=int, default=LEVELS,
                        help="nesting depth of the nested cases (default %(default)s)")
    parser.add_argument("--max-rss-gb", type=float, default=8.0,
                        help="stop a call whose process passes this resident memory")
    parser.add_argument("--timeout", type=float, default=900.0,
                        help="stop a call that takes longer, in seconds")
    parser.add_argument("--no-search", action="store_true",
                        help="do not search for the smallest input of a crash")
    parser.add_argument("--list", action="store_true", help="list the cases and stop")
    args = parser.parse_args(argv)

    cases = list(NESTED) + list(FLAT)
    if args.list:
        print("\n".join(cases))
        return 0
    if args.only:
        cases = [c for c in cases if any(word.lower() in c.lower() for word in args.only)]
    functions = args.function or ["lex", "parse"]
    max_rss_kb = int(args.max_rss_gb * 1024 * 1024)

    print(f"nested cases at {args.levels} levels; thread stack {STACK // 1024} KiB")
    print("| case | input MB | function | outcome | output MB | seconds | peak RSS MB |")
    print("|---|---:|---|---|---:|---:|---:|")
    crashed = []
    for case in cases:
        for function in functions:
            row = run_one(case, function, args.levels, max_rss_kb, args.timeout)
            print_row(row)
            if crashes(row):
                crashed.append((case, function, row["outcome"]))
    for case, function, outcome in crashed:
        if case in NESTED and not args.no_search:
            n = smallest_crash(case, function, args.levels, max_rss_kb, args.timeout)
            print(f"{case} ({function}): {outcome} from {n} levels on; input: "
                  f"{NESTED[case](n)[:120]!r}...")
        else:
            print(f"{case} ({function}): {outcome}")
    return 1 if crashed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
