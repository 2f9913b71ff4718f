"""Deep nesting and adversarial sizes for statements and expressions.

Statements nest through one guarded rule and bracket levels through another;
both count against one nesting limit for the whole parser. Past the limit
the nested construct yields no node and consumes nothing, and the enclosing
loop passes over the tokens it leaves. Every parse here runs on a thread
with a 512 KiB stack and must give a tree whose shape follows from the limit.

Inputs whose output stays small are nested a million levels deep. Chains
that start over at the top of the block once the limit cuts them (if, while,
for, with, labels) or that pile the rest up in one innermost node (case)
give an output that grows with their length times the limit, so they are
nested a few times past the limit instead: any length past the limit takes
the same path through the guard."""

import functools
from collections import Counter

from helpers import run_on_small_stack, serialized
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


@functools.cache
def limit():
    """The nesting limit, measured once."""
    # "begin" nested a million deep: the block the unit body opens holds one
    # nested block per guarded level; the innermost passes over the rest of
    # the "begin" words and the unit body the surplus of "end" words.
    root = parse_on_small_stack("begin " * MILLION + "end " * MILLION)
    chain = descend(main_block(root), "Statements")
    assert chain[-1].children == []
    assert all(len(n.children) == 1 for n in chain[:-1])
    return len(chain) - 1


def test_limit_is_a_documented_size():
    # deep enough for any real code, small enough for a 512 KiB stack
    assert 200 <= limit() <= 2000


def test_nested_blocks_positions():
    root = parse_on_small_stack("begin\n" * MILLION + "end\n" * MILLION)
    chain = descend(main_block(root), "Statements")
    assert len(chain) == limit() + 1
    assert [n.line for n in chain[:3]] == [1, 2, 3]
    assert chain[-1].line == limit() + 1


# ---- Statement chains ------------------------------------------------------------


def follow(node, link):
    """The chain from `node` through `link` (the child that continues it, or
    None), iteratively."""
    chain = []
    while node is not None:
        chain.append(node)
        node = link(node)
    return chain


def restart_chains(block, kind, link):
    """The chains the block holds, one per statement, each of `kind`."""
    assert all(top.kind == kind for top in block.children)
    return [follow(top, link) for top in block.children]


def check_headed_chain(keyword_text, kind, header_brief):
    """`begin <keyword_text> * n x end.` with n = 3 * limit() + 7: three chains
    cut at the limit, each link holding its header and the next link; the
    last link of a cut chain has neither (its header would be one level
    deeper); a fourth chain of 7 links ends in the statement x."""
    n = 3 * limit() + 7
    block = main_block(parse_on_small_stack("begin " + keyword_text * n + "x end."))

    def link(node):
        nested = [c for c in node.children if c.kind == kind]
        return nested[0] if nested else None

    chains = restart_chains(block, kind, link)
    assert [len(c) for c in chains] == [limit(), limit(), limit(), 7]
    for chain in chains[:3]:
        for node in chain[:-1]:
            assert [header_brief(node.children[0]), node.children[1].kind] == [header_brief(None), kind]
        assert chain[-1].children == []
    last = chains[3]
    assert header_brief(last[-1].children[0]) == header_brief(None)
    assert last[-1].children[1].kind == "Identifier" and last[-1].children[1].attrs["name"] == "x"
    return chains


def test_if_chain():
    chains = check_headed_chain("if a then ", "If", lambda n: "a" if n is None else n.attrs["name"])
    # every link sits on the "if" that begins it
    assert chains[1][0].col == len("begin ") + 1 + limit() * len("if a then ")


def test_while_chain():
    check_headed_chain("while a do ", "While", lambda n: "a" if n is None else n.attrs["name"])


def test_with_chain():
    check_headed_chain("with a do ", "With", lambda n: "a" if n is None else n.attrs["name"])


def test_for_chain():
    def header(n):
        if n is None:
            return ["i", "1", "to", "2"]
        return [c.attrs.get("name", c.value) for c in n.children]

    check_headed_chain("for i := 1 to 2 do ", "For", header)


