"""Runs both functions over every Pascal source under the given directories.

    python tools/sweep.py /usr/share/fpcsrc [more directories...]

Reports files, megabytes, seconds and every exception (with the file that
raised it). Files that do not decode as UTF-8 are counted and skipped. The
exit code is 1 when any call raised, else 0.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import tarnwick

EXTENSIONS = (".pas", ".pp", ".inc", ".dpr", ".dpk", ".lpr")


def sources(roots):
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                if name.lower().endswith(EXTENSIONS):
                    yield os.path.join(dirpath, name)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roots", nargs="+", help="directories to walk")
    args = parser.parse_args(argv)
    files = skipped = 0
    size = 0
    failures = []
    lex_seconds = parse_seconds = 0.0
    for path in sources(args.roots):
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except (UnicodeDecodeError, OSError):
            skipped += 1
            continue
        files += 1
        size += len(text.encode("utf-8"))
        for name, fn in (("lex_to_serialized", tarnwick.lex_to_serialized),
                         ("parse_to_serialized", tarnwick.parse_to_serialized)):
            start = time.perf_counter()
            try:
                fn(text, path)
            except BaseException as e:  # PanicException derives from BaseException
                if isinstance(e, KeyboardInterrupt):
                    raise
                failures.append((path, name, f"{type(e).__name__}: {e}"))
            elapsed = time.perf_counter() - start
            if name == "lex_to_serialized":
                lex_seconds += elapsed
            else:
                parse_seconds += elapsed
    mb = size / 1e6
    print(f"files: {files} ({skipped} not UTF-8, skipped)")
    print(f"size: {mb:.1f} MB")
    print(f"lex_to_serialized: {lex_seconds:.2f} s ({mb / max(lex_seconds, 1e-9):.1f} MB/s)")
    print(f"parse_to_serialized: {parse_seconds:.2f} s ({mb / max(parse_seconds, 1e-9):.1f} MB/s)")
    print(f"exceptions: {len(failures)}")
    for path, name, message in failures:
        print(f"  {path}: {name}: {message}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
