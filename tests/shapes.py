"""The compact notation of tree shapes that docs/grammar.md and the grammar
tests use: `Kind[key=value,...](child child ...)`, a value node with
`:value`, an `Identifier` with only its name written as that name, and a
`Literal` as its value (numbers as written, strings in quotes)."""

from __future__ import annotations

import tarnwick_tree


def shape(node: tarnwick_tree.Node) -> str:
    kind = node.kind[2:]
    attributes = node.attributes
    children = node.children
    if not children:
        if kind == "Identifier" and list(attributes) == ["name"]:
            return attributes["name"]
        if kind == "Literal" and node.value is not None:
            return f"'{node.value}'" if attributes.get("type") == "string" else node.value
    text = kind
    if attributes:
        text += "[" + ",".join(f"{k}={v}" for k, v in attributes.items()) + "]"
    if node.value is not None:
        text += ":" + node.value
    if children:
        text += "(" + " ".join(shape(child) for child in children) + ")"
    return text


def complete(text: str) -> tarnwick_tree.Tree:
    return tarnwick_tree.parse(text, "t.pas", grammar="complete")


def statement(text: str) -> str:
    """The shape of the first statement of a block holding `text`."""
    block = complete(f"program P; begin {text} end.").root.children[-1]
    return shape(block.children[0])


def expression(text: str) -> str:
    """The shape of the expression `text`, as the value of an assignment."""
    block = complete(f"program P; begin X := {text} end.").root.children[-1]
    return shape(block.children[0].children[1].children[0])


def declaration(text: str) -> str:
    """The shape of the first declaration of a program holding `text`."""
    return shape(complete(f"program P; {text} begin end.").root.children[0])


def member(text: str) -> str:
    """The shape of the class type whose members are `text`."""
    decl = complete(f"program P; type T = class {text} end; begin end.").root.children[0].children[0]
    return shape(decl.children[-1])
