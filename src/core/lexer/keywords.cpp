// The keyword set: reserved words, directive words and the names of
// predefined types, constants and routines, all read as `keyword` tokens.
#include <array>
#include <cstdint>
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

// Open-addressing hash set over the lower-case words, built once.
class KeywordSet {
 public:
  KeywordSet() {
    for (std::string_view w : keyword_words) {
      std::size_t i = hash(w) & mask;
      while (!slots_[i].empty()) i = (i + 1) & mask;
      slots_[i] = w;
    }
  }
  bool contains(std::string_view lower) const {
    std::size_t i = hash(lower) & mask;
    while (!slots_[i].empty()) {
      if (slots_[i] == lower) return true;
      i = (i + 1) & mask;
    }
    return false;
  }

 private:
  static constexpr std::size_t slot_count = 512;
  static constexpr std::size_t mask = slot_count - 1;
  static std::size_t hash(std::string_view w) {
    std::uint32_t h = 2166136261u;
    for (char c : w) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h ^ (h >> 15);
  }
  std::array<std::string_view, slot_count> slots_{};
};

const KeywordSet& keyword_set() {
  static const KeywordSet set;  // initialised once, thread-safe
  return set;
}

}  // namespace

bool is_keyword(std::string_view word) {
  if (word.size() < 2) return false;
  char buf[longest_keyword];
  bool ascii = true;
  if (word.size() <= longest_keyword) {
    for (std::size_t i = 0; i < word.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(word[i]);
      if (c >= 0x80) {
        ascii = false;
        break;
      }
      buf[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    if (ascii) return keyword_set().contains(std::string_view(buf, word.size()));
  } else {
    for (char c : word) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        ascii = false;
        break;
      }
    }
    if (ascii) return false;
  }
  // A non-ASCII word is a keyword only when its lower-case form is ASCII.
  std::string lower = unicode::to_lower(word);
  if (lower.size() > longest_keyword) return false;
  return keyword_set().contains(lower);
}

}  // namespace tarnwick
