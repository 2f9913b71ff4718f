"""The tree text as parse_to_serialized writes it: the header with the escaped
file name, the root node line, spans and source positions taken from the
first token, and no final line feed. Whole outputs are compared."""

import pytest

import tarnwick
from helpers import cols


def tree(source, file_name="t.pas"):
    return tarnwick.parse_to_serialized(source, file_name)


# --- the header and the file name ------------------------------------------------

EMPTY_ROOT = "ntUnit line=1 col=1 end_line=1 end_col=1 source_positions=1:1"


@pytest.mark.parametrize(
    "file_name, header",
    [
        pytest.param("", "# file_name=", id="empty"),
        pytest.param("demo.pas", "# file_name=demo.pas", id="plain"),
        pytest.param("a\tb.pas", "# file_name=a\\tb.pas", id="tab"),
        pytest.param("a\nb.pas", "# file_name=a\\nb.pas", id="line-feed"),
        pytest.param("a\rb.pas", "# file_name=a\\rb.pas", id="carriage-return"),
        pytest.param("a\r\nb.pas", "# file_name=a\\r\\nb.pas", id="crlf"),
        pytest.param("my file.pas", "# file_name=my file.pas", id="spaces"),
        pytest.param("C:\\src\\unit.pas", "# file_name=C:\\\\src\\\\unit.pas", id="backslashes"),
        pytest.param("\\t", "# file_name=\\\\t", id="backslash-letter"),
        pytest.param("a=b 'c' \"d\".pas", "# file_name=a=b 'c' \"d\".pas", id="quotes-equals"),
        pytest.param("\x0b\x0c\x01\x7f.pas", "# file_name=\x0b\x0c\x01\x7f.pas", id="other-controls"),
        pytest.param("\u00e9\u65e5\U0001F600.pas", "# file_name=\u00e9\u65e5\U0001F600.pas", id="non-ascii"),
        pytest.param("# file_name=x", "# file_name=# file_name=x", id="header-like"),
    ],
)
def test_header_escapes_the_file_name(file_name, header):
    assert tree("", file_name) == header + "\n" + EMPTY_ROOT


def test_empty_source_and_empty_file_name():
    out = tarnwick.parse_to_serialized("", "")
    assert out == "# file_name=\n" + EMPTY_ROOT
    assert out.startswith("# file_name=")
    assert not out.endswith("\n")


def test_keyword_arguments_give_the_same_text():
    expected = ("# file_name=a.pas\n"
                "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + cols(1, 1, 5))
    assert tarnwick.parse_to_serialized(text="unit A;", file_name="a.pas") == expected
    assert tarnwick.parse_to_serialized("unit A;", file_name="a.pas") == expected
    assert tarnwick.parse_to_serialized("unit A;", "a.pas") == expected


def test_no_final_line_feed_and_one_line_per_node():
    source = "unit A;\ninterface\nuses B, C;\nimplementation\n"
    out = tree(source)
    assert not out.endswith("\n")
    assert out == "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + cols(1, 1, 5),
        "  ntInterface line=2 col=1 end_line=2 end_col=10 source_positions=" + cols(2, 1, 10),
        "    ntUses line=3 col=1 end_line=3 end_col=5 source_positions=" + cols(3, 1, 5),
        "      ntUnit line=3 col=6 end_line=3 end_col=7 name=B source_positions=3:6,3:7",
        "      ntUnit line=3 col=9 end_line=3 end_col=10 name=C source_positions=3:9,3:10",
        "  ntImplementation line=4 col=1 end_line=4 end_col=15 source_positions=" + cols(4, 1, 15),
    ])


def test_file_name_does_not_change_the_nodes():
    source = "unit A; interface"
    plain = tree(source, "x.pas").split("\n", 1)
    odd = tree(source, "x\ty\n.pas").split("\n", 1)
    assert odd[0] == "# file_name=x\\ty\\n.pas"
    assert plain[1] == odd[1]


# --- the root made from the first token ----------------------------------------------

