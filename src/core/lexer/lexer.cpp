// The scanner rules. Every byte sequence yields tokens: what fits no rule
// becomes an `unknown` token one character long, and unterminated strings and
// comments end at the end of the line or of the text.
#include "lexer/lexer.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_hex_digit(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline bool is_ascii_letter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Character classes of word tokens; ASCII is decided inline.
inline bool is_word_start_at(std::string_view s, std::size_t i, std::size_t& len) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    len = 1;
    return c == '_' || is_ascii_letter(c);
  }
  char32_t cp = unicode::decode(s, i, len);
  return unicode::is_alphabetic(cp);
}
inline bool is_word_part_at(std::string_view s, std::size_t i, std::size_t& len) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    len = 1;
    return c == '_' || is_ascii_letter(c) || is_digit(c);
  }
  char32_t cp = unicode::decode(s, i, len);
  return unicode::is_alphabetic(cp) || unicode::is_numeric(cp);
}

using lexer_detail::skip_ascii_word_part;

constexpr bool is_symbol_char(unsigned char c) {
  switch (c) {
    case ';': case ',': case ':': case '.': case '=': case '+': case '-':
    case '*': case '/': case '(': case ')': case '[': case ']': case '^':
    case '@': case '<': case '>':
      return true;
    default:
      return false;
  }
}

// The two-character symbols: := <= >= <> .. ** += -= *= /= >< =>
inline Word two_char_symbol(unsigned char c, unsigned char d) {
  switch (c) {
    case ':': return d == '=' ? Word::Assign : Word::None;
    case '<': return d == '=' ? Word::LessEqual : d == '>' ? Word::NotEqual : Word::None;
    case '>': return d == '=' ? Word::GreaterEqual : d == '<' ? Word::SymmetricDifference : Word::None;
    case '.': return d == '.' ? Word::DotDot : Word::None;
    case '*': return d == '*' ? Word::Power : d == '=' ? Word::StarAssign : Word::None;
    case '+': return d == '=' ? Word::PlusAssign : Word::None;
    case '-': return d == '=' ? Word::MinusAssign : Word::None;
    case '/': return d == '=' ? Word::SlashAssign : Word::None;
    case '=': return d == '>' ? Word::Arrow : Word::None;
    default: return Word::None;
  }
}

// The words of the one-character symbols, by character.
struct SingleSymbols {
  Word word[128];
  constexpr SingleSymbols() : word{} {
    for (std::size_t id = 1; id < word_count; ++id) {
      const std::string_view s = word_spellings[id];
      if (s.size() == 1 && is_symbol_char(static_cast<unsigned char>(s[0])))
        word[static_cast<unsigned char>(s[0])] = static_cast<Word>(id);
    }
  }
};
constexpr SingleSymbols single_symbols{};

inline std::size_t run_of(std::string_view s, std::size_t i, bool (*pred)(unsigned char)) {
  while (i < s.size() && pred(static_cast<unsigned char>(s[i]))) ++i;
  return i;
}
inline bool is_octal_digit(unsigned char c) { return c >= '0' && c <= '7'; }
inline bool is_binary_digit(unsigned char c) { return c == '0' || c == '1'; }

// Offset just after the first occurrence of `closer` at or after `from`, or
// the end of the text.
inline std::size_t end_after(std::string_view s, std::size_t from, std::string_view closer) {
  if (from > s.size()) return s.size();
  std::size_t at = s.find(closer, from);
  return at == std::string_view::npos ? s.size() : at + closer.size();
}

}  // namespace

void Lexer::advance_to(std::size_t new_offset) {
  // Code points are counted as the bytes that do not continue a sequence,
  // which for well-formed UTF-8 is the count of lead bytes; the loops are
  // simple enough for the compiler to vectorise over long comments and
  // strings.
  const auto* bytes = reinterpret_cast<const unsigned char*>(source_.data()) + offset_;
  const std::size_t n = new_offset - offset_;
  std::uint64_t points = 0;
  std::uint32_t line_feeds = 0;
  for (std::size_t k = 0; k < n; ++k) {
    points += (bytes[k] & 0xC0) != 0x80;
    line_feeds += bytes[k] == '\n';
  }
  if (line_feeds > 0) {
    std::size_t last = n;
    while (bytes[last - 1] != '\n') --last;  // just after the last line feed
    std::uint64_t after = 0;
    for (std::size_t k = last; k < n; ++k) after += (bytes[k] & 0xC0) != 0x80;
    line_ += line_feeds;
    column_ = static_cast<std::uint32_t>(1 + after);
  } else {
    column_ += static_cast<std::uint32_t>(points);
  }
  offset_ = new_offset;
}

// The rest of a word from a byte past ASCII at `pos`: out of line, so that
// the scan of an ASCII word saves no registers for decoding.
[[gnu::noinline]] std::size_t Lexer::scan_word_beyond_ascii(std::size_t pos) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(source_.data());
  const std::size_t n = source_.size();
  for (;;) {
    std::size_t len = 0;
    if (!is_word_part_at(source_, pos, len)) return pos;
    pos = skip_ascii_word_part(bytes, pos + len, n);
    if (pos >= n || bytes[pos] < 0x80) return pos;
  }
}

