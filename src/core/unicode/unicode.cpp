// Character classes and the default lower-case conversion.
//
// Properties are looked up by binary search over sorted [lo, hi] ranges and
// lower-case mappings over sorted runs of equal delta; all of them come from
// unicode_tables.inc, generated from the Unicode Character Database by
// tools/gen_unicode.py. ASCII is answered inline and never reaches a table;
// compile-time checks below prove that the inline answers agree with the
// tables.

#include "unicode/unicode.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>

namespace tarnwick::unicode {
namespace {

struct CodePointRange {
  char32_t lo;
  char32_t hi;
};

// lo, lo + stride, ..., hi lower-case to themselves plus delta.
struct LowerRun {
  char32_t lo;
  char32_t hi;
  std::int32_t delta;
  std::uint32_t stride;
};

// A lower-case mapping to two or three code points; unused places are 0.
struct LowerMulti {
  char32_t cp;
  char32_t lower[3];
};

#include "unicode/unicode_tables.inc"

constexpr char32_t replacement_character = 0xFFFD;
constexpr char32_t capital_sigma = 0x03A3;
constexpr char32_t small_sigma = 0x03C3;
constexpr char32_t small_final_sigma = 0x03C2;

constexpr bool in_ranges(std::span<const CodePointRange> ranges, char32_t cp) {
  // First range starting after cp; the one before it is the only candidate.
  auto it = std::upper_bound(ranges.begin(), ranges.end(), cp,
                             [](char32_t c, const CodePointRange& r) { return c < r.lo; });
  return it != ranges.begin() && cp <= std::prev(it)->hi;
}

// ASCII answers, kept in step with the tables by the checks below.
constexpr bool ascii_letter(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }
constexpr bool ascii_white_space(char32_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
// The ASCII characters of Case_Ignorable: apostrophe, full stop, colon,
// circumflex and grave accent.
constexpr bool ascii_case_ignorable(char32_t c) {
  return c == '\'' || c == '.' || c == ':' || c == '^' || c == '`';
}

constexpr bool is_cased(char32_t cp) {
  return cp < 0x80 ? ascii_letter(cp) : in_ranges(cased_ranges, cp);
}
constexpr bool is_case_ignorable(char32_t cp) {
  return cp < 0x80 ? ascii_case_ignorable(cp) : in_ranges(case_ignorable_ranges, cp);
}

// Full lower-case mapping of `cp` into `out`; answers the number of code
// points written (1 to 3). Final sigma is handled by the caller.
constexpr int lower_mapping(char32_t cp, char32_t (&out)[3]) {
  if (cp < 0x80) {
    out[0] = (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    return 1;
  }
  auto multi = std::lower_bound(std::begin(lower_multi), std::end(lower_multi), cp,
                                [](const LowerMulti& m, char32_t c) { return m.cp < c; });
  if (multi != std::end(lower_multi) && multi->cp == cp && cp != 0) {
    int n = 0;
    for (char32_t c : multi->lower) {
      if (c != 0) out[n++] = c;
    }
    return n;
  }
  auto run = std::upper_bound(std::begin(lower_runs), std::end(lower_runs), cp,
                              [](char32_t c, const LowerRun& r) { return c < r.lo; });
  out[0] = cp;
  if (run != std::begin(lower_runs)) {
    const LowerRun& r = *std::prev(run);
    if (cp <= r.hi && (cp - r.lo) % r.stride == 0) {
      out[0] = static_cast<char32_t>(static_cast<std::int32_t>(cp) + r.delta);
    }
  }
  return 1;
}

// ---- Compile-time checks of the tables and of the ASCII answers. ----

constexpr bool sorted_and_disjoint(std::span<const CodePointRange> ranges) {
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].lo > ranges[i].hi || ranges[i].hi > 0x10FFFF) return false;
    if (i > 0 && ranges[i - 1].hi >= ranges[i].lo) return false;
  }
  return true;
}
static_assert(sorted_and_disjoint(alphabetic_ranges));
static_assert(sorted_and_disjoint(numeric_ranges));
static_assert(sorted_and_disjoint(white_space_ranges));
static_assert(sorted_and_disjoint(cased_ranges));
static_assert(sorted_and_disjoint(case_ignorable_ranges));

constexpr bool lower_tables_well_formed() {
  for (std::size_t i = 0; i < std::size(lower_runs); ++i) {
    const LowerRun& r = lower_runs[i];
    if (r.lo > r.hi || r.hi > 0x10FFFF || r.stride == 0 || (r.hi - r.lo) % r.stride != 0) return false;
    if (i > 0 && lower_runs[i - 1].hi >= r.lo) return false;
  }
  for (std::size_t i = 1; i < std::size(lower_multi); ++i) {
    if (lower_multi[i - 1].cp >= lower_multi[i].cp) return false;
  }
  return true;
}
static_assert(lower_tables_well_formed());

constexpr bool ascii_answers_match_tables() {
  for (char32_t c = 0; c < 0x80; ++c) {
    if (ascii_letter(c) != in_ranges(alphabetic_ranges, c)) return false;
    if (ascii_digit(c) != in_ranges(numeric_ranges, c)) return false;
    if (ascii_white_space(c) != in_ranges(white_space_ranges, c)) return false;
    if (ascii_letter(c) != in_ranges(cased_ranges, c)) return false;
    if (ascii_case_ignorable(c) != in_ranges(case_ignorable_ranges, c)) return false;
    // The inline ASCII lower-casing against the runs (the multi table holds
    // no ASCII code point).
    char32_t from_runs = c;
    for (const LowerRun& r : lower_runs) {
      if (c >= r.lo && c <= r.hi && (c - r.lo) % r.stride == 0) {
        from_runs = static_cast<char32_t>(static_cast<std::int32_t>(c) + r.delta);
      }
    }
    if (static_cast<char32_t>(ascii_lower(static_cast<char>(c))) != from_runs) return false;
  }
  for (const LowerMulti& m : lower_multi) {
    if (m.cp != 0 && m.cp < 0x80) return false;
  }
  return true;
}
static_assert(ascii_answers_match_tables());

// ---- UTF-8 encoding and stepping back. ----

inline unsigned char byte_at(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]);
}

