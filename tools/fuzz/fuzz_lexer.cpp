// Fuzz target for the scanner and the token-list text.
//
// Every input runs once as raw bytes, valid UTF-8 or not: the scanner must
// stay inside the text whatever the bytes are (only memory safety and the
// absence of exceptions are checked there). Inputs that are valid UTF-8, the
// only texts the Python side can hand over, are then checked in depth: the
// token-list text against the token list of `tokenize`, and the token list
// against the text itself.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "api.h"
#include "lexer/lexer.h"
#include "lexer/token.h"
#include "fuzz_common.h"

namespace {

using fuzz::fail;

constexpr std::array<std::string_view, 10> kind_names = {
    "identifier", "keyword", "number", "string", "char_code",
    "symbol", "comment", "directive", "unknown", "eof"};

constexpr std::string_view keywords[] = {
    "abort", "absolute", "abstract", "add", "align", "and", "ansistring", "array", "as", "asm",
    "assembler", "at", "automated", "begin", "boolean", "break", "byte", "bytebool", "cardinal",
    "case", "cdecl", "char", "class", "comp", "const", "constructor", "contains", "continue",
    "currency", "default", "delayed", "deprecated", "destructor", "dispid", "dispinterface",
    "div", "do", "double", "downto", "dword", "dynamic", "else", "end", "except", "exit",
    "experimental", "export", "exports", "extended", "external", "false", "far", "file",
    "final", "finalization", "finally", "for", "forward", "function", "goto", "halt", "helper",
    "if", "implementation", "implements", "in", "index", "inherited", "initialization",
    "inline", "int64", "integer", "interface", "is", "label", "library", "local", "longbool",
    "longint", "longword", "message", "mod", "namespace", "near", "nil", "nodefault",
    "noreturn", "not", "null", "object", "of", "olevariant", "on", "operator", "or", "out",
    "overload", "override", "package", "packed", "pascal", "pchar", "platform", "private",
    "procedure", "program", "property", "protected", "public", "published", "raise", "read",
    "readonly", "real", "real48", "record", "reference", "register", "reintroduce", "remove",
    "repeat", "requires", "resident", "resourcestring", "runerror", "safecall", "sealed",
    "self", "set", "shl", "shortint", "shortstring", "shr", "single", "smallint", "static",
    "stdcall", "stored", "strict", "string", "stringresource", "then", "threadvar", "to",
    "true", "try", "type", "unit", "unmanaged", "unsafe", "until", "uses", "var", "varargs",
    "variant", "virtual", "while", "widechar", "widestring", "winapi", "with", "word",
    "wordbool", "write", "writeonly", "xor"};
static_assert(std::size(keywords) == 166);

constexpr std::string_view two_char_symbols[] = {":=", "<=", ">=", "<>", "..", "**",
                                                 "+=", "-=", "*=", "/=", "><", "=>"};
constexpr std::string_view one_char_symbols = ";,:.=+-*/()[]^@<>";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}
struct SameBytes {
  bool operator()(std::string_view a, std::string_view b) const { return fuzz::equal(a, b); }
};
bool is_ascii_keyword(std::string_view word) {
  static const std::unordered_set<std::string_view, std::hash<std::string_view>, SameBytes> set(
      std::begin(keywords), std::end(keywords));
  std::string lower(word);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return set.count(lower) != 0;
}
using fuzz::equal;
using fuzz::starts_with;

// Undoes the escaping of a token value; fails on a malformed escape.
std::string unescape_value(std::string_view v, std::size_t line_no) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (c == '\t' || c == '\r' || c == '\n') fail("raw tab or carriage return in a token value", v, line_no);
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    std::string_view rest = v.substr(i + 1);
    if (starts_with(rest, "\\")) {
      out.push_back('\\');
      i += 1;
    } else if (starts_with(rest, "x09")) {
      out.push_back('\t');
      i += 3;
    } else if (starts_with(rest, "x0A")) {
      out.push_back('\n');
      i += 3;
    } else if (starts_with(rest, "x0D")) {
      out.push_back('\r');
      i += 3;
    } else {
      fail("a backslash in a token value starts no escape", v, line_no);
    }
  }
  return out;
}

