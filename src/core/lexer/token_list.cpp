// The token-list text: one `KIND VALUE LINE:COL` line per token.
#include <charconv>
#include <string>

#include "lexer/lexer.h"

namespace tarnwick {
namespace {

inline void append_uint(std::string& out, std::uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

}  // namespace

void escape_token_value(std::string_view text, std::string& out) {
  std::size_t run = 0;  // start of the pending run that needs no escape
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* esc = nullptr;
    switch (text[i]) {
      case '\\': esc = "\\\\"; break;
      case '\t': esc = "\\x09"; break;
      case '\n': esc = "\\x0A"; break;
      case '\r': esc = "\\x0D"; break;
      default: continue;
    }
    out.append(text.data() + run, i - run);
    out.append(esc);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

void format_token_line(const Token& token, std::string_view source, std::string& out) {
  out.append(token_kind_name(token.kind));
  out.push_back(' ');
  escape_token_value(token.text(source), out);
  out.push_back(' ');
  append_uint(out, token.line);
  out.push_back(':');
  append_uint(out, token.column);
}

}  // namespace tarnwick
