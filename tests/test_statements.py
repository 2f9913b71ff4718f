"""Statements: blocks, empty statements, labels, if/while/for/with and their
header scan, repeat, try with except/finally and `on` handlers, case with
labels and else/otherwise, asm blocks, assignments and simple statements,
and where expression results are unwrapped.

Shapes use the compact form of `helpers.brief`."""

import os

import pytest

import tarnwick
from helpers import brief
from treereader import parse

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def block(src):
    """The statements of `begin <src> end.`, in compact form."""
    return [brief(c) for c in parse("begin " + src + " end.").child("Statements").children]


# ---- Blocks, empty statements, labels ------------------------------------------


@pytest.mark.parametrize(
    "src, expected",
    [
        ("", []),
        (";", ["EmptyStatement"]),
        ("a;;b", ["a", "EmptyStatement", "b"]),
        ("a; begin b; c end; d", ["a", "Statements(b,c)", "d"]),
        ("begin end", ["Statements"]),
        ("begin begin end end", ["Statements(Statements)"]),
        # stop words of a simple statement that no rule takes are passed over
        ("a else b", ["a", "b"]),
        ("a until b finally c except d", ["a", "b", "c", "d"]),
    ],
)
def test_blocks(src, expected):
    assert block(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("L1: x := 1;", ["Label[L1](Assign(LHS(Expression(x)),RHS(Expression(num:1))))"]),
        ("MyLabel: ;", ["Label[MyLabel](EmptyStatement)"]),
        ("L1: L2: x", ["Label[L1](Label[L2](x))"]),
        ("L1: if a then b", ["Label[L1](If(a,b))"]),
        ("L1:", ["Label[L1]"]),
        # a keyword or a number before ":" is no label
        ("string: x := 1", ["Assign(LHS(Expression(string,x)),RHS(Expression(num:1)))"]),
        ("10: x", ["Expression(num:10,x)"]),
        # ":=" is not ":"
        ("L1 := 2", ["Assign(LHS(Expression(L1)),RHS(Expression(num:2)))"]),
    ],
)
def test_labels(src, expected):
    assert block(src) == expected


def test_label_name_is_spelled_as_written():
    label = parse("begin ReTry: x end.").child("Statements").child("Label")
    assert label.attrs == {"name": "ReTry"}
    assert label.span() == (1, 7, 1, 12)


# ---- if, while, for, with -------------------------------------------------------


@pytest.mark.parametrize(
    "src, expected",
    [
        ("if a then b else c;", ["If(a,b,Else(c))"]),
        ("if a then else c;", ["If(a,Else(c))"]),
        ("if a then b", ["If(a,b)"]),
        ("if a then x else;", ["If(a,x,Else(EmptyStatement))"]),
        ("if a then x else", ["If(a,x,Else)"]),
        ("if a then if b then c else d", ["If(a,If(b,c,Else(d)))"]),
        ("if a then begin x; y end else begin z end",
         ["If(a,Statements(x,y),Else(Statements(z)))"]),
        ("if (a;b) then x", ["If(Expression(a,b),x)"]),
        ("if a < b then x", ["If(Expression(a,b),x)"]),
        ("if f(a, [b; c]) then x",
         ["If(Call(f,Arguments(PositionalArgument(a),PositionalArgument(Expression(b,c)))),x)"]),
        ("if then x", ["If(x)"]),
        ("if a b", ["If(Expression(a,b))"]),
        # the then-statement is the empty statement the ";" makes
        ("if a; b", ["If(a,EmptyStatement)", "b"]),
        ("IF a THEN b ELSE c", ["If(a,b,Else(c))"]),
        # a header made only of "END" in capitals: an Expression without children
        ("if END then x", ["If(Expression,x)"]),
    ],
)
def test_if(src, expected):
    assert block(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("while not Done do Step;", ["While(Expression(not,Done),Step)"]),
        ("while a do ;", ["While(a,EmptyStatement)"]),
        ("while a do", ["While(a)"]),
        ("while a do begin b; c end", ["While(a,Statements(b,c))"]),
        ("while a do while b do c", ["While(a,While(b,c))"]),
        ("while a < b do x", ["While(Expression(a,b),x)"]),
        ("for i := 1 to 10 do x;", ["For(Expression(i,num:1,to,num:10),x)"]),
        ("for i := High(a) downto 0 do x",
         ["For(Expression(i,Call(High,Arguments(PositionalArgument(a))),downto,num:0),x)"]),
        ("for s in List do x", ["For(Expression(s,in,List),x)"]),
        ("with a, b do x", ["With(Expression(a,b),x)"]),
        ("with a do", ["With(a)"]),
        ("with Form.Canvas do TextOut(0, 0, s)",
         ["With(Dot(Form,Canvas),Call(TextOut,Arguments(PositionalArgument(num:0),"
          "PositionalArgument(num:0),PositionalArgument(s))))"]),
        # a statement word inside a simple statement does not end it
        ("DoThis(a) while", ["Expression(Call(DoThis,Arguments(PositionalArgument(a))),while)"]),
    ],
)
def test_while_for_with(src, expected):
    assert block(src) == expected


