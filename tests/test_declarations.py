"""Declaration sections: const and resourcestring, var and threadvar, type
sections at unit level, inside routines and inside class bodies; where each
section ends, names, types, values, copies per variable, attributes,
generic declarations, align, hints and calling-convention directives."""

from pathlib import Path

import pytest

from helpers import names_of, serialized
from treereader import parse


# ---- Whole outputs of small inputs ------------------------------------------

EXACT = [
    (
        "var a, b: Integer;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=4 source_positions=1:1,1:2,1:3,1:4
  ntVariables line=1 col=1 end_line=1 end_col=4 kind=var source_positions=1:1,1:2,1:3,1:4
    ntVariable line=1 col=5 end_line=1 end_col=6 source_positions=1:5,1:6
      ntName line=1 col=5 end_line=1 end_col=6 source_positions=1:5,1:6
        value=a
      ntType line=1 col=11 end_line=1 end_col=18 name=Integer source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18
    ntVariable line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
      ntName line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
        value=b
      ntType line=1 col=11 end_line=1 end_col=18 name=Integer source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18""",
    ),
    (
        "const A = 1; B: Integer = 2;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6
  ntConstants line=1 col=1 end_line=1 end_col=6 kind=const source_positions=1:1,1:2,1:3,1:4,1:5,1:6
    ntConstant line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8
      ntName line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8
        value=A
      ntValue line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8
        ntLiteral line=1 col=11 end_line=1 end_col=12 type=numeric source_positions=1:11,1:12
          value=1
    ntConstant line=1 col=14 end_line=1 end_col=15 source_positions=1:14,1:15
      ntName line=1 col=14 end_line=1 end_col=15 source_positions=1:14,1:15
        value=B
      ntType line=1 col=17 end_line=1 end_col=24 name=Integer source_positions=1:17,1:18,1:19,1:20,1:21,1:22,1:23,1:24
      ntValue line=1 col=14 end_line=1 end_col=15 source_positions=1:14,1:15
        ntLiteral line=1 col=27 end_line=1 end_col=28 type=numeric source_positions=1:27,1:28
          value=2""",
    ),
    (
        "type TB = TA deprecated 'old';",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=8 deprecated=old name=TB source_positions=1:6,1:7,1:8
      ntType line=1 col=11 end_line=1 end_col=13 name=TA source_positions=1:11,1:12,1:13""",
    ),
    (
        "type TP = procedure; stdcall;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=8 callingconvention=stdcall name=TP source_positions=1:6,1:7,1:8
      ntType line=1 col=11 end_line=1 end_col=20 type=procedure source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18,1:19,1:20""",
    ),
    (
        # ">=" closes the parameter list and stands for the "=".
        "type TFoo<T>= class end;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=10 name=TFoo source_positions=1:6,1:7,1:8,1:9,1:10
      ntTypeParams line=1 col=10 end_line=1 end_col=11 source_positions=1:10,1:11
        ntTypeParam line=1 col=11 end_line=1 end_col=12 source_positions=1:11,1:12
          ntName line=1 col=11 end_line=1 end_col=12 source_positions=1:11,1:12
            value=T
      ntType line=1 col=15 end_line=1 end_col=20 type=class source_positions=1:15,1:16,1:17,1:18,1:19,1:20""",
    ),
    (
        # No type: everything through the ";" is dropped.
        "threadvar\n  x absolute y;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntVariables line=1 col=1 end_line=1 end_col=10 kind=threadvar source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntVariable line=2 col=3 end_line=2 end_col=4 source_positions=2:3,2:4
      ntName line=2 col=3 end_line=2 end_col=4 source_positions=2:3,2:4
        value=x
    ntVariable line=2 col=5 end_line=2 end_col=13 source_positions=2:5,2:6,2:7,2:8,2:9,2:10,2:11,2:12,2:13
      ntName line=2 col=5 end_line=2 end_col=13 source_positions=2:5,2:6,2:7,2:8,2:9,2:10,2:11,2:12,2:13
        value=absolute
    ntVariable line=2 col=14 end_line=2 end_col=15 source_positions=2:14,2:15
      ntName line=2 col=14 end_line=2 end_col=15 source_positions=2:14,2:15
        value=y""",
    ),
]


