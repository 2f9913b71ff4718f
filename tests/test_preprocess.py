"""Conditional compilation through tarnwick_tree: the statements kept per
directive and per form of {$IF} expression, diagnostics, include files in a
temporary folder, the targets, and a property of random nestings against a
model of them."""

import re
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import tarnwick
import tarnwick_tree
from shapes import shape


def kept(body, **options):
    """The statements a program of `body` keeps, as shapes."""
    tree = tarnwick_tree.parse(f"program P; begin {body} end.", "t.pas", **options)
    return " ".join(shape(c) for c in tree.root.children[-1].children)


def messages(tree):
    return [f"{d.file}:{d.line}:{d.col} {d.message}" for d in tree.diagnostics]


@pytest.mark.parametrize("body, defines, expected", [
    ("{$IFDEF X} A; {$ENDIF} B", ["X"], "A B"),
    ("{$IFDEF X} A; {$ENDIF} B", ["Y"], "B"),
    ("{$ifdef x} A; {$endif} B", ["X"], "A B"),
    ("(*$IFDEF X*) A; (*$ENDIF*) B", ["Y"], "B"),
    ("{$IFNDEF X} A; {$ELSE} B; {$ENDIF} C", ["X"], "B C"),
    ("{$IFNDEF X} A; {$ELSE} B; {$ENDIF} C", ["Y"], "A C"),
    ("{$IF Defined(X)} A; {$ELSEIF Defined(Y)} B; {$ELSE} C; {$IFEND} D", ["Y"], "B D"),
    ("{$IF Defined(X)} A; {$ELSEIF Defined(Y)} B; {$ELSE} C; {$ENDIF} D", ["Z"], "C D"),
    ("{$DEFINE Z} {$IFDEF Z} A; {$ENDIF} B", ["Y"], "A B"),
    ("{$UNDEF X} {$IFDEF X} A; {$ENDIF} B", ["X"], "B"),
    ("{$IFDEF Y} {$DEFINE Z} {$ENDIF} {$IFDEF Z} A; {$ENDIF} B", ["X"], "B"),
    ("{$IFDEF X} {$IFDEF Y} A; {$ELSE} B; {$ENDIF} {$ELSE} C; {$ENDIF} D", ["X"], "B D"),
    ("{$IFDEF Y} {$IFDEF X} A; {$ELSE} B; {$ENDIF} {$ELSE} C; {$ENDIF} D", ["X"], "C D"),
    ("{$DEFINE M := 3} {$IF M = 3} A; {$ENDIF} B", ["X"], "A B"),
    ("{$I+} {$R+} {$IFOPT R+} A; {$ENDIF} B", ["X"], "A B"),
    ("{$RANGECHECKS OFF} {$IFOPT R-} A; {$ENDIF} B", ["X"], "A B"),
])
def test_directives(body, defines, expected):
    assert kept(body, defines=defines) == expected


@pytest.mark.parametrize("expression, target, taken", [
    ("CompilerVersion >= 36.0", "delphi12-win64", True),
    ("CompilerVersion >= 36.0", "delphi11-win64", False),
    ("RTLVersion > 35", "delphi12-linux64", True),
    ("SizeOf(Pointer) = 8", "delphi12-win64", True),
    ("SizeOf(Pointer) = 8", "delphi12-win32", False),
    ("SizeOf(Extended) = 10", "delphi12-win32", True),
    ("SizeOf(Integer) = 2", "fpc3.2-linux64", True),
    ("Defined(WIN64) and not Defined(WIN32)", "delphi12-win64", True),
    ("Defined(FPC) and (FPC_FULLVERSION > 30000)", "delphi12-win64", False),
    ("FPC_FULLVERSION >= 30200", "fpc3.2-win64", True),
    ("Declared(CompilerVersion)", "delphi12-win64", True),
    ("1 + 2 * 3 = 7", "delphi12-win64", True),
    ("(1 + 2) * 3 = 7", "delphi12-win64", False),
    ("($10 = 16) and (%101 = 5) and (&17 = 15)", "delphi12-win64", True),
    ("(7 div 2 = 3) and (7 mod 2 = 1) and (1 shl 4 = 16) and (16 shr 2 = 4)", "delphi12-win64", True),
    ("True xor False", "delphi12-win64", True),
    ("'abc' < 'abd'", "delphi12-win64", True),
    ("10 / 4 = 2.5", "delphi12-win64", True),
    ("1 <> 1", "delphi12-win64", False),
    ("Defined(VER360) or Unknown", "delphi12-win64", True),
])
def test_expressions(expression, target, taken):
    tree = tarnwick_tree.parse(f"program P; begin {{$IF {expression}}} A; {{$ELSE}} B; {{$ENDIF}} end.",
                               target=target)
    assert " ".join(shape(c) for c in tree.root.children[-1].children) == ("A" if taken else "B")
    assert tree.diagnostics == []


