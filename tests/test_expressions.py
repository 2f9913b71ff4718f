"""Expressions: operands collected left to right under one `Expression`,
names, member access, calls, indexes, dereferences, literals, sets, the
unwrapping of single-child results and the comma split of argument, index
and set lists.

Shapes are written in a compact form (see `helpers.brief`): an identifier
is its name, a literal is its type and value, every other node is its kind
with its children in brackets."""

import random
from collections import Counter

import pytest

import tarnwick
from helpers import brief, run_on_small_stack, serialized
from treereader import parse

def rhs(src):
    """The expression `parse_expression` makes of `src`, as it stands under
    the right side of an assignment (never unwrapped)."""
    root = parse("begin x := " + src + " end.")
    value = root.child("Statements").child("Assign").child("RHS")
    assert len(value.children) <= 1
    return brief(value.children[0]) if value.children else None


def statement(src):
    """The unwrapped expression of a simple statement made of `src`."""
    block = parse("begin " + src + " end.").child("Statements")
    assert len(block.children) == 1
    return brief(block.children[0])


def init_run(src):
    """The nodes an initialization section makes of `src` (statement runs end
    only at ";" and at "begin", "end" and "asm" written in lower case)."""
    root = parse("unit U; interface implementation initialization " + src)
    return [brief(c) for c in root.child("Initialization").children]


# ---- Operands, operators and reserved words ---------------------------------


@pytest.mark.parametrize(
    "src, expected",
    [
        ("a + b * c", "Expression(a,b,c)"),
        ("not Done", "Expression(not,Done)"),
        ("x in [a, b]", "Expression(x,Indexed(in,Expressions(a,b)))"),
        ("not (a or b)", "Expression(Call(not,Arguments(PositionalArgument(Expression(a,or,b)))))"),
        ("a = nil", "Expression(a,nil)"),
        ("-a", "Expression(a)"),
        ("@Handler", "Expression(Handler)"),
        ("inherited Create(a)",
         "Expression(inherited,Call(Create,Arguments(PositionalArgument(a))))"),
        ("procedure begin", "Expression(procedure,begin)"),
        ("a := b", "Expression(a,b)"),
        ("(a)", "Expression(a)"),
        ("((a))", "Expression(a)"),
        ("(a + (b))", "Expression(a,b)"),
        ("a ? b ! c", "Expression(a,b,c)"),
    ],
)
def test_operands_are_collected_and_everything_else_passed_over(src, expected):
    assert rhs(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("A.B.Z", "Expression(Dot(Dot(A,B),Z))"),
        ("&Type.X", "Expression(Dot(&Type,X))"),
        ("a.begin", "Expression(Dot(a,begin))"),
        ("a.b(1)", "Expression(Call(Dot(a,b),Arguments(PositionalArgument(num:1))))"),
        # the member step is not repeated after a call or an index
        ("a(1).b", "Expression(Call(a,Arguments(PositionalArgument(num:1))),b)"),
        ("a[1].b", "Expression(Indexed(a,Expressions(num:1)),b)"),
        # a dot not followed by a word is passed over
        ("a.1", "Expression(a,num:1)"),
        ("a.", "Expression(a)"),
        ("a..b", "Expression(a,b)"),
    ],
)
def test_member_access(src, expected):
    assert rhs(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("a[i, j]", "Expression(Indexed(a,Expressions(i,j)))"),
        ("a[1][2]", "Expression(Indexed(a,Expressions(num:1)),num:2)"),
        ("a[]", "Expression(Indexed(a,Expressions))"),
        ("a[i,,j,]", "Expression(Indexed(a,Expressions(i,j)))"),
        ("a[f(x)]", "Expression(Indexed(a,Expressions(Call(f,Arguments(PositionalArgument(x))))))"),
        ("a[i + 1]", "Expression(Indexed(a,Expressions(Expression(i,num:1))))"),
        ("f()", "Expression(Call(f,Arguments))"),
        ("f(a, b)", "Expression(Call(f,Arguments(PositionalArgument(a),PositionalArgument(b))))"),
        ("f(,a,,b,)", "Expression(Call(f,Arguments(PositionalArgument(a),PositionalArgument(b))))"),
        ("f(g(a, b), c)",
         "Expression(Call(f,Arguments(PositionalArgument(Call(g,Arguments("
         "PositionalArgument(a),PositionalArgument(b)))),PositionalArgument(c))))"),
        ("f(a)(b)", "Expression(Call(f,Arguments(PositionalArgument(a))),b)"),
        ("Obj.Run(1, 'x')",
         "Expression(Call(Dot(Obj,Run),Arguments(PositionalArgument(num:1),PositionalArgument(str:x))))"),
        # an opener whose closer never comes stays for the main loop
        ("f(a", "Expression(Call(f),a)"),
        ("a[i", "Expression(Indexed(a),i)"),
        ("f(a]", "Expression(Call(f),a)"),
        ("f(a), b)", "Expression(Call(f,Arguments(PositionalArgument(a))),b)"),
    ],
)
def test_calls_and_indexes(src, expected):
    assert rhs(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("P^", "Expression(Deref(P))"),
        ("P^^", "Expression(Deref(P))"),
        ("P^.X", "Expression(Deref(P),X)"),
        ("a[1]^", "Expression(Deref(Indexed(a,Expressions(num:1))))"),
        ("f(x)^", "Expression(Deref(Call(f,Arguments(PositionalArgument(x)))))"),
        # the index step comes before the dereference
        ("a^[1]", "Expression(Deref(a),num:1)"),
        ("^P", "Expression(P)"),
    ],
)
def test_dereference(src, expected):
    assert rhs(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("1", "num:1"),
        ("$FF", "num:$FF"),
        ("%101", "num:%101"),
        ("&17", "num:&17"),
        ("1.5e3", "num:1.5e3"),
        ("#13", "char:#13"),
        ("#$0D", "char:#$0D"),
        ("'It''s'", "str:It's"),
        ("''", "str:"),
        ("'a'#13'b'", None),  # three literals, see below
    ],
)
def test_literals(src, expected):
    if expected is None:
        assert rhs(src) == "Expression(str:a,char:#13,str:b)"
    else:
        assert rhs(src) == "Expression(" + expected + ")"
        assert statement(src) == expected


