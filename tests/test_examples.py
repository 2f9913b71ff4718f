"""The worked tools of examples/, run as a user runs them, on small units."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick_tree

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
DATA = ROOT / "tests" / "data"
HAS_DOC = hasattr(tarnwick_tree.parse("unit A; end.").root, "doc")


def run(tool, *args, cwd=DATA, env=None):
    # No bytecode: examples/ holds sources only.
    env = dict(os.environ if env is None else env, PYTHONDONTWRITEBYTECODE="1")
    result = subprocess.run([sys.executable, str(EXAMPLES / tool), *map(str, args)], capture_output=True,
                            text=True, cwd=cwd, env=env, timeout=120)
    assert "Traceback" not in result.stderr, result.stderr
    return result


def write(folder, files):
    for name, text in files.items():
        (folder / name).write_text(text, encoding="utf-8")
    return folder


# Counted by hand from the source (the rule in examples/metrics.py).
METRICS_ROWS = [
    "file,routine,first_line,last_line,lines,complexity,depth",
    "metrics_sample.pas,TCounter.Reset,24,27,4,1,0",  # straight-line code
    "metrics_sample.pas,TCounter.Classify,29,44,16,9,1",  # 3 case arms, an if chain of 3, or + and
    "metrics_sample.pas,TCounter.Scan,46,71,26,8,3",  # for > while > try; and, 2 handlers, repeat, or
    "metrics_sample.pas,IsEven,48,51,4,1,0",  # nested; an `and` outside a condition
    "metrics_sample.pas,Clamp,73,93,21,4,2",  # an if in an anonymous method; else begin if
    "metrics_sample.pas,Report,95,100,6,4,2",  # with > if; a or b or c
]


def test_metrics_rows():
    result = run("metrics.py", "metrics_sample.pas")
    assert (result.returncode, result.stdout.splitlines()) == (0, METRICS_ROWS)


def test_metrics_walks_a_folder_into_a_file(tmp_path):
    write(tmp_path, {"b.pas": "unit B; implementation procedure P; begin end; end.", "a.inc": "procedure Q; begin if a then ; end;",
                     "notes.txt": "procedure R; begin end;"})
    result = run("metrics.py", ".", "--out", "m.csv", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, "")
    assert (tmp_path / "m.csv").read_text().splitlines()[1:] == ["./a.inc,Q,1,1,1,2,1", "./b.pas,P,1,1,1,1,0"]


def test_metrics_of_tree_sitter_agree_where_it_reads_the_file():
    """The benchmark's tree-sitter version of the metric gives the same rows
    on the files its tree holds no error in."""
    pytest.importorskip("tree_sitter_pascal")
    sys.path[:0] = [str(EXAMPLES), str(ROOT / "bench")]
    try:
        import bench
        import metrics
        import tree_sitter_metrics
    finally:
        del sys.path[:2]
    parser = bench.tree_sitter_parser()
    compared = 0
    for path in sorted(DATA.glob("*.pas")) + sorted(EXAMPLES.glob("*.pas")) + sorted(EXAMPLES.glob("*.dpr")):
        data = path.read_bytes()
        theirs = parser.parse(data)
        if not theirs.root_node.has_error:
            ours = metrics.routines(path.name, tarnwick_tree.parse(data.decode("utf-8")))
            assert tree_sitter_metrics.routines(path.name, theirs, parser.language) == ours, path.name
            compared += len(ours)
    assert compared >= 30


GRAPH_FILES = {
    "Shop.Core.pas": "unit Shop.Core; interface uses System.SysUtils; implementation uses shop.db; end.",
    "Shop.Db.pas": "unit Shop.Db; interface implementation uses Shop.Core, Data.DB; end.",
    "Shop.dpr": "program Shop; uses Shop.Core in 'Shop.Core.pas'; begin end.",
    "ShopPkg.dpk": "package ShopPkg; requires rtl; contains Shop.Db; end.",
    "Shared.inc": "const Version = 2;",
}
GRAPH_NODES = ['  "Shop.Core";', '  "Shop.Db";', '  "Shop" [peripheries=2];', '  "ShopPkg" [peripheries=2];']
GRAPH_EXTERNAL = ['  "System.SysUtils" [color=grey, fontcolor=grey];', '  "Data.DB" [color=grey, fontcolor=grey];',
                  '  "rtl" [color=grey, fontcolor=grey];']
GRAPH_EDGES = [
    ('  "Shop.Core" -> "System.SysUtils";', True),
    ('  "Shop.Core" -> "Shop.Db" [style=dashed];', False),  # the name as the unit declares it
    ('  "Shop.Db" -> "Shop.Core" [style=dashed];', False),
    ('  "Shop.Db" -> "Data.DB" [style=dashed];', True),
    ('  "Shop" -> "Shop.Core";', False),
    ('  "ShopPkg" -> "rtl" [style=dotted];', True),
    ('  "ShopPkg" -> "Shop.Db" [style=bold];', False),
]
GRAPH_HEAD = ["digraph uses {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];"]


@pytest.mark.parametrize("local", [False, True], ids=["all", "local"])
def test_uses_graph_dot(tmp_path, local):
    write(tmp_path, GRAPH_FILES)
    result = run("uses_graph.py", ".", *(["--local"] if local else []), cwd=tmp_path)
    assert result.returncode == 0
    edges = [edge for edge, external in GRAPH_EDGES if not (local and external)]
    assert result.stdout.splitlines() == GRAPH_HEAD + GRAPH_NODES + ([] if local else GRAPH_EXTERNAL) + edges + ["}"]


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")
def test_uses_graph_svg(tmp_path):
    write(tmp_path, GRAPH_FILES)
    result = run("uses_graph.py", ".", "--svg", "g.svg", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, "")
    svg = (tmp_path / "g.svg").read_text()
    assert "<svg" in svg and ">Shop.Db</text>" in svg and ">Data.DB</text>" in svg


def test_uses_graph_svg_without_dot(tmp_path):
    write(tmp_path, GRAPH_FILES)
    env = dict(os.environ, PATH=str(tmp_path))  # a PATH without Graphviz
    result = run("uses_graph.py", ".", "--svg", "g.svg", cwd=tmp_path, env=env)
    assert result.returncode == 2 and not (tmp_path / "g.svg").exists()
    assert "needs the Graphviz program dot, which is not on the PATH" in result.stderr


def test_examples_pass_mypy_strict():
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                             str(EXAMPLES)], capture_output=True, text=True,
                            env=dict(os.environ, MYPYPATH=str(ROOT / "src")), timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


DOCUMENTED = {
    "Shop.Prices.pas": """/// Prices and discounts of the shop.
