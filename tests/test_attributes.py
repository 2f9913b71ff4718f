"""Custom attribute lists in square brackets: adjacent groups, dotted names,
argument lists with their end and positions, skipped tokens, and where the
lists end up (members, fields, variant fields, type declarations)."""

import pytest

import tarnwick
from helpers import CLASS_HEAD, one_token
from treereader import parse


def attribute_list(text):
    """The Attributes node of `type T = class <text> procedure Run; end;`."""
    root = parse(f"type T = class {text} procedure Run; end;")
    method = root.child("TypeSection").child("TypeDecl").child("Type").child("Method")
    assert method.kinds()[-1] == "Attributes"
    return method.children[-1]


def attribute_names(node):
    return [a.attrs["name"] for a in node.children]


# ---- Whole outputs ----------------------------------------------------------

def test_weak_field_exact():
    # type T = class [Weak] FOwner: TObject; end;
    #                16     23      31
    src = "type T = class [Weak] FOwner: TObject; end;"
    expected = CLASS_HEAD + (
        one_token(4, "Field", 1, 23, 6)
        + one_token(5, "Name", 1, 23, 6, value="FOwner")
        + one_token(5, "Type", 1, 31, 7, {"name": "TObject"})
        + one_token(5, "Attributes", 1, 16, 1)
        + one_token(6, "Attribute", 1, 17, 4, {"name": "Weak"})
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_arguments_end_at_the_closing_bracket_exact():
    # type T = class [Category('Slow', 2 )] procedure Run; end;
    #                16       25      33 34 36  39        49
    src = "type T = class [Category('Slow', 2 )] procedure Run; end;"
    expected = CLASS_HEAD + (
        one_token(4, "Method", 1, 39, 9, {"kind": "procedure", "name": "Run"})
        + one_token(5, "Attributes", 1, 16, 1)
        + one_token(6, "Attribute", 1, 17, 8, {"name": "Category"})
        # Started at the last argument token, ended at the column of ")" itself.
        + "\n              ntArguments line=1 col=34 end_line=1 end_col=36"
          " source_positions=1:34,1:35,1:36"
        + one_token(8, "PositionalArgument", 1, 26, 6)
        + one_token(9, "Literal", 1, 26, 6, {"type": "string"}, value="Slow")
        + one_token(8, "PositionalArgument", 1, 34, 1)
        + one_token(9, "Literal", 1, 34, 1, {"type": "numeric"}, value="2")
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_empty_arguments_exact():
    # type T = class [Foo( )] procedure Run; end;
    #                16  20 22  25        35
    src = "type T = class [Foo( )] procedure Run; end;"
    expected = CLASS_HEAD + (
        one_token(4, "Method", 1, 25, 9, {"kind": "procedure", "name": "Run"})
        + one_token(5, "Attributes", 1, 16, 1)
        + one_token(6, "Attribute", 1, 17, 3, {"name": "Foo"})
        + "\n              ntArguments line=1 col=20 end_line=1 end_col=22"
          " source_positions=1:20,1:21,1:22"
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


# ---- Names and groups ---------------------------------------------------------

def test_single_attribute():
    node = attribute_list("[Weak]")
    assert node.kind == "Attributes"
    assert attribute_names(node) == ["Weak"]
    assert node.children[0].children == []


@pytest.mark.parametrize("text", ["[A, B]", "[A] [B]", "[A][B]", "[A,B,]", "[A] [] [B]"])
def test_adjacent_groups_share_one_node(text):
    node = attribute_list(text)
    assert attribute_names(node) == ["A", "B"]
    assert node.span()[:2] == (1, 16)  # the first "["


def test_dotted_name():
    node = attribute_list("[System.Runtime.Serializable]")
    attribute = node.children[0]
    assert attribute.attrs == {"name": "System.Runtime.Serializable"}
    # The node spans the first part of the name only.
    assert attribute.span() == (1, 17, 1, 23)


def test_escaped_name_keeps_its_ampersand():
    node = attribute_list("[&Type, Unit.&Name]")
    assert attribute_names(node) == ["&Type", "Unit.&Name"]


@pytest.mark.parametrize("text, expected", [
    ("[123, Name]", ["Name"]),
    ("[Name, 'x', 5]", ["Name"]),
    ("[+ A - B]", ["A", "B"]),
    ("[, , A]", ["A"]),
])
def test_tokens_that_start_no_name_are_skipped(text, expected):
    assert attribute_names(attribute_list(text)) == expected


def test_name_directly_after_arguments_without_comma():
    node = attribute_list("[A(1) B]")
    assert attribute_names(node) == ["A", "B"]


# ---- Arguments ------------------------------------------------------------------

def test_two_arguments():
    node = attribute_list("[Category('Slow', 2)]")
    attribute = node.children[0]
    assert attribute.kinds() == ["Arguments"]
    arguments = attribute.child("Arguments")
    assert arguments.kinds() == ["PositionalArgument", "PositionalArgument"]
    first, second = (a.children[0] for a in arguments.children)
    assert (first.kind, first.attrs["type"], first.value) == ("Literal", "string", "Slow")
    assert (second.kind, second.attrs["type"], second.value) == ("Literal", "numeric", "2")
    # Started at the token 2, ended at the column of ")".
    assert arguments.span() == (1, 34, 1, 35)


def test_empty_argument_list_starts_at_the_open_bracket():
    node = attribute_list("[Foo()]")
    arguments = node.children[0].child("Arguments")
    assert arguments.children == []
    assert arguments.span() == (1, 20, 1, 21)
    assert arguments.positions == [(1, 20), (1, 21)]


def test_nested_commas_do_not_split():
    node = attribute_list("[Range(Low(X), High(X))]")
    arguments = node.children[0].child("Arguments")
    assert len(arguments.children) == 2
    calls = [a.children[0] for a in arguments.children]
    assert [c.kind for c in calls] == ["Call", "Call"]
    assert [c.children[0].attrs["name"] for c in calls] == ["Low", "High"]


def test_commas_inside_angle_and_square_brackets_do_not_split():
    node = attribute_list("[A(TPair<K, V>, [1, 2], 3)]")
    assert len(node.children[0].child("Arguments").children) == 3


def test_empty_groups_leave_no_argument():
    node = attribute_list("[A(1,,2,)]")
    arguments = node.children[0].child("Arguments")
    assert [a.children[0].value for a in arguments.children] == ["1", "2"]


def test_argument_expressions_are_unwrapped():
    node = attribute_list("[A(Name, Ord('x') + 1, B.C)]")
    values = [a.children[0] for a in node.children[0].child("Arguments").children]
    assert [v.kind for v in values] == ["Identifier", "Expression", "Dot"]


def test_multi_line_arguments_positions():
    src = ("type T = class\n"
           "  [Test('a',\n"
           "    'bc'\n"
           "  )]\n"
           "  procedure Run;\n"
           "end;")
    method = parse(src).child("TypeSection").child("TypeDecl").child("Type").child("Method")
    arguments = method.child("Attributes").children[0].child("Arguments")
    # Started at 'bc' (line 3, column 5), ended at ")" (line 4, column 3):
    # the start token's positions, one more after it, then ")" and after it.
    assert arguments.span() == (3, 5, 4, 3)
    assert arguments.positions == [(3, 5), (3, 6), (3, 7), (3, 8), (3, 9), (4, 3), (4, 4)]


def test_missing_closing_bracket_of_arguments_keeps_one_token_span():
    root = parse("type T = class [A(1")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    # The attribute list stands before nothing and is dropped; the scan for
    # ")" ran to the end of the tokens.
    assert t.children == []
    out = tarnwick.parse_to_serialized("type T = record case Byte of 0: ([A(1", "t.pas")
    assert "ntAttributes" not in out


def test_missing_closing_square_bracket_reads_to_the_end():
    root = parse("type [A, B TFoo = Integer;")
    section = root.child("TypeSection")
    assert section.children == []


# ---- Where attribute lists go ---------------------------------------------------

def test_attributes_on_type_declarations():
    root = parse("type [Serializable, Version(2)] TFoo = class end; [A] TBar<T> = record end;")
    foo, bar = root.child("TypeSection").children
    assert foo.kinds() == ["Attributes", "Type"]
    assert attribute_names(foo.child("Attributes")) == ["Serializable", "Version"]
    assert bar.kinds() == ["Attributes", "TypeParams", "Type"]


def test_attributes_on_every_kind_of_member():
    root = parse("type T = class [F] X: Byte; [P] property Q: Byte read X; "
                 "[M] procedure R; [C] constructor Create; end;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert [m.kind for m in t.children] == ["Field", "Property", "Method", "Method"]
    assert [attribute_names(m.child("Attributes")) for m in t.children] == [
        ["F"], ["P"], ["M"], ["C"]]


def test_attributes_on_variant_fields():
    root = parse("type R = record case Byte of 0: ([A] X, Y: Byte; Z: Byte); end;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    x, y, z = t.find_all("Field")
    assert x.kinds() == ["Name", "Attributes", "Type"]
    assert y.kinds() == ["Name", "Type", "Attributes"]
    # An attribute list applies to one declaration only.
    assert z.kinds() == ["Name", "Type"]


def test_attributes_before_nested_variant_part_are_dropped():
    root = parse("type R = record case Byte of 0: ([A] case Byte of 1: (X: Byte)); end;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert t.find_all("Attributes") == []
    assert t.kinds() == ["Type", "CaseLabels", "Type", "CaseLabels", "Field"]


def test_each_field_gets_its_own_copy():
    root = parse("type T = class [A(1)] X, Y, Z: Byte; end;")
    fields = root.child("TypeSection").child("TypeDecl").child("Type").find_all("Field")
    copies = [f.child("Attributes") for f in fields]
    assert len(copies) == 3
    assert all(c.shape() == copies[0].shape() for c in copies)
    assert all(c.span() == (1, 16, 1, 17) for c in copies)
