"""Type definitions: references, structured headings, enumerations, sets,
arrays, files, pointers, procedural types, hint words after a declared type,
and nesting limits."""

import pytest

from helpers import run_on_small_stack, serialized
from limits import REFUSED
from treereader import parse, read_tree

# In `type T = X;` the type X starts at column 10.
PREFIX = "type T = "


def declared(type_text):
    """The TypeDecl of `type T = <type_text>;` and its type node."""
    root = parse(f"{PREFIX}{type_text};")
    decl = root.child("TypeSection").child("TypeDecl")
    return decl, decl.children[-1]


def var_type(type_text):
    """The type of `var x: <type_text>;`."""
    root = parse(f"var x: {type_text};")
    return root.child("Variables").child("Variable").children[-1]


def positions(line, first, last):
    return [(line, c) for c in range(first, last + 1)]


# ---- Whole outputs of small declarations -------------------------------------

EXACT = [
    (
        "type T = Integer;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=T source_positions=1:6,1:7
      ntType line=1 col=10 end_line=1 end_col=17 name=Integer source_positions=1:10,1:11,1:12,1:13,1:14,1:15,1:16,1:17""",
    ),
    (
        "type P = ^TNode;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=P source_positions=1:6,1:7
      ntType line=1 col=10 end_line=1 end_col=11 type=pointer source_positions=1:10,1:11
        ntType line=1 col=11 end_line=1 end_col=16 name=TNode source_positions=1:11,1:12,1:13,1:14,1:15,1:16""",
    ),
    (
        "type E = (a, b = 5);",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=E source_positions=1:6,1:7
      ntType line=1 col=10 end_line=1 end_col=11 name=enum source_positions=1:10,1:11
        ntEnum line=1 col=11 end_line=1 end_col=12 source_positions=1:11,1:12
          ntName line=1 col=11 end_line=1 end_col=12 source_positions=1:11,1:12
            value=a
        ntEnum line=1 col=14 end_line=1 end_col=15 source_positions=1:14,1:15
          ntName line=1 col=14 end_line=1 end_col=15 source_positions=1:14,1:15
            value=b
          ntValue line=1 col=18 end_line=1 end_col=19 source_positions=1:18,1:19
            ntLiteral line=1 col=18 end_line=1 end_col=19 type=numeric source_positions=1:18,1:19
              value=5""",
    ),
    (
        "type S = string[255];",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=S source_positions=1:6,1:7
      ntType line=1 col=10 end_line=1 end_col=21 name=string[255] source_positions=1:10,1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18,1:19,1:20,1:21""",
    ),
    (
        "type C = class;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=C source_positions=1:6,1:7
      ntType line=1 col=10 end_line=1 end_col=15 type=class source_positions=1:10,1:11,1:12,1:13,1:14,1:15""",
    ),
    (
        "type TP = procedure of object;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=8 name=TP source_positions=1:6,1:7,1:8
      ntType line=1 col=11 end_line=1 end_col=20 kind=object type=procedure source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18,1:19,1:20""",
    ),
    (
        "type A = array[0..9] of Byte;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=A source_positions=1:6,1:7
      ntType line=1 col=10 end_line=1 end_col=15 type=array source_positions=1:10,1:11,1:12,1:13,1:14,1:15
        ntBounds line=1 col=15 end_line=1 end_col=16 source_positions=1:15,1:16
          ntDimension line=1 col=16 end_line=1 end_col=20 source_positions=1:16,1:17,1:18,1:19,1:20
            value=0..9
        ntType line=1 col=25 end_line=1 end_col=29 name=Byte source_positions=1:25,1:26,1:27,1:28,1:29""",
    ),
    (
        "var x: set of Char;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=4 source_positions=1:1,1:2,1:3,1:4
  ntVariables line=1 col=1 end_line=1 end_col=4 kind=var source_positions=1:1,1:2,1:3,1:4
    ntVariable line=1 col=5 end_line=1 end_col=6 source_positions=1:5,1:6
      ntName line=1 col=5 end_line=1 end_col=6 source_positions=1:5,1:6
        value=x
      ntType line=1 col=8 end_line=1 end_col=11 type=set source_positions=1:8,1:9,1:10,1:11
        ntType line=1 col=15 end_line=1 end_col=19 name=Char source_positions=1:15,1:16,1:17,1:18,1:19""",
    ),
]


