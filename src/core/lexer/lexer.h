// The scanner: UTF-8 source text to tokens with line and column positions.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "errors.h"
#include "lexer/token.h"
#include "call_limits.h"
#include "unicode/unicode.h"
#include "util/output.h"

namespace tarnwick {

// Scanner state over one source text. `offset` always lies on a character
// boundary; `line` and `column` are those of the character at `offset`.
class Lexer {
 public:
  explicit Lexer(std::string_view source) : source_(source) {
    if (source.size() > max_text_size) throw TextTooLarge();
  }

  // Scans the whole text, handing every token (comments, directives and the
  // final end-of-file token included) to `sink(const Token&)` in order.
  template <class Sink>
  void run(Sink&& sink);

  // Moves `offset` to `new_offset` (a character boundary at or after it) and
  // brings the line and column up to date.
  void advance_to(std::size_t new_offset);
  // The same for a run of well-formed UTF-8 without line feeds (a word).
  void advance_within_line(std::size_t new_offset) {
    const std::uint64_t points = unicode::count_code_points_at(source_, offset_, new_offset);
    column_ += static_cast<std::uint32_t>(points);
    offset_ = new_offset;
  }

  std::size_t offset() const { return offset_; }
  std::uint32_t line() const { return line_; }
  std::uint32_t column() const { return column_; }
  // True while every word scanned so far has as many code points as bytes
  // (all ASCII), so that a word token's extent is its byte length.
  bool ascii_words() const { return ascii_words_; }

 private:
  // What a rule found: the token's end, kind, text skip and word. Returned whole,
  // in registers, so that the token is assembled at once (a token written
  // field by field through references and then copied stalls on reading
  // back the bytes just written).
  struct Scan {
    std::size_t end;
    TokenKind kind;
    std::uint8_t text_skip = 0;
    Word word = Word::None;
    bool ascii_word = false;  // a word known to be ASCII: one column per byte
  };
  // Picks the rule for the token at `offset_`. Inline for the tokens most
  // texts are made of, ASCII words and symbols; every other token is read
  // by `scan_other`, out of line, so that the loop of `run` keeps its state
  // in registers for the common ones.
  Scan scan_token() const;
  Scan scan_other() const;
  Scan scan_default() const;
  std::size_t scan_word_from(std::size_t pos) const;
  std::size_t scan_word_beyond_ascii(std::size_t pos) const;
  std::size_t scan_decimal() const;
  std::size_t scan_string() const;
  // Inline, so that the position stays in registers across the loop of `run`.
  void skip_blanks() {
    const char* data = source_.data();
    std::size_t i = offset_;
    const std::size_t n = source_.size();
    std::uint32_t line = line_;
    std::uint32_t column = column_;
    // One blank byte: false at a byte that is none.
    const auto step = [&](char c) {
      if (c == ' ' || c == '\t' || c == '\r') {
        ++column;
      } else if (c == '\n') {
        ++line;
        column = 1;
      } else {
        return false;
      }
      return true;
    };
    // Most gaps between tokens are a byte or two: those go one by one.
    const std::size_t head = i + 2 < n ? i + 2 : n;
    while (i < head && step(data[i])) ++i;
    bool more = i == head && i < n;  // the run may go on past the head
#if defined(__SSE2__)
    // Longer runs (indentation, line breaks), sixteen bytes at a time.
    if (more) {
      const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t');
      const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
      while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i feeds = _mm_cmpeq_epi8(v, lf);
        const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)),
                                           _mm_or_si128(_mm_cmpeq_epi8(v, cr), feeds));
        const auto stops = static_cast<std::uint32_t>(~_mm_movemask_epi8(blank)) & 0xFFFFu;
        const std::uint32_t k = stops != 0 ? static_cast<std::uint32_t>(std::countr_zero(stops)) : 16;
        const auto in_run = static_cast<std::uint32_t>(_mm_movemask_epi8(feeds)) & ((1u << k) - 1);
        if (in_run != 0) {
          // The column restarts after the run's last line feed.
          line += static_cast<std::uint32_t>(std::popcount(in_run));
          column = k - static_cast<std::uint32_t>(std::bit_width(in_run)) + 1;
        } else {
          column += k;
        }
        i += k;
        if (k < 16) {
          more = false;
          break;
        }
      }
    }
#endif
    if (more)
      while (i < n && step(data[i])) ++i;
    offset_ = i;
    line_ = line;
    column_ = column;
  }

  std::string_view source_;
  std::size_t offset_ = 0;
  std::uint32_t line_ = 1;
  std::uint32_t column_ = 1;
  bool ascii_words_ = true;
};

