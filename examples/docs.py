"""API documentation in Markdown: a page per unit, from its declarations and
their documentation comments.

    python examples/docs.py PATH... [--out DIR] [--private] [--summary]

For each unit (and program, library, package) read: its types and routines
(those of the interface section of a unit, the top-level ones of the
others), each with its declaration as written (headings without their body;
a class or record by its first line) and its documentation text, then the
fields, methods and properties of each class, record, interface and object
type, with their visibility (private ones only with --private). A documentation text is `Node.doc`: the `///`
lines or the comment block right above a declaration, or a comment at the
end of its last line. Include files, which name no unit, are left out.

Without --out the pages are printed one after another; with it, each is
written to DIR/<unit name>.md.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from typing import Sequence

import tarnwick_tree
from pascal_files import parsed

STRUCTURED = frozenset(("class", "record", "interface", "dispinterface", "object", "helper"))
MEMBERS = frozenset(("ntField", "ntMethod", "ntProperty"))
VISIBILITY = {"ntPrivate": "private", "ntStrictPrivate": "strict private", "ntProtected": "protected",
              "ntStrictProtected": "strict protected", "ntPublic": "public", "ntPublished": "published"}
BODY = frozenset(("ntStatements", "ntVariables", "ntConstants", "ntTypeSection", "ntMethod", "ntLabel"))


class Source:
    """The text of a tree, sliced by line and column."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.lines = [0] + [m.end() for m in re.finditer(r"\r\n|\r|\n", text)]

    def of(self, node: tarnwick_tree.Node, first_line: bool = False) -> str:
        """A declaration as written, on one line: its attributes and a body
        left out, or only its first line."""
        children = node.children
        start = (children[0].end_line, children[0].end_col) if children and children[0].kind == "ntAttributes" \
            else (node.line, node.col)
        end = next(((c.line, c.col) for c in children if c.kind in BODY), (node.end_line, node.end_col))
        text = self.text[self.lines[start[0] - 1] + start[1] - 1:self.lines[end[0] - 1] + end[1] - 1].strip()
        return " ".join((re.split(r"\r\n|\r|\n", text)[0] if first_line else text).split())


def doc_of(node: tarnwick_tree.Node, indent: str = "") -> str:
    """The documentation text of a declaration as Markdown: XML `<summary>`
    tags dropped, other tags shown as text, lines trimmed; "" for none."""
    doc: str | None = getattr(node, "doc", None)  # None where Node has no doc
    lines = re.sub(r"</?summary>", "", doc or "").replace("<", "&lt;").strip().splitlines()
    return ("\n" + indent).join(line.strip() for line in lines)


# Declarations listed, and those with a documentation text (--summary).
TALLY = {"declarations": 0, "documented": 0}


def tally(doc: str) -> str:
    TALLY["declarations"] += 1
    TALLY["documented"] += bool(doc)
    return doc


def documented(heading: str, node: tarnwick_tree.Node, code: str) -> list[str]:
    doc = tally(doc_of(node))
    return [heading, "", f"`{code}`", "", *([doc, ""] if doc else [])]


def members(source: Source, kind: tarnwick_tree.Node, private: bool) -> list[str]:
    lines: list[str] = []
    for part in kind.children:
        label = VISIBILITY.get(part.kind, "")
        if part.kind == "ntPublic" and part.get("kind") == "automated":
            label = "automated"
        if label.endswith("private") and not private:
            continue
        for member in part.children if label else [part]:
            for m in member.children if member.kind == "ntFields" else [member]:
                if m.kind in MEMBERS:
                    doc = tally(doc_of(m, "  "))
                    text = ("class var " if m.get("class") and m.kind == "ntField" else "") + source.of(m).rstrip(";")
                    lines.append(f"- `{text}`" + (f" ({label})" if label else "")
                                 + (": " + doc if doc else ""))
    return lines


def page(tree: tarnwick_tree.Tree, private: bool = False) -> tuple[str, str] | None:
    """The unit's name and its page; None for a text that names no unit."""
    root, source = tree.root, Source(tree.source or "")
    if "name" not in root:
        return None
    sections = [c for c in root.children if c.kind == "ntInterface"] or [root]
    lines = [f"# {root.get('kind') or 'unit'} {root['name']}", ""]
    lines += [doc_of(root), ""] if doc_of(root) else []
    types = [d for s in sections for c in s.children if c.kind == "ntTypeSection" for d in c.children
             if d.kind == "ntTypeDecl"]
    routines = [c for s in sections for c in s.children if c.kind == "ntMethod"]
    for title, found in (("Types", types), ("Routines", routines)):
        lines += [f"## {title}", ""] if found else []
        for node in found:
            kind = next((c for c in node.children if c.kind == "ntType"), None)
            structured = kind is not None and kind.get("type") in STRUCTURED and not kind.get("forwarded")
            lines += documented(f"### {node.get('name')}", node, source.of(node, structured).rstrip(";"))
            listed = members(source, kind, private) if kind is not None and structured else []
            lines += [*listed, ""] if listed else []
    return root["name"], "\n".join(lines).rstrip("\n") + "\n"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A Markdown page per unit: its types, members and routines.")
    parser.add_argument("paths", nargs="+", metavar="PATH", help="Pascal files or folders")
    parser.add_argument("--out", metavar="DIR", help="write each page to DIR/<unit>.md instead of printing")
    parser.add_argument("--private", action="store_true", help="list private and strict private members too")
    parser.add_argument("--summary", action="store_true",
                        help="print on standard error how many declarations were listed and how many are documented")
    args = parser.parse_args(argv)
    pages = [p for _, tree in parsed(args.paths) if (p := page(tree, args.private)) is not None]
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        for name, text in pages:
            with open(os.path.join(args.out, name + ".md"), "w", encoding="utf-8") as f:
                f.write(text)
    else:
        sys.stdout.write("\n".join(text for _, text in pages))
    if args.summary:
        n, documented = TALLY["declarations"], TALLY["documented"]
        sys.stderr.write(f"{len(pages)} pages, {n} declarations, {documented} with a documentation text "
                         f"({100 * documented / max(n, 1):.1f}%)\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