@pytest.mark.parametrize("src,expected", EXACT, ids=[s for s, _ in EXACT])
def test_whole_output(src, expected):
    assert serialized(src) == expected


# ---- Type references ---------------------------------------------------------


@pytest.mark.parametrize(
    "text,name",
    [
        ("Integer", "Integer"),
        ("System.Classes.TList<Integer>", "System.Classes.TList<Integer>"),
        ("System . Integer", "System.Integer"),
        ("TList < Integer >", "TList<Integer>"),
        ("TDictionary<string, TList<Integer>>", "TDictionary<string,TList<Integer>>"),
        ("1..10", "1..10"),
        ("1 .. 10", "1..10"),
        ("'a'..'z'", "'a'..'z'"),
        ("Low(X)..High(X)", "Low(X)..High(X)"),
        ("-5..5", "-5..5"),
        ("type Integer", "type Integer"),
        ("Integer\u00a0", "Integer"),
        ("\u2003Integer", "Integer"),
    ],
)
def test_reference_names(text, name):
    _, t = declared(text)
    assert t.kind == "Type"
    assert t.attrs == {"name": name}
    assert t.children == []


def test_reference_spans_to_its_last_token():
    _, t = declared("System.Classes.TList<Integer>")
    # From the start of "System" to the end of the ">" (column 38).
    assert t.span() == (1, 10, 1, 39)
    assert t.positions == positions(1, 10, 39)


def test_reference_over_lines_keeps_every_position():
    # The blank between two words lies one column before the second word,
    # here on the first column of line 2, where "B" starts as well.
    t = var_type("A\nB")
    assert t.attrs["name"] == "A B"
    assert t.positions == [(1, 8), (2, 1), (2, 1), (2, 2)]
    assert t.span() == (1, 8, 2, 2)


def test_trimmed_reference_still_spans_the_blank_tokens():
    _, t = declared("Integer\u00a0")
    assert t.attrs["name"] == "Integer"
    assert t.span() == (1, 10, 1, 18)
    assert len(t.positions) == 9


def test_reference_of_white_space_only_has_no_name():
    _, t = declared("\u00a0")
    assert t.attrs == {}
    assert t.span() == (1, 10, 1, 11)
    assert t.positions == [(1, 10), (1, 11)]


@pytest.mark.parametrize(
    "text,name",
    [
        ("specialize TList<Integer>", "specialize TList<Integer>"),
        ("SPECIALIZE X", "specialize X"),
        ("SpEcIaLiZe A.B", "specialize A.B"),
        ("specialize", "specialize "),
        ("specialize\u00a0", "specialize \u00a0"),
        ("specializeX Y", "specializeX Y"),
        ("specialise X", "specialise X"),
    ],
)
def test_specialize(text, name):
    t = var_type(text)
    assert t.attrs == {"name": name}


def test_empty_type_is_a_bare_node_at_the_semicolon():
    decl, t = declared("")
    assert t.kind == "Type" and t.attrs == {} and t.children == []
    # The ";" at column 10 is not part of the type; the declaration takes it.
    assert t.span() == (1, 10, 1, 11)
    root = parse("type T = ; U = Byte;")
    assert [d.attrs["name"] for d in root.child("TypeSection").children] == ["T", "U"]


def test_reference_at_end_of_file():
    root = parse("var x: ")
    t = root.child("Variables").child("Variable").children[-1]
    assert t.kind == "Type" and t.attrs == {}


def test_reference_stops_at_closing_bracket_of_the_caller():
    # In an ancestor list the ")" ends the reference; a "<" keeps commas inside.
    _, t = declared("class(TList<Integer>, IFoo)")
    assert [c.attrs["name"] for c in t.children] == ["TList<Integer>", "IFoo"]


