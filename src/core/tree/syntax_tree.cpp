#include "tree/syntax_tree.h"

#include <algorithm>
#include <array>
#include <unordered_set>
#include <utility>

#include "call_limits.h"
#include "errors.h"
#include "tree/cursor.h"
#include "tree/writer.h"

namespace tarnwick {
namespace {

constexpr std::uint64_t saturated_places = std::uint64_t{1} << 62;

std::uint32_t checked_u32(std::size_t n, const char* what) {
  if (n >= NodeArena::none) throw InternalError(what);
  return static_cast<std::uint32_t>(n);
}

// Positions compared as (line, col).
inline bool before(std::uint32_t l1, std::uint32_t c1, std::uint32_t l2, std::uint32_t c2) {
  return l1 < l2 || (l1 == l2 && c1 < c2);
}

struct ExtentSum {
  SyntaxTree::Extent e;
  bool any = false;
  void add(std::uint32_t line, std::uint32_t col) {
    if (line == 0) return;  // a node made from the end of the input: no position
    if (!any || before(line, col, e.line, e.col)) {
      e.line = line;
      e.col = col;
    }
    if (!any || before(e.end_line, e.end_col, line, col)) {
      e.end_line = line;
      e.end_col = col;
    }
    any = true;
  }
  void add(const SyntaxTree::Extent& other) {
    if (other.line == 0) return;
    add(other.line, other.col);
    add(other.end_line, other.end_col);
  }
};

// The positions a node holds itself: its start, its end and its source
// positions.
void add_own(const SyntaxTree& tree, std::uint32_t n, ExtentSum& sum) {
  const SyntaxTree::Node& node = tree.node(n);
  sum.add(node.line, node.col);
  sum.add(node.end_line, node.end_col);
  if (node.position_count == 0) return;
  if (node.flags & SyntaxTree::position_list_flag) {
    for (const SourcePosition& p : tree.position_list(node)) sum.add(p.line, p.col);
  } else {
    sum.add(node.position_a, node.position_b);
    sum.add(node.position_a, node.position_b + node.position_count - 1);
  }
}

}  // namespace

std::unique_ptr<SyntaxTree> SyntaxTree::from_arena(const NodeArena& a, NodeId root,
                                                   std::string_view file_name,
                                                   std::vector<Token> skipped,
                                                   std::vector<Diagnostic> diagnostics,
                                                   Preprocessed* preprocessed,
                                                   std::size_t main_size) {
  std::unique_ptr<SyntaxTree> t(new SyntaxTree());
  t->skipped_ = std::move(skipped);
  t->diagnostics_ = std::move(diagnostics);
  t->source_ = t->texts_ = a.source();
  if (preprocessed) {
    t->included_files_ = std::move(preprocessed->included_files);
    t->inactive_ = std::move(preprocessed->inactive);
    if (preprocessed->buffer) {
      t->buffer_ = std::move(preprocessed->buffer);
      if (t->buffer_->data() != a.source().data() || main_size > a.source().size())
        throw InternalError("the tree's buffer is not the arena's source");
      t->source_ = t->texts_.substr(0, main_size);
    }
  }
  const std::vector<std::uint32_t>& files = a.node_files();
  if (!files.empty()) {
    if (files.size() != a.size()) throw InternalError("the arena noted the files of some nodes only");
    t->node_files_.reserve(a.size());
  }
  t->file_name_ = std::string(file_name);
  t->output_limit_ = tarnwick::output_limit(a.source().size());
  t->pool_ = std::string(a.pool());
  t->nodes_.reserve(a.size() + 1);
  t->child_ids_.reserve(a.size());
  t->items_.reserve(a.attribute_count() + a.value_count());
  t->position_lists_.reserve(a.listed_positions());

  const auto item_of = [](std::uint8_t key, const NodeArena::TextRef& ref) {
    return Item{ref.offset, ref.length, key, !ref.in_source};
  };
  // Nodes attached in several places are made once: their ids by arena id
  // (`none` until made; only shared nodes are looked up, and the list is
  // made when the first one is met).
  std::vector<std::uint32_t> shared_ids;
  // Makes the node of `arena_id` with its items and positions, and the
  // slots of child_ids_ that its children take once they are made; answers
  // its id.
  const auto make = [&](NodeId arena_id, const NodeArena::Record& r) -> std::uint32_t {
    const std::uint32_t id = checked_u32(t->nodes_.size(), "the tree has too many nodes");
    Node& n = t->nodes_.emplace_back();
    if (!files.empty()) t->node_files_.push_back(files[arena_id]);
    n.line = r.line;
    n.col = r.col;
    n.end_line = r.end_line;
    n.end_col = r.end_col;
    n.kind = r.kind;
    n.flags = 0;
    n.first_child = checked_u32(t->child_ids_.size(), "the tree has too many children");
    n.first_item = checked_u32(t->items_.size(), "the tree has too many attributes");
    // Attributes in the order the text writes them (by key name): appended
    // as they come, then sorted in place (a node holds few, each key once).
    const std::size_t first_item = t->items_.size();
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none;) {
      const NodeArena::AttributeEntry& entry = a.attribute_entry(e);
      if (t->items_.size() - first_item == attribute_key_count)
        throw InternalError("a node holds one attribute key twice");
      t->items_.push_back(item_of(static_cast<std::uint8_t>(entry.key), entry.value));
      e = entry.next;
    }
    Item* items = t->items_.data() + first_item;
    const std::size_t n_attrs = t->items_.size() - first_item;
    for (std::size_t i = 1; i < n_attrs; ++i) {
      const Item item = items[i];
      const auto rank = attribute_order.rank[item.key];
      std::size_t j = i;
      for (; j > 0 && attribute_order.rank[items[j - 1].key] > rank; --j) items[j] = items[j - 1];
      items[j] = item;
    }
    if (r.has_value) {
      n.flags |= has_value_flag;
      t->items_.push_back(item_of(value_key, r.value));
    }
    if (r.positions.pool == NodeArena::none) {
      n.position_a = r.positions.line;
      n.position_b = r.positions.col;
      n.position_count = r.positions.count;
    } else {
      const std::vector<SourcePosition>& list = a.position_list(r.positions.pool);
      const std::uint64_t at = t->position_lists_.size();
      t->position_lists_.insert(t->position_lists_.end(), list.begin(), list.end());
      n.flags |= position_list_flag;
      n.position_a = static_cast<std::uint32_t>(at);
      n.position_b = static_cast<std::uint32_t>(at >> 32);
      n.position_count = checked_u32(list.size(), "a position list is too long");
    }
    if (r.shared) {
      n.flags |= shared_flag;
      if (shared_ids.empty()) shared_ids.assign(a.size(), NodeArena::none);
      shared_ids[arena_id] = id;
    }
    // The children's slots, each filled with the child's id once it is
    // made.
    for (std::uint32_t e = r.first_child; e != NodeArena::none;) {
      const NodeArena::ChildEntry& entry = a.child_entry(e);
      t->child_ids_.push_back(entry.child);
      e = entry.next;
    }
    return id;
  };

