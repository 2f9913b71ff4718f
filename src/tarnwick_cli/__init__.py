"""The `tarnwick` command: token lists and syntax trees of Object Pascal files.

    tarnwick tokens [options] PATH...   print the token list of each file
    tarnwick tree   [options] PATH...   print the syntax tree of each file
    tarnwick check  [options] PATH...   read everything and print a summary
    tarnwick --version

A PATH is a file, a directory or "-" for standard input. Each command's
`--help` shows the rules that concern it (`epilog` below): directories, output
files, decoding and exit codes.
"""

from __future__ import annotations

import argparse
import codecs
import functools
import json
import os
import signal
import stat
import sys
import textwrap
import time
from concurrent.futures import ProcessPoolExecutor
from typing import Iterator, NamedTuple, Sequence

from tqdm import tqdm

import tarnwick
import tarnwick_tree

__all__ = ["main"]

DEFAULT_EXTENSIONS = (".pas", ".pp", ".inc", ".dpr", ".dpk", ".lpr")
OUTPUT_SUFFIX = {"tokens": ".tokens", "tree": ".tree"}
STDIN_NAME = "<stdin>"
PROGRESS_DELAY = 0.5  # seconds a directory run lasts before its bar appears
# Below this much source, starting worker processes costs more time than they
# save (measured: see the README's "Command line"). A tree text written out
# costs more per byte of source than a summary or a token list.
PARALLEL_FROM_BYTES = {"tokens": 1_500_000, "tree": 500_000, "check": 1_500_000}

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

def epilog(command: str) -> str:
    """The rules shown under one command's help: only those that concern it."""
    tokens, tree, check = command == "tokens", command == "tree", command == "check"
    sections = {
        "paths": [
            "A file is read whatever its name. A directory is walked recursively for the extensions of --ext "
            "(default: .pas .pp .inc .dpr .dpk .lpr, matched without regard to case); its files are taken sorted "
            "by path, component by component, and symbolic links to directories are not followed; a directory "
            "that cannot be listed is reported like an unreadable file.",
            "Only regular files are read: a named pipe, device or socket, named or met in a directory, is reported "
            "as not read and never opened. Paths that give no file at all (directories without sources, or a "
            "mistyped --ext) are an error, exit status 2.",
            '"-" reads standard input, named "<stdin>" in messages' + (" and in the tree header" if tree else "")
            + "; it may be given once.",
        ],
        "output": None if check else [
            "Each file's "
            + ('syntax tree is printed followed by one line feed, in the order of the paths (a tree always starts '
               'with its "# file_name=" header, which names the path as given, joined with the path inside a '
               'walked directory).' if tree else
               'token list is printed followed by one line feed, in the order of the paths (a token list always '
               'ends with its "eof" line).'),
            f"With --out DIR nothing is printed: each input FILE is written to DIR/FILE{OUTPUT_SUFFIX[command]} "
            "(same text), where FILE is the path below the directory given on the command line, or the base name "
            "of a file given directly. Two inputs with the same output file are a usage error.",
        ],
        "decoding": [
            "A file that starts with a byte-order mark is read in the encoding it marks (UTF-8, UTF-16 LE or BE, "
            "UTF-32 LE or BE) whatever --encoding says, and the mark is dropped, so lines and columns count from "
            "the first character after it.",
            "A file without a mark is read as UTF-8 if it is valid UTF-8, else as Windows-1252"
            + (" (counted in the summary)" if check else "") + ", where the five bytes that code page leaves "
            "undefined (0x81 0x8D 0x8F 0x90 0x9D) stand for the characters of the same number, so that every file "
            "decodes. --encoding NAME reads files without a mark in NAME instead (cp1252 as above).",
            "Line breaks are passed on unchanged. A text holding a NUL character (as UTF-16 without a mark does) "
            "is refused as a binary file.",
        ],
        "conditional compilation": [
            "--target NAME reads conditional compilation as that compiler and platform see it (\"tarnwick "
            "targets\" lists them), -D NAME defines a symbol (repeatable; without --target only those are "
            "defined), -I DIR adds a folder to search for include files after the including file's own "
            "(repeatable). With any of them "
            + ("the token list leaves out the tokens of inactive branches (directives and positions are kept; "
               "included files are not listed)" if tokens else
               "the tree is that of the active code, included files read in its place" if tree else
               "the files are parsed that way, and the summary adds the files with directive diagnostics "
               "(with --json: directive_diagnostics)")
            + "; without them every branch is read.",
        ],
        "check": None if not check else [
            "prints files, bytes (as read), tokens (all lines of the token lists), nodes (of the trees), the time "
            "and speed, the number of files read as Windows-1252, the files holding \"unknown\" tokens with the "
            "position of the first one, the files where the grammar skipped tokens it could not read (a sign of "
            "syntax it does not cover) with their number and the first one, the files with grammar diagnostics "
            "(skipped tokens and missing words) with their number and the first one, the files that could not be "
            "read, and the files refused (below). With any -j the summary is the same apart from time and speed.",
            "With --json it is one JSON object instead: files, bytes, tokens, nodes, seconds, and the lists "
            "windows_1252 (file names), unknown_tokens and skipped_tokens ({file, line, col, token}, skipped_tokens "
            "with their count), diagnostics ({file, count, diagnostics: [{line, col, end_line, end_col, tokens, "
            "message}]}, every diagnostic of the file), not_read and refused ({file, reason}).",
        ],
        "refused files": [
            "A text too long for 32-bit line and column numbers (over 4 GiB of UTF-8)"
            + ("" if tokens else ", or whose syntax tree text would pass the module's output limit (1 GiB plus 64 "
               "bytes per byte of source),")
            + " is refused: one line on standard error names the file and the reason, and the run goes on with "
            "the other files.",
        ],
        "progress": [
            "When standard error is a terminal, a directory is walked and the run has lasted half a second, a "
            "progress bar is shown on standard error" + ("" if check else ", unless outputs are printed to the "
                                                        "same terminal") + ". Errors are one line each, on "
            "standard error, naming the file.",
        ],
        "exit status": [
            "0 success, 1 some files could not be read"
            + (" or decoded or were refused" if check else ", decoded or written, or were refused")
            + ", 2 bad usage or no file to read.",
        ],
    }
    return "\n".join(
        f"{title}:\n" + textwrap.fill(" ".join(parts), 79, initial_indent="  ", subsequent_indent="  ") + "\n"
        for title, parts in sections.items() if parts
    )


