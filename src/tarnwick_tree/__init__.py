"""Syntax trees and tokens of tarnwick as Python objects.

    import tarnwick_tree
    tree = tarnwick_tree.parse(text, "Unit1.pas")
    for node in tarnwick_tree.walk(tree.root):
        if node.kind == "ntMethod":
            print(node["name"], node.extent)

The tree is the one `tarnwick.parse_to_serialized` writes as text
(`tree.to_serialized()` is that text), built natively with no text in
between; nodes are views made on access.

With a target, defines or an include path the text is preprocessed first:

    tree = tarnwick_tree.parse_file("Unit1.pas", target="delphi12-win64")
    tree.inactive   # the code its conditionals left out
"""

from __future__ import annotations

from pkgutil import extend_path

# In a build directory the native part lies in a tarnwick_tree folder of its
# own beside this one on the path.
__path__ = extend_path(__path__, __name__)

import codecs  # noqa: E402
import os  # noqa: E402
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Literal, Optional, Tuple, Union  # noqa: E402

from ._native import (  # noqa: E402
    Diagnostic,
    InactiveRange,
    Node,
    PanicException,
    Target,
    Token,
    Tree,
    _decode,
    _parse_file_text,
    parse,
    read,
    targets,
    tokens,
    walk,
)

if TYPE_CHECKING:
    # The node kinds as Literal types: what Node.kind answers, and the names
    # find_all and find accept without their "nt".
    from ._native import NodeKind as NodeKind, ShortNodeKind as ShortNodeKind
else:
    NodeKind = ShortNodeKind = str  # at run time a kind is a str

__all__ = [
    "Diagnostic",
    "InactiveRange",
    "Node",
    "NodeKind",
    "NodeVisitor",
    "PanicException",
    "ShortNodeKind",
    "Target",
    "Token",
    "Tree",
    "decode",
    "parse",
    "parse_file",
    "read",
    "targets",
    "tokens",
    "walk",
]


def decode(data: bytes, encoding: Optional[str] = None) -> Tuple[str, bool]:
    """The text of a source file, and whether it was read as Windows-1252.

    A byte-order mark (UTF-8, UTF-16 or UTF-32) decides the encoding and is
    dropped. Without one, the bytes are read in `encoding` (any name Python's
    codecs know), or when that is None as UTF-8 if they are valid UTF-8,
    else as Windows-1252 (its five undefined bytes standing for the code
    points of the same number). A file that cannot be read raises
    ValueError: "binary file" for one holding a NUL character, else
    "cannot decode as ENCODING: WHY at offset N".
    """
    if encoding is not None:
        encoding = codecs.lookup(encoding).name
    decoded = _decode(data, encoding)
    if decoded is not None:
        return decoded
    # An encoding the core does not read, for a file without a mark: read
    # by Python's codec, failures named as the core names them.
    assert encoding is not None
    try:
        text = str(data, encoding)
    except UnicodeDecodeError as e:
        wide = encoding.startswith(("utf-16", "utf-32"))  # their texts hold NUL bytes
        if b"\0" in data and not wide:
            raise ValueError("binary file") from None
        what = e.reason if wide else f"byte 0x{data[e.start]:02x}"
        raise ValueError(f"cannot decode as {encoding}: {what} at offset {e.start}") from None
    if "\0" in text:
        raise ValueError("binary file")
    return text.removeprefix("\ufeff"), False


def parse_file(
    path: Union[str, "os.PathLike[str]"],
    *,
    grammar: Literal["complete", "specified"] = "complete",
    target: Union[str, Target, None] = None,
    defines: Iterable[str] = (),
    include_path: Optional[Iterable[Union[str, "os.PathLike[str]"]]] = None,
) -> Tree:
    """parse() of the file at `path`, decoded as `decode` reads it, with
    the path as the file name. When it is preprocessed (a target, defines or
    an include path), `{$I name}` reads the file it names from the folder of
    `path`, then from the include path."""
    name = os.fsdecode(path)
    with open(name, "rb") as f:
        data = f.read()
    try:
        text, _ = decode(data)
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None
    return _parse_file_text(text, name, grammar=grammar, target=target, defines=defines,
                            include_path=include_path)


class NodeVisitor:
    """Walks a tree and calls a visitor method for each node, as Python's
    `ast.NodeVisitor` does: `visit_<Kind>` (the kind without its "nt",
    e.g. `visit_Method`) when the class defines one, else `generic_visit`.

    `generic_visit` visits the descendants of a node: those without a visitor
    method are walked through without recursion, so a deep tree needs no
    deep Python stack; a visitor method that wants its node's descendants
    visited calls `generic_visit` itself (that call nests one level per node
    with a visitor method on the way down). A subclass that overrides
    `visit` has it called for every child instead, recursively, as in `ast`.
    """

    def visit(self, node: Node) -> Any:
        method = self._visitor(node.kind)
        if method is None:
            return self.generic_visit(node)
        return method(node)

    def generic_visit(self, node: Node) -> None:
        if type(self).visit is not NodeVisitor.visit:
            for child in node.children:
                self.visit(child)
            return
        visitor = self._visitor
        # Children still to visit, the next one last.
        pending: List[Node] = node.children[::-1]
        while pending:
            child = pending.pop()
            method = visitor(child.kind)
            if method is None:
                pending.extend(child.children[::-1])
            else:
                method(child)

    def _visitor(self, kind: str) -> Optional[Callable[[Node], Any]]:
        cache: Dict[str, Optional[Callable[[Node], Any]]]
        try:
            cache = self.__dict__["_tarnwick_visitors"]
        except KeyError:
            cache = self.__dict__["_tarnwick_visitors"] = {}
        try:
            return cache[kind]
        except KeyError:
            method = cache[kind] = getattr(self, "visit_" + kind[2:], None)
            return method