  t->places_.reserve(a.size() + 1);
  // The nodes whose children are being made, the deepest last: the slot
  // of the next child and the places counted so far. A node's places are
  // 0 while it is open and set when it closes.
  struct Open {
    std::uint32_t id, slot;
    std::uint64_t places;
  };
  std::vector<Open> open;
  // The node met last is done when met (a leaf, or listed again), so its
  // subtree needs nothing more when it is left.
  bool done_when_met = false;
  const auto add_places = [](Open& o, std::uint64_t places) {
    o.places = std::min(saturated_places, o.places + places);
  };
  // The node the cursor arrives at, made or, when shared and made before,
  // listed again; answers whether its children are to be made.
  const ArenaShape shape(a);
  TreeCursor<ArenaShape> cursor(shape, static_cast<std::uint32_t>(root));
  const auto arrive = [&]() -> bool {
    const NodeId arena_id = cursor.node();
    const NodeArena::Record& r = a.record(arena_id);
    const bool top = cursor.depth() == 0;
    const std::uint32_t slot = top ? 0 : open.back().slot++;
    if (r.shared && !shared_ids.empty()) {
      const std::uint32_t made = shared_ids[arena_id];
      if (made != NodeArena::none) {
        // Met again inside its own subtree, which is still open.
        if (t->places_[made] == 0) throw InternalError("the node arena holds a cycle");
        t->child_ids_[slot] = made;
        add_places(open.back(), t->places_[made]);
        return done_when_met = true, false;
      }
    }
    const std::uint32_t id = make(arena_id, r);
    if (!top) t->child_ids_[slot] = id;
    const std::uint32_t first_child = t->nodes_[id].first_child;
    if (t->child_ids_.size() == first_child) {
      t->places_.push_back(1);
      if (!top) add_places(open.back(), 1);
      return done_when_met = true, false;
    }
    t->places_.push_back(0);
    open.push_back(Open{id, first_child, 1});
    return true;
  };
  const auto leave = [&](const TreeCursor<ArenaShape>&) {
    if (done_when_met) {
      done_when_met = false;
      return;
    }
    const Open done = open.back();
    open.pop_back();
    t->places_[done.id] = done.places;
    if (!open.empty()) add_places(open.back(), done.places);
  };
  bool descend;
  do {
    descend = arrive();
  } while (cursor.goto_next(descend, leave));
  t->finish();
  return t;
}

