"""File and unit structure: the optional header and its hints, section nodes,
uses/contains/requires and exports clauses, what the unit body skips, and
the statement runs of initialization and finalization sections.

Constructs built by the unit rules alone are compared as whole output texts.
Those whose nodes come from the expression, statement, routine or declaration
rules are compared as shapes."""

import os

import pytest

from helpers import cols, serialized
from treereader import parse

RULES_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "core", "parser")


def _rules_in_place(*families):
    for family in families:
        try:
            with open(os.path.join(RULES_DIR, family + ".cpp"), encoding="utf-8") as f:
                if f.readline().startswith("// PLACEHOLDER"):
                    return False
        except OSError:
            pass  # no sources next to the tests: test the module as built
    return True


def needs(*families):
    return pytest.mark.skipif(not _rules_in_place(*families),
                              reason="the " + ", ".join(families) + " rules are not written yet")


def expect(*node_lines):
    return "\n".join(["# file_name=t.pas", *node_lines])


def case(source, *node_lines, id=None):
    return pytest.param(source, expect(*node_lines), id=id or ascii(source)[1:-1][:40] or "empty")


def check(source, expected):
    assert serialized(source) == expected


# --- headers -----------------------------------------------------------------------

HEADERS = [
    case("unit Alpha.Beta.Gamma;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=Alpha.Beta.Gamma source_positions=" + cols(1, 1, 5)),
    case("UNIT X;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("UnIt x;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=x source_positions=" + cols(1, 1, 5)),
    case("Program Hello;",
         "ntUnit line=1 col=1 end_line=1 end_col=8 kind=program name=Hello source_positions=" + cols(1, 1, 8)),
    case("library L;", "ntUnit line=1 col=1 end_line=1 end_col=8 kind=library name=L source_positions=" + cols(1, 1, 8)),
    case("PACKAGE P;", "ntUnit line=1 col=1 end_line=1 end_col=8 kind=package name=P source_positions=" + cols(1, 1, 8)),
    # The root starts at the header word wherever it stands.
    case("  unit\n  A ;", "ntUnit line=1 col=3 end_line=1 end_col=7 kind=unit name=A source_positions=" + cols(1, 3, 7)),
    case("{$MODE DELPHI}(* c *)unit A;",
         "ntUnit line=1 col=22 end_line=1 end_col=26 kind=unit name=A source_positions=" + cols(1, 22, 26)),
    # "&unit" is the header word "unit"; the end is stamped from its text, so
    # the "&" no longer counts.
    case("&unit X;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=X source_positions=" + cols(1, 1, 5)),
    # Names.
    case("unit &type.X;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=&type.X source_positions=" + cols(1, 1, 5)),
    case("unit A . B . C ;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A.B.C source_positions=" + cols(1, 1, 5)),
    case("unit A.;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + cols(1, 1, 5)),
    case("unit unit;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=unit source_positions=" + cols(1, 1, 5)),
    case("unit Gr\u00f6\u00dfe;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=Gr\u00f6\u00dfe source_positions=" + cols(1, 1, 5)),
    # No name: `name` is not set.
    case("unit;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit source_positions=" + cols(1, 1, 5)),
    case("unit 'x';", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit source_positions=" + cols(1, 1, 5)),
    case("unit", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit source_positions=" + cols(1, 1, 5)),
    case("program 1 P;", "ntUnit line=1 col=1 end_line=1 end_col=8 kind=program source_positions=" + cols(1, 1, 8)),
    # Hints.
    case("unit X deprecated 'Use Y';",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=Use Y kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X deprecated;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=true kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X DEPRECATED 'It''s';",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=It's kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X deprecated '';",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated= kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X deprecated 'a' deprecated;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=true kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X deprecated 42;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=true kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X deprecated #65;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=true kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X deprecated",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=true kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X {c} deprecated (* c *)\n'm'\n;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=m kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X 'stray' deprecated 'm';",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=m kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X experimental;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=experimental name=X source_positions=" + cols(1, 1, 5)),
    case("unit X Experimental deprecated;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=true kind=experimental name=X source_positions="
         + cols(1, 1, 5)),
    case("program P experimental deprecated 'x';",
         "ntUnit line=1 col=1 end_line=1 end_col=8 deprecated=x kind=experimental name=P source_positions="
         + cols(1, 1, 8)),
    case("unit X platform;", "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=X source_positions=" + cols(1, 1, 5)),
    case("unit X platform library deprecated 'm' experimental;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=m kind=experimental name=X source_positions="
         + cols(1, 1, 5)),
    # Hints end at the ";": later words belong to the body, which skips them.
    case("unit X; deprecated; experimental;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=X source_positions=" + cols(1, 1, 5)),
    # A second header is not read.
    case("unit X; unit Y deprecated;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=X source_positions=" + cols(1, 1, 5)),
    # A header word that is not the first token is no header.
    case("x unit Y;", "ntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2"),
    case("; program P;", "ntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2"),
]


@pytest.mark.parametrize("source, expected", HEADERS)
def test_header(source, expected):
    check(source, expected)


# --- sections ----------------------------------------------------------------------

SECTIONS = [
    case("unit A;\ninterface\nimplementation\ninitialization\nfinalization\nend.",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + cols(1, 1, 5),
         "  ntInterface line=2 col=1 end_line=2 end_col=10 source_positions=" + cols(2, 1, 10),
         "  ntImplementation line=3 col=1 end_line=3 end_col=15 source_positions=" + cols(3, 1, 15),
         "  ntInitialization line=4 col=1 end_line=4 end_col=15 source_positions=" + cols(4, 1, 15),
         "  ntFinalization line=5 col=1 end_line=5 end_col=13 source_positions=" + cols(5, 1, 13),
         id="all-four"),
    # Any letter case; a second "interface" makes a second section. The root
    # and the first section are made from the same token.
    case("INTERFACE interface",
         "ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=" + cols(1, 1, 10),
         "  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=" + cols(1, 1, 10),
         "  ntInterface line=1 col=11 end_line=1 end_col=20 source_positions=" + cols(1, 11, 20),
         id="twice"),
    # Clauses go to the current section; sections always to the root.
    case("interface uses A; implementation uses B;",
         "ntUnit line=1 col=1 end_line=1 end_col=10 source_positions=" + cols(1, 1, 10),
         "  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=" + cols(1, 1, 10),
         "    ntUses line=1 col=11 end_line=1 end_col=15 source_positions=" + cols(1, 11, 15),
         "      ntUnit line=1 col=16 end_line=1 end_col=17 name=A source_positions=1:16,1:17",
         "  ntImplementation line=1 col=19 end_line=1 end_col=33 source_positions=" + cols(1, 19, 33),
         "    ntUses line=1 col=34 end_line=1 end_col=38 source_positions=" + cols(1, 34, 38),
         "      ntUnit line=1 col=39 end_line=1 end_col=40 name=B source_positions=1:39,1:40",
         id="clauses-in-sections"),
    case("implementation\ninitialization\nuses A;",
         "ntUnit line=1 col=1 end_line=1 end_col=15 source_positions=" + cols(1, 1, 15),
         "  ntImplementation line=1 col=1 end_line=1 end_col=15 source_positions=" + cols(1, 1, 15),
         "  ntInitialization line=2 col=1 end_line=2 end_col=15 source_positions=" + cols(2, 1, 15),
         "    ntUses line=3 col=1 end_line=3 end_col=5 source_positions=" + cols(3, 1, 5),
         "      ntUnit line=3 col=6 end_line=3 end_col=7 name=A source_positions=3:6,3:7",
         id="no-nesting"),
    # "&interface": the root keeps the span add_node gives the token; the
    # section is stamped from the text without the "&".
    case("&interface",
         "ntUnit line=1 col=1 end_line=1 end_col=11 source_positions=" + cols(1, 1, 10),
         "  ntInterface line=1 col=1 end_line=1 end_col=10 source_positions=" + cols(1, 1, 10),
         id="escaped-section-word"),
    # Tokens after the final "end." are still dispatched, into the section
    # that was current.
    case("unit A;\ninterface\nend.\nuses B;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + cols(1, 1, 5),
         "  ntInterface line=2 col=1 end_line=2 end_col=10 source_positions=" + cols(2, 1, 10),
         "    ntUses line=4 col=1 end_line=4 end_col=5 source_positions=" + cols(4, 1, 5),
         "      ntUnit line=4 col=6 end_line=4 end_col=7 name=B source_positions=4:6,4:7",
         id="after-end"),
    case("unit A; end.\nunit B; interface uses C;",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + cols(1, 1, 5),
         "  ntInterface line=2 col=9 end_line=2 end_col=18 source_positions=" + cols(2, 9, 18),
         "    ntUses line=2 col=19 end_line=2 end_col=23 source_positions=" + cols(2, 19, 23),
         "      ntUnit line=2 col=24 end_line=2 end_col=25 name=C source_positions=2:24,2:25",
         id="second-unit-text"),
    # What the body does not know is skipped one token at a time.
    case("unit A; interface x y := 1 + 'z'; end; end. end",
         "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + cols(1, 1, 5),
         "  ntInterface line=1 col=9 end_line=1 end_col=18 source_positions=" + cols(1, 9, 18),
         id="skipped-tokens"),
    # "class" not followed by a routine word is dropped.
    case("class X; class; class 1",
         "ntUnit line=1 col=1 end_line=1 end_col=6 source_positions=" + cols(1, 1, 6),
         id="class-alone"),
]


@pytest.mark.parametrize("source, expected", SECTIONS)
def test_sections(source, expected):
    check(source, expected)


# --- uses, contains and requires ------------------------------------------------------

USES_ROOT = "ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=" + cols(1, 1, 5)
USES_NODE = "  ntUses line=1 col=1 end_line=1 end_col=5 source_positions=" + cols(1, 1, 5)

USES = [
    case("uses First, Second in 'second.pas', Third;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=11 name=First source_positions=" + cols(1, 6, 11),
         "    ntUnit line=1 col=13 end_line=1 end_col=19 name=Second path=second.pas source_positions=" + cols(1, 13, 19),
         "    ntUnit line=1 col=37 end_line=1 end_col=42 name=Third source_positions=" + cols(1, 37, 42)),
    # Dotted names: the node spans the first part only. The path keeps its
    # backslashes (written escaped).
    case("uses System.SysUtils, Vcl . Forms in 'C:\\x\\f.pas';",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=12 name=System.SysUtils source_positions=" + cols(1, 6, 12),
         "    ntUnit line=1 col=23 end_line=1 end_col=26 name=Vcl.Forms path=C:\\\\x\\\\f.pas source_positions="
         + cols(1, 23, 26)),
    # Every quote is removed from the path.
    case("uses A in 'x''y.pas';",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=7 name=A path=xy.pas source_positions=1:6,1:7"),
    # The token after "in" is the path whatever its kind, even a ";".
    case("uses A in B, C;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=7 name=A path=B source_positions=1:6,1:7",
         "    ntUnit line=1 col=14 end_line=1 end_col=15 name=C source_positions=1:14,1:15"),
    case("uses A in; B;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=7 name=A path=; source_positions=1:6,1:7",
         "    ntUnit line=1 col=12 end_line=1 end_col=13 name=B source_positions=1:12,1:13"),
    case("USES a, B IN 'b.pas';",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=7 name=a source_positions=1:6,1:7",
         "    ntUnit line=1 col=9 end_line=1 end_col=10 name=B path=b.pas source_positions=1:9,1:10"),
    # Tokens that are no name are skipped; missing commas are tolerated.
    case("uses , A;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=8 end_line=1 end_col=9 name=A source_positions=1:8,1:9"),
    case("uses 'x', A;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=11 end_line=1 end_col=12 name=A source_positions=1:11,1:12"),
    case("uses A B;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=7 name=A source_positions=1:6,1:7",
         "    ntUnit line=1 col=8 end_line=1 end_col=9 name=B source_positions=1:8,1:9"),
    case("uses;", USES_ROOT, USES_NODE),
    case("uses", USES_ROOT, USES_NODE),
    case("uses A", USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=7 name=A source_positions=1:6,1:7"),
    # The clause ends at its ";": what follows is body.
    case("uses A; B;", USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=7 name=A source_positions=1:6,1:7"),
    # Escaped names keep their "&" in the name; the end is stamped from the
    # first token's text.
    case("uses &begin, &Type.X;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=11 name=&begin source_positions=" + cols(1, 6, 11),
         "    ntUnit line=1 col=14 end_line=1 end_col=18 name=&Type.X source_positions=" + cols(1, 14, 18)),
    # Columns count characters, not bytes.
    case("uses Gr\u00f6\u00dfe, \u65e5\u672c;",
         USES_ROOT, USES_NODE,
         "    ntUnit line=1 col=6 end_line=1 end_col=11 name=Gr\u00f6\u00dfe source_positions=" + cols(1, 6, 11),
         "    ntUnit line=1 col=13 end_line=1 end_col=15 name=\u65e5\u672c source_positions=" + cols(1, 13, 15)),
    case("package P;\nrequires rtl, vcl;\ncontains U1 in 'u1.pas', U2;\nend.",
         "ntUnit line=1 col=1 end_line=1 end_col=8 kind=package name=P source_positions=" + cols(1, 1, 8),
         "  ntRequires line=2 col=1 end_line=2 end_col=9 source_positions=" + cols(2, 1, 9),
         "    ntUnit line=2 col=10 end_line=2 end_col=13 name=rtl source_positions=" + cols(2, 10, 13),
         "    ntUnit line=2 col=15 end_line=2 end_col=18 name=vcl source_positions=" + cols(2, 15, 18),
         "  ntContains line=3 col=1 end_line=3 end_col=9 source_positions=" + cols(3, 1, 9),
         "    ntUnit line=3 col=10 end_line=3 end_col=12 name=U1 path=u1.pas source_positions=" + cols(3, 10, 12),
         "    ntUnit line=3 col=26 end_line=3 end_col=28 name=U2 source_positions=" + cols(3, 26, 28),
         id="package"),
]


@pytest.mark.parametrize("source, expected", USES)
def test_uses_contains_requires(source, expected):
    check(source, expected)


# --- exports -----------------------------------------------------------------------

EXPORTS_ROOT = "ntUnit line=1 col=1 end_line=1 end_col=8 source_positions=" + cols(1, 1, 8)
EXPORTS_NODE = "  ntExports line=1 col=1 end_line=1 end_col=8 source_positions=" + cols(1, 1, 8)


def exported(col, name, end_col=None, positions=None):
    """The Element and Name lines of one exported name at depth 2."""
    end_col = end_col or col + 1
    positions = positions or cols(1, col, end_col)
    span = f"line=1 col={col} end_line=1 end_col={end_col}"
    return (f"    ntElement {span} source_positions={positions}",
            f"      ntName {span} name={name} source_positions={positions}")


EXPORTS = [
    # The "index", "name" and "resident" clauses are skipped up to "," or ";".
    case("exports F, G index 3, H name 'h', K resident;",
         EXPORTS_ROOT, EXPORTS_NODE, *exported(9, "F"), *exported(12, "G"), *exported(23, "H"), *exported(35, "K")),
    # Element and Name keep the span of the first token as written: for "&C"
    # the end counts the "&", the positions do not.
    case("exports A.B, &C;",
         EXPORTS_ROOT, EXPORTS_NODE, *exported(9, "A.B"), *exported(14, "&C", 16, "1:14,1:15")),
    case("exports 1, F;", EXPORTS_ROOT, EXPORTS_NODE, *exported(12, "F")),
    case("exports F G;", EXPORTS_ROOT, EXPORTS_NODE, *exported(9, "F"), *exported(11, "G")),
    case("exports F name 'x' ; G;", EXPORTS_ROOT, EXPORTS_NODE, *exported(9, "F")),
    case("EXPORTS f RESIDENT, g;", EXPORTS_ROOT, EXPORTS_NODE, *exported(9, "f"), *exported(21, "g")),
    case("exports F index 1 name 'x', G resident", EXPORTS_ROOT, EXPORTS_NODE,
         *exported(9, "F"), *exported(29, "G")),
    case("exports F(1);", EXPORTS_ROOT, EXPORTS_NODE, *exported(9, "F")),
    # A token that is no name is skipped, and a clause word after it is
    # skipped with its clause: "index" is no exported name here.
    case("exports ( index 1; G;", EXPORTS_ROOT, EXPORTS_NODE),
    case("exports 1 name 'x', F;", EXPORTS_ROOT, EXPORTS_NODE, *exported(21, "F")),
    case("exports;", EXPORTS_ROOT, EXPORTS_NODE),
    case("exports", EXPORTS_ROOT, EXPORTS_NODE),
    case("library L;\nexports Run;",
         "ntUnit line=1 col=1 end_line=1 end_col=8 kind=library name=L source_positions=" + cols(1, 1, 8),
         "  ntExports line=2 col=1 end_line=2 end_col=8 source_positions=" + cols(2, 1, 8),
         "    ntElement line=2 col=9 end_line=2 end_col=12 source_positions=" + cols(2, 9, 12),
         "      ntName line=2 col=9 end_line=2 end_col=12 name=Run source_positions=" + cols(2, 9, 12),
         id="library"),
]


@pytest.mark.parametrize("source, expected", EXPORTS)
def test_exports(source, expected):
    check(source, expected)


# --- initialization and finalization without statements -----------------------------

INIT_ROOT = "ntUnit line=1 col=1 end_line=1 end_col=15 source_positions=" + cols(1, 1, 15)
INIT_NODE = "  ntInitialization line=1 col=1 end_line=1 end_col=15 source_positions=" + cols(1, 1, 15)

CODE_SECTIONS = [
    # Clause words are matched before the statement run.
    case("initialization uses A; end.",
         INIT_ROOT, INIT_NODE,
         "    ntUses line=1 col=16 end_line=1 end_col=20 source_positions=" + cols(1, 16, 20),
         "      ntUnit line=1 col=21 end_line=1 end_col=22 name=A source_positions=1:21,1:22"),
    # Tokens that are not words start no statement run.
    case("initialization 1; ; 'x'; #13 end.", INIT_ROOT, INIT_NODE),
    # "asm" is skipped alone; "end" then closes the section's text.
    case("initialization asm end.", INIT_ROOT, INIT_NODE),
    case("initialization", INIT_ROOT, INIT_NODE),
    case("finalization",
         "ntUnit line=1 col=1 end_line=1 end_col=13 source_positions=" + cols(1, 1, 13),
         "  ntFinalization line=1 col=1 end_line=1 end_col=13 source_positions=" + cols(1, 1, 13)),
]


@pytest.mark.parametrize("source, expected", CODE_SECTIONS)
def test_code_sections_without_statements(source, expected):
    check(source, expected)


# --- shapes that need the other rule families ----------------------------------------

def render(node):
    """Kind, name and children of a subtree in one line: Kind:name(child,...)."""
    label = node.kind + (":" + node.attrs["name"] if "name" in node.attrs else "")
    if node.children:
        label += "(" + ",".join(render(c) for c in node.children) + ")"
    return label


@needs("expressions")
@pytest.mark.parametrize(
    "source, statements",
    [
        # One statement per run; a single operand is added unwrapped.
        ("initialization Foo; Bar(1); end.",
         ["Identifier:Foo", "Call(Identifier:Bar,Arguments(PositionalArgument(Literal)))"]),
        ("initialization X := 1; end.", ["Expression(Identifier:X,Literal)"]),
        # Inside a run only "end", "begin" and "asm" written in lower case end
        # it; the other spellings are part of the run.
        ("initialization A End B; end.", ["Expression(Identifier:A,Identifier:B)"]),
        ("initialization A end B; C; end.", ["Identifier:A", "Identifier:C"]),
        ("initialization A Begin B; end.", ["Expression(Identifier:A,Identifier:Begin,Identifier:B)"]),
        ("initialization A begin B; C; end.", ["Identifier:A", "Identifier:C"]),
        ("initialization A ASM B; end.", ["Expression(Identifier:A,Identifier:ASM,Identifier:B)"]),
        ("initialization A asm B; C; end.", ["Identifier:A", "Identifier:C"]),
        # At the start of a pass the words are compared in any case.
        ("initialization END; A; end.", ["Identifier:A"]),
        # A run without terminator takes the rest of the list.
        ("initialization A", ["Identifier:A"]),
        ("initialization A B", ["Expression(Identifier:A,Identifier:B)"]),
        # Symbols and literals before the first word are skipped singly.
        ("initialization 1 + A; end.", ["Identifier:A"]),
        # Routine words are statement words here.
        ("initialization procedure P; end.", ["Expression(Identifier:procedure,Identifier:P)"]),
        # After "end." the section is still current.
        ("initialization A; end. B;", ["Identifier:A", "Identifier:B"]),
        ("initialization uses X; A;", ["Uses(Unit:X)", "Identifier:A"]),
    ],
)
def test_initialization_statement_runs(source, statements):
    section = parse(source).child("Initialization")
    assert [render(c) for c in section.children] == statements


@needs("expressions")
def test_finalization_statement_runs_and_spans():
    root = parse("unit U;\nfinalization\n  Foo;\n  Bar(1)\nend.")
    assert root.kinds() == ["Finalization"]
    fin = root.child("Finalization")
    assert [render(c) for c in fin.children] == [
        "Identifier:Foo", "Call(Identifier:Bar,Arguments(PositionalArgument(Literal)))"]
    assert fin.children[0].span() == (3, 3, 3, 6)
    assert fin.children[1].span() == (4, 3, 4, 6)


@needs("statements")
@pytest.mark.parametrize(
    "source, attrs",
    [
        ("begin end.", {}),
        ("program P; begin end.", {"kind": "program", "name": "P"}),
        ("program P;\nuses A;\nbegin\nend.", {"kind": "program", "name": "P"}),
    ],
)
def test_main_block(source, attrs):
    root = parse(source)
    assert root.attrs == attrs
    assert root.kinds()[-1] == "Statements"
    assert root.children[-1].children == []


@needs("statements")
def test_begin_block_in_initialization():
    section = parse("initialization begin end; end.").child("Initialization")
    assert section.kinds() == ["Statements"]


@needs("routines", "statements")
def test_routine_body_only_outside_interface():
    # In an interface section the heading is read without a body, so the
    # block that follows belongs to the section.
    interface = parse("unit A; interface procedure P; begin end;").child("Interface")
    assert interface.kinds() == ["Method", "Statements"]
    assert interface.child("Method").children == []
    implementation = parse("unit A; implementation procedure P; begin end;").child("Implementation")
    assert implementation.kinds() == ["Method"]
    assert implementation.child("Method").kinds() == ["Statements"]
    # At the top of a program the body is read as well.
    root = parse("procedure P; begin end;")
    assert root.kinds() == ["Method"]
    assert root.child("Method").kinds() == ["Statements"]


@needs("routines")
@pytest.mark.parametrize("source", ["class procedure P;", "CLASS Procedure P;"])
def test_class_routine_at_unit_level(source):
    method = parse("unit A; interface " + source).child("Interface").child("Method")
    assert method.attrs == {"class": "true", "kind": "procedure", "name": "P"}
    assert method.span() == (1, 19, 1, 24)


@needs("routines")
def test_class_without_routine_word_is_dropped():
    root = parse("unit A; interface class X; procedure P;")
    assert render(root.child("Interface")) == "Interface(Method:P)"


@needs("declarations", "types", "expressions")
def test_declaration_sections_go_to_the_current_section():
    root = parse("unit A;\ninterface\nvar X: Integer;\nconst C = 1;\ntype T = Integer;\n"
                 "resourcestring S = 'x';\nthreadvar V: Integer;\nimplementation\nconst D = 2;")
    interface = root.child("Interface")
    assert interface.kinds() == ["Variables", "Constants", "TypeSection", "Constants", "Variables"]
    assert [c.attrs.get("kind") for c in interface.children] == ["var", "const", None, "resourcestring", "threadvar"]
    assert root.child("Implementation").kinds() == ["Constants"]