@pytest.mark.parametrize("body, expected", [
    ("{$IFDEF D} A;", ["t.pas:1:18 conditional directive never closed"]),
    ("A; {$ENDIF}", ["t.pas:1:21 conditional directive without an opening {$IF}"]),
    ("{$IFDEF X} {$ELSE} {$ELSE} A; {$ENDIF}", ["t.pas:1:37 conditional directive after {$ELSE}"]),
    ("{$IF Nope > 1} A; {$ENDIF}", ["t.pas:1:18 unknown name in a conditional expression: Nope"]),
    ("{$IFDEF} A; {$ENDIF}", ["t.pas:1:18 malformed conditional expression: no name"]),
    ("{$IFOPT Z+} A; {$ENDIF}", ["t.pas:1:18 switch of unknown state in {$IFOPT}: Z"]),
    ("{$I Inc.inc} A", ["t.pas:1:18 include file not read: no include path was given: Inc.inc"]),
])
def test_directive_diagnostics(body, expected):
    tree = tarnwick_tree.parse(f"program P; begin {body} end.", "t.pas", defines=["D"])
    assert messages(tree) == expected


def test_inactive_ranges_and_order_of_diagnostics():
    text = "program P;\n{$IFDEF X}\n  uses A;  { note }\n{$ENDIF}\nbegin ) {$IF Nope} B; {$ENDIF} end."
    tree = tarnwick_tree.parse(text, "p.pas", defines=["D"])
    assert tree.inactive == [tarnwick_tree.InactiveRange("p.pas", 3, 3, 3, 20),
                             tarnwick_tree.InactiveRange("p.pas", 5, 20, 5, 22)]
    # The grammar's diagnostic first, where it stands in the text.
    assert [(d.line, d.col, d.tokens) for d in tree.diagnostics] == [(5, 7, 1), (5, 9, 0)]


def test_without_preprocessing_nothing_changes():
    text = "program P; begin {$IFDEF X} A; {$ELSE} B; {$ENDIF} {$I x.inc} end."
    plain = tarnwick_tree.parse(text, "t.pas", grammar="specified")
    assert plain.to_serialized() == tarnwick.parse_to_serialized(text, "t.pas")
    assert plain.inactive == [] and plain.diagnostics == []
    assert kept(text[len("program P; begin "):-len(" end.")]) == "A B"


def test_targets():
    table = tarnwick_tree.targets()
    names = [t.name for t in table]
    assert len(names) == len(set(names)) == 22
    win64 = table[names.index("delphi12-win64")]
    assert (win64.compiler, win64.platform) == ("delphi12", "win64")
    assert {"VER360", "MSWINDOWS", "WIN64"} <= set(win64.symbols)
    assert win64.constants["CompilerVersion"] == 36.0
    assert table[names.index("fpc3.2-linux64")].constants["FPC_FULLVERSION"] == 30202
    with pytest.raises(TypeError):
        win64.constants["X"] = 1  # type: ignore[index]
    with pytest.raises(TypeError):
        tarnwick_tree.Target()  # type: ignore[call-arg]
    # A Target and its name, in any case, are the same target.
    for target in (win64, "DELPHI12-Win64"):
        assert kept("{$IFDEF WIN64} A; {$ENDIF}", target=target) == "A"
    assert kept("{$IFDEF WIN64} A; {$ENDIF}", target="delphi12-win32") == ""


@pytest.mark.parametrize("options, error, match", [
    ({"target": "delphi13-win64"}, ValueError, "unknown target 'delphi13-win64'; the targets are delphi10.3-win32, "),
    ({"target": 12}, TypeError, "target must be a str, a tarnwick_tree.Target or None, not 'int'"),
    ({"defines": "X"}, TypeError, "defines must be a sequence of names, not a single str"),
    ({"defines": [1]}, TypeError, "an item of defines must be a str, not 'int'"),
    ({"include_path": "inc"}, TypeError, "include_path must be a sequence of folders, not a single str"),
])
def test_wrong_arguments(options, error, match):
    with pytest.raises(error, match=re.escape(match)):
        tarnwick_tree.parse("unit U; end.", **options)


