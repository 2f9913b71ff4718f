"""Routine declarations: headings with class prefix, qualified names and
dropped type arguments, generic parameters, parameter lists, return types,
resolution clauses, directives, message handlers and bodies with local
sections, nested routines, labels, begin and asm blocks; nesting past the
depth limit and long inputs that must stay linear."""

import random

import pytest

from helpers import run_on_small_stack, serialized
from limits import REFUSED
from treereader import parse, read_tree


def heading(src):
    """The first routine of an interface section holding `src`."""
    return parse("interface " + src).child("Interface").children[0]


def routine(src):
    """The first node of a file holding `src` (routines there have bodies)."""
    return parse(src).children[0]


# ---- Whole outputs of small inputs ------------------------------------------

EXACT = [
    (
        "interface procedure Foo;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntMethod line=1 col=11 end_line=1 end_col=20 kind=procedure name=Foo source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18,1:19,1:20""",
    ),
    (
        "interface procedure P(a, b: Integer; const c: string = '');",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntMethod line=1 col=11 end_line=1 end_col=20 kind=procedure name=P source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18,1:19,1:20
      ntParameters line=1 col=22 end_line=1 end_col=23 source_positions=1:22,1:23
        ntParameter line=1 col=23 end_line=1 end_col=24 source_positions=1:23,1:24
          ntName line=1 col=23 end_line=1 end_col=24 source_positions=1:23,1:24
            value=a
          ntType line=1 col=29 end_line=1 end_col=36 name=Integer source_positions=1:29,1:30,1:31,1:32,1:33,1:34,1:35,1:36
        ntParameter line=1 col=26 end_line=1 end_col=27 source_positions=1:26,1:27
          ntName line=1 col=26 end_line=1 end_col=27 source_positions=1:26,1:27
            value=b
          ntType line=1 col=29 end_line=1 end_col=36 name=Integer source_positions=1:29,1:30,1:31,1:32,1:33,1:34,1:35,1:36
        ntParameter line=1 col=44 end_line=1 end_col=45 kind=const source_positions=1:44,1:45
          ntName line=1 col=44 end_line=1 end_col=45 source_positions=1:44,1:45
            value=c
          ntType line=1 col=47 end_line=1 end_col=53 name=string source_positions=1:47,1:48,1:49,1:50,1:51,1:52,1:53""",
    ),
    (
        "interface function TList<T>.Get(Index: Integer): T;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntMethod line=1 col=11 end_line=1 end_col=19 kind=function name=TList.Get source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18,1:19
      ntParameters line=1 col=32 end_line=1 end_col=33 source_positions=1:32,1:33
        ntParameter line=1 col=33 end_line=1 end_col=38 source_positions=1:33,1:34,1:35,1:36,1:37,1:38
          ntName line=1 col=33 end_line=1 end_col=38 source_positions=1:33,1:34,1:35,1:36,1:37,1:38
            value=Index
          ntType line=1 col=40 end_line=1 end_col=47 name=Integer source_positions=1:40,1:41,1:42,1:43,1:44,1:45,1:46,1:47
      ntReturnType line=1 col=50 end_line=1 end_col=51 source_positions=1:50,1:51
        ntType line=1 col=50 end_line=1 end_col=51 name=T source_positions=1:50,1:51""",
    ),
    (
        "interface class function Create: TFoo; static;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntMethod line=1 col=11 end_line=1 end_col=16 class=true kind=function name=Create static=true source_positions=1:11,1:12,1:13,1:14,1:15,1:16
      ntReturnType line=1 col=34 end_line=1 end_col=38 source_positions=1:34,1:35,1:36,1:37,1:38
        ntType line=1 col=34 end_line=1 end_col=38 name=TFoo source_positions=1:34,1:35,1:36,1:37,1:38""",
    ),
    (
        # No directive is read after a resolution clause.
        "interface procedure IFoo.Bar = Baz; stdcall;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntMethod line=1 col=11 end_line=1 end_col=20 kind=procedure name=IFoo.Bar source_positions=1:11,1:12,1:13,1:14,1:15,1:16,1:17,1:18,1:19,1:20
      ntResolutionClause line=1 col=32 end_line=1 end_col=35 name=Baz source_positions=1:32,1:33,1:34,1:35""",
    ),
    (
        "procedure P; asm nop end;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntMethod line=1 col=1 end_line=1 end_col=10 kind=procedure name=P source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntStatements line=1 col=14 end_line=1 end_col=17 kind=asm source_positions=1:14,1:15,1:16,1:17""",
    ),
    (
        "procedure WndProc(var Msg: TMessage); message WM_PAINT; begin end;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
  ntMethod line=1 col=1 end_line=1 end_col=10 kind=procedure name=WndProc source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8,1:9,1:10
    ntParameters line=1 col=18 end_line=1 end_col=19 source_positions=1:18,1:19
      ntParameter line=1 col=23 end_line=1 end_col=26 kind=var source_positions=1:23,1:24,1:25,1:26
        ntName line=1 col=23 end_line=1 end_col=26 source_positions=1:23,1:24,1:25,1:26
          value=Msg
        ntType line=1 col=28 end_line=1 end_col=36 name=TMessage source_positions=1:28,1:29,1:30,1:31,1:32,1:33,1:34,1:35,1:36
    ntMessage line=1 col=39 end_line=1 end_col=46 source_positions=1:39,1:40,1:41,1:42,1:43,1:44,1:45,1:46
      ntIdentifier line=1 col=47 end_line=1 end_col=55 name=WM_PAINT source_positions=1:47,1:48,1:49,1:50,1:51,1:52,1:53,1:54,1:55
    ntStatements line=1 col=57 end_line=1 end_col=62 source_positions=1:57,1:58,1:59,1:60,1:61,1:62""",
    ),
]


@pytest.mark.parametrize("src,expected", EXACT)
def test_whole_output(src, expected):
    assert serialized(src) == expected


# ---- Headings ---------------------------------------------------------------


def test_interface_heading_reads_no_body():
    root = parse("unit U; interface procedure Foo; var X: Integer; implementation end.")
    interface = root.child("Interface")
    assert interface.kinds() == ["Method", "Variables"]
    method = interface.child("Method")
    assert method.attrs == {"kind": "procedure", "name": "Foo"}
    assert method.children == []


@pytest.mark.parametrize(
    "word", ["procedure", "function", "constructor", "destructor", "operator", "PROCEDURE"]
)
def test_every_routine_word_gives_a_method(word):
    method = heading(f"{word} X;")
    assert (method.kind, method.attrs["kind"]) == ("Method", word.lower())


@pytest.mark.parametrize(
    "src,name",
    [
        ("procedure Foo;", "Foo"),
        ("procedure TFoo.Bar;", "TFoo.Bar"),
        ("procedure A.B.C.D;", "A.B.C.D"),
        ("function TList<T>.Get: T;", "TList.Get"),
        ("procedure TDict<K, V>.Add(Key: K);", "TDict.Add"),
        ("procedure TOuter<T>.TInner<U>.Run;", "TOuter.TInner.Run"),
        ("procedure TFoo . Bar;", "TFoo.Bar"),
        ("procedure &Begin.&End;", "&Begin.&End"),
        # The group closes at the first ">" met with the counter at 0 or 1,
        # so here the inner ">" closes it, a ">" follows it, and the name
        # ends before the "<".
        ("procedure TFoo<TBar<T>>.Baz;", "TFoo"),
    ],
)
def test_qualified_names(src, name):
    assert heading(src).attrs["name"] == name


def test_type_arguments_before_a_dot_leave_no_node():
    method = heading("function TList<T>.Get(Index: Integer): T;")
    assert method.kinds() == ["Parameters", "ReturnType"]


def test_angle_brackets_not_followed_by_a_dot_are_generic_parameters():
    method = heading("function Max<T>(const A, B: T): T;")
    assert method.attrs == {"kind": "function", "name": "Max"}
    assert method.kinds() == ["TypeParams", "Parameters", "ReturnType"]
    params = method.child("Parameters").children
    assert [(p.child("Name").value, p.attrs) for p in params] == [
        ("A", {"kind": "const"}),
        ("B", {"kind": "const"}),
    ]


def test_generic_method_of_a_generic_class():
    method = heading("function TList<T>.Map<U>(F: TFunc<T, U>): TList<U>;")
    assert method.attrs["name"] == "TList.Map"
    assert method.kinds() == ["TypeParams", "Parameters", "ReturnType"]
    assert method.child("ReturnType").child("Type").attrs == {"name": "TList<U>"}


def test_heading_without_a_name():
    method = heading("procedure (X: Integer);")
    assert method.attrs == {"kind": "procedure"}
    assert method.kinds() == ["Parameters"]


def test_class_prefix():
    method = heading("class function Create: TFoo; static;")
    assert method.attrs == {"kind": "function", "name": "Create", "class": "true", "static": "true"}
    assert (method.line, method.col) == (1, 11)  # the "class" token
    assert method.kinds() == ["ReturnType"]


def test_procedure_reads_no_return_type():
    root = parse("interface procedure P: Integer; function F: Integer;")
    methods = root.child("Interface").children
    assert methods[0].children == []
    assert [m.attrs["name"] for m in methods] == ["P", "F"]
    assert methods[1].kinds() == ["ReturnType"]


def test_operator_reads_a_return_type():
    method = heading("class operator Add(const A, B: TVec): TVec;")
    assert method.attrs == {"kind": "operator", "name": "Add", "class": "true"}
    assert method.kinds() == ["Parameters", "ReturnType"]


def test_return_type_keeps_its_whole_reference():
    method = heading("function F: System.Generics.Collections.TList<Integer>;")
    return_type = method.child("ReturnType")
    assert return_type.child("Type").attrs == {
        "name": "System.Generics.Collections.TList<Integer>"
    }
    assert (return_type.line, return_type.col) == (1, 23)


def test_resolution_clause_ends_the_routine():
    root = parse("interface procedure IFoo.Bar = Baz; stdcall; procedure Q;")
    methods = root.child("Interface").children
    assert [m.attrs for m in methods] == [
        {"kind": "procedure", "name": "IFoo.Bar"},
        {"kind": "procedure", "name": "Q"},
    ]
    assert methods[0].kinds() == ["ResolutionClause"]
    assert methods[0].child("ResolutionClause").attrs == {"name": "Baz"}


def test_resolution_clause_in_a_class():
    root = parse("type TC = class(TObject, IFoo) function IFoo.Get = GetIt; end;")
    method = root.find_all("Method")[0]
    assert method.attrs == {"kind": "function", "name": "IFoo.Get"}
    assert method.child("ResolutionClause").attrs == {"name": "GetIt"}


# ---- Directives -------------------------------------------------------------


@pytest.mark.parametrize(
    "directives,attrs",
    [
        ("virtual; abstract;", {"methodbinding": "virtual", "abstract": "true"}),
        ("override;", {"methodbinding": "override"}),
        ("Dynamic;", {"methodbinding": "dynamic"}),
        ("cdecl;", {"callingconvention": "cdecl"}),
        ("StdCall;", {"callingconvention": "stdcall"}),
        ("register; pascal;", {"callingconvention": "pascal"}),
        ("winapi;", {"callingconvention": "winapi"}),
        ("safecall;", {"callingconvention": "safecall"}),
        ("syscall;", {"callingconvention": "syscall"}),
        ("softfloat;", {"callingconvention": "softfloat"}),
        ("msfastcall;", {"callingconvention": "msfastcall"}),
        ("vectorcall;", {"callingconvention": "vectorcall"}),
        ("forward;", {"forwarded": "true"}),
        ("final;", {"final": "true"}),
        ("inline;", {"inline": "true"}),
        ("sealed;", {"sealed": "true"}),
        ("static;", {"static": "true"}),
        ("unsafe;", {"unsafe": "true"}),
        ("overload;", {"overload": "true"}),
        ("noreturn;", {"noreturn": "true"}),
        ("assembler;", {"assembler": "true"}),
        ("reintroduce; overload; virtual;",
         {"reintroduce": "true", "overload": "true", "methodbinding": "virtual"}),
        ("deprecated;", {"deprecated": "true"}),
        ("deprecated 'use Q';", {"deprecated": "use Q"}),
        ("deprecated 'it''s';", {"deprecated": "it's"}),
        ("platform;", {}),
        ("library; experimental;", {}),
        ("external;", {"external": "true"}),
        ("external 'lib.dll' name 'Q';", {"external": "true"}),
        ("external kernel32 index 5 delayed;", {"external": "true"}),
        ("overload stdcall", {"overload": "true", "callingconvention": "stdcall"}),
    ],
)
def test_directives(directives, attrs):
    root = parse(f"interface procedure P; {directives} procedure Q;")
    methods = root.child("Interface").children
    assert [m.kind for m in methods] == ["Method", "Method"]
    assert methods[0].attrs == {"kind": "procedure", "name": "P", **attrs}
    assert methods[0].children == []
    assert methods[1].attrs["name"] == "Q"


@pytest.mark.parametrize("word", ["message", "dispid", "MESSAGE"])
def test_message_directives(word):
    method = heading(f"procedure WMPaint(var Msg: TMessage); {word} WM_PAINT; override;")
    assert method.attrs == {"kind": "procedure", "name": "WMPaint", "methodbinding": "override"}
    assert method.kinds() == ["Parameters", "Message"]
    message = method.child("Message")
    assert (message.line, message.col) == (1, 49)
    assert [(c.kind, c.attrs) for c in message.children] == [("Identifier", {"name": "WM_PAINT"})]
    parameter = method.child("Parameters").child("Parameter")
    assert parameter.attrs == {"kind": "var"}


def test_message_with_an_expression_and_several_messages():
    method = heading("procedure P; dispid 200 + 1; message CM_X;")
    messages = method.children
    assert [m.kind for m in messages] == ["Message", "Message"]
    assert messages[0].kinds() == ["Expression"]
    assert [c.value for c in messages[0].children[0].children] == ["200", "1"]
    assert messages[1].children[0].attrs == {"name": "CM_X"}


def test_message_without_value_has_no_child():
    method = heading("procedure P; message; procedure Q;")
    assert method.kinds() == ["Message"]
    assert method.child("Message").children == []


# ---- Bodies -------------------------------------------------------------------


@pytest.mark.parametrize(
    "directives",
    ["virtual; abstract;", "forward;", "external 'x.dll';", "abstract;"],
)
def test_no_body_after_abstract_forward_or_external(directives):
    root = parse(f"procedure P; {directives} var X: Integer; begin end.")
    assert root.kinds() == ["Method", "Variables", "Statements"]
    assert root.children[0].children == []


def test_body_with_local_sections_and_nested_routines():
    src = """
procedure Outer(N: Integer);
const
  Limit = 10;
type
  TPair = record A, B: Integer; end;
var
  I, J: Integer;
threadvar
  T: Integer;
label
  L1, L2;
  procedure Inner;
  begin
  end;
  function Twice(X: Integer): Integer;
  begin
    Result := X * 2;
  end;
  class procedure Shared;
  begin
  end;
begin
  I := Twice(N);
end;
"""
    outer = routine(src)
    assert outer.attrs == {"kind": "procedure", "name": "Outer"}
    assert outer.kinds() == [
        "Parameters", "Constants", "TypeSection", "Variables", "Variables",
        "Method", "Method", "Method", "Statements",
    ]
    assert outer.child("Variables", 1).attrs == {"kind": "threadvar"}
    nested = outer.find_all("Method")[1:]
    assert [m.attrs for m in nested] == [
        {"kind": "procedure", "name": "Inner"},
        {"kind": "function", "name": "Twice"},
        {"kind": "procedure", "name": "Shared", "class": "true"},
    ]
    # A nested class routine starts at its routine word, not at "class".
    assert (nested[2].line, nested[2].col) == (20, 9)
    assert nested[1].kinds() == ["Parameters", "ReturnType", "Statements"]
    assert outer.child("Statements").kinds() == ["Assign"]


def test_label_section_leaves_no_node():
    method = routine("procedure P; label L1; begin goto L1; L1: end;")
    assert method.kinds() == ["Statements"]


def test_asm_block_consumes_its_semicolon():
    root = parse("procedure P; asm mov eax, 1; nop end; procedure Q; begin end;")
    assert root.kinds() == ["Method", "Method"]
    block = root.children[0].child("Statements")
    assert block.attrs == {"kind": "asm"}
    assert block.children == []


def test_assembler_routine_with_asm_block():
    method = routine("function F: Integer; assembler; asm mov eax, 1 end;")
    assert method.attrs == {"kind": "function", "name": "F", "assembler": "true"}
    assert method.kinds() == ["ReturnType", "Statements"]


def test_stray_semicolons_in_a_body_are_consumed():
    method = routine("procedure P; ; ; var X: Integer; ; begin end;")
    assert method.kinds() == ["Variables", "Statements"]


@pytest.mark.parametrize(
    "rest,kinds",
    [
        ("resourcestring S = 'x';", ["Method", "Constants"]),
        ("class var X: Integer;", ["Method", "Variables"]),
        ("uses X;", ["Method", "Uses"]),
    ],
)
def test_unknown_word_ends_the_body(rest, kinds):
    root = parse(f"procedure P; {rest}")
    assert root.kinds() == kinds
    assert root.children[0].children == []


def test_end_belongs_to_the_enclosing_construct():
    root = parse("unit U; implementation procedure P; end.")
    assert root.child("Implementation").kinds() == ["Method"]
    assert root.child("Implementation").child("Method").children == []


def test_local_type_section_stops_at_a_line_without_equal():
    # Inside a routine the type section reads like one in a class body: a
    # line without "=" ends it, unconsumed, and ends the body as well.
    root = parse("procedure P; type TA = Integer; X: Integer; begin end;")
    method = root.children[0]
    assert method.kinds() == ["TypeSection"]
    assert [d.attrs["name"] for d in method.child("TypeSection").children] == ["TA"]
    assert root.kinds() == ["Method", "Statements"]


def test_methods_of_classes_and_their_implementations():
    src = """
unit Shapes;
interface
type
  TShape = class
  public
    constructor Create(const AName: string);
    destructor Destroy; override;
    function Area: Double; virtual; abstract;
    class function Count: Integer; static;
  end;
implementation
constructor TShape.Create(const AName: string);
begin
  inherited Create;
end;
destructor TShape.Destroy;
begin
  inherited;
end;
class function TShape.Count: Integer;
begin
  Result := 0;
end;
end.
"""
    root = parse(src)
    members = root.find_all("Public")[0].children
    assert [m.attrs for m in members] == [
        {"kind": "constructor", "name": "Create"},
        {"kind": "destructor", "name": "Destroy", "methodbinding": "override"},
        {"kind": "function", "name": "Area", "methodbinding": "virtual", "abstract": "true"},
        {"kind": "function", "name": "Count", "class": "true", "static": "true"},
    ]
    bodies = root.child("Implementation").children
    assert [m.attrs for m in bodies] == [
        {"kind": "constructor", "name": "TShape.Create"},
        {"kind": "destructor", "name": "TShape.Destroy"},
        {"kind": "function", "name": "TShape.Count", "class": "true"},
    ]
    assert [m.kinds()[-1] for m in bodies] == ["Statements"] * 3


# ---- Parameters ---------------------------------------------------------------


def params_of(src):
    return heading(src).child("Parameters").children


def test_parameter_groups_and_modifiers():
    params = params_of("procedure P(a, b: Integer; const c: string = '');")
    assert [p.child("Name").value for p in params] == ["a", "b", "c"]
    assert [p.attrs for p in params] == [{}, {}, {"kind": "const"}]
    assert [p.kinds() for p in params] == [["Name", "Type"]] * 3


@pytest.mark.parametrize("word", ["var", "out", "const", "constref", "VAR", "Out"])
def test_modifier_applies_to_the_whole_group(word):
    params = params_of(f"procedure P({word} a, b: Integer; c: Byte);")
    assert [p.attrs for p in params] == [{"kind": word.lower()}] * 2 + [{}]


def test_untyped_parameters():
    params = params_of("procedure P(var Buffer; const Data; Count: Integer);")
    assert [(p.child("Name").value, p.attrs, p.kinds()) for p in params] == [
        ("Buffer", {"kind": "var"}, ["Name"]),
        ("Data", {"kind": "const"}, ["Name"]),
        ("Count", {}, ["Name", "Type"]),
    ]


def test_pending_names_get_copies_of_the_next_type():
    params = params_of("procedure P(a, b, c: array of const);")
    shapes = [p.child("Type").shape() for p in params]
    assert shapes == [("Type", [("Type", [])])] * 3
    assert [p.child("Type").child("Type").attrs for p in params] == [{"name": "const"}] * 3


def test_default_values_leave_no_node():
    params = params_of("procedure P(a: Integer = 1; b: string = 'x, y'; c: TArr = [1, 2]);")
    assert [p.child("Name").value for p in params] == ["a", "b", "c"]
    assert [p.kinds() for p in params] == [["Name", "Type"]] * 3


def test_parameter_types_of_every_form():
    params = params_of(
        "procedure P(A: array of Integer; B: TList<string>; C: procedure(X: Integer);"
        " D: string);"
    )
    types = [p.child("Type").attrs for p in params]
    assert types == [
        {"type": "array"},
        {"name": "TList<string>"},
        {"type": "procedure"},
        {"name": "string"},
    ]


def test_parameters_start_at_the_bracket():
    parameters = heading("procedure P(\n  X: Integer);").child("Parameters")
    assert parameters.span() == (1, 22, 1, 23)
    assert parameters.child("Parameter").span() == (2, 3, 2, 4)


def test_empty_and_unclosed_parameter_lists():
    assert heading("procedure P();").child("Parameters").children == []
    method = heading("procedure P(a: Integer")
    assert [p.child("Name").value for p in method.child("Parameters").children] == ["a"]


def test_stray_tokens_in_parameters_are_skipped():
    params = params_of("procedure P(1, a: Integer; 'x'; b: Byte);")
    assert [p.child("Name").value for p in params] == ["a", "b"]


# ---- Depth and size -----------------------------------------------------------


def test_nested_routines_are_read_whole_or_refused():
    # Every heading reads the next one as its nested routine: 3,000 headings
    # nest 3,000 deep, and a million, whose text could not fit the output
    # limit, are refused.
    n = 3000
    out = run_on_small_stack(lambda: serialized("procedure A;\n" * n + "begin end;\n" * n))
    assert out.count("ntMethod ") == n
    assert out.count("ntStatements ") == n
    assert f"\n{'  ' * n}ntMethod " in out
    assert out.count("\n  ntMethod ") == 1
    with pytest.raises(MemoryError, match=REFUSED):
        run_on_small_stack(lambda: serialized("procedure A;\n" * 1_000_000))


def test_deep_nesting_does_not_lose_the_rest_of_the_file():
    depth = 5000
    src = "unit U; implementation\n" + "procedure A;\n" * depth + "begin end;\n" * depth
    src += "procedure Last; begin end;\nend."
    root = run_on_small_stack(lambda: parse(src))
    methods = root.child("Implementation").children
    assert methods[-1].attrs == {"kind": "procedure", "name": "Last"}
    assert len(root.find_all("Method")) == depth + 1


def test_unclosed_angle_brackets_in_many_headings():
    n = 100_000
    out = serialized("unit U; interface\n" + "procedure A<;\n" * n)
    assert out.count("\n    ntMethod ") == n
    assert out.count(" kind=procedure name=A source_positions=") == n


def test_a_late_closing_bracket_reaches_back_over_many_headings():
    # Each "<" looks ahead for its ">". Only the last two headings find the
    # final one with a counter at most 1; for the second to last it is
    # followed by ".", so its name takes "B" and the last heading is
    # swallowed with it.
    n = 100_000
    out = serialized("unit U; interface\n" + "procedure A<;\n" * n + "> . B;")
    assert out.count("\n    ntMethod ") == n - 1
    assert out.count(" kind=procedure name=A source_positions=") == n - 2
    last = out[out.rindex("ntMethod "):].split("\n")[0]
    assert f"ntMethod line={n} col=1 " in last  # the heading before the last
    assert " kind=procedure name=A.B source_positions=" in last


def literal_heading_name(tokens):
    """The qualified name of a heading, read token by token as the rule states."""
    parts, i, n = [], 0, len(tokens)
    while True:
        while i < n and tokens[i] not in ("<", ">", ".", ";", ","):
            parts.append(tokens[i])
            i += 1
        if i < n and tokens[i] == "<":
            counter, close = 0, None
            for j in range(i + 1, n):
                if tokens[j] == "<":
                    counter += 1
                elif tokens[j] == ">":
                    if counter <= 1:
                        close = j
                        break
                    counter -= 1
            if close is not None and close + 1 < n and tokens[close + 1] == ".":
                i = close + 1
        if i < n and tokens[i] == ".":
            i += 1
            continue
        return ".".join(parts)


def test_qualified_name_lookahead_matches_the_token_rule():
    rng = random.Random(20240611)
    alphabet = ["A", "B", "<", "<", ">", ">", ".", ".", ";", ","]
    for _ in range(400):
        tokens = [rng.choice(alphabet) for _ in range(rng.randint(1, 40))]
        method = heading("procedure " + " ".join(tokens))
        assert method.attrs.get("name", "") == literal_heading_name(tokens), tokens
