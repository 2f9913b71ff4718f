// The two entry points of the core.
#include "api.h"

#include <algorithm>
#include <compare>
#include <iterator>

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

namespace {

// The tokens the grammar stepped over, in source order, each once.
std::vector<Token> skipped_tokens(Parser& p) {
  std::sort(p.skipped.begin(), p.skipped.end());
  p.skipped.erase(std::unique(p.skipped.begin(), p.skipped.end()), p.skipped.end());
  std::vector<Token> skipped;
  skipped.reserve(p.skipped.size());
  for (std::uint32_t i : p.skipped) skipped.push_back(p.tokens[i]);
  return skipped;
}

std::unique_ptr<SyntaxTree> parse_preprocessed(std::string_view text, std::string_view file_name,
                                               Grammar grammar, const PreprocessorSettings& settings,
                                               ParserStores& stores) {
  Preprocessor pre(settings);
  HugeVector<Token> tokens = std::move(stores.tokens);
  tokens.clear();
  tokens.reserve(std::min<std::size_t>(text.size() / 3, std::size_t{1} << 26) + 1);
  pre.run(text, file_name, tokens);

  const std::deque<SourceFile>& files = pre.files();
  const bool included = files.size() > 1;
  SyntaxTree::Preprocessed extra;
  std::string_view buffer = text;
  std::vector<std::uint32_t> starts;
  if (included) {
    // On the heap before the tokens are read, so that it never moves.
    extra.buffer = std::make_unique<const std::string>(pre.take_buffer());
    buffer = *extra.buffer;
    for (std::size_t k = 1; k < files.size(); ++k) extra.included_files.push_back(files[k].path);
    for (const SourceFile& f : files) starts.push_back(f.base);
  }
  extra.inactive = std::move(pre.inactive());

  Parser p(buffer, std::move(tokens), &stores);
  if (included) p.arena.track_files(std::move(starts));
  const NodeId root = parse_tree(p, grammar);
  std::vector<Token> skipped = skipped_tokens(p);

  // The directives' diagnostics, then the grammar's, each with its file,
  // sorted by the place of the text they concern.
  std::vector<Diagnostic> diagnostics = std::move(pre.diagnostics());
  const std::size_t directives = diagnostics.size();
  const auto file_of = [&](std::size_t token) {
    return pre.file_at(p.tokens[std::min(token, p.tokens.size() - 1)].start);
  };
  for (Diagnostic& d : p.diagnostics) {
    if (!included) {
      diagnostics.push_back(std::move(d));
      continue;
    }
    d.file = file_of(d.first_token);
    // A run of tokens passed over that goes on in another file is one
    // diagnostic per file, each with its place in its own file.
    const std::size_t end = std::size_t{d.first_token} + d.tokens;
    std::size_t k = std::size_t{d.first_token} + 1;
    while (k < end && file_of(k) == d.file) ++k;
    if (k >= end) {
      diagnostics.push_back(std::move(d));
      continue;
    }
    for (std::size_t begin = d.first_token; begin < end;) {
      Diagnostic part = d;
      part.file = file_of(begin);
      std::size_t last = begin + 1;
      while (last < end && file_of(last) == part.file) ++last;
      const Token& first = p.tokens[begin];
      const Token& final_token = p.tokens[last - 1];
      const TextExtent extent = text_extent(p.text(final_token), final_token.line, final_token.column);
      part.first_token = static_cast<std::uint32_t>(begin);
      part.tokens = static_cast<std::uint32_t>(last - begin);
      part.line = first.line;
      part.col = first.column;
      part.end_line = extent.end_line;
      part.end_col = extent.end_col;
      diagnostics.push_back(std::move(part));
      begin = last;
    }
  }
  if (directives > 0 || included) {
    struct Key {
      std::uint32_t line, col, file, own_line, own_col;
      auto operator<=>(const Key&) const = default;
    };
    const std::vector<IncludeSite>& sites = pre.include_sites();
    // Of a diagnostic of an included file: the last include of the text
    // before it, found by the count of diagnostics before it (the
    // directives') or of tokens (the grammar's; an include that keeps no
    // tokens holds none of them).
    const auto key_of = [&](const Diagnostic& d, std::size_t k) {
      if (d.file == 0) return Key{d.line, d.col, 0, d.line, d.col};
      const auto site =
          k < directives
              ? std::upper_bound(sites.begin(), sites.end(), k,
                                 [](std::size_t n, const IncludeSite& s) { return n < s.first_diagnostic; })
              : std::upper_bound(sites.begin(), sites.end(), d.first_token,
                                 [](std::uint32_t n, const IncludeSite& s) { return n < s.first_token; });
      if (site == sites.begin()) throw InternalError("a diagnostic of an included file before any include");
      return Key{std::prev(site)->line, std::prev(site)->col, d.file, d.line, d.col};
    };
    std::vector<std::pair<Key, std::uint32_t>> order;
    order.reserve(diagnostics.size());
    for (std::size_t k = 0; k < diagnostics.size(); ++k)
      order.emplace_back(key_of(diagnostics[k], k), static_cast<std::uint32_t>(k));
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Diagnostic> sorted;
    sorted.reserve(diagnostics.size());
    for (const auto& [key, k] : order) sorted.push_back(std::move(diagnostics[k]));
    diagnostics = std::move(sorted);
  }
  return SyntaxTree::from_arena(p.arena, root, file_name, std::move(skipped), std::move(diagnostics),
                                &extra, text.size());
}

}  // namespace

std::unique_ptr<SyntaxTree> parse_to_tree(std::string_view text, std::string_view file_name,
                                          Grammar grammar, const PreprocessorSettings* settings) {
  if (text.size() > max_text_size) throw TextTooLarge();
  WorkspaceLease lease;
  if (settings) return parse_preprocessed(text, file_name, grammar, *settings, lease.get().parser);
  std::unique_ptr<SyntaxTree> tree;
  {
    Parser p(text, &lease.get().parser);
    const NodeId root = parse_tree(p, grammar);
    std::vector<Token> skipped = skipped_tokens(p);
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