@pytest.mark.parametrize(
    "source, root_line",
    [
        # Only the end-of-file token: the root stands where the text ends.
        pytest.param("", EMPTY_ROOT, id="empty"),
        pytest.param("  \n\t ", "ntUnit line=2 col=3 end_line=2 end_col=3 source_positions=2:3", id="blanks"),
        pytest.param("{ note }\n// x", "ntUnit line=2 col=5 end_line=2 end_col=5 source_positions=2:5",
                     id="comments-only"),
        pytest.param("{$DEFINE X}", "ntUnit line=1 col=12 end_line=1 end_col=12 source_positions=1:12",
                     id="directive-only"),
        # A first token that is skipped still gives the root its place.
        pytest.param("x", "ntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2", id="word"),
        pytest.param(";", "ntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2", id="symbol"),
        pytest.param("\r\nx", "ntUnit line=2 col=1 end_line=2 end_col=2 source_positions=2:1,2:2", id="crlf"),
        pytest.param("\rx", "ntUnit line=1 col=2 end_line=1 end_col=3 source_positions=1:2,1:3", id="cr"),
        pytest.param("\u00e9\u65e5", "ntUnit line=1 col=1 end_line=1 end_col=3 source_positions=1:1,1:2,1:3",
                     id="non-ascii"),
        pytest.param("\U0001F600", "ntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2",
                     id="astral-unknown"),
        # "&foo": the end counts the "&", the positions only the text "foo".
        pytest.param("&foo", "ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=" + cols(1, 1, 4),
                     id="escaped-word"),
        # A token holding line feeds: the end follows them, the positions
        # stay on the first line (10 characters, 11 positions).
        pytest.param("'''\nab\n'''", "ntUnit line=1 col=1 end_line=3 end_col=4 source_positions=" + cols(1, 1, 11),
                     id="multi-line-string"),
        pytest.param("  (* a\r\nbc *)x", "ntUnit line=2 col=6 end_line=2 end_col=7 source_positions=2:6,2:7",
                     id="after-multi-line-comment"),
        pytest.param("{a\n\n}", "ntUnit line=3 col=2 end_line=3 end_col=2 source_positions=3:2",
                     id="eof-after-comment"),
    ],
)
def test_root_from_first_token(source, root_line):
    assert tree(source) == "# file_name=t.pas\n" + root_line


def test_attribute_values_are_escaped():
    # A deprecation message holding a backslash and a tab.
    out = tree("unit X deprecated 'C:\\dir\tx';")
    assert out == ("# file_name=t.pas\n"
                   "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=C:\\\\dir\\tx kind=unit name=X "
                   "source_positions=" + cols(1, 1, 5))


def test_attributes_are_sorted_by_key_name():
    # Set in the order kind, name, deprecated, path; written sorted.
    out = tree("unit Z deprecated; uses Q in 'q.pas';")
    assert out == "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=5 deprecated=true kind=unit name=Z source_positions=" + cols(1, 1, 5),
        "  ntUses line=1 col=20 end_line=1 end_col=24 source_positions=" + cols(1, 20, 24),
        "    ntUnit line=1 col=25 end_line=1 end_col=26 name=Q path=q.pas source_positions=1:25,1:26",
    ])


def test_empty_attribute_value_is_written_as_key_and_equals():
    # "in" followed only by the end of the file: the path is the empty text
    # of the end-of-file token.
    out = tree("uses A in")
    assert out == "\n".join([
        "# file_name=t.pas",
        "ntUnit line=1 col=1 end_line=1 end_col=5 source_positions=" + cols(1, 1, 5),
        "  ntUses line=1 col=1 end_line=1 end_col=5 source_positions=" + cols(1, 1, 5),
        "    ntUnit line=1 col=6 end_line=1 end_col=7 name=A path= source_positions=1:6,1:7",
    ])


def test_output_is_a_new_string_each_call():
    a = tree("unit A;")
    b = tree("unit A;")
    assert a == b
    assert a is not b
