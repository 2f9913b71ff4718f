// The token-list text: one `KIND VALUE LINE:COL` line per token.
#include <string>

#include "lexer/lexer.h"

namespace tarnwick {
namespace {

// Escapes a token's text into room of at least 4 * text.size() bytes.
inline char* put_escaped_value(char* p, std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t run = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::string_view esc;
    switch (s[i]) {
      case '\\': esc = "\\\\"; break;
      case '\t': esc = "\\x09"; break;
      case '\n': esc = "\\x0A"; break;
      case '\r': esc = "\\x0D"; break;
      default: continue;
    }
    std::memcpy(p, s + run, i - run);
    p = put(p + (i - run), esc);
    run = i + 1;
  }
  std::memcpy(p, s + run, n - run);
  return p + (n - run);
}

}  // namespace

void escape_token_value(std::string_view text, std::string& out) {
  OutputBuffer b;
  b.commit(put_escaped_value(b.room(4 * text.size()), text));
  out.append(b.view());
}

void format_token_line(const Token& token, std::string_view source, OutputBuffer& out) {
  std::string_view text = token.text(source);
  char* p = out.room(10 + 1 + 4 * text.size() + 1 + 10 + 1 + 10);
  p = put(p, token_kind_name(token.kind));
  *p++ = ' ';
  p = put_escaped_value(p, text);
  *p++ = ' ';
  p = put_uint(p, token.line);
  *p++ = ':';
  out.commit(put_uint(p, token.column));
}

void format_token_line(const Token& token, std::string_view source, std::string& out) {
  OutputBuffer b;
  format_token_line(token, source, b);
  out.append(b.view());
}

}  // namespace tarnwick
