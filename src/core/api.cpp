// The two entry points of the core.
#include "api.h"

#include <algorithm>

#include "lexer/lexer.h"
#include "parser/parser.h"
#include "tree/writer.h"

namespace tarnwick {

std::string_view write_token_list_text(std::string_view text, Workspace& workspace) {
  if (text.size() > max_text_size) throw TextTooLarge();
  OutputBuffer& out = workspace.out;
  out.clear();
  // A token list is about four times its text, and up to five times where
  // short tokens are dense. Growing by doubling would copy the text written
  // so far and, for that copy, hold both blocks at once: six times the text
  // is reserved instead, of which a large block only takes memory for the
  // pages it writes.
  out.reserve(std::min<std::size_t>(text.size(), std::size_t{1} << 28) * 6 + 16);
  write_token_list(text, out);
  return out.view();
}

std::string_view write_tree_text(std::string_view text, std::string_view file_name,
                                 Workspace& workspace) {
  if (text.size() > max_text_size) throw TextTooLarge();
  OutputBuffer& out = workspace.out;
  out.clear();
  {
    Parser p(text, &workspace.parser);
    const NodeId root = parse_tree(p);
    serialize_arena(p.arena, root, file_name, out);
  }
  workspace.trim(true);
  return out.view();
}

std::unique_ptr<SyntaxTree> parse_to_tree(std::string_view text, std::string_view file_name,
                                          Grammar grammar) {
  if (text.size() > max_text_size) throw TextTooLarge();
  WorkspaceLease lease;
  std::unique_ptr<SyntaxTree> tree;
  {
    Parser p(text, &lease.get().parser);
    const NodeId root = parse_tree(p, grammar);
    // In source order, each token once.
    std::sort(p.skipped.begin(), p.skipped.end());
    p.skipped.erase(std::unique(p.skipped.begin(), p.skipped.end()), p.skipped.end());
    std::vector<Token> skipped;
    skipped.reserve(p.skipped.size());
    for (std::uint32_t i : p.skipped) skipped.push_back(p.tokens[i]);
    tree = SyntaxTree::from_arena(p.arena, root, file_name, std::move(skipped),
                                 std::move(p.diagnostics));
  }
  return tree;
}

std::string lex_to_serialized(std::string_view text) {
  return with_token_list(text, [](std::string_view s) { return std::string(s); });
}

std::string parse_to_serialized(std::string_view text, std::string_view file_name) {
  return with_tree_text(text, file_name, [](std::string_view s) { return std::string(s); });
}

}  // namespace tarnwick
