// The keyword set: reserved words, directive words and the names of
// predefined types, constants and routines, all read as `keyword` tokens.
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "lexer/lexer.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

constexpr std::string_view keyword_words[] = {
    "abort", "absolute", "abstract", "add", "align", "and", "ansistring", "array",
    "as", "asm", "assembler", "at", "automated", "begin", "boolean", "break",
    "byte", "bytebool", "cardinal", "case", "cdecl", "char", "class", "comp",
    "const", "constructor", "contains", "continue", "currency", "default",
    "delayed", "deprecated", "destructor", "dispid", "dispinterface", "div", "do",
    "double", "downto", "dword", "dynamic", "else", "end", "except", "exit",
    "experimental", "export", "exports", "extended", "external", "false", "far",
    "file", "final", "finalization", "finally", "for", "forward", "function",
    "goto", "halt", "helper", "if", "implementation", "implements", "in", "index",
    "inherited", "initialization", "inline", "int64", "integer", "interface", "is",
    "label", "library", "local", "longbool", "longint", "longword", "message",
    "mod", "namespace", "near", "nil", "nodefault", "noreturn", "not", "null",
    "object", "of", "olevariant", "on", "operator", "or", "out", "overload",
    "override", "package", "packed", "pascal", "pchar", "platform", "private",
    "procedure", "program", "property", "protected", "public", "published",
    "raise", "read", "readonly", "real", "real48", "record", "reference",
    "register", "reintroduce", "remove", "repeat", "requires", "resident",
    "resourcestring", "runerror", "safecall", "sealed", "self", "set", "shl",
    "shortint", "shortstring", "shr", "single", "smallint", "static", "stdcall",
    "stored", "strict", "string", "stringresource", "then", "threadvar", "to",
    "true", "try", "type", "unit", "unmanaged", "unsafe", "until", "uses", "var",
    "varargs", "variant", "virtual", "while", "widechar", "widestring", "winapi",
    "with", "word", "wordbool", "write", "writeonly", "xor"};
static_assert(std::size(keyword_words) == 166);

constexpr std::size_t longest_keyword = 14;  // "implementation", "initialization"

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

// Open-addressing hash set over the packed lower-case words, built once.
class KeywordSet {
 public:
  KeywordSet() {
    for (std::string_view w : keyword_words) {
      const PackedWord p = pack(w);
      std::size_t i = slot(p);
      while (slots_[i] != PackedWord{}) i = (i + 1) & mask;
      slots_[i] = p;
    }
  }
  bool contains(const PackedWord& p) const {
    for (std::size_t i = slot(p);; i = (i + 1) & mask) {
      if (slots_[i] == p) return true;
      if (slots_[i] == PackedWord{}) return false;
    }
  }

 private:
  static constexpr std::size_t slot_count = 512;
  static constexpr std::size_t mask = slot_count - 1;
  static std::size_t slot(const PackedWord& p) {
    const std::uint64_t h = (p.lo ^ (p.hi * 0x9E3779B97F4A7C15u)) * 0xBF58476D1CE4E5B9u;
    return static_cast<std::size_t>(h >> 55) & mask;
  }
  std::array<PackedWord, slot_count> slots_{};
};

const KeywordSet keyword_set;

}  // namespace

bool is_keyword_at(std::string_view source, std::size_t begin, std::size_t end) {
  const std::size_t n = end - begin;
  if (n < 2) return false;
  std::uint64_t lo, hi;
  if (n <= longest_keyword && unicode::load_short_span(source, begin, end, lo, hi) &&
      ((lo | hi) & unicode::byte_high_bits) == 0)
    return keyword_set.contains(PackedWord{lower_ascii8(lo), lower_ascii8(hi)});
  return is_keyword(source.substr(begin, n));
}

bool is_keyword(std::string_view word) {
  if (word.size() < 2) return false;
  std::string lower;
  bool ascii = true;
  for (char c : word) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    if (word.size() > longest_keyword) return false;
    lower.assign(word);
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  } else {
    // A non-ASCII word is a keyword only when its lower-case form is ASCII.
    lower = unicode::to_lower(word);
    if (lower.size() > longest_keyword) return false;
    for (char c : lower)
      if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return keyword_set.contains(pack(lower));
}

}  // namespace tarnwick
