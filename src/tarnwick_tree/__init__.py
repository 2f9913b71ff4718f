"""Syntax trees and tokens of tarnwick as Python objects.

    import tarnwick_tree
    tree = tarnwick_tree.parse(text, "Unit1.pas")
    for node in tarnwick_tree.walk(tree.root):
        if node.kind == "ntMethod":
            print(node["name"], node.extent)

The tree is the one `tarnwick.parse_to_serialized` writes as text
(`tree.to_serialized()` is that text), built natively with no text in
between; nodes are views made on access.
"""

from __future__ import annotations

from pkgutil import extend_path

# In a build directory the native part lies in a tarnwick_tree folder of its
# own beside this one on the path.
__path__ = extend_path(__path__, __name__)

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional  # noqa: E402

from ._native import (  # noqa: E402
    Diagnostic,
    Node,
    PanicException,
    Token,
    Tree,
    parse,
    read,
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
    "Node",
    "NodeKind",
    "NodeVisitor",
    "PanicException",
    "ShortNodeKind",
    "Token",
    "Tree",
    "parse",
    "read",
    "tokens",
    "walk",
]


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