def test_header_end_in_capitals_is_no_boundary():
    # The header scan stops only at "end" written in lower case; the block
    # itself ends at "End" in any case.
    root = parse("begin while a END do x End.")
    assert root.kinds() == ["Statements"]
    assert [brief(c) for c in root.child("Statements").children] == ["While(a,x)"]
    # with "end" the header stops, the body is missing and the block ends there
    root = parse("begin while a end do x end.")
    assert [brief(c) for c in root.child("Statements").children] == ["While(a)"]


# ---- repeat ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "src, expected",
    [
        ("repeat a; b until c;", ["Repeat(a,b,c)"]),
        ("repeat until a", ["Repeat(a)"]),
        ("repeat a until", ["Repeat(a)"]),
        ("repeat a; until x > y", ["Repeat(a,Expression(x,y))"]),
        ("repeat repeat a until b; until c", ["Repeat(Repeat(a,b),c)"]),
        # a condition runs to ";" or "end", over a second "until"; the outer
        # statement list then stops only at "until" and passes over the "end"
        ("repeat repeat a until b until c", ["Repeat(Repeat(a,Expression(b,until,c)),Expression)"]),
        ("repeat a until f(b); c", ["Repeat(a,Call(f,Arguments(PositionalArgument(b))))", "c"]),
    ],
)
def test_repeat(src, expected):
    assert block(src) == expected


# ---- try ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "src, expected",
    [
        ("try a; except on E: Exception do b; else c; end",
         ["Try(a,Except(ExceptionHandler(b),c))"]),
        ("try a finally b end", ["Try(a,Finally(b))"]),
        ("try a; b except end", ["Try(a,b,Except)"]),
        ("try a end", ["Try(a)"]),
        ("try end", ["Try"]),
        ("try except on Exception do ; end", ["Try(Except(ExceptionHandler(EmptyStatement)))"]),
        ("try x except on E: EFoo do begin y end; on EBar do z; end",
         ["Try(x,Except(ExceptionHandler(Statements(y)),ExceptionHandler(z)))"]),
        ("try x except y; z end", ["Try(x,Except(y,z))"]),
        ("try x except on E do end", ["Try(x,Except(ExceptionHandler))"]),
        ("try try a finally b end except c end", ["Try(Try(a,Finally(b)),Except(c))"]),
        ("try a finally b; c; end; d", ["Try(a,Finally(b,c))", "d"]),
        ("try a except else b end", ["Try(a,Except(b))"]),
    ],
)
def test_try(src, expected):
    assert block(src) == expected


