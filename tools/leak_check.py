"""Leak check of the extension, driven by tools/sanitize.sh --leaks.

    leak_check.py run CALLS [--plant-leak]
        Calls lex_to_serialized and parse_to_serialized CALLS times in all on
        varied texts (the examples, the test data, the fuzz regression inputs
        and generated texts) and goes through every argument error path,
        checking that the reference counts of the arguments are unchanged.
        Every text also goes through tarnwick_tree: its tree, read in every
        way a node offers, written, searched and read back, and its tokens;
        and so do the error paths of tarnwick_tree's functions.
        Meant to run in a process with LeakSanitizer preloaded and
        PYTHONMALLOC=malloc, which reports what is left at exit.
        --plant-leak keeps one extra reference to a result string on purpose,
        to show that such a leak is caught.

    leak_check.py report DIR MODULE
        Reads the sanitizer reports in DIR. Fails on any memory error or
        undefined behaviour, and on every leaked block that was allocated
        with tarnwick's code on its stack (the MODULE file, or a function of
        the core). Other leaks at exit (the interpreter's, or those of
        programs that tests start) are counted and shown as a summary only.
"""

from __future__ import annotations

import glob
import itertools
import os
import random
import re
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PIECES = [
    "unit", "program", "library", "interface", "implementation", "uses", "type", "var",
    "const", "begin", "end", "end.", ";", ":", ":=", "=", "(", ")", "[", "]", "<", ">", ",",
    ".", "..", "class", "record", "object", "procedure", "function", "property", "read",
    "write", "if", "then", "else", "while", "do", "for", "to", "case", "of", "try",
    "except", "finally", "with", "repeat", "until", "array", "set", "string", "Integer",
    "generic", "specialize", "T", "X", "Foo", "'s'", "'''", "#13", "$FF", "1.5e3", "{c}",
    "(*c*)", "// c\n", "{$IFDEF X}", "&begin", "\u00e9t\u00e9", "\u20ac", "\t", "\r\n", "\n",
    " ", "@", "^", "[Attr]", "<T: class>", "inherited", "raise", "label", "goto", "asm",
]


def corpus() -> list[str]:
    texts = []
    for pattern in ("examples/*", "tests/data/**/*", "tests/fuzz_corpus/*"):
        for path in sorted(glob.glob(os.path.join(ROOT, pattern), recursive=True)):
            if not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                data = f.read()
            try:
                texts.append(data.decode("utf-8"))
            except UnicodeDecodeError:
                pass
    rng = random.Random(7)
    for _ in range(200):
        texts.append(" ".join(rng.choice(PIECES) for _ in range(rng.randrange(0, 60))))
    texts += ["", "x", "'", "{", "(*", "\u00e9" * 100, "begin " * 300 + "end " * 300]
    return texts


def check_refcounts(label: str, objects: list, call) -> None:
    before = [sys.getrefcount(o) for o in objects]
    call()
    after = [sys.getrefcount(o) for o in objects]
    if before != after:
        raise SystemExit(f"reference counts changed by {label}: {before} -> {after}")


def argument_errors(tarnwick) -> int:
    """Every failing way to call the two functions; answers the number of calls."""
    text = "".join(["unit ", "A;"])  # a new object, not a shared constant
    name = "".join(["a", ".pas"])
    wrong = 1.5
    surrogate = "ab\ud800"
    subclass = type("S", (str,), {})("unit B;")
    calls = 0
    for fn_name, second in (("lex_to_serialized", "_file_name"), ("parse_to_serialized", "file_name")):
        fn = getattr(tarnwick, fn_name)
        failing = [
            lambda: fn(),
            lambda: fn(text),
            lambda: fn(text, name, name),
            lambda: fn(text, name, wrong),
            lambda: fn(text, **{second: name, "other": wrong}),
            lambda: fn(text, text=text),
            lambda: fn(text, name, **{second: name}),
            lambda: fn(wrong, name),
            lambda: fn(text, wrong),
            lambda: fn(wrong, wrong),
            lambda: fn(surrogate, name),
            lambda: fn(text, surrogate),
            lambda: fn(**{second: wrong}),
            lambda: fn(text=wrong, **{second: name}),
        ]
        for call in failing:

            def attempt(call=call):
                try:
                    call()
                except (TypeError, UnicodeEncodeError):
                    return
                raise SystemExit(f"{fn_name}: an argument error did not raise")

            check_refcounts(fn_name + " (argument error)", [text, name, wrong, surrogate, subclass], attempt)
            calls += 1
        # Calls that succeed, by position, by keyword and with a str subclass.
        for call in (
            lambda: fn(text, name),
            lambda: fn(text=text, **{second: name}),
            lambda: fn(subclass, subclass),
        ):
            check_refcounts(fn_name, [text, name, subclass], call)
            calls += 1
    return calls