void append_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char bytes[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 2);
  } else if (cp < 0x10000) {
    const char bytes[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                           static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 4);
  }
}

// Offset of the first byte of the code point that ends at `end` (> 0), as the
// forward decoding splits the text: the nearest byte that is not a
// continuation byte, at most three bytes back, when its sequence ends exactly
// at `end`; otherwise the last byte alone (a stray byte of malformed text).
std::size_t previous_start(std::string_view text, std::size_t end) {
  std::size_t s = end - 1;
  const std::size_t limit = end >= 4 ? end - 4 : 0;
  while (s > limit && (byte_at(text, s) & 0xC0) == 0x80) --s;
  std::size_t len = 0;
  decode(text, s, len);
  return s + len == end ? s : end - 1;
}

std::size_t first_non_ascii(std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < text.size() && byte_at(text, i) < 0x80) ++i;
  return i;
}

// Final_Sigma: the capital sigma at [start, end) is preceded by a cased
// character and not followed by one, case-ignorable characters skipped on
// both sides. A character that is both cased and case-ignorable is skipped.
bool is_final_sigma(std::string_view text, std::size_t start, std::size_t end) {
  bool cased_before = false;
  for (std::size_t j = start; j > 0;) {
    const std::size_t s = previous_start(text, j);
    std::size_t len = 0;
    const char32_t c = decode(text, s, len);
    if (!is_case_ignorable(c)) {
      cased_before = is_cased(c);
      break;
    }
    j = s;
  }
  if (!cased_before) return false;
  for (std::size_t j = end; j < text.size();) {
    std::size_t len = 0;
    const char32_t c = decode(text, j, len);
    if (!is_case_ignorable(c)) return !is_cased(c);
    j += len;
  }
  return true;
}

}  // namespace