class UsageError(Exception):
    """A problem with the command line found after argument parsing."""


class SourceError(Exception):
    """A file was read but cannot be lexed: not text in the chosen encoding."""


class Job(NamedTuple):
    name: str  # shown in messages and passed as the file name
    path: str | None  # None: standard input
    out: str | None = None  # output file under --out; None prints the result
    data: bytes | None = None  # standard input read ahead for worker processes
    error: str | None = None  # a directory that could not be walked


class Options(NamedTuple):
    """What the command line says of how to read each file."""

    encoding: str | None = None  # of the files without a byte-order mark
    grammar: str = "specified"  # the grammar of `tree` and `check`
    target: str | None = None  # conditional compilation as this target sees it
    defines: tuple[str, ...] = ()  # symbols defined (-D)
    include_path: tuple[str, ...] = ()  # folders searched for include files (-I)

    @property
    def preprocessed(self) -> bool:
        """Whether conditional compilation is read: any of --target, -D, -I."""
        return bool(self.target or self.defines or self.include_path)

    def parse(self, text: str, name: str, grammar: str) -> tarnwick_tree.Tree:
        if not self.preprocessed:
            return tarnwick_tree.parse(text, name, grammar=grammar)  # type: ignore[arg-type]
        return tarnwick_tree.parse(text, name, grammar=grammar, target=self.target,  # type: ignore[arg-type]
                                   defines=self.defines, include_path=self.include_path)


