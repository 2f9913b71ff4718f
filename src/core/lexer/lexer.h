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
  };
  // Picks the rule for the token at `offset_`.
  Scan scan_token() const;
  Scan scan_default() const;
  std::size_t scan_word_from(std::size_t pos) const;
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
};

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
        advance_within_line(t.end);
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
