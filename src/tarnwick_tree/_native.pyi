"""Syntax trees and tokens of tarnwick as Python objects (the native part)."""

import os
from collections.abc import Iterable, Mapping
from typing import Literal, Iterator, NamedTuple, TypeAlias, final

from tarnwick import PanicException as PanicException

# The node kinds as Node.kind answers them: the core's table of node kinds
# (src/core/tree/node_kinds.def), in its order.
NodeKind: TypeAlias = Literal[
    "ntUnknown", "ntAbsolute", "ntAdd", "ntAddr", "ntAlignmentParam", "ntAnd",
    "ntAnonymousMethod", "ntArguments", "ntAs", "ntAssign", "ntAt", "ntAttribute",
    "ntAttributes", "ntBounds", "ntCall", "ntCase", "ntCaseElse", "ntCaseLabel", "ntCaseLabels",
    "ntCaseSelector", "ntClassConstraint", "ntConstant", "ntConstants", "ntConstraints",
    "ntConstructorConstraint", "ntContains", "ntDefault", "ntDeref", "ntDimension", "ntDiv",
    "ntDot", "ntDownTo", "ntElement", "ntElse", "ntEmptyStatement", "ntEnum", "ntEqual",
    "ntExcept", "ntExceptionHandler", "ntExports", "ntExpression", "ntExpressions",
    "ntExternal", "ntFDiv", "ntField", "ntFields", "ntFinalization", "ntFinally", "ntFor",
    "ntFrom", "ntGeneric", "ntGoto", "ntGreater", "ntGreaterEqual", "ntGuid", "ntHelper",
    "ntIdentifier", "ntIf", "ntImplementation", "ntImplements", "ntIn", "ntIndex", "ntIndexed",
    "ntInherited", "ntInitialization", "ntInterface", "ntIs", "ntLabel", "ntLHS", "ntLiteral",
    "ntLower", "ntLowerEqual", "ntMessage", "ntMethod", "ntMod", "ntMul", "ntName",
    "ntNamedArgument", "ntNotEqual", "ntNot", "ntOr", "ntPackage", "ntParameter",
    "ntParameters", "ntPath", "ntPositionalArgument", "ntProtected", "ntPrivate", "ntProperty",
    "ntPublic", "ntPublished", "ntRaise", "ntRead", "ntRecordConstraint", "ntRepeat",
    "ntRequires", "ntResolutionClause", "ntResourceString", "ntReturnType", "ntRHS",
    "ntRoundClose", "ntRoundOpen", "ntSet", "ntShl", "ntShr", "ntStatement", "ntStatements",
    "ntStrictPrivate", "ntStrictProtected", "ntSub", "ntSubrange", "ntThen", "ntTo", "ntTry",
    "ntType", "ntTypeArgs", "ntTypeDecl", "ntTypeParam", "ntTypeParams", "ntTypeSection",
    "ntValue", "ntVariable", "ntVariables", "ntXor", "ntUnaryMinus", "ntUnit", "ntUses",
    "ntWhile", "ntWith", "ntWrite", "ntAnsiComment", "ntBorComment", "ntSlashesComment",
    "ntIsNot", "ntNotIn", "ntInterfaceConstraint", "ntUnmanagedConstraint", "ntProcedure",
    "ntFunction", "ntConstructor", "ntDestructor", "ntOperator", "ntStored", "ntDispid",
    "ntVarParam", "ntOutParam", "ntConstParam",
]
# The same without their "nt", which find_all and find accept too.
ShortNodeKind: TypeAlias = Literal[
    "Unknown", "Absolute", "Add", "Addr", "AlignmentParam", "And", "AnonymousMethod",
    "Arguments", "As", "Assign", "At", "Attribute", "Attributes", "Bounds", "Call", "Case",
    "CaseElse", "CaseLabel", "CaseLabels", "CaseSelector", "ClassConstraint", "Constant",
    "Constants", "Constraints", "ConstructorConstraint", "Contains", "Default", "Deref",
    "Dimension", "Div", "Dot", "DownTo", "Element", "Else", "EmptyStatement", "Enum", "Equal",
    "Except", "ExceptionHandler", "Exports", "Expression", "Expressions", "External", "FDiv",
    "Field", "Fields", "Finalization", "Finally", "For", "From", "Generic", "Goto", "Greater",
    "GreaterEqual", "Guid", "Helper", "Identifier", "If", "Implementation", "Implements", "In",
    "Index", "Indexed", "Inherited", "Initialization", "Interface", "Is", "Label", "LHS",
    "Literal", "Lower", "LowerEqual", "Message", "Method", "Mod", "Mul", "Name",
    "NamedArgument", "NotEqual", "Not", "Or", "Package", "Parameter", "Parameters", "Path",
    "PositionalArgument", "Protected", "Private", "Property", "Public", "Published", "Raise",
    "Read", "RecordConstraint", "Repeat", "Requires", "ResolutionClause", "ResourceString",
    "ReturnType", "RHS", "RoundClose", "RoundOpen", "Set", "Shl", "Shr", "Statement",
    "Statements", "StrictPrivate", "StrictProtected", "Sub", "Subrange", "Then", "To", "Try",
    "Type", "TypeArgs", "TypeDecl", "TypeParam", "TypeParams", "TypeSection", "Value",
    "Variable", "Variables", "Xor", "UnaryMinus", "Unit", "Uses", "While", "With", "Write",
    "AnsiComment", "BorComment", "SlashesComment", "IsNot", "NotIn", "InterfaceConstraint",
    "UnmanagedConstraint", "Procedure", "Function", "Constructor", "Destructor", "Operator",
    "Stored", "Dispid", "VarParam", "OutParam", "ConstParam",
]