class Result(NamedTuple):
    name: str
    error: str | None = None
    text: bytes | None = None  # output to print, in UTF-8
    size: int = 0
    windows_1252: bool = False  # read as Windows-1252
    tokens: int = 0
    nodes: int = 0
    unknown: tuple[int, int, str] | None = None  # line, column and text of the first unknown token
    skipped: tuple[int, int, int, str] | None = None  # tokens the grammar skipped: count, and the first's line, col, text
    diagnostics: tuple[tuple[int, int, int, int, int, str], ...] = ()  # line, col, end line, end col, tokens, message
    directives: tuple[tuple[int, int, int, int, int, str], ...] = ()  # the same, of conditionals and includes
    refused: bool = False  # the module refused the text (error says why)


# ---------------------------------------------------------------------------
# One file


def decode(data: bytes, encoding: str | None) -> tuple[str, bool]:
    """The text of a file, and whether it was read as Windows-1252: as
    `tarnwick_tree.decode` reads it (a byte-order mark decides the encoding;
    without one, `encoding`, or when that is None UTF-8 if the bytes are
    valid UTF-8, else Windows-1252)."""
    try:
        return tarnwick_tree.decode(data, encoding)
    except ValueError as e:
        raise SourceError(str(e)) from None


# Every node line follows a line feed (the header comes first); value lines
# start with "value=" instead of "nt".
BACKSLASH = "\\"


def first_unknown(token_list: str) -> tuple[int, int, str] | None:
    """Line, column and text of the first unknown token of a token list, if any."""
    if token_list.startswith("unknown "):
        start = 0
    else:
        start = token_list.find("\nunknown ") + 1
        if start == 0:
            return None
    end = token_list.find("\n", start)
    line = token_list[start:] if end < 0 else token_list[start:end]
    value, _, position = line[len("unknown ") :].rpartition(" ")
    row, _, col = position.partition(":")
    return int(row), int(col), value.replace(BACKSLASH * 2, BACKSLASH)  # undo the token escaping


def file_kind(mode: int) -> str:
    for test, kind in ((stat.S_ISFIFO, "named pipe"), (stat.S_ISCHR, "character device"),
                       (stat.S_ISBLK, "block device"), (stat.S_ISSOCK, "socket"), (stat.S_ISDIR, "directory")):
        if test(mode):
            return kind
    return "special file"


# The messages of the diagnostics that conditional compilation gives (the
# others are the grammar's).
DIRECTIVE_MESSAGES = ("conditional directive", "unknown name in a conditional", "malformed conditional",
                      "switch of unknown state", "include file")


def blank_inactive(text: str, tree: tarnwick_tree.Tree) -> str:
    """`text` with the code its conditionals leave out blanked: every
    character of the inactive ranges of the file itself but its line feeds
    becomes a space, so the tokens left keep their lines and columns."""
    ranges = [r for r in tree.inactive if r.file == tree.file_name]
    if not ranges:
        return text
    starts = [0]
    starts.extend(i + 1 for i, c in enumerate(text) if c == "\n")
    chars = list(text)
    for r in ranges:
        for i in range(starts[r.line - 1] + r.col - 1, starts[r.end_line - 1] + r.end_col - 1):
            if chars[i] != "\n":
                chars[i] = " "
    return "".join(chars)


