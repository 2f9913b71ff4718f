"""Deep nesting and adversarial sizes for statements and expressions.

Nesting has no limit of its own: the grammar runs on a stack of the call's
own, so a nest of any depth is read whole, on a thread with a 512 KiB stack
too, and nothing after it is read differently. Only a nest so deep that its
tree text could not fit the output limit (its indentation alone grows with
the square of the depth) is refused, at once, with MemoryError.

The texts of the deep inputs below were taken from a build that nested the
grammar on the caller's stack without any limit, run on a thread with a
1 GiB stack: the texts the rules give."""

import hashlib
from collections import Counter

import pytest

from helpers import nesting, run_on_small_stack, serialized
from limits import REFUSED
from treereader import read_tree

MILLION = 1_000_000


def serialize_on_small_stack(src):
    """The tree text of `src`, parsed on a thread with a 512 KiB stack."""
    return run_on_small_stack(lambda: serialized(src))


def parse_on_small_stack(src):
    """The root node of `src`, parsed on a thread with a 512 KiB stack."""
    return read_tree(serialize_on_small_stack(src))[1]


def line_counts(text):
    """The number of node lines per (depth, kind) of a tree text: a quick
    census for outputs too large to read into nodes."""
    counts = Counter()
    for line in text.split("\n")[1:]:
        body = line.lstrip(" ")
        if body.startswith("nt"):
            counts[(len(line) - len(body)) // 2, body[2:body.index(" ")]] += 1
    return counts


def descend(node, kind, pick=lambda n: n.children[-1]):
    """Follows `pick` from `node` while the node reached has the kind; answers
    the nodes of that kind in order (iteratively: the chains are deep)."""
    chain = []
    while node is not None and node.kind == kind:
        chain.append(node)
        node = pick(node) if node.children else None
    return chain


def only_child(node):
    assert len(node.children) == 1, [c.kind for c in node.children]
    return node.children[0]


def main_block(root):
    assert root.kinds() == ["Statements"]
    return root.children[0]


# ---- Deep inputs, against the texts the rules give ---------------------------------

AFTER = "\nvar Z: Integer;"  # read after every nest, as it would be without it
DEEP_TEXTS = {
    "else-if chain x1000": ("begin " + "if a then x else " * 1000 + "y; end." + AFTER,
                            8389617, "5916b5ec03008a4e8c259706965f232cd74ee2e8085d7dda8c75944180e13b84"),
    "bodiless headings x1000": ("".join(f"procedure P{i}(a: Integer);\n" for i in range(1000))
                                + AFTER.lstrip(),
                                6575809, "af9b77735a94388a144d4db51f4210a7011eb65f175c08298af9836f0be77515"),
    "nested begin x3000": ("begin " * 3000 + "x" + " end" * 3000 + "." + AFTER,
                           9354756, "b7f38351165769c1a2b9a33b7d013e5027163beb9d816afbe207d1a22f7cce18"),
    "nested while x2000": ("begin " + "while a do " * 2000 + "x; end." + AFTER,
                           8428564, "ba59024a39445eb65bdeae4fa38ac3510c1a0c8fad8c0d1dcf892fe27841205e"),
    "nested records x1000": ("type T = " + "record a: " * 1000 + "Integer" + "; end" * 1000 + ";" + AFTER,
                             8320961, "cd7a30d8dd4b5a68082fbdabe77bfbaf8141a8cd485b3f113e2a6fd884263931"),
    "array of x3000": ("type T = " + "array of " * 3000 + "Integer;" + AFTER,
                       9386940, "f1883e3ca1f350facebaa6ca839de520d1a62a901bbbbcdc0e54c9dea1c6a685"),
    # every name of each list has the list's type, four lists deep: 444,444 lines
    "copied records 187 bytes": ("program P; var a,b,c,d,e,f,g,h,i,j: record a,b,c,d,e,f,g,h,i,j: record "
                                 "a,b,c,d,e,f,g,h,i,j: record a,b,c,d,e,f,g,h,i,j: record "
                                 "a,b,c,d,e,f,g,h,i,j: Integer; end; end; end; end; begin end.",
                                 40594759, "a89c101eba26f1ba59b2d18144eb3643b85574bd4c72e1c9fab3b3084f2daf79"),
}


@pytest.mark.parametrize("name", list(DEEP_TEXTS))
def test_deep_input_gives_the_text_of_the_rules(name):
    src, size, digest = DEEP_TEXTS[name]
    out = serialize_on_small_stack(src).encode("utf-8")
    assert (len(out), hashlib.sha256(out).hexdigest()) == (size, digest)


# ---- Statement chains ----------------------------------------------------------------

# (text of one level, the node kind that nests, the text that ends the nest)
CHAINS = {
    "blocks": ("begin ", "Statements", "x" + " end" * 2000),
    "if": ("if a then ", "If", "x"),
    "else-if": ("if a then x else ", "If", "y"),
    "while": ("while a do ", "While", "x"),
    "for": ("for i := 1 to 2 do ", "For", "x"),
    "with": ("with a, b do ", "With", "x"),
    "labels": ("L: ", "Label", "x"),
    "case": ("case x of 1: ", "Case", "y" + "; end" * 2000),
    "try-finally": ("try ", "Try", "x" + " finally y end" * 2000),
    "try-except": ("try ", "Try", "x" + " except on E: X do y end" * 2000),
    "repeat": ("repeat ", "Repeat", "x" + "; until a" * 2000),
}


@pytest.mark.parametrize("name", list(CHAINS))
def test_statement_chain_is_read_whole(name):
    level, kind, rest = CHAINS[name]
    out = serialize_on_small_stack("begin " + level * 2000 + rest + "; end." + AFTER)
    assert nesting(out, kind) == 2000 + (kind == "Statements")  # the main block is one more
    assert out.endswith("\n        value=Z\n      ntType line=2 col=8 end_line=2 end_col=15 "
                        "name=Integer source_positions=2:8,2:9,2:10,2:11,2:12,2:13,2:14,2:15")


@pytest.mark.parametrize("name", list(CHAINS))
def test_statement_chain_too_deep_for_the_output_is_refused(name):
    level, _, _ = CHAINS[name]
    with pytest.raises(MemoryError, match=REFUSED):
        serialize_on_small_stack("begin " + level * MILLION + "x; end.")


# ---- Expression chains -----------------------------------------------------------


def rhs_of(root):
    assign = only_child(main_block(root))
    assert assign.kind == "Assign"
    return only_child(assign.children[1])


def test_grouping_brackets_are_flat():
    root = parse_on_small_stack("begin x := " + "(" * MILLION + "a" + ")" * MILLION + " end.")
    expression = rhs_of(root)
    assert expression.kind == "Expression"
    assert [(c.kind, c.attrs["name"]) for c in expression.children] == [("Identifier", "a")]


@pytest.mark.parametrize("opener, closer, kind", [("f(", ")", "Call"), ("a[", "]", "Indexed")])
def test_nested_brackets_are_read_whole(opener, closer, kind):
    n = 2000
    out = serialize_on_small_stack("begin x := " + opener * n + "b" + closer * n + "; end." + AFTER)
    assert nesting(out, kind) == n
    assert "name=b " in out and out.endswith("name=Integer source_positions=2:8,2:9,2:10,2:11,2:12,2:13,2:14,2:15")


@pytest.mark.parametrize("nest", ["begin x := " + "f(" * MILLION + "1" + ")" * MILLION + "; end.",
                                  "begin x := " + "a[" * MILLION + "1" + "]" * MILLION + "; end.",
                                  "type\n" + "[A(" * MILLION + "1" + ")]" * MILLION + "\nT = Integer;"],
                         ids=["calls", "indexes", "attributes"])
def test_bracket_nest_too_deep_for_the_output_is_refused(nest):
    with pytest.raises(MemoryError, match=REFUSED):
        serialize_on_small_stack(nest)


@pytest.mark.parametrize("context", ["type\n{}\n;\nvar V: Integer;", "type C = class\n{}\n; end;",
                                     "type R = record case Integer of 0: (\n{}\ncase Byte of 1: (x: Byte)); end;"],
                         ids=["type-section", "class-body", "variant-part"])
def test_dropped_attribute_list_is_never_refused(context):
    # An attribute list before no declaration is dropped: nested however deep,
    # it leaves the text as it would be without it.
    nest = "[A(" * MILLION + "1" + ")]" * MILLION
    assert serialize_on_small_stack(context.format(nest)) == serialized(context.format(""))


def test_deep_brackets_inside_a_deep_block():
    depth = 1000
    src = "begin " * depth + "x := " + "f(" * depth + "a" + ")" * depth + " end" * depth + "."
    out = serialize_on_small_stack(src)
    assert nesting(out, "Statements") == depth
    assert nesting(out, "Call") == depth


# ---- Adversarial sizes ---------------------------------------------------------------


def test_unclosed_calls():
    # Unit, Statements, Assign, RHS, Expression, then one Call per "f(" with
    # its callee; the "(" of each stays for the main loop.
    n = 100_000
    text = serialize_on_small_stack("begin x := " + "f(" * n + " end.")
    assert line_counts(text) == Counter({
        (0, "Unit"): 1, (1, "Statements"): 1, (2, "Assign"): 1, (3, "LHS"): 1, (3, "RHS"): 1,
        (4, "Expression"): 2, (5, "Identifier"): 1, (5, "Call"): n, (6, "Identifier"): n})
    last = text.rsplit("\n", 2)[1].lstrip(" ")
    assert last.startswith("ntCall line=1 col=%d " % (len("begin x := ") + 1 + 2 * (n - 1)))


def test_unclosed_indexes():
    n = 100_000
    text = serialize_on_small_stack("begin x := " + "a[" * n + " end.")
    assert line_counts(text) == Counter({
        (0, "Unit"): 1, (1, "Statements"): 1, (2, "Assign"): 1, (3, "LHS"): 1, (3, "RHS"): 1,
        (4, "Expression"): 2, (5, "Identifier"): 1, (5, "Indexed"): n, (6, "Identifier"): n})


def test_unclosed_headers():
    # a header whose "(" never closes runs to the end of the text
    n = 100_000
    block = main_block(parse_on_small_stack("begin if " + "(" * n + "a then x; y end."))
    node = only_child(block)
    assert node.kind == "If"
    assert [c.attrs.get("name") for c in only_child(node).children] == ["a", "then", "x", "y"]


def test_many_statements():
    n = 100_000
    text = serialize_on_small_stack("begin\n" + "a;\n" * n + "end.")
    assert line_counts(text) == Counter({(0, "Unit"): 1, (1, "Statements"): 1, (2, "Identifier"): n})
    assert text.endswith("ntIdentifier line=%d col=1 end_line=%d end_col=2 name=a "
                         "source_positions=%d:1,%d:2" % ((n + 1,) * 4))


def test_many_arguments_and_case_labels():
    n = 100_000
    text = serialize_on_small_stack("begin f(" + "a, " * n + "b) end.")
    assert line_counts(text) == Counter({
        (0, "Unit"): 1, (1, "Statements"): 1, (2, "Call"): 1, (3, "Identifier"): 1,
        (3, "Arguments"): 1, (4, "PositionalArgument"): n + 1, (5, "Identifier"): n + 1})
    text = serialize_on_small_stack("begin case x of " + "1, " * n + "2: y end end.")
    assert line_counts(text) == Counter({
        (0, "Unit"): 1, (1, "Statements"): 1, (2, "Case"): 1, (3, "CaseSelector"): 1,
        (3, "CaseLabels"): 1, (4, "CaseLabel"): n + 1, (5, "Literal"): n + 1,
        (4, "Identifier"): 2})  # the selector x and the statement y


def test_long_dotted_chain_is_whole():
    # The tree text indents each level two more spaces, so the output grows
    # with the square of the chain's length: 5,000 parts give about 50 MB.
    n = 5_000
    expression = rhs_of(parse_on_small_stack("begin x := " + ".".join(["a"] * n) + " end."))
    dots = descend(only_child(expression), "Dot", lambda d: d.children[0])
    assert len(dots) == n - 1
    assert [c.kind for c in dots[-1].children] == ["Identifier", "Identifier"]
    assert dots[0].children[1].col == len("begin x := ") + 1 + 2 * (n - 1)
    assert dots[-1].children[0].col == len("begin x := ") + 1