# ---- case --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "src, expected",
    [
        ("case x of 1, 2: a; 3..4: b; else c; end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(num:1),CaseLabel(num:2),a),"
          "CaseLabels(CaseLabel(Expression(num:3,num:4)),b),CaseElse(c))"]),
        ("case x of 1: a; otherwise b; c end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(num:1),a),CaseElse(b,c))"]),
        ("case x of 1,,2: a end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(num:1),CaseLabel(num:2),a))"]),
        # an arm with an empty label text builds nothing
        ("case x of : a; 1: b end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(Expression(a,num:1)),b))"]),
        ("case x of 'a'..'z', f(1, 2): a; end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(Expression(str:a,str:z)),"
          "CaseLabel(Call(f,Arguments(PositionalArgument(num:1),PositionalArgument(num:2)))),a))"]),
        ("case x of 1: begin a end; 2: ; end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(num:1),Statements(a)),"
          "CaseLabels(CaseLabel(num:2),EmptyStatement))"]),
        ("case a.b of 1: x end", ["Case(CaseSelector(Dot(a,b)),CaseLabels(CaseLabel(num:1),x))"]),
        ("case of 1: a end", ["Case(CaseSelector,CaseLabels(CaseLabel(num:1),a))"]),
        ("case x of end", ["Case(CaseSelector(x))"]),
        ("case x of 1: a; else end", ["Case(CaseSelector(x),CaseLabels(CaseLabel(num:1),a),CaseElse)"]),
        ("case x of [1, 2]: a end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(Set(num:1,num:2)),a))"]),
        ("case x of 1: case y of 2: a end; 3: b end",
         ["Case(CaseSelector(x),CaseLabels(CaseLabel(num:1),"
          "Case(CaseSelector(y),CaseLabels(CaseLabel(num:2),a))),CaseLabels(CaseLabel(num:3),b))"]),
    ],
)
def test_case(src, expected):
    assert block(src) == expected


def test_case_arm_without_colon_is_dropped():
    # the scan for ":" runs to the end of the list; nothing is built
    root = parse("begin case x of a end; b end.")
    case = root.child("Statements").child("Case")
    assert brief(case) == "Case(CaseSelector(x))"


def test_case_anchors():
    root = parse("begin\n  case x of\n    1,\n    2: a;\n  else b\n  end\nend.")
    case = root.child("Statements").child("Case")
    assert case.span() == (2, 3, 2, 7)
    assert case.child("CaseSelector").span() == (2, 3, 2, 7)
    arm = case.child("CaseLabels")
    assert arm.span() == (3, 5, 3, 6)
    assert [label.span() for label in arm.find_all("CaseLabel")] == [(3, 5, 3, 6), (4, 5, 4, 6)]
    assert case.child("CaseElse").span() == (5, 3, 5, 7)


# ---- asm, assignments, simple statements -----------------------------------------


@pytest.mark.parametrize(
    "src, expected",
    [
        ("asm mov eax, 1 end;", ["Statements[asm]"]),
        ("asm mov eax, 1 end; x", ["Statements[asm]", "x"]),
        # an "end" right after the block's own is taken too: here the
        # enclosing block's, so what follows runs to the end of the text
        ("asm mov eax, 1 end", ["Statements[asm]", "Expression"]),
        ("asm end", ["Statements[asm]", "Expression"]),
    ],
)
def test_asm(src, expected):
    assert block(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("x := y", ["Assign(LHS(Expression(x)),RHS(Expression(y)))"]),
        ("a[i] := f(x)",
         ["Assign(LHS(Expression(Indexed(a,Expressions(i)))),"
          "RHS(Expression(Call(f,Arguments(PositionalArgument(x))))))"]),
        ("x := (y)", ["Assign(LHS(Expression(x)),RHS(Expression(y)))"]),
        ("x := [a]", ["Assign(LHS(Expression(x)),RHS(Set(a)))"]),
        ("x := ;", ["Assign(LHS(Expression(x)),RHS)"]),
        (":= y", ["Assign(LHS,RHS(Expression(y)))"]),
        ("x := y := z", ["Assign(LHS(Expression(x)),RHS(Expression(y,z)))"]),
        # ":=" inside brackets splits too; the "(" loses its partner
        ("f(a := b)", ["Assign(LHS(Expression(Call(f),a)),RHS(Expression(b)))"]),
        # a "<" hides the ";" that follows until a ">" closes it
        ("x := a < b; y := 1;", ["Assign(LHS(Expression(x)),RHS(Expression(a,b,y,num:1)))"]),
        ("x := a < b; y := c > d; z", ["Assign(LHS(Expression(x)),RHS(Expression(a,b,y,c,d)))", "z"]),
        ("L := TList<Integer>.Create; x",
         ["Assign(LHS(Expression(L)),RHS(Expression(TList,Integer,Create)))", "x"]),
        ("Foo(1)", ["Call(Foo,Arguments(PositionalArgument(num:1)))"]),
        ("Foo", ["Foo"]),
        ("a.b.c", ["Dot(Dot(a,b),c)"]),
        ("raise Exception.Create('x')",
         ["Expression(raise,Call(Dot(Exception,Create),Arguments(PositionalArgument(str:x))))"]),
        ("raise", ["raise"]),
        ("goto L1", ["Expression(goto,L1)"]),
        ("inherited", ["inherited"]),
        ("inherited Create(a)", ["Expression(inherited,Call(Create,Arguments(PositionalArgument(a))))"]),
    ],
)
def test_assignments_and_simple_statements(src, expected):
    assert block(src) == expected