@pytest.mark.parametrize("src,expected", EXACT)
def test_whole_output(src, expected):
    assert serialized(src) == expected


# ---- Constant sections ------------------------------------------------------


def test_const_items_and_children():
    constants = parse("const A = 1; B: Integer = 2;").child("Constants")
    assert constants.attrs == {"kind": "const"}
    assert constants.kinds() == ["Constant", "Constant"]
    first, second = constants.children
    assert first.kinds() == ["Name", "Value"]
    assert second.kinds() == ["Name", "Type", "Value"]
    assert second.child("Type").attrs == {"name": "Integer"}
    # The value starts at the constant's name, not at "=" or the value.
    assert second.child("Value").span() == second.span() == (1, 14, 1, 15)


@pytest.mark.parametrize("word", ["resourcestring", "ResourceString", "RESOURCESTRING"])
def test_resourcestring_kind_is_lowercase(word):
    root = parse(f"{word} S = 'x';")
    constants = root.child("Constants")
    assert constants.attrs == {"kind": "resourcestring"}
    value = constants.child("Constant").child("Value").children[0]
    assert (value.kind, value.value) == ("Literal", "x")


def test_constant_without_value_or_type():
    constant = parse("const A;").child("Constants").child("Constant")
    assert constant.kinds() == ["Name"]


def test_constant_value_kept_whole_with_brackets():
    # The ";" inside the brackets does not end the value.
    root = parse("const P: TPoint = (X: 1; Y: 2); Q = 3;")
    constants = root.child("Constants")
    assert names_of(constants.children) == ["P", "Q"]
    assert constants.children[0].kinds() == ["Name", "Type", "Value"]


def test_constant_value_expression_is_unwrapped():
    value = parse("const A = B + C;").child("Constants").child("Constant").child("Value")
    assert [c.kind for c in value.children] == ["Expression"]
    assert [c.attrs["name"] for c in value.children[0].children] == ["B", "C"]
    single = parse("const A = Ord('x');").find_all("Value")[0]
    assert single.kinds() == ["Call"]


def test_constant_name_is_token_text_without_ampersand():
    constant = parse("const &Do = 1;").child("Constants").child("Constant")
    assert constant.child("Name").value == "Do"


def test_items_that_do_not_start_with_a_name_are_skipped():
    constants = parse("const 1 A = 2; 'x' B = 3;").child("Constants")
    assert names_of(constants.children) == ["A", "B"]


# ---- Variable sections ------------------------------------------------------


def test_every_variable_gets_its_own_copy_of_the_type():
    variables = parse("var a, b, c: array of Integer;").child("Variables")
    assert names_of(variables.children) == ["a", "b", "c"]
    shapes = [v.child("Type").shape() for v in variables.children]
    assert shapes == [("Type", [("Type", [])])] * 3
    assert all(v.child("Type").attrs == {"type": "array"} for v in variables.children)


@pytest.mark.parametrize(
    "src",
    ["var x: Integer = 5;", "var x: Integer = (1 + 2) * 3;", "var x: TArr = [1, 2];"],
)
def test_initial_value_leaves_no_node(src):
    variable = parse(src).child("Variables").child("Variable")
    assert variable.kinds() == ["Name", "Type"]
    assert parse(src).kinds() == ["Variables"]


def test_variable_without_type_keeps_only_its_name():
    root = parse("var x; y: Integer;")
    variables = root.child("Variables")
    assert names_of(variables.children) == ["x", "y"]
    assert variables.children[0].kinds() == ["Name"]
    assert variables.children[1].kinds() == ["Name", "Type"]


def test_threadvar_section():
    variables = parse("threadvar T: Integer;").child("Variables")
    assert variables.attrs == {"kind": "threadvar"}
    assert names_of(variables.children) == ["T"]


def test_variable_names_span_their_own_tokens():
    variables = parse("var\n  Alpha,\n  Beta: Byte;").child("Variables")
    assert [v.span() for v in variables.children] == [(2, 3, 2, 8), (3, 3, 3, 7)]
    # Both copies span the one type token.
    assert [v.child("Type").span() for v in variables.children] == [(3, 9, 3, 13)] * 2


