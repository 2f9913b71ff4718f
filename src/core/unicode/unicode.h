// Character classes and case mapping for the lexer and the parser.
// The tables come from the Unicode Character Database (see unicode_tables.inc
// for the version); ASCII is answered inline and never reaches them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tarnwick::unicode {

// Length of the UTF-8 sequence whose lead byte is `lead` (1 for ASCII and for
// bytes that cannot lead a sequence).
inline std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Decodes the code point at `text[i]` and stores its byte length in `len`.
// Truncated or malformed sequences decode as U+FFFD of the bytes available.
char32_t decode(std::string_view text, std::size_t i, std::size_t& len);

// Number of code points in well-formed UTF-8 text.
std::size_t count_code_points(std::string_view text);

// A span `text[begin, end)` of at most 16 bytes read as two little-endian
// 64-bit numbers, zero past its end, when 16 bytes from `begin` lie inside
// `text`; false otherwise. Reading whole words is quicker than byte loops
// for the short spans that most words are.
inline bool load_short_span(std::string_view text, std::size_t begin, std::size_t end,
                            std::uint64_t& lo, std::uint64_t& hi) {
  const std::size_t n = end - begin;
  if (n > 16 || begin + 16 > text.size()) return false;
  std::memcpy(&lo, text.data() + begin, 8);
  std::memcpy(&hi, text.data() + begin + 8, 8);
  if (n < 8) {
    lo &= (std::uint64_t{1} << (8 * n)) - 1;
    hi = 0;
  } else if (n < 16) {
    hi &= (std::uint64_t{1} << (8 * (n - 8))) - 1;
  }
  return true;
}

// The high bit of each of eight bytes: set in every byte beyond ASCII.
inline constexpr std::uint64_t byte_high_bits = 0x8080808080808080u;

// True when `flagged(w)` holds for one of the eight-byte words of `text`,
// read as little-endian numbers; the last word is padded with letters,
// which no test here flags.
template <class Flagged>
inline bool any_eight_bytes(std::string_view text, Flagged&& flagged) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (flagged(w)) return true;
  }
  if (i == n) return false;
  std::uint64_t w = 0x0101010101010101u * 'a';
  std::memcpy(&w, s + i, n - i);
  return flagged(w);
}

// True when every byte of `text` is ASCII.
inline bool is_ascii(std::string_view text) {
  return !any_eight_bytes(text, [](std::uint64_t w) { return (w & byte_high_bits) != 0; });
}

// The code points of the well-formed UTF-8 `text[begin, end)`: the bytes that
// do not continue a sequence, counted eight bytes at a time.
inline std::size_t count_code_points_at(std::string_view text, std::size_t begin,
                                        std::size_t end) {
  // A continuation byte has its top bit set and the next one clear. The
  // marks are the top bits of bytes only, so a multiply adds them up in the
  // top byte (a portable build has no popcount instruction to call).
  const auto continuations = [](std::uint64_t x) {
    const std::uint64_t marks = (x & ~(x << 1) & byte_high_bits) >> 7;
    return static_cast<std::size_t>((marks * 0x0101010101010101u) >> 56);
  };
  std::uint64_t lo, hi;
  if (load_short_span(text, begin, end, lo, hi)) {
    if (((lo | hi) & byte_high_bits) == 0) return end - begin;
    return end - begin - continuations(lo) - continuations(hi);
  }
  std::size_t points = end - begin;
  std::size_t i = begin;
  for (; i + 8 <= end; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    points -= continuations(w);
  }
  for (; i < end; ++i) points -= (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  return points;
}

// Unicode Alphabetic property.
bool is_alphabetic(char32_t cp);
// General category Nd, Nl or No.
bool is_numeric(char32_t cp);
// Unicode White_Space property.
bool is_white_space(char32_t cp);

// Appends the full default lower-case form of `text` to `out` (SpecialCasing
// unconditional mappings and the final-sigma rule included).
void append_lower(std::string_view text, std::string& out);
std::string to_lower(std::string_view text);

// The general case of `lower_equals`: builds the lower-case form of `text`.
bool lower_equals_general(std::string_view text, std::string_view word);

// True when the full lower-case form of `text` equals `word`, a lower-case
// ASCII literal. ASCII texts are compared in place, without building the
// lower form; only a text with a non-ASCII character (which may lower to
// ASCII, like U+212A KELVIN SIGN to "k") takes the general way. The one
// non-ASCII character that lowers to ASCII is that sign, three bytes for
// one, so a text shorter than `word` never matches.
inline bool lower_equals(std::string_view text, std::string_view word) {
  const std::size_t n = text.size();
  if (n < word.size()) return false;
  if (n == word.size()) {
    for (std::size_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (c >= 0x80) return lower_equals_general(text, word);
      if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
      if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
  }
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return lower_equals_general(text, word);
  return false;
}

// `c` with an ASCII capital letter lowered; every other byte as it is.
constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// True when `a` equals `b` ignoring the case of the ASCII letters only.
// Inline: the parser's scans call it for every token and stop word.
inline bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// `text` without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

}  // namespace tarnwick::unicode
