"""A small reader of the tree text, so tests can state tree shapes briefly.

    root = parse("unit A; interface end.")
    assert root.kinds() == ["Interface"]
    assert root.attrs["name"] == "A"
    assert root.shape() == ("Unit", [("Interface", [])])
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

import tarnwick

ATTRIBUTE_KEYS = [
    "abstract", "align", "assembler", "callingconvention", "class", "deprecated", "export",
    "external", "far", "final", "forwarded", "genericargs", "inline", "kind", "methodbinding",
    "name", "near", "noreturn", "overload", "path", "reintroduce", "sealed", "static", "type",
    "unsafe", "varargs", "visibility",
]
_ITEM = re.compile(
    r" (" + "|".join(ATTRIBUTE_KEYS + ["file_name", "source_positions"]) + r")="
)
_HEAD = re.compile(r"nt(\w+) line=(\d+) col=(\d+) end_line=(\d+) end_col=(\d+)")


def unescape(text: str) -> str:
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append({"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}[text[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


@dataclass
class TreeNode:
    kind: str
    line: int
    col: int
    end_line: int
    end_col: int
    attrs: dict = field(default_factory=dict)
    positions: list = field(default_factory=list)
    value: str | None = None
    children: list = field(default_factory=list)

    def kinds(self) -> list:
        """Kinds of the children, in order."""
        return [c.kind for c in self.children]

    def child(self, kind: str, index: int = 0) -> "TreeNode":
        """The index-th child of the given kind."""
        return [c for c in self.children if c.kind == kind][index]

    def walk(self):
        stack = [self]
        while stack:
            n = stack.pop()
            yield n
            stack.extend(reversed(n.children))

    def find_all(self, kind: str) -> list:
        """Every node of the kind in the subtree, in document order."""
        return [n for n in self.walk() if n.kind == kind]

    def shape(self):
        """(kind, [child shapes]) for the whole subtree."""
        return (self.kind, [c.shape() for c in self.children])

    def span(self):
        return (self.line, self.col, self.end_line, self.end_col)


def _parse_line(body: str) -> TreeNode:
    m = _HEAD.match(body)
    if not m:
        raise ValueError(f"not a node line: {body!r}")
    node = TreeNode(m.group(1), *(int(g) for g in m.groups()[1:]))
    rest = body[m.end():]
    items = list(_ITEM.finditer(rest))
    if items and items[0].start() != 0:
        raise ValueError(f"unexpected text in node line: {body!r}")
    for i, item in enumerate(items):
        end = items[i + 1].start() if i + 1 < len(items) else len(rest)
        key, value = item.group(1), rest[item.end():end]
        if key == "source_positions":
            node.positions = [tuple(int(x) for x in p.split(":")) for p in value.split(",")]
        else:
            node.attrs[key] = unescape(value)
    return node


def read_tree(text: str):
    """Returns (file_name, root) of a tree text."""
    lines = text.split("\n")
    if not lines[0].startswith("# file_name="):
        raise ValueError("missing header")
    file_name = unescape(lines[0][len("# file_name="):])
    stack: list = []  # (depth, node)
    root = None
    for line in lines[1:]:
        stripped = line.lstrip(" ")
        indent = len(line) - len(stripped)
        if indent % 2:
            raise ValueError(f"odd indentation: {line!r}")
        depth = indent // 2
        if stripped.startswith("value="):
            owner_depth, owner = stack[-1]
            if depth != owner_depth + 1 or owner.value is not None:
                raise ValueError(f"misplaced value line: {line!r}")
            owner.value = unescape(stripped[len("value="):])
            continue
        node = _parse_line(stripped)
        while stack and stack[-1][0] >= depth:
            stack.pop()
        if depth == 0:
            if root is not None:
                raise ValueError("two roots")
            root = node
        else:
            if not stack or stack[-1][0] != depth - 1:
                raise ValueError(f"indentation jumps: {line!r}")
            stack[-1][1].children.append(node)
        stack.append((depth, node))
    return file_name, root


def parse(source: str, file_name: str = "test.pas") -> TreeNode:
    """The root node of parse_to_serialized(source)."""
    return read_tree(tarnwick.parse_to_serialized(source, file_name))[1]