@pytest.mark.parametrize(
    "src, expected",
    [
        ("[1, 2..5]", "Set(num:1,Expression(num:2,num:5))"),
        ("[a]", "Set(a)"),
        ("[]", "Set"),
        ("[a, , b, ]", "Set(a,b)"),
        ("[a, [b, c]]", "Set(a,Set(b,c))"),
        ("[[a]]", "Set(a)"),
        ("[a] + [b]", "Expression(a,b)"),
        ("[a]]", "Expression(a)"),
        ("[", "Expression"),
        ("[f(a, b), c]",
         "Set(Call(f,Arguments(PositionalArgument(a),PositionalArgument(b))),c)"),
    ],
)
def test_sets(src, expected):
    assert rhs(src) == expected


@pytest.mark.parametrize(
    "src, raw, unwrapped",
    [
        ("A.B.Z", "Expression(Dot(Dot(A,B),Z))", "Dot(Dot(A,B),Z)"),
        ("(a)", "Expression(a)", "a"),
        ("[a]", "Set(a)", "a"),
        ("[a, b]", "Set(a,b)", "Set(a,b)"),
        ("Foo(1)", "Expression(Call(Foo,Arguments(PositionalArgument(num:1))))",
         "Call(Foo,Arguments(PositionalArgument(num:1)))"),
        ("a + b", "Expression(a,b)", "Expression(a,b)"),
        ("+", "Expression", "Expression"),
    ],
)
def test_unwrapping(src, raw, unwrapped):
    assert rhs(src) == raw
    assert statement(src) == unwrapped


