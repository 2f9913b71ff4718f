"""Finding and reading Pascal sources as the `tarnwick` command does.

The worked tools beside this file share it: `sources` walks the paths given
on their command line and `read_source` decodes one file.
"""

from __future__ import annotations

import codecs
import os
from typing import Iterable, Iterator

import tarnwick_tree

EXTENSIONS = frozenset((".pas", ".pp", ".dpr", ".dpk", ".inc", ".lpr"))

# The byte-order marks a file may start with, longest first: the UTF-32 LE
# mark starts with the UTF-16 LE one.
MARKS = ((codecs.BOM_UTF32_LE, "utf-32-le"), (codecs.BOM_UTF32_BE, "utf-32-be"), (codecs.BOM_UTF8, "utf-8"),
         (codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"))

# Windows-1252 as Delphi reads it: the five bytes the code page leaves
# undefined stand for the code points of the same number, so any bytes decode.
WINDOWS_1252 = "".join(bytes([b]).decode("cp1252", "ignore") or chr(b) for b in range(256))


def decode(data: bytes) -> str:
    """The text of a file: in the encoding its byte-order mark names (the mark
    dropped), else UTF-8 when it is valid UTF-8, else Windows-1252."""
    for mark, encoding in MARKS:
        if data.startswith(mark):
            return data[len(mark):].decode(encoding, "replace")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return codecs.charmap_decode(data, "strict", WINDOWS_1252)[0]


def read_source(path: str) -> str:
    with open(path, "rb") as f:
        return decode(f.read())


def sources(paths: Iterable[str]) -> Iterator[str]:
    """Each path that is a file, and the Pascal sources under each directory
    (sorted by path, symbolic links to directories not followed)."""
    for path in paths:
        if not os.path.isdir(path):
            yield path
            continue
        found = []
        for root, _dirs, files in os.walk(path):
            found += [os.path.join(root, f) for f in files if os.path.splitext(f)[1].lower() in EXTENSIONS]
        yield from sorted(found, key=lambda p: p.split(os.sep))


def parsed(paths: Iterable[str]) -> Iterator[tuple[str, tarnwick_tree.Tree]]:
    """The path and the syntax tree (complete grammar) of each source."""
    for path in sources(paths):
        yield path, tarnwick_tree.parse(read_source(path), path)
