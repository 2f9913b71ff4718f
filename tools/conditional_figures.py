"""What conditional compilation changes in the trees of two corpora.

    python tools/conditional_figures.py [--fpc ROOT] [--delphi ROOT] [-j N]

Parses every Pascal file of the Free Pascal sources (/usr/share/fpcsrc/3.2.2)
with the target fpc3.2-linux64, and of the Delphi corpus
(../shared/corpus/delphi) with delphi12-win64, each once with its target and
include folders and once without either, through `tarnwick_tree.parse_file`,
and prints per corpus and per run:

- files, and files that raised an exception (there should be none);
- files with inactive code (`tree.inactive` not empty);
- routines under a bodiless heading: `Method` nodes that are children of a
  `Method` without a `Statements` child (a heading whose body the grammar
  read as local routines), and the files that hold any;
- skipped tokens (`len(tree.skipped)`) and the files with any;
- with the target: files with preprocessor diagnostics, and the files read
  through includes.

Include folders. Free Pascal: a file's own folder comes first anyway; then,
for the run-time library, the folders a Linux x86-64 build of it searches
(rtl/linux/x86_64, rtl/linux, rtl/x86_64, rtl/unix, rtl/inc, rtl/objpas and
its sysutils and classes folders); for the compiler, compiler/x86_64,
compiler/x86 and compiler; for a package, every folder of the package except
those named for other systems or processors, Linux and x86-64 first, then
rtl/inc. Delphi: every folder of the file's project that holds a .inc file.
"""

from __future__ import annotations

import argparse
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXTENSIONS = (".pas", ".pp", ".inc", ".dpr", ".dpk", ".lpr")
FPC_ROOT = "/usr/share/fpcsrc/3.2.2"
DELPHI_ROOT = os.path.normpath(os.path.join(REPO, "..", "shared", "corpus", "delphi"))

# Folder names of the Free Pascal sources that stand for a system or
# processor other than Linux on x86-64.
OTHER_PLATFORMS = frozenset("""
    aix amiga android aros atari avr beos bsd darwin dragonfly embedded emx freebsd gba go32v2 haiku
    i386 i8086 iphonesim java jvm m68k macos macosx mips mipsel morphos msdos nativent nds netbsd
    netware netwlibc openbsd os2 palmos powerpc powerpc64 qnx riscv32 riscv64 sinclairql solaris
    sparc sparc64 symbian watcom wasm32 wii win win16 win32 win64 wince windows xtensa z80 arm
    aarch64 ios osx
""".split())
FIRST = ("linux", "x86_64", "unix")


def pascal_files(root: str) -> list[str]:
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        found.extend(os.path.join(dirpath, n) for n in sorted(filenames) if n.lower().endswith(EXTENSIONS))
    return found


def package_folders(package: str) -> list[str]:
    """The folders of a package a Linux x86-64 build may include from."""
    folders = []
    for dirpath, dirnames, _ in os.walk(package):
        dirnames[:] = sorted(d for d in dirnames if d.lower() not in OTHER_PLATFORMS)
        folders.append(dirpath)
    folders.sort(key=lambda f: (not any(part in FIRST for part in f.split(os.sep)), f))
    return folders


def fpc_include_path(root: str, path: str, cache: dict[str, list[str]]) -> list[str]:
    rel = os.path.relpath(path, root).split(os.sep)
    rtl = os.path.join(root, "rtl")
    if rel[0] == "rtl":
        return [os.path.join(rtl, *p.split("/")) for p in
                ("linux/x86_64", "linux", "x86_64", "unix", "inc", "objpas", "objpas/sysutils", "objpas/classes")]
    if rel[0] == "compiler":
        return [os.path.join(root, "compiler", p) for p in ("x86_64", "x86", "")]
    if rel[0] == "packages" and len(rel) > 2:
        package = os.path.join(root, "packages", rel[1])
        if package not in cache:
            cache[package] = package_folders(package) + [os.path.join(rtl, "inc")]
        return cache[package]
    return []