def test_assignment_anchors():
    assign = parse("begin\n  Total := Count + 1\nend.").child("Statements").child("Assign")
    assert assign.span() == (2, 3, 2, 8)
    assert assign.child("LHS").span() == (2, 3, 2, 8)
    assert assign.child("RHS").span() == (2, 12, 2, 17)
    # a run that ends with ":=" starts its right side at the ":="
    assign = parse("begin x := ; end.").child("Statements").child("Assign")
    assert assign.child("RHS").span() == (1, 9, 1, 11)
    # a run of ":=" alone makes both sides from it
    assign = parse("begin := end.").child("Statements").child("Assign")
    assert assign.child("LHS").span() == (1, 7, 1, 9)
    assert assign.child("RHS").span() == (1, 7, 1, 9)
    assert assign.child("LHS").children == [] and assign.child("RHS").children == []


def test_words_in_any_case():
    assert block("If a THEN b eLsE c; WHILE x Do y; REPEAT z UNTIL w; Try q FINALLY r END") == [
        "If(a,b,Else(c))", "While(x,y)", "Repeat(z,w)", "Try(q,Finally(r))"]
    root = parse("BEGIN a; Begin b END End.")
    assert [brief(c) for c in root.child("Statements").children] == ["a", "Statements(b)"]


def test_block_cut_short_by_the_end_of_the_text():
    # The end-of-file token is part of the list: after the last ";" it starts
    # one more simple statement, an Expression without children at its place.
    statements = parse("begin a;").child("Statements")
    assert [brief(c) for c in statements.children] == ["a", "Expression"]
    assert statements.children[1].span() == (1, 9, 1, 9)
    assert [brief(c) for c in parse("begin a").child("Statements").children] == ["a"]
    assert [brief(c) for c in parse("begin if a then").child("Statements").children] == [
        "If(a,Expression)"]


# ---- Where statements meet the unit rules ------------------------------------------


def test_initialization_and_finalization_statements():
    root = parse("unit U; interface implementation\n"
                 "initialization Foo; Bar(1);\n"
                 "finalization x := 1; a.b; end.")
    assert [brief(c) for c in root.child("Initialization").children] == [
        "Foo", "Call(Bar,Arguments(PositionalArgument(num:1)))"]
    # a statement run goes to the expression parser whole, ":=" included
    assert [brief(c) for c in root.child("Finalization").children] == [
        "Expression(x,num:1)", "Dot(a,b)"]


def test_main_block_of_a_program():
    root = parse("program P; uses A; begin x := 1 end.")
    assert root.kinds() == ["Uses", "Statements"]
    assert brief(root.child("Statements")) == "Statements(Assign(LHS(Expression(x)),RHS(Expression(num:1))))"


# ---- Whole outputs -------------------------------------------------------------------


def test_whole_output_of_an_assignment():
    expected = "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "  ntStatements line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "    ntAssign line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8",
        "      ntLHS line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8",
        "        ntExpression line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8",
        "          ntIdentifier line=1 col=7 end_line=1 end_col=8 name=x source_positions=1:7,1:8",
        "      ntRHS line=1 col=12 end_line=1 end_col=13 source_positions=1:12,1:13",
        "        ntExpression line=1 col=12 end_line=1 end_col=13 source_positions=1:12,1:13",
        "          ntLiteral line=1 col=12 end_line=1 end_col=13 type=numeric source_positions=1:12,1:13",
        "            value=1",
    ])
    assert tarnwick.parse_to_serialized("begin x := 1; end.", "t.pas") == expected