void SyntaxTree::finish() {
  // A sentinel after the last node closes the ranges of its children and items.
  Node end{};
  end.first_child = checked_u32(child_ids_.size(), "the tree has too many children");
  end.first_item = checked_u32(items_.size(), "the tree has too many attributes");
  nodes_.push_back(end);
  if (places_.size() != node_count()) throw InternalError("the tree's places are not all counted");
  // The stores were reserved for every node of the arena; where the tree
  // holds much less (nodes left unattached), the rest is given back.
  const auto fit = [](auto& v) {
    if (v.capacity() - v.size() > v.size() / 8) v.shrink_to_fit();
  };
  fit(nodes_);
  fit(child_ids_);
  fit(items_);
  fit(places_);
  fit(position_lists_);
  if (place_count() >= saturated_places) throw OutputTooLarge();
}

SyntaxTree::Extent SyntaxTree::extent(std::uint32_t n) const {
  ExtentSum sum;
  std::unordered_set<std::uint32_t> seen;  // shared subtrees already taken
  const TreeShape shape(*this);
  TreeCursor<TreeShape> cursor(shape, n);
  const auto take = [&] {
    const std::uint32_t m = cursor.node();
    if (cursor.depth() > 0 && (nodes_[m].flags & shared_flag) && !seen.insert(m).second)
      return false;
    add_own(*this, m, sum);
    return true;
  };
  bool descend;
  do {
    descend = take();
  } while (cursor.goto_next(descend));
  return sum.e;
}

std::vector<SyntaxTree::Extent> SyntaxTree::all_extents() const {
  const std::size_t n = node_count();
  std::vector<Extent> out(n);
  if (n == 0) return out;
  // Each node once, after its children: a shared subtree is summed where it
  // is first met.
  std::vector<bool> done(n, false);
  const TreeShape shape(*this);
  TreeCursor<TreeShape> cursor(shape, 0);
  const auto leave = [&](const TreeCursor<TreeShape>& c) {
    const std::uint32_t node = c.node();
    if (done[node]) return;
    ExtentSum sum;
    add_own(*this, node, sum);
    for (std::uint32_t child : children(node)) sum.add(out[child]);
    out[node] = sum.e;
    done[node] = true;
  };
  while (cursor.goto_next(!done[cursor.node()], leave)) {
  }
  return out;
}

std::size_t SyntaxTree::bytes() const {
  return sizeof(*this) + nodes_.capacity() * sizeof(Node) +
         child_ids_.capacity() * sizeof(std::uint32_t) + items_.capacity() * sizeof(Item) +
         places_.capacity() * sizeof(std::uint64_t) +
         position_lists_.capacity() * sizeof(SourcePosition) + pool_.capacity() +
         skipped_.capacity() * sizeof(Token) +
         diagnostics_.capacity() * sizeof(Diagnostic) + file_name_.capacity() +
         included_files_.capacity() * sizeof(std::string) +
         node_files_.capacity() * sizeof(std::uint32_t) + inactive_.capacity() * sizeof(InactiveRange) +
         (buffer_ ? buffer_->capacity() : 0);
}

}  // namespace tarnwick