# ---- Packed ------------------------------------------------------------------


@pytest.mark.parametrize("word", ["packed", "Packed", "BITPACKED", "bitpacked", "PAC\u212aED"])
def test_packed_record(word):
    _, t = declared(f"{word} record end")
    assert t.attrs == {"type": word}
    assert len(t.children) == 1
    inner = t.children[0]
    assert inner.attrs == {"type": "record"}
    # Both start at the packed word.
    assert t.span() == inner.span() == (1, 10, 1, 10 + len(word))


def test_packed_array_keeps_its_own_start():
    _, t = declared("packed array[1..2] of Byte")
    assert t.attrs == {"type": "packed"}
    arr = t.children[0]
    assert arr.attrs == {"type": "array"}
    assert (arr.line, arr.col) == (1, 17)
    assert arr.kinds() == ["Bounds", "Type"]


def test_packed_element_type():
    _, t = declared("array of packed record end")
    elem = t.children[0]
    assert elem.attrs == {"type": "packed"}
    assert elem.children[0].attrs == {"type": "record"}


# ---- Structured headings -----------------------------------------------------


@pytest.mark.parametrize(
    "text,kind",
    [
        ("class", "class"),
        ("CLASS", "class"),
        ("record", "record"),
        ("object", "record"),
        ("Object", "record"),
        ("interface", "interface"),
        ("dispinterface", "dispinterface"),
    ],
)
def test_forward_structured_types(text, kind):
    decl, t = declared(text)
    assert t.attrs == {"type": kind}
    assert t.children == []
    assert t.span() == (1, 10, 1, 10 + len(text))


