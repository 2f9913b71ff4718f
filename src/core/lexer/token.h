// Token model shared by the lexer and the parser.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

#include "lexer/words.h"

namespace tarnwick {

enum class TokenKind : std::uint8_t {
#define TOKEN_KIND(name, text) name,
#include "lexer/token_kinds.def"
#undef TOKEN_KIND
};

inline constexpr std::string_view token_kind_names[] = {
#define TOKEN_KIND(name, text) text,
#include "lexer/token_kinds.def"
#undef TOKEN_KIND
};
static_assert(std::size(token_kind_names) == 10);

inline std::string_view token_kind_name(TokenKind k) {
  return token_kind_names[static_cast<std::uint8_t>(k)];
}

// A token refers to the source text by byte offsets; its text is a view into
// that source. `start` is on the '&' of an escaped identifier, whose text
// leaves the '&' out (text_skip == 1). Texts are shorter than 4 GiB (the
// lexer refuses longer ones), so 32-bit offsets hold every position, and a
// token takes 20 bytes: the token list is read over and over by the parser.
// `word` is the token's row of the word table: set on every word and symbol
// whose full lower-case text (the '&' of an escaped identifier left out) is
// a spelling of words.def, `Word::None` on every other token.
struct Token {
  std::uint32_t start = 0;   // byte offset of the first byte (the '&' included)
  std::uint32_t end = 0;     // byte offset one past the last byte
  std::uint32_t line = 0;    // 1-based line of the first character
  std::uint32_t column = 0;  // 1-based column, in code points
  TokenKind kind = TokenKind::Eof;
  std::uint8_t text_skip = 0;
  Word word = Word::None;

  // The texts of a token of `source`: the lexer makes every token's span lie
  // within its source, so they are taken without a bounds check (the parser
  // reads them for every word it compares).
  std::string_view text(std::string_view source) const {
    return std::string_view(source.data() + start + text_skip, std::size_t{end} - start - text_skip);
  }
  std::string_view written(std::string_view source) const {
    return std::string_view(source.data() + start, std::size_t{end} - start);
  }
  bool is_word() const {
    return kind == TokenKind::Identifier || kind == TokenKind::Keyword;
  }
  bool is_word_like() const {
    return kind == TokenKind::Identifier || kind == TokenKind::Keyword ||
           kind == TokenKind::Number;
  }
};

static_assert(sizeof(Token) == 20);

}  // namespace tarnwick