class Token(NamedTuple):
    """A token: its kind as the token list writes it, its text as written (an
    escaped identifier without its '&'), its line and column."""

    kind: str
    value: str
    line: int
    col: int

class Diagnostic(NamedTuple):
    """What a parse reported about its text: the message, the file it
    concerns, the span from its first character to just after its last, and
    the tokens the grammar passed over there (0 for a word it missed)."""

    message: str
    file: str
    line: int
    col: int
    end_line: int
    end_col: int
    tokens: int

class InactiveRange(NamedTuple):
    """Code that conditional compilation left out: the file it is in, and
    the span from the first character of its first token to just after its
    last."""

    file: str
    line: int
    col: int
    end_line: int
    end_col: int

@final
class Target:
    """A target of conditional compilation: a compiler on a platform, with
    the symbols and constants it predefines."""

    @property
    def name(self) -> str: ...
    @property
    def compiler(self) -> str: ...
    @property
    def platform(self) -> str: ...
    @property
    def symbols(self) -> tuple[str, ...]: ...
    @property
    def constants(self) -> Mapping[str, int | float | bool | str]: ...

@final
class Node:
    """A node of a syntax tree at one place of it: a view made on access."""

    @property
    def kind(self) -> NodeKind: ...
    @property
    def attributes(self) -> dict[str, str]: ...
    @property
    def value(self) -> str | None: ...
    @property
    def line(self) -> int: ...
    @property
    def col(self) -> int: ...
    @property
    def end_line(self) -> int: ...
    @property
    def end_col(self) -> int: ...
    @property
    def source_positions(self) -> list[tuple[int, int]]: ...
    @property
    def children(self) -> list[Node]: ...
    @property
    def parent(self) -> Node | None: ...
    @property
    def extent(self) -> tuple[int, int, int, int]: ...
    @property
    def tree(self) -> Tree: ...
    @property
    def span(self) -> tuple[int, int]: ...
    @property
    def text(self) -> str: ...
    @property
    def tokens(self) -> list[Token]: ...
    @property
    def comments(self) -> list[Token]: ...
    @property
    def doc(self) -> str | None: ...
    def find_all(self, kind: NodeKind | ShortNodeKind | None = None, /, **attributes: str) -> list[Node]: ...
    def find(self, kind: NodeKind | ShortNodeKind | None = None, /, **attributes: str) -> Node | None: ...
    def ancestors(self) -> list[Node]: ...
    @property
    def file(self) -> str: ...
    def __getitem__(self, key: str, /) -> str: ...
    def __contains__(self, key: object, /) -> bool: ...
    def get(self, key: str, default: str | None = None, /) -> str | None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Tree:
    """A syntax tree: immutable, safe to share between threads."""

    @property
    def root(self) -> Node: ...
    @property
    def file_name(self) -> str: ...
    @property
    def source(self) -> str | None: ...
    @property
    def skipped(self) -> list[Token]: ...
    @property
    def diagnostics(self) -> list[Diagnostic]: ...
    @property
    def comments(self) -> list[Token]: ...
    @property
    def inactive(self) -> list[InactiveRange]: ...
    def __sizeof__(self) -> int: ...
    def to_serialized(self) -> str: ...
    def serialized_size(self) -> int: ...
    def find_all(self, kind: NodeKind | ShortNodeKind | None = None, /, **attributes: str) -> list[Node]: ...
    def find(self, kind: NodeKind | ShortNodeKind | None = None, /, **attributes: str) -> Node | None: ...
    def node_at(self, line: int, col: int) -> Node | None: ...
    def __iter__(self) -> Iterator[Node]: ...
    def __len__(self) -> int: ...

def parse(
    text: str,
    file_name: str = "",
    *,
    grammar: Literal["complete", "specified"] = "complete",
    target: str | Target | None = None,
    defines: Iterable[str] = (),
    include_path: Iterable[str | os.PathLike[str]] | None = None,
) -> Tree: ...
def _parse_file_text(
    text: str,
    file_name: str,
    *,
    grammar: Literal["complete", "specified"] = "complete",
    target: str | Target | None = None,
    defines: Iterable[str] = (),
    include_path: Iterable[str | os.PathLike[str]] | None = None,
) -> Tree: ...
def targets() -> list[Target]: ...
def _decode(data: bytes, encoding: str | None = None) -> tuple[str, bool] | None: ...
def read(serialized: str) -> Tree: ...
def walk(node: Node, /) -> Iterator[Node]: ...
def tokens(text: str) -> list[Token]: ...
