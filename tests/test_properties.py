"""Property declarations: names, index parameters with modifiers and
defaults, types and their stop words, every specifier and hint, and the
trailing `default;` of an array property."""

import pytest

import tarnwick
from helpers import CLASS_HEAD, one_token
from treereader import parse


def members(text):
    """The members of `type T = class <text> end;`."""
    root = parse(f"type T = class {text} end;")
    return root.child("TypeSection").child("TypeDecl").child("Type").children


def prop(text):
    """The one Property of a class body holding `text`."""
    found = [m for m in members(text) if m.kind == "Property"]
    assert len(found) == 1
    return found[0]


def identifier(node):
    assert node.kind == "Identifier", node.kind
    return node.attrs["name"]


# ---- Whole outputs ----------------------------------------------------------

def test_read_write_property_exact():
    src = "type T = class property Count: Integer read FCount write SetCount; end;"
    expected = CLASS_HEAD + (
        "\n        ntProperty line=1 col=16 end_line=1 end_col=24 name=Count"
        " source_positions=1:16,1:17,1:18,1:19,1:20,1:21,1:22,1:23,1:24"
        "\n          ntType line=1 col=32 end_line=1 end_col=39 name=Integer"
        " source_positions=1:32,1:33,1:34,1:35,1:36,1:37,1:38,1:39"
        "\n          ntRead line=1 col=40 end_line=1 end_col=44"
        " source_positions=1:40,1:41,1:42,1:43,1:44"
        "\n            ntIdentifier line=1 col=45 end_line=1 end_col=51 name=FCount"
        " source_positions=1:45,1:46,1:47,1:48,1:49,1:50,1:51"
        "\n          ntWrite line=1 col=52 end_line=1 end_col=57"
        " source_positions=1:52,1:53,1:54,1:55,1:56,1:57"
        "\n            ntIdentifier line=1 col=58 end_line=1 end_col=66 name=SetCount"
        " source_positions=1:58,1:59,1:60,1:61,1:62,1:63,1:64,1:65,1:66"
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_array_property_with_trailing_default_exact():
    # type T = class property Items[I: Integer]: string read Get; default; end;
    #                16       25    31 34     42 44     51   56   61
    src = "type T = class property Items[I: Integer]: string read Get; default; end;"
    expected = CLASS_HEAD + (
        one_token(4, "Property", 1, 16, 8, {"name": "Items"})
        + one_token(5, "Parameter", 1, 31, 1)
        + one_token(6, "Name", 1, 31, 1, value="I")
        + one_token(6, "Type", 1, 34, 7, {"name": "Integer"})
        + one_token(5, "Type", 1, 44, 6, {"name": "string"})
        + one_token(5, "Read", 1, 51, 4)
        + one_token(6, "Identifier", 1, 56, 3, {"name": "Get"})
        + one_token(5, "Default", 1, 61, 7)
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_index_default_and_modifier_exact():
    # type T = class property V[const I: Integer = 0]: Integer read GetV; end;
    #                16       25 27   33 36      44 46 49      58   63
    src = "type T = class property V[const I: Integer = 0]: Integer read GetV; end;"
    expected = CLASS_HEAD + (
        one_token(4, "Property", 1, 16, 8, {"name": "V"})
        + one_token(5, "Parameter", 1, 33, 1, {"kind": "const"})
        + one_token(6, "Name", 1, 33, 1, value="I")
        + one_token(6, "Type", 1, 36, 7, {"name": "Integer"})
        + one_token(6, "Value", 1, 46, 1)
        + one_token(7, "Unknown", 1, 46, 1, value="0")
        + one_token(5, "Type", 1, 50, 7, {"name": "Integer"})
        + one_token(5, "Read", 1, 58, 4)
        + one_token(6, "Identifier", 1, 63, 4, {"name": "GetV"})
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_hint_ends_the_accessor_exact():
    # type T = class property Z: Integer read FZ deprecated 'use W'; end;
    #                16       25 28     36   41 44
    src = "type T = class property Z: Integer read FZ deprecated 'use W'; end;"
    expected = CLASS_HEAD + (
        one_token(4, "Property", 1, 16, 8, {"name": "Z", "deprecated": "use W"})
        + one_token(5, "Type", 1, 28, 7, {"name": "Integer"})
        + one_token(5, "Read", 1, 36, 4)
        + one_token(6, "Identifier", 1, 41, 2, {"name": "FZ"})
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


# ---- Specifiers -------------------------------------------------------------

def test_read_and_write_consume_the_semicolon():
    ms = members("property Count: Integer read FCount write SetCount; F: Byte;")
    assert [m.kind for m in ms] == ["Property", "Field"]
    p = ms[0]
    assert p.attrs == {"name": "Count"}
    assert p.kinds() == ["Type", "Read", "Write"]
    assert identifier(p.child("Read").children[0]) == "FCount"
    assert identifier(p.child("Write").children[0]) == "SetCount"


def test_specifiers_in_source_order():
    p = prop("property X: Integer index 3 read GetX stored False default 0;")
    assert p.kinds() == ["Type", "Index", "Read", "Unknown", "Default"]
    index, read, stored, default = p.children[1:]
    assert index.children[0].kind == "Literal" and index.children[0].value == "3"
    assert identifier(read.children[0]) == "GetX"
    assert stored.attrs == {"kind": "stored"}
    assert identifier(stored.children[0]) == "False"
    assert default.attrs == {}
    assert default.children[0].value == "0"


def test_nodefault():
    p = prop("property Y: Integer read FY nodefault;")
    last = p.children[-1]
    assert last.kind == "Default"
    assert last.attrs == {"kind": "nodefault"}
    assert last.children == []


def test_event_add_and_remove():
    p = prop("property OnClick: TNotifyEvent add AddClick remove RemoveClick;")
    assert p.kinds() == ["Type", "Unknown", "Unknown"]
    add, remove = p.children[1:]
    assert add.attrs == {"kind": "add"} and identifier(add.children[0]) == "AddClick"
    assert remove.attrs == {"kind": "remove"} and identifier(remove.children[0]) == "RemoveClick"


@pytest.mark.parametrize("word", ["readonly", "writeonly", "ReadOnly"])
def test_readonly_and_writeonly(word):
    p = prop(f"property P: Integer {word};")
    assert p.kinds() == ["Type", "Unknown"]
    node = p.children[1]
    assert node.attrs == {"kind": word.lower()}
    assert node.children == []


def test_dispid():
    p = prop("property Name: WideString dispid 3;")
    assert p.kinds() == ["Type", "Unknown"]
    assert p.children[1].attrs == {"kind": "dispid"}
    assert p.children[1].children[0].value == "3"


def test_implements():
    p = prop("property Intf: IFoo read FIntf implements IFoo;")
    assert p.kinds() == ["Type", "Read", "Implements"]
    assert identifier(p.child("Implements").children[0]) == "IFoo"


def test_implements_list_is_one_expression():
    p = prop("property Intf: IFoo read FIntf implements IFoo, IBar;")
    expression = p.child("Implements").children[0]
    assert expression.kind == "Expression"
    assert [identifier(c) for c in expression.children] == ["IFoo", "IBar"]


@pytest.mark.parametrize("word, kind", [("stored", "Unknown"), ("default", "Default")])
def test_stored_and_default_without_value(word, kind):
    p = prop(f"property P: Integer read FP {word};")
    node = p.children[-1]
    assert node.kind == kind
    assert node.children == []


def test_accessor_without_expression():
    p = prop("property P: Integer read ; ")
    assert p.kinds() == ["Type", "Read"]
    assert p.child("Read").children == []


def test_accessor_followed_directly_by_specifier():
    p = prop("property P: Integer read write SetP;")
    assert p.kinds() == ["Type", "Read", "Write"]
    assert p.child("Read").children == []


def test_accessor_with_a_qualified_and_indexed_expression():
    p = prop("property P: Integer read FData.Items[0];")
    node = p.child("Read").children[0]
    assert node.kind == "Indexed"
    assert node.children[0].kind == "Dot"


def test_default_expression_is_unwrapped():
    p = prop("property P: TColor read FP default clBtnFace;")
    assert identifier(p.child("Default").children[0]) == "clBtnFace"


def test_default_set_value():
    p = prop("property Anchors: TAnchors read FA write SetA default [akLeft, akTop];")
    value = p.child("Default").children[0]
    assert value.kind == "Set"
    assert [identifier(c) for c in value.children] == ["akLeft", "akTop"]


# ---- Hints -------------------------------------------------------------------

def test_hint_after_semicolon_is_not_read_by_the_property():
    ms = members("property Z: Integer read FZ; deprecated 'use W';")
    assert [m.kind for m in ms] == ["Property", "Field"]
    assert "deprecated" not in ms[0].attrs
    assert ms[1].child("Name").value == "deprecated"


@pytest.mark.parametrize("hint, attrs", [
    ("deprecated", {"deprecated": "true"}),
    ("deprecated 'old'", {"deprecated": "old"}),
    ("deprecated 'it''s old'", {"deprecated": "it's old"}),
    ("experimental", {"kind": "experimental"}),
    ("library", {"kind": "library"}),
    ("platform", {"kind": "platform"}),
    ("platform experimental", {"kind": "experimental"}),
    ("Deprecated Platform", {"deprecated": "true", "kind": "platform"}),
])
def test_hints(hint, attrs):
    p = prop(f"property P: Integer read FP {hint};")
    assert p.attrs == {"name": "P", **attrs}
    assert p.kinds() == ["Type", "Read"]
    assert identifier(p.child("Read").children[0]) == "FP"


@pytest.mark.parametrize("word", ["deprecated", "experimental", "library", "platform"])
def test_hint_ends_every_specifier_expression(word):
    p = prop(f"property P: Integer index 1 {word} read FP {word} write SetP {word} "
             f"stored S {word} default 2 {word};")
    assert p.kinds() == ["Type", "Index", "Read", "Write", "Unknown", "Default"]
    for node in p.children[1:]:
        assert len(node.children) == 1
        assert node.children[0].kind in ("Identifier", "Literal")


def test_hint_ends_the_type():
    p = prop("property P: Integer deprecated;")
    assert p.kinds() == ["Type"]
    assert p.child("Type").attrs == {"name": "Integer"}
    assert p.attrs["deprecated"] == "true"


# ---- Types -------------------------------------------------------------------

@pytest.mark.parametrize("type_text, name", [
    ("TList<Integer>", "TList<Integer>"),
    ("System.Classes.TStrings", "System.Classes.TStrings"),
    ("TDictionary<string, TList<Integer>>", "TDictionary<string,TList<Integer>>"),
    ("string", "string"),
])
def test_property_type_text(type_text, name):
    p = prop(f"property P: {type_text} read FP;")
    assert p.child("Type").attrs == {"name": name}


def test_type_spans_its_text():
    # type T = class property P: TList<Integer> read FP; end;
    #                            28
    p = prop("property P: TList<Integer> read FP;")
    assert p.child("Type").span() == (1, 28, 1, 42)


@pytest.mark.parametrize("word", [
    "read", "write", "default", "nodefault", "stored", "index", "dispid", "implements",
    "readonly", "writeonly", "add", "remove",
])
def test_every_specifier_word_ends_the_type(word):
    p = prop(f"property P: TFoo {word};")
    assert p.child("Type").attrs == {"name": "TFoo"}
    assert len(p.children) == 2


def test_property_without_type_redeclares():
    p = prop("property Caption;")
    assert p.attrs == {"name": "Caption"}
    assert p.children == []


def test_published_redeclaration_with_specifier():
    p = prop("property Align default alClient;")
    assert p.kinds() == ["Default"]


def test_property_without_name():
    p = prop("property : Integer read F;")
    assert p.attrs == {}
    assert p.kinds() == ["Type", "Read"]


def test_unknown_word_ends_the_specifiers():
    ms = members("property P: Integer readonly bogus; F: Byte;")
    assert [m.kind for m in ms] == ["Property", "Field", "Field"]
    assert [m.child("Name").value for m in ms[1:]] == ["bogus", "F"]
    assert ms[0].kinds() == ["Type", "Unknown"]


def test_unknown_word_inside_an_accessor_joins_its_expression():
    p = prop("property P: Integer read FP bogus;")
    expression = p.child("Read").children[0]
    assert expression.kind == "Expression"
    assert [identifier(c) for c in expression.children] == ["FP", "bogus"]


# ---- Index parameters ---------------------------------------------------------

def test_array_property_with_default():
    p = prop("property Items[Index: Integer]: string read GetItem; default;")
    assert p.kinds() == ["Parameter", "Type", "Read", "Default"]
    parameter = p.child("Parameter")
    assert parameter.kinds() == ["Name", "Type"]
    assert parameter.child("Name").value == "Index"
    assert p.child("Default").children == [] and p.child("Default").attrs == {}


def test_trailing_default_semicolon_is_consumed():
    ms = members("property Items[I: Integer]: string read Get; default; F: Byte;")
    assert [m.kind for m in ms] == ["Property", "Field"]


def test_semicolon_then_other_word_is_left():
    ms = members("property P: Integer read FP; F: Byte;")
    assert [m.kind for m in ms] == ["Property", "Field"]
    assert ms[0].kinds() == ["Type", "Read"]


def test_modifier_holds_across_commas():
    p = prop("property P[const A, B: Integer]: Integer read GetP;")
    a, b = p.find_all("Parameter")
    assert a.attrs == b.attrs == {"kind": "const"}
    assert a.kinds() == ["Name"]  # the type goes to B alone
    assert b.kinds() == ["Name", "Type"]


def test_semicolon_clears_the_modifier():
    p = prop("property P[var A: Integer; B: string; out C: Byte]: Integer read GetP;")
    params = p.find_all("Parameter")
    assert [x.child("Name").value for x in params] == ["A", "B", "C"]
    assert [x.attrs.get("kind") for x in params] == ["var", None, "out"]


@pytest.mark.parametrize("modifier", ["var", "out", "const", "constref", "CONST"])
def test_modifiers(modifier):
    p = prop(f"property P[{modifier} A: Integer]: Integer read GetP;")
    assert p.child("Parameter").attrs == {"kind": modifier.lower()}


def test_modifier_alone_before_bracket():
    p = prop("property P[const]: Integer read GetP;")
    assert p.kinds() == ["Type", "Read"]


def test_default_value_text():
    p = prop("property P[I: Integer = 1 + 2; S: string = 'x']: Integer read GetP;")
    i, s = p.find_all("Parameter")
    assert i.kinds() == ["Name", "Type", "Value"]
    assert i.child("Value").children[0].value == "1+2"
    assert s.child("Value").children[0].value == "'x'"


def test_empty_default_value():
    p = prop("property P[I: Integer = ]: Integer read GetP;")
    value = p.child("Parameter").child("Value")
    assert value.children == []


def test_index_parameters_skip_junk():
    p = prop("property P[5, I: Integer; ; J]: Integer read GetP;")
    assert [x.child("Name").value for x in p.find_all("Parameter")] == ["I", "J"]


def test_missing_closing_bracket_runs_to_the_end():
    root = parse("type T = class property P[I: Integer")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    p = t.child("Property")
    assert [x.child("Name").value for x in p.find_all("Parameter")] == ["I"]


def test_index_parameter_of_structured_type():
    p = prop("property P[R: record A: Byte; end]: Integer read GetP;")
    t = p.child("Parameter").child("Type")
    assert t.attrs == {"type": "record"}
    assert t.child("Field").child("Name").value == "A"


# ---- Class properties and containers ----------------------------------------

def test_class_property():
    ms = members("class property Instance: TFoo read GetInstance;")
    assert [m.kind for m in ms] == ["Property"]
    assert ms[0].attrs == {"class": "true", "name": "Instance"}


def test_properties_go_to_the_current_section():
    root = parse("type T = class private F: Byte; published property P: Byte read F; end;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert t.kinds() == ["Private", "Published"]
    assert t.child("Published").kinds() == ["Property"]


def test_dispinterface_properties():
    root = parse("type D = dispinterface ['{1}'] property Name: WideString readonly dispid 1; "
                 "property Items[I: Integer]: OleVariant dispid 0; default; end;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert t.kinds() == ["Guid", "Property", "Property"]
    first, second = t.find_all("Property")
    assert [c.attrs.get("kind") for c in first.children] == [None, "readonly", "dispid"]
    assert second.kinds() == ["Parameter", "Type", "Unknown", "Default"]
