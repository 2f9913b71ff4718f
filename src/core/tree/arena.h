// The node arena in which the grammar builds the tree. Nodes are referred to
// by id; children are kept as linked entries so appending is O(1). The same
// child may be attached under several parents: a subtree that belongs in
// several places (the type of every name of a list) is kept once and written
// in full at each of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "lexer/token.h"
#include "tree/node.h"
#include "unicode/unicode.h"
#include "util/memory.h"

namespace tarnwick {

using NodeId = std::size_t;

// The extent of a text that starts at `line` and `column`: its code points,
// and the place just after it, which follows its line feeds (a column counts
// code points from 1 after the last of them). The one measure of where a
// token's text ends, for the nodes made from a token and for the spans the
// rules stamp or list.
struct TextExtent {
  std::uint64_t points = 0;
  std::uint32_t end_line = 0;
  std::uint32_t end_col = 0;
};
TextExtent text_extent(std::string_view text, std::uint32_t line, std::uint32_t column);

class NodeArena {
 public:
  static constexpr std::uint32_t none = 0xFFFFFFFFu;

  // A text kept by the arena: a slice of the source or of its own text pool.
  struct TextRef {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    bool in_source = true;
  };
  // Source positions: either a run of consecutive columns on one line or a
  // list stored in the position pool.
  struct Positions {
    std::uint32_t line = 0;
    std::uint32_t col = 0;
    std::uint32_t count = 0;
    std::uint32_t pool = none;  // index of the list in `position_lists_`, or none for a run
  };
  struct Record {
    std::uint32_t line = 0, col = 0, end_line = 0, end_col = 0;
    Positions positions;
    TextRef value;  // nodes made by the parser carry no file name of their own
    std::uint32_t first_attribute = none;
    std::uint32_t first_child = none;
    std::uint32_t last_child = none;
    NodeKind kind = NodeKind::Unknown;
    bool has_value = false;
    bool attached = false;  // under some parent
    bool shared = false;    // under more than one parent, or twice under one
  };
  struct AttributeEntry {
    TextRef value;  // first, so that the entry takes 24 bytes, not 32
    AttributeKey key;
    std::uint32_t next;
  };
  struct ChildEntry {
    std::uint32_t child;
    std::uint32_t next;
  };

  // The growable stores of an arena. A caller that builds many trees in a
  // row hands them from one arena to the next, so that their memory is
  // reused instead of being mapped and cleared anew for every tree.
  struct Stores {
    HugeVector<Record> records;
    HugeVector<AttributeEntry> attributes;
    HugeVector<ChildEntry> children;
    std::vector<std::vector<SourcePosition>> position_lists;
    std::string pool;

    // Calls `f(bytes, release)` for every store, where `release()` frees it.
    template <class F>
    void for_each_store(F&& f) {
      f(store_bytes(records), [this] { release_store(records); });
      f(store_bytes(attributes), [this] { release_store(attributes); });
      f(store_bytes(children), [this] { release_store(children); });
      f(store_bytes(position_lists), [this] { release_store(position_lists); });
      f(store_bytes(pool), [this] { release_store(pool); });
    }
  };

  explicit NodeArena(std::string_view source) : NodeArena(source, Stores{}) {}
  // An arena that builds in `stores`, emptied first (their capacity stays).
  NodeArena(std::string_view source, Stores stores);
  // Hands the stores back, emptied; the arena is then empty too.
  Stores release_stores();

  // Makes room for about `nodes` nodes up front, so the stores never move
  // while the tree grows (untouched room costs no memory).
  void reserve(std::size_t nodes);

  NodeId add_node(NodeKind kind, const Token& token);
  NodeId add_value_node(NodeKind kind, const Token& token, std::string_view value);
  // Attaches `child` as the last child of `parent`; a child attached more
  // than once is written at each place.
  void add_child(NodeId parent, NodeId child);
  void set_attribute(NodeId node, AttributeKey key, std::string_view value);
  // Replaces the last child of `parent` with a node of its own: a copy of the
  // child's record and attributes over the same children. A rule that
  // changes a child which may also stand elsewhere takes this copy first, so
  // that the other places keep what they had. Answers the copy.
  NodeId own_last_child(NodeId parent);

