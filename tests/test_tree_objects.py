"""tarnwick_tree: trees and tokens as Python objects. Every tree is checked
against the tree text of the same source, read by the tests' own reader."""

import contextlib
import io
import os
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import tarnwick
import tarnwick_tree
from tarnwick_tree import Diagnostic, NodeVisitor, Token, read, tokens, walk
from helpers import diagnostics_cover_skipped, run_on_small_stack, tokens_match_token_list
from limits import REFUSED
from treereader import read_tree

def parse(text, file_name=""):
    """The tree of the grammar whose text parse_to_serialized writes, which
    these tests read the trees against."""
    return tarnwick_tree.parse(text, file_name, grammar="specified")


DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

SOURCES = {
    "empty": "",
    "class with methods": (
        "unit Shapes;\ninterface\ntype\n  TShape = class\n  private\n    FName: string;\n"
        "  public\n    procedure Draw(a, b: Integer; const c: string); virtual;\n"
        "    property Name: string read FName;\n  end;\nimplementation\n"
        "procedure TShape.Draw(a, b: Integer; const c: string);\nbegin\n"
        "  with Canvas do\n    TextOut(a, b, 'x\\y');\n  if a > b then Exit;\nend;\nend.\n"
    ),
    "shared types": "var a, b, c: array of Integer; x, y: record p, q: Byte; end;",
    "escapes and crlf": "unit U;\r\nconst S = 'tab\there';\r\n  T = #9'a\\b';\r\nend.",
    "multi-line string": "const S = '''\nline one\nline two\n''';",
    "malformed": "begin ) ( end ; ; type = = ; procedure",
    "non-ascii": "unit Ünï;\nvar é, 日本: Integer; x²: string;\nbegin é := 1; end.",
    "generics and attributes": (
        "type TList<T: class, constructor> = class\n  [Weak] FItem: T;\n"
        "  function Get<U>(const A: array of U): TList<U>; overload;\nend;"
    ),
}


def node_kinds(text):
    """The kinds of the node lines of a tree text, in order."""
    return [line.lstrip(" ").split(" ", 1)[0] for line in text.split("\n")[1:]
            if not line.lstrip(" ").startswith("value=")]


def compare_nodes(node, expected):
    """The node and its subtree against the tests' reading of the tree text."""
    pairs = list(zip(walk(node), expected.walk()))
    assert len(pairs) == sum(1 for _ in expected.walk()) == sum(1 for _ in walk(node))
    for got, want in pairs:
        assert got.kind == "nt" + want.kind
        assert (got.line, got.col, got.end_line, got.end_col) == want.span()
        assert got.attributes == want.attrs
        assert list(got.attributes) == sorted(want.attrs)
        assert got.value == want.value
        assert got.source_positions == want.positions
        assert [c.kind for c in got.children] == ["nt" + k for k in want.kinds()]


@pytest.mark.parametrize("name", list(SOURCES))
def test_tree_matches_its_text(name):
    src = SOURCES[name]
    text = tarnwick.parse_to_serialized(src, "dir/Unit 1.pas")
    tree = parse(src, "dir/Unit 1.pas")
    assert tree.to_serialized() == text
    file_name, root = read_tree(text)
    assert (tree.file_name, tree.source) == (file_name, src)
    compare_nodes(tree.root, root)
    assert [n.kind for n in tree] == node_kinds(text)
    assert len(tree) == len(node_kinds(text))
    # A tree read back from its text is the same tree, and writes the same text.
    again = read(text)
    assert again.to_serialized() == text
    assert again.source is None and again.file_name == file_name
    compare_nodes(again.root, root)


@pytest.mark.parametrize("file_name", ["", "a.pas", "tab\there\\and\nline", "ä b=c.pas"])
def test_file_name_in_header(file_name):
    tree = parse("unit A; end.", file_name)
    assert tree.to_serialized() == tarnwick.parse_to_serialized("unit A; end.", file_name)
    assert read(tree.to_serialized()).file_name == file_name
    assert parse("x").file_name == ""


def test_shared_subtree_stands_at_each_place_with_its_parent():
    tree = parse("var a, b: Integer;")
    types = tree.find_all("ntType")
    assert [t["name"] for t in types] == ["Integer", "Integer"]
    first, second = types
    assert first != second and len({first, second}) == 2
    assert [first.parent.children[0].value, second.parent.children[0].value] == ["a", "b"]
    assert first.parent.parent == second.parent.parent
    # The same place reached by two ways is one node.
    assert first.parent.children[1] == first and hash(first.parent.children[1]) == hash(first)
    assert list(walk(tree.root)).index(second) == len(tree) - 1
    assert len(set(tree)) == len(tree)