namespace lexer_detail {

// The characters that start or continue an ASCII word, and the symbols:
// the one-character spellings of the word table that are no letters.
enum : std::uint8_t { word_start = 1, word_part = 2, symbol = 4 };
struct AsciiClasses {
  std::uint8_t of[256];
  constexpr AsciiClasses() : of{} {
    for (int c = 0; c < 128; ++c) {
      const bool letter = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (letter) of[c] |= word_start | word_part;
      if (c >= '0' && c <= '9') of[c] |= word_part;
    }
    for (std::size_t id = 1; id < word_count; ++id) {
      const std::string_view s = word_spellings[id];
      const auto c = static_cast<unsigned char>(s[0]);
      if (s.size() == 1 && !(of[c] & word_start)) of[c] |= symbol;
    }
  }
};
inline constexpr AsciiClasses ascii_classes{};

// The first offset at or after `pos` whose byte is no ASCII letter, digit or
// '_'. Sixteen bytes are classified at once where the text has them: most
// words end within the first sixteen.
inline std::size_t skip_ascii_word_part(const unsigned char* bytes, std::size_t pos, std::size_t n) {
#if defined(__SSE2__)
  const __m128i below_a = _mm_set1_epi8('a' - 1), above_z = _mm_set1_epi8('z' + 1);
  const __m128i below_0 = _mm_set1_epi8('0' - 1), above_9 = _mm_set1_epi8('9' + 1);
  const __m128i underscore = _mm_set1_epi8('_'), case_bit = _mm_set1_epi8(0x20);
  while (pos + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos));
    // Setting 0x20 maps 'A'..'Z' onto 'a'..'z' and nothing else there; bytes
    // past ASCII compare as negative and match no range.
    const __m128i folded = _mm_or_si128(v, case_bit);
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, below_a), _mm_cmplt_epi8(folded, above_z));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, below_0), _mm_cmplt_epi8(v, above_9));
    const __m128i part = _mm_or_si128(_mm_or_si128(letter, digit), _mm_cmpeq_epi8(v, underscore));
    const auto stops = static_cast<std::uint32_t>(~_mm_movemask_epi8(part)) & 0xFFFFu;
    if (stops != 0) return pos + static_cast<std::size_t>(std::countr_zero(stops));
    pos += 16;
  }
#endif
  while (pos < n && (ascii_classes.of[bytes[pos]] & word_part)) ++pos;
  return pos;
}

// The word of a symbol: two characters `c` and `d` when they make one
// (`d` is 0 at the end of the text), otherwise the one character `c`.
Word symbol_at(unsigned char c, unsigned char d);

}  // namespace lexer_detail

inline std::size_t Lexer::scan_word_from(std::size_t pos) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(source_.data());
  const std::size_t n = source_.size();
  pos = lexer_detail::skip_ascii_word_part(bytes, pos, n);
  if (pos >= n || bytes[pos] < 0x80) return pos;
  return scan_word_beyond_ascii(pos);
}

inline Lexer::Scan Lexer::scan_token() const {
  using namespace lexer_detail;
  const auto* bytes = reinterpret_cast<const unsigned char*>(source_.data());
  const std::size_t n = source_.size();
  const std::size_t o = offset_;
  const unsigned char c = bytes[o];
  const std::uint8_t cls = ascii_classes.of[c];
  if (cls & word_start) {
    const std::size_t end = skip_ascii_word_part(bytes, o + 1, n);
    if (end < n && bytes[end] >= 0x80) {
      const std::size_t full = scan_word_beyond_ascii(end);
      const Word w = look_up_word_at(source_, o, full);
      return {full, is_keyword_word(w) ? TokenKind::Keyword : TokenKind::Identifier, 0, w};
    }
    // All ASCII: a word of the table only at the lengths of its spellings.
    const std::size_t length = end - o;
    const Word w = length >= shortest_ascii_word && length <= longest_ascii_word
                       ? look_up_ascii_word_at(source_, o, end)
                       : Word::None;
    return {end, is_keyword_word(w) ? TokenKind::Keyword : TokenKind::Identifier, 0, w, true};
  }
  if (cls & symbol) {
    const unsigned char d = o + 1 < n ? bytes[o + 1] : 0;
    // "(*" and "//" open comments.
    if (!((c == '(' && d == '*') || (c == '/' && d == '/'))) {
      const Word w = symbol_at(c, d);
      const std::size_t length = word_text(w).size();  // 1 or 2: every symbol has a word
      return {o + length, TokenKind::Symbol, 0, w};
    }
  }
  return scan_other();
}

template <class Sink>
void Lexer::run(Sink&& sink) {
  for (;;) {
    skip_blanks();
    if (offset_ >= source_.size()) {
      Token eof;
      eof.start = eof.end = static_cast<std::uint32_t>(source_.size());
      eof.line = line_;
      eof.column = column_;
      eof.kind = TokenKind::Eof;
      sink(eof);
      return;
    }
    const Scan scan = scan_token();
    const Token t{static_cast<std::uint32_t>(offset_), static_cast<std::uint32_t>(scan.end), line_,
                  column_, scan.kind, scan.text_skip, scan.word};
    sink(t);
    switch (t.kind) {
      case TokenKind::Number:
      case TokenKind::Symbol:
      case TokenKind::CharCode:
        // ASCII without line feeds: one column per byte.
        column_ += static_cast<std::uint32_t>(t.end - offset_);
        offset_ = t.end;
        break;
      case TokenKind::Identifier:
      case TokenKind::Keyword:
        if (scan.ascii_word) {
          column_ += static_cast<std::uint32_t>(t.end - offset_);
          offset_ = t.end;
        } else {
          const std::size_t bytes = t.end - offset_;
          const std::uint32_t before = column_;
          advance_within_line(t.end);
          if (column_ - before != bytes) ascii_words_ = false;
        }
        break;
      default:
        advance_to(t.end);
        break;
    }
  }
}

// The full token list of `source`, ending with the end-of-file token.
std::vector<Token> tokenize(std::string_view source);

// Writes the token list of `source`: the lines of every token, comments,
// directives and the end-of-file token included, joined by line feeds.
void write_token_list(std::string_view source, OutputBuffer& out);

}  // namespace tarnwick
