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
  }
  t->file_name_ = std::string(file_name);
  t->output_limit_ = tarnwick::output_limit(a.source().size());
  t->pool_ = std::string(a.pool());
  // The stores are sized for the most the arena can give, written through
  // their counts, cut to what was written and handed to the tree at the end.
  // Each arena node is made once and each child entry read once, so the
  // bounds hold unless the arena's children form a cycle, which they stop.
  const std::size_t node_bound = a.size();
  const std::size_t child_bound = a.child_entry_count();
  const std::size_t item_bound = a.attribute_count() + a.value_count();
  if (node_bound >= NodeArena::none || child_bound >= NodeArena::none || item_bound >= NodeArena::none)
    throw InternalError("the tree has too many nodes");
  UnclearedBlockVector<Node> nodes;
  UnclearedBlockVector<std::uint32_t> child_ids;
  UnclearedBlockVector<Item> items;
  UnclearedBlockVector<std::uint64_t> places;
  BlockVector<SourcePosition> position_lists;
  std::vector<std::uint32_t> node_files;
  nodes.reserve(node_bound + 1);  // and the sentinel
  nodes.resize(node_bound);
  child_ids.resize(child_bound);
  items.resize(item_bound);
  places.resize(node_bound);
  position_lists.reserve(a.listed_positions());
  if (!files.empty()) node_files.reserve(node_bound);
  Node* const node_at = nodes.data();
  std::uint32_t* const child_at = child_ids.data();
  Item* const item_at = items.data();
  std::uint64_t* const places_at = places.data();
  std::uint32_t node_count = 0, child_count = 0, item_count = 0;

  const auto item_of = [](std::uint8_t key, const NodeArena::TextRef& ref) {
    return Item{ref.offset, ref.length, key, !ref.in_source};
  };
  // Nodes attached in several places are made once: their ids by arena id
  // (`none` until made; only shared nodes are looked up, and the list is
  // made when the first one is met).
  std::vector<std::uint32_t> shared_ids;
  // Makes the node of `arena_id` with its items and positions, and the
  // slots of child_ids that its children take: each holds the child's arena
  // id until the child is made, then its id. Answers the node's id.
  const auto make = [&](NodeId arena_id, const NodeArena::Record& r) -> std::uint32_t {
    if (node_count == node_bound) throw InternalError("the node arena holds a cycle");
    const std::uint32_t id = node_count++;
    Node& n = node_at[id];
    if (!files.empty()) node_files.push_back(files[arena_id]);
    n.line = r.line;
    n.col = r.col;
    n.end_line = r.end_line;
    n.end_col = r.end_col;
    n.kind = r.kind;
    n.flags = 0;
    n.first_child = child_count;
    n.first_item = item_count;
    // Attributes in the order the text writes them (by key name): appended
    // as they come, then sorted in place (a node holds few, each key once).
    const std::uint32_t first_item = item_count;
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none;) {
      const NodeArena::AttributeEntry& entry = a.attribute_entry(e);
      if (item_count - first_item == attribute_key_count)
        throw InternalError("a node holds one attribute key twice");
      if (item_count == item_bound) throw InternalError("the node arena holds a cycle");
      item_at[item_count++] = item_of(static_cast<std::uint8_t>(entry.key), entry.value);
      e = entry.next;
    }
    Item* own = item_at + first_item;
    const std::size_t n_attrs = item_count - first_item;
    for (std::size_t i = 1; i < n_attrs; ++i) {
      const Item item = own[i];
      const auto rank = attribute_order.rank[item.key];
      std::size_t j = i;
      for (; j > 0 && attribute_order.rank[own[j - 1].key] > rank; --j) own[j] = own[j - 1];
      own[j] = item;
    }
    if (r.has_value) {
      if (item_count == item_bound) throw InternalError("the node arena holds a cycle");
      n.flags |= has_value_flag;
      item_at[item_count++] = item_of(value_key, r.value);
    }
    if (r.positions.pool == NodeArena::none) {
      n.position_a = r.positions.line;
      n.position_b = r.positions.col;
      n.position_count = r.positions.count;
    } else {
      const std::vector<SourcePosition>& list = a.position_list(r.positions.pool);
      const std::uint64_t at = position_lists.size();
      position_lists.insert(position_lists.end(), list.begin(), list.end());
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
    for (std::uint32_t e = r.first_child; e != NodeArena::none;) {
      const NodeArena::ChildEntry& entry = a.child_entry(e);
      if (child_count == child_bound) throw InternalError("the node arena holds a cycle");
      child_at[child_count++] = entry.child;
      e = entry.next;
    }
    return id;
  };
  const auto add_places = [](std::uint64_t& to, std::uint64_t more) {
    to = std::min(saturated_places, to + more);
  };

  // A depth-first walk that makes each node when it is first met, so that
  // ids follow document order. The nodes whose children are being made, the
  // deepest last: the next and the end slot of their children and the places
  // counted so far. A node's places are 0 while it is open and set when it
  // closes.
  struct Open {
    std::uint32_t id, slot, end;
    std::uint64_t places;
  };
  std::vector<Open> open;
  // Opens the node just made, or closes it at once when it has no children;
  // answers the places it adds to its parent now (none until it closes).
  const auto open_node = [&](std::uint32_t id) {
    const std::uint32_t first = node_at[id].first_child;
    if (first == child_count) {
      places_at[id] = 1;
      return std::uint64_t{1};
    }
    places_at[id] = 0;
    open.push_back(Open{id, first, child_count, 1});
    return std::uint64_t{0};
  };
  open_node(make(root, a.record(root)));
  while (!open.empty()) {
    Open& o = open.back();
    if (o.slot == o.end) {
      const Open done = o;
      open.pop_back();
      places_at[done.id] = done.places;
      if (!open.empty()) add_places(open.back().places, done.places);
      continue;
    }
    const std::uint32_t slot = o.slot++;
    const NodeId arena_id = child_at[slot];
    const NodeArena::Record& r = a.record(arena_id);
    if (r.shared && !shared_ids.empty()) {
      const std::uint32_t made = shared_ids[arena_id];
      if (made != NodeArena::none) {
        // Met again inside its own subtree, which is still open.
        if (places_at[made] == 0) throw InternalError("the node arena holds a cycle");
        child_at[slot] = made;
        add_places(o.places, places_at[made]);
        continue;
      }
    }
    const std::uint32_t id = make(arena_id, r);
    child_at[slot] = id;
    // `o` may move when a node opens: the parent is then the one below the
    // top, and is looked up after.
    const std::size_t parent = open.size() - 1;
    const std::uint64_t leaf_places = open_node(id);
    add_places(open[parent].places, leaf_places);
  }
  nodes.resize(node_count);
  child_ids.resize(child_count);
  items.resize(item_count);
  places.resize(node_count);
  t->nodes_ = std::move(nodes);
  t->child_ids_ = std::move(child_ids);
  t->items_ = std::move(items);
  t->places_ = std::move(places);
  t->position_lists_ = std::move(position_lists);
  if (!files.empty()) t->node_files_ = std::move(node_files);
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