def test_node_reading():
    tree = parse(SOURCES["class with methods"], "s.pas")
    method = tree.find("Method", name="Draw")
    assert method["kind"] == "procedure" and method.get("name") == "Draw"
    assert method.get("nothing") is None and method.get("nothing", 7) == 7
    assert "name" in method and "type" not in method and 1 not in method
    assert tree.find_all(kind="procedure") == tree.find_all("Method", kind="procedure")
    assert len(tree.find_all(kind="procedure")) == 2
    with pytest.raises(KeyError):
        method["value"]
    assert repr(method) == "<ntMethod kind='procedure' methodbinding='virtual' name='Draw' at 8:5>"
    assert repr(tree.find("Literal")) == "<ntLiteral type='string' value='x\\y' at 15:19>"
    assert repr(tree) == "<Tree 's.pas': %d nodes>" % len(tree)
    assert method.tree is tree and tree.root.parent is None
    # The implementation's routine spans its body, where its own line does not.
    body = tree.find("Method", name="TShape.Draw")
    assert (body.line, body.end_line) == (12, 12)
    assert body.extent == (12, 1, 16, 21)  # to its last statement: `end` makes no node
    assert tree.root.extent[:2] == (1, 1)
    assert tree.find("Method", name="Nothing") is None
    assert tree.find_all("Parameter", name="a") == []
    assert [n.kind for n in tree.find_all(name="TShape")] == ["ntTypeDecl"]
    assert len(tree.find_all()) == len(tree)


@pytest.mark.parametrize("call, error", [
    (lambda t: t.find_all("ntNothing"), ValueError),
    (lambda t: t.find_all("Method", nmae="P"), TypeError),
    (lambda t: t.find("Method", name=1), TypeError),
    (lambda t: t.find(1), TypeError),
    (lambda t: t.node_at("1", 1), TypeError),
    (lambda t: walk(t), TypeError),
])
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call(parse("unit A; end."))


def test_node_at_is_the_deepest_node_holding_the_position():
    src = "begin\n  x := Foo(a, b);\nend."
    tree = parse(src)
    at = tree.node_at(2, 12)  # the "a"
    assert (at.kind, at["name"]) == ("ntIdentifier", "a")
    assert tree.node_at(line=2, col=3)["name"] == "x"
    chain = []
    while at is not None:
        chain.append(at.kind)
        at = at.parent
    assert chain[-1] == "ntUnit" and "ntAssign" in chain
    assert tree.node_at(9, 1) is None and tree.node_at(0, 0) is None


@pytest.mark.parametrize("src", list(SOURCES.values()) + [
    "&begin &Type x", "'unterminated\n'x'''", "{a\nb} (* c *) // d\r\n{$R+}", "€ ! ? ~ \"", "// a\r\r\n//\r\n// b\r",
])
def test_tokens_agree_with_the_token_list(src):
    got = tokens(src)
    assert all(type(t) is Token for t in got)
    assert tokens_match_token_list(got, tarnwick.lex_to_serialized(src, ""))