@pytest.mark.parametrize("word", ["record", "object", "interface", "dispinterface", "class"])
def test_structured_body_ends_at_end(word):
    root = parse(f"type A = {word} end; B = Byte;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["A", "B"]
    assert decls[0].children[0].attrs["type"] == ("record" if word == "object" else word)


def test_forward_class_leaves_the_semicolon():
    root = parse("type A = class; B = class(TA); C = interface;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["A", "B", "C"]
    assert [d.children[0].attrs["type"] for d in decls] == ["class", "class", "interface"]


def test_ancestors_without_members():
    _, t = declared("class(TBase, IFoo)")
    assert t.attrs == {"type": "class"}
    assert [(c.kind, c.attrs) for c in t.children] == [
        ("Type", {"name": "TBase"}),
        ("Type", {"name": "IFoo"}),
    ]
    # Each ancestor spans its own name.
    assert t.children[1].span() == (1, 23, 1, 27)


@pytest.mark.parametrize(
    "text,names",
    [
        ("class()", []),
        ("class(TBase)", ["TBase"]),
        ("class(System.TObject, IA, IB)", ["System.TObject", "IA", "IB"]),
        ("interface(IUnknown)", ["IUnknown"]),
        ("record(TBase)", ["TBase"]),
    ],
)
def test_ancestor_lists(text, names):
    _, t = declared(text)
    assert [c.attrs["name"] for c in t.children] == names


def test_abstract_class():
    _, t = declared("class abstract(TBase)")
    assert t.attrs == {"abstract": "true", "type": "class"}
    assert [c.attrs["name"] for c in t.children] == ["TBase"]


def test_class_with_members_reads_its_body():
    root = parse("type A = class(TBase) end; B = Byte;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["A", "B"]
    assert decls[0].children[0].kinds() == ["Type"]


@pytest.mark.parametrize(
    "text,name",
    [("class of TFoo", "TFoo"), ("CLASS OF System.TObject", "System.TObject")],
)
def test_class_of(text, name):
    _, t = declared(text)
    assert t.attrs == {"type": "classref"}
    assert [(c.kind, c.attrs) for c in t.children] == [("Type", {"name": name})]
    assert t.span() == (1, 10, 1, 15)


@pytest.mark.parametrize(
    "text,kind,target",
    [
        ("record helper for TPoint end", "record", "TPoint"),
        ("class helper for TObject end", "class", "TObject"),
        ("class helper for System.TObject end", "class", "System.TObject"),
    ],
)
def test_class_and_record_helpers(text, kind, target):
    _, t = declared(text)
    assert t.attrs == {"type": kind}
    first = t.children[0]
    assert (first.kind, first.attrs) == ("Type", {"name": target})
    assert first.col == 10 + text.index(target.split(".")[0])


def test_helper_with_ancestor():
    _, t = declared("class helper(TBaseHelper) for TFoo end")
    # "for" is looked for right after "helper"; here it is missing, so the
    # target is read at the "(" and stays empty, and the ancestor list follows.
    assert t.children[0].attrs == {"name": ""}


def test_type_helper():
    _, t = declared("type helper for TFoo end")
    assert t.attrs == {"type": "helper"}
    assert [(c.kind, c.attrs, c.col) for c in t.children] == [("Type", {"name": "TFoo"}, 26)]


def test_type_helper_leaves_end_for_the_caller():
    # The "end" is not the helper's: the type section ends at it.
    root = parse("type T = type helper for TFoo end; U = Byte;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["T"]


def test_type_helper_body():
    root = parse("type T = type helper for Integer function Twice: Integer; end; U = Byte;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["T", "U"]
    helper = decls[0].children[0]
    assert helper.attrs == {"type": "helper"}
    assert helper.kinds() == ["Type", "Method"]
    assert helper.children[0].attrs == {"name": "Integer"}


def test_strong_alias_is_a_reference():
    _, t = declared("type Integer")
    assert t.attrs == {"name": "type Integer"}


# ---- Enumerations ------------------------------------------------------------


def test_enumeration():
    _, t = declared("(red, green = 5, blue)")
    assert t.attrs == {"name": "enum"}
    assert t.kinds() == ["Enum", "Enum", "Enum"]
    assert [e.children[0].value for e in t.children] == ["red", "green", "blue"]
    green = t.children[1]
    assert green.kinds() == ["Name", "Value"]
    literal = green.child("Value").children[0]
    assert (literal.kind, literal.attrs, literal.value) == ("Literal", {"type": "numeric"}, "5")


@pytest.mark.parametrize(
    "text,values",
    [
        ("(a = 1 + 2)", ["1+2"]),
        ("(a := 3, b := Ord('x'))", ["3", "Ord('x')"]),
        ("(a = 'text')", ["'text'"]),
        ("(a = F(1, 2), b)", ["F(1,2)", None]),
        ("(a =, b)", [None, None]),
    ],
)
def test_enumeration_values(text, values):
    _, t = declared(text)
    got = [e.child("Value").children[0].value if "Value" in e.kinds() else None for e in t.children]
    assert got == values


def test_enumeration_skips_what_is_not_a_name():
    _, t = declared("(1, a, 'x', b)")
    assert [e.children[0].value for e in t.children] == ["a", "b"]


def test_enumeration_names_keep_their_case():
    _, t = declared("(Red, GREEN)")
    assert [e.children[0].value for e in t.children] == ["Red", "GREEN"]


def test_unclosed_enumeration_at_end_of_file():
    root = parse("type T = (a, b")
    t = root.child("TypeSection").child("TypeDecl").children[-1]
    assert [e.children[0].value for e in t.children] == ["a", "b"]


# ---- Sets, files, pointers, sized strings -------------------------------------


@pytest.mark.parametrize(
    "text,attrs,children",
    [
        ("set of Char", {"type": "set"}, [{"name": "Char"}]),
        ("set of (a, b)", {"type": "set"}, [{"name": "(a,b)"}]),
        ("set of 0..255", {"type": "set"}, [{"name": "0..255"}]),
        ("set Byte", {"type": "set"}, [{"name": "Byte"}]),
        ("file", {"type": "file"}, []),
        ("file of TRec", {"type": "file"}, [{"name": "TRec"}]),
        ("^TNode", {"type": "pointer"}, [{"name": "TNode"}]),
        ("^Unit1.TNode", {"type": "pointer"}, [{"name": "Unit1.TNode"}]),
        ("^^Byte", {"type": "pointer"}, [{"name": "^Byte"}]),
        ("^", {"type": "pointer"}, [{}]),
    ],
)
def test_simple_constructors(text, attrs, children):
    _, t = declared(text)
    assert t.attrs == attrs
    assert [c.attrs for c in t.children] == children
    assert all(c.kind == "Type" for c in t.children)


def test_set_starts_at_the_set_word_and_its_element_at_its_name():
    _, t = declared("set of Char")
    assert t.span() == (1, 10, 1, 13)
    assert t.children[0].span() == (1, 17, 1, 21)


@pytest.mark.parametrize(
    "text,name",
    [
        ("string[255]", "string[255]"),
        ("String [ 80 ]", "String[80]"),
        ("string[N + 1]", "string[N+1]"),
        ("string", "string"),
        ("ShortString", "ShortString"),
    ],
)
def test_strings(text, name):
    _, t = declared(text)
    assert t.attrs == {"name": name}


def test_sized_string_ends_at_of():
    t = var_type("string[10] of Byte")
    assert t.attrs == {"name": "string[10]"}


def test_sized_string_reads_through_a_closing_bracket():
    # The sized-string list has no "]": a stray "]" after the length is kept.
    t = var_type("string[10]]")
    assert t.attrs == {"name": "string[10]]"}


# ---- Arrays ------------------------------------------------------------------


def test_array_with_bounds():
    _, t = declared("array[0..9, Boolean] of Byte")
    assert t.attrs == {"type": "array"}
    assert t.kinds() == ["Bounds", "Type"]
    bounds = t.child("Bounds")
    assert [d.value for d in bounds.children] == ["0..9", "Boolean"]
    assert t.children[1].attrs == {"name": "Byte"}
    # Each dimension spans its own tokens.
    assert bounds.children[1].span() == (1, 22, 1, 29)


@pytest.mark.parametrize(
    "text,dims,element",
    [
        ("array of Integer", None, {"name": "Integer"}),
        ("array of const", None, {"name": "const"}),
        ("array[Byte] of Char", ["Byte"], {"name": "Char"}),
        ("array[Low(X)..High(X)] of Char", ["Low(X)..High(X)"], {"name": "Char"}),
        ("array[a[1]..b[2], 3] of Char", ["a[1]..b[2]", "3"], {"name": "Char"}),
        ("array[] of Char", [], {"name": "Char"}),
        ("array[,] of Char", [""], {"name": "Char"}),
        ("array[1..2] Char", ["1..2"], {"name": "Char"}),
        ("array[1..2]", ["1..2"], {}),
        ("array of ^Byte", None, {"type": "pointer"}),
        ("array of set of Byte", None, {"type": "set"}),
    ],
)
def test_array_forms(text, dims, element):
    _, t = declared(text)
    assert t.attrs == {"type": "array"}
    if dims is None:
        assert t.kinds() == ["Type"]
    else:
        assert t.kinds() == ["Bounds", "Type"]
        assert [d.value for d in t.child("Bounds").children] == dims
    assert t.children[-1].attrs == element


def test_empty_dimension_keeps_its_token_span():
    _, t = declared("array[,] of Char")
    dim = t.child("Bounds").children[0]
    assert dim.value == ""
    assert dim.span() == (1, 16, 1, 17)


def test_dimension_drops_repeated_positions():
    # "a" ends line 1; the blank before "b" and "b" itself share (2, 1).
    root = parse("type T = array[a\nb] of Byte;")
    dim = root.find_all("Dimension")[0]
    assert dim.value == "a b"
    assert dim.positions == [(1, 16), (2, 1), (2, 2)]
    assert dim.span() == (1, 16, 2, 2)


def test_dimension_over_two_lines():
    root = parse("type T = array[1..\n  9] of Byte;")
    dim = root.find_all("Dimension")[0]
    assert dim.value == "1..9"
    assert dim.positions[-1] == (2, 4)
    assert dim.span() == (1, 16, 2, 4)


def test_nested_array_elements():
    _, t = declared("array of array[1..2] of array of Byte")
    chain = []
    node = t
    while node.children:
        chain.append(node.attrs)
        node = node.children[-1]
    chain.append(node.attrs)
    assert chain == [{"type": "array"}, {"type": "array"}, {"type": "array"}, {"name": "Byte"}]


# ---- Procedural types ---------------------------------------------------------


@pytest.mark.parametrize(
    "text,type_,kind",
    [
        ("procedure", "procedure", None),
        ("Procedure", "procedure", None),
        ("procedure of object", "procedure", "object"),
        ("procedure OF OBJECT", "procedure", "object"),
        ("constructor", "constructor", None),
        ("destructor", "destructor", None),
        ("operator", "operator", None),
        ("function", "function", None),
    ],
)
def test_procedural_without_result(text, type_, kind):
    decl, t = declared(text)
    expected = {"type": type_}
    if kind:
        expected["kind"] = kind
    assert t.attrs == expected


@pytest.mark.parametrize(
    "result,name,kind",
    [
        ("Boolean", "Boolean", None),
        ("Boolean of object", "Boolean", "object"),
        ("Boolean OF Object", "Boolean", "object"),
        ("Integer is nested", "Integer", "nested"),
        ("TListOfObject", "TList", "object"),
        ("XIsNested", "X", "nested"),
        ("ofobject", "", "object"),
        ("isnested", "", "nested"),
        ("bject", "bject", None),
        ("\u0130OfObject", "\u0130", "object"),
        ("\u00c4 of object", "\u00c4", "object"),
        # No blank is written between ">" and "of", so the suffix test misses.
        ("TList<Integer> of object", "TList<Integer>of object", None),
    ],
)
def test_function_result_suffixes(result, name, kind):
    _, t = declared(f"function: {result}")
    expected = {"type": "function"}
    if kind:
        expected["kind"] = kind
    assert t.attrs == expected
    assert t.kinds() == ["ReturnType"]
    ret = t.children[0]
    assert ret.children[0].attrs == {"name": name}


def test_cut_result_keeps_its_span():
    # "function: Boolean of object" — the result spans through "object".
    _, t = declared("function: Boolean of object")
    ret = t.children[0]
    assert ret.span() == (1, 20, 1, 27)
    assert ret.children[0].span() == (1, 20, 1, 37)
    assert len(ret.children[0].positions) == 18


def test_procedural_consumes_its_semicolon():
    # The ";" after the procedural type is its own; the declaration then reads
    # the calling convention after it.
    root = parse("type TP = procedure; stdcall; TQ = Byte;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["TP", "TQ"]
    assert decls[0].attrs == {"name": "TP", "callingconvention": "stdcall"}


def test_procedural_variables():
    root = parse("var p: procedure; q: function: Integer;")
    vs = root.child("Variables").children
    assert [v.children[0].value for v in vs] == ["p", "q"]
    assert vs[1].children[1].attrs == {"type": "function"}


def test_function_with_parameters_of_object():
    _, t = declared("function(X: Integer): Boolean of object")
    assert t.attrs == {"kind": "object", "type": "function"}
    assert t.kinds() == ["Parameters", "ReturnType"]
    assert [p.children[0].value for p in t.child("Parameters").children] == ["X"]
    assert t.child("ReturnType").children[0].attrs == {"name": "Boolean"}


def test_procedure_with_parameters_of_object():
    _, t = declared("procedure(Sender: TObject) of object")
    assert t.attrs == {"kind": "object", "type": "procedure"}
    assert t.kinds() == ["Parameters"]


def test_parameter_of_procedural_type():
    _, t = declared("procedure(Callback: function(X: Integer): Boolean)")
    param = t.child("Parameters").children[0]
    inner = param.children[-1]
    assert inner.attrs == {"type": "function"}
    assert inner.kinds() == ["Parameters", "ReturnType"]


@pytest.mark.parametrize(
    "text,inner",
    [
        ("reference to procedure", {"kind": "reference", "type": "procedure"}),
        ("Reference To Function: Integer", {"kind": "reference", "type": "function"}),
        ("reference to procedure of object", {"kind": "reference", "type": "procedure"}),
    ],
)
def test_reference_to(text, inner):
    _, t = declared(text)
    assert t.attrs == {"type": "reference"}
    assert [c.attrs for c in t.children] == [inner]
    assert t.span() == (1, 10, 1, 19)
    assert t.children[0].col == 23


def test_reference_without_routine_word_is_a_name():
    _, t = declared("reference to TFoo")
    assert t.attrs == {"name": "reference to TFoo"}


# ---- Hint words after a declared type ----------------------------------------


@pytest.mark.parametrize(
    "text,type_attrs,child_names,decl_extra",
    [
        ("TA deprecated 'old'", {"name": "TA"}, [], {"deprecated": "old"}),
        ("TA deprecated", {"name": "TA"}, [], {"deprecated": "true"}),
        ("Integer platform", {"name": "Integer"}, [], {"kind": "platform"}),
        ("Integer PLATFORM", {"name": "Integer"}, [], {"kind": "platform"}),
        ("Integer Library", {"name": "Integer"}, [], {"kind": "library"}),
        ("Integer experimental", {"name": "Integer"}, [], {"kind": "experimental"}),
        ("string[10] platform", {"name": "string[10]"}, [], {"kind": "platform"}),
        ("^TA library", {"type": "pointer"}, ["TA"], {"kind": "library"}),
        ("set of TA experimental", {"type": "set"}, ["TA"], {"kind": "experimental"}),
        ("file of TA platform", {"type": "file"}, ["TA"], {"kind": "platform"}),
        ("class of TA deprecated 'x'", {"type": "classref"}, ["TA"], {"deprecated": "x"}),
        ("TList<deprecated> platform", {"name": "TList<deprecated>"}, [], {"kind": "platform"}),
    ],
)
def test_hint_ends_the_declared_type(text, type_attrs, child_names, decl_extra):
    decl, t = declared(text)
    assert t.attrs == type_attrs
    assert [c.attrs["name"] for c in t.children] == child_names
    assert decl.attrs == {"name": "T", **decl_extra}


def test_hint_keeps_the_span_of_the_reference():
    decl, t = declared("TA deprecated 'old'")
    assert t.span() == (1, 10, 1, 12)


def test_several_hints():
    root = parse("type T = Integer platform deprecated 'gone'; U = Byte;")
    decls = root.child("TypeSection").children
    assert decls[0].attrs == {"name": "T", "kind": "platform", "deprecated": "gone"}
    assert decls[0].children[0].attrs == {"name": "Integer"}
    assert decls[1].attrs == {"name": "U"}


@pytest.mark.parametrize(
    "src,path,name",
    [
        # Elsewhere the hint words are part of the name.
        ("var x: TA platform;", ("Variables", "Variable"), "TA platform"),
        ("type T = array of TA platform;", ("TypeSection", "TypeDecl", "Type"), "TA platform"),
        ("type T = class(TA platform);", ("TypeSection", "TypeDecl", "Type"), "TA platform"),
        ("type T = function: TA platform;", ("TypeSection", "TypeDecl", "Type", "ReturnType"),
         "TA platform"),
    ],
)
def test_hint_words_stay_in_other_references(src, path, name):
    node = parse(src)
    for kind in path:
        node = node.child(kind)
    assert node.children[-1].attrs["name"] == name


def test_packed_prefix_keeps_the_hint_rule():
    decl, t = declared("packed TRec platform")
    assert decl.attrs == {"name": "T", "kind": "platform"}
    assert t.attrs == {"type": "packed"}
    assert t.children[0].attrs == {"name": "TRec"}


# ---- Deep nesting -------------------------------------------------------------

DEEP = 1_000_000


def nested_chain(out, follow=("Type",), limit=20000):
    """The lines of the chain that runs from the first TypeDecl down through
    children of the kinds in `follow`, read from the head of the output only."""
    lines = out.split("\n", limit)[:limit]
    start = next(i for i, line in enumerate(lines) if line.lstrip().startswith("ntTypeDecl"))
    top = len(lines[start]) - len(lines[start].lstrip())
    depth = top
    heads = tuple(f"nt{kind} " for kind in follow)
    chain = []
    for line in lines[start + 1:]:
        stripped = line.lstrip()
        indent = len(line) - len(stripped)
        if indent <= top:
            break
        if indent == depth + 2 and stripped.startswith(heads):
            depth = indent
            chain.append(stripped)
    return chain


# Nesting has no limit of its own: a type nested 3,000 levels deep is read
# whole, on a thread with a small stack; a million levels, whose tree text
# could not fit the output limit, are refused at once.
NESTED = 3000


@pytest.mark.parametrize(
    "unit,nodes_per_level",
    [("array of ", 1), ("packed array of ", 2), ("array[0..1] of ", 1)],
    ids=["array", "packed-array", "array-bounds"],
)
def test_deeply_nested_arrays(unit, nodes_per_level):
    src = "type T = " + unit * NESTED + "Integer;\nvar Last: Byte;"
    out = run_on_small_stack(lambda: serialized(src))
    chain = nested_chain(out, limit=10 * NESTED)
    assert len(chain) == nodes_per_level * NESTED + 1
    assert "type=array" in chain[0] or "type=packed" in chain[0]
    assert "name=Integer" in chain[-1]
    assert out.endswith("\n        value=Last\n      ntType line=2 col=11 end_line=2 end_col=15 "
                        "name=Byte source_positions=2:11,2:12,2:13,2:14,2:15")
    with pytest.raises(MemoryError, match=REFUSED):
        run_on_small_stack(lambda: serialized("type T = " + unit * DEEP + "Integer;"))


def test_deep_record_nesting():
    count = NESTED
    src = "type T = " + "record a: " * count + "Integer" + "; end" * count + ";"
    out = run_on_small_stack(lambda: serialized(src))
    chain = nested_chain(out, follow=("Type", "Field"), limit=100000)
    records = [line for line in chain if line.startswith("ntType ") and "type=record" in line]
    assert len(records) == count
    assert len(chain) == 2 * count + 1
    assert chain[0].startswith("ntType line=1 col=10 ")
    assert "name=Integer" in chain[-1]


def test_deep_procedural_parameter_nesting():
    count = NESTED
    src = "type T = " + "procedure(x: " * count + "Integer" + ")" * count + ";"
    out = run_on_small_stack(lambda: serialized(src))
    chain = nested_chain(out, follow=("Type", "Parameters", "Parameter"), limit=100000)
    procedures = [line for line in chain if "type=procedure" in line]
    assert len(procedures) == count
    assert len(chain) == 3 * count + 1
    assert chain[0].startswith("ntType line=1 col=10 ")
    assert "name=Integer" in chain[-1]


@pytest.mark.parametrize(
    "unit,expected_name_start",
    [("^", "^^^"), ("set of ", None), ("packed ", "packed packed")],
    ids=["pointer", "set", "packed"],
)
def test_long_prefix_chains(unit, expected_name_start):
    count = DEEP if unit != "packed " else 100_000
    src = "type T = " + unit * count + "Integer;"
    out = run_on_small_stack(lambda: serialized(src))
    assert out.startswith("# file_name=t.pas\nntUnit")
    head = out.split("\n", 8)[:8]
    if expected_name_start:
        # These chains are read as one reference under a single constructor.
        assert any(f"name={expected_name_start}" in line for line in head)
    assert len(out) < 40 * len(src)


def test_pointer_chain_name_holds_every_caret():
    count = 10_000
    _, t = declared("^" * count + "Integer")
    assert t.attrs == {"type": "pointer"}
    assert t.children[0].attrs["name"] == "^" * (count - 1) + "Integer"


def test_set_of_set_stops_at_of():
    root = parse("type T = set of set of Byte;")
    t = root.child("TypeSection").child("TypeDecl").children[-1]
    assert t.attrs == {"type": "set"}
    assert t.children[0].attrs == {"name": "set"}