def test_whole_output_of_if_else():
    expected = "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=8 kind=program name=P "
        "source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8",
        "  ntStatements line=1 col=12 end_line=1 end_col=17 source_positions=1:12,1:13,1:14,1:15,1:16,1:17",
        "    ntIf line=1 col=18 end_line=1 end_col=20 source_positions=1:18,1:19,1:20",
        "      ntIdentifier line=1 col=21 end_line=1 end_col=22 name=a source_positions=1:21,1:22",
        "      ntIdentifier line=1 col=28 end_line=1 end_col=29 name=b source_positions=1:28,1:29",
        "      ntElse line=1 col=30 end_line=1 end_col=34 source_positions=1:30,1:31,1:32,1:33,1:34",
        "        ntIdentifier line=1 col=35 end_line=1 end_col=36 name=c source_positions=1:35,1:36",
    ])
    assert tarnwick.parse_to_serialized("program P; begin if a then b else c end.", "t.pas") == expected


def test_whole_output_of_label_asm_and_try():
    src = ("begin\n"
           "  L1: ;\n"
           "  asm mov eax, 1 end;\n"
           "  try\n"
           "    x\n"
           "  except\n"
           "    on E: Exception do y;\n"
           "  end;\n"
           "end.")
    expected = "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "  ntStatements line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "    ntLabel line=2 col=3 end_line=2 end_col=5 name=L1 source_positions=2:3,2:4,2:5",
        "      ntEmptyStatement line=2 col=7 end_line=2 end_col=8 source_positions=2:7,2:8",
        "    ntStatements line=3 col=3 end_line=3 end_col=6 kind=asm source_positions=3:3,3:4,3:5,3:6",
        "    ntTry line=4 col=3 end_line=4 end_col=6 source_positions=4:3,4:4,4:5,4:6",
        "      ntIdentifier line=5 col=5 end_line=5 end_col=6 name=x source_positions=5:5,5:6",
        "      ntExcept line=6 col=3 end_line=6 end_col=9 source_positions=6:3,6:4,6:5,6:6,6:7,6:8,6:9",
        "        ntExceptionHandler line=7 col=5 end_line=7 end_col=7 source_positions=7:5,7:6,7:7",
        "          ntIdentifier line=7 col=24 end_line=7 end_col=25 name=y source_positions=7:24,7:25",
    ])
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_whole_output_of_case():
    src = "begin\n  case k of\n    1, 2: a;\n  else\n    b\n  end\nend"
    expected = "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "  ntStatements line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "    ntCase line=2 col=3 end_line=2 end_col=7 source_positions=2:3,2:4,2:5,2:6,2:7",
        "      ntCaseSelector line=2 col=3 end_line=2 end_col=7 source_positions=2:3,2:4,2:5,2:6,2:7",
        "        ntIdentifier line=2 col=8 end_line=2 end_col=9 name=k source_positions=2:8,2:9",
        "      ntCaseLabels line=3 col=5 end_line=3 end_col=6 source_positions=3:5,3:6",
        "        ntCaseLabel line=3 col=5 end_line=3 end_col=6 source_positions=3:5,3:6",
        "          ntLiteral line=3 col=5 end_line=3 end_col=6 type=numeric source_positions=3:5,3:6",
        "            value=1",
        "        ntCaseLabel line=3 col=8 end_line=3 end_col=9 source_positions=3:8,3:9",
        "          ntLiteral line=3 col=8 end_line=3 end_col=9 type=numeric source_positions=3:8,3:9",
        "            value=2",
        "        ntIdentifier line=3 col=11 end_line=3 end_col=12 name=a source_positions=3:11,3:12",
        "      ntCaseElse line=4 col=3 end_line=4 end_col=7 source_positions=4:3,4:4,4:5,4:6,4:7",
        "        ntIdentifier line=5 col=5 end_line=5 end_col=6 name=b source_positions=5:5,5:6",
    ])
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


# ---- A program of everyday statement code --------------------------------------------

