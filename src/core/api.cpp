// The two entry points of the core.
#include "api.h"

#include <algorithm>

#include "lexer/lexer.h"
#include "parser/parser.h"
#include "tree/writer.h"

namespace tarnwick {

std::string lex_to_serialized(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3 + 16);
  bool first = true;
  Lexer lexer(text);
  lexer.run([&](const Token& t) {
    if (!first) out.push_back('\n');
    first = false;
    format_token_line(t, text, out);
  });
  return out;
}

std::string parse_to_serialized(std::string_view text, std::string_view file_name) {
  Parser p(text);
  NodeId root = parse_file_into_arena(p);
  // Reserved up front at twice the source length, at least the header's.
  std::size_t reserve = std::max<std::size_t>(text.size() * 2, 12);
  return serialize_arena(p.arena, root, file_name, reserve);
}

}  // namespace tarnwick
