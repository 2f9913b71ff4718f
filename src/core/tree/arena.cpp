#include "tree/arena.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "unicode/unicode.h"
#include "util/memory.h"

namespace tarnwick {
namespace {

template <class T>
std::uint32_t checked_index(std::size_t n) {
  if (n >= NodeArena::none) throw InternalError("node arena is full");
  return static_cast<std::uint32_t>(n);
}

inline bool is_continuation(std::string_view s, std::uint64_t at) {
  return at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80;
}

}  // namespace

NodeArena::TextRef NodeArena::store_text(std::string_view text) {
  TextRef ref;
  ref.length = checked_index<char>(text.size());
  const char* p = text.data();
  if (text.empty()) return ref;
  if (p >= source_.data() && p + text.size() <= source_.data() + source_.size()) {
    ref.offset = static_cast<std::uint64_t>(p - source_.data());
    ref.in_source = true;
    return ref;
  }
  if (p >= pool_.data() && p + text.size() <= pool_.data() + pool_.size()) {
    ref.offset = static_cast<std::uint64_t>(p - pool_.data());
    ref.in_source = false;
    return ref;
  }
  ref.offset = pool_.size();
  ref.in_source = false;
  pool_.append(text);
  return ref;
}

void NodeArena::check_span(const Token& token) const {
  if (token.start > token.end || token.end > source_.size() ||
      token.start + token.text_skip > token.end || is_continuation(source_, token.start) ||
      is_continuation(source_, token.end)) {
    throw InternalError("token span does not delimit whole characters of the source");
  }
}

TextExtent text_extent(std::string_view text, std::uint32_t line, std::uint32_t column) {
  // Code points are the bytes that do not continue a sequence (the texts are
  // well-formed UTF-8); the loops are simple enough for the compiler to
  // vectorise over long strings.
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::uint64_t points = 0, line_feeds = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    points += (bytes[k] & 0xC0) != 0x80;
    line_feeds += bytes[k] == '\n';
  }
  if (line_feeds == 0) return {points, line, static_cast<std::uint32_t>(column + points)};
  std::size_t last = text.size();
  while (bytes[last - 1] != '\n') --last;
  std::uint64_t after_lf = 0;
  for (std::size_t k = last; k < text.size(); ++k) after_lf += (bytes[k] & 0xC0) != 0x80;
  return {points, static_cast<std::uint32_t>(line + line_feeds), static_cast<std::uint32_t>(1 + after_lf)};
}

TextExtent NodeArena::text_token_extent(const Token& token) const {
  const std::string_view s = source_.substr(token.start, token.end - token.start);
  if (s.empty()) return {0, token.line, token.column};
  return text_extent(s, token.line, token.column);
}

void NodeArena::fill_from_token(Record& r, const Token& token) const {
  r.line = token.line;
  r.col = token.column;
  const TextExtent extent = token_extent(token);
  r.end_line = extent.end_line;
  r.end_col = extent.end_col;
  // One position per code point of the text, plus the one after it, all on
  // the first line.
  std::uint64_t text_points = token.text_skip ? extent.points - 1 : extent.points;
  r.positions = Positions{token.line, token.column, static_cast<std::uint32_t>(text_points + 1), none};
}

NodeArena::NodeArena(std::string_view source, Stores stores)
    : source_(source),
      records_(std::move(stores.records)),
      attributes_(std::move(stores.attributes)),
      children_(std::move(stores.children)),
      position_lists_(std::move(stores.position_lists)),
      pool_(std::move(stores.pool)) {
  records_.clear();
  attributes_.clear();
  children_.clear();
  position_lists_.clear();
  pool_.clear();
  value_count_ = listed_positions_ = 0;
}

NodeArena::Stores NodeArena::release_stores() {
  Stores s{std::move(records_), std::move(attributes_), std::move(children_),
           std::move(position_lists_), std::move(pool_)};
  s.records.clear();
  s.attributes.clear();
  s.children.clear();
  s.position_lists.clear();
  s.pool.clear();
  records_ = {};
  attributes_ = {};
  children_ = {};
  position_lists_ = {};
  pool_ = {};
  value_count_ = listed_positions_ = 0;
  ascii_words_ = false;
  trusted_begin_ = trusted_end_ = nullptr;
  file_starts_ = {};
  node_files_ = {};
  return s;
}

void NodeArena::reserve(std::size_t nodes) {
  records_.reserve(nodes);
  children_.reserve(nodes);
  attributes_.reserve(nodes / 2);
}

NodeId NodeArena::add_node(NodeKind kind, const Token& token) {
  checked_index<Record>(records_.size() + 1);
  if (!trusted(token)) check_span(token);
  // Filled in place: a record filled on the stack and then copied is read
  // back in 16-byte pieces right after its 4-byte fields were written, which
  // stalls.
  Record& r = records_.emplace_back();
  fill_from_token(r, token);
  r.kind = kind;
  if (!file_starts_.empty()) [[unlikely]] node_files_.push_back(file_of(token));
  return records_.size() - 1;
}

std::uint32_t NodeArena::file_of(const Token& token) const {
  // The last file that starts at or before the token.
  const auto it = std::upper_bound(file_starts_.begin(), file_starts_.end(), token.start);
  return static_cast<std::uint32_t>(it - file_starts_.begin() - 1);
}