SAMPLE_KINDS = [
    # 1-8: assignments and calls
    "Assign", "Assign", "Assign", "Call", "Assign", "Assign", "Call", "Call",
    # 9-11: for loops
    "For", "For", "For",
    # 12-15: while, repeat, two cases
    "While", "Repeat", "Case", "Case",
    # 16-21: try blocks
    "Assign", "Try", "Try", "Try", "Try", "Try",
    # 22-23: with
    "With", "With",
    # 24-26: labels and goto
    "Label", "If", "Label",
    # 27: nested blocks
    "Statements",
    # 28-31: pointers, indexes, sets
    "Assign", "Assign", "Assign", "Assign",
    # 32-34: generics and method chains
    "Assign", "Call", "Assign",
    # 35-37: inherited, event call, exit
    "Expression", "If", "Identifier",
    # 38-40: loops
    "While", "For", "Repeat",
    # 41-46: blocks nested in loops, case arms and finally parts
    "While", "Case", "For", "Dot", "Try", "If",
    # 47-48
    "EmptyStatement", "Assign",
]


def sample_block():
    with open(os.path.join(DATA, "statements.pas"), encoding="utf-8") as f:
        root = parse(f.read(), "statements.pas")
    assert root.kinds() == ["Uses", "Statements"]
    return root.child("Statements")


def test_sample_program_top_level_statements():
    assert [c.kind for c in sample_block().children] == SAMPLE_KINDS


def test_sample_program_statement_counts():
    main = sample_block()
    counts = {}
    for node in main.walk():
        counts[node.kind] = counts.get(node.kind, 0) + 1
    expected = {
        "Statements": 14, "If": 10, "Else": 4, "For": 7, "While": 3, "Repeat": 3,
        "Case": 5, "CaseSelector": 5, "CaseLabels": 13, "CaseLabel": 17, "CaseElse": 2,
        "Try": 9, "Except": 5, "Finally": 4, "ExceptionHandler": 5, "With": 3,
        "Label": 2, "EmptyStatement": 4,
    }
    assert {k: counts.get(k, 0) for k in expected} == expected