def tree_objects(tarnwick_tree, text: str, name: str) -> None:
    """Everything tarnwick_tree offers, once, on one text."""
    try:
        tree = tarnwick_tree.parse(text, name)
    except MemoryError:
        return
    # The first nodes are read in every way (an extent walks the node's
    # subtree, so reading all would cost the square); the others are walked,
    # up to a size.
    if len(tree) <= 50_000:
        for node in tree:
            pass
    for node in itertools.islice(tree, 200):
        (node.kind, node.attributes, node.value, node.source_positions, node.children,
         node.parent, node.extent, node.tree, node.get("name"), "name" in node, repr(node),
         hash(node), node.span, node.text, node.tokens, node.comments, node.doc,
         node.ancestors(), node.find("Identifier"), node.find_all(name="P"))
        try:
            node["name"]
        except KeyError:
            pass
    # Tree texts of many megabytes (shared types nested in the fuzz inputs)
    # are measured only: writing and reading them back would take the run.
    serialized = None
    try:
        if tree.serialized_size() < 1 << 20:
            serialized = tree.to_serialized()
    except MemoryError:
        pass
    tree.find_all("Identifier")
    tree.find("Method", name="P")
    tree.node_at(1, 1)
    tree.node_at(2, 3)
    (len(tree), repr(tree), tree.root == tree.root, tree.source, tree.file_name, tree.skipped,
     tree.diagnostics, tree.comments)
    if serialized is not None:
        back = tarnwick_tree.read(serialized)
        (back.to_serialized(), back.skipped, back.diagnostics)
    tarnwick_tree.tokens(text)

    class Visitor(tarnwick_tree.NodeVisitor):
        def visit_Identifier(self, node):
            self.generic_visit(node)

    Visitor().visit(tree.root)
    # The other grammar, and conditional compilation with a target, defines
    # and an include file found in a folder.
    try:
        tarnwick_tree.parse(text, name, grammar="specified").find_all("Method")
        for target in ("delphi12-win64", "fpc3.2-linux64"):
            pre = tarnwick_tree.parse(text, name, target=target, defines=("DEBUG",), include_path=[INCLUDES])
            (pre.inactive, pre.diagnostics, pre.skipped, [n.file for n in itertools.islice(pre, 50)],
             pre.comments)
            for node in itertools.islice(pre, 50):
                try:
                    (node.text, node.tokens, node.doc)
                except ValueError:  # a node holding code of an included file
                    pass
    except MemoryError:
        pass
    try:
        tarnwick_tree.decode(text.encode("utf-8", "surrogatepass"))
    except ValueError:  # a text with a NUL character reads as a binary file
        pass


# A folder with an include file, and a unit that includes it under a
# conditional, for the preprocessing paths of tree_objects and run.
INCLUDES = tempfile.mkdtemp(prefix="tarnwick-leak-")
with open(os.path.join(INCLUDES, "defs.inc"), "w") as f:
    f.write("{$DEFINE FROM_INC}\nconst C = 1;\n{$I defs.inc}\n")
INCLUDING = os.path.join(INCLUDES, "Including.pas")
with open(INCLUDING, "w") as f:
    f.write("unit Including;\ninterface\n{$IFDEF MSWINDOWS}{$I defs.inc}{$ELSE}var V: Integer;{$ENDIF}\n"
            "{$IF Defined(FROM_INC) and (CompilerVersion >= 36)}type T = Integer;{$IFEND}\n"
            "{$I missing.inc}\nimplementation\nend.\n")


def preprocessing() -> None:
    """The targets and files of conditional compilation, once."""
    import tarnwick_tree
    for target in tarnwick_tree.targets():
        (target.name, target.compiler, target.platform, target.symbols, dict(target.constants), repr(target))
        tarnwick_tree.parse_file(INCLUDING, target=target, include_path=[INCLUDES]).to_serialized()
    tarnwick_tree.parse_file(INCLUDING, defines=["MSWINDOWS"])


