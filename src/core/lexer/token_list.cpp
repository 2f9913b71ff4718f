// The token-list text: one `KIND VALUE LINE:COL` line per token.
#include <algorithm>
#include <cstring>
#include <string>

#include "lexer/lexer.h"

namespace tarnwick {
namespace {

// True when one of the eight bytes of `w` is below 0x20 or a backslash: a
// byte that may need escaping (other control bytes only take the slower way).
inline bool may_escape8(std::uint64_t w) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  constexpr std::uint64_t high = 0x8080808080808080u;
  const std::uint64_t b = w ^ (ones * '\\');
  return ((((w - ones * 0x20) & ~w) | ((b - ones) & ~b)) & high) != 0;
}

// Escapes a token's text into room of at least 4 * text.size() bytes.
// Comments and strings are long and mostly clean: they are copied eight
// bytes at a time up to the next byte that may need escaping.
inline char* put_escaped_value(char* p, std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (!may_escape8(w)) {
        std::memcpy(p, &w, 8);
        p += 8;
        i += 8;
        continue;
      }
    }
    // Byte by byte up to the end of this word.
    const std::size_t stop = std::min(n, i + 8);
    for (; i < stop; ++i) {
      switch (s[i]) {
        case '\\': p = put(p, "\\\\"); break;
        case '\t': p = put(p, "\\x09"); break;
        case '\n': p = put(p, "\\x0A"); break;
        case '\r': p = put(p, "\\x0D"); break;
        default: *p++ = s[i]; break;
      }
    }
  }
  return p;
}

// Kind names followed by a space, padded so that one fixed-size copy writes
// any of them.
struct KindPrefixes {
  char text[10][16];
  std::uint8_t length[10];
  bool escaped[10];  // the kinds whose text may hold a character to escape
  constexpr KindPrefixes() : text{}, length{}, escaped{} {
    for (std::size_t k = 0; k < 10; ++k) {
      std::string_view name = token_kind_names[k];
      for (std::size_t i = 0; i < name.size(); ++i) text[k][i] = name[i];
      text[k][name.size()] = ' ';
      length[k] = static_cast<std::uint8_t>(name.size() + 1);
    }
    for (TokenKind kind : {TokenKind::String, TokenKind::Comment, TokenKind::Directive, TokenKind::Unknown})
      escaped[static_cast<std::size_t>(kind)] = true;
  }
};
constexpr KindPrefixes kind_prefixes{};

// The room one token line is written into: the line feed, the kind prefix
// (copied whole), the value (every byte escaped to at most four, or a short
// word copied as 16 bytes), the space, the line digits and ':' (copied as 12
// bytes) and the column.
constexpr std::size_t kind_prefix_copy_bytes = sizeof(KindPrefixes::text[0]);
constexpr std::size_t short_text_copy_bytes = 16;
constexpr std::size_t max_escaped_byte = 4;  // "\x0A"
constexpr std::size_t line_digits_copy_bytes = 12;
constexpr std::size_t max_u32_digits = 10;
constexpr std::size_t token_line_room(std::size_t text_size) {
  return 1 + kind_prefix_copy_bytes + std::max(max_escaped_byte * text_size, short_text_copy_bytes) + 1 +
         line_digits_copy_bytes + max_u32_digits;
}
static_assert(kind_prefix_copy_bytes >= std::string_view("char_code ").size());
static_assert(line_digits_copy_bytes >= max_u32_digits + 1);

// Writes the token list line by line, each line with its line feed (the
// last one is taken off at the end). Only strings, comments, directives and
// unknown characters can hold a character that needs escaping; the line
// number is formatted again only when it changes. The write position is
// kept here, not in the buffer, so that it stays in a register across the
// scan; the buffer learns it when it grows and at the end.
class TokenListWriter {
 public:
  TokenListWriter(std::string_view source, OutputBuffer& out) : source_(source), out_(out) {
    at_ = out_.room(0);
    end_ = at_ + (out_.capacity() - out_.size());
  }

  void operator()(const Token& t) {
    std::string_view text = t.text(source_);
    const std::size_t room = token_line_room(text.size());
    if (static_cast<std::size_t>(end_ - at_) < room) grow(room);
    char* p = at_;
    const auto k = static_cast<std::size_t>(t.kind);
    std::memcpy(p, kind_prefixes.text[k], kind_prefix_copy_bytes);
    p += kind_prefixes.length[k];
    if (kind_prefixes.escaped[k]) {
      p = put_escaped_value(p, text);
    } else if (text.size() <= short_text_copy_bytes &&
               text.data() + short_text_copy_bytes <= source_.data() + source_.size()) {
      // Most tokens are short: one fixed-size copy when the source has 16
      // bytes to read from here (the room made above allows it).
      std::memcpy(p, text.data(), short_text_copy_bytes);
      p += text.size();
    } else {
      p = put(p, text);
    }
    *p++ = ' ';
    if (t.line != line_) {  // no token is on line 0
      line_ = t.line;
      char* e = put_u32(line_digits_, t.line);
      *e++ = ':';
      line_len_ = static_cast<std::size_t>(e - line_digits_);
    }
    std::memcpy(p, line_digits_, line_digits_copy_bytes);
    p += line_len_;
    p = put_column(p, t.column);
    *p++ = '\n';
    at_ = p;
  }

  // Ends the text: every token wrote a line feed, the last one is dropped.
  void finish() { out_.commit(at_ - 1); }

 private:
  void grow(std::size_t room) {
    out_.commit(at_);
    at_ = out_.room(room);
    end_ = at_ + (out_.capacity() - out_.size());
  }

  std::string_view source_;
  OutputBuffer& out_;
  char* at_;
  char* end_;
  std::uint32_t line_ = 0;
  char line_digits_[line_digits_copy_bytes] = {};
  std::size_t line_len_ = 0;
};

}  // namespace

void write_token_list(std::string_view source, OutputBuffer& out) {
  Lexer lexer(source);
  TokenListWriter writer(source, out);
  lexer.run(writer);  // the end-of-file token makes at least one line
  writer.finish();
}

}  // namespace tarnwick