std::size_t Lexer::scan_decimal() const {
  const std::string_view s = source_;
  std::size_t i = run_of(s, offset_, is_digit);
  if (i >= s.size()) return i;
  if (s[i] == '.') {
    if (i + 1 < s.size() && s[i + 1] == '.') return i;  // a range: 1..5
    i = run_of(s, i + 1, is_digit);
    if (i >= s.size()) return i;
  }
  if (s[i] == 'e' || s[i] == 'E') {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    j = run_of(s, j, is_digit);
    if (j > i + 1) return j;  // a sign or a digit follows the 'e'
  }
  return i;
}

std::size_t Lexer::scan_string() const {
  const std::string_view s = source_;
  const std::size_t n = s.size();
  const std::size_t o = offset_;
  auto quotes_at = [&](std::size_t count) {
    if (o + count > n) return false;
    for (std::size_t k = 0; k < count; ++k)
      if (s[o + k] != '\'') return false;
    return o + count == n || s[o + count] == '\r' || s[o + count] == '\n';
  };
  if (quotes_at(5)) return end_after(s, o + 5, "'''''");
  if (quotes_at(3)) return end_after(s, o + 3, "'''");
  std::size_t i = o + 1;
  while (i < n) {
    char c = s[i];
    if (c == '\'') {
      if (i + 1 < n && s[i + 1] == '\'') {
        i += 2;  // an embedded quote
        continue;
      }
      return i + 1;
    }
    if (c == '\r' || c == '\n') return i;  // unterminated: the break stays out
    ++i;
  }
  return n;
}

Lexer::Scan Lexer::scan_default() const {
  const std::string_view s = source_;
  const std::size_t o = offset_;
  const unsigned char c = static_cast<unsigned char>(s[o]);
  std::size_t len = 0;
  if (is_word_start_at(s, o, len)) {
    std::size_t end = scan_word_from(o + len);
    const Word w = look_up_word_at(s, o, end);
    return {end, is_keyword_word(w) ? TokenKind::Keyword : TokenKind::Identifier, 0, w};
  }
  if (is_digit(c)) return {scan_decimal(), TokenKind::Number};
  if (o + 2 <= s.size()) {
    const Word w = two_char_symbol(c, static_cast<unsigned char>(s[o + 1]));
    if (w != Word::None) return {o + 2, TokenKind::Symbol, 0, w};
  }
  if (is_symbol_char(c)) return {o + 1, TokenKind::Symbol, 0, single_symbols.word[c]};
  std::size_t end = o + unicode::sequence_length(c);
  return {end > s.size() ? s.size() : end, TokenKind::Unknown};
}

[[gnu::noinline]] Lexer::Scan Lexer::scan_other() const {
  const std::string_view s = source_;
  const std::size_t n = s.size();
  const std::size_t o = offset_;
  const unsigned char c = static_cast<unsigned char>(s[o]);
  const int next = o + 1 < n ? static_cast<unsigned char>(s[o + 1]) : -1;
  switch (c) {
    case '#':
      if (next == '$') return {run_of(s, o + 2, is_hex_digit), TokenKind::CharCode};
      return {run_of(s, o + 1, is_digit), TokenKind::CharCode};
    case '$':
      return {run_of(s, o + 1, is_hex_digit), TokenKind::Number};
    case '%':
      if (next == '0' || next == '1') return {run_of(s, o + 1, is_binary_digit), TokenKind::Number};
      break;
    case '&':
      if (next >= 0 && is_digit(static_cast<unsigned char>(next)))
        return {run_of(s, o + 1, is_octal_digit), TokenKind::Number};
      if (next >= 0) {
        std::size_t len = 0;
        if (is_word_start_at(s, o + 1, len)) {
          std::size_t end = scan_word_from(o + 1 + len);
          const Word w = look_up_word_at(s, o + 1, end);
          return {end, is_keyword_word(w) ? TokenKind::Keyword : TokenKind::Identifier, 1, w};
        }
      }
      break;
    case '\'':
      return {scan_string(), TokenKind::String};
    case '(':
      if (next == '*') {
        return {end_after(s, o + 2, "*)"),
                (o + 2 < n && s[o + 2] == '$') ? TokenKind::Directive : TokenKind::Comment};
      }
      break;
    case '/':
      if (next == '/') {
        const void* lf = std::memchr(s.data() + o, '\n', n - o);
        return {lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - s.data()) : n,
                TokenKind::Comment};
      }
      break;
    case '{':
      return {end_after(s, o + 1, "}"), next == '$' ? TokenKind::Directive : TokenKind::Comment};
    default:
      break;
  }
  return scan_default();
}

Word lexer_detail::symbol_at(unsigned char c, unsigned char d) {
  const Word two = two_char_symbol(c, d);
  return two != Word::None ? two : single_symbols.word[c];
}

// The symbols `scan_token` reads inline are exactly those of `scan_default`.
static_assert([] {
  for (int c = 0; c < 128; ++c)
    if (((lexer_detail::ascii_classes.of[c] & lexer_detail::symbol) != 0) !=
        is_symbol_char(static_cast<unsigned char>(c)))
      return false;
  return true;
}());

Word symbol_word(unsigned char c, unsigned char d) {
  if (d != 0) return two_char_symbol(c, d);
  return c < 128 ? single_symbols.word[c] : Word::None;
}

std::vector<Token> tokenize(std::string_view source) {
  std::vector<Token> tokens;
  tokens.reserve(source.size() / 4 + 1);
  Lexer lexer(source);
  lexer.run([&](const Token& t) { tokens.push_back(t); });
  return tokens;
}

}  // namespace tarnwick