def delphi_include_path(root: str, path: str, cache: dict[str, list[str]]) -> list[str]:
    project = os.path.join(root, os.path.relpath(path, root).split(os.sep)[0])
    if project not in cache:
        cache[project] = sorted({d for d, _, names in os.walk(project) if any(n.lower().endswith(".inc") for n in names)})
    return cache[project]


@dataclass
class Figures:
    files: int = 0
    errors: list[str] = field(default_factory=list)
    inactive_files: int = 0
    misplaced: int = 0
    misplaced_files: int = 0
    skipped: int = 0
    skipped_files: int = 0
    diagnostic_files: int = 0
    including_files: int = 0

    def add(self, other: "Figures") -> None:
        for name, value in vars(other).items():
            if isinstance(value, list):
                getattr(self, name).extend(value)
            else:
                setattr(self, name, getattr(self, name) + value)


PREPROCESSOR_DIAGNOSTICS = ("directive", "include", "conditional", "switch")


def measure(job: tuple[str, str | None, list[str] | None]) -> Figures:
    import tarnwick_tree

    path, target, include_path = job
    f = Figures(files=1)
    try:
        if target is None:
            tree = tarnwick_tree.parse_file(path)
        else:
            tree = tarnwick_tree.parse_file(path, target=target, include_path=include_path)
    except Exception as e:  # noqa: BLE001 - counted and reported
        f.errors.append(f"{path}: {type(e).__name__}: {e}")
        return f
    f.inactive_files = int(bool(tree.inactive))
    misplaced = 0
    for method in tree.find_all("Method"):
        children = method.children
        if not any(c.kind == "ntStatements" for c in children):
            misplaced += sum(c.kind == "ntMethod" for c in children)
    f.misplaced, f.misplaced_files = misplaced, int(misplaced > 0)
    f.skipped = len(tree.skipped)
    f.skipped_files = int(f.skipped > 0)
    if target is not None:
        f.diagnostic_files = int(any(d.message.startswith(PREPROCESSOR_DIAGNOSTICS) for d in tree.diagnostics))
        f.including_files = int(any(n.file_name for n in tree.files[1:]) if hasattr(tree, "files") else 0)
    return f


def run(name: str, root: str, target: str, include_path, workers: int) -> None:
    files = pascal_files(root)
    cache: dict[str, list[str]] = {}
    runs = {"without a target": [(p, None, None) for p in files],
            f"with {target}": [(p, target, include_path(root, p, cache)) for p in files]}
    print(f"{name} ({root}): {len(files)} files")
    with ProcessPoolExecutor(workers) as pool:
        for label, jobs in runs.items():
            total = Figures()
            for f in pool.map(measure, jobs, chunksize=16):
                total.add(f)
            line = (f"  {label}: {len(total.errors)} exceptions; files with inactive code {total.inactive_files}; "
                    f"routines under a bodiless heading {total.misplaced} in {total.misplaced_files} files; "
                    f"skipped tokens {total.skipped} in {total.skipped_files} files")
            if label != "without a target":
                line += f"; files with directive diagnostics {total.diagnostic_files}"
            print(line)
            for e in total.errors[:10]:
                print("    " + e)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fpc", default=FPC_ROOT, help="the Free Pascal sources")
    parser.add_argument("--delphi", default=DELPHI_ROOT, help="the Delphi corpus")
    parser.add_argument("-j", type=int, default=os.cpu_count() or 1, help="worker processes")
    args = parser.parse_args()
    for name, root, target, include_path in (("Free Pascal sources", args.fpc, "fpc3.2-linux64", fpc_include_path),
                                             ("Delphi corpus", args.delphi, "delphi12-win64", delphi_include_path)):
        if os.path.isdir(root):
            run(name, root, target, include_path, args.j)
        else:
            print(f"{name}: {root} is not there; skipped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