def process(command: str, options: Options, job: Job) -> Result:
    """Reads, decodes and runs one job; every failure becomes a one-line error."""
    if job.error is not None:
        return Result(job.name, error=job.error)
    try:
        if job.data is not None:
            data = job.data
        elif job.path is None:
            data = sys.stdin.buffer.read()
        else:
            # Opening a named pipe or a device could block or never end:
            # only regular files are opened.
            mode = os.stat(job.path).st_mode
            if not stat.S_ISREG(mode):
                raise SourceError(f"not a regular file ({file_kind(mode)})")
            with open(job.path, "rb") as f:
                data = f.read()
        text, windows_1252 = decode(data, options.encoding)
        if command == "check":
            token_list = tarnwick.lex_to_serialized(text, job.name)
            tree = options.parse(text, job.name, options.grammar)
            tree.serialized_size()  # refuses a text whose tree text would pass the limit
            skipped = tree.skipped
            found = [(d.line, d.col, d.end_line, d.end_col, d.tokens, d.message) for d in tree.diagnostics]
            return Result(
                job.name,
                size=len(data),
                tokens=token_list.count("\n") + 1,
                nodes=len(tree),
                unknown=first_unknown(token_list),
                skipped=(len(skipped), skipped[0].line, skipped[0].col, skipped[0].value) if skipped else None,
                diagnostics=tuple(d for d in found if not d[5].startswith(DIRECTIVE_MESSAGES)),
                directives=tuple(d for d in found if d[5].startswith(DIRECTIVE_MESSAGES)),
                windows_1252=windows_1252,
            )
        if command == "tokens":
            if options.preprocessed:
                text = blank_inactive(text, options.parse(text, job.name, "specified"))
            output = tarnwick.lex_to_serialized(text, job.name)
        elif options.grammar == "complete" or options.preprocessed:
            output = options.parse(text, job.name, options.grammar).to_serialized()
        else:
            output = tarnwick.parse_to_serialized(text, job.name)
        if job.out is None:
            # Encoded here: bytes from a worker process are unpickled as a
            # plain copy and printed as they are.
            return Result(job.name, text=output.encode("utf-8"))
        os.makedirs(os.path.dirname(job.out) or ".", exist_ok=True)
        with open(job.out, "w", encoding="utf-8", newline="\n") as f:
            f.write(output + "\n")
        return Result(job.name)
    except SourceError as e:
        return Result(job.name, error=f"{job.name}: {e}")
    except OSError as e:
        name = display(e.filename) if isinstance(e.filename, str) else job.name
        return Result(job.name, error=f"{name}: {e.strerror or e}")
    except (MemoryError, ValueError) as e:
        # The module refuses a text whose tree text would pass its output
        # limit (MemoryError) or that is too long to number (ValueError).
        return Result(job.name, error=f"{job.name}: refused: {str(e) or 'out of memory'}", refused=True)
    except tarnwick.PanicException as e:
        return Result(job.name, error=f"{job.name}: internal error: {e}")


# ---------------------------------------------------------------------------
# Paths to jobs


def display(path: str) -> str:
    # Names that are not valid UTF-8 get backslash escapes for their odd bytes,
    # so that they can be printed and passed to the module.
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def walk(directory: str, extensions: frozenset[str], out_dir: str | None, suffix: str) -> list[Job]:
    """The sources under `directory`, sorted by path component by component."""
    found: list[tuple[list[str], Job]] = []

    def unreadable(e: OSError) -> None:
        name = e.filename or directory
        job = Job(display(name), None, error=f"{display(name)}: {e.strerror}")
        found.append((os.path.relpath(name, directory).split(os.sep), job))

    for root, _dirs, files in os.walk(directory, onerror=unreadable):
        for file in files:
            if os.path.splitext(file)[1].lower() in extensions:
                path = os.path.join(root, file)
                rel = os.path.relpath(path, directory)
                out = os.path.join(out_dir, rel + suffix) if out_dir is not None else None
                found.append((rel.split(os.sep), Job(display(path), path, out)))
    return [job for _key, job in sorted(found, key=lambda item: item[0])]


def make_jobs(args: argparse.Namespace) -> tuple[list[Job], list[str]]:
    """The jobs in output order, and the paths that were directories."""
    out_dir = getattr(args, "out", None)
    suffix = OUTPUT_SUFFIX.get(args.command, "")
    jobs: list[Job] = []
    walked: list[str] = []
    if args.paths.count("-") > 1:
        raise UsageError('standard input ("-") can be given only once')
    for path in args.paths:
        if path == "-":
            if out_dir is not None:
                raise UsageError('--out cannot be used with standard input ("-")')
            jobs.append(Job(STDIN_NAME, None))
        elif os.path.isdir(path):
            walked.append(path)
            jobs.extend(walk(path, args.ext, out_dir, suffix))
        else:
            out = None
            if out_dir is not None:
                out = os.path.join(out_dir, os.path.basename(path) + suffix)
            jobs.append(Job(display(path), path, out))
    if out_dir is not None:
        if os.path.exists(out_dir) and not os.path.isdir(out_dir):
            raise UsageError(f"--out {out_dir}: not a directory")
        seen: dict[str, str] = {}
        for job in jobs:
            if job.out is None:
                continue
            key = os.path.normpath(job.out)
            if key in seen:
                raise UsageError(f"{seen[key]} and {job.name} would both be written to {display(job.out)}")
            seen[key] = job.name
    return jobs, walked


