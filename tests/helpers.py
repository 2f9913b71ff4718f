"""Helpers shared by the test modules: the tree text of a small input, builders
of expected tree lines, a compact form of subtrees, calls on a thread with a
small stack, the nesting depth of a tree text, the agreement of a tree's
diagnostics with its skipped tokens, and where the native programs the tests
build are kept."""

import hashlib
import os
import tempfile
import threading

import tarnwick

# The stack size of the threads that deep-nesting inputs are parsed on.
SMALL_STACK = 512 * 1024


def serialized(src):
    """The tree text of `src` under the file name "t.pas"."""
    return tarnwick.parse_to_serialized(src, "t.pas")


def run_on_small_stack(fn):
    """Runs fn on a thread with a 512 KiB stack and answers its result, or
    raises what it raised."""
    result = {}

    def body():
        try:
            result["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed to the caller
            result["error"] = e

    old = threading.stack_size(SMALL_STACK)
    try:
        worker = threading.Thread(target=body)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    if "error" in result:
        raise result["error"]
    assert "value" in result, "the call did not finish"
    return result["value"]


def nesting(text, kind):
    """The most nodes of `kind` that enclose one another in a tree text."""
    head = f"nt{kind} "
    open_indents = []
    best = 0
    for line in text.split("\n")[1:]:
        body = line.lstrip(" ")
        indent = len(line) - len(body)
        while open_indents and open_indents[-1] >= indent:
            open_indents.pop()
        if body.startswith(head):
            open_indents.append(indent)
            best = max(best, len(open_indents))
    return best


# ---- Expected tree lines ------------------------------------------------------

def cols(line, first, last):
    """Source positions line:first .. line:last, as the tree text writes them."""
    return ",".join(f"{line}:{c}" for c in range(first, last + 1))


def one_token(depth, kind, line, col, width, attrs=None, value=None):
    """The text of a node that spans one token of `width` code points."""
    items = "".join(f" {k}={v}" for k, v in sorted((attrs or {}).items()))
    positions = ",".join(f"{line}:{col + k}" for k in range(width + 1))
    text = (f"\n{'  ' * depth}nt{kind} line={line} col={col} end_line={line} "
            f"end_col={col + width}{items} source_positions={positions}")
    if value is not None:
        text += f"\n{'  ' * (depth + 1)}value={value}"
    return text


# The first lines of the tree text of `type T = ...` up to the TypeDecl.
TYPE_DECL_HEAD = (
    "# file_name=t.pas"
    "\nntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5"
    "\n  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5"
    "\n    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=T source_positions=1:6,1:7"
)

# The first lines of the tree text of `type T = class ...` up to the class Type.
CLASS_HEAD = TYPE_DECL_HEAD + (
    "\n      ntType line=1 col=10 end_line=1 end_col=15 type=class"
    " source_positions=1:10,1:11,1:12,1:13,1:14,1:15"
)


# ---- Shapes of parsed nodes ---------------------------------------------------

def names_of(nodes):
    """The values of the Name children of `nodes`."""
    return [n.child("Name").value for n in nodes]


LITERAL_TYPES = {"numeric": "num", "string": "str", "char": "char"}


def brief(node):
    """Compact text of a subtree: `a` for Identifier a, `num:1` for a numeric
    Literal 1, `Kind(child,child)` for the rest (`Kind` alone when childless);
    a Label shows its name and an asm block its kind in square brackets."""
    if node.kind == "Identifier":
        return node.attrs["name"]
    if node.kind == "Literal":
        return LITERAL_TYPES[node.attrs["type"]] + ":" + node.value
    head = node.kind
    if node.kind == "Label":
        head += "[" + node.attrs["name"] + "]"
    elif "kind" in node.attrs:
        head += "[" + node.attrs["kind"] + "]"
    if not node.children:
        return head
    return head + "(" + ",".join(brief(c) for c in node.children) + ")"


def diagnostics_cover_skipped(tree, file_name):
    """True when the grammar's diagnostics of `tree` are its skipped tokens
    in runs: each starts at the next skipped token, counts its run, and names
    the tree's file (the grammar of today notes nothing else)."""
    skipped = iter(tree.skipped)
    for d in tree.diagnostics:
        run = [next(skipped, None) for _ in range(d.tokens)]
        if d.tokens == 0 or None in run or d.file != file_name or \
                (run[0].line, run[0].col) != (d.line, d.col):
            return False
    return next(skipped, None) is None


def build_dir(env_var, prefix):
    """The directory that caches a compiled test program: `env_var` when set,
    else one per checkout in the system's temporary directory."""
    configured = os.environ.get(env_var)
    if configured:
        return configured
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tag = hashlib.sha1(repo.encode()).hexdigest()[:10]
    return os.path.join(tempfile.gettempdir(), f"{prefix}-{tag}")


def escape_token(text):
    """A token's text as the token list writes it."""
    return text.replace("\\", "\\\\").replace("\t", "\\x09").replace("\n", "\\x0A").replace("\r", "\\x0D")


def tokens_match_token_list(tokens, token_list):
    """Whether `tarnwick_tree.tokens` agree with the token list of the same
    text line by line: the same kinds, values and positions, but for the
    '\\r's at the end of a `//` comment, which its value leaves out."""
    lines = token_list.split("\n")
    if len(lines) != len(tokens):
        return False
    for t, line in zip(tokens, lines):
        head, tail = f"{t.kind} {escape_token(t.value)}", f" {t.line}:{t.col}"
        if line == head + tail:
            continue
        middle = line[len(head):len(line) - len(tail)]
        if not (t.kind == "comment" and t.value.startswith("//") and line.startswith(head)
                and line.endswith(tail) and middle and middle == "\\x0D" * (len(middle) // 4)):
            return False
    return True