def test_variable_name_is_token_text_without_ampersand():
    variable = parse("var &then: Integer;").child("Variables").child("Variable")
    assert variable.child("Name").value == "then"


# ---- Where a const or var section ends ------------------------------------------


@pytest.mark.parametrize(
    "rest,next_kind",
    [
        ("var Y: Integer;", "Variables"),
        ("threadvar Y: Integer;", "Variables"),
        ("const Y = 2;", "Constants"),
        ("resourcestring Y = 'y';", "Constants"),
        ("type Y = Integer;", "TypeSection"),
        ("procedure Y;", "Method"),
        ("function Y: Integer;", "Method"),
        ("class procedure Y;", "Method"),
        ("uses Y;", "Uses"),
        ("begin end.", "Statements"),
        ("exports Y;", "Exports"),
    ],
)
def test_const_section_ends_at_a_keyword(rest, next_kind):
    root = parse(f"const X = 1; {rest}")
    assert root.kinds() == ["Constants", next_kind]
    assert names_of(root.child("Constants").children) == ["X"]


@pytest.mark.parametrize("word", ["implementation", "initialization", "finalization"])
def test_var_section_ends_at_a_section_word(word):
    root = parse(f"var X: Integer; {word}")
    assert root.kinds() == ["Variables", word.capitalize()]
    assert names_of(root.child("Variables").children) == ["X"]


def test_class_not_followed_by_a_routine_word_is_an_item_name():
    constants = parse("const class = 1; Z = 2;").child("Constants")
    assert names_of(constants.children) == ["class", "Z"]


def test_a_stray_semicolon_ends_the_section():
    root = parse("const ; A = 1;")
    assert root.kinds() == ["Constants"]
    assert root.child("Constants").children == []


def test_end_ends_the_section_in_any_case():
    root = parse("var X: Integer; END. var Y: Integer;")
    assert root.kinds() == ["Variables", "Variables"]


def test_an_escaped_section_word_still_ends_the_section():
    # "&type" is read as a keyword token with the text "type".
    root = parse("var a: Integer; &type TB = Byte;")
    assert root.kinds() == ["Variables", "TypeSection"]
    assert names_of(root.child("Variables").children) == ["a"]


# ---- Type sections ------------------------------------------------------------


def test_type_section_items():
    section = parse("type TA = Integer; TB = TA deprecated 'old';").child("TypeSection")
    assert [d.attrs["name"] for d in section.children] == ["TA", "TB"]
    assert section.children[1].attrs == {"name": "TB", "deprecated": "old"}
    assert section.children[1].child("Type").attrs == {"name": "TA"}


@pytest.mark.parametrize(
    "src,attrs",
    [
        ("type TX = Integer platform;", {"kind": "platform"}),
        ("type TX = Integer Library;", {"kind": "library"}),
        ("type TX = Integer experimental;", {"kind": "experimental"}),
        ("type TX = Integer deprecated;", {"deprecated": "true"}),
        ("type TX = Integer DEPRECATED 'It''s old';", {"deprecated": "It's old"}),
        (
            "type TX = Integer experimental deprecated 'x' platform;",
            {"kind": "platform", "deprecated": "x"},
        ),
        ("type TX = ^TY platform;", {"kind": "platform"}),
        ("type TX = set of TY deprecated;", {"deprecated": "true"}),
        ("type TX = class of TY experimental;", {"kind": "experimental"}),
        ("type TX = string[10] platform;", {"kind": "platform"}),
    ],
)
def test_hints_after_a_declared_type(src, attrs):
    decl = parse(src).child("TypeSection").child("TypeDecl")
    assert decl.attrs == {"name": "TX", **attrs}


def test_hint_does_not_become_part_of_the_type_name():
    decl = parse("type TX = System.Integer platform;").child("TypeSection").child("TypeDecl")
    assert decl.child("Type").attrs == {"name": "System.Integer"}
    assert decl.child("Type").span() == (1, 11, 1, 25)