// What the first characters of a token's text say about its kind.
void check_token_kind(const tarnwick::Token& t, std::string_view text, std::string_view source,
                      std::size_t line_no) {
  using tarnwick::TokenKind;
  std::string_view w = t.written(source);
  const bool has_lf = text.find('\n') != std::string_view::npos;
  switch (t.kind) {
    case TokenKind::Identifier:
    case TokenKind::Keyword: {
      FUZZ_CHECK(!text.empty(), std::string(w), line_no);
      char c = text[0];
      FUZZ_CHECK(c == '_' || is_ascii_letter(c) || static_cast<unsigned char>(c) >= 0x80,
                 std::string(w), line_no);
      if (t.text_skip) FUZZ_CHECK(w[0] == '&', std::string(w), line_no);
      for (char ch : text) FUZZ_CHECK(!is_blank(ch) && one_char_symbols.find(ch) == std::string_view::npos, std::string(w), line_no);
      if (is_ascii(text))
        FUZZ_CHECK((t.kind == TokenKind::Keyword) == is_ascii_keyword(text), std::string(text), line_no);
      break;
    }
    case TokenKind::Number:
      FUZZ_CHECK(is_digit(w[0]) || w[0] == '$' || w[0] == '%' || w[0] == '&', std::string(w), line_no);
      FUZZ_CHECK(!has_lf, std::string(w), line_no);
      break;
    case TokenKind::String:
      FUZZ_CHECK(w[0] == '\'', std::string(w), line_no);
      // Only a string opened by three or five quotes spans lines.
      if (has_lf || text.find('\r') != std::string_view::npos) FUZZ_CHECK(starts_with(w, "'''"), std::string(w), line_no);
      break;
    case TokenKind::CharCode:
      FUZZ_CHECK(w[0] == '#', std::string(w), line_no);
      FUZZ_CHECK(!has_lf, std::string(w), line_no);
      break;
    case TokenKind::Symbol: {
      bool known = w.size() == 1 && one_char_symbols.find(w[0]) != std::string_view::npos;
      for (std::string_view s : two_char_symbols) known = known || equal(w, s);
      FUZZ_CHECK(known, std::string(w), line_no);
      break;
    }
    case TokenKind::Comment:
      FUZZ_CHECK((starts_with(w, "{") && !starts_with(w, "{$")) ||
                     (starts_with(w, "(*") && !starts_with(w, "(*$")) || starts_with(w, "//"),
                 std::string(w), line_no);
      if (starts_with(w, "//")) FUZZ_CHECK(!has_lf, std::string(w), line_no);
      break;
    case TokenKind::Directive:
      FUZZ_CHECK(starts_with(w, "{$") || starts_with(w, "(*$"), std::string(w), line_no);
      break;
    case TokenKind::Unknown: {
      // One whole character that no other rule takes.
      std::size_t n = 0;
      for (char ch : w) n += !fuzz::is_continuation(static_cast<unsigned char>(ch));
      FUZZ_CHECK(n == 1, std::string(w), line_no);
      char c = w[0];
      FUZZ_CHECK(!is_blank(c) && !is_digit(c) && !is_ascii_letter(c) && c != '_' &&
                     one_char_symbols.find(c) == std::string_view::npos && c != '\'' &&
                     c != '#' && c != '$' && c != '{',
                 std::string(w), line_no);
      break;
    }
    case TokenKind::Eof:
      fail("end-of-file token before the end of the list", std::string(w), line_no);
  }
}

