// The word table: a hash set of the spellings of words.def, from which the
// scanner takes both the id of a word token and whether it is a keyword.
#include "lexer/words.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "lexer/lexer.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// "implementation" and "initialization" are the longest.
static_assert(longest_ascii_word <= 16, "a spelling must fit a packed word");

// A lower-case ASCII word of at most 16 bytes as two little-endian 64-bit
// numbers, zero past its end: two words are equal when both halves are.
struct PackedWord {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  bool operator==(const PackedWord&) const = default;
};

PackedWord pack(std::string_view w) {
  PackedWord p;
  for (std::size_t i = 0; i < w.size(); ++i) {
    const auto c = static_cast<std::uint64_t>(static_cast<unsigned char>(w[i]));
    if (i < 8) {
      p.lo |= c << (8 * i);
    } else {
      p.hi |= c << (8 * (i - 8));
    }
  }
  return p;
}

// Lower-cases the ASCII letters of eight ASCII bytes at once: a byte gets
// 0x20 added when it lies in 'A'..'Z'. No byte is 0x80 or more, so the sums
// never carry into the next byte.
inline std::uint64_t lower_ascii8(std::uint64_t x) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  const std::uint64_t at_least_a = x + ones * (0x80 - 'A');
  const std::uint64_t past_z = x + ones * (0x80 - 'Z' - 1);
  const std::uint64_t upper = at_least_a & ~past_z & (ones * 0x80);
  return x | (upper >> 2);
}

// Open-addressing hash map from the packed spellings to their words, built
// once.
class WordTable {
 public:
  WordTable() {
    for (std::size_t id = 1; id < word_count; ++id) {
      const PackedWord p = pack(word_spellings[id]);
      std::size_t i = slot(p);
      while (slots_[i] != PackedWord{}) i = (i + 1) & mask;
      slots_[i] = p;
      words_[i] = static_cast<Word>(id);
    }
  }
  Word find(const PackedWord& p) const {
    for (std::size_t i = slot(p);; i = (i + 1) & mask) {
      if (slots_[i] == p) return words_[i];
      if (slots_[i] == PackedWord{}) return Word::None;
    }
  }

 private:
  static constexpr std::size_t slot_count = 512;
  static constexpr std::size_t mask = slot_count - 1;
  static_assert(2 * word_count <= slot_count, "the table stays at most half full");
  static std::size_t slot(const PackedWord& p) {
    const std::uint64_t h = (p.lo ^ (p.hi * 0x9E3779B97F4A7C15u)) * 0xBF58476D1CE4E5B9u;
    return static_cast<std::size_t>(h >> 55) & mask;
  }
  std::array<PackedWord, slot_count> slots_{};
  std::array<Word, slot_count> words_{};
};

const WordTable word_table;

// The word of an ASCII text of at most 16 bytes read as two numbers (see
// `unicode::load_short_span`); a word token has no NUL to pass for padding.
Word find_ascii(std::uint64_t lo, std::uint64_t hi) {
  return word_table.find(PackedWord{lower_ascii8(lo), lower_ascii8(hi)});
}

}  // namespace

Word look_up_word_at(std::string_view source, std::size_t begin, std::size_t end) {
  const std::size_t n = end - begin;
  if (n < shortest_ascii_word) return Word::None;
  std::uint64_t lo, hi;
  if (n <= longest_ascii_word && unicode::load_short_span(source, begin, end, lo, hi) &&
      ((lo | hi) & unicode::byte_high_bits) == 0)
    return find_ascii(lo, hi);
  return look_up_word(source.substr(begin, n));
}

Word look_up_ascii_word_at(std::string_view source, std::size_t begin, std::size_t end) {
  std::uint64_t lo, hi;
  if (unicode::load_short_span(source, begin, end, lo, hi)) return find_ascii(lo, hi);
  return look_up_word(source.substr(begin, end - begin));
}

Word look_up_word(std::string_view text) {
  // Every character lowers to at least one, so a text of more characters
  // than the longest spelling, each at most four bytes, is no word.
  if (text.empty() || text.size() > 4 * longest_ascii_word) return Word::None;
  std::string lower;
  if (unicode::is_ascii(text)) {
    if (text.size() > longest_ascii_word) return Word::None;
    lower.assign(text);
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  } else {
    // A text with a non-ASCII character is a word only when its full
    // lower-case form is ASCII (the Kelvin sign lowers to "k").
    lower = unicode::to_lower(text);
    if (lower.size() > longest_ascii_word) return Word::None;
    for (char c : lower)
      if (static_cast<unsigned char>(c) >= 0x80) return Word::None;
  }
  // Packing pads with zero bytes: a text with a NUL in it must not pass for
  // the spelling before the NUL.
  const Word w = word_table.find(pack(lower));
  return word_text(w).size() == lower.size() ? w : Word::None;
}

}  // namespace tarnwick
