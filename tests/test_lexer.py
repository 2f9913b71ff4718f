"""Token lists written by lex_to_serialized: every scanner rule, positions,
escaping and the keyword set, compared as whole output texts."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnwick


def lex(text):
    return tarnwick.lex_to_serialized(text, "test.pas")


def case(source, *lines, id=None):
    """One input and the exact lines of its token list."""
    return pytest.param(source, list(lines), id=id or ascii(source)[1:-1][:48] or "empty")


def check(source, lines):
    assert lex(source) == "\n".join(lines)


KEYWORDS = """
abort absolute abstract add align and ansistring array as asm assembler at
automated begin boolean break byte bytebool cardinal case cdecl char class
comp const constructor contains continue currency default delayed deprecated
destructor dispid dispinterface div do double downto dword dynamic else end
except exit experimental export exports extended external false far file
final finalization finally for forward function goto halt helper if
implementation implements in index inherited initialization inline int64
integer interface is label library local longbool longint longword message
mod namespace near nil nodefault noreturn not null object of olevariant on
operator or out overload override package packed pascal pchar platform
private procedure program property protected public published raise read
readonly real real48 record reference register reintroduce remove repeat
requires resident resourcestring runerror safecall sealed self set shl
shortint shortstring shr single smallint static stdcall stored strict string
stringresource then threadvar to true try type unit unmanaged unsafe until
uses var varargs variant virtual while widechar widestring winapi with word
wordbool write writeonly xor
""".split()

TWO_CHAR_SYMBOLS = [":=", "<=", ">=", "<>", "..", "**", "+=", "-=", "*=", "/=", "><", "=>"]
SYMBOL_CHARACTERS = ";,:.=+-*/()[]^@<>"


def test_keyword_list_as_typed():
    assert len(KEYWORDS) == 166
    assert len(set(KEYWORDS)) == 166
    assert KEYWORDS == sorted(KEYWORDS)


# --- key examples, whole outputs ----------------------------------------------------

KEY_EXAMPLES = [
    case("", "eof  1:1"),
    case("a\r\nb", "identifier a 1:1", "identifier b 2:1", "eof  2:2"),
    case("\tx", "identifier x 1:2", "eof  1:3"),
    case(
        "x := 'it''s';",
        "identifier x 1:1",
        "symbol := 1:3",
        "string 'it''s' 1:6",
        "symbol ; 1:13",
        "eof  1:14",
    ),
    case("'abc\nd", "string 'abc 1:1", "identifier d 2:1", "eof  2:2"),
    case("'''\nabc\n'''", r"string '''\x0Aabc\x0A''' 1:1", "eof  3:4"),
    case("'''\nabc\n''' x", r"string '''\x0Aabc\x0A''' 1:1", "identifier x 3:5", "eof  3:6"),
    case("{$IFDEF X}", "directive {$IFDEF X} 1:1", "eof  1:11"),
    case("(*$R+*)", "directive (*$R+*) 1:1", "eof  1:8"),
    case(
        "{ a { b } c }",
        "comment { a { b } 1:1",
        "identifier c 1:11",
        "unknown } 1:13",
        "eof  1:14",
    ),
    case("//$x", "comment //$x 1:1", "eof  1:5"),
    case("(*)", "comment (*) 1:1", "eof  1:4"),
    case("&8", "number & 1:1", "number 8 1:2", "eof  1:3"),
    case("%2", "unknown % 1:1", "number 2 1:2", "eof  1:3"),
    case("&", "unknown & 1:1", "eof  1:2"),
    case("&Type", "keyword Type 1:1", "eof  1:6"),
    case("#$", "char_code #$ 1:1", "eof  1:3"),
    case("#13#10", "char_code #13 1:1", "char_code #10 1:4", "eof  1:7"),
    case("é", "identifier é 1:1", "eof  1:2"),
    case("日本", "identifier 日本 1:1", "eof  1:3"),
    case("x²", "identifier x² 1:1", "eof  1:3"),
    case("€", "unknown € 1:1", "eof  1:2"),
    case("\ufeff", "unknown \ufeff 1:1", "eof  1:2"),
    case("\u00a0", "unknown \u00a0 1:1", "eof  1:2"),
    case("1..5", "number 1 1:1", "symbol .. 1:2", "number 5 1:4", "eof  1:5"),
    case("1.", "number 1. 1:1", "eof  1:3"),
    case("1e", "number 1 1:1", "identifier e 1:2", "eof  1:3"),
    case("1e+", "number 1e+ 1:1", "eof  1:4"),
    case("1ex", "number 1 1:1", "identifier ex 1:2", "eof  1:4"),
    case("a**b", "identifier a 1:1", "symbol ** 1:2", "identifier b 1:4", "eof  1:5"),
    case("a+=1", "identifier a 1:1", "symbol += 1:2", "number 1 1:4", "eof  1:5"),
    case("x><y", "identifier x 1:1", "symbol >< 1:2", "identifier y 1:4", "eof  1:5"),
    case("p=>q", "identifier p 1:1", "symbol => 1:2", "identifier q 1:4", "eof  1:5"),
    case("!", "unknown ! 1:1", "eof  1:2"),
    case("?", "unknown ? 1:1", "eof  1:2"),
    case("}", "unknown } 1:1", "eof  1:2"),
    case("~", "unknown ~ 1:1", "eof  1:2"),
    case('"', 'unknown " 1:1', "eof  1:2"),
    case(
        "x := 1;",
        "identifier x 1:1",
        "symbol := 1:3",
        "number 1 1:6",
        "symbol ; 1:7",
        "eof  1:8",
    ),
    case("{a\nb}", r"comment {a\x0Ab} 1:1", "eof  2:3"),
    case("// c\r\n", r"comment // c\x0D 1:1", "eof  2:1"),
    case("'a\\b'", r"string 'a\\b' 1:1", "eof  1:6"),
    case("'\x0c'", "string '\x0c' 1:1", "eof  1:4"),
    case("'\x0b'", "string '\x0b' 1:1", "eof  1:4"),
    case("&begin", "keyword begin 1:1", "eof  1:7"),
    case("'''\r\nab\r\n'''", r"string '''\x0D\x0Aab\x0D\x0A''' 1:1", "eof  3:4"),
    # Escapes inside and between the 8-byte runs a long comment is copied in.
    case("{0123456\\789abcdef\tghijklmnop\n\x0cqrstuvwxyz\u00e4\u00f6\u00fc}",
         "comment {0123456\\\\789abcdef\\x09ghijklmnop\\x0A\x0cqrstuvwxyz\u00e4\u00f6\u00fc} 1:1",
         "eof  2:16"),
]


@pytest.mark.parametrize("source, lines", KEY_EXAMPLES)
def test_key_examples(source, lines):
    check(source, lines)


# --- keyword set ---------------------------------------------------------------------


def alternating_case(word):
    return "".join(c.upper() if i % 2 else c for i, c in enumerate(word))


@pytest.mark.parametrize("word", KEYWORDS)
@pytest.mark.parametrize(
    "spelling",
    [str.lower, str.upper, str.capitalize, alternating_case],
    ids=["lower", "upper", "capitalized", "alternating"],
)
def test_every_keyword_in_any_case(word, spelling):
    written = spelling(word)
    check(written, [f"keyword {written} 1:1", f"eof  1:{len(word) + 1}"])


@pytest.mark.parametrize("word", KEYWORDS)
def test_every_keyword_escaped(word):
    written = word.upper()
    check("&" + written, [f"keyword {written} 1:1", f"eof  1:{len(word) + 2}"])


@pytest.mark.parametrize(
    "word",
    [
        "name", "result", "pointer", "specialize", "generic", "TObject",
        "Result", "Name", "int32", "uint64", "nativeint", "ansichar",
        "unicodestring", "writeln", "readln", "en", "ends", "beginx",
        "begin1", "_begin", "begin_", "xor_", "ab", "absolut",
    ],
)
def test_non_keywords_are_identifiers(word):
    check(word, [f"identifier {word} 1:1", f"eof  1:{len(word) + 1}"])


@pytest.mark.parametrize(
    "word",
    ["Integer", "String", "TRUE", "nil", "Self", "Exit", "real48", "int64", "REAL48", "Int64"],
)
def test_predefined_names_are_keywords(word):
    check(word, [f"keyword {word} 1:1", f"eof  1:{len(word) + 1}"])


@pytest.mark.parametrize("source, lines", [
    case(
        "rec.Read := obj.Index;",
        "identifier rec 1:1",
        "symbol . 1:4",
        "keyword Read 1:5",
        "symbol := 1:10",
        "identifier obj 1:13",
        "symbol . 1:16",
        "keyword Index 1:17",
        "symbol ; 1:22",
        "eof  1:23",
    ),
    case(
        "var at: Integer;",
        "keyword var 1:1",
        "keyword at 1:5",
        "symbol : 1:7",
        "keyword Integer 1:9",
        "symbol ; 1:16",
        "eof  1:17",
    ),
    case(
        "Write(Message, Default)",
        "keyword Write 1:1",
        "symbol ( 1:6",
        "keyword Message 1:7",
        "symbol , 1:14",
        "keyword Default 1:16",
        "symbol ) 1:23",
        "eof  1:24",
    ),
])
def test_keywords_wherever_they_stand(source, lines):
    check(source, lines)


@pytest.mark.parametrize("source, lines", [
    # KELVIN SIGN lower-cases to the ASCII "k"
    case("BREA\u212a", "keyword BREA\u212a 1:1", "eof  1:6", id="break-kelvin"),
    case("pac\u212aage", "keyword pac\u212aage 1:1", "eof  1:8", id="package-kelvin"),
    case("&brea\u212a", "keyword brea\u212a 1:1", "eof  1:7", id="escaped-kelvin"),
    case("\u212a", "identifier \u212a 1:1", "eof  1:2", id="kelvin-alone"),
    # full lower-case mapping of U+0130 is "i" plus a combining dot: no keyword
    case("\u0130F", "identifier \u0130F 1:1", "eof  1:3", id="if-dotted-capital-i"),
    # long s and the fi ligature are already lower case; no case folding is applied
    case("\u017fhl", "identifier \u017fhl 1:1", "eof  1:4", id="shl-long-s"),
    case("\ufb01nal", "identifier \ufb01nal 1:1", "eof  1:5", id="final-ligature"),
    case("ＢＥＧＩＮ", "identifier ＢＥＧＩＮ 1:1", "eof  1:6", id="fullwidth-begin"),
])
def test_non_ascii_words_and_keywords(source, lines):
    check(source, lines)


# --- character codes, $ hex, % binary, & octal ---------------------------------------

NUMERIC_PREFIXES = [
    case("#", "char_code # 1:1", "eof  1:2"),
    case("#65", "char_code #65 1:1", "eof  1:4"),
    case("#$0D", "char_code #$0D 1:1", "eof  1:5"),
    case("#$ff", "char_code #$ff 1:1", "eof  1:5"),
    case("#$0g", "char_code #$0 1:1", "identifier g 1:4", "eof  1:5"),
    case("#12a", "char_code #12 1:1", "identifier a 1:4", "eof  1:5"),
    case("#A", "char_code # 1:1", "identifier A 1:2", "eof  1:3"),
    case("# 1", "char_code # 1:1", "number 1 1:3", "eof  1:4"),
    case("#$$1", "char_code #$ 1:1", "number $1 1:3", "eof  1:5"),
    case(
        "#65'x'#66",
        "char_code #65 1:1",
        "string 'x' 1:4",
        "char_code #66 1:7",
        "eof  1:10",
    ),
    case("$", "number $ 1:1", "eof  1:2"),
    case("$FF", "number $FF 1:1", "eof  1:4"),
    case("$0aBc", "number $0aBc 1:1", "eof  1:6"),
    case("$1Fg", "number $1F 1:1", "identifier g 1:4", "eof  1:5"),
    case("$G", "number $ 1:1", "identifier G 1:2", "eof  1:3"),
    case("$FFe+1", "number $FFe 1:1", "symbol + 1:5", "number 1 1:6", "eof  1:7"),
    case("$1.5", "number $1 1:1", "symbol . 1:3", "number 5 1:4", "eof  1:5"),
    case("%0", "number %0 1:1", "eof  1:3"),
    case("%1010", "number %1010 1:1", "eof  1:6"),
    case("%102", "number %10 1:1", "number 2 1:4", "eof  1:5"),
    case("%", "unknown % 1:1", "eof  1:2"),
    case("%a", "unknown % 1:1", "identifier a 1:2", "eof  1:3"),
    case("% 1", "unknown % 1:1", "number 1 1:3", "eof  1:4"),
    case("%%1", "unknown % 1:1", "number %1 1:2", "eof  1:4"),
    case("&17", "number &17 1:1", "eof  1:4"),
    case("&0777", "number &0777 1:1", "eof  1:6"),
    case("&78", "number &7 1:1", "number 8 1:3", "eof  1:4"),
    case("&9x", "number & 1:1", "number 9 1:2", "identifier x 1:3", "eof  1:4"),
    case("&1a", "number &1 1:1", "identifier a 1:3", "eof  1:4"),
    case("& x", "unknown & 1:1", "identifier x 1:3", "eof  1:4"),
    case("&;", "unknown & 1:1", "symbol ; 1:2", "eof  1:3"),
    case("&'", "unknown & 1:1", "string ' 1:2", "eof  1:3"),
    case("&&x", "unknown & 1:1", "identifier x 1:2", "eof  1:4"),
    case("&\u0663", "unknown & 1:1", "unknown \u0663 1:2", "eof  1:3"),
    case("&²", "unknown & 1:1", "unknown ² 1:2", "eof  1:3"),
]


@pytest.mark.parametrize("source, lines", NUMERIC_PREFIXES)
def test_char_codes_and_prefixed_numbers(source, lines):
    check(source, lines)


ESCAPED_IDENTIFIERS = [
    case("&foo", "identifier foo 1:1", "eof  1:5"),
    case("&_x1", "identifier _x1 1:1", "eof  1:5"),
    case("&é", "identifier é 1:1", "eof  1:3"),
    case("&x²", "identifier x² 1:1", "eof  1:4"),
    case("&end;", "keyword end 1:1", "symbol ; 1:5", "eof  1:6"),
    case("&Result", "identifier Result 1:1", "eof  1:8"),
    case("a&b", "identifier a 1:1", "identifier b 1:2", "eof  1:4"),
    case(
        "x.&Type := 1",
        "identifier x 1:1",
        "symbol . 1:2",
        "keyword Type 1:3",
        "symbol := 1:9",
        "number 1 1:12",
        "eof  1:13",
    ),
]


@pytest.mark.parametrize("source, lines", ESCAPED_IDENTIFIERS)
def test_escaped_identifiers(source, lines):
    check(source, lines)


# --- strings ----------------------------------------------------------------------------

SINGLE_LINE_STRINGS = [
    case("'abc'", "string 'abc' 1:1", "eof  1:6"),
    case("''", "string '' 1:1", "eof  1:3"),
    case("''''", "string '''' 1:1", "eof  1:5"),
    case("'it''s'", "string 'it''s' 1:1", "eof  1:8"),
    case("'a''", "string 'a'' 1:1", "eof  1:5"),
    case("'", "string ' 1:1", "eof  1:2"),
    case("'abc", "string 'abc 1:1", "eof  1:5"),
    case("'abc\r\nd", "string 'abc 1:1", "identifier d 2:1", "eof  2:2"),
    case("'abc\rd", "string 'abc 1:1", "identifier d 1:6", "eof  1:7"),
    case("'a'b'", "string 'a' 1:1", "identifier b 1:4", "string ' 1:5", "eof  1:6"),
    case("'a' 'b'", "string 'a' 1:1", "string 'b' 1:5", "eof  1:8"),
    case("'(* x *)'", "string '(* x *)' 1:1", "eof  1:10"),
    case("'{'}", "string '{' 1:1", "unknown } 1:4", "eof  1:5"),
    case("'//'x", "string '//' 1:1", "identifier x 1:5", "eof  1:6"),
    case("'日本'", "string '日本' 1:1", "eof  1:5"),
    case("'a b'", "string 'a b' 1:1", "eof  1:6"),
    case("'\"'", "string '\"' 1:1", "eof  1:4"),
    # three or five quotes not followed by a line break open a plain string
    case("'''abc'''", "string '''abc''' 1:1", "eof  1:10"),
    case("''' x", "string ''' x 1:1", "eof  1:6"),
    case("'''''x", "string '''''x 1:1", "eof  1:7"),
    case("'''abc\n'''", "string '''abc 1:1", "string ''' 2:1", "eof  2:4"),
    case(
        "''' \nabc\n'''",
        "string '''  1:1",
        "identifier abc 2:1",
        "string ''' 3:1",
        "eof  3:4",
    ),
    case("''''\nx", "string '''' 1:1", "identifier x 2:1", "eof  2:2"),
    case("''''''\nx", "string '''''' 1:1", "identifier x 2:1", "eof  2:2"),
]


@pytest.mark.parametrize("source, lines", SINGLE_LINE_STRINGS)
def test_single_line_strings(source, lines):
    check(source, lines)


MULTI_LINE_STRINGS = [
    case("'''", "string ''' 1:1", "eof  1:4"),
    case("'''\n", r"string '''\x0A 1:1", "eof  2:1"),
    case("'''\nabc", r"string '''\x0Aabc 1:1", "eof  2:4"),
    case("'''\rab'''x", r"string '''\x0Dab''' 1:1", "identifier x 1:10", "eof  1:11"),
    case(
        "'''\nab'''cd\n'''",
        r"string '''\x0Aab''' 1:1",
        "identifier cd 2:6",
        "string ''' 3:1",
        "eof  3:4",
    ),
    case("'''\nx''''", r"string '''\x0Ax''' 1:1", "string ' 2:5", "eof  2:6"),
    case("'''\n'''''\n", r"string '''\x0A''' 1:1", "string '' 2:4", "eof  3:1"),
    case("'''\n// x\n'''", r"string '''\x0A// x\x0A''' 1:1", "eof  3:4"),
    case("'''\né\n'''é", r"string '''\x0Aé\x0A''' 1:1", "identifier é 3:4", "eof  3:5"),
    case(
        "s := '''\nab\n''';",
        "identifier s 1:1",
        "symbol := 1:3",
        r"string '''\x0Aab\x0A''' 1:6",
        "symbol ; 3:4",
        "eof  3:5",
    ),
    case("'''''", "string ''''' 1:1", "eof  1:6"),
    case("'''''\nab'''cd\n'''''", r"string '''''\x0Aab'''cd\x0A''''' 1:1", "eof  3:6"),
    case("'''''\r\nx\r\n'''''", r"string '''''\x0D\x0Ax\x0D\x0A''''' 1:1", "eof  3:6"),
    case("'''''\nabc", r"string '''''\x0Aabc 1:1", "eof  2:4"),
    case("'''''\nx'''\ny", r"string '''''\x0Ax'''\x0Ay 1:1", "eof  3:2"),
    case(
        "'''''\nx'''''y",
        r"string '''''\x0Ax''''' 1:1",
        "identifier y 2:7",
        "eof  2:8",
    ),
]


@pytest.mark.parametrize("source, lines", MULTI_LINE_STRINGS)
def test_multi_line_strings(source, lines):
    check(source, lines)


# --- comments and directives ------------------------------------------------------------

COMMENTS = [
    case("(* c *)", "comment (* c *) 1:1", "eof  1:8"),
    case("(**)", "comment (**) 1:1", "eof  1:5"),
    case("(*) x *)", "comment (*) x *) 1:1", "eof  1:9"),
    case("(*$", "directive (*$ 1:1", "eof  1:4"),
    case("(* $R *)", "comment (* $R *) 1:1", "eof  1:9"),
    case("(* a\nbc *) x", r"comment (* a\x0Abc *) 1:1", "identifier x 2:7", "eof  2:8"),
    case("(* open", "comment (* open 1:1", "eof  1:8"),
    case(
        "(* (* nested *) *)",
        "comment (* (* nested *) 1:1",
        "symbol * 1:17",
        "symbol ) 1:18",
        "eof  1:19",
    ),
    case("(*a*)*)", "comment (*a*) 1:1", "symbol * 1:6", "symbol ) 1:7", "eof  1:8"),
    case("(* } *)", "comment (* } *) 1:1", "eof  1:8"),
    case("(a)", "symbol ( 1:1", "identifier a 1:2", "symbol ) 1:3", "eof  1:4"),
    case("( *)", "symbol ( 1:1", "symbol * 1:3", "symbol ) 1:4", "eof  1:5"),
    case("(", "symbol ( 1:1", "eof  1:2"),
    case("{}", "comment {} 1:1", "eof  1:3"),
    case("{", "comment { 1:1", "eof  1:2"),
    case("{$", "directive {$ 1:1", "eof  1:3"),
    case("{ $I x}", "comment { $I x} 1:1", "eof  1:8"),
    case("{$I+}x", "directive {$I+} 1:1", "identifier x 1:6", "eof  1:7"),
    case("{ open\nx", r"comment { open\x0Ax 1:1", "eof  2:2"),
    case("{ (* }*)", "comment { (* } 1:1", "symbol * 1:7", "symbol ) 1:8", "eof  1:9"),
    case("{\n日本} x", r"comment {\x0A日本} 1:1", "identifier x 2:5", "eof  2:6"),
    case("//", "comment // 1:1", "eof  1:3"),
    case("///", "comment /// 1:1", "eof  1:4"),
    case("// x\ny", "comment // x 1:1", "identifier y 2:1", "eof  2:2"),
    case("// c\rx", r"comment // c\x0Dx 1:1", "eof  1:7"),
    case("a//b\nc", "identifier a 1:1", "comment //b 1:2", "identifier c 2:1", "eof  2:2"),
    case("//$IFDEF X\n", "comment //$IFDEF X 1:1", "eof  2:1"),
    case("// { (* '\nx", "comment // { (* ' 1:1", "identifier x 2:1", "eof  2:2"),
    case("/ /", "symbol / 1:1", "symbol / 1:3", "eof  1:4"),
    case("a/b", "identifier a 1:1", "symbol / 1:2", "identifier b 1:3", "eof  1:4"),
]


@pytest.mark.parametrize("source, lines", COMMENTS)
def test_comments_and_directives(source, lines):
    check(source, lines)


# --- words ---------------------------------------------------------------------------------

WORDS = [
    case("a", "identifier a 1:1", "eof  1:2"),
    case("_", "identifier _ 1:1", "eof  1:2"),
    case("_a1_b2", "identifier _a1_b2 1:1", "eof  1:7"),
    case("abc123", "identifier abc123 1:1", "eof  1:7"),
    case("1a", "number 1 1:1", "identifier a 1:2", "eof  1:3"),
    case("²", "unknown ² 1:1", "eof  1:2"),
    case("²x", "unknown ² 1:1", "identifier x 1:2", "eof  1:3"),
    case("x½", "identifier x½ 1:1", "eof  1:3"),
    case("x\u0663", "identifier x\u0663 1:1", "eof  1:3", id="x-arabic-indic-digit"),
    case("\u0663", "unknown \u0663 1:1", "eof  1:2", id="arabic-indic-digit"),
    case("\u216b", "identifier \u216b 1:1", "eof  1:2", id="roman-numeral"),
    case("x\u216b", "identifier x\u216b 1:1", "eof  1:3", id="x-roman-numeral"),
    case("ª", "identifier ª 1:1", "eof  1:2"),
    case("\u0345", "identifier \u0345 1:1", "eof  1:2", id="alphabetic-mark"),
    case("a\u0301", "identifier a 1:1", "unknown \u0301 1:2", "eof  1:3", id="combining-acute"),
    case("a€b", "identifier a 1:1", "unknown € 1:2", "identifier b 1:3", "eof  1:4"),
    case("\U00010400", "identifier \U00010400 1:1", "eof  1:2", id="four-byte-letter"),
    case("x😀", "identifier x 1:1", "unknown 😀 1:2", "eof  1:3"),
    case("a.b", "identifier a 1:1", "symbol . 1:2", "identifier b 1:3", "eof  1:4"),
    case("x1.5", "identifier x1 1:1", "symbol . 1:3", "number 5 1:4", "eof  1:5"),
    case("Straße", "identifier Straße 1:1", "eof  1:7"),
]


@pytest.mark.parametrize("source, lines", WORDS)
def test_words(source, lines):
    check(source, lines)


# --- decimal numbers -------------------------------------------------------------------

NUMBERS = [
    case("0", "number 0 1:1", "eof  1:2"),
    case("007", "number 007 1:1", "eof  1:4"),
    case("12345", "number 12345 1:1", "eof  1:6"),
    case("1.5", "number 1.5 1:1", "eof  1:4"),
    case("1e5", "number 1e5 1:1", "eof  1:4"),
    case("1E+5", "number 1E+5 1:1", "eof  1:5"),
    case("1.5e-3", "number 1.5e-3 1:1", "eof  1:7"),
    case("0x1F", "number 0 1:1", "identifier x1F 1:2", "eof  1:5"),
    case("1e-", "number 1e- 1:1", "eof  1:4"),
    case("1E", "number 1 1:1", "identifier E 1:2", "eof  1:3"),
    case("1.5;", "number 1.5 1:1", "symbol ; 1:4", "eof  1:5"),
    case("1.;", "number 1. 1:1", "symbol ; 1:3", "eof  1:4"),
    case("1e5;", "number 1e5 1:1", "symbol ; 1:4", "eof  1:5"),
    case("1.e5", "number 1.e5 1:1", "eof  1:5"),
    case("1.e+", "number 1.e+ 1:1", "eof  1:5"),
    case("1.e", "number 1. 1:1", "identifier e 1:3", "eof  1:4"),
    case("1.x", "number 1. 1:1", "identifier x 1:3", "eof  1:4"),
    case("1.5.3", "number 1.5 1:1", "symbol . 1:4", "number 3 1:5", "eof  1:6"),
    case("1..", "number 1 1:1", "symbol .. 1:2", "eof  1:4"),
    case("1...2", "number 1 1:1", "symbol .. 1:2", "symbol . 1:4", "number 2 1:5", "eof  1:6"),
    case("1e-5x", "number 1e-5 1:1", "identifier x 1:5", "eof  1:6"),
    case("1e5e5", "number 1e5 1:1", "identifier e5 1:4", "eof  1:6"),
    case("1.5E", "number 1.5 1:1", "identifier E 1:4", "eof  1:5"),
    case("1e++5", "number 1e+ 1:1", "symbol + 1:4", "number 5 1:5", "eof  1:6"),
    case("1e-x", "number 1e- 1:1", "identifier x 1:4", "eof  1:5"),
    case("1.5e3.2", "number 1.5e3 1:1", "symbol . 1:6", "number 2 1:7", "eof  1:8"),
    case("1_000", "number 1 1:1", "identifier _000 1:2", "eof  1:6"),
    case("-1", "symbol - 1:1", "number 1 1:2", "eof  1:3"),
    case("1\u0663", "number 1 1:1", "unknown \u0663 1:2", "eof  1:3", id="1-arabic-indic-digit"),
    case(
        "a[1..2]",
        "identifier a 1:1",
        "symbol [ 1:2",
        "number 1 1:3",
        "symbol .. 1:4",
        "number 2 1:6",
        "symbol ] 1:7",
        "eof  1:8",
    ),
]


@pytest.mark.parametrize("source, lines", NUMBERS)
def test_decimal_numbers(source, lines):
    check(source, lines)


# --- symbols -------------------------------------------------------------------------------


@pytest.mark.parametrize("symbol", TWO_CHAR_SYMBOLS)
def test_two_character_symbol_alone(symbol):
    check(symbol, [f"symbol {symbol} 1:1", "eof  1:3"])


@pytest.mark.parametrize("symbol", TWO_CHAR_SYMBOLS)
def test_two_character_symbol_between_words(symbol):
    check(
        f"a{symbol}b",
        ["identifier a 1:1", f"symbol {symbol} 1:2", "identifier b 1:4", "eof  1:5"],
    )


@pytest.mark.parametrize("symbol", list(SYMBOL_CHARACTERS))
def test_single_symbol_character(symbol):
    check(symbol, [f"symbol {symbol} 1:1", "eof  1:2"])


@pytest.mark.parametrize("pair", ["*)", "(.", ".)", "=<", "==", "->", "<<", ">>", "::", "^^", "@@", ";;"])
def test_pairs_that_are_two_symbols(pair):
    check(pair, [f"symbol {pair[0]} 1:1", f"symbol {pair[1]} 1:2", "eof  1:3"])


@pytest.mark.parametrize("source, lines", [
    case("<>=", "symbol <> 1:1", "symbol = 1:3", "eof  1:4"),
    case("...", "symbol .. 1:1", "symbol . 1:3", "eof  1:4"),
    case(":==", "symbol := 1:1", "symbol = 1:3", "eof  1:4"),
    case("<=>", "symbol <= 1:1", "symbol > 1:3", "eof  1:4"),
    case("**=", "symbol ** 1:1", "symbol = 1:3", "eof  1:4"),
    case("!=", "unknown ! 1:1", "symbol = 1:2", "eof  1:3"),
    case(": =", "symbol : 1:1", "symbol = 1:3", "eof  1:4"),
])
def test_symbol_runs(source, lines):
    check(source, lines)


# --- unknown characters ------------------------------------------------------------------


@pytest.mark.parametrize(
    "char",
    [
        "!", "?", "}", "~", '"', "`", "|", "€", "\ufeff", "\u00a0", "%", "&",
        "\x0c", "\x0b", "\x00", "\x1b", "\x7f", "\x85", "\u2028", "😀", "²",
        "\u0663", "\u0301", "\u3000",
    ],
)
def test_unknown_single_character(char):
    check(char, [f"unknown {char} 1:1", "eof  1:2"])


def test_backslash_is_unknown_and_doubled():
    check("\\", [r"unknown \\ 1:1", "eof  1:2"])


# --- blanks and positions ---------------------------------------------------------------

BLANKS_AND_POSITIONS = [
    case(" ", "eof  1:2"),
    case("\t", "eof  1:2"),
    case("\r", "eof  1:2"),
    case("\n", "eof  2:1"),
    case("\r\n", "eof  2:1"),
    case("\n\r", "eof  2:2"),
    case(" \t\r\n x", "identifier x 2:2", "eof  2:3"),
    case("\n\n\nx", "identifier x 4:1", "eof  4:2"),
    case("\r\r\rx", "identifier x 1:4", "eof  1:5"),
    case("x\n", "identifier x 1:1", "eof  2:1"),
    case("  x  ", "identifier x 1:3", "eof  1:6"),
    case("a\tb", "identifier a 1:1", "identifier b 1:3", "eof  1:4"),
    case("\x0cx", "unknown \x0c 1:1", "identifier x 1:2", "eof  1:3"),
    case("a\x0bb", "identifier a 1:1", "unknown \x0b 1:2", "identifier b 1:3", "eof  1:4"),
    case("a\x00b", "identifier a 1:1", "unknown \x00 1:2", "identifier b 1:3", "eof  1:4"),
    case("\u2028x", "unknown \u2028 1:1", "identifier x 1:2", "eof  1:3"),
    case("\x85x", "unknown \x85 1:1", "identifier x 1:2", "eof  1:3"),
    case("é\té x", "identifier é 1:1", "identifier é 1:3", "identifier x 1:5", "eof  1:6"),
    case(
        "日本 語\n€ x",
        "identifier 日本 1:1",
        "identifier 語 1:4",
        "unknown € 2:1",
        "identifier x 2:3",
        "eof  2:4",
    ),
    case("😀😀 x", "unknown 😀 1:1", "unknown 😀 1:2", "identifier x 1:4", "eof  1:5"),
    case("'日本語' x", "string '日本語' 1:1", "identifier x 1:7", "eof  1:8"),
    case(
        "a\n  (* 1\n22\n333 *) b",
        "identifier a 1:1",
        r"comment (* 1\x0A22\x0A333 *) 2:3",
        "identifier b 4:8",
        "eof  4:9",
    ),
    case(
        "{ é\n€€ } x\ny",
        r"comment { é\x0A€€ } 1:1",
        "identifier x 2:6",
        "identifier y 3:1",
        "eof  3:2",
    ),
    case("{\r\n}x", r"comment {\x0D\x0A} 1:1", "identifier x 2:2", "eof  2:3"),
]


@pytest.mark.parametrize("source, lines", BLANKS_AND_POSITIONS)
def test_blanks_and_positions(source, lines):
    check(source, lines)


# --- escaping ------------------------------------------------------------------------------

ESCAPING = [
    case("'a\tb'", r"string 'a\x09b' 1:1", "eof  1:6"),
    case("{\t}", r"comment {\x09} 1:1", "eof  1:4"),
    case("{\\x0A}", r"comment {\\x0A} 1:1", "eof  1:7"),
    case("'\\\\'", r"string '\\\\' 1:1", "eof  1:5"),
    case("'a\\x09'", r"string 'a\\x09' 1:1", "eof  1:8"),
    case("// \\\r\n", r"comment // \\\x0D 1:1", "eof  2:1"),
    case("'\x1b\x00\x7f'", "string '\x1b\x00\x7f' 1:1", "eof  1:6"),
    case("'\u2028\x85'", "string '\u2028\x85' 1:1", "eof  1:5"),
    case('{ "q" }', 'comment { "q" } 1:1', "eof  1:8"),
    case("{\t\r\n\\}", r"comment {\x09\x0D\x0A\\} 1:1", "eof  2:3"),
]


@pytest.mark.parametrize("source, lines", ESCAPING)
def test_escaping(source, lines):
    check(source, lines)


# --- larger generated texts ------------------------------------------------------------


def test_many_assignment_lines():
    count = 1000
    out = lex("x := 1;\n" * count).split("\n")
    assert len(out) == 4 * count + 1
    expected = []
    for line in range(1, count + 1):
        expected += [
            f"identifier x {line}:1",
            f"symbol := {line}:3",
            f"number 1 {line}:6",
            f"symbol ; {line}:7",
        ]
    expected.append(f"eof  {count + 1}:1")
    assert out == expected


def test_many_mixed_lines():
    count = 500
    out = lex("  Foo(#13, 'a''b', $FF); // c\n" * count).split("\n")
    assert len(out) == 10 * count + 1
    expected = []
    for line in range(1, count + 1):
        expected += [
            f"identifier Foo {line}:3",
            f"symbol ( {line}:6",
            f"char_code #13 {line}:7",
            f"symbol , {line}:10",
            f"string 'a''b' {line}:12",
            f"symbol , {line}:18",
            f"number $FF {line}:20",
            f"symbol ) {line}:23",
            f"symbol ; {line}:24",
            f"comment // c {line}:26",
        ]
    expected.append(f"eof  {count + 1}:1")
    assert out == expected


def test_many_multi_line_strings():
    count = 300
    out = lex("s := '''\nab\n''';\n" * count).split("\n")
    assert len(out) == 4 * count + 1
    expected = []
    for block in range(count):
        first = 3 * block + 1
        expected += [
            f"identifier s {first}:1",
            f"symbol := {first}:3",
            rf"string '''\x0Aab\x0A''' {first}:6",
            f"symbol ; {first + 2}:4",
        ]
    expected.append(f"eof  {3 * count + 1}:1")
    assert out == expected


def test_one_long_line():
    count = 100_000
    out = lex("a " * count).split("\n")
    assert len(out) == count + 1
    assert out == [f"identifier a 1:{2 * i + 1}" for i in range(count)] + [f"eof  1:{2 * count + 1}"]


def test_long_comment_over_many_lines():
    count = 10_000
    out = lex("{" + "x\n" * count + "} y")
    assert out == "\n".join(
        [
            "comment {" + r"x\x0A" * count + "} 1:1",
            f"identifier y {count + 1}:3",
            f"eof  {count + 1}:4",
        ]
    )


@pytest.mark.parametrize("opener", ["'", "(*", "{", "//", "'''\n", "'''''\n"])
def test_long_unterminated_token(opener):
    body = "a" * 100_000
    out = lex(opener + body)
    kind = "string" if opener.startswith("'") else "comment"
    shown = opener.replace("\n", r"\x0A")
    line = 2 if opener.endswith("\n") else 1
    column = len(body) + 1 if opener.endswith("\n") else len(opener) + len(body) + 1
    assert out == f"{kind} {shown}{body} 1:1\neof  {line}:{column}"


# --- every text has a token list ------------------------------------------------------------

KINDS = "identifier|keyword|number|string|char_code|symbol|comment|directive|unknown|eof"
LINE_FORM = re.compile(rf"({KINDS}) (.*) ([1-9][0-9]*):([1-9][0-9]*)", re.DOTALL)
ESCAPED_VALUE = re.compile(r"(?:[^\\\t\n\r]|\\\\|\\x09|\\x0A|\\x0D)*", re.DOTALL)
UNESCAPES = {"\\\\": "\\", "\\x09": "\t", "\\x0A": "\n", "\\x0D": "\r"}


def unescape(value):
    return re.sub(r"\\\\|\\x09|\\x0A|\\x0D", lambda m: UNESCAPES[m.group(0)], value)


def position(text, offset):
    line = text.count("\n", 0, offset) + 1
    return line, offset - (text.rfind("\n", 0, offset) + 1) + 1


def check_token_list(text, out):
    """Every line is well formed, and the tokens cover the text's non-blank
    characters in order, each at the line and column where it stands."""
    lines = out.split("\n")
    offset = 0
    for number, line in enumerate(lines):
        match = LINE_FORM.fullmatch(line)
        assert match, line
        kind, value, line_no, column = match.groups()
        assert ESCAPED_VALUE.fullmatch(value), line
        token = unescape(value)
        while offset < len(text) and text[offset] in " \t\r\n":
            offset += 1
        if kind == "eof":
            assert number == len(lines) - 1
            assert token == ""
            assert offset == len(text)
            start = offset
        else:
            assert token != ""
            if text.startswith(token, offset):
                start, offset = offset, offset + len(token)
            else:
                # escaped identifier: the token's text follows its "&"
                assert kind in ("identifier", "keyword"), line
                assert text.startswith("&" + token, offset), line
                start, offset = offset, offset + 1 + len(token)
        assert (int(line_no), int(column)) == position(text, start), line


@pytest.mark.parametrize("length", [1, 2, 3, 15, 16, 17, 18, 31, 32, 33, 47])
def test_runs_of_blanks_and_word_characters(length):
    """Blank runs and words on both sides of the scanner's sixteen-byte steps,
    also where fewer than sixteen bytes of the text are left."""
    for blank in (" ", "\t", "\r", "\n", " \n", "\r\n  "):
        gap = (blank * length)[:length]
        for word in ("x" * length, ("a1_Z" * length)[:length], "\u00e9" + "b" * length):
            for text in (gap + word + gap + word, word + gap + "y", gap + word, word + "é"):
                out = lex(text)
                check_token_list(text, out)
                assert [line.split(" ")[1] for line in out.split("\n")[:-1]] == text.split()


PASCAL_PIECES = [
    "'", "''", "'''", "'''''", "#", "$", "%", "&", "(", ")", "(*", "*)", "{", "}",
    "{$", "(*$", "//", "/", "*", ".", "..", ":", "=", "<", ">", "+", "-", "[", "]",
    "^", "@", ";", ",", "\\", "\"", "!", "\n", "\r", "\r\n", "\t", " ", "\x0c",
    "a", "e", "E", "x", "_", "begin", "End", "0", "1", "7", "9", "1.5", "1e",
    "é", "²", "€", "\u212a", "日", "\ufeff", "\u00a0", "😀",
]


@settings(max_examples=400, deadline=None)
@given(
    st.lists(
        st.one_of(st.sampled_from(PASCAL_PIECES), st.characters(codec="utf-8")),
        max_size=60,
    ).map("".join)
)
def test_lexing_is_total(text):
    check_token_list(text, lex(text))


@settings(max_examples=200, deadline=None)
@given(st.from_regex(r"[A-Za-z_][A-Za-z0-9_]{0,14}", fullmatch=True))
def test_ascii_word_kind_follows_keyword_set(word):
    kind = "keyword" if word.lower() in KEYWORDS else "identifier"
    check(word, [f"{kind} {word} 1:1", f"eof  1:{len(word) + 1}"])
