"""The Python face of the extension: module attributes, signatures, argument
binding and its error messages, reference handling and initialisation."""

import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import tarnwick


class Key(str):
    """A str subclass whose str() is not its characters."""

    def __str__(self):
        return "other"


# (function name, name of its second parameter)
ENTRY_POINTS = [
    ("lex_to_serialized", "_file_name"),
    ("parse_to_serialized", "file_name"),
]

LEX_DOC = (
    "Lex Delphi source and return serialized tokens.\n"
    "\n"
    "Format: one line per token: `KIND VALUE LINE:COL`\n"
    "Values are escaped so each line is one token."
)

PARSE_DOC = (
    "Parse Delphi source and return a serialized AST string.\n"
    "\n"
    "Format: one line per node, matching Python's ast_serialize.py:\n"
    "  `# file_name=...`\n"
    "  `  TYPE line=N col=M end_line=N end_col=M [attr=val ...]`\n"
    "Children are indented one level deeper."
)


def fresh(text):
    """A new, non-interned str object equal to ``text``."""
    return "".join(list(text))


def raises_type_error(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    return info.value


def run_python(code):
    """Run ``code`` in a new interpreter process that sees the same import path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


# --- module attributes -------------------------------------------------------


def test_module_name_and_docstring():
    assert tarnwick.__name__ == "tarnwick"
    assert tarnwick.__doc__ == "Register the Python extension module."


def test_all_lists_the_three_functions_in_order():
    assert tarnwick.__all__ == ["version", "lex_to_serialized", "parse_to_serialized"]
    assert type(tarnwick.__all__) is list


def test_star_import_gives_exactly_the_three_functions():
    namespace = {}
    exec("from tarnwick import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(["version", "lex_to_serialized", "parse_to_serialized"])
    assert namespace["lex_to_serialized"] is tarnwick.lex_to_serialized


@pytest.mark.parametrize("name", ["version", "lex_to_serialized", "parse_to_serialized"])
def test_function_belongs_to_module(name):
    function = getattr(tarnwick, name)
    assert callable(function)
    assert function.__name__ == name
    assert function.__module__ == "tarnwick"


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("version", "()", "Version of the native package."),
        ("lex_to_serialized", "(text, _file_name)", LEX_DOC),
        ("parse_to_serialized", "(text, file_name)", PARSE_DOC),
    ],
)
def test_docstring_and_text_signature(name, signature, doc):
    function = getattr(tarnwick, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize("name, second", ENTRY_POINTS)
def test_signature_parameters_are_plain_and_required(name, second):
    parameters = list(inspect.signature(getattr(tarnwick, name)).parameters.values())
    assert [p.name for p in parameters] == ["text", second]
    for parameter in parameters:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


# --- version ------------------------------------------------------------------


def test_version():
    result = tarnwick.version()
    assert type(result) is str
    assert result == "3.6.0"


def test_version_rejects_positional_argument():
    with pytest.raises(TypeError) as info:
        tarnwick.version(1)
    # The host writes the message; it may qualify the name with the module.
    assert str(info.value).endswith("version() takes no arguments (1 given)")


def test_version_rejects_keyword_argument():
    with pytest.raises(TypeError) as info:
        tarnwick.version(x=1)
    assert str(info.value).endswith("version() takes no keyword arguments")


# --- PanicException -----------------------------------------------------------


def test_panic_exception_derives_directly_from_base_exception():
    panic = tarnwick.PanicException
    assert isinstance(panic, type)
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    error = panic("broken invariant")
    assert error.args == ("broken invariant",)


# --- successful calls -----------------------------------------------------------


def test_lex_empty_text():
    assert tarnwick.lex_to_serialized("", "x") == "eof  1:1"


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f("a", "f"),
        lambda f: f(text="a", _file_name="f"),
        lambda f: f(_file_name="f", text="a"),
        lambda f: f("a", _file_name="f"),
        lambda f: f(*("a", "f"), **{}),
    ],
    ids=["positional", "keywords", "keywords-reversed", "mixed", "unpacked"],
)
def test_lex_call_forms(call):
    assert call(tarnwick.lex_to_serialized) == "identifier a 1:1\neof  1:2"


@pytest.mark.parametrize(
    "call",
    [
        lambda f, second: f(text="unit A;", **{second: "a.pas"}),
        lambda f, second: f(**{second: "a.pas"}, text="unit A;"),
        lambda f, second: f("unit A;", **{second: "a.pas"}),
    ],
    ids=["keywords", "keywords-reversed", "mixed"],
)
@pytest.mark.parametrize("name, second", ENTRY_POINTS)
def test_keyword_calls_match_positional_call(call, name, second):
    function = getattr(tarnwick, name)
    assert call(function, second) == function("unit A;", "a.pas")


def test_parse_keyword_call_writes_header():
    result = tarnwick.parse_to_serialized(text="unit A;", file_name="a.pas")
    assert result.split("\n")[0] == "# file_name=a.pas"
    assert not result.endswith("\n")


def test_lex_ignores_file_name():
    expected = "identifier x 1:1\neof  1:2"
    assert tarnwick.lex_to_serialized("x", "") == expected
    assert tarnwick.lex_to_serialized("x", "other.pas") == expected
    assert tarnwick.lex_to_serialized("x", "\t\n\\") == expected


class SubStr(str):
    pass


@pytest.mark.parametrize("name, second", ENTRY_POINTS)
def test_str_subclass_arguments_are_accepted(name, second):
    function = getattr(tarnwick, name)
    expected = function("unit A;", "a.pas")
    result = function(SubStr("unit A;"), SubStr("a.pas"))
    assert type(result) is str
    assert result == expected
    assert function(text=SubStr("unit A;"), **{second: SubStr("a.pas")}) == expected


# --- argument binding errors ---------------------------------------------------------


@pytest.mark.parametrize("name, second", ENTRY_POINTS)
class TestArgumentBinding:
    def test_three_positional(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", "c"),
            f"{name}() takes 2 positional arguments but 3 were given",
        )

    def test_four_positional(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", "c", "d"),
            f"{name}() takes 2 positional arguments but 4 were given",
        )

    def test_too_many_positional_checked_before_keywords(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", "c", bogus=1),
            f"{name}() takes 2 positional arguments but 3 were given",
        )
        raises_type_error(
            lambda: f(1, 2, 3, text="t"),
            f"{name}() takes 2 positional arguments but 3 were given",
        )

    def test_unexpected_keyword(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", bogus="c"),
            f"{name}() got an unexpected keyword argument 'bogus'",
        )

    def test_other_functions_second_name_is_unexpected(self, name, second):
        f = getattr(tarnwick, name)
        wrong = "file_name" if second == "_file_name" else "_file_name"
        raises_type_error(
            lambda: f("a", **{wrong: "f"}),
            f"{name}() got an unexpected keyword argument '{wrong}'",
        )

    def test_keyword_names_are_case_sensitive(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", **{second.upper(): "f"}),
            f"{name}() got an unexpected keyword argument '{second.upper()}'",
        )

    @pytest.mark.parametrize(
        "keywords, named",
        [
            ({"zz": 1, "aa": 2}, "zz"),
            ({"aa": 1, "zz": 2}, "aa"),
            ({"mm": 1, "aa": 2, "zz": 3}, "mm"),
        ],
    )
    def test_first_unexpected_keyword_in_dict_order(self, name, second, keywords, named):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", **keywords),
            f"{name}() got an unexpected keyword argument '{named}'",
        )

    @pytest.mark.parametrize("key, shown", [
        ("\udcff", "\udcff"),  # a lone surrogate: no UTF-8 form
        (Key("zz"), "zz"),  # a str subclass, named by its characters, not its __str__
    ], ids=["undecodable", "str-subclass"])
    def test_unexpected_keyword_of_any_str(self, name, second, key, shown):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", **{key: 1}),
            f"{name}() got an unexpected keyword argument '{shown}'",
        )

    def test_str_subclass_keyword_names_its_parameter(self, name, second):
        f = getattr(tarnwick, name)
        assert f(Key("text"), **{Key(second): "f.pas"}) == f("text", "f.pas")
        assert f("a", **{Key(second): "f.pas"}) == f("a", "f.pas")

    def test_unexpected_keyword_before_a_valid_one(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f(bogus=1, text="a", **{second: "b"}),
            f"{name}() got an unexpected keyword argument 'bogus'",
        )

    def test_unexpected_keyword_reported_before_missing(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f(bogus=1),
            f"{name}() got an unexpected keyword argument 'bogus'",
        )

    def test_multiple_values_for_text(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", text="c"),
            f"{name}() got multiple values for argument 'text'",
        )
        raises_type_error(
            lambda: f("a", text="c", **{second: "b"}),
            f"{name}() got multiple values for argument 'text'",
        )

    def test_multiple_values_for_second(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a", "b", **{second: "c"}),
            f"{name}() got multiple values for argument '{second}'",
        )

    def test_missing_second(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f("a"),
            f"{name}() missing 1 required positional argument: '{second}'",
        )
        raises_type_error(
            lambda: f(text="a"),
            f"{name}() missing 1 required positional argument: '{second}'",
        )

    def test_missing_text(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f(**{second: "b"}),
            f"{name}() missing 1 required positional argument: 'text'",
        )

    def test_both_missing(self, name, second):
        f = getattr(tarnwick, name)
        message = f"{name}() missing 2 required positional arguments: 'text' and '{second}'"
        raises_type_error(lambda: f(), message)
        raises_type_error(lambda: f(*(), **{}), message)

    def test_missing_reported_before_conversion(self, name, second):
        f = getattr(tarnwick, name)
        raises_type_error(
            lambda: f(1),
            f"{name}() missing 1 required positional argument: '{second}'",
        )
        raises_type_error(
            lambda: f(**{second: 5}),
            f"{name}() missing 1 required positional argument: 'text'",
        )

    @pytest.mark.parametrize(
        "value, type_name",
        [
            (1, "int"),
            (1.5, "float"),
            (b"a", "bytes"),
            (bytearray(b"a"), "bytearray"),
            (None, "NoneType"),
            (["a"], "list"),
        ],
    )
    def test_text_not_a_str(self, name, second, value, type_name):
        f = getattr(tarnwick, name)
        message = f"argument 'text': '{type_name}' object cannot be converted to 'PyString'"
        raises_type_error(lambda: f(value, "f"), message)
        raises_type_error(lambda: f(text=value, **{second: "f"}), message)

    @pytest.mark.parametrize(
        "value, type_name",
        [(5, "int"), (b"f", "bytes"), (None, "NoneType"), (("f",), "tuple")],
    )
    def test_second_not_a_str(self, name, second, value, type_name):
        f = getattr(tarnwick, name)
        message = f"argument '{second}': '{type_name}' object cannot be converted to 'PyString'"
        raises_type_error(lambda: f("a", value), message)
        raises_type_error(lambda: f(text="a", **{second: value}), message)

    def test_both_not_str_names_only_text(self, name, second):
        f = getattr(tarnwick, name)
        message = "argument 'text': 'int' object cannot be converted to 'PyString'"
        raises_type_error(lambda: f(1, 5), message)
        raises_type_error(lambda: f(**{second: 5}, text=1), message)
        raises_type_error(
            lambda: f(b"x", None),
            "argument 'text': 'bytes' object cannot be converted to 'PyString'",
        )

    def test_lone_surrogate_in_text(self, name, second):
        f = getattr(tarnwick, name)
        with pytest.raises(UnicodeEncodeError) as info:
            f("ab\ud800", "f")
        error = info.value
        assert error.encoding == "utf-8"
        assert error.reason == "surrogates not allowed"
        assert error.object == "ab\ud800"
        assert (error.start, error.end) == (2, 3)

    def test_lone_surrogate_in_second(self, name, second):
        f = getattr(tarnwick, name)
        with pytest.raises(UnicodeEncodeError) as info:
            f("a", "\udfff.pas")
        assert info.value.object == "\udfff.pas"
        assert (info.value.start, info.value.end) == (0, 1)

    def test_text_converted_before_second(self, name, second):
        f = getattr(tarnwick, name)
        # text fails to encode; the bad second argument is never looked at
        with pytest.raises(UnicodeEncodeError):
            f("\ud800", 5)
        # text is not a str; the unencodable second argument is never looked at
        raises_type_error(
            lambda: f(5, "\ud800"),
            "argument 'text': 'int' object cannot be converted to 'PyString'",
        )


# --- reference counts ------------------------------------------------------------


@pytest.mark.parametrize("name, second", ENTRY_POINTS)
def test_argument_reference_counts_unchanged(name, second):
    f = getattr(tarnwick, name)
    text = fresh("unit A; begin end.")
    file_name = fresh("a.pas")
    before = (sys.getrefcount(text), sys.getrefcount(file_name))
    for _ in range(20):
        f(text, file_name)
        f(text=text, **{second: file_name})
    assert (sys.getrefcount(text), sys.getrefcount(file_name)) == before


@pytest.mark.parametrize("name, second", ENTRY_POINTS)
def test_argument_reference_counts_unchanged_on_errors(name, second):
    f = getattr(tarnwick, name)
    text = fresh("unit A;")
    file_name = fresh("a.pas")
    extra = fresh("extra")
    number = int("123456789123456789")
    bad = fresh("x\ud800")
    objects = (text, file_name, extra, number, bad)
    before = [sys.getrefcount(o) for o in objects]
    failing_calls = [
        lambda: f(text, file_name, extra),
        lambda: f(text, bogus=extra),
        lambda: f(text, file_name, text=extra),
        lambda: f(text),
        lambda: f(**{second: file_name}),
        lambda: f(number, file_name),
        lambda: f(text, number),
        lambda: f(bad, file_name),
        lambda: f(text, bad),
    ]
    for _ in range(10):
        for call in failing_calls:
            try:
                call()
            except (TypeError, UnicodeEncodeError):
                pass
            else:
                pytest.fail("call was expected to fail")
    assert [sys.getrefcount(o) for o in objects] == before


@pytest.mark.parametrize("name", ["lex_to_serialized", "parse_to_serialized"])
def test_result_holds_no_extra_reference(name):
    result = getattr(tarnwick, name)(fresh("unit A;"), fresh("a.pas"))
    # one reference from the local name, one from getrefcount's argument
    assert sys.getrefcount(result) == 2


# --- initialisation ---------------------------------------------------------------


def test_reimport_after_removal_from_sys_modules_gives_same_object():
    process = run_python(
        """
        import sys
        import tarnwick
        first = tarnwick
        del sys.modules["tarnwick"]
        import tarnwick as second
        print(second is first)
        print(second.__all__)
        print(second.lex_to_serialized("a", "f") == "identifier a 1:1\\neof  1:2")
        """
    )
    assert process.returncode == 0, process.stderr
    assert process.stdout.split("\n") == [
        "True",
        "['version', 'lex_to_serialized', 'parse_to_serialized']",
        "True",
        "",
    ]


@pytest.mark.skipif(
    importlib.util.find_spec("_xxsubinterpreters") is None,
    reason="the host offers no sub-interpreter module",
)
def test_import_in_sub_interpreter_fails(tmp_path):
    outcome = tmp_path / "outcome.txt"
    sub_code = textwrap.dedent(
        f"""
        import sys
        sys.path[:0] = {[p for p in sys.path if p]!r}
        try:
            import tarnwick
        except ImportError:
            outcome = "ImportError"
        except BaseException as error:
            outcome = "other: " + type(error).__name__
        else:
            outcome = "imported"
        with open({str(outcome)!r}, "w") as stream:
            stream.write(outcome)
        """
    )
    process = run_python(
        f"""
        import _xxsubinterpreters as interpreters
        import tarnwick
        interpreter = interpreters.create()
        interpreters.run_string(interpreter, {sub_code!r})
        interpreters.destroy(interpreter)
        print(tarnwick.lex_to_serialized("a", "f") == "identifier a 1:1\\neof  1:2")
        """
    )
    assert process.returncode == 0, process.stderr
    assert outcome.read_text() == "ImportError"
    # the main interpreter's module keeps working
    assert process.stdout == "True\n"
