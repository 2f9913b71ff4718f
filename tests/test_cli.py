"""The `tarnwick` command, run as a separate process on small trees of files.

Expected outputs come from the module functions called in this process on the
same text, so every comparison is of whole texts.
"""

import codecs
import errno
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import time

import pytest

import tarnwick
import tarnwick_tree

UNIT = "unit Shapes;\n\ninterface\n\ntype\n  TShape = class\n    function Area: Double; virtual;\n  end;\n\nimplementation\n\nend.\n"
PROGRAM = "program Demo;\n{$APPTYPE CONSOLE}\nbegin\n  WriteLn('hi'); // greet\nend.\n"
INCLUDE = "{ shared settings }\nconst Limit = $FF;\n"
ODD = "unit Odd;\nvar\n  x := 1 ! 2;\nend.\n"  # "!" is an unknown token at 3:10
SOURCES = [UNIT, PROGRAM, INCLUDE, ODD]

SCRIPT = shutil.which("tarnwick", path=os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", "")]))


def expected(command, text, name):
    if command == "tokens":
        return tarnwick.lex_to_serialized(text, name)
    return tarnwick.parse_to_serialized(text, name)


def printed(command, *pairs):
    """What the command prints for (text, name) pairs: each output and a line feed."""
    return "".join(expected(command, text, name) + "\n" for text, name in pairs)


def write(path, content):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    return path


@pytest.fixture(params=["module", "script"])
def cli(request, tmp_path):
    """Runs the command in tmp_path: `python -m tarnwick_cli`, or the installed script."""
    if request.param == "script":
        if SCRIPT is None:
            pytest.skip("the tarnwick command is not installed")
        prefix = [SCRIPT]
    else:
        prefix = [sys.executable, "-m", "tarnwick_cli"]

    def run(*args, input=b"", env=None, timeout=300):
        result = subprocess.run([*prefix, *map(str, args)], input=input, capture_output=True,
                                cwd=tmp_path, env=env, timeout=timeout)
        assert b"Traceback" not in result.stderr, result.stderr.decode()
        return result

    return run


def out(result):
    return result.stdout.decode("utf-8")


def err_lines(result):
    return result.stderr.decode("utf-8").splitlines()


@pytest.fixture
def tree(tmp_path):
    """A small source tree under tmp_path/src, and the order the walk must give."""
    files = {
        "b.pas": UNIT,
        "A2.pas": PROGRAM,
        "a.pas": INCLUDE,
        "a/z.pas": UNIT.replace("Shapes", "Z"),
        "c/d/deep.dpr": PROGRAM,
        "c/lib.PAS": ODD,
        "c/set.inc": INCLUDE,
        "c/x.pp": UNIT,
        "c/y.dpk": "package Y;\nend.\n",
        "c/w.lpr": PROGRAM,
        "notes.txt": "not Pascal",
        "c/readme.md": "# not Pascal",
    }
    for rel, text in files.items():
        write(tmp_path / "src" / rel, text)
    # Sorted component by component, by code point; .txt and .md are not taken.
    order = ["A2.pas", "a/z.pas", "a.pas", "b.pas", "c/d/deep.dpr", "c/lib.PAS",
             "c/set.inc", "c/w.lpr", "c/x.pp", "c/y.dpk"]
    return files, order


def test_version(cli):
    result = cli("--version")
    assert (result.returncode, out(result)) == (0, f"tarnwick {tarnwick.version()}\n")


@pytest.mark.parametrize("command", ["tokens", "tree"])
def test_one_file(cli, tmp_path, command):
    write(tmp_path / "shapes.pas", UNIT)
    result = cli(command, "shapes.pas")
    assert (result.returncode, out(result), result.stderr) == (0, printed(command, (UNIT, "shapes.pas")), b"")


@pytest.mark.parametrize("command", ["tokens", "tree"])
def test_files_in_command_line_order(cli, tmp_path, command):
    write(tmp_path / "b.pas", UNIT)
    write(tmp_path / "sub" / "a.dpr", PROGRAM)
    write(tmp_path / "notes.txt", INCLUDE)  # named files are read whatever their extension
    result = cli(command, "b.pas", "sub/a.dpr", "notes.txt", "b.pas")
    assert result.returncode == 0
    assert out(result) == printed(command, (UNIT, "b.pas"), (PROGRAM, "sub/a.dpr"),
                                  (INCLUDE, "notes.txt"), (UNIT, "b.pas"))


@pytest.mark.parametrize("command", ["tokens", "tree"])
def test_standard_input(cli, tmp_path, command):
    write(tmp_path / "a.pas", UNIT)
    result = cli(command, "a.pas", "-", "a.pas", input=PROGRAM.encode())
    assert result.returncode == 0
    assert out(result) == printed(command, (UNIT, "a.pas"), (PROGRAM, "<stdin>"), (UNIT, "a.pas"))


@pytest.mark.skipif(sys.platform != "linux", reason="needs file names that are any bytes")
@pytest.mark.parametrize("command", ["tokens", "tree"])
def test_file_name_that_is_not_utf8(cli, tmp_path, command):
    write(tmp_path / "src" / "ok.pas", PROGRAM)
    (tmp_path / "src" / os.fsdecode(b"caf\xe9.pas")).write_text(UNIT)
    result = cli(command, "src")
    assert result.returncode == 0
    assert out(result) == printed(command, (UNIT, "src/caf\\xe9.pas"), (PROGRAM, "src/ok.pas"))


def test_line_breaks_and_non_ascii_pass_unchanged(cli, tmp_path):
    text = "unit Ünïcode;\r\n// café\r\nvar\tß: Integer;\r\nend."
    write(tmp_path / "u.pas", text)
    env = {**os.environ, "LC_ALL": "C", "LANG": "C"}
    env.pop("PYTHONIOENCODING", None)
    env.pop("PYTHONUTF8", None)
    result = cli("tree", "u.pas", env=env)
    assert (result.returncode, out(result)) == (0, printed("tree", (text, "u.pas")))


@pytest.mark.parametrize("command", ["tokens", "tree"])
def test_directory_walk(cli, tree, command):
    files, order = tree
    result = cli(command, "src")
    assert result.returncode == 0
    assert out(result) == printed(command, *((files[rel], "src/" + rel) for rel in order))


@pytest.mark.parametrize(
    "ext, taken",
    [
        (".txt,.md", ["c/readme.md", "notes.txt"]),
        ("inc,PP", ["c/set.inc", "c/x.pp"]),
        (".pas", ["A2.pas", "a/z.pas", "a.pas", "b.pas", "c/lib.PAS"]),
    ],
)
def test_ext_changes_the_walked_set(cli, tree, ext, taken):
    files, _ = tree
    result = cli("tokens", "--ext", ext, "src")
    assert result.returncode == 0
    assert out(result) == printed("tokens", *((files[rel], "src/" + rel) for rel in taken))


@pytest.mark.parametrize("command, suffix", [("tokens", ".tokens"), ("tree", ".tree")])
def test_out_mirrors_the_input_tree(cli, tmp_path, tree, command, suffix):
    files, order = tree
    write(tmp_path / "extra" / "single.pas", PROGRAM)
    result = cli(command, "--out", "result", "src", "extra/single.pas")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    written = sorted(str(p.relative_to(tmp_path / "result")) for p in (tmp_path / "result").rglob("*") if p.is_file())
    assert written == sorted([rel + suffix for rel in order] + ["single.pas" + suffix])
    for rel in order:
        content = (tmp_path / "result" / (rel + suffix)).read_bytes().decode("utf-8")
        assert content == printed(command, (files[rel], "src/" + rel))
    single = (tmp_path / "result" / ("single.pas" + suffix)).read_text(encoding="utf-8")
    assert single == printed(command, (PROGRAM, "extra/single.pas"))


def check_lines(result):
    """The summary without its time and speed, which differ from run to run."""
    lines = out(result).splitlines()
    assert re.fullmatch(r"time: \d+\.\d{3} s", lines[4]), lines[4]
    assert re.fullmatch(r"speed: \d+\.\d{2} MB/s", lines[5]), lines[5]
    return lines[:4] + lines[6:]


def test_check_summary(cli, tmp_path, tree):
    files, order = tree
    # Besides the UTF-8 files: two in Windows-1252 (one of them through "-"),
    # one in UTF-16 and one in UTF-8, both with a byte-order mark.
    latin = "unit B;\xff\xfe\nend. // \u20ac"
    marked = "unit M;\n// \u00e9t\u00e9\nend."
    raw = {"c/latin.pas": latin.encode("cp1252"), "m16.pas": "\ufeff".encode("utf-16-le") + marked.encode("utf-16-le"),
           "m8.inc": BOM + marked.encode()}
    for rel, data in raw.items():
        write(tmp_path / "src" / rel, data)
    write(tmp_path / "src" / "bin.inc", b"MZ\x90\x00\x03\x00")
    result = cli("check", "--grammar", "specified", "src", "-", input=PROGRAM.encode("cp1252") + b"{\x81}")
    texts = [files[rel] for rel in order] + [latin, marked, marked, PROGRAM + "{\x81}"]
    size = sum(len(files[rel].encode()) for rel in order) + sum(map(len, raw.values())) + len(PROGRAM) + 3
    tokens = sum(len(tarnwick.lex_to_serialized(t, "x").split("\n")) for t in texts)
    nodes = sum(
        sum(1 for line in tarnwick.parse_to_serialized(t, "x").split("\n")[1:] if not line.lstrip().startswith("value="))
        for t in texts
    )
    assert result.returncode == 1
    assert check_lines(result) == [
        f"files: {len(texts)}",
        f"bytes: {size}",
        f"tokens: {tokens}",
        f"nodes: {nodes}",
        "files read as Windows-1252: 2",
        "files with unknown tokens: 1",
        "  src/c/lib.PAS:3:10 '!'",
        # A word the grammar cannot read where it stands, and the rest of a
        # variable declaration without its type.
        "files with skipped tokens: 2",
        "  src/c/latin.pas: 1 from 1:8 '\xff\xfe'",
        "  src/c/lib.PAS: 4 from 3:5 ':='",
        "files with grammar diagnostics: 2",
        "  src/c/latin.pas: 1, the first at 1:8: tokens that start no declaration or section",
        "  src/c/lib.PAS: 1, the first at 3:5: tokens that end no declaration",
        "files not read: 1",
        "  src/bin.inc: binary file",
        "files refused: 0",
    ]
    assert err_lines(result) == ["tarnwick: src/bin.inc: binary file"]


@pytest.mark.parametrize(
    "text, shown, skipped",
    [
        ("\u20ac unit A;", "1:1 '\u20ac'", "3 from 1:1 '\u20ac'"),
        ("unit A;\n\tx := a \\ b ! c;", "2:9 '\\\\'", "7 from 2:2 'x'"),
        ("{ ! }\n// !\n'!' ? !", "3:5 '?'", "3 from 3:1 \"'!'\""),
    ],
    ids=["first-token", "backslash", "after-comments-and-strings"],
)
def test_check_names_the_first_unknown_and_skipped_token(cli, tmp_path, text, shown, skipped):
    write(tmp_path / "odd.pas", text)
    write(tmp_path / "fine.pas", UNIT)
    result = cli("check", "--grammar", "specified", "fine.pas", "odd.pas")
    assert result.returncode == 0
    assert check_lines(result)[4:] == ["files read as Windows-1252: 0", "files with unknown tokens: 1",
                                       f"  odd.pas:{shown}", "files with skipped tokens: 1",
                                       f"  odd.pas: {skipped}", "files with grammar diagnostics: 1",
                                       f"  odd.pas: 1, the first at {skipped.split()[2]}: tokens that start no "
                                       "declaration or section", "files not read: 0", "files refused: 0"]


def test_check_json(cli, tmp_path):
    damaged = "unit A;\ninterface\nimplementation\nprocedure P;\nbegin\n  if a b;\nend;\nend.\n"
    write(tmp_path / "src" / "a.pas", damaged)
    write(tmp_path / "src" / "b.pas", UNIT)
    write(tmp_path / "src" / "c.pas", ODD.encode() + b"// \xe9")
    write(tmp_path / "src" / "d.inc", b"MZ\x00")
    result = cli("check", "--json", "src")
    assert result.returncode == 1
    assert err_lines(result) == ["tarnwick: src/d.inc: binary file"]
    summary = json.loads(out(result))
    texts = [damaged, UNIT, ODD + "// \xe9"]
    seconds = summary.pop("seconds")
    assert isinstance(seconds, float) and seconds >= 0
    assert summary == {
        "files": 3,
        "bytes": sum(len(t.encode()) for t in texts) - 1,  # the "\xe9" is one byte in Windows-1252
        "tokens": sum(tarnwick.lex_to_serialized(t, "x").count("\n") + 1 for t in texts),
        "nodes": sum(len(tarnwick_tree.parse(t)) for t in texts),
        "windows_1252": ["src/c.pas"],
        "unknown_tokens": [{"file": "src/c.pas", "line": 3, "col": 10, "token": "!"}],
        "skipped_tokens": [{"file": "src/a.pas", "count": 1, "line": 6, "col": 8, "token": "b"},
                           {"file": "src/c.pas", "count": 2, "line": 3, "col": 10, "token": "!"}],
        "diagnostics": [
            {"file": "src/a.pas", "count": 2, "diagnostics": [
                {"line": 6, "col": 8, "end_line": 6, "end_col": 9, "tokens": 1, "message": "tokens that end no statement"},
                {"line": 6, "col": 9, "end_line": 6, "end_col": 9, "tokens": 0, "message": "missing: then"}]},
            {"file": "src/c.pas", "count": 1, "diagnostics": [
                {"line": 3, "col": 10, "end_line": 3, "end_col": 13, "tokens": 2,
                 "message": "tokens that end no declaration"}]},
        ],
        "directive_diagnostics": [],
        "not_read": [{"file": "src/d.inc", "reason": "binary file"}],
        "refused": [],
    }


COND = ("unit A;\ninterface\n{$IFDEF WIN64}\nconst W = 1;\n{$ELSE}\n  junk junk\n{$ENDIF}\n{$I defs.inc}\n"
        "{$IFDEF FROM_INC}\nconst I = 2;\n{$ENDIF}\n{$I nowhere.inc}\nimplementation\nend.\n")


def test_conditional_compilation(cli, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "a.pas", COND)
    write(tmp_path / "inc" / "defs.inc", "{$DEFINE FROM_INC}\n")
    given = ["--target", "delphi12-win64", "-I", "inc", "a.pas"]
    tokens = out(cli("tokens", *given))
    assert "junk" not in tokens and "directive {$ELSE} 5:1" in tokens and "keyword implementation 13:1" in tokens
    assert tokens.splitlines() == [line for line in tarnwick.lex_to_serialized(COND, "a.pas").splitlines()
                                   if not line.startswith("identifier junk")]
    tree = tarnwick_tree.parse(COND, "a.pas", grammar="specified", target="delphi12-win64", include_path=["inc"])
    assert "value=I" in tree.to_serialized() and "junk" not in tree.to_serialized()
    assert out(cli("tree", *given)) == tree.to_serialized() + "\n"
    lines = check_lines(cli("check", *given))
    assert "files with directive diagnostics: 1" in lines
    assert "  a.pas: 1, the first at 12:1: include file not found: nowhere.inc" in lines
    assert "files with skipped tokens: 0" in lines
    assert "files with directive diagnostics: 1" not in check_lines(cli("check", "a.pas"))
    assert "junk" in out(cli("tokens", "-D", "OTHER", "a.pas"))  # -D alone: WIN64 is not defined
    assert "delphi12-win64\tdelphi12\twin64\t" in out(cli("targets"))
    assert cli("tree", "--target", "delphi13-win64", "a.pas").returncode == 2


@pytest.mark.parametrize(
    "args, message",
    [
        (["empty"], "no file ending in .dpk .dpr .inc .lpr .pas .pp under empty"),
        (["--ext", "dpr", "src/a", "empty"], "no file ending in .dpr under src/a, empty"),
        (["--ext", ".pass", "src"], "no file ending in .pass under src"),
    ],
    ids=["empty-directory", "no-match-in-any", "mistyped-ext"],
)
@pytest.mark.parametrize("command", ["tokens", "tree", "check"])
def test_selection_without_files(cli, tmp_path, tree, command, args, message):
    (tmp_path / "empty" / "sub").mkdir(parents=True)
    write(tmp_path / "empty" / "sub" / "notes.txt", UNIT)
    result = cli(command, *args)
    assert (result.returncode, result.stdout) == (2, b"")
    assert err_lines(result) == [f"tarnwick: no file to read: {message} (see --ext)"]


def many_files(tmp_path):
    for i in range(40):
        text = SOURCES[i % len(SOURCES)].replace("end.", f"end. {{{i}}}")
        write(tmp_path / "many" / f"d{i % 3}" / f"f{i:02}.pas", text)
    write(tmp_path / "many" / "d1" / "bad.pas", b"\x00\x01")
    write(tmp_path / "many" / "d2" / "latin.pas", "caf\xe9".encode("cp1252"))
    write(tmp_path / "many" / "d0" / "wide.pas", "\ufeff{\u00e9}".encode("utf-16-be"))


@pytest.mark.parametrize("args", [["tokens"], ["tree"], ["check"], ["tree", "--encoding", "cp1252"]])
def test_parallel_run_matches_serial_run(cli, tmp_path, args):
    many_files(tmp_path)
    serial = cli(*args, "-j", "1", "many", "-", input=ODD.encode())
    parallel = cli(*args, "-j", "2", "many", "-", input=ODD.encode())
    assert serial.returncode == parallel.returncode == 1
    assert serial.stderr == parallel.stderr
    if args == ["check"]:
        assert check_lines(serial) == check_lines(parallel)
        assert check_lines(serial)[:1] + check_lines(serial)[4:5] == ["files: 43", "files read as Windows-1252: 1"]
    else:
        assert serial.stdout == parallel.stdout
        assert out(serial).endswith(printed(args[0], (ODD, "<stdin>")))


def test_parallel_out_matches_serial_out(cli, tmp_path):
    many_files(tmp_path)
    assert cli("tree", "-j", "1", "--out", "one", "many").returncode == 1
    assert cli("tree", "-j", "2", "--out", "two", "many").returncode == 1
    one = {p.relative_to(tmp_path / "one"): p.read_bytes() for p in (tmp_path / "one").rglob("*.tree")}
    two = {p.relative_to(tmp_path / "two"): p.read_bytes() for p in (tmp_path / "two").rglob("*.tree")}
    assert len(one) == 42 and one == two


BOM = b"\xef\xbb\xbf"
MARKED = "unit Bom;\n// d\u00e9j\u00e0 vu \u20ac \U0001d11e\nend."


@pytest.mark.parametrize("encoding", [[], ["--encoding", "utf-16-be"]])
@pytest.mark.parametrize("codec", ["utf-8", "utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be"])
@pytest.mark.parametrize("command", ["tokens", "tree"])
def test_byte_order_mark_decides_and_is_dropped(cli, tmp_path, command, codec, encoding):
    # Positions count from the character after the mark, whatever --encoding says.
    data = "\ufeff".encode(codec) + MARKED.encode(codec)
    write(tmp_path / "bom.pas", data)
    result = cli(command, *encoding, "bom.pas", "-", input=data)
    assert (result.returncode, result.stderr) == (0, b"")
    assert out(result) == printed(command, (MARKED, "bom.pas"), (MARKED, "<stdin>"))


UNDEFINED_IN_1252 = b"{ \x81 \x8d \x8f \x90 \x9d }"


@pytest.mark.parametrize(
    "data, encoding, text",
    [
        ("unit Caf\u00e9;\n{ \u00a3 \u20ac \u00ff }\nend.".encode("cp1252"), [],
         "unit Caf\u00e9;\n{ \u00a3 \u20ac \u00ff }\nend."),
        (UNDEFINED_IN_1252, [], "{ \x81 \x8d \x8f \x90 \x9d }"),
        (UNDEFINED_IN_1252, ["--encoding", "windows-1252"], "{ \x81 \x8d \x8f \x90 \x9d }"),
        ("{ \u00e9 }".encode() + b"\x80", [], "{ \u00c3\u00a9 }\u20ac"),  # not all UTF-8: all Windows-1252
        ("{ \u00e9 \u20ac }".encode(), [], "{ \u00e9 \u20ac }"),
        ("{ \u00e9 \u20ac }".encode(), ["--encoding", "cp1252"], "{ \u00c3\u00a9 \u00e2\u201a\u00ac }"),
        ("{ \u0416 }".encode("cp1251"), ["--encoding", "cp1251"], "{ \u0416 }"),
    ],
    ids=["windows-1252", "undefined-bytes", "undefined-bytes-forced", "utf-8-or-nothing", "utf-8",
         "forced-windows-1252", "forced-other"],
)
@pytest.mark.parametrize("command", ["tokens", "tree"])
def test_files_without_mark(cli, tmp_path, command, data, encoding, text):
    write(tmp_path / "w.pas", data)
    result = cli(command, *encoding, "w.pas", "-", input=data)
    assert (result.returncode, result.stderr) == (0, b"")
    assert out(result) == printed(command, (text, "w.pas"), (text, "<stdin>"))


def fifo(path):
    if not hasattr(os, "mkfifo"):
        pytest.skip("needs named pipes")
    os.mkfifo(path)


@pytest.mark.parametrize(
    "setup, args, message",
    [
        (lambda root: None, ["missing.pas"], "missing.pas: " + os.strerror(errno.ENOENT)),
        (lambda root: write(root / "plain.pas", UNIT), ["plain.pas/inner.pas"],
         "plain.pas/inner.pas: " + os.strerror(errno.ENOTDIR)),
        (lambda root: write(root / "bin.pas", b"unit A;\x00\x00end."), ["bin.pas"], "bin.pas: binary file"),
        (lambda root: write(root / "utf16.pas", "unit A;".encode("utf-16-le")), ["utf16.pas"],
         "utf16.pas: binary file"),
        (lambda root: write(root / "cut.pas", codecs.BOM_UTF16_BE + "unit A;".encode("utf-16-be")[:-1]), ["cut.pas"],
         "cut.pas: cannot decode as utf-16-be (byte-order mark): truncated data at offset 14"),
        (lambda root: write(root / "big.pas", codecs.BOM_UTF32_LE + b"\x00\x00\x11\x00"), ["big.pas"],
         "big.pas: cannot decode as utf-32-le (byte-order mark): code point not in range(0x110000) at offset 4"),
        (lambda root: write(root / "l.pas", b"{ \xe9 }"), ["--encoding", "utf-8", "l.pas"],
         "l.pas: cannot decode as utf-8: byte 0xe9 at offset 2"),
        (lambda root: write(root / "m.pas", BOM + b"{ \xe9 }"), ["m.pas"],
         "m.pas: cannot decode as utf-8 (byte-order mark): byte 0xe9 at offset 5"),
        (lambda root: fifo(root / "pipe.pas"), ["pipe.pas"], "pipe.pas: not a regular file (named pipe)"),
        (lambda root: fifo(write(root / "src" / "a.pas", PROGRAM).parent / "x.pas"), ["src"],
         "src/x.pas: not a regular file (named pipe)"),
        (lambda root: None if os.path.exists("/dev/zero") else pytest.skip("needs /dev/zero"), ["/dev/zero"],
         "/dev/zero: not a regular file (character device)"),
    ],
    ids=["missing", "not-a-directory", "nul-bytes", "utf-16-without-mark", "utf-16-cut", "utf-32-past-unicode",
         "forced-utf-8", "utf-8-mark", "named-pipe", "named-pipe-in-walk", "device"],
)
@pytest.mark.parametrize("command", ["tokens", "tree", "check"])
def test_unreadable_input(cli, tmp_path, setup, args, message, command):
    setup(tmp_path)
    write(tmp_path / "good.pas", UNIT)
    # A named pipe or device opened for reading would block or never end.
    result = cli(command, *args, "good.pas", timeout=60)
    assert result.returncode == 1
    assert err_lines(result) == [f"tarnwick: {message}"]
    read = [(PROGRAM, "src/a.pas")] if "src" in args else []
    if command == "check":
        assert check_lines(result)[0] == f"files: {len(read) + 1}"
        assert check_lines(result)[-3:] == ["files not read: 1", f"  {message}", "files refused: 0"]
    else:
        assert out(result) == printed(command, *read, (UNIT, "good.pas"))


# A chain of 100,000 member accesses: its tree text, ten gigabytes of
# indentation, could not fit the output limit.
TOO_DEEP = "begin x := a" + ".a" * 100_000 + "; end."
REFUSED = "the syntax tree text of this input would exceed the output limit"


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("command", ["tokens", "tree", "check"])
def test_refused_file(cli, tmp_path, command, jobs):
    write(tmp_path / "src" / "a.pas", UNIT)
    write(tmp_path / "src" / "deep.pas", TOO_DEEP)
    write(tmp_path / "src" / "z.pas", PROGRAM)
    result = cli(command, "-j", jobs, "src")
    assert "Traceback" not in result.stderr.decode()
    if command == "tokens":  # a token list has no such limit
        assert result.returncode == 0
        assert out(result) == printed("tokens", (UNIT, "src/a.pas"), (TOO_DEEP, "src/deep.pas"),
                                      (PROGRAM, "src/z.pas"))
        return
    assert result.returncode == 1
    assert err_lines(result) == [f"tarnwick: src/deep.pas: refused: {REFUSED}"]
    if command == "tree":
        assert out(result) == printed("tree", (UNIT, "src/a.pas"), (PROGRAM, "src/z.pas"))
    else:
        lines = check_lines(result)
        assert lines[0] == "files: 2"
        assert lines[-3:] == ["files not read: 0", "files refused: 1", f"  src/deep.pas: refused: {REFUSED}"]


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="needs a user without read rights")
def test_permission_denied(cli, tmp_path):
    locked = write(tmp_path / "locked.pas", UNIT)
    locked.chmod(0)
    result = cli("tokens", "locked.pas")
    assert result.returncode == 1
    assert err_lines(result) == [f"tarnwick: locked.pas: {os.strerror(errno.EACCES)}"]


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="needs a user without read rights")
def test_directory_that_cannot_be_listed(cli, tmp_path, tree):
    files, order = tree
    locked = tmp_path / "src" / "c" / "d"
    locked.chmod(0)
    try:
        result = cli("tokens", "src")
    finally:
        locked.chmod(0o755)
    assert result.returncode == 1
    assert err_lines(result) == [f"tarnwick: src/c/d: {os.strerror(errno.EACCES)}"]
    assert out(result) == printed("tokens", *((files[rel], "src/" + rel) for rel in order if rel != "c/d/deep.dpr"))