char32_t decode(std::string_view text, std::size_t i, std::size_t& len) {
  const std::size_t n = text.size();
  if (i >= n) {
    // Nothing to read; a length of 1 still moves a caller's loop past the end.
    len = 1;
    return replacement_character;
  }
  const unsigned char lead = byte_at(text, i);
  if (lead < 0x80) {
    len = 1;
    return lead;
  }
  // Sequence length and the allowed range of the second byte, which rules out
  // overlong forms, surrogates and values above U+10FFFF.
  std::size_t need;
  unsigned char second_lo = 0x80, second_hi = 0xBF;
  char32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) second_lo = 0xA0;
    if (lead == 0xED) second_hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) second_lo = 0x90;
    if (lead == 0xF4) second_hi = 0x8F;
  } else {
    len = 1;
    return replacement_character;
  }
  // A malformed or truncated sequence decodes as one U+FFFD over its longest
  // valid prefix (at least the lead byte), as UTF-8 decoders conventionally
  // replace it.
  std::size_t k = 1;
  for (; k < need; ++k) {
    if (i + k >= n) break;
    const unsigned char b = byte_at(text, i + k);
    const unsigned char lo = k == 1 ? second_lo : 0x80;
    const unsigned char hi = k == 1 ? second_hi : 0xBF;
    if (b < lo || b > hi) break;
    cp = (cp << 6) | (b & 0x3F);
  }
  len = k;
  return k == need ? cp : replacement_character;
}

std::size_t count_code_points(std::string_view text) {
  // Counts the steps of decode, so malformed text counts one per U+FFFD.
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t ascii_end = i + first_non_ascii(text.substr(i));
    count += ascii_end - i;
    i = ascii_end;
    if (i < text.size()) {
      std::size_t len = 0;
      decode(text, i, len);
      i += len;
      ++count;
    }
  }
  return count;
}

bool is_alphabetic(char32_t cp) { return cp < 0x80 ? ascii_letter(cp) : in_ranges(alphabetic_ranges, cp); }

bool is_numeric(char32_t cp) { return cp < 0x80 ? ascii_digit(cp) : in_ranges(numeric_ranges, cp); }

bool is_white_space(char32_t cp) {
  return cp < 0x80 ? ascii_white_space(cp) : in_ranges(white_space_ranges, cp);
}

void append_lower(std::string_view text, std::string& out) {
  const std::size_t ascii_end = first_non_ascii(text);
  out.reserve(out.size() + text.size());
  for (std::size_t i = 0; i < ascii_end; ++i) out.push_back(ascii_lower(text[i]));
  std::size_t i = ascii_end;
  while (i < text.size()) {
    const unsigned char b = byte_at(text, i);
    if (b < 0x80) {
      out.push_back(ascii_lower(static_cast<char>(b)));
      ++i;
      continue;
    }
    std::size_t len = 0;
    const char32_t cp = decode(text, i, len);
    if (cp == replacement_character) {
      // Malformed bytes are kept as they are; a real U+FFFD maps to itself.
      out.append(text.substr(i, len));
    } else if (cp == capital_sigma) {
      append_utf8(is_final_sigma(text, i, i + len) ? small_final_sigma : small_sigma, out);
    } else {
      char32_t mapped[3];
      const int n = lower_mapping(cp, mapped);
      for (int k = 0; k < n; ++k) append_utf8(mapped[k], out);
    }
    i += len;
  }
}

std::string to_lower(std::string_view text) {
  std::string out;
  append_lower(text, out);
  return out;
}

bool lower_equals_general(std::string_view text, std::string_view word) {
  return to_lower(text) == word;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t len = 0;
    if (!is_white_space(decode(text, begin, len))) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t s = previous_start(text, end);
    std::size_t len = 0;
    if (!is_white_space(decode(text, s, len))) break;
    end = s;
  }
  return text.substr(begin, end - begin);
}

}  // namespace tarnwick::unicode