def test_argument_and_index_elements_are_unwrapped():
    assert rhs("f((a), [b], c + d)") == (
        "Expression(Call(f,Arguments(PositionalArgument(a),PositionalArgument(b),"
        "PositionalArgument(Expression(c,d)))))")


@pytest.mark.parametrize(
    "src, expected",
    [
        # a run made only of "end" gives an Expression without children
        ("f(END)", ["Call(f,Arguments(PositionalArgument(Expression)))"]),
        ("a.END", ["a"]),
        ("a End b", ["Expression(a,b)"]),
        # a group that holds no operand still gives an (empty) Expression
        ("f(a, End)", ["Call(f,Arguments(PositionalArgument(a),PositionalArgument(Expression)))"]),
    ],
)
def test_end_is_passed_over(src, expected):
    assert init_run(src) == expected


def test_empty_run_gives_no_node():
    root = parse("begin x := ; end.")
    assign = root.child("Statements").child("Assign")
    assert [c.kind for c in assign.children] == ["LHS", "RHS"]
    assert assign.child("RHS").children == []


# ---- The comma split ----------------------------------------------------------
# Commas cut only where all three counters (round, square, angle) are 0; a
# closer never takes its counter below 0; two-character tokens do not count.


@pytest.mark.parametrize(
    "src, groups",
    [
        ("f(a < b, c > d)", ["Expression(a,b,c,d)"]),
        ("f(a > b, c)", ["Expression(a,b)", "c"]),
        ("f(a <= b, c >= d, e <> g)", ["Expression(a,b)", "Expression(c,d)", "Expression(e,g)"]),
        ("f(a < b, c)", ["Expression(a,b,c)"]),
        ("f(x > y, a < b, c > d, e)", ["Expression(x,y)", "Expression(a,b,c,d)", "e"]),
        ("f(TList<Integer>.Create, x)", ["Expression(TList,Integer,Create)", "x"]),
        # a "<" inside a nested call stays open after it
        ("f(a, g(b<c), d)",
         ["a", "Expression(Call(g,Arguments(PositionalArgument(Expression(b,c)))),d)"]),
        # a ">" inside a nested call closes a "<" opened before it
        ("f(x<y, g(a>b), d)",
         ["Expression(x,y,Call(g,Arguments(PositionalArgument(Expression(a,b)))))", "d"]),
        # a ">" at 0 inside a nested call is lost, the "<" after it stays open
        ("f(g(a>b<c), d)",
         ["Expression(Call(g,Arguments(PositionalArgument(Expression(a,b,c)))),d)"]),
        # a "(" pair holding an unclosed "[": the square counter stays up after it
        ("f(a, (b, [c), d], e)", ["a", "Expression(b,c,d)", "e"]),
        # a "[" pair holding an unclosed "(": the round counter stays up after it
        ("f(a, [b, (c], d), e)", ["a", "Expression(b,c,d)", "e"]),
        # a "[" pair whose "]" lies inside a call that closes after it
        ("f(a, [b, g(c]), d)", ["a", "Expression(b,Call(g,Arguments(PositionalArgument(c))))", "d"]),
        # a stray "]" at 0 changes nothing
        ("f(a], b)", ["a", "b"]),
        ("f(a, ((b, c)), d)", ["a", "Expression(b,c)", "d"]),
        ("f([a, b], c)", ["Set(a,b)", "c"]),
        ("f(a[1, 2], b)", ["Indexed(a,Expressions(num:1,num:2))", "b"]),
    ],
)
def test_argument_split(src, groups):
    expected = "Expression(Call(f,Arguments(" + ",".join(
        "PositionalArgument(" + g + ")" for g in groups) + ")))"
    assert rhs(src) == expected


