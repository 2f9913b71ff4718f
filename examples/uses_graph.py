"""The unit dependency graph of a folder, in Graphviz DOT (or SVG).

    python examples/uses_graph.py PATH... [--local] [--out graph.dot | --svg graph.svg]

A node per unit, program, library and package read (include files, which
name none, are left out) and per unit they use; an edge per name in a
clause, styled by the clause:

    interface uses (and those of a program or library)   solid
    implementation uses                                   dashed
    package `contains`                                    bold
    package `requires`                                    dotted

Programs, libraries and packages are drawn with a double border, units that
no file read declares in grey (`--local` leaves them out). Names are matched
without regard to case, as Pascal does; a node shows the name as its unit
declares it, else as first used. `--svg FILE` runs Graphviz `dot` to draw
the graph.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
from typing import NamedTuple, Sequence

import tarnwick_tree
from pascal_files import parsed

STYLES = {"interface": "solid", "implementation": "dashed", "contains": "bold", "requires": "dotted"}
CLAUSES = {"ntUses": "", "ntContains": "contains", "ntRequires": "requires"}


class Module(NamedTuple):
    name: str
    kind: str  # unit, program, library or package
    uses: list[tuple[str, str]]  # (used name, clause) in the order of the text


def module(tree: tarnwick_tree.Tree) -> Module | None:
    """What a file declares and uses; None for a file that names no module."""
    root = tree.root
    if "name" not in root:
        return None
    uses = []
    for section in [root, *(c for c in root.children if c.kind in ("ntInterface", "ntImplementation"))]:
        for clause in section.children:
            if clause.kind in CLAUSES:
                how = CLAUSES[clause.kind] or ("implementation" if section.kind == "ntImplementation" else "interface")
                uses += [(unit["name"], how) for unit in clause.children if "name" in unit]
    return Module(root["name"], root.get("kind") or "unit", uses)


def quoted(name: str) -> str:
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def dot(modules: list[Module], local: bool) -> str:
    declared = {m.name.lower(): m for m in modules}
    shown = {m.name.lower(): m.name for m in modules}
    for m in modules:
        for used, _ in m.uses:
            shown.setdefault(used.lower(), used)
    lines = ["digraph uses {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];"]
    for key, name in shown.items():
        if key in declared:
            lines.append(f"  {quoted(name)}" + (" [peripheries=2];" if declared[key].kind != "unit" else ";"))
        elif not local:
            lines.append(f"  {quoted(name)} [color=grey, fontcolor=grey];")
    for m in modules:
        for used, how in m.uses:
            if not local or used.lower() in declared:
                style = "" if how == "interface" else f" [style={STYLES[how]}]"
                lines.append(f"  {quoted(m.name)} -> {quoted(shown[used.lower()])}{style};")
    return "\n".join(lines + ["}"]) + "\n"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="The unit dependency graph of Pascal sources, as DOT or SVG.")
    parser.add_argument("paths", nargs="+", metavar="PATH", help="Pascal files or folders")
    parser.add_argument("--local", action="store_true", help="leave out the units no file read declares")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--out", metavar="FILE", help="write the DOT text to FILE instead of standard output")
    output.add_argument("--svg", metavar="FILE", help="draw the graph as SVG into FILE with Graphviz dot")
    args = parser.parse_args(argv)
    dot_program = shutil.which("dot")
    if args.svg and dot_program is None:
        print("uses_graph: --svg needs the Graphviz program dot, which is not on the PATH: install Graphviz "
              "(e.g. apt-get install graphviz), or write the DOT text with --out and draw it elsewhere",
              file=sys.stderr)
        return 2
    modules = [m for _, tree in parsed(args.paths) if (m := module(tree)) is not None]
    text = dot(modules, args.local)
    if args.svg and dot_program is not None:
        run = subprocess.run([dot_program, "-Tsvg", "-o", args.svg], input=text.encode("utf-8"), capture_output=True)
        if run.returncode != 0:
            print(f"uses_graph: dot failed: {run.stderr.decode(errors='replace').strip()}", file=sys.stderr)
            return 1
    elif args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