@pytest.mark.parametrize(
    "number, expected",
    [
        (9, "For(Expression(I,num:0,to,Dot(Items,Count),num:1),Statements("
            "Assign(LHS(Expression(Line)),RHS(Expression(Indexed(Items,Expressions(I))))),"
            "If(Expression(Line,str:),Continue),"
            "Call(Inc,Arguments(PositionalArgument(Total),"
            "PositionalArgument(Call(Length,Arguments(PositionalArgument(Line))))))))"),
        # "or" before a bracket is a callee
        (13, "Repeat(Call(Dec,Arguments(PositionalArgument(Count))),"
             "Assign(LHS(Expression(Sum)),RHS(Expression(Sum,Indexed(Values,Expressions(Count))))),"
             "Expression(Count,num:0,Call(or,Arguments(PositionalArgument(Expression(Sum,Limit))))))"),
        (15, "Case(CaseSelector(State),CaseLabels(CaseLabel(stIdle),Start),"
             "CaseLabels(CaseLabel(stRunning),CaseLabel(stPaused),"
             "Call(Resume,Arguments(PositionalArgument(True)))),"
             "CaseLabels(CaseLabel(stDone),EmptyStatement))"),
        (18, "Try(Assign(LHS(Expression(Value)),RHS(Expression(Call(StrToInt,"
             "Arguments(PositionalArgument(Text)))))),Except("
             "ExceptionHandler(Assign(LHS(Expression(Value)),RHS(Expression(num:1)))),"
             "ExceptionHandler(Statements(Call(Log,Arguments(PositionalArgument(Dot(E,Message)))),raise))))"),
        (19, "Try(Call(Connect,Arguments(PositionalArgument(Host),PositionalArgument(Port))),"
             "Except(ExceptionHandler(Assign(LHS(Expression(Retries)),RHS(Expression(num:0)))),"
             "Assign(LHS(Expression(Retries)),RHS(Expression(Retries,num:1)))))"),
        (20, "Try(Process,Except(Cleanup,raise))"),
        (21, "Try(Try(Work,Except(ExceptionHandler(Call(Report,Arguments(PositionalArgument(E)))))),"
             "Finally(Finish))"),
        (24, "Label[Retry](Assign(LHS(Expression(Attempt)),RHS(Expression(Attempt,num:1))))"),
        (25, "If(Expression(not,TryOpen),Expression(goto,Retry))"),
        (26, "Label[Done](EmptyStatement)"),
        (28, "Assign(LHS(Expression(Deref(P),Next)),RHS(Expression(nil)))"),
        (31, "Assign(LHS(Expression(Flags)),RHS(Expression(Flags,sfActive,sfVisible)))"),
        (34, "Assign(LHS(Expression(Result)),RHS(Expression(Indexed(Dot(List,Items),"
             "Expressions(num:0)),Dot(ToString,Trim))))"),
        (39, "For(Expression(Row,num:0,to,Rows,num:1),For(Expression(Col,num:0,to,Cols,num:1),"
             "If(Expression(Indexed(Grid,Expressions(Row,Col)),Target),"
             "Statements(Assign(LHS(Expression(Found)),RHS(Expression(True))),Break))))"),
        (40, "Repeat(Assign(LHS(Expression(Token)),RHS(Expression(NextToken))),"
             "Case(CaseSelector(Dot(Token,Kind)),CaseLabels(CaseLabel(tkEnd),Break),"
             "CaseLabels(CaseLabel(tkIdent),Call(Dot(Names,Add),"
             "Arguments(PositionalArgument(Dot(Token,Text)))))),False)"),
        (41, "While(Expression(not,Dot(Reader,Eof)),Statements("
             "Assign(LHS(Expression(Line)),RHS(Expression(Dot(Reader,ReadLine)))),"
             "Assign(LHS(Expression(Buffer)),RHS(Expression(Dot(TStringBuilder,Create)))),"
             "Try(With(Buffer,Statements(Call(Append,Arguments(PositionalArgument(Line))),"
             "Call(Append,Arguments(PositionalArgument(sLineBreak))))),"
             "Call(Dot(Output,Write),Arguments(PositionalArgument(Dot(Buffer,ToString)))),"
             "Finally(Dot(Buffer,Free)))))"),
        (42, "Case(CaseSelector(Command),"
             "CaseLabels(CaseLabel(cmdOpen),Statements(If(Call(FileExists,Arguments(PositionalArgument(Path))),"
             "Call(Open,Arguments(PositionalArgument(Path))),"
             "Else(Call(Create,Arguments(PositionalArgument(Path))))))),"
             "CaseLabels(CaseLabel(cmdSave),CaseLabel(cmdSaveAs),"
             "For(Expression(Doc,in,Documents),Dot(Doc,Save))),"
             "CaseLabels(CaseLabel(cmdClose),Case(CaseSelector(Answer),"
             "CaseLabels(CaseLabel(mrYes),SaveAll),CaseLabels(CaseLabel(mrNo),EmptyStatement),"
             "CaseElse(Exit))))"),
        (43, "For(Expression(Attempt,num:1,to,MaxAttempts),Statements("
             "Repeat(Call(Sleep,Arguments(PositionalArgument(Delay))),"
             "Assign(LHS(Expression(Delay)),RHS(Expression(Delay,num:2))),"
             "Expression(Ready,Call(or,Arguments(PositionalArgument(Expression(Delay,MaxDelay)))))),"
             "If(Ready,Break)))"),
        (44, "Dot(Lock,Acquire)"),
        (45, "Try(Call(Update,Arguments(PositionalArgument(Shared))),Finally(Try(Dot(Lock,Release),"
             "Except(ExceptionHandler(Call(Log,Arguments(PositionalArgument(Dot(E,Message)))))))))"),
        # "not" and "and" before a bracket are callees; a one-element set
        # argument stands for its element
        (46, "If(Expression(Call(not,Arguments(PositionalArgument(Expression(Ch,Indexed(in,"
             "Expressions(Expression(str:a,str:z),str:_)))))),"
             "Call(and,Arguments(PositionalArgument(Expression(Next,nil))))),"
             "Assign(LHS(Expression(Call(TButton,Arguments(PositionalArgument(Sender))),Caption)),"
             "RHS(Expression(Call(Format,Arguments(PositionalArgument(str:%d items),"
             "PositionalArgument(Count)))))),"
             "Else(If(Expression(Call(Assigned,Arguments(PositionalArgument(Parent))),"
             "Call(and,Arguments(PositionalArgument(Expression(Parent,is,TForm))))),"
             "Expression(Parent,as,TForm,Close))))"),
    ],
)
def test_sample_program_statement_shapes(number, expected):
    assert brief(sample_block().children[number - 1]) == expected