def test_set_and_index_split_count_angle_brackets_too():
    assert rhs("[a < b, c > d]") == "Set(Expression(a,b,c,d))"
    assert rhs("[a > b, c]") == "Set(Expression(a,b),c)"
    assert rhs("a[x, f(y>z), w]") == (
        "Expression(Indexed(a,Expressions(x,Call(f,Arguments(PositionalArgument(Expression(y,z)))),w)))")


# ---- A reference model of the plain rules -----------------------------------
# The parser finds bracket partners once and steps over matched pairs when it
# splits; this model scans forward from every opener and splits token by
# token, as the rules read. Both must give the same tree on any bracket soup.


def _is_word(t):
    return t[:1].isalpha()


def _model_expression(toks):
    """Compact text of `parse_expression` over token texts (None when empty);
    the empty text stands for the end-of-file token."""
    n = len(toks)
    if n == 0:
        return None

    def match(i, opener, closer):
        depth = 1
        for j in range(i + 1, n):
            if toks[j] == opener:
                depth += 1
            elif toks[j] == closer:
                if depth == 1:
                    return j
                depth -= 1
        return None

    if n >= 2 and toks[0] == "[" and match(0, "[", "]") == n - 1:
        items = [_model_unwrapped(g) for g in _model_split(toks[1:n - 1])]
        items = [x for x in items if x is not None]
        return "Set(" + ",".join(items) + ")" if items else "Set"
    operands = []
    i = 0
    while i < n:
        t = toks[i]
        if t.lower() == "end" or not _is_word(t):
            i += 1
            continue
        cur = t
        i += 1
        while i + 1 < n and toks[i] == "." and _is_word(toks[i + 1]) and toks[i + 1].lower() != "end":
            cur = "Dot(" + cur + "," + toks[i + 1] + ")"
            i += 2
        if i < n and toks[i] in ("[", "("):
            square = toks[i] == "["
            j = match(i, "[", "]") if square else match(i, "(", ")")
            wrapper = "Indexed" if square else "Call"
            if j is None:
                cur = wrapper + "(" + cur + ")"
            else:
                items = []
                for g in _model_split(toks[i + 1:j]):
                    r = _model_unwrapped(g)
                    if r is not None:
                        items.append(r if square else "PositionalArgument(" + r + ")")
                lst = "Expressions" if square else "Arguments"
                lst += "(" + ",".join(items) + ")" if items else ""
                cur = wrapper + "(" + cur + "," + lst + ")"
                i = j + 1
        if i < n and toks[i] == "^":
            cur = "Deref(" + cur + ")"
            i += 1
        operands.append(cur)
    return "Expression(" + ",".join(operands) + ")" if operands else "Expression"


def _model_unwrapped(toks):
    e = _model_expression(toks)
    if e is None:
        return None
    # exactly one child: strip the wrapper
    for head in ("Expression(", "Set("):
        if e.startswith(head):
            inner = e[len(head):-1]
            parts = _top_level_parts(inner)
            if len(parts) == 1:
                return parts[0]
    return e


def _top_level_parts(text):
    parts, depth, start = [], 0, 0
    for k, c in enumerate(text):
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:k])
            start = k + 1
    parts.append(text[start:])
    return parts


def _model_split(toks):
    if not toks:
        return []
    counters = {"(": 0, "[": 0, "<": 0}
    closers = {")": "(", "]": "[", ">": "<"}
    groups, current = [], []
    for t in toks:
        if t == "," and not any(counters.values()):
            groups.append(current)
            current = []
            continue
        current.append(t)
        if t in counters:
            counters[t] += 1
        elif t in closers and counters[closers[t]] > 0:
            counters[closers[t]] -= 1
    groups.append(current)
    return groups


def _model_statement_run(toks):
    """The right side of `x := <toks> end.`: the statement run stops at the
    "end" only where every bracket, angle brackets included, is closed;
    otherwise it takes "end", "." and the end-of-file token as well."""
    depth = 0
    for t in toks:
        if t in ("(", "[", "<"):
            depth += 1
        elif t in (")", "]", ">") and depth > 0:
            depth -= 1
    return toks if depth == 0 else toks + ["end", ".", ""]


