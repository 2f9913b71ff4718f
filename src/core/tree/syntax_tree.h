// A finished syntax tree that owns its memory and never changes: what the
// arena holds once the grammar is done, packed for reading. Python's tree
// objects are views over it, and it writes the same tree text as the arena.
//
// Nodes are numbered in the order a depth-first walk first meets them (the
// root is 0), and each keeps its children, attributes and value as ranges of
// shared arrays. A subtree that stands in several places (a type shared by
// the names of a list) is kept once and listed under each of its parents,
// so the tree's places (what the tree text writes, one line each) can be
// many more than its nodes. A place is named by its number in document
// order; `places(n)` counts the places of the subtree of node n, so the
// place of a child follows from its parent's place and its elder siblings'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "lexer/token.h"
#include "preprocessor/source_files.h"
#include "tree/arena.h"
#include "tree/node.h"

namespace tarnwick {

class SyntaxTree {
 public:
  static constexpr std::uint8_t value_key = 0xFF;  // the item that holds a node's value
  static constexpr std::uint8_t has_value_flag = 1;
  static constexpr std::uint8_t position_list_flag = 2;
  static constexpr std::uint8_t shared_flag = 4;

  struct Node {
    std::uint32_t line, col, end_line, end_col;
    // Source positions: a run of `position_count` columns from (a, b) on line
    // a, or, with position_list_flag, a list at offset a + 2^32 b of
    // `position_lists`.
    std::uint32_t position_a, position_b, position_count;
    std::uint32_t first_child;  // children: child_ids[first_child, next node's first_child)
    std::uint32_t first_item;   // attributes, then the value: items[first_item, next node's)
    NodeKind kind;
    std::uint8_t flags;
  };
  // An attribute (sorted by key name, as written) or the value.
  struct Item {
    std::uint64_t offset;  // in the source, or in the pool with `in_pool`
    std::uint32_t length;
    std::uint8_t key;      // an AttributeKey, or value_key
    bool in_pool;
  };
  struct Extent {
    std::uint32_t line = 0, col = 0, end_line = 0, end_col = 0;
  };
  // What a preprocessed parse adds to its tree.
  struct Preprocessed {
    // The buffer the tokens refer to when files were included (the text,
    // then each file's), else none: the text is the buffer.
    std::unique_ptr<const std::string> buffer;
    std::vector<std::string> included_files;  // the paths of files 1, 2, ...
    std::vector<InactiveRange> inactive;
  };

  // The tree of `root` in `arena`, named `file_name`. The texts it keeps
  // from the arena's source stay views into `source` (the text the arena was
  // built from), which the caller keeps alive as long as the tree; all other
  // texts are copied. Faults on a cycle in the arena.
  // `skipped` are the tokens the grammar stepped over without reading them,
  // `diagnostics` what the parse reported. A preprocessed parse gives what
  // it adds in `preprocessed`: with a buffer, that is the arena's source and
  // the tree owns it, and `main_size` is the length of the text itself.
  // The arena's node files, when it tracked them, become the nodes'.
  static std::unique_ptr<SyntaxTree> from_arena(const NodeArena& arena, NodeId root,
                                                std::string_view file_name,
                                                std::vector<Token> skipped = {},
                                                std::vector<Diagnostic> diagnostics = {},
                                                Preprocessed* preprocessed = nullptr,
                                                std::size_t main_size = 0);
  // The tree a tree text describes (see tree/reader.cpp); it refers to no
  // source.
  static std::unique_ptr<SyntaxTree> from_text(std::string_view text);