# ---------------------------------------------------------------------------
# Running


def ignore_interrupts() -> None:
    # Worker processes leave Ctrl-C to the parent, which stops the run.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class Progress:
    """A bar on standard error that appears only once a run has lasted a moment.

    Messages go through it so that they never break the bar's line.
    """

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.enabled, self.done = total, enabled, 0
        self.started = time.monotonic()
        self.bar: tqdm | None = None

    def step(self) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.update()
        elif self.enabled and time.monotonic() - self.started >= PROGRESS_DELAY:
            self.bar = tqdm(total=self.total, initial=self.done, file=sys.stderr, unit="file", leave=False)

    def message(self, text: str) -> None:
        if self.bar is None:
            sys.stderr.write(text + "\n")
            sys.stderr.flush()
        else:
            self.bar.write(text, file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run(command: str, jobs: list[Job], workers: int, options: Options, progress: Progress) -> Iterator[Result]:
    """Yields the results in job order; with one worker nothing is spawned."""
    work = functools.partial(process, command, options)
    workers = min(workers, len(jobs))
    if workers <= 1:
        results: Iterator[Result] = map(work, jobs)
        executor = None
    else:
        # Workers cannot share the parent's standard input: read it here.
        jobs = [j._replace(data=sys.stdin.buffer.read()) if j.name == STDIN_NAME and j.path is None else j for j in jobs]
        executor = ProcessPoolExecutor(workers, initializer=ignore_interrupts)
        chunk = max(1, min(32, len(jobs) // (workers * 8)))
        results = executor.map(work, jobs, chunksize=chunk)
    try:
        for result in results:
            progress.step()
            yield result
    finally:
        progress.close()
        if executor is not None:
            executor.shutdown(wait=True, cancel_futures=True)


def write_all(data: bytes) -> None:
    # A pipe whose reader goes away can end a write short instead of failing;
    # writing the rest then raises BrokenPipeError.
    view = memoryview(data)
    while view:
        view = view[sys.stdout.buffer.write(view) :]


def print_outputs(results: Iterator[Result], progress: Progress) -> int:
    status = EXIT_OK
    for result in results:
        if result.error is not None:
            sys.stdout.flush()
            progress.message(f"tarnwick: {result.error}")
            status = EXIT_FAILED
        elif result.text is not None:
            write_all(result.text)
            write_all(b"\n")
    sys.stdout.flush()
    return status


def reason(result: Result) -> str:
    """An error without the file name it starts with."""
    assert result.error is not None
    return result.error.removeprefix(result.name + ": ")


def diagnostics_json(done: list[Result], field: str) -> list[dict[str, object]]:
    """The files with diagnostics in the Result field `field`, each with all of them."""
    return [{"file": r.name, "count": len(found), "diagnostics": [
        {"line": line, "col": col, "end_line": end_line, "end_col": end_col, "tokens": tokens, "message": message}
        for line, col, end_line, end_col, tokens, message in found]}
        for r in done if (found := getattr(r, field))]


def summary_json(done: list[Result], failed: list[Result], refused: list[Result], elapsed: float) -> str:
    """The summary as one JSON object: the totals, then each list of files."""
    summary = {
        "files": len(done),
        "bytes": sum(r.size for r in done),
        "tokens": sum(r.tokens for r in done),
        "nodes": sum(r.nodes for r in done),
        "seconds": round(elapsed, 6),
        "windows_1252": [r.name for r in done if r.windows_1252],
        "unknown_tokens": [{"file": r.name, "line": r.unknown[0], "col": r.unknown[1], "token": r.unknown[2]}
                           for r in done if r.unknown is not None],
        "skipped_tokens": [{"file": r.name, "count": r.skipped[0], "line": r.skipped[1], "col": r.skipped[2],
                            "token": r.skipped[3]} for r in done if r.skipped is not None],
        "diagnostics": diagnostics_json(done, "diagnostics"),
        "directive_diagnostics": diagnostics_json(done, "directives"),
        "not_read": [{"file": r.name, "reason": reason(r)} for r in failed],
        "refused": [{"file": r.name, "reason": reason(r)} for r in refused],
    }
    return json.dumps(summary, ensure_ascii=False)


def print_summary(results: Iterator[Result], progress: Progress, as_json: bool = False,
                  preprocessed: bool = False) -> int:
    done: list[Result] = []
    failed: list[Result] = []
    refused: list[Result] = []
    for result in results:
        if result.error is not None:
            progress.message(f"tarnwick: {result.error}")
            (refused if result.refused else failed).append(result)
        else:
            done.append(result)
    elapsed = time.monotonic() - progress.started
    if as_json:
        write_all((summary_json(done, failed, refused, elapsed) + "\n").encode("utf-8"))
        sys.stdout.flush()
        return EXIT_FAILED if failed or refused else EXIT_OK
    size = sum(r.size for r in done)
    unknown = [(r.name, r.unknown) for r in done if r.unknown is not None]
    skipped = [(r.name, r.skipped) for r in done if r.skipped is not None]
    diagnosed = [(r.name, r.diagnostics) for r in done if r.diagnostics]
    directed = [(r.name, r.directives) for r in done if r.directives]
    lines = [
        f"files: {len(done)}",
        f"bytes: {size}",
        f"tokens: {sum(r.tokens for r in done)}",
        f"nodes: {sum(r.nodes for r in done)}",
        f"time: {elapsed:.3f} s",
        f"speed: {size / 1e6 / max(elapsed, 1e-9):.2f} MB/s",
        f"files read as Windows-1252: {sum(r.windows_1252 for r in done)}",
        f"files with unknown tokens: {len(unknown)}",
        *(f"  {name}:{line}:{col} {text!r}" for name, (line, col, text) in unknown),
        f"files with skipped tokens: {len(skipped)}",
        *(f"  {name}: {count} from {line}:{col} {text!r}" for name, (count, line, col, text) in skipped),
        f"files with grammar diagnostics: {len(diagnosed)}",
        *(f"  {name}: {len(found)}, the first at {found[0][0]}:{found[0][1]}: {found[0][5]}"
          for name, found in diagnosed),
        *([f"files with directive diagnostics: {len(directed)}",
           *(f"  {name}: {len(found)}, the first at {found[0][0]}:{found[0][1]}: {found[0][5]}"
             for name, found in directed)] if preprocessed else []),
        f"files not read: {len(failed)}",
        *(f"  {r.error}" for r in failed),
        f"files refused: {len(refused)}",
        *(f"  {r.error}" for r in refused),
    ]
    write_all(("\n".join(lines) + "\n").encode("utf-8"))
    sys.stdout.flush()
    return EXIT_FAILED if failed or refused else EXIT_OK


# ---------------------------------------------------------------------------
# Command line


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value


def extension_set(text: str) -> frozenset[str]:
    items = [item.strip().lower() for item in text.split(",")]
    if not all(items) or any(item in (".", "*") for item in items):
        raise argparse.ArgumentTypeError(f"expected extensions such as .pas,.inc, got {text!r}")
    return frozenset(item if item.startswith(".") else "." + item for item in items)


def encoding_name(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {text!r}") from None


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))  # the cores this process may run on
    except AttributeError:
        return os.cpu_count() or 1


def default_workers(command: str, jobs: list[Job], printing: bool) -> int:
    """One worker when printing or for a small selection, else one per core.

    Printing, each whole text would travel back from its worker to be written
    out, which costs more than making it.
    """
    if printing or cores() == 1:
        return 1
    total = 0
    for job in jobs:
        if job.path is not None:
            try:
                total += os.stat(job.path).st_size
            except OSError:
                continue  # reported when its turn comes
            if total >= PARALLEL_FROM_BYTES[command]:
                return cores()
    return 1


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnwick",
        description="Token lists and syntax trees of Object Pascal (Delphi) sources.",
        epilog='Run "tarnwick COMMAND --help" for the options and rules of one command.',
    )
    parser.add_argument("--version", action="version", version=f"tarnwick {tarnwick.version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, text in (
        ("tokens", "print the token list of each file"),
        ("tree", "print the syntax tree of each file"),
        ("check", "read and parse every file, then print a summary"),
    ):
        command = commands.add_parser(name, help=text, description=text.capitalize() + ".", epilog=epilog(name),
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
        command.add_argument("paths", nargs="+", metavar="PATH", help='file, directory, or "-" for standard input')
        cores_text = f"the number of cores for more than {PARALLEL_FROM_BYTES[name] / 1e6:g} MB of source, else 1"
        default = cores_text if name == "check" else f"1 when printing; with --out, {cores_text}"
        command.add_argument("-j", "--jobs", type=positive_int, metavar="N",
                             help=f"worker processes (default: {default}); results do not depend on it")
        command.add_argument("--ext", type=extension_set, default=frozenset(DEFAULT_EXTENSIONS), metavar="LIST",
                             help="comma-separated extensions to take from directories (default: %s)"
                             % ",".join(DEFAULT_EXTENSIONS))
        command.add_argument("--encoding", type=encoding_name, metavar="NAME",
                             help="encoding of the files without a byte-order mark, e.g. cp1251 (default: UTF-8, "
                             "else Windows-1252)")
        if name != "tokens":
            default_grammar = "complete" if name == "check" else "specified"
            command.add_argument("--grammar", choices=("complete", "specified"), default=default_grammar,
                                 help=f"the grammar that reads the files (default: {default_grammar}; see "
                                 "docs/grammar.md for the complete one)")
        command.add_argument("--target", type=target_name, metavar="NAME",
                             help="read conditional compilation as the compiler and platform NAME see it "
                             '(see "tarnwick targets")')
        command.add_argument("-D", dest="defines", action="append", default=[], metavar="NAME",
                             help="define the conditional symbol NAME (repeatable; without --target only "
                             "these are defined)")
        command.add_argument("-I", dest="include_path", action="append", default=[], metavar="DIR",
                             help="search DIR for include files after the including file's folder (repeatable)")
        if name == "check":
            command.add_argument("--json", action="store_true",
                                 help="write the summary as one JSON object (see below) instead of text")
        else:
            command.add_argument("--out", metavar="DIR",
                                 help="write one output file per input under DIR instead of printing")
    commands.add_parser("targets", help="list the targets of --target",
                        description="List the targets of --target: name, compiler, platform and the symbols "
                        "each predefines.")
    return parser


def target_name(text: str) -> str:
    names = [t.name for t in tarnwick_tree.targets()]
    if text not in names:
        raise argparse.ArgumentTypeError(f"unknown target {text!r} (one of {', '.join(names)})")
    return text


def print_targets() -> int:
    lines = [f"{t.name}\t{t.compiler}\t{t.platform}\t{' '.join(t.symbols)}" for t in tarnwick_tree.targets()]
    write_all(("\n".join(lines) + "\n").encode("utf-8"))
    sys.stdout.flush()
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "targets":
        return print_targets()
    try:
        jobs, walked = make_jobs(args)
    except UsageError as e:
        parser.error(str(e))  # exits with status 2
    if not jobs:
        extensions = " ".join(sorted(args.ext))
        sys.stderr.write(f"tarnwick: no file to read: no file ending in {extensions} under "
                         f"{', '.join(map(display, walked))} (see --ext)\n")
        return EXIT_USAGE
    printing = args.command != "check" and args.out is None
    workers = args.jobs or default_workers(args.command, jobs, printing)
    # The bar shares the terminal only with the summary, never with printed outputs.
    progress = Progress(len(jobs), bool(walked) and sys.stderr.isatty() and not (printing and sys.stdout.isatty()))
    try:
        options = Options(encoding=args.encoding, grammar=getattr(args, "grammar", "specified"), target=args.target,
                          defines=tuple(args.defines), include_path=tuple(args.include_path))
        results = run(args.command, jobs, workers, options, progress)
        if args.command == "check":
            return print_summary(results, progress, args.json, options.preprocessed)
        return print_outputs(results, progress)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