def test_label_chain():
    n = 3 * limit() + 7
    block = main_block(parse_on_small_stack("begin " + "L: " * n + "x end."))
    chains = restart_chains(block, "Label", lambda node: node.children[0] if node.children else None)
    # a chain ends either at a label without statement (cut) or at x
    assert [len(c) for c in chains] == [limit(), limit(), limit(), 8]
    for chain in chains[:3]:
        assert all(node.kind == "Label" and node.attrs["name"] == "L" for node in chain)
        assert chain[-1].children == []
    assert [node.kind for node in chains[3]] == ["Label"] * 7 + ["Identifier"]


def test_else_chain():
    # "if a then x else if a then x else ...": the next link is the statement
    # of the Else. The link before the last cannot parse its then-statement x
    # (its expression would be one level too deep); the last link takes
    # nothing, so that x and the "else" after it fall to the block, where x
    # is a statement and the stray "else" is passed over.
    n = 3 * limit() + 7
    block = main_block(parse_on_small_stack("begin " + "if a then x else " * n + "y end."))
    assert [c.kind for c in block.children] == ["If", "Identifier"] * 3 + ["If"]

    def link(node):
        part = node.children[-1] if node.children else None
        if part is None or part.kind != "Else" or part.children[0].kind != "If":
            return None
        return part.children[0]

    chains = [follow(block.children[k], link) for k in (0, 2, 4, 6)]
    for chain in chains[:3]:
        assert len(chain) == limit()
        assert all([c.kind for c in node.children] == ["Identifier", "Identifier", "Else"]
                   for node in chain[:-2])
        assert [c.kind for c in chain[-2].children] == ["Identifier", "Else"]
        assert chain[-1].children == []
    last = chains[3]
    assert len(last) == 7
    assert [c.attrs.get("name") for c in last[-1].children[:2]] == ["a", "x"]
    assert only_child(last[-1].children[2]).attrs["name"] == "y"


def test_case_chain():
    # The case at the limit has neither selector nor labels (their
    # expressions would be one level deeper) and reads every later
    # "case x of 1" as the label text of one more arm.
    n = 2 * limit() + 5
    block = main_block(parse_on_small_stack("begin " + "case x of 1: " * n + "x end."))
    chain = descend(only_child(block), "Case", lambda c: c.children[1].children[-1])
    assert len(chain) == limit()
    for case in chain[:-1]:
        assert [c.kind for c in case.children] == ["CaseSelector", "CaseLabels"]
        assert [c.kind for c in case.children[1].children] == ["CaseLabel", "Case"]
    last = chain[-1]
    assert [c.kind for c in last.children] == ["CaseSelector"] + ["CaseLabels"] * (n - limit() + 1)
    assert last.children[0].children == []
    assert all([c.kind for c in arm.children] == ["CaseLabel"] and arm.children[0].children == []
               for arm in last.children[1:])


def test_try_finally_chain():
    block = main_block(parse_on_small_stack("begin " + "try " * MILLION + "x" + " finally end" * MILLION + " end."))
    chain = descend(only_child(block), "Try", lambda t: t.children[0])
    assert len(chain) == limit()
    for node in chain[:-1]:
        assert [c.kind for c in node.children] == ["Try", "Finally"]
    assert [c.kind for c in chain[-1].children] == ["Finally"]


def test_try_except_chain():
    # The try body x of the link before the last is one level too deep for
    # its expression, and the last link passes over the rest up to the first
    # "end"; every link then takes one "end".
    src = "begin " + "try x except " * MILLION + "y" + " end" * MILLION + " end."
    block = main_block(parse_on_small_stack(src))

    def pick(node):
        part = node.children[-1]
        return part.children[0] if part.children else None

    chain = descend(only_child(block), "Try", pick)
    assert len(chain) == limit()
    for node in chain[:-2]:
        assert [c.kind for c in node.children] == ["Identifier", "Except"]
    assert [c.kind for c in chain[-2].children] == ["Except"]
    assert [c.kind for c in chain[-1].children] == ["Except"]
    assert chain[-1].children[0].children == []


