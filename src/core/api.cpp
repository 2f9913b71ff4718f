// The two entry points of the core.
#include "api.h"

#include <algorithm>

#include "lexer/lexer.h"
#include "parser/parser.h"
#include "tree/writer.h"

namespace tarnwick {

void lex_to_serialized(std::string_view text, OutputBuffer& out) {
  if (text.size() > max_text_size) throw TextTooLarge();
  // A token line is rarely more than four times the token's text.
  out.reserve(std::min<std::size_t>(text.size(), std::size_t{1} << 28) * 4 + 16);
  write_token_list(text, out);
}

std::string lex_to_serialized(std::string_view text) {
  OutputBuffer out;
  lex_to_serialized(text, out);
  return out.str();
}

void parse_to_serialized(std::string_view text, std::string_view file_name, OutputBuffer& out) {
  if (text.size() > max_text_size) throw TextTooLarge();
  Parser p(text);
  NodeId root = parse_file_into_arena(p);
  // Reserved up front at twice the source length, at least the header's.
  out.reserve(std::max<std::size_t>(text.size() * 2, 12));
  serialize_arena(p.arena, root, file_name, out);
}

std::string parse_to_serialized(std::string_view text, std::string_view file_name) {
  OutputBuffer out;
  parse_to_serialized(text, file_name, out);
  return out.str();
}

}  // namespace tarnwick
