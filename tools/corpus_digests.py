"""Digests of both outputs for every folder of the Free Pascal sources.

    python tools/corpus_digests.py            # compare with the committed digests
    python tools/corpus_digests.py --write    # regenerate them

The corpus is Debian's `fpc-source-3.2.2` (/usr/share/fpcsrc/3.2.2, or the
directory given with --root). Every file with a Pascal extension is read as
UTF-8, or as Latin-1 when it is not UTF-8, and run through both functions
under its path relative to the root. A folder's digest covers the files
directly in it: their paths and the SHA-256 of each output (or the error a
call raised); a folder that holds a single Pascal file is counted with its
parent, so that the list is not padded with one-file lines. The committed
file, tests/data/corpus_digests.txt, has one line per folder, so a change of
output shows in its diff as the folders that changed.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
from concurrent.futures import ProcessPoolExecutor

DEFAULT_ROOT = "/usr/share/fpcsrc/3.2.2"
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIGESTS = os.path.join(REPO, "tests", "data", "corpus_digests.txt")
EXTENSIONS = (".pas", ".pp", ".inc", ".dpr", ".dpk", ".lpr")
HEADER = ("# folder<TAB>files<TAB>token lists<TAB>tree texts: SHA-256 digests of both outputs "
          "of the files of each folder of the Free Pascal 3.2.2 sources; "
          "regenerate with: python tools/corpus_digests.py --write")


def folders(root: str) -> list[tuple[str, list[str]]]:
    """The folders below `root` that hold Pascal files, each with its files'
    paths relative to `root`, both sorted; the file of a folder that holds
    only one is listed with its parent folder."""
    found: dict[str, list[str]] = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        names = sorted(n for n in filenames if n.lower().endswith(EXTENSIONS))
        if not names:
            continue
        rel = os.path.relpath(dirpath, root)
        paths = [os.path.normpath(os.path.join(rel, n)) for n in names]
        if len(paths) == 1 and rel != ".":
            rel = os.path.dirname(rel) or "."
        found.setdefault(rel, []).extend(paths)
    return sorted((rel, sorted(paths)) for rel, paths in found.items())


def read_text(path: str) -> str:
    with open(path, "rb") as f:
        data = f.read()
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def output_digest(fn, text: str, name: str) -> str:
    try:
        out = fn(text, name)
    except MemoryError as e:  # a refused text is part of the outcome
        return "MemoryError: " + str(e)
    return hashlib.sha256(out.encode("utf-8")).hexdigest()


def folder_line(job: tuple[str, str, list[str]]) -> str:
    """The digest line of one folder."""
    import tarnwick

    root, folder, files = job
    tokens = hashlib.sha256()
    trees = hashlib.sha256()
    for rel in files:
        text = read_text(os.path.join(root, rel))
        tokens.update(f"{rel}\0{output_digest(tarnwick.lex_to_serialized, text, rel)}\n".encode())
        trees.update(f"{rel}\0{output_digest(tarnwick.parse_to_serialized, text, rel)}\n".encode())
    return f"{folder}\t{len(files)}\t{tokens.hexdigest()}\t{trees.hexdigest()}"


def compute(root: str, workers: int | None = None) -> list[str]:
    """The digest lines of the corpus at `root`, in folder order."""
    jobs = [(root, folder, files) for folder, files in folders(root)]
    # Largest folders first, so that the workers finish together.
    order = sorted(range(len(jobs)), key=lambda i: -len(jobs[i][2]))
    with ProcessPoolExecutor(max_workers=workers or os.cpu_count()) as pool:
        lines = dict(zip(order, pool.map(folder_line, [jobs[i] for i in order], chunksize=4)))
    return [lines[i] for i in range(len(jobs))]


def read_committed(path: str = DIGESTS) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip() and not line.startswith("#")]


def differences(expected: list[str], actual: list[str]) -> list[str]:
    """The folders whose line differs, or that only one side has."""
    def by_folder(lines):
        return {line.split("\t", 1)[0]: line for line in lines}

    want, got = by_folder(expected), by_folder(actual)
    return sorted(f for f in want.keys() | got.keys() if want.get(f) != got.get(f))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=DEFAULT_ROOT, help="the Free Pascal source tree")
    parser.add_argument("--write", action="store_true", help="rewrite the committed digests")
    parser.add_argument("-j", type=int, default=None, help="worker processes (default: the cores)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.root):
        print(f"{args.root}: no such directory (apt-get install fpc-source-3.2.2)", file=sys.stderr)
        return 2
    lines = compute(args.root, args.j)
    if args.write:
        with open(DIGESTS, "w", encoding="utf-8") as f:
            f.write(HEADER + "\n" + "\n".join(lines) + "\n")
        print(f"{len(lines)} folders written to {os.path.relpath(DIGESTS)}")
        return 0
    changed = differences(read_committed(), lines)
    for folder in changed:
        print(f"changed: {folder}")
    print(f"{len(lines)} folders, {len(changed)} changed")
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