  // Overwrites a node's start, or its end.
  void set_start(NodeId node, std::uint32_t line, std::uint32_t col);
  void set_end(NodeId node, std::uint32_t end_line, std::uint32_t end_col);
  // The extent of a token of the source as written (its '&' included).
  // Taken for every node made or finished at a token: numbers, symbols,
  // character codes and words hold no line feed and are counted here.
  TextExtent token_extent(const Token& token) const {
    std::uint64_t points = 0;
    switch (token.kind) {
      case TokenKind::Number:
      case TokenKind::Symbol:
      case TokenKind::CharCode:
        points = token.end - token.start;
        break;
      case TokenKind::Identifier:
      case TokenKind::Keyword:
        points = ascii_words_ ? token.end - token.start
                              : unicode::count_code_points_at(source_, token.start, token.end);
        break;
      default:
        return text_token_extent(token);
    }
    return {points, token.line, static_cast<std::uint32_t>(token.column + points)};
  }
  // Tells the arena that every word token of its source is ASCII (as the
  // lexer found), so that a word's extent is its byte length. A word token
  // is counted code point by code point otherwise.
  void set_ascii_words(bool ascii) { ascii_words_ = ascii; }
  // Tells the arena that the tokens of `tokens` are the lexer's own for its
  // source, whose spans delimit whole characters: a node made from one of
  // them (not a copy) needs no check of its span. The tokens must stay in
  // place while the arena is built.
  void trust_tokens(std::span<const Token> tokens) {
    trusted_begin_ = tokens.data();
    trusted_end_ = tokens.data() + tokens.size();
  }
  // Replaces a node's source positions with a run on one line.
  void set_positions_run(NodeId node, std::uint32_t line, std::uint32_t col, std::uint32_t count);
  // Replaces a node's source positions with an explicit list.
  void set_positions(NodeId node, std::span<const SourcePosition> positions);

  // Readers.
  std::size_t size() const { return records_.size(); }
  const Record& record(NodeId node) const { return records_[check(node)]; }
  NodeKind kind(NodeId node) const { return record(node).kind; }
  std::optional<std::string_view> attribute(NodeId node, AttributeKey key) const;
  std::size_t child_count(NodeId node) const;
  // The id of the last child, if any.
  std::optional<NodeId> last_child(NodeId node) const;
  std::optional<NodeId> first_child(NodeId node) const;
  std::string_view text(const TextRef& ref) const {
    return ref.in_source ? source_.substr(ref.offset, ref.length)
                         : std::string_view(pool_).substr(ref.offset, ref.length);
  }
  const std::vector<SourcePosition>& position_list(std::uint32_t index) const {
    return position_lists_[index];
  }
  const AttributeEntry& attribute_entry(std::uint32_t index) const { return attributes_[index]; }
  const ChildEntry& child_entry(std::uint32_t index) const { return children_[index]; }
  std::string_view source() const { return source_; }
  // What the nodes hold in all, attached or not: attribute entries, values
  // and positions kept as lists (bounds of what a packed tree takes).
  std::size_t attribute_count() const { return attributes_.size(); }
  std::size_t child_entry_count() const { return children_.size(); }
  std::size_t value_count() const { return value_count_; }
  std::size_t listed_positions() const { return listed_positions_; }
  // The arena's own texts (those not in the source), which TextRefs index.
  std::string_view pool() const { return pool_; }

  // For a source that holds the texts of several files one after another:
  // where each starts (the first at 0, in order). From then on every node
  // notes the file of the token it is made from (a copy, its original's).
  // A source of one file needs none, and its nodes note nothing.
  void track_files(std::vector<std::uint32_t> starts) {
    file_starts_ = std::move(starts);
    node_files_.clear();
    node_files_.reserve(records_.capacity());
  }
  // The file of each node, by id; empty when files are not tracked.
  const std::vector<std::uint32_t>& node_files() const { return node_files_; }
  // A node whose start moves to a token, or to another node's start, takes
  // its file too (when files are tracked).
  void move_file(NodeId node, const Token& token) {
    if (!file_starts_.empty()) node_files_[check(node)] = file_of(token);
  }
  void move_file(NodeId node, NodeId from) {
    if (!file_starts_.empty()) node_files_[check(node)] = node_files_[check(from)];
  }

 private:
  std::size_t check(NodeId node) const {
    if (node >= records_.size()) throw InternalError("node id names no node of the arena");
    return node;
  }
  TextRef store_text(std::string_view text);
  std::uint32_t new_position_list(std::vector<SourcePosition> list);
  // Faults unless the token's span delimits whole characters of the source.
  void check_span(const Token& token) const;
  // True when `token` is one of the trusted tokens (see trust_tokens).
  bool trusted(const Token& token) const {
    const std::less<const Token*> below;
    return !below(&token, trusted_begin_) && below(&token, trusted_end_);
  }
  // Sets a node's place, end and source positions from a checked token.
  void fill_from_token(Record& r, const Token& token) const;
  std::uint32_t file_of(const Token& token) const;
  // The extent of a token that may span lines (strings, comments and the
  // like).
  TextExtent text_token_extent(const Token& token) const;

  std::string_view source_;
  HugeVector<Record> records_;
  HugeVector<AttributeEntry> attributes_;
  HugeVector<ChildEntry> children_;
  std::vector<std::vector<SourcePosition>> position_lists_;
  std::string pool_;
  std::size_t value_count_ = 0;
  std::size_t listed_positions_ = 0;
  bool ascii_words_ = false;
  const Token* trusted_begin_ = nullptr;
  const Token* trusted_end_ = nullptr;
  std::vector<std::uint32_t> file_starts_;
  std::vector<std::uint32_t> node_files_;
};

}  // namespace tarnwick
