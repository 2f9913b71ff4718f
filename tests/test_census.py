"""The routine census's heading rule, its matching of headings with Method
nodes, and the routines the tree-sitter comparison reads from each tree."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import census  # noqa: E402
import compare_tree_sitter  # noqa: E402


@pytest.mark.parametrize("text, expected", [
    ("procedure P; begin end; function F: Integer; begin end;", 2),
    ("type TC = class class function F: Integer; constructor Create; destructor Destroy; override; end;", 3),
    ("type TC = class(TBase) [Test] procedure T; class operator Add(A, B: TC): TC; end;", 2),
    ("procedure IFoo.Bar = Baz; function Read(var X): Integer; function TList<T>.Add: Integer;", 3),
    ("procedure P; { procedure Q; } // function R;\n(* constructor S; *)", 1),
    # procedural types
    ("type TP = procedure of object; TF = function(X: Integer): Integer; TQ = procedure;", 0),
    ("type TR = reference to procedure(A: Integer); TA = array[0..1] of procedure;", 0),
    ("var P: procedure; F: function: Boolean; G: procedure (X: Integer) cdecl;", 0),
    # anonymous methods and constraints
    ("begin Run(procedure begin end); X := function(A: Integer): Integer begin end; end.", 0),
    ("begin L := [procedure begin end, procedure var A: Integer; begin end]; end.", 0),
    ("function G<T: class, constructor>: T; function H<T: constructor>: T;", 2),
    # escaped names
    ("function &Type: Integer; procedure &begin; procedure &of;", 3),
    ("class function &&op_Equality(const A, B: T): Boolean; static;", 1),
    # Free Pascal's operators, and Operator as a name
    ("operator + (A, B: T) R: T; operator := (const S: string): T; operator and (A, B: T): T;", 3),
    ("begin Operator := 1; if A then Operator := 2; end. property Operator: TOp read FOp;", 0),
    # the tokens the grammar reads, directives passed over
    ("{$IFDEF S}function{$ELSE}var{$ENDIF} F{$IFDEF D}: function{$ENDIF}(): PChar;", 0),
    ("{$IFDEF X}procedure{$ENDIF} P;", 1),
    ("asm .type _start,@function\n_start: end;", 0),
])
def test_heading_rule(text, expected):
    assert len(census.routine_headings(text)) == expected


@pytest.mark.parametrize("text, expected", [
    ("procedure P;", [("procedure", 1, 1, None)]),
    ("type T = class\n  class procedure P;\nend;", [("procedure", 2, 9, (2, 3))]),
    # the type's `class`, not the routine's
    ("type T = class procedure P; end;", [("procedure", 1, 16, None)]),
    ("x := 1; &function F;", []),
])
def test_heading_positions(text, expected):
    assert census.routine_headings(text) == [census.Heading(*h) for h in expected]


SPECIFIED = census.grammars_to_run("specified")[0][0]


@pytest.mark.parametrize("text, headings, with_method, unmatched", [
    ("unit A; interface type T = class class procedure P; end; implementation "
     "class procedure T.P; begin end; end.", 2, 2, 0),
    # the specified grammar reads `<` as opening brackets up to the next `>`:
    # Q and R are lost in P
    ("procedure P; begin Result := a < 0; end; procedure Q; begin end; function R: Boolean; begin R := 1 > 0; end;",
     3, 1, 0),
    # a fragment of an include file: the specified grammar makes a Method of
    # the procedural type
    ("TGtkCallback = procedure (widget: PGtkWidget); cdecl;", 0, 0, 1),
])
def test_count_file(tmp_path, text, headings, with_method, unmatched):
    path = tmp_path / "a.pas"
    path.write_text(text, encoding="utf-8")
    count = census.count_file((str(path), [SPECIFIED], None)).grammars[SPECIFIED]
    assert (count.headings, count.with_method, len(count.unmatched)) == (headings, with_method, unmatched)
    assert len(count.missing) == headings - with_method


@pytest.mark.parametrize("name, expected", [
    ("TList<T>.Add", "tlist.add"),
    ("Get<T: class, constructor>", "get"),
    ("TA<TB<C>, D>.X", "ta.x"),
    ("&Type", "type"),
    ("TFoo .\n  Bar", "tfoo.bar"),
])
def test_normal_name(name, expected):
    assert compare_tree_sitter.normal_name(name) == expected


ROUTINES = """unit A;
interface
type
  T = class
    [Test]
    class procedure P;
    constructor Create; virtual;
  end;
implementation
{ é } procedure T.P;
begin
  X := 1;
end;
end.
"""


def test_routines_of_both_trees():
    # tree-sitter counts columns in bytes, tarnwick in characters: the `é`
    # before `procedure` tells them apart
    pytest.importorskip("tree_sitter_pascal")
    import tarnwick_tree

    data = ROUTINES.encode("utf-8")
    parser = compare_tree_sitter.tree_sitter_parser()
    theirs = compare_tree_sitter.tree_sitter_routines(parser.parse(data), parser.language, data)
    assert [tuple(r) for r in theirs] == [
        ((6, 11), "p", (5, 6, 6), 6), ((7, 5), "create", (7, 7, 7), 7), ((10, 7), "t.p", (10, 10, 10), 13)]
    tree = tarnwick_tree.parse(ROUTINES, "a.pas", **census.parse_options(SPECIFIED, None))
    ours = compare_tree_sitter.tarnwick_routines(tree, tarnwick_tree.tokens(ROUTINES))
    # A specified tree's routine ends at its last statement.
    assert [tuple(r) for r in ours] == [
        ((6, 11), "p", (5, 6, 6), 6), ((7, 5), "create", (7, 7, 7), 7), ((10, 7), "t.p", (10, 10, 10), 12)]