  std::size_t node_count() const { return nodes_.size() - 1; }  // the last is a sentinel
  const Node& node(std::uint32_t n) const { return nodes_[n]; }
  std::span<const std::uint32_t> children(std::uint32_t n) const {
    return {child_ids_.data() + nodes_[n].first_child,
            child_ids_.data() + nodes_[n + 1].first_child};
  }
  std::span<const Item> items(std::uint32_t n) const {
    return {items_.data() + nodes_[n].first_item, items_.data() + nodes_[n + 1].first_item};
  }
  // The attributes alone, without the value item.
  std::span<const Item> attributes(std::uint32_t n) const {
    std::span<const Item> all = items(n);
    return (nodes_[n].flags & has_value_flag) ? all.first(all.size() - 1) : all;
  }
  std::uint32_t child_id(std::uint32_t at) const { return child_ids_[at]; }
  const Item& item(std::uint32_t at) const { return items_[at]; }
  std::string_view text(const Item& item) const {
    return item.in_pool ? std::string_view(pool_).substr(item.offset, item.length)
                        : texts_.substr(item.offset, item.length);
  }
  std::string_view value(std::uint32_t n) const {
    return (nodes_[n].flags & has_value_flag) ? text(items(n).back()) : std::string_view();
  }
  std::span<const SourcePosition> position_list(const Node& node) const {
    const std::uint64_t at = node.position_a | (std::uint64_t{node.position_b} << 32);
    return {position_lists_.data() + at, node.position_count};
  }
  // The places of the subtree of node n, itself included.
  std::uint64_t places(std::uint32_t n) const { return places_[n]; }
  std::uint64_t place_count() const { return places_.empty() ? 0 : places_[0]; }

  // The span from the first to the last position that node n and its
  // descendants hold (their starts, ends and source positions; line 0, which
  // stands for no position, left out). All zero when they hold none.
  Extent extent(std::uint32_t n) const;
  // The extents of all nodes at once, in time linear in the node count.
  std::vector<Extent> all_extents() const;

  // The tokens the grammar stepped over without reading them, in source
  // order (none for a tree read from its text); their texts are in texts().
  std::span<const Token> skipped() const { return skipped_; }
  // What the parse reported about its text, in the order it was met (none
  // for a tree read from its text).
  std::span<const Diagnostic> diagnostics() const { return diagnostics_; }
  // The files the parse read besides its text, in the order of the file
  // indices of the diagnostics and nodes: index n names the n-th.
  std::span<const std::string> included_files() const { return included_files_; }
  // The file node n came from: 0 for the text, n for the n-th file included.
  std::uint32_t node_file(std::uint32_t n) const { return node_files_.empty() ? 0 : node_files_[n]; }
  // The code the conditionals left out, in the order it was met (none
  // without preprocessing).
  std::span<const InactiveRange> inactive() const { return inactive_; }

  // The text parsed (the main file's).
  std::string_view source() const { return source_; }
  // The text the tokens and node texts refer to: the source, followed by
  // the texts of the files it included.
  std::string_view texts() const { return texts_; }
  std::string_view file_name() const { return file_name_; }
  // The longest tree text the tree may write (see call_limits.h).
  std::uint64_t output_limit() const { return output_limit_; }

  // The memory the tree holds, in bytes (its source not included).
  std::size_t bytes() const;

 private:
  friend class TreeTextReader;
  SyntaxTree() = default;
  // Closes the arrays once they are filled; refuses a tree whose places
  // are too many to number.
  void finish();

  UnclearedBlockVector<Node> nodes_;
  UnclearedBlockVector<std::uint32_t> child_ids_;
  UnclearedBlockVector<Item> items_;
  UnclearedBlockVector<std::uint64_t> places_;
  BlockVector<SourcePosition> position_lists_;
  std::string pool_;
  std::vector<Token> skipped_;
  std::vector<Diagnostic> diagnostics_;
  std::vector<std::string> included_files_;
  std::vector<std::uint32_t> node_files_;  // by node; empty when all are of the text
  std::vector<InactiveRange> inactive_;
  std::unique_ptr<const std::string> buffer_;
  std::string_view source_;
  std::string_view texts_;
  std::string file_name_;
  std::uint64_t output_limit_ = 0;
};

}  // namespace tarnwick