void check_token_list(std::string_view text) {
  std::string out;
  std::vector<tarnwick::Token> tokens;
  fuzz::no_exception("lex_to_serialized", [&] { out = tarnwick::lex_to_serialized(text); });
  fuzz::no_exception("tokenize", [&] { tokens = tarnwick::tokenize(text); });

  const fuzz::LineTable table(text);
  const std::vector<std::string_view> lines = fuzz::split_lines(out);
  FUZZ_CHECK(!tokens.empty());
  if (lines.size() != tokens.size())
    fail("the token list does not have one line per token",
         "lines " + std::to_string(lines.size()) + ", tokens " + std::to_string(tokens.size()));
  FUZZ_CHECK(starts_with(lines.back(), "eof "), std::string(lines.back()), lines.size());

  // Walks the text alongside the tokens to find each token's position anew.
  std::size_t walk = 0;
  std::uint64_t walk_line = 1, walk_col = 1;
  std::size_t prev_end = 0;

  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t line_no = i + 1;
    const std::string_view l = lines[i];
    const tarnwick::Token& t = tokens[i];
    const bool last = i + 1 == lines.size();

    // KIND VALUE LINE:COL, the value being what stands between the first and
    // the last space.
    const std::size_t sp1 = l.find(' ');
    const std::size_t sp2 = l.rfind(' ');
    if (sp1 == std::string_view::npos || sp1 == sp2) fail("token line without two spaces", l, line_no);
    const std::string_view kind = l.substr(0, sp1);
    const std::string_view value = l.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view pos = l.substr(sp2 + 1);
    bool known_kind = false;
    for (std::string_view k : kind_names) known_kind = known_kind || equal(k, kind);
    if (!known_kind) fail("unknown token kind", l, line_no);
    if (equal(kind, "eof") != last) fail("eof must be the last line and only there", l, line_no);
    if (!equal(kind, tarnwick::token_kind_name(t.kind))) fail("kind differs from tokenize()", l, line_no);

    std::size_t p = 0;
    std::uint64_t line = 0, col = 0;
    if (!fuzz::read_u32(pos, p, line) || !fuzz::eat(pos, p, ":") || !fuzz::read_u32(pos, p, col) ||
        p != pos.size())
      fail("malformed LINE:COL", l, line_no);
    if (!table.inside(line, col)) fail("token position outside the text", l, line_no);
    if (line != t.line || col != t.column) fail("position differs from tokenize()", l, line_no);

    // The token's span in the text.
    if (t.end > text.size() || t.start > t.end) fail("token span outside the text", l, line_no);
    if (t.start < prev_end) fail("tokens overlap", l, line_no);
    for (std::size_t b = prev_end; b < t.start; ++b)
      if (!is_blank(text[b])) fail("a character that is not blank belongs to no token", l, line_no);
    if (t.start < text.size() && fuzz::is_continuation(static_cast<unsigned char>(text[t.start])))
      fail("token starts inside a character", l, line_no);
    if (t.end < text.size() && fuzz::is_continuation(static_cast<unsigned char>(text[t.end])))
      fail("token ends inside a character", l, line_no);
    FUZZ_CHECK(t.text_skip <= 1 && t.text_skip <= t.end - t.start, l, line_no);
    prev_end = t.end;

    // Its position, counted here from the start of the text.
    for (; walk < t.start; ++walk) {
      unsigned char c = static_cast<unsigned char>(text[walk]);
      if (fuzz::is_continuation(c)) continue;
      if (c == '\n') {
        ++walk_line;
        walk_col = 1;
      } else {
        ++walk_col;
      }
    }
    if (walk_line != line || walk_col != col) {
      fail("token position is not where its first character stands", std::string(l) + " (expected " +
           std::to_string(walk_line) + ":" + std::to_string(walk_col) + ")", line_no);
    }

    const std::string_view token_text = t.text(text);
    if (!equal(unescape_value(value, line_no), token_text)) fail("value is not the token's text", l, line_no);
    if (last) {
      FUZZ_CHECK(t.start == text.size() && t.end == text.size() && value.empty(), l, line_no);
    } else {
      FUZZ_CHECK(t.end > t.start, l, line_no);
      check_token_kind(t, token_text, text, line_no);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!fuzz::valid_utf8(bytes)) {
    // Not a text the Python side can pass; the scanner must still stay
    // inside the buffer.
    fuzz::no_exception("lex_to_serialized (invalid UTF-8)",
                       [&] { (void)tarnwick::lex_to_serialized(bytes); });
    return 0;
  }
  check_token_list(bytes);
  return 0;
}