@pytest.mark.parametrize("src, skipped", [
    ("unit A; interface end.", []),
    ("unit A; 42 'x' ; implementation end.", [("number", "42", 1, 9), ("string", "'x'", 1, 12)]),
    ("var 1: Integer; b: Byte;", [("number", "1", 1, 5), ("symbol", ":", 1, 6)]),
    ("type T = class procedure P; ) public X: Integer; end;", [("symbol", ")", 1, 29)]),
    ("begin if a then b else else c; end.", [("keyword", "else", 1, 24)]),
    # Left out of the tree by design, not skipped: initial values, exception
    # variables, external clauses, the "." of "end." and ";" separators.
    ("var a: Integer = 5; begin try except on E: Exception do ; end; end.", []),
    ("procedure P; external 'lib' name 'Q';;; begin end.", []),
    # Passed over by rules that cannot read them, each where it stands.
    ("unit A platform; end.", [("keyword", "platform", 1, 8)]),
    ("uses A, 1, B;", [("number", "1", 1, 9)]),
    ("var a = 5; b: Byte;", [("symbol", "=", 1, 7), ("number", "5", 1, 9)]),
    ("type A: Integer;", [("symbol", ":", 1, 7)]),
    ("type E = (a, 1, b);", [("number", "1", 1, 14), ("symbol", ",", 1, 15)]),
    ("type R = record case Byte of 0: (1); end;", [("number", "1", 1, 34)]),
    ("type T = class class const C = 1; end;",
     [("keyword", "const", 1, 22), ("identifier", "C", 1, 28), ("symbol", "=", 1, 30), ("number", "1", 1, 32)]),
    ("type T = class procedure IFoo.Bar = Baz x; end;", [("identifier", "x", 1, 41)]),
    ("unit A; initialization x begin y; end.", [("keyword", "begin", 1, 26), ("identifier", "y", 1, 32)]),
    ("unit A; initialization asm end.", [("keyword", "asm", 1, 24)]),
    ("begin case x of 1: a; 2 b; end; end.",
     [("number", "2", 1, 23), ("identifier", "b", 1, 25), ("symbol", ";", 1, 26), ("keyword", "end", 1, 28),
      ("symbol", ";", 1, 31), ("keyword", "end", 1, 33), ("symbol", ".", 1, 36)]),
    # A member line read first as a type declaration is read once.
    ("type T = class type X = Integer; Y: Byte; end;", []),
], ids=["none", "unit level", "not a name", "stray in class", "else twice", "initial value",
        "external clause", "unit header", "uses clause", "variable without type", "type without =",
        "enumeration", "variant fields", "class const", "resolution clause", "statement run",
        "asm in initialization", "case arm without colon", "member line"])
def test_skipped_tokens(src, skipped):
    tree = parse(src, "s.pas")
    assert tree.skipped == skipped
    assert all(type(t) is Token for t in tree.skipped)
    # One diagnostic for each run of neighbouring skipped tokens.
    assert all(type(d) is Diagnostic for d in tree.diagnostics)
    assert diagnostics_cover_skipped(tree, "s.pas")
    # What the grammar skips changes nothing in its output.
    assert tree.to_serialized() == tarnwick.parse_to_serialized(src, "s.pas")
    assert read(tree.to_serialized()).skipped == read(tree.to_serialized()).diagnostics == []


@pytest.mark.parametrize("name", sorted(n for n in os.listdir(DATA) if n.endswith(".pas")))
def test_diagnostics_cover_the_skipped_tokens_of_the_test_units(name):
    with open(os.path.join(DATA, name), encoding="utf-8") as f:
        tree = parse(f.read(), name)
    assert diagnostics_cover_skipped(tree, name)
    assert sum(d.tokens for d in tree.diagnostics) == len(tree.skipped)


def test_diagnostic_fields():
    tree = parse("unit A;\ninterface\ntype T = class procedure P; )\n  ] public end;\nend.", "a.pas")
    # The run of ")" and "]", from the first to just after the last.
    assert tree.diagnostics == [("tokens that start no member of the type", "a.pas", 3, 29, 4, 4, 2)]
    d = tree.diagnostics[0]
    assert d._fields == ("message", "file", "line", "col", "end_line", "end_col", "tokens")
    assert Diagnostic.__module__ == "tarnwick_tree"


def test_serialized_size():
    tree = parse(SOURCES["class with methods"], "s.pas")
    assert tree.serialized_size() == len(tree.to_serialized().encode("utf-8"))
    with pytest.raises(MemoryError, match=REFUSED):
        parse(nested_fields(7)).serialized_size()


def test_token_is_a_named_tuple():
    t = tokens("x")[0]
    assert t == ("identifier", "x", 1, 1) and t._fields == ("kind", "value", "line", "col")
    assert t._replace(value="y").value == "y" and Token.__module__ == "tarnwick_tree"