unit Shop.Prices;

interface

type
  /// A price in cents, never negative.
  TCents = type Int64;

  /// <summary>A price list.</summary>
  ///   Keyed by item code.
  [Serializable]
  TPriceList = class(TObject)
  private
    FItems: TArray<TCents>;
  public
    /// Adds a price; raises on a negative one.
    procedure Add(const Code: string;
      Price: TCents);
    property Count: Integer read GetCount; // how many prices
  end;

{ Rounds half up to whole cents. }
function RoundCents(const Value: Double): TCents;

implementation

function Hidden: Integer; begin Result := 0; end;

function RoundCents(const Value: Double): TCents; begin Result := Trunc(Value + 0.5); end;

end.
""",
    "Shop.dpr": "program Shop;\n// Starts the shop.\nprocedure Run; begin end;\nbegin Run; end.\n",
    "Shared.inc": "/// Not a unit.\nconst Version = 2;\n",
}
DOCS_PAGES = {
    "Shop.Prices": """# unit Shop.Prices

Prices and discounts of the shop.

## Types

### TCents

`TCents = type Int64`

A price in cents, never negative.

### TPriceList

`TPriceList = class(TObject)`

A price list.
Keyed by item code.

- `procedure Add(const Code: string; Price: TCents)` (public): Adds a price; raises on a negative one.
- `property Count: Integer read GetCount` (public): how many prices

## Routines

### RoundCents

`function RoundCents(const Value: Double): TCents`

Rounds half up to whole cents.
""",
    "Shop": "# program Shop\n\n## Routines\n\n### Run\n\n`procedure Run`\n\nStarts the shop.\n",
}


@pytest.mark.skipif(not HAS_DOC, reason="Node has no doc")
def test_docs_pages(tmp_path):
    write(tmp_path, DOCUMENTED)
    result = run("docs.py", ".", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, DOCS_PAGES["Shop.Prices"] + "\n" + DOCS_PAGES["Shop"])
    assert run("docs.py", ".", "--out", "api", cwd=tmp_path).returncode == 0
    assert {p.name: p.read_text() for p in (tmp_path / "api").iterdir()} == {
        name + ".md": text for name, text in DOCS_PAGES.items()}


PUBLIC = ["procedure Add(const Code: string; Price: TCents)", "property Count: Integer read GetCount"]


@pytest.mark.parametrize("private, listed", [(False, PUBLIC), (True, ["FItems: TArray<TCents>", *PUBLIC])])
def test_docs_members(tmp_path, private, listed):
    write(tmp_path, DOCUMENTED)
    result = run("docs.py", "Shop.Prices.pas", *(["--private"] if private else []), cwd=tmp_path)
    members = [line.split("`")[1] for line in result.stdout.splitlines() if line.startswith("- ")]
    assert (result.returncode, members) == (0, listed)


@pytest.mark.parametrize("tool, args, fence", [
    ("metrics.py", ["examples"], "text"),
    ("uses_graph.py", ["examples"], "text"),
    pytest.param("docs.py", ["examples/Inventory.pas"], "markdown",
                 marks=pytest.mark.skipif(not HAS_DOC, reason="Node has no doc")),
])
def test_readme_samples_are_what_the_tools_print(tool, args, fence):
    """Each sample of the README's "Worked tools" is lines of the tool's
    output, in order ("..." stands for lines left out)."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index(f"**`{tool}`**"):]
    sample = section[section.index(f"```{fence}\n") + len(fence) + 4:section.index("```\n", section.index(f"```{fence}"))]
    output = iter(run(tool, *args, cwd=ROOT).stdout.splitlines())
    missing = [line for line in sample.splitlines() if line.strip() != "..." and line not in output]
    assert missing == []