@pytest.mark.parametrize(
    "directives,attrs",
    [
        ("stdcall;", {"callingconvention": "stdcall"}),
        ("CDecl;", {"callingconvention": "cdecl"}),
        ("cblock;", {"callingconvention": "cblock"}),
        ("extdecl;", {"callingconvention": "extdecl"}),
        ("safecall; varargs;", {"callingconvention": "safecall", "varargs": "true"}),
        ("far; near;", {"far": "true", "near": "true"}),
        ("pascal register", {"callingconvention": "register"}),
        ("vectorcall; msfastcall; softfloat;", {"callingconvention": "softfloat"}),
        ("winapi; syscall;", {"callingconvention": "syscall"}),
    ],
)
def test_directives_after_a_procedural_type(directives, attrs):
    root = parse(f"type TP = function(X: Integer): Integer; {directives} TQ = Byte;")
    decls = root.child("TypeSection").children
    assert decls[0].attrs == {"name": "TP", **attrs}
    assert decls[0].child("Type").attrs == {"type": "function"}
    assert [d.attrs["name"] for d in decls] == ["TP", "TQ"]


def test_align_is_recorded_and_its_number_consumed():
    section = parse("type TR = record end align 8; TS = Byte;").child("TypeSection")
    assert [d.attrs for d in section.children] == [
        {"name": "TR", "align": "align"},
        {"name": "TS"},
    ]
    assert section.children[0].child("Type").attrs == {"type": "record"}


def test_generic_declaration():
    decl = parse("type generic TG<T> = class end;").child("TypeSection").child("TypeDecl")
    assert decl.attrs == {"name": "TG", "kind": "generic"}
    assert decl.kinds() == ["TypeParams", "Type"]
    # The declaration starts at its name, after "generic".
    assert decl.span() == (1, 14, 1, 16)


def test_a_later_hint_replaces_generic():
    decl = parse("type generic TG<T> = class end platform;").find_all("TypeDecl")[0]
    assert decl.attrs == {"name": "TG", "kind": "platform"}


def test_generic_parameters_with_constraints():
    decl = parse("type TList<T: class; K, V> = class end;").find_all("TypeDecl")[0]
    assert decl.kinds() == ["TypeParams", "Type"]
    params = decl.child("TypeParams").children
    assert [p.child("Name").value for p in params] == ["T", "K", "V"]