SOUP = ["f", "a", "(", ")", "[", "]", "<", ">", ",", ",", "(", ")", "[", "]", ".", "^", "+"]


@pytest.mark.parametrize("seed", range(60))
def test_bracket_soup_matches_the_plain_rules(seed):
    rng = random.Random(seed)
    for _ in range(40):
        toks = [rng.choice(SOUP) for _ in range(rng.randint(1, 18 + seed))]
        src = " ".join(toks)
        expected = _model_expression(_model_statement_run(toks))
        assert rhs(src) == expected, src


def test_bracket_soup_model_agrees_on_known_shapes():
    # the model itself against shapes worked out by hand
    assert _model_expression("f ( a , g ( b < c ) , d )".split()) == (
        "Expression(Call(f,Arguments(PositionalArgument(a),PositionalArgument("
        "Expression(Call(g,Arguments(PositionalArgument(Expression(b,c)))),d)))))")
    assert _model_expression("[ a ]".split()) == "Set(a)"
    assert _model_unwrapped("[ a ]".split()) == "a"


# ---- Deep nesting -------------------------------------------------------------
# Brackets nest to any depth and every level is read, on a thread with a small
# stack. The nest `opener * n + "1" + closer * n` is put at the "@" of a
# context, and the node lines of the tree text are counted by kind: the nodes
# around the levels, plus the nodes of each level times n. (A tree text grows
# with depth times nodes, so the shapes that keep a node per level stay at a
# thousand levels; nested sets of one element stand for that element and keep
# the text small at any depth.)

ASSIGNMENT = "begin x := @ end."
ASSIGNMENT_NODES = Counter(Unit=1, Statements=1, Assign=1, LHS=1, RHS=1, Expression=1,
                           Identifier=1, Literal=1)
ATTRIBUTE = "type [A(@)] T = Integer;"
ATTRIBUTE_NODES = Counter(Unit=1, TypeSection=1, TypeDecl=1, Attributes=1, Attribute=1,
                          Arguments=1, PositionalArgument=1, Literal=1, Type=1)
CALL_LEVEL = Counter(Call=1, Identifier=1, Arguments=1, PositionalArgument=1)
INDEX_LEVEL = Counter(Indexed=1, Identifier=1, Expressions=1)


@pytest.mark.parametrize(
    "context, opener, closer, n, around, level",
    [
        (ASSIGNMENT, "f(", ")", 1000, ASSIGNMENT_NODES + Counter(Expression=1), CALL_LEVEL),
        (ASSIGNMENT, "a[", "]", 1000, ASSIGNMENT_NODES + Counter(Expression=1), INDEX_LEVEL),
        (ASSIGNMENT, "f(a[", "])", 1000, ASSIGNMENT_NODES + Counter(Expression=1),
         CALL_LEVEL + INDEX_LEVEL),
        (ASSIGNMENT, "[A(", ")]", 1000, ASSIGNMENT_NODES + Counter(Set=1), CALL_LEVEL),
        (ATTRIBUTE, "[A(", ")]", 1000, ATTRIBUTE_NODES, CALL_LEVEL),
        (ASSIGNMENT, "[", "]", 1_000_000, ASSIGNMENT_NODES + Counter(Set=1), Counter()),
        (ASSIGNMENT, "(", ")", 1_000_000, ASSIGNMENT_NODES + Counter(Expression=1), Counter()),
    ],
    ids=["calls", "indexes", "calls-and-indexes", "sets-of-calls", "attribute-arguments",
         "sets", "parentheses"],
)
def test_deep_brackets_keep_every_level(context, opener, closer, n, around, level):
    src = context.replace("@", opener * n + "1" + closer * n)
    out = run_on_small_stack(lambda: serialized(src))
    bodies = (line.lstrip(" ") for line in out.split("\n")[1:])
    kinds = Counter(body[2:body.index(" ")] for body in bodies if body.startswith("nt"))
    expected = Counter(around)
    for kind, count in level.items():
        expected[kind] += count * n
    assert kinds == expected


