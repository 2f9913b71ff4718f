"""Generic parameter lists of type declarations and routines: groups,
constraints, the constraint words, and the ">=" written without a blank."""

import pytest

from helpers import serialized
from treereader import parse


def type_params(params_text, rest=" = class;"):
    """The TypeDecl of `type T<params_text>` + rest, and its TypeParams node."""
    root = parse(f"type T{params_text}{rest}")
    decl = root.child("TypeSection").child("TypeDecl")
    return decl, decl.child("TypeParams")


def summary(params):
    """[(name, [(constraint kind, constraint name or None), ...] or None)]."""
    out = []
    for param in params.children:
        assert param.kind == "TypeParam"
        name = param.children[0]
        assert name.kind == "Name"
        constraints = None
        if len(param.children) > 1:
            assert param.kinds() == ["Name", "Constraints"]
            constraints = [(c.kind, c.attrs.get("name")) for c in param.children[1].children]
        out.append((name.value, constraints))
    return out


# ---- Whole outputs ------------------------------------------------------------

EXACT = [
    (
        "type L<T: class> = class;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=L source_positions=1:6,1:7
      ntTypeParams line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8
        ntTypeParam line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
          ntName line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
            value=T
          ntConstraints line=1 col=11 end_line=1 end_col=16 source_positions=1:11,1:12,1:13,1:14,1:15,1:16
            ntClassConstraint line=1 col=11 end_line=1 end_col=16 source_positions=1:11,1:12,1:13,1:14,1:15,1:16
      ntType line=1 col=20 end_line=1 end_col=25 type=class source_positions=1:20,1:21,1:22,1:23,1:24,1:25""",
    ),
    (
        "type P<K, V> = record end;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=P source_positions=1:6,1:7
      ntTypeParams line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8
        ntTypeParam line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
          ntName line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
            value=K
        ntTypeParam line=1 col=11 end_line=1 end_col=12 source_positions=1:11,1:12
          ntName line=1 col=11 end_line=1 end_col=12 source_positions=1:11,1:12
            value=V
      ntType line=1 col=16 end_line=1 end_col=22 type=record source_positions=1:16,1:17,1:18,1:19,1:20,1:21,1:22""",
    ),
    (
        "type F<T>= class;",
        """# file_name=t.pas
ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
  ntTypeSection line=1 col=1 end_line=1 end_col=5 source_positions=1:1,1:2,1:3,1:4,1:5
    ntTypeDecl line=1 col=6 end_line=1 end_col=7 name=F source_positions=1:6,1:7
      ntTypeParams line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8
        ntTypeParam line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
          ntName line=1 col=8 end_line=1 end_col=9 source_positions=1:8,1:9
            value=T
      ntType line=1 col=12 end_line=1 end_col=17 type=class source_positions=1:12,1:13,1:14,1:15,1:16,1:17""",
    ),
]


@pytest.mark.parametrize("src,expected", EXACT, ids=[s for s, _ in EXACT])
def test_whole_output(src, expected):
    assert serialized(src) == expected


# ---- Groups and constraints -----------------------------------------------------

CLASS = ("ClassConstraint", None)
RECORD = ("RecordConstraint", None)
CONSTRUCTOR = ("ConstructorConstraint", None)
INTERFACE = ("InterfaceConstraint", None)
UNMANAGED = ("UnmanagedConstraint", None)


def typ(name):
    return ("Type", name)


@pytest.mark.parametrize(
    "params,expected",
    [
        ("<T>", [("T", None)]),
        ("<K, V>", [("K", None), ("V", None)]),
        ("<T: class, constructor; U>", [("T", [CLASS, CONSTRUCTOR]), ("U", None)]),
        ("<A, B: record>", [("A", [RECORD]), ("B", [RECORD])]),
        ("<T: IComparable<T>>", [("T", [typ("IComparable<T>")])]),
        ("<T: Class>", [("T", [CLASS])]),
        ("<T: IFoo<A, B>>", [("T", [typ("IFoo<A"), typ("B>")])]),
        ("<T: interface>", [("T", [INTERFACE])]),
        ("<T: UNMANAGED>", [("T", [UNMANAGED])]),
        ("<T: Constructor>", [("T", [CONSTRUCTOR])]),
        ("<T: RECORD>", [("T", [RECORD])]),
        ("<T: TObject, IFoo, constructor>", [("T", [typ("TObject"), typ("IFoo"), CONSTRUCTOR])]),
        ("<T: System . IFoo>", [("T", [typ("System.IFoo")])]),
        ("<T: classic>", [("T", [typ("classic")])]),
        ("<T: class; U: record; V>", [("T", [CLASS]), ("U", [RECORD]), ("V", None)]),
        ("<T;>", [("T", None)]),
        ("<T,>", [("T", None)]),
        ("<, T>", [("T", None)]),
        ("<T:>", [("T", None)]),
        ("<T: , class>", [("T", [CLASS])]),
        ("<A . B>", [("A.B", None)]),
        ("< >", []),
        # Only the first ":" divides a group; the rest is constraint text.
        ("<T: A: B>", [("T", [typ("A:B")])]),
    ],
)
def test_groups(params, expected):
    _, tp = type_params(params)
    assert summary(tp) == expected