def test_output_file_that_is_a_directory(cli, tmp_path):
    write(tmp_path / "a.pas", UNIT)
    write(tmp_path / "b.pas", PROGRAM)
    (tmp_path / "result" / "a.pas.tokens").mkdir(parents=True)
    result = cli("tokens", "--out", "result", "a.pas", "b.pas")
    assert result.returncode == 1
    assert err_lines(result) == [f"tarnwick: result/a.pas.tokens: {os.strerror(errno.EISDIR)}"]
    assert (tmp_path / "result" / "b.pas.tokens").read_text() == printed("tokens", (PROGRAM, "b.pas"))


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["lex", "a.pas"], "argument COMMAND: invalid choice: 'lex'"),
        (["tokens"], "the following arguments are required: PATH"),
        (["tokens", "-j", "0", "a.pas"], "argument -j/--jobs: expected a whole number of at least 1, got '0'"),
        (["tree", "--encoding", "klingon", "a.pas"], "argument --encoding: unknown encoding 'klingon'"),
        (["tree", "--ext", ".pas,", "src"], "argument --ext: expected extensions such as .pas,.inc, got '.pas,'"),
        (["check", "--out", "o", "a.pas"], "unrecognized arguments: --out"),
        (["tokens", "-", "-"], 'standard input ("-") can be given only once'),
        (["tree", "--out", "o", "-"], '--out cannot be used with standard input ("-")'),
        (["tree", "--out", "a.pas", "a.pas"], "--out a.pas: not a directory"),
        (["tree", "--out", "o", "a.pas", "src/a.pas"], "a.pas and src/a.pas would both be written to o/a.pas.tree"),
    ],
)
def test_bad_usage(cli, tmp_path, args, message):
    write(tmp_path / "a.pas", UNIT)
    write(tmp_path / "src" / "a.pas", UNIT)
    result = cli(*args)
    assert (result.returncode, result.stdout) == (2, b"")
    lines = err_lines(result)
    assert lines[0].startswith("usage: tarnwick")
    assert lines[-1].startswith("tarnwick") and ": error: " + message in lines[-1]
    assert not (tmp_path / "o").exists()