NodeId NodeArena::add_value_node(NodeKind kind, const Token& token, std::string_view value) {
  NodeId id = add_node(kind, token);
  records_[id].value = store_text(value);
  records_[id].has_value = true;
  ++value_count_;
  return id;
}

void NodeArena::add_child(NodeId parent, NodeId child) {
  check(parent);
  check(child);
  std::uint32_t entry = checked_index<ChildEntry>(children_.size());
  children_.push_back(ChildEntry{static_cast<std::uint32_t>(child), none});
  Record& c = records_[child];
  c.shared = c.shared || c.attached;
  c.attached = true;
  Record& r = records_[parent];
  if (r.last_child == none) {
    r.first_child = entry;
  } else {
    children_[r.last_child].next = entry;
  }
  r.last_child = entry;
}

void NodeArena::set_attribute(NodeId node, AttributeKey key, std::string_view value) {
  check(node);
  TextRef ref = store_text(value);
  // One walk: a key set again keeps its place, a new one goes last.
  std::uint32_t tail = none;
  for (std::uint32_t e = records_[node].first_attribute; e != none; e = attributes_[e].next) {
    if (attributes_[e].key == key) {
      attributes_[e].value = ref;
      return;
    }
    tail = e;
  }
  std::uint32_t entry = checked_index<AttributeEntry>(attributes_.size());
  // Filled in place, like the records (see add_node).
  AttributeEntry& added = attributes_.emplace_back();
  added.key = key;
  added.value = ref;
  added.next = none;
  if (tail == none) {
    records_[node].first_attribute = entry;
  } else {
    attributes_[tail].next = entry;
  }
}

std::optional<std::string_view> NodeArena::attribute(NodeId node, AttributeKey key) const {
  for (std::uint32_t e = record(node).first_attribute; e != none; e = attributes_[e].next)
    if (attributes_[e].key == key) return text(attributes_[e].value);
  return std::nullopt;
}

std::size_t NodeArena::child_count(NodeId node) const {
  std::size_t n = 0;
  for (std::uint32_t e = record(node).first_child; e != none; e = children_[e].next) ++n;
  return n;
}

std::optional<NodeId> NodeArena::last_child(NodeId node) const {
  std::uint32_t e = record(node).last_child;
  if (e == none) return std::nullopt;
  return children_[e].child;
}

std::optional<NodeId> NodeArena::first_child(NodeId node) const {
  std::uint32_t e = record(node).first_child;
  if (e == none) return std::nullopt;
  return children_[e].child;
}

void NodeArena::set_start(NodeId node, std::uint32_t line, std::uint32_t col) {
  Record& r = records_[check(node)];
  r.line = line;
  r.col = col;
}

void NodeArena::set_end(NodeId node, std::uint32_t end_line, std::uint32_t end_col) {
  Record& r = records_[check(node)];
  r.end_line = end_line;
  r.end_col = end_col;
}

void NodeArena::set_positions_run(NodeId node, std::uint32_t line, std::uint32_t col,
                                  std::uint32_t count) {
  records_[check(node)].positions = Positions{line, col, count, none};
}

std::uint32_t NodeArena::new_position_list(std::vector<SourcePosition> list) {
  std::uint32_t index = checked_index<char>(position_lists_.size());
  listed_positions_ += list.size();
  position_lists_.push_back(std::move(list));
  return index;
}

void NodeArena::set_positions(NodeId node, std::span<const SourcePosition> positions) {
  check(node);
  // Most lists are consecutive columns of one line (a name and the place
  // after it): those are kept as a run, which is written the same way.
  if (!positions.empty() && positions.size() <= none) {
    const SourcePosition first = positions.front();
    bool run = positions.back().line == first.line &&
               positions.back().col - first.col == positions.size() - 1;
    for (std::size_t k = 1; run && k < positions.size(); ++k)
      run = positions[k].line == first.line && positions[k].col == first.col + k;
    if (run) {
      records_[node].positions =
          Positions{first.line, first.col, static_cast<std::uint32_t>(positions.size()), none};
      return;
    }
  }
  std::uint32_t index =
      new_position_list(std::vector<SourcePosition>(positions.begin(), positions.end()));
  records_[node].positions =
      Positions{0, 0, checked_index<char>(positions.size()), index};
}

NodeId NodeArena::own_last_child(NodeId parent) {
  const std::uint32_t last_entry = records_[check(parent)].last_child;
  if (last_entry == none) throw InternalError("own_last_child of a node without children");
  const std::uint32_t original = children_[last_entry].child;
  Record copy = records_[original];
  copy.first_attribute = copy.first_child = copy.last_child = none;
  copy.attached = copy.shared = false;
  const std::uint32_t id = checked_index<Record>(records_.size());
  records_.push_back(copy);
  if (!file_starts_.empty()) node_files_.push_back(node_files_[original]);
  if (copy.has_value) ++value_count_;
  for (std::uint32_t e = records_[original].first_attribute; e != none; e = attributes_[e].next)
    set_attribute(id, attributes_[e].key, text(attributes_[e].value));
  for (std::uint32_t e = records_[original].first_child; e != none; e = children_[e].next)
    add_child(id, children_[e].child);
  children_[last_entry].child = id;
  records_[id].attached = true;
  return id;
}

}  // namespace tarnwick