def test_constraint_names_keep_their_case():
    _, tp = type_params("<T: IComparer<T>, TMyBase>")
    assert summary(tp) == [("T", [typ("IComparer<T>"), typ("TMyBase")])]


def test_names_keep_their_case():
    _, tp = type_params("<TKey, tValue>")
    assert [p.children[0].value for p in tp.children] == ["TKey", "tValue"]


def test_each_parameter_carries_its_own_copy_of_the_group_constraints():
    _, tp = type_params("<A, B: class, IFoo; C: record>")
    a, b, c = tp.children
    ca, cb = a.child("Constraints"), b.child("Constraints")
    assert ca.shape() == cb.shape() == ("Constraints", [("ClassConstraint", []), ("Type", [])])
    # The same source node, written under each parameter.
    assert ca.span() == cb.span()
    assert [x.span() for x in ca.children] == [x.span() for x in cb.children]
    assert c.child("Constraints").shape() == ("Constraints", [("RecordConstraint", [])])


def test_positions():
    # In "type T<Key, Value: class, IFoo<Key>> = class;" the "<" is at
    # column 7, Key at 8, Value at 13, class at 20 and IFoo at 27.
    _, tp = type_params("<Key, Value: class, IFoo<Key>>")
    assert tp.span() == (1, 7, 1, 8)
    key, value = tp.children
    assert key.span() == key.children[0].span() == (1, 8, 1, 11)
    assert value.span() == (1, 13, 1, 18)
    constraints = value.child("Constraints")
    # Constraints starts at the first token after ":"; each constraint at its
    # own first token and covers that token only.
    assert constraints.span() == (1, 20, 1, 25)
    assert [c.span() for c in constraints.children] == [(1, 20, 1, 25), (1, 27, 1, 31)]


def test_constraints_start_at_the_token_after_the_colon():
    _, tp = type_params("<T: , class>")
    constraints = tp.children[0].child("Constraints")
    assert (constraints.line, constraints.col) == (1, 11)  # the ","
    assert constraints.children[0].col == 13


# ---- Where the list ends ----------------------------------------------------------


@pytest.mark.parametrize(
    "src",
    [
        "type TFoo<T>= class end;",
        "type TFoo<T: IComparable<T>>= class end;",
        "type TFoo<K, V: record>= class end;",
        "type TFoo<T>=class end;",
    ],
)
def test_greater_equal_closes_the_list(src):
    root = parse(src + " U = Byte;")
    decls = root.child("TypeSection").children
    assert [d.attrs["name"] for d in decls] == ["TFoo", "U"]
    foo = decls[0]
    assert foo.kinds() == ["TypeParams", "Type"]
    assert foo.children[1].attrs == {"type": "class"}
    assert foo.children[0].children[0].children[0].value in ("T", "K")


def test_greater_equal_inside_a_group_ends_it():
    decl, tp = type_params("<T: IFoo>", rest="= record end;")
    assert summary(tp) == [("T", [typ("IFoo")])]
    assert decl.children[-1].attrs == {"type": "record"}


def test_generic_keyword_declaration():
    root = parse("type generic TG<T> = class end;")
    decl = root.child("TypeSection").child("TypeDecl")
    assert decl.attrs == {"name": "TG", "kind": "generic"}
    assert decl.kinds() == ["TypeParams", "Type"]


def test_no_list_adds_nothing():
    root = parse("type T = class;")
    decl = root.child("TypeSection").child("TypeDecl")
    assert decl.kinds() == ["Type"]


def test_unclosed_list_at_end_of_file():
    root = parse("type T<A, B")
    tp = root.child("TypeSection").child("TypeDecl").child("TypeParams")
    assert [p.children[0].value for p in tp.children] == ["A", "B"]


def test_empty_group_ends_the_list():
    # A second ";" gives an empty group: the list stops there.
    _, tp = type_params("<T;; U>", rest=";")
    assert summary(tp) == [("T", None)]


# ---- Routines ---------------------------------------------------------------------


def test_generic_function():
    root = parse("unit U; interface function Max<T: record>(A, B: T): T; implementation end.")
    method = root.child("Interface").child("Method")
    assert method.attrs["name"] == "Max"
    assert method.kinds() == ["TypeParams", "Parameters", "ReturnType"]
    assert summary(method.child("TypeParams")) == [("T", [RECORD])]


def test_generic_method_of_generic_class():
    # The type arguments of the class part of the name are dropped; the
    # method's own list follows the name.
    root = parse("procedure TList<T>.Each<U>(X: U); begin end;")
    method = root.child("Method")
    assert method.attrs["name"] == "TList.Each"
    assert summary(method.child("TypeParams")) == [("U", None)]