WRITING = ["-h", "-j", "--ext", "--encoding", "--target", "-D", "-I", "--out"]
PRINTED = ["paths", "output", "decoding", "conditional compilation", "refused files", "progress", "exit status"]


@pytest.mark.parametrize(
    "command, options, sections, absent",
    [
        ("tokens", WRITING, PRINTED, ["tree header", "output limit", "summary", ".tree", "--json"]),
        ("tree", WRITING[:4] + ["--grammar", "--target", "-D", "-I", "--out"], PRINTED,
         ["eof", "summary", ".tokens", "--json"]),
        ("check", ["-h", "-j", "--ext", "--encoding", "--grammar", "--target", "-D", "-I", "--json"],
         ["paths", "decoding", "conditional compilation", "check", "refused files", "progress", "exit status"],
         ["--out", "tree header", "printed", "eof"]),
    ],
)
def test_command_help_shows_its_own_options_and_rules(cli, command, options, sections, absent):
    result = cli(command, "--help")
    text = out(result)
    assert result.returncode == 0
    listed = text[text.index("\noptions:\n") : text.index("\n\n", text.index("\noptions:\n"))]
    assert re.findall(r"^  (-[\w-]+)", listed, re.M) == options
    assert re.findall(r"^(\w[\w ]*):$", text, re.M)[2:] == sections  # after the arguments and the options
    assert [word for word in absent if word in text] == []


