// The two entry points of the core, on UTF-8 text. Nothing here knows Python.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "parser/parser.h"
#include "preprocessor/preprocessor.h"
#include "tree/syntax_tree.h"
#include "workspace.h"

namespace tarnwick {

// Writes the token list of `text`, one line per token (`KIND VALUE
// LINE:COL`), into the workspace's output buffer and returns it.
std::string_view write_token_list_text(std::string_view text, Workspace& workspace);

// Writes the syntax tree of `text` (the header `# file_name=...` and one
// line per node, children indented two spaces below their parent) into the
// workspace's output buffer and returns it. The parser's stores are trimmed
// before it returns, so that a large call frees them before its caller
// copies the text.
std::string_view write_tree_text(std::string_view text, std::string_view file_name,
                                 Workspace& workspace);

// Calls `use` with the token list of `text` and returns what it returns. The
// text lives in memory the calling thread reuses: it is valid only inside
// `use`.
template <class Use>
decltype(auto) with_token_list(std::string_view text, Use&& use) {
  WorkspaceLease lease;
  return std::forward<Use>(use)(write_token_list_text(text, lease.get()));
}

// Calls `use` with the tree text of `text`, as `with_token_list` does.
template <class Use>
decltype(auto) with_tree_text(std::string_view text, std::string_view file_name, Use&& use) {
  WorkspaceLease lease;
  return std::forward<Use>(use)(write_tree_text(text, file_name, lease.get()));
}

// The token list of `text` as a string.
std::string lex_to_serialized(std::string_view text);

// The tree text of `text` as a string.
std::string parse_to_serialized(std::string_view text, std::string_view file_name);

// The syntax tree of `text`, as a tree that owns its memory. Its texts
// refer to `text`, which the caller keeps alive as long as the tree. A tree
// whose text would pass the output limit is made all the same (it keeps a
// shared subtree once); writing its text is refused as `parse_to_serialized`
// refuses it.
// `grammar` chooses the grammar (see parser/parser.h).
//
// With `settings`, the text is preprocessed first (see
// preprocessor/preprocessor.h) and the grammar reads the tokens the
// preprocessor keeps; `file_name` is then also the path whose folder is
// searched first for included files. The tree keeps the files included
// (and owns their texts), the inactive code, and the file of every node;
// its diagnostics are the preprocessor's and the grammar's together, in
// the order of the text (those of an included file at the place of the
// {$I} of the text that brought it in, then by file and position).
// Without `settings` nothing is preprocessed: directives are dropped as
// comments are, every branch is read.
std::unique_ptr<SyntaxTree> parse_to_tree(std::string_view text, std::string_view file_name,
                                          Grammar grammar = Grammar::Specified,
                                          const PreprocessorSettings* settings = nullptr);

// Version of the native package.
inline constexpr std::string_view version = "3.6.0";

}  // namespace tarnwick