def test_repeat_chain():
    # The innermost repeat passes over the remaining words up to the first
    # "until"; its condition then runs to the final "end" and would be one
    # level too deep. The enclosing repeats wait for an "until" that never
    # comes.
    src = "begin " + "repeat " * MILLION + "x" + " until a" * MILLION + " end."
    block = main_block(parse_on_small_stack(src))
    chain = descend(only_child(block), "Repeat")
    assert len(chain) == limit()
    assert all(len(node.children) == 1 for node in chain[:-1])
    assert chain[-1].children == []


def test_repeat_chain_with_semicolons():
    n = limit() + 10
    src = "begin " + "repeat " * n + "x" + " until a;" * n + " end."
    block = main_block(parse_on_small_stack(src))
    repeat = block.children[0]
    chain = descend(repeat, "Repeat", lambda r: r.children[0])
    assert len(chain) == limit()
    for node in chain[:-1]:
        assert [c.kind for c in node.children] == ["Repeat", "Identifier"]
    assert chain[-1].children == []
    # the surplus conditions are statements of the block
    assert [c.kind for c in block.children] == ["Repeat"] + ["Identifier"] * 10


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


def test_nested_calls():
    # The statement is one level and the right side another; each call adds
    # one. The arguments of the last call would be one level too deep.
    root = parse_on_small_stack("begin x := " + "f(" * MILLION + "a" + ")" * MILLION + " end.")
    expression = rhs_of(root)
    call = only_child(expression)
    calls = []
    while call is not None:
        assert call.kind == "Call"
        calls.append(call)
        callee, arguments = call.children
        assert callee.attrs["name"] == "f" and arguments.kind == "Arguments"
        call = only_child(only_child(arguments)) if arguments.children else None
    assert len(calls) == limit() - 1
    assert calls[-1].col == len("begin x := ") + 1 + 2 * (limit() - 2)


def test_nested_indexes():
    root = parse_on_small_stack("begin x := " + "a[" * MILLION + "a" + "]" * MILLION + " end.")
    indexed = only_child(rhs_of(root))
    count = 0
    while indexed is not None:
        assert indexed.kind == "Indexed"
        count += 1
        operand, indexes = indexed.children
        assert operand.attrs["name"] == "a" and indexes.kind == "Expressions"
        indexed = only_child(indexes) if indexes.children else None
    assert count == limit() - 1


def test_nested_sets():
    # Each set of one element unwraps to that element; the deepest set that
    # is parsed has no element, and it comes up through every level.
    root = parse_on_small_stack("begin x := " + "[" * MILLION + "a" + "]" * MILLION + " end.")
    outer = rhs_of(root)
    inner = only_child(outer)
    assert (outer.kind, inner.kind, inner.children) == ("Set", "Set", [])
    assert outer.col == len("begin x := ") + 1
    assert inner.col == len("begin x := ") + 1 + (limit() - 2)


def test_deep_brackets_inside_a_deep_block():
    # statement and bracket levels count against the same limit
    depth = limit() // 2
    src = "begin " * depth + "x := " + "f(" * limit() + "a" + ")" * limit() + " end" * depth + "."
    root = parse_on_small_stack(src)
    blocks = descend(main_block(root), "Statements", lambda s: s.children[0])
    assert len(blocks) == depth
    expression = rhs_of_block(blocks[-1])
    calls = 0
    node = only_child(expression)
    while node is not None:
        calls += 1
        arguments = node.children[1]
        node = only_child(only_child(arguments)) if arguments.children else None
    assert calls == limit() - depth


def rhs_of_block(block):
    assign = only_child(block)
    assert assign.kind == "Assign"
    return only_child(assign.children[1])


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