@pytest.mark.parametrize("text, message", [
    ("", "the header"),
    ("# file_name=a", "no node line"),
    ("# file_name=a\nntUnit line=1 col=1 end_line=1 end_col=1\n", "line 3: an empty line"),
    ("# file_name=a\nntNothing line=1 col=1 end_line=1 end_col=1", "unknown node kind"),
    ("# file_name=a\nntUnit line=01 col=1 end_line=1 end_col=1", "malformed number"),
    ("# file_name=a\nntUnit line=1 col=1 end_line=1 end_col=4294967296", "past 32 bits"),
    ("# file_name=a\n  ntUnit line=1 col=1 end_line=1 end_col=1", "deeper"),
    ("# file_name=a\nntUnit line=1 col=1 end_line=1 end_col=1\nntUnit line=1 col=1 end_line=1 end_col=1",
     "a second root"),
    ("# file_name=a\nntUnit line=1 col=1 end_line=1 end_col=1 bogus=1", "unknown attribute"),
    ("# file_name=a\nntUnit line=1 col=1 end_line=1 end_col=1\nvalue=x", "follows no node"),
    ("# file_name=a\nntUnit line=1 col=1 end_line=1 end_col=1\n  value=a\\qb", "unknown escape"),
    ("# file_name=a\\", "backslash at the end"),
])
def test_read_refuses_what_is_not_a_tree_text(text, message):
    with pytest.raises(ValueError, match=message):
        read(text)


def test_read_splits_values_at_the_next_key():
    # A value holding " key=" of a key that sorts after its own ends there:
    # that is what the writer writes for two attributes.
    text = ("# file_name=a\nntType line=1 col=1 end_line=1 end_col=1 kind=a name=b "
            "type=x name=y source_positions=1:1,1:3")
    node = read(text).root
    assert node.attributes == {"kind": "a", "name": "b", "type": "x name=y"}
    assert node.source_positions == [(1, 1), (1, 3)]
    assert read(text).to_serialized() == text


def test_visitor_calls_methods_by_kind_in_document_order():
    class Collect(NodeVisitor):
        def __init__(self):
            self.seen = []

        def visit_Method(self, node):
            self.seen.append(node["name"])
            self.generic_visit(node)

        def visit_Name(self, node):
            self.seen.append(node.value)

        def visit_Type(self, node):  # not descended into: its names are not seen
            self.seen.append("type")

    visitor = Collect()
    visitor.visit(parse("procedure P(a: Integer); procedure Q; begin end; begin end;").root)
    assert visitor.seen == ["P", "a", "type", "Q"]

    class Overriding(NodeVisitor):
        def __init__(self):
            self.kinds = []

        def visit(self, node):
            self.kinds.append(node.kind)
            super().visit(node)

    o = Overriding()
    o.visit(parse("var a: Integer;").root)
    assert o.kinds == [n.kind for n in parse("var a: Integer;")]


def deep_source(depth):
    return "begin " * depth + "x" + " end" * depth + "."


def test_deep_trees_on_a_small_stack():
    depth = 30_000
    src = deep_source(depth)

    def work():
        tree = parse(src)
        text = tree.to_serialized()
        nodes = list(walk(tree.root))
        deepest = nodes[-1]
        results = (
            text == tarnwick.parse_to_serialized(src, ""),
            len(nodes) == len(tree),
            read(text).to_serialized() == text,
            tree.root.extent,
            tree.node_at(1, 6 * depth + 1) == deepest,
        )

        class Count(NodeVisitor):
            count = 0

            def visit_Identifier(self, node):
                self.count += 1

        counter = Count()
        counter.visit(tree.root)
        del nodes, tree
        # The deepest node alone keeps its chain of parents; dropping it
        # releases the chain without nesting.
        chain = 0
        node = deepest
        while node is not None:
            chain += 1
            node = node.parent
        del node, deepest
        return results, counter.count, chain

    (same_text, walked_all, read_back, extent, found), identifiers, chain = run_on_small_stack(work)
    assert same_text and walked_all and read_back and found
    assert extent == (1, 1, 1, 6 * depth + 2)  # the `end` words make no node
    assert identifiers == 1 and chain > depth


def nested_fields(depth):
    src = "Integer"
    for _ in range(depth):
        src = f"record a, b, c, d, e, f, g, h, i, j: {src}; end"
    return f"type T = {src};"


def test_tree_whose_text_passes_the_output_limit():
    small = parse(nested_fields(3))
    assert len(small) == len(node_kinds(small.to_serialized())) > 1000
    src = nested_fields(7)
    with pytest.raises(MemoryError, match=REFUSED):
        tarnwick.parse_to_serialized(src, "t.pas")
    tree = parse(src, "t.pas")
    assert len(tree) == 33333334  # 10^7 + 10^6 + ... + 1 type nodes, 3 * that many in all
    with pytest.raises(MemoryError, match=REFUSED):
        tree.to_serialized()
    # Too many places to number at all.
    with pytest.raises(MemoryError, match=REFUSED):
        parse(nested_fields(20))