# ---- Whole outputs ------------------------------------------------------------


def test_whole_output_of_a_call_statement():
    src = "begin Obj.Run(1, 'x') end."
    expected = "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "  ntStatements line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "    ntCall line=1 col=7 end_line=1 end_col=10 source_positions=1:7,1:8,1:9,1:10",
        "      ntDot line=1 col=10 end_line=1 end_col=11 source_positions=1:10,1:11",
        "        ntIdentifier line=1 col=7 end_line=1 end_col=10 name=Obj source_positions=1:7,1:8,1:9,1:10",
        "        ntIdentifier line=1 col=11 end_line=1 end_col=14 name=Run source_positions=1:11,1:12,1:13,1:14",
        "      ntArguments line=1 col=14 end_line=1 end_col=15 source_positions=1:14,1:15",
        "        ntPositionalArgument line=1 col=15 end_line=1 end_col=16 source_positions=1:15,1:16",
        "          ntLiteral line=1 col=15 end_line=1 end_col=16 type=numeric source_positions=1:15,1:16",
        "            value=1",
        "        ntPositionalArgument line=1 col=18 end_line=1 end_col=21 source_positions=1:18,1:19,1:20,1:21",
        "          ntLiteral line=1 col=18 end_line=1 end_col=21 type=string source_positions=1:18,1:19,1:20,1:21",
        "            value=x",
    ])
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_whole_output_of_index_deref_and_set():
    src = "begin x := p^[i] + [&a] end"
    expected = "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "  ntStatements line=1 col=1 end_line=1 end_col=6 source_positions=1:1,1:2,1:3,1:4,1:5,1:6",
        "    ntAssign line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8",
        "      ntLHS line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8",
        "        ntExpression line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8",
        "          ntIdentifier line=1 col=7 end_line=1 end_col=8 name=x source_positions=1:7,1:8",
        "      ntRHS line=1 col=12 end_line=1 end_col=13 source_positions=1:12,1:13",
        "        ntExpression line=1 col=12 end_line=1 end_col=13 source_positions=1:12,1:13",
        "          ntDeref line=1 col=13 end_line=1 end_col=14 source_positions=1:13,1:14",
        "            ntIdentifier line=1 col=12 end_line=1 end_col=13 name=p source_positions=1:12,1:13",
        "          ntIdentifier line=1 col=15 end_line=1 end_col=16 name=i source_positions=1:15,1:16",
        "          ntIdentifier line=1 col=21 end_line=1 end_col=23 name=&a source_positions=1:21,1:22",
    ])
    assert tarnwick.parse_to_serialized(src, "t.pas") == expected


def test_anchors_of_expression_nodes():
    root = parse("begin x := (f(a,\n  b.c[1]))\nend.")
    expression = root.child("Statements").child("Assign").child("RHS").children[0]
    assert expression.kind == "Expression"
    assert expression.span() == (1, 12, 1, 13)  # the "(" that begins the run
    call = expression.child("Call")
    assert call.span() == (1, 13, 1, 14)  # the callee's first token
    arguments = call.child("Arguments")
    assert arguments.span() == (1, 14, 1, 15)  # the "("
    first, second = arguments.children
    assert first.span() == (1, 15, 1, 16)
    assert second.span() == (2, 3, 2, 4)  # the group's first token
    indexed = second.children[0]
    assert indexed.kind == "Indexed" and indexed.span() == (2, 6, 2, 7)  # the "["
    assert indexed.child("Expressions").span() == (2, 6, 2, 7)
    dot = indexed.child("Dot")
    assert dot.span() == (2, 4, 2, 5)  # the "."
    assert [c.attrs["name"] for c in dot.children] == ["b", "c"]
