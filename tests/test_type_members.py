"""Bodies of classes, records, objects, interfaces and helpers: visibility
sections, fields, class members, GUIDs, attribute lists before members,
nested sections and the variant part of a record."""

import pytest

import tarnwick
from helpers import TYPE_DECL_HEAD, names_of, one_token, run_on_small_stack
from limits import REFUSED
from treereader import parse, read_tree


def body(text, kind="class"):
    """The Type node of `type T = <kind> <text> end;`."""
    root = parse(f"type T = {kind} {text} end;")
    return root.child("TypeSection").child("TypeDecl").child("Type")


# ---- Whole outputs ----------------------------------------------------------

def test_visibility_sections_exact():
    src = "type T = class private A: Integer; public B: string; end;"
    expected = TYPE_DECL_HEAD + (
        "\n      ntType line=1 col=10 end_line=1 end_col=15 type=class"
        " source_positions=1:10,1:11,1:12,1:13,1:14,1:15"
        "\n        ntPrivate line=1 col=16 end_line=1 end_col=23"
        " source_positions=1:16,1:17,1:18,1:19,1:20,1:21,1:22,1:23"
        "\n          ntField line=1 col=24 end_line=1 end_col=25 source_positions=1:24,1:25"
        "\n            ntName line=1 col=24 end_line=1 end_col=25 source_positions=1:24,1:25"
        "\n              value=A"
        "\n            ntType line=1 col=27 end_line=1 end_col=34 name=Integer"
        " source_positions=1:27,1:28,1:29,1:30,1:31,1:32,1:33,1:34"
        "\n        ntPublic line=1 col=36 end_line=1 end_col=42"
        " source_positions=1:36,1:37,1:38,1:39,1:40,1:41,1:42"
        "\n          ntField line=1 col=43 end_line=1 end_col=44 source_positions=1:43,1:44"
        "\n            ntName line=1 col=43 end_line=1 end_col=44 source_positions=1:43,1:44"
        "\n              value=B"
        "\n            ntType line=1 col=46 end_line=1 end_col=52 name=string"
        " source_positions=1:46,1:47,1:48,1:49,1:50,1:51,1:52"
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_field_in_type_node_with_dropped_initial_value_exact():
    # type T = record X: Integer = 5; end;
    #          10     17 20      28
    src = "type T = record X: Integer = 5; end;"
    expected = TYPE_DECL_HEAD + (
        one_token(3, "Type", 1, 10, 6, {"type": "record"})
        + one_token(4, "Field", 1, 17, 1)
        + one_token(5, "Name", 1, 17, 1, value="X")
        + one_token(5, "Type", 1, 20, 7, {"name": "Integer"})
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_strict_sections_and_guid_exact():
    # type T = interface ['{AB}'] strict private A: Byte; end;
    #          10        20 21    27 29     36      44 47
    src = "type T = interface ['{AB}'] strict private A: Byte; end;"
    expected = TYPE_DECL_HEAD + (
        one_token(3, "Type", 1, 10, 9, {"type": "interface"})
        + one_token(4, "Guid", 1, 20, 1, {"name": "{AB}"})
        + one_token(4, "StrictPrivate", 1, 29, 6)
        + one_token(5, "Field", 1, 44, 1)
        + one_token(6, "Name", 1, 44, 1, value="A")
        + one_token(6, "Type", 1, 47, 4, {"name": "Byte"})
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_variant_part_exact():
    # type T = record case Tag: Byte of 0: (A: Integer); 1, 2: (B: Char); end;
    #          10     17   22   27   32 35  39 42        52 55  59 62
    src = "type T = record case Tag: Byte of 0: (A: Integer); 1, 2: (B: Char); end;"
    expected = TYPE_DECL_HEAD + (
        one_token(3, "Type", 1, 10, 6, {"type": "record"})
        + one_token(4, "Type", 1, 27, 4, {"name": "Byte"})
        + one_token(4, "CaseLabels", 1, 35, 1)
        + one_token(5, "CaseLabel", 1, 35, 1)
        + one_token(6, "Literal", 1, 35, 1, {"type": "numeric"}, value="0")
        + one_token(4, "Field", 1, 39, 1)
        + one_token(5, "Name", 1, 39, 1, value="A")
        + one_token(5, "Type", 1, 42, 7, {"name": "Integer"})
        + one_token(4, "CaseLabels", 1, 52, 1)
        + one_token(5, "CaseLabel", 1, 52, 1)
        + one_token(6, "Literal", 1, 52, 1, {"type": "numeric"}, value="1")
        + one_token(5, "CaseLabel", 1, 55, 1)
        + one_token(6, "Literal", 1, 55, 1, {"type": "numeric"}, value="2")
        + one_token(4, "Field", 1, 59, 1)
        + one_token(5, "Name", 1, 59, 1, value="B")
        + one_token(5, "Type", 1, 62, 4, {"name": "Char"})
    )
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


# ---- Visibility sections and containers -------------------------------------

def test_sections_collect_members_and_end_is_consumed():
    root = parse("type T = class private A: Integer; public B: string; end; var V: Byte;")
    section = root.child("TypeSection")
    t = section.child("TypeDecl").child("Type")
    assert t.kinds() == ["Private", "Public"]
    assert names_of(t.child("Private").children) == ["A"]
    assert names_of(t.child("Public").children) == ["B"]
    # The "end" and the ";" are consumed: the var section is read at unit level.
    assert root.kinds() == ["TypeSection", "Variables"]


def test_field_before_any_section_is_child_of_type():
    t = body("A: Integer;")
    assert t.kinds() == ["Field"]
    assert t.child("Field").kinds() == ["Name", "Type"]


@pytest.mark.parametrize("word, kind", [
    ("private", "Private"), ("protected", "Protected"), ("public", "Public"),
    ("published", "Published"), ("PUBLIC", "Public"),
    ("strict private", "StrictPrivate"), ("strict protected", "StrictProtected"),
    ("Strict Private", "StrictPrivate"),
])
def test_visibility_words(word, kind):
    t = body(f"{word} A: Integer;")
    assert t.kinds() == [kind]
    section = t.child(kind)
    assert section.kinds() == ["Field"]
    # The section node spans the first word only.
    first = word.split()[0]
    assert section.span() == (1, 16, 1, 16 + len(first))


def test_a_later_section_replaces_the_container():
    t = body("private A: Byte; protected B: Byte; private C: Byte; published D: Byte;")
    assert t.kinds() == ["Private", "Protected", "Private", "Published"]
    assert [names_of(s.children) for s in t.children] == [["A"], ["B"], ["C"], ["D"]]


def test_strict_without_visibility_is_a_field_name():
    t = body("strict: Integer;")
    assert names_of(t.find_all("Field")) == ["strict"]


def test_sections_hold_methods_properties_and_nested_sections():
    t = body("public procedure P; property Q: Integer read FQ; const C = 1; "
             "type TX = Integer; F: Byte;")
    public = t.child("Public")
    assert public.kinds() == ["Method", "Property", "Constants", "TypeSection", "Field"]


# ---- The class-member flag --------------------------------------------------

def test_class_var_marks_fields_until_a_section():
    t = body("class var X: Integer; Y: Integer; private Z: Integer;")
    fields = t.find_all("Field")
    assert names_of(fields) == ["X", "Y", "Z"]
    assert [f.attrs.get("class") for f in fields] == ["true", "true", None]


@pytest.mark.parametrize("between", [
    "var", "public", "strict private", "const C = 1; procedure P;", "type TX = Byte;",
])
def test_class_flag_is_cleared(between):
    t = body(f"class var X: Integer; {between} Y: Integer;")
    fields = {f.child("Name").value: f for f in t.find_all("Field")}
    assert fields["X"].attrs.get("class") == "true"
    assert "class" not in fields["Y"].attrs


@pytest.mark.parametrize("between", [
    "procedure P;", "function F: Integer;", "property Q: Integer read FQ;",
    "class procedure P;",
])
def test_class_flag_survives_methods_and_properties(between):
    t = body(f"class var X: Integer; {between} Y: Integer;")
    fields = {f.child("Name").value: f for f in t.find_all("Field")}
    assert fields["Y"].attrs.get("class") == "true"


def test_class_var_fields_with_attributes():
    t = body("class var [Weak] X: TObject;")
    field = t.child("Field")
    assert field.attrs["class"] == "true"
    assert field.kinds() == ["Name", "Type", "Attributes"]


def test_class_method_and_class_property():
    t = body("class procedure P; class property Q: Integer read F;")
    assert t.kinds() == ["Method", "Property"]
    method, prop = t.children
    assert method.attrs["class"] == "true"
    assert method.attrs["kind"] == "procedure"
    assert method.span()[:2] == (1, 16)  # starts at "class"
    assert prop.attrs["class"] == "true"
    assert prop.attrs["name"] == "Q"
    assert prop.span()[:2] == (1, 41)  # starts at "property", after the consumed "class"


@pytest.mark.parametrize("section, expected_class", [
    ("public", "true"), ("private", None), ("", None),
])
def test_class_const_reads_a_field_named_class(section, expected_class):
    t = body(f"{section} class const Max = 10; Min = 1; A: Byte;")
    container = t.children[0] if section else t
    fields = container.find_all("Field")
    # "class" becomes a field; the rest through the next ";" is skipped, so the
    # constant Min is then read as a field declaration of its own.
    assert names_of(fields) == ["class", "Min", "A"]
    assert fields[0].kinds() == ["Name"]
    assert fields[0].attrs.get("class") == expected_class
    assert "class" not in fields[2].attrs


def test_class_const_clears_the_flag():
    t = body("class var X: Byte; class const C = 1; Y: Byte;")
    fields = {f.child("Name").value: f for f in t.find_all("Field")}
    assert fields["X"].attrs.get("class") == "true"
    assert "class" not in fields["Y"].attrs


def test_automated_reads_a_field_and_skips_the_next_declaration():
    t = body("automated procedure P; B: Integer;")
    assert names_of(t.find_all("Field")) == ["automated", "B"]
    assert t.find_all("Method") == []


# ---- GUIDs -------------------------------------------------------------------

def test_interface_guid_goes_to_type_node():
    guid = "{00000000-0000-0000-0000-000000000000}"
    t = body(f"['{guid}'] procedure P;", kind="interface")
    assert t.kinds() == ["Guid", "Method"]
    assert t.child("Guid").attrs == {"name": guid}


def test_guid_after_section_still_goes_to_type_node():
    t = body("public ['{G}'] procedure P;", kind="interface")
    assert t.kinds() == ["Public", "Guid"]
    assert t.child("Public").kinds() == ["Method"]


def test_guid_text_is_unquoted():
    t = body("['it''s']", kind="interface")
    assert t.child("Guid").attrs["name"] == "it's"


def test_guid_without_closing_bracket():
    t = body("['{X}' procedure P;", kind="interface")
    assert t.kinds() == ["Guid", "Method"]


# ---- Attribute lists before members -------------------------------------------

def test_attributes_on_field_come_last():
    t = body("[Weak] FOwner: TObject;")
    field = t.child("Field")
    assert field.kinds() == ["Name", "Type", "Attributes"]
    attrs = field.child("Attributes")
    assert [a.attrs["name"] for a in attrs.children] == ["Weak"]
    assert attrs.span() == (1, 16, 1, 17)


def test_attributes_on_method_are_its_last_child():
    t = body("[Test] procedure Run(X: Integer);")
    method = t.child("Method")
    assert method.attrs["name"] == "Run"
    assert method.kinds() == ["Parameters", "Attributes"]


def test_attributes_on_class_method_and_function():
    t = body("[A] class function F: Integer; [B] constructor Create;")
    assert t.kinds() == ["Method", "Method"]
    first, second = t.children
    assert first.attrs["class"] == "true"
    assert first.kinds()[-1] == "Attributes"
    assert second.kinds() == ["Attributes"]
    assert second.child("Attributes").children[0].attrs["name"] == "B"


def test_attributes_on_property():
    t = body("[Stored] property P: Integer read FP;")
    prop = t.child("Property")
    assert prop.kinds() == ["Type", "Read", "Attributes"]


def test_attributes_are_copied_to_every_field_of_a_declaration():
    t = body("[A] X, Y: Integer;")
    x, y = t.find_all("Field")
    # The pending field X gets the attribute copy before its type copy.
    assert x.kinds() == ["Name", "Attributes", "Type"]
    assert y.kinds() == ["Name", "Type", "Attributes"]
    assert x.child("Attributes").shape() == y.child("Attributes").shape()


def test_attributes_before_nothing_usable_are_dropped():
    t = body("[A] 123; B: Byte;")
    assert t.kinds() == ["Field"]
    assert t.find_all("Attributes") == []


def test_attributes_then_section_word_are_dropped_not_attached():
    t = body("[A] ; B: Byte;")
    assert t.find_all("Attributes") == []
    assert names_of(t.find_all("Field")) == ["B"]


def test_attributes_before_class_property_attach_to_a_field_named_class():
    # Only "property" and routine headings take an attribute list directly;
    # "class property" starts with a word, so the list goes to the field read
    # at "class", and the property that follows has no class flag.
    t = body("[A] class property P: Integer read FP;")
    assert t.kinds() == ["Field", "Property"]
    assert t.child("Field").kinds() == ["Name", "Attributes"]
    assert "class" not in t.child("Property").attrs


# ---- Fields --------------------------------------------------------------------

def test_field_group_copies_the_type():
    t = body("A, B: Integer;")
    a, b = t.find_all("Field")
    assert names_of([a, b]) == ["A", "B"]
    assert a.kinds() == ["Name", "Type"] and b.kinds() == ["Name", "Type"]
    ta, tb = a.child("Type"), b.child("Type")
    assert ta.attrs == tb.attrs == {"name": "Integer"}
    assert ta.span() == tb.span() and ta.positions == tb.positions


def test_field_group_of_three_with_structured_type():
    t = body("A, B, C: record X: Byte; end;")
    top = t.children
    assert names_of(top) == ["A", "B", "C"]
    for f in top:
        assert f.child("Type").attrs["type"] == "record"
        assert names_of(f.child("Type").children) == ["X"]


def test_field_without_type_keeps_only_its_name():
    t = body("A; B: Byte;")
    a, b = t.children
    assert a.kinds() == ["Name"]
    assert b.kinds() == ["Name", "Type"]


@pytest.mark.parametrize("directives, convention, varargs", [
    ("cdecl;", "cdecl", None),
    ("stdcall;", "stdcall", None),
    ("StdCall;", "stdcall", None),
    ("cdecl; varargs;", "cdecl", "true"),
    ("varargs;", None, "true"),
    ("cdecl; safecall;", "safecall", None),
    ("cblock;", None, None),
    ("cdecl; cblock;", "cdecl", None),
])
def test_procedural_field_directives(directives, convention, varargs):
    t = body(f"F: procedure(X: Integer); {directives} G: Byte;")
    f, g = t.children
    assert f.kinds() == ["Name", "Type"]
    for node in (f, f.child("Type")):
        assert node.attrs.get("callingconvention") == convention
        assert node.attrs.get("varargs") == varargs
    assert g.child("Name").value == "G"


def test_convention_goes_to_the_attributes_copy_when_it_is_last():
    t = body("[A] F: procedure; cdecl;")
    f = t.child("Field")
    assert f.kinds() == ["Name", "Type", "Attributes"]
    assert f.attrs["callingconvention"] == "cdecl"
    assert f.child("Attributes").attrs["callingconvention"] == "cdecl"
    assert "callingconvention" not in f.child("Type").attrs


def test_convention_without_type_goes_to_the_name():
    t = body("F cdecl;")
    f = t.child("Field")
    assert f.kinds() == ["Name"]
    assert f.child("Name").attrs["callingconvention"] == "cdecl"


def test_semicolon_after_plain_field_type_is_left_in_place():
    # "cdecl" after "Integer;" is not read by the field: the directive loop
    # only runs right after the type.
    t = body("X: Integer; cdecl: Byte;")
    assert names_of(t.children) == ["X", "cdecl"]
    assert "callingconvention" not in t.children[0].attrs


@pytest.mark.parametrize("word", ["read", "write", "default", "index", "message", "stored"])
def test_keyword_field_names(word):
    t = body(f"{word}: Integer;")
    assert names_of(t.children) == [word]


def test_escaped_field_name_value_is_the_bare_text():
    t = body("&Name: Integer;")
    assert names_of(t.children) == ["Name"]


def test_escaped_section_word_still_ends_a_field_list():
    # "&begin" is a Keyword token whose text is "begin": it starts no field
    # and is skipped; ":" is skipped too and "Integer" becomes a field name.
    t = body("&begin: Integer;")
    assert names_of(t.children) == ["Integer"]


def test_field_list_stops_at_a_symbol():
    t = body("A: Byte; 5; + B: Byte;")
    assert names_of(t.children) == ["A", "B"]


def test_deprecated_after_property_semicolon_is_a_field():
    t = body("property P: Integer read FP; deprecated;")
    assert t.kinds() == ["Property", "Field"]
    assert t.child("Field").child("Name").value == "deprecated"
    assert "deprecated" not in t.child("Property").attrs


# ---- Nested sections ------------------------------------------------------------

def test_nested_const_and_type_sections():
    t = body("const Max = 10; type TItem = Integer; FValue: TItem;")
    assert t.kinds() == ["Constants", "TypeSection", "Field"]
    assert t.child("Constants").attrs["kind"] == "const"
    assert t.child("TypeSection").child("TypeDecl").attrs["name"] == "TItem"
    assert names_of([t.child("Field")]) == ["FValue"]


def test_nested_class_type():
    t = body("public type TInner = class X: Byte; end; private FInner: TInner;")
    public = t.child("Public")
    inner = public.child("TypeSection").child("TypeDecl").child("Type")
    assert inner.attrs["type"] == "class"
    assert names_of(inner.children) == ["X"]
    assert names_of(t.child("Private").children) == ["FInner"]


# ---- Ends of the body ----------------------------------------------------------

@pytest.mark.parametrize("word", [
    "begin", "uses", "label", "asm", "interface", "threadvar", "resourcestring",
    "contains", "requires",
])
def test_member_loop_always_progresses(word):
    # The word ends a field list but starts no member: it is skipped.
    t = body(f"A: Byte; {word} B: Byte;")
    assert names_of(t.find_all("Field")) == ["A", "B"]


def test_class_begin_end_terminates():
    root = parse("type T = class begin end; var V: Byte;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert t.children == []
    assert root.kinds() == ["TypeSection", "Variables"]


@pytest.mark.parametrize("word, kind", [
    ("implementation", "Implementation"), ("initialization", "Initialization"),
    ("finalization", "Finalization"),
])
def test_unit_section_word_ends_the_body(word, kind):
    root = parse(f"unit U; interface type T = class A: Byte; {word} end.")
    interface = root.child("Interface")
    t = interface.child("TypeSection").child("TypeDecl").child("Type")
    assert names_of(t.children) == ["A"]
    assert root.kinds() == ["Interface", kind]


def test_exports_ends_the_body_unconsumed():
    root = parse("type T = class A: Byte; exports F;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert names_of(t.children) == ["A"]
    assert root.kinds() == ["TypeSection", "Exports"]


def test_missing_end_stops_at_the_end_of_the_tokens():
    t = parse("type T = class A: Byte; B: Byte;").child("TypeSection").child("TypeDecl").child("Type")
    assert names_of(t.children) == ["A", "B"]


def test_stray_symbols_are_skipped():
    t = body("A: Byte; ; ) ( B: Byte; @ ;")
    assert names_of(t.children) == ["A", "B"]


@pytest.mark.parametrize("kind, type_attr", [
    ("class", "class"), ("record", "record"), ("object", "record"),
    ("interface", "interface"), ("dispinterface", "dispinterface"),
])
def test_every_structured_type_reads_members(kind, type_attr):
    t = body("private A: Byte; public procedure P;", kind=kind)
    assert t.attrs["type"] == type_attr
    assert t.kinds() == ["Private", "Public"]


def test_record_helper_members_follow_the_target():
    t = body("function Len: Integer; property L: Integer read Len;", kind="record helper for TPoint")
    assert t.kinds() == ["Type", "Method", "Property"]
    assert t.children[0].attrs == {"name": "TPoint"}


# ---- Variant parts ----------------------------------------------------------------

def test_variant_part_children_in_source_order():
    t = body("A: Byte; case Tag: Byte of 0: (B: Integer); 1, 2: (C: Char);", kind="record")
    assert t.kinds() == ["Field", "Type", "CaseLabels", "Field", "CaseLabels", "Field"]
    labels = t.find_all("CaseLabels")
    assert [[l.child("Literal").value for l in ls.children] for ls in labels] == [["0"], ["1", "2"]]


def test_variant_part_consumes_its_record_end():
    root = parse("type R = record case Integer of 0: (A: Byte); end; var V: Byte;")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert t.kinds() == ["Type", "CaseLabels", "Field"]
    assert root.kinds() == ["TypeSection", "Variables"]


def test_nested_variant_part_attaches_to_outer_type():
    t = body("case Integer of 0: (case Boolean of True: (X: Byte));", kind="record")
    assert t.kinds() == ["Type", "CaseLabels", "Type", "CaseLabels", "Field"]
    assert [n.attrs["name"] for n in t.find_all("Type") if "name" in n.attrs][:2] == [
        "Integer", "Boolean"]
    assert t.children[3].child("CaseLabel").child("Literal").value == "True"


def test_variant_tag_type_text_and_positions():
    # type T = record case Tag: System.Byte of 0: (); end;
    #                           27
    t = body("case Tag: System.Byte of 0: ();", kind="record")
    tag = t.children[0]
    assert tag.attrs == {"name": "System.Byte"}
    # The positions cover the whole text; the end stays that of the first token.
    assert tag.positions == [(1, 27 + k) for k in range(12)]
    assert tag.span() == (1, 27, 1, 33)


def test_variant_without_tag_tokens_has_no_tag_type():
    t = body("case Tag: of 0: (A: Byte);", kind="record")
    assert t.kinds() == ["CaseLabels", "Field"]


def test_variant_labels_keep_their_text():
    t = body("case Char of 'a', 'b'..'z', Low(X) + 1: (A: Byte);", kind="record")
    labels = t.child("CaseLabels")
    values = [l.child("Literal") for l in labels.children]
    assert [v.value for v in values] == ["'a'", "'b'..'z'", "Low(X)+1"]
    assert all(v.attrs == {"type": "numeric"} for v in values)


def test_variant_fields_groups_and_attributes():
    t = body("case Byte of 0: (A, B: Integer; [W] C: TObject);", kind="record")
    fields = t.find_all("Field")
    assert names_of(fields) == ["A", "B", "C"]
    assert fields[0].kinds() == ["Name", "Type"]
    assert fields[2].kinds() == ["Name", "Type", "Attributes"]


def test_variant_fields_never_carry_class():
    t = body("class var X: Byte; case Byte of 0: (Y: Byte);", kind="record")
    fields = {f.child("Name").value: f for f in t.find_all("Field")}
    assert fields["X"].attrs.get("class") == "true"
    assert "class" not in fields["Y"].attrs


def test_variant_empty_parts_make_progress():
    t = body("case Byte of ; ; 0: (); 1: (;;); 2: ( 5 A: Byte );", kind="record")
    assert t.kinds() == ["Type", "CaseLabels", "CaseLabels", "CaseLabels", "Field"]


def test_variant_without_parentheses():
    t = body("case Byte of 0: A: Byte;", kind="record")
    # "0" gives labels; the ":" is accepted, and without "(" nothing is read
    # as fields, so "A" starts the next variant's labels.
    assert t.kinds() == ["Type", "CaseLabels", "CaseLabels", "CaseLabels"]


def test_variant_part_at_end_of_input():
    root = parse("type R = record case")
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    # The scan for "of" takes the end-of-file token: the tag type is made
    # from it with an empty name.
    assert t.kinds() == ["Type"]
    assert t.children[0].attrs == {"name": ""}


def test_packed_record_with_variant_part():
    t = body("case Kind: Byte of 0: (I: Integer); 1: (D: Double);", kind="packed record")
    assert t.attrs["type"] == "packed"
    inner = t.child("Type")
    assert inner.attrs["type"] == "record"
    assert inner.kinds() == ["Type", "CaseLabels", "Field", "CaseLabels", "Field"]


# ---- Deep nesting ------------------------------------------------------------------


def test_deeply_nested_variant_parts_are_read_whole():
    # A nested variant part adds no level to the tree: its labels and fields
    # go to the record's Type node, so 100,000 levels give a text that grows
    # with the input, and every level is there.
    depth = 100_000
    src = "type R = record " + "case Integer of 0: (" * depth + ")" * depth + " end; var V: Byte;"
    out = run_on_small_stack(lambda: tarnwick.parse_to_serialized(src, "t.pas"))
    assert out.count("\n        ntCaseLabels ") == depth
    assert out.count("\n          ntCaseLabel ") == depth
    assert out.count("name=Integer ") == depth  # each level's tag type
    assert out.rsplit("\n  nt", 1)[1].startswith("Variables ")


def record_nest(depth):
    return "type R = " + "record a: " * depth + "end " * depth + "; var V: Byte;"


def test_deeply_nested_records_are_read_whole_or_refused():
    out = run_on_small_stack(lambda: tarnwick.parse_to_serialized(record_nest(3000), "t.pas"))
    assert out.count(" type=record ") == 3000
    assert out.rsplit("\n  nt", 1)[1].startswith("Variables ")
    with pytest.raises(MemoryError, match=REFUSED):
        run_on_small_stack(lambda: tarnwick.parse_to_serialized(record_nest(1_000_000), "t.pas"))


def test_moderately_nested_records_keep_their_shape():
    depth = 50
    src = "type R = " + "record a: " * depth + "Byte; " + "end; " * depth
    t = parse(src).child("TypeSection").child("TypeDecl").child("Type")
    for _ in range(depth):
        assert t.attrs == {"type": "record"}
        field = t.child("Field")
        assert field.child("Name").value == "a"
        t = field.child("Type")
    assert t.attrs == {"name": "Byte"}


def test_moderately_nested_variant_parts_keep_their_shape():
    depth = 50
    src = ("type R = record " + "case Integer of 0: (" * depth + "X: Byte"
           + ")" * depth + " end;")
    t = parse(src).child("TypeSection").child("TypeDecl").child("Type")
    assert t.kinds() == ["Type", "CaseLabels"] * depth + ["Field"]


def test_variant_part_inside_a_section_goes_to_the_type_node():
    src = ("type T = class(TBase) [A] F, G: Byte; public property P: Byte read F; "
           "case Byte of 0: (X: Byte); end;")
    file_name, root = read_tree(tarnwick.parse_to_serialized(src, "t.pas"))
    assert file_name == "t.pas"
    t = root.child("TypeSection").child("TypeDecl").child("Type")
    assert t.kinds() == ["Type", "Field", "Field", "Public", "Type", "CaseLabels", "Field"]
    assert t.child("Public").kinds() == ["Property"]
    assert names_of(t.find_all("Field")) == ["F", "G", "X"]