def test_threads_share_and_walk_trees():
    trees = [parse(src, name) for name, src in SOURCES.items()]
    expected = [(t.to_serialized(), [n.kind for n in t]) for t in trees]
    errors = []

    def work(k):
        try:
            for round in range(30):
                for i, t in enumerate(trees):
                    j = (i + k + round) % len(trees)
                    t = trees[j]
                    assert [n.kind for n in walk(t.root)] == expected[j][1]
                    assert t.to_serialized() == expected[j][0]
                    own = parse(t.source, t.file_name)
                    assert own.to_serialized() == expected[j][0]
                    if t.find("Identifier") is not None:
                        assert t.node_at(*t.find("Identifier").extent[:2]) is not None
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_module_surface():
    assert tarnwick_tree.PanicException is tarnwick.PanicException
    assert tarnwick.__all__ == ["version", "lex_to_serialized", "parse_to_serialized"]
    assert all(getattr(tarnwick_tree, name) is not None for name in tarnwick_tree.__all__)
    assert "Diagnostic" in tarnwick_tree.__all__
    with pytest.raises(TypeError):
        parse(1)
    with pytest.raises(TypeError):
        read(b"x")
    with pytest.raises(UnicodeEncodeError):
        parse("\ud800")
    with pytest.raises(TypeError):
        tarnwick_tree.Node()


def readme_recipes():
    """The Pascal unit, and each recipe with its printed output, of the
    README's "Working with trees"."""
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Working with trees"):readme.index("## Conditional compilation")]
    blocks = re.findall(r"```(\w+)\n(.*?)```", section, re.S)
    unit = next(body for kind, body in blocks if kind == "pascal")
    recipes = [(body, blocks[i + 1][1]) for i, (kind, body) in enumerate(blocks)
               if kind == "python" and i + 1 < len(blocks) and blocks[i + 1][0] == "text"]
    return unit, recipes


@pytest.mark.parametrize("index", range(4))
def test_readme_recipe(index, tmp_path, monkeypatch):
    unit, recipes = readme_recipes()
    assert len(recipes) == 4
    code, expected = recipes[index]
    (tmp_path / "Shapes.pas").write_text(unit, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, f"recipe {index}", "exec"), {"__name__": "recipe"})
    assert out.getvalue() == expected


def test_readme_recipes_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    _, recipes = readme_recipes()
    for i, (code, _) in enumerate(recipes):
        (tmp_path / f"recipe_{i}.py").write_text(code, encoding="utf-8")
    src = Path(__file__).resolve().parent.parent / "src"
    env = dict(os.environ, MYPYPATH=str(src))
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         *sorted(str(p) for p in tmp_path.glob("recipe_*.py"))],
        capture_output=True, text=True, env=env, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


# ---- Source views: spans, texts, tokens, comments -------------------------------

VIEWED = "unit Ü;\r\ninterface\r\nvar é, 日本: Integer; { c }\r\nconst S = 'ä''b';\r\nimplementation\r\nend.\r\n"


@pytest.mark.parametrize("grammar, kind, span, text", [
    ("complete", "Variable", (24, 39), "é, 日本: Integer;"),
    ("complete", "Constant", (53, 64), "S = 'ä''b';"),
    ("complete", "Unit", (0, 86), VIEWED.rstrip()),
    # The specified tree's nodes span what they and their descendants hold.
    ("specified", "Variable", (24, 38), "é, 日本: Integer"),
    ("specified", "Constant", (53, 63), "S = 'ä''b'"),
    ("specified", "Unit", (0, 80), VIEWED[:80]),
])
def test_span_and_text_index_the_source_in_code_points(grammar, kind, span, text):
    tree = tarnwick_tree.parse(VIEWED, grammar=grammar)
    node = tree.find(kind)
    assert (node.span, node.text) == (span, text)
    assert tree.source[span[0]:span[1]] == text


@pytest.mark.parametrize("src, kind, values", [
    (VIEWED, "Variables", ["var", "é", ",", "日本", ":", "Integer", ";"]),
    ("procedure P; { a } begin (* b *) end;", "Method",
     ["procedure", "P", ";", "{ a }", "begin", "(* b *)", "end", ";"]),
    ("begin {$R+} x := 1 // c\r\nend.", "Statements", ["begin", "{$R+}", "x", ":=", "1", "// c", "end"]),
])
def test_node_tokens_hold_the_comments_between_its_tokens(src, kind, values):
    tree = tarnwick_tree.parse(src)
    got = tree.find(kind).tokens
    assert [t.value for t in got] == values
    assert all(t in tokens(src) for t in got)


