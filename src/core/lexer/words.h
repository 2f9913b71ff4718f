// Words as identities: every word and symbol the grammar tests (see
// words.def) has a `Word`, which the scanner stores in each token whose text
// is one of them, so that the rules compare small numbers, not texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>

namespace tarnwick {

enum class Word : std::uint16_t {
  None,  // a text that is no row of the table
#define KEYWORD(name, text) name,
#define WORD(name, text) name,
#define SYMBOL(name, text) name,
#include "lexer/words.def"
#undef KEYWORD
#undef WORD
#undef SYMBOL
};

// The spellings, indexed by `Word` ("" for `Word::None`).
inline constexpr std::string_view word_spellings[] = {
    "",
#define KEYWORD(name, text) text,
#define WORD(name, text) text,
#define SYMBOL(name, text) text,
#include "lexer/words.def"
#undef KEYWORD
#undef WORD
#undef SYMBOL
};

inline constexpr std::size_t word_count = std::size(word_spellings);  // `None` included

// The number of keywords: the keywords are the words 1 to `keyword_count`.
inline constexpr std::size_t keyword_count = 0
#define KEYWORD(name, text) +1
#define WORD(name, text)
#define SYMBOL(name, text)
#include "lexer/words.def"
#undef KEYWORD
#undef WORD
#undef SYMBOL
    ;
static_assert(keyword_count == 166);

// The lower-case spelling of `w`: the text of every token that carries `w`,
// lower-cased.
constexpr std::string_view word_text(Word w) { return word_spellings[static_cast<std::size_t>(w)]; }

// True when `w` is one of the keywords, which the scanner reads as `keyword`.
constexpr bool is_keyword_word(Word w) {
  return w != Word::None && static_cast<std::size_t>(w) <= keyword_count;
}

// A set of words as bits; the rules' stop lists and word lists. `None` is
// never a member, so a token without a word is in no set.
class WordSet {
 public:
  constexpr WordSet() = default;
  constexpr WordSet(std::initializer_list<Word> words) {
    for (Word w : words) add(w);
  }
  constexpr bool has(Word w) const {
    const auto i = static_cast<std::size_t>(w);
    return (bits_[i / 64] >> (i % 64)) & 1u;
  }
  // The words of both sets.
  constexpr WordSet operator|(const WordSet& other) const {
    WordSet all = *this;
    for (std::size_t k = 0; k < bits_.size(); ++k) all.bits_[k] |= other.bits_[k];
    return all;
  }

 private:
  constexpr void add(Word w) {
    const auto i = static_cast<std::size_t>(w);
    if (w != Word::None) bits_[i / 64] |= std::uint64_t{1} << (i % 64);
  }
  std::array<std::uint64_t, (word_count + 63) / 64> bits_{};
};

// The length of the shortest spelling that is a word (the symbols left
// out), and of the longest spelling: a word token of another length has no
// row in the table.
inline constexpr std::size_t shortest_ascii_word = [] {
  std::size_t n = 16;
  for (std::size_t i = 1; i < word_count; ++i) {
    const std::string_view w = word_spellings[i];
    if (!w.empty() && w[0] >= 'a' && w[0] <= 'z' && w.size() < n) n = w.size();
  }
  return n;
}();
inline constexpr std::size_t longest_ascii_word = [] {
  std::size_t n = 0;
  for (std::string_view w : word_spellings) n = w.size() > n ? w.size() : n;
  return n;
}();

// The word whose spelling is the full lower-case form of `text` (a word or
// a symbol), or `Word::None`: exactly the row that `unicode::lower_equals`
// would find `text` equal to.
Word look_up_word(std::string_view text);
// The same for the text `source[begin, end)` of a word token; quickest
// where 16 bytes from `begin` lie inside `source`.
Word look_up_word_at(std::string_view source, std::size_t begin, std::size_t end);
// The same for a word token of ASCII characters only, from
// `shortest_ascii_word` to `longest_ascii_word` bytes long.
Word look_up_ascii_word_at(std::string_view source, std::size_t begin, std::size_t end);

// The word of a symbol the scanner reads: one character `c`, or two `c`
// followed by `d` when `d` is not 0; `Word::None` for anything else.
Word symbol_word(unsigned char c, unsigned char d = 0);

}  // namespace tarnwick