def test_readme_target_table_matches_the_targets():
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    rows = re.findall(r"^\| `([^`]+)` \| (\S+) \| (\S+) \| ([^|]+) \|$", readme, re.M)
    by_name = {t.name: t for t in tarnwick_tree.targets()}
    assert [r[0] for r in rows] == list(by_name)
    for name, compiler, platform, symbols in rows:
        t = by_name[name]
        assert (t.compiler, t.platform) == (compiler, platform)
        assert set(symbols.split()) <= set(t.symbols), name


# ---------------------------------------------------------------------------
# Include files


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "inc").mkdir()
    (tmp_path / "Decls.inc").write_text("var\n  V: Integer;\n")
    (tmp_path / "Defs.inc").write_text("{$DEFINE FROM_INC}")
    (tmp_path / "Self.inc").write_text("{$I Self.inc}")
    (tmp_path / "Open.inc").write_text("{$IFDEF NOPE}\n  Hidden = 1;")
    (tmp_path / "inc" / "Path.inc").write_text("  Found = 1;\n")
    (tmp_path / "Latin.inc").write_bytes(b"  Caf\xe9 = 1;\n")
    (tmp_path / "Junk.inc").write_text(") )")
    (tmp_path / "Plus.inc").write_text("+")
    return tmp_path


def unit_with(folder, interface, **options):
    path = folder / "U.pas"
    path.write_text(f"unit U;\ninterface\n{interface}\nimplementation\nend.\n")
    return tarnwick_tree.parse_file(path, **options)


def names_and_files(tree):
    return [(n.value, Path(n.file).name, n.line) for n in tree.find_all("ntName")]


@pytest.mark.parametrize("interface, options, names, diagnostics", [
    ("{$I Decls.inc}", {}, [("V", "Decls.inc", 2)], []),
    ("{$INCLUDE 'decls'}", {}, [("V", "Decls.inc", 2)], []),
    ("{$I Defs.inc}\n{$IFDEF FROM_INC}const A = 1;{$ENDIF}", {}, [("A", "U.pas", 4)], []),
    ("const\n{$I Path.inc}", {"include_path": ["inc"]}, [("Found", "Path.inc", 1)], []),
    ("const\n{$I Path.inc}", {}, [], ["U.pas:4:1 include file not found: Path.inc"]),
    ("const\n{$I Latin.inc}", {}, [("Café", "Latin.inc", 1)], []),
    ("{$I Self.inc}", {}, [], ["Self.inc:1:1 include file includes itself: Self.inc"]),
    ("const\n{$I Open.inc}\n  Shown = 2;", {}, [("Shown", "U.pas", 5)],
     ["Open.inc:1:1 conditional directive never closed"]),
    # A run of tokens passed over is one diagnostic per file.
    ("{$I Junk.inc} )", {}, [], ["Junk.inc:1:1 tokens that start no declaration or section",
                                 "U.pas:3:15 tokens that start no declaration or section"]),
])
def test_includes(folder, monkeypatch, interface, options, names, diagnostics):
    monkeypatch.chdir(folder)
    tree = unit_with(folder, interface, target="delphi12-win64", **options)
    assert names_and_files(tree) == names
    assert [re.sub(r"^.*/", "", m) for m in messages(tree)] == diagnostics
    assert tree.source == (folder / "U.pas").read_text()


def test_node_spanning_files_has_the_file_of_its_start(folder):
    tree = unit_with(folder, "const C = 1 {$I Plus.inc} 2;", defines=["D"])
    add = tree.find("ntAdd")
    assert (Path(add.file).name, add.line, add.col) == ("U.pas", 3, 11)
    assert [(Path(c.file).name, c.line, c.col) for c in add.children] == [("U.pas", 3, 11), ("U.pas", 3, 27)]


def test_include_ranges_and_file_names(folder):
    tree = unit_with(folder, "const\n{$I Open.inc}", defines=["D"])
    assert tree.inactive == [tarnwick_tree.InactiveRange(str(folder / "Open.inc"), 2, 3, 2, 14)]
    assert tree.root.file == str(folder / "U.pas")
    # parse() reads include files only with an include path.
    text = (folder / "U.pas").read_text()
    assert "include file not read" in messages(tarnwick_tree.parse(text, str(folder / "U.pas"), defines=["D"]))[0]
    assert messages(tarnwick_tree.parse(text, str(folder / "U.pas"), include_path=[]))[0].endswith(
        "conditional directive never closed")