@pytest.mark.parametrize(
    "src",
    ["type TFoo<T>= class end;", "type TFoo<T>=class end;", "type TFoo<T> = class end;"],
)
def test_greater_equal_after_parameters_stands_for_equal(src):
    root = parse(src + " TBar = Byte;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["TFoo", "TBar"]
    assert decls[0].kinds() == ["TypeParams", "Type"]
    assert decls[0].child("Type").attrs == {"type": "class"}
    assert [p.child("Name").value for p in decls[0].child("TypeParams").children] == ["T"]


def test_dotted_type_name():
    decl = parse("type A.B.C = Integer;").find_all("TypeDecl")[0]
    assert decl.attrs == {"name": "A.B.C"}
    decl = parse("type &Do.&Then = Integer;").find_all("TypeDecl")[0]
    assert decl.attrs == {"name": "&Do.&Then"}


def test_declaration_without_equal_at_unit_level():
    section = parse("type TFoo; TBar = Byte;").child("TypeSection")
    assert [d.attrs["name"] for d in section.children] == ["TFoo", "TBar"]
    assert section.children[0].children == []


def test_attributes_before_a_type_declaration():
    decl = parse("type [Serializable, Version(2)] TA = class end;").find_all("TypeDecl")[0]
    assert decl.attrs == {"name": "TA"}
    assert decl.kinds() == ["Attributes", "Type"]
    attributes = decl.child("Attributes")
    assert [a.attrs["name"] for a in attributes.children] == ["Serializable", "Version"]


def test_attributes_come_before_generic_parameters():
    decl = parse("type [Weak] TA<T> = record end;").find_all("TypeDecl")[0]
    assert decl.kinds() == ["Attributes", "TypeParams", "Type"]


@pytest.mark.parametrize(
    "rest,next_kind",
    [
        ("var X: Integer;", "Variables"),
        ("const X = 1;", "Constants"),
        ("procedure X;", "Method"),
        ("class function X: Integer;", "Method"),
        ("operator + (a, b: TA) r: TA;", "Method"),
        ("begin end.", "Statements"),
        ("type X = Byte;", "TypeSection"),
    ],
)
def test_type_section_ends_at_a_keyword(rest, next_kind):
    root = parse(f"type TA = Integer; {rest}")
    assert root.kinds() == ["TypeSection", next_kind]
    assert [d.attrs["name"] for d in root.child("TypeSection").children] == ["TA"]


def test_stray_tokens_in_a_type_section_are_skipped():
    section = parse("type ; TA = Integer;; 5 TB = Byte;").child("TypeSection")
    assert [d.attrs["name"] for d in section.children] == ["TA", "TB"]


def test_type_section_in_a_class_body_leaves_a_field_line():
    root = parse("type TC = class type TInner = Integer; FValue: Integer; end;")
    class_type = root.find_all("TypeDecl")[0].child("Type")
    assert class_type.kinds() == ["TypeSection", "Field"]
    inner = class_type.child("TypeSection")
    assert [d.attrs["name"] for d in inner.children] == ["TInner"]
    assert class_type.child("Field").child("Name").value == "FValue"


@pytest.mark.parametrize(
    "word,member_kind",
    [
        ("public", "Public"),
        ("private", "Private"),
        ("protected", "Protected"),
        ("published", "Published"),
        ("strict private", "StrictPrivate"),
    ],
)
def test_type_section_in_a_class_body_ends_at_visibility(word, member_kind):
    root = parse(f"type TC = class type TInner = Integer; {word} F: Byte; end;")
    class_type = root.find_all("TypeDecl")[0].child("Type")
    assert class_type.kinds() == ["TypeSection", member_kind]


def test_multiline_section_positions():
    src = "type\n  TA = Integer;\n  TB = (x, y);\n"
    section = parse(src).child("TypeSection")
    assert section.span() == (1, 1, 1, 5)
    assert [d.span() for d in section.children] == [(2, 3, 2, 5), (3, 3, 3, 5)]
    assert section.children[1].child("Type").attrs == {"name": "enum"}


# ---- A realistic unit ---------------------------------------------------------

UNIT_PATH = Path(__file__).parent / "data" / "declarations_unit.pas"


@pytest.fixture(scope="module")
def ledger():
    source = UNIT_PATH.read_text(encoding="utf-8")
    return source.split("\n"), parse(source, "declarations_unit.pas")


def line_of(lines, text):
    """1-based number of the only line that starts with `text`."""
    found = [i + 1 for i, line in enumerate(lines) if line.startswith(text)]
    assert len(found) == 1, text
    return found[0]


def test_unit_sections(ledger):
    _, root = ledger
    assert root.attrs == {"kind": "unit", "name": "Harbour.Ledger"}
    assert root.kinds() == ["Interface", "Implementation", "Initialization", "Finalization"]
    assert root.child("Interface").kinds() == (
        ["Uses", "Constants", "Constants", "TypeSection", "Variables", "Variables"]
        + ["Method"] * 7
    )
    assert root.child("Implementation").kinds() == (
        ["Uses", "Constants", "TypeSection", "Variables"] + ["Method"] * 21
    )


def test_unit_constants(ledger):
    _, root = ledger
    consts, strings = root.child("Interface").find_all("Constants")
    assert consts.attrs == {"kind": "const"}
    assert names_of(consts.children) == [
        "MaxBerths", "DefaultCurrency", "VatRate", "SeasonMonths", "WM_LEDGER_CHANGED",
    ]
    assert [c.kinds() for c in consts.children] == [
        ["Name", "Value"],
        ["Name", "Value"],
        ["Name", "Type", "Value"],
        ["Name", "Type", "Value"],
        ["Name", "Value"],
    ]
    assert consts.children[2].child("Type").attrs == {"name": "Double"}
    assert consts.children[3].child("Type").attrs == {"type": "array"}
    assert strings.attrs == {"kind": "resourcestring"}
    assert names_of(strings.children) == ["SUnknownAccount", "SLedgerClosed"]
    values = [c.child("Value").children[0] for c in strings.children]
    assert [(v.kind, v.value) for v in values] == [
        ("Literal", "Unknown account: %s"),
        ("Literal", "The ledger is closed"),
    ]


def test_unit_type_declarations(ledger):
    lines, root = ledger
    decls = root.child("Interface").child("TypeSection").children
    assert [d.attrs for d in decls] == [
        {"name": "TAccountId"},
        {"name": "TCents"},
        {"name": "TBerthRange"},
        {"name": "TPostingKind"},
        {"name": "TPostingKinds"},
        {"name": "PPosting"},
        {"name": "TMonthTotals"},
        {"name": "TLegacyAmount", "deprecated": "use TCents"},
        {"name": "TShortCode"},
        {"name": "TPosting"},
        {"name": "TPostingEvent"},
        {"name": "TPostingFilter"},
        {"name": "TRateCallback", "callingconvention": "stdcall"},
        {"name": "ELedgerError"},
        {"name": "ILedgerObserver"},
        {"name": "TAccount"},
        {"name": "TBerthAccount"},
        {"name": "TLedger"},
        {"name": "TPair"},
        {"name": "TRegistry"},
    ]
    # Every declaration ends with its type; generic ones carry their
    # parameters before it.
    assert all(d.children[-1].kind == "Type" for d in decls)
    assert [d.attrs["name"] for d in decls if d.kinds() != ["Type"]] == ["TPair", "TRegistry"]
    assert decls[-2].kinds() == ["TypeParams", "Type"]
    assert [d.children[-1].attrs for d in decls[:15]] == [
        {"name": "type Integer"},
        {"name": "Int64"},
        {"name": "1..MaxBerths"},
        {"name": "enum"},
        {"type": "set"},
        {"type": "pointer"},
        {"type": "array"},
        {"name": "Currency"},
        {"name": "string[8]"},
        {"type": "record"},
        {"type": "procedure", "kind": "object"},
        {"type": "reference"},
        {"type": "function"},
        {"type": "class"},
        {"type": "interface"},
    ]
    # Declarations start at their names.
    assert (decls[9].line, decls[9].col) == (line_of(lines, "  TPosting = record"), 3)


def test_unit_variables(ledger):
    _, root = ledger
    variables, threadvars = root.child("Interface").find_all("Variables")
    assert names_of(variables.children) == [
        "GlobalLedger", "PostingCount", "RefundCount", "MonthTotals",
    ]
    assert [v.child("Type").attrs for v in variables.children] == [
        {"name": "TLedger"}, {"name": "Integer"}, {"name": "Integer"}, {"name": "TMonthTotals"},
    ]
    assert threadvars.attrs == {"kind": "threadvar"}
    assert names_of(threadvars.children) == ["CurrentAccount"]
    (registered,) = root.child("Implementation").child("Variables").children
    assert registered.kinds() == ["Name", "Type"]  # the initial value leaves no node


def test_unit_interface_routines(ledger):
    _, root = ledger
    methods = [n for n in root.child("Interface").children if n.kind == "Method"]
    assert [m.attrs for m in methods] == [
        {"kind": "function", "name": "FormatCents"},
        {"kind": "function", "name": "SumOf", "overload": "true"},
        {"kind": "function", "name": "SumOf", "overload": "true", "inline": "true"},
        {"kind": "procedure", "name": "ResetTotals"},
        {"kind": "function", "name": "Clamp"},
        {"kind": "function", "name": "NativeRate", "callingconvention": "stdcall",
         "external": "true"},
        {"kind": "procedure", "name": "OldReset", "deprecated": "use ResetTotals"},
    ]
    assert [m.kinds() for m in methods] == [
        ["Parameters", "ReturnType"],
        ["Parameters", "ReturnType"],
        ["Parameters", "ReturnType"],
        ["Parameters"],
        ["TypeParams", "Parameters", "ReturnType"],
        ["Parameters", "ReturnType"],
        [],
    ]
    format_params = methods[0].child("Parameters").children
    assert [(p.child("Name").value, p.attrs) for p in format_params] == [
        ("Value", {}), ("Currency", {"kind": "const"}),
    ]
    clamp_params = methods[4].child("Parameters").children
    assert [p.child("Name").value for p in clamp_params] == ["Value", "Low", "High"]
    assert [p.child("Type").attrs for p in clamp_params] == [{"name": "T"}] * 3


def test_unit_class_methods(ledger):
    _, root = ledger
    decls = root.child("Interface").child("TypeSection").children
    ledger_type = [d for d in decls if d.attrs["name"] == "TLedger"][0].child("Type")
    public = ledger_type.child("Public")
    assert [m.attrs for m in public.children if m.kind == "Method"] == [
        {"kind": "constructor", "name": "Create"},
        {"kind": "destructor", "name": "Destroy", "methodbinding": "override"},
        {"kind": "function", "name": "Find"},
        {"kind": "procedure", "name": "Post"},
        {"kind": "function", "name": "Total"},
        {"kind": "procedure", "name": "Close"},
        {"kind": "function", "name": "Open", "class": "true", "static": "true"},
    ]
    post = public.children[3]
    assert [p.child("Name").value for p in post.child("Parameters").children] == [
        "Id", "Amount", "Kind",
    ]
    assert all(p.kinds() == ["Name", "Type"] for p in post.child("Parameters").children)


def test_unit_implementation_routines(ledger):
    lines, root = ledger
    methods = [n for n in root.child("Implementation").children if n.kind == "Method"]
    summary = [(m.attrs["name"], m.kinds()) for m in methods]
    assert summary == [
        ("FormatCents", ["Parameters", "ReturnType", "Variables", "Statements"]),
        ("SumOf", ["Parameters", "ReturnType", "Variables", "Statements"]),
        ("SumOf", ["Parameters", "ReturnType", "Statements"]),
        ("ResetTotals", ["Parameters", "Variables", "Statements"]),
        ("Clamp", ["TypeParams", "Parameters", "ReturnType", "Statements"]),
        ("NativeRate", ["Parameters", "ReturnType"]),
        ("OldReset", ["Statements"]),
        ("TTotalsHelper.Sum", ["ReturnType", "Variables", "Statements"]),
        ("TAccount.Create", ["Parameters", "Statements"]),
        ("TAccount.Apply", ["Parameters", "Statements"]),
        ("TBerthAccount.Create", ["Parameters", "Statements"]),
        ("TBerthAccount.Describe", ["ReturnType", "Statements"]),
        ("TLedger.Create", ["Statements"]),
        ("TLedger.Destroy", ["Statements"]),
        ("TLedger.Find", ["Parameters", "ReturnType", "Variables", "Statements"]),
        ("TLedger.Post", ["Parameters", "Variables", "Method", "Statements"]),
        ("TLedger.Total", ["Parameters", "ReturnType", "Variables", "Statements"]),
        ("TLedger.Close", ["Statements"]),
        ("TLedger.Open", ["ReturnType", "Statements"]),
        ("TRegistry.Get", ["Parameters", "ReturnType", "Statements"]),
        ("Checksum", ["Parameters", "ReturnType", "Statements"]),
    ]
    by_name = {m.attrs["name"]: m for m in methods}
    assert by_name["NativeRate"].attrs["external"] == "true"
    assert by_name["Checksum"].attrs == {
        "kind": "function", "name": "Checksum", "assembler": "true",
    }
    assert by_name["Checksum"].child("Statements").attrs == {"kind": "asm"}
    opener = by_name["TLedger.Open"]
    assert opener.attrs == {"kind": "function", "name": "TLedger.Open", "class": "true"}
    assert (opener.line, opener.col) == (line_of(lines, "class function TLedger.Open"), 1)
    notify = by_name["TLedger.Post"].child("Method")
    assert notify.attrs == {"kind": "procedure", "name": "Notify"}
    assert notify.kinds() == ["Parameters", "Statements"]
    assert (notify.line, notify.col) == (line_of(lines, "  procedure Notify"), 3)
    assert names_of(by_name["FormatCents"].child("Variables").children) == ["Units", "Rest"]