def tree_argument_errors(tarnwick_tree) -> int:
    """Every failing way to call tarnwick_tree's functions and methods."""
    text = "".join(["unit ", "A;"])
    tree = tarnwick_tree.parse(text, "a.pas")
    failing = [
        (lambda: tarnwick_tree.parse(), TypeError),
        (lambda: tarnwick_tree.parse(1.5), TypeError),
        (lambda: tarnwick_tree.parse(text, 1.5), TypeError),
        (lambda: tarnwick_tree.parse("ab\ud800"), UnicodeEncodeError),
        (lambda: tarnwick_tree.read(text), ValueError),
        (lambda: tarnwick_tree.read("# file_name=x\nntUnit line=1"), ValueError),
        (lambda: tarnwick_tree.read(1.5), TypeError),
        (lambda: tarnwick_tree.tokens(1.5), TypeError),
        (lambda: tarnwick_tree.walk(text), TypeError),
        (lambda: tree.find_all("ntNothing"), ValueError),
        (lambda: tree.find_all("Unit", nothing="x"), TypeError),
        (lambda: tree.find("Unit", name=1.5), TypeError),
        (lambda: tree.node_at("1", 1), TypeError),
        (lambda: tree.root["nothing"], KeyError),
        (lambda: tree.root.find_all("ntNothing"), ValueError),
        (lambda: tree.root.find("Unit", name=1.5), TypeError),
        (lambda: tarnwick_tree.read(tree.to_serialized()).root.text, ValueError),
        (lambda: tarnwick_tree.read(tree.to_serialized()).comments, ValueError),
        (lambda: tarnwick_tree.parse(text, target="delphi1-win16"), ValueError),
        (lambda: tarnwick_tree.parse(text, target=1.5), TypeError),
        (lambda: tarnwick_tree.parse(text, defines="DEBUG"), TypeError),
        (lambda: tarnwick_tree.parse(text, defines=[1.5]), TypeError),
        (lambda: tarnwick_tree.parse(text, include_path=1.5), TypeError),
        (lambda: tarnwick_tree.parse(text, grammar="other"), ValueError),
        (lambda: tarnwick_tree.parse_file(os.path.join(INCLUDES, "absent.pas")), OSError),
        (lambda: tarnwick_tree.decode(b"a\0b"), ValueError),
        (lambda: tarnwick_tree.decode(1.5), TypeError),
    ]
    for call, error in failing:
        def attempt(call=call, error=error):
            try:
                call()
            except error:
                return
            raise SystemExit("tarnwick_tree: an argument error did not raise")

        check_refcounts("tarnwick_tree (argument error)", [text, tree], attempt)
    return len(failing)


def run(total: int, plant_leak: bool) -> None:
    import tarnwick
    import tarnwick_tree

    texts = corpus()
    calls = 0
    kept = None
    while calls < total:
        for i, text in enumerate(texts):
            if calls >= total:
                break
            name = f"file{i}.pas"
            lexed = tarnwick.lex_to_serialized(text, name)
            try:
                tree = tarnwick.parse_to_serialized(text, name)
            except MemoryError:
                # Inputs whose copied declarations multiply are refused by
                # the node bound: the refusal path must not leak either.
                tree = "# file_name="
            if not lexed or not tree.startswith("# file_name="):
                raise SystemExit(f"unexpected result for input {i}")
            tree_objects(tarnwick_tree, text, name)
            calls += 3
            if calls % 201 == 0:
                calls += argument_errors(tarnwick) + tree_argument_errors(tarnwick_tree)
                preprocessing()
    if plant_leak:
        import ctypes

        kept = tarnwick.parse_to_serialized("unit Planted;", "planted.pas")
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(kept))
        del kept
    print(f"leak_check: {calls} calls over {len(texts)} texts done")


FRAME = re.compile(r"^\s+#\d+ ")


def report(directory: str, module: str) -> int:
    files = sorted(glob.glob(os.path.join(directory, "*")))
    ours: list[str] = []
    other_blocks = 0
    other_bytes = 0
    markers = (os.path.basename(module), "tarnwick_tree/_native", "tarnwick::", "/src/core/",
               "/src/binding/")
    for path in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            content = f.read()
        if "ERROR: AddressSanitizer" in content or "runtime error:" in content:
            print(content)
            print(f"leak_check: {path} reports a memory error, not a leak")
            return 1
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", content):
            m = re.match(r"(?:Direct|Indirect) leak of (\d+) byte", block)
            if not m:
                continue
            frames = [line for line in block.splitlines() if FRAME.match(line)]
            if any(marker in frame for frame in frames for marker in markers):
                ours.append(block.strip())
            else:
                other_blocks += 1
                other_bytes += int(m.group(1))
    if not files:
        print("leak_check: no sanitizer report at all")
    print(f"leak_check: {other_blocks} leak records ({other_bytes} bytes) belong to other code (the interpreter, programs started by tests)")
    if ours:
        print("\n\n".join(ours))
        print(f"leak_check: {len(ours)} leak records allocated through tarnwick's code")
        return 1
    print("leak_check: no leak allocated through tarnwick's code")
    return 0


def main(argv: list[str]) -> int:
    if len(argv) >= 2 and argv[1] == "run":
        total = int(argv[2]) if len(argv) > 2 and argv[2].isdigit() else 20000
        run(total, "--plant-leak" in argv)
        return 0
    if len(argv) == 4 and argv[1] == "report":
        return report(argv[2], argv[3])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