@pytest.mark.parametrize("data, encoding, result", [
    (b"caf\xc3\xa9", None, ("café", False)),
    (b"caf\xe9", None, ("café", True)),
    (b"\xef\xbb\xbfcaf\xc3\xa9", "cp1252", ("café", False)),
    (b"\xff\xfec\x00", None, ("c", False)),
    (b"caf\xe9", "latin-1", ("café", False)),
    (b"a\x00b", None, "binary file"),
    (b"ab\xe9", "utf-8", "cannot decode as utf-8: byte 0xe9 at offset 2"),
    (b"\xfe\xff\x00", None, "cannot decode as utf-16-be (byte-order mark): truncated data at offset 2"),
])
def test_decode(data, encoding, result):
    if isinstance(result, str):
        with pytest.raises(ValueError, match=re.escape(result)):
            tarnwick_tree.decode(data, encoding)
    else:
        assert tarnwick_tree.decode(data, encoding) == result


def readme_example():
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Conditional compilation"):readme.index("## Command line")]
    return re.findall(r"```(?:python|text)\n(.*?)```", section, re.S)


def test_readme_example(capsys):
    code, expected = readme_example()
    exec(compile(code, "README example", "exec"), {"__name__": "example"})
    assert capsys.readouterr().out == expected


def test_readme_example_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    import os
    import subprocess
    import sys
    (tmp_path / "example.py").write_text(readme_example()[0], encoding="utf-8")
    src = Path(__file__).resolve().parent.parent / "src"
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "example.py"],
                         capture_output=True, text=True, env=dict(os.environ, MYPYPATH=str(src)), cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


# ---------------------------------------------------------------------------
# Random nestings against a model: the tree of the kept tokens is the tree
# of the text with the code left out and all directives blanked.

SYMBOLS = ("A", "B", "C")


def items(depth):
    statement = st.integers(0, 99).map(lambda n: ("statement", f"S{n};"))
    switch = st.tuples(st.sampled_from(["DEFINE", "UNDEF"]), st.sampled_from(SYMBOLS))
    if depth == 0:
        return st.lists(st.one_of(statement, switch), max_size=4)
    block = st.tuples(st.just("if"), st.sampled_from(["IFDEF", "IFNDEF"]), st.sampled_from(SYMBOLS),
                      items(depth - 1), st.none() | items(depth - 1))
    return st.lists(st.one_of(statement, switch, block), max_size=4)


def render(nodes, defined, active, out):
    """Appends (text, kept) pieces for `nodes`, and runs the model's
    {$DEFINE}s and {$UNDEF}s of active code."""
    for node in nodes:
        if node[0] == "statement":
            out.append((node[1], active))
        elif node[0] in ("DEFINE", "UNDEF"):
            out.append((f"{{${node[0]} {node[1]}}}", False))
            if active:
                (defined.add if node[0] == "DEFINE" else defined.discard)(node[1])
        else:
            _, kind, symbol, then, otherwise = node
            taken = (symbol in defined) == (kind == "IFDEF")
            out.append((f"{{${kind} {symbol}}}", False))
            render(then, defined, active and taken, out)
            if otherwise is not None:
                out.append(("{$ELSE}", False))
                render(otherwise, defined, active and not taken, out)
            out.append(("{$ENDIF}", False))


@settings(max_examples=300, deadline=None)
@given(items(3), st.sets(st.sampled_from(SYMBOLS)), st.lists(st.sampled_from([" ", "\n", "  "]), min_size=1))
def test_random_nestings_equal_the_blanked_text(nodes, defines, gaps):
    pieces = []
    render(nodes, set(defines), True, pieces)
    text = blanked = "program P;\nbegin\n"
    for k, (piece, keep) in enumerate(pieces):
        gap = gaps[k % len(gaps)]
        text += piece + gap
        blanked += (piece if keep else " " * len(piece)) + gap
    text += "end.\n"
    blanked += "end.\n"
    tree = tarnwick_tree.parse(text, "r.pas", grammar="specified", defines=sorted(defines) or ["NONE"])
    assert tree.to_serialized() == tarnwick.parse_to_serialized(blanked, "r.pas")
    assert tree.diagnostics == []