def test_tree_comments_leave_directives_out():
    tree = tarnwick_tree.parse("{$R+} { a }\r\n// b\r\nbegin (* c *) end.")
    assert tree.comments == [Token("comment", "{ a }", 1, 7), Token("comment", "// b", 2, 1),
                             Token("comment", "(* c *)", 3, 7)]


TYPES = "type\n  TA = Integer; // of A\n  { B }\n{}\n  TB = Byte;\n"


@pytest.mark.parametrize("src, name, comments, doc", [
    # A block right above; a blank line ends it; a comment after code on
    # its line belongs to that code.
    ("type\n  /// The A.\n  ///   <b>x</b>\n  TA = Integer;", "TA",
     ["/// The A.", "///   <b>x</b>"], "The A.\n  <b>x</b>"),
    ("type\n  // far\n\n  // near\n  TA = Integer;", "TA", ["// near"], "near"),
    ("type\n  TX = Byte; // of X\n  TA = Integer;", "TA", [], None),
    ("type TA = Integer; // of A\r\n", "TA", ["// of A"], "of A"),
    (TYPES, "TA", ["// of A"], "of A"),
    (TYPES, "TB", ["{ B }", "{}"], "B\n"),
    ("type\n  (* one\n     two *)\n  TA = Integer;", "TA", ["(* one\n     two *)"], "one\n     two"),
    ("type\r\n  { one\r\n    two }\r\n  TA = Integer;", "TA", ["{ one\r\n    two }"], "one\n    two"),
    ("type\n  TA = Integer;", "TA", [], None),
])
def test_comments_and_doc_of_a_declaration(src, name, comments, doc):
    node = tarnwick_tree.parse(src).find("TypeDecl", name=name)
    assert [c.value for c in node.comments] == comments
    assert node.doc == doc


def test_views_need_the_source():
    tree = read(parse("unit U; end.").to_serialized())
    for view in ("span", "text", "tokens", "comments", "doc"):
        with pytest.raises(ValueError, match="no source"):
            getattr(tree.root, view)
    with pytest.raises(ValueError, match="no source"):
        tree.comments


def test_node_search_covers_its_subtree_and_ancestors_reach_the_root():
    tree = tarnwick_tree.parse(
        "unit U; interface type TA = class procedure P; end; TB = class procedure P; procedure Q; end;"
        " implementation end.")
    second = tree.find("TypeDecl", name="TB")
    assert [m["name"] for m in second.find_all("Method")] == ["P", "Q"]
    assert second.find("ntMethod", name="Q") == second.find_all(kind="procedure")[1]
    assert second.find_all("TypeDecl") == [second] and second.find("TypeDecl", name="TA") is None
    assert [a.kind for a in second.find("Method").ancestors()] == \
        ["ntType", "ntTypeDecl", "ntTypeSection", "ntInterface", "ntUnit"]
    assert tree.root.ancestors() == [] and tree.root.find_all() == list(tree)
    with pytest.raises(ValueError):
        second.find_all("ntMetod")


def test_views_of_a_preprocessed_tree(tmp_path):
    # The code the conditionals leave out has no tokens or comments in the
    # views; a node holding code of an included file has no span in the text.
    (tmp_path / "decls.inc").write_text("const B = 2;\n")
    src = ("unit U;\ninterface\nconst\n{$IFDEF X}\n  A = 1; // x\n{$ELSE}\n  A = 3; // not x\n"
           "{$ENDIF}\n  C = 4;\n{$I decls.inc}\nimplementation\nend.\n")
    tree = tarnwick_tree.parse(src, "u.pas", defines=["X"], include_path=[tmp_path])
    assert [c.value for c in tree.comments] == ["// x"]
    constants = tree.find("Constants")
    assert [t.value for t in constants.tokens] == \
        ["const", "{$IFDEF X}", "A", "=", "1", ";", "// x", "{$ELSE}", "{$ENDIF}", "C", "=", "4", ";"]
    assert [c.doc for c in constants.children] == ["x", None]
    for node in (tree.root, tree.find_all("Constants")[1]):
        with pytest.raises(ValueError, match="included"):
            node.span
    assert tree.find("Implementation").text == "implementation"