def test_closed_output_stops_quietly(tmp_path):
    write(tmp_path / "big.pas", "x := 1;\n" * 40000)
    process = subprocess.Popen([sys.executable, "-m", "tarnwick_cli", "tokens", "big.pas"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"identifier x 1:1\n"
    process.stdout.close()
    stderr = process.stderr.read()
    assert process.wait(timeout=300) == 1
    assert stderr == b""


def test_no_progress_bar_without_terminal(cli, tree):
    result = cli("check", "-j", "2", "src")
    assert (result.returncode, result.stderr) == (0, b"")


def run_on_terminal(tmp_path, args, stdin_delay):
    """Runs the command with standard error on a terminal; returns what it showed there."""
    pty = pytest.importorskip("pty")
    fcntl = pytest.importorskip("fcntl")
    termios = pytest.importorskip("termios")
    import struct

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "tarnwick_cli", *args], cwd=tmp_path,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=follower)
    os.close(follower)
    time.sleep(stdin_delay)  # keeps the run going: "-" is read when its turn comes
    stdout, _ = process.communicate(PROGRAM.encode(), timeout=300)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal is closed once the process has ended
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    return process.returncode, stdout, shown.decode("utf-8", "replace")


def test_progress_bar_on_terminal_for_a_long_directory_run(tmp_path, tree):
    code, stdout, shown = run_on_terminal(tmp_path, ["check", "-j", "1", "src", "-"], stdin_delay=3.0)
    assert code == 0
    assert stdout.decode().startswith("files: 11\n")
    assert re.search(r"\d+/11 \[", shown), shown


@pytest.mark.parametrize(
    "args, stdin_delay",
    [(["check", "-j", "1", "src"], 0.0), (["check", "-j", "1", "src/b.pas", "src/a.pas", "-"], 1.0)],
    ids=["short-directory-run", "no-directory"],
)
def test_no_progress_bar_on_terminal(tmp_path, tree, args, stdin_delay):
    code, _, shown = run_on_terminal(tmp_path, args, stdin_delay)
    assert (code, shown) == (0, "")


def test_grammar_option(cli, tmp_path):
    write(tmp_path / "a.pas", UNIT)
    tree = cli("tree", "--grammar", "complete", "a.pas")
    assert out(tree) == tarnwick_tree.parse(UNIT, "a.pas", grammar="complete").to_serialized() + "\n"
    checked = {grammar: check_lines(cli("check", *option, "a.pas"))[3]
               for grammar, option in (("complete", ()), ("specified", ("--grammar", "specified")))}
    assert checked == {grammar: f"nodes: {len(tarnwick_tree.parse(UNIT, 'a.pas', grammar=grammar))}"
                       for grammar in checked}
