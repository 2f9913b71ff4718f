// One cursor for every walk over a tree: the writer's measure and text,
// the packing of the arena into a finished tree, the extents, and the walks
// and searches of tarnwick_tree's objects.
//
// A cursor stands at one node and moves to its first child, its next
// sibling or its parent, keeping the path from the node it started at (its
// root) as an explicit stack, so that no walk recurses, however deep the
// tree. A walk never leaves the subtree of the cursor's root. Where the
// shape counts places (the finished tree, see syntax_tree.h), the cursor
// also keeps the place of each node of the path: its number in document
// order, which tells apart the places of a subtree that stands under
// several parents.
//
// A shape says how a node's children are listed:
//   Siblings                  the rest of a list of children
//   children(node)            the list of a node's children (an empty list
//                             is Siblings{})
//   at_end(siblings)          true when the list is used up
//   take(siblings)            the next child; moves `siblings` past it
//   size()                    the nodes of the store, which no path passes
// and, where places are counted, places(node): the places of its subtree.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "errors.h"
#include "tree/arena.h"
#include "tree/syntax_tree.h"

namespace tarnwick {

template <class Shape>
concept CountsPlaces = requires(const Shape& s, std::uint32_t n) {
  { s.places(n) } -> std::convertible_to<std::uint64_t>;
};

template <class Shape>
class TreeCursor {
 public:
  using Siblings = typename Shape::Siblings;
  static constexpr bool counts_places = CountsPlaces<Shape>;
  struct NoPlace {};
  struct Frame {
    std::uint32_t node;
    Siblings rest;  // the siblings after this node (none at the root)
    // The place in document order, where the shape counts places.
    [[no_unique_address]] std::conditional_t<counts_places, std::uint64_t, NoPlace> place;
  };

  explicit TreeCursor(const Shape& shape, std::uint32_t root = 0, std::uint64_t place = 0)
      : shape_(&shape), longest_path_(shape.size()) {
    reset(root, place);
  }

  // Starts again at `root`, whose place is `place`.
  void reset(std::uint32_t root, std::uint64_t place = 0) {
    frames_.clear();
    Frame& f = frames_.emplace_back();
    f.node = root;
    f.rest = Siblings{};
    if constexpr (counts_places) f.place = place;
    (void)place;
  }

  std::uint32_t node() const { return frames_.back().node; }
  std::uint64_t place() const
    requires counts_places
  {
    return frames_.back().place;
  }
  // Levels below the cursor's root (0 at the root).
  std::size_t depth() const { return frames_.size() - 1; }
  // The path from the root to the node, the node last.
  std::span<const Frame> path() const { return frames_; }
  const Shape& shape() const { return *shape_; }

  bool goto_first_child() { return goto_first_child(shape_->children(frames_.back().node)); }
  // The same where the caller holds the node's children already (`kids`
  // must be the node's own list of children).
  bool goto_first_child(Siblings kids) {
    if (Shape::at_end(kids)) return false;
    // A path holds each node once: one that passes them all comes back to
    // a node it holds already.
    if (frames_.size() >= longest_path_) throw InternalError("the tree's children form a cycle");
    Frame f;
    if constexpr (counts_places) f.place = frames_.back().place + 1;
    f.node = shape_->take(kids);
    f.rest = kids;
    frames_.push_back(f);
    return true;
  }

  bool goto_next_sibling() {
    Frame& f = frames_.back();
    if (Shape::at_end(f.rest)) return false;  // the root's are none
    if constexpr (counts_places) f.place += shape_->places(f.node);
    f.node = shape_->take(f.rest);
    return true;
  }

  bool goto_parent() {
    if (frames_.size() == 1) return false;
    frames_.pop_back();
    return true;
  }

  // The next node in document order: the first child when `descend` is
  // true and there is one, else the next sibling of the node or of its
  // nearest ancestor that has one. `leave(cursor)` is called at every node
  // whose subtree is then done, deepest first (the cursor's root last). False
  // at the end of the walk, where the cursor is back at its root.
  template <class Leave>
  bool goto_next(bool descend, Leave&& leave) {
    if (descend && goto_first_child()) return true;
    return goto_next_beside(leave);
  }
  bool goto_next(bool descend = true) {
    return goto_next(descend, [](const TreeCursor&) {});
  }
  // The same where the caller holds the node's children already: below the
  // node into `kids` (the node's own list of children, or an empty list
  // not to go below it).
  template <class Leave>
  bool goto_next(Siblings kids, Leave&& leave) {
    if (goto_first_child(kids)) return true;
    return goto_next_beside(leave);
  }
  bool goto_next(Siblings kids) {
    return goto_next(kids, [](const TreeCursor&) {});
  }

  // Moves to the place `place` of the root's subtree, going down from the
  // root through the child whose places hold it at each level; false (at
  // the root) when the subtree has no such place.
  bool goto_descendant(std::uint64_t place)
    requires counts_places
  {
    frames_.resize(1);
    const std::uint64_t first = frames_[0].place;
    if (place < first || place - first >= shape_->places(frames_[0].node)) return false;
    while (frames_.back().place != place) {
      if (!goto_first_child()) throw InternalError("a place names no node of the tree");
      while (place - frames_.back().place >= shape_->places(frames_.back().node))
        if (!goto_next_sibling()) throw InternalError("a place names no node of the tree");
    }
    return true;
  }

 private:
  // To the next sibling of the node or of its nearest ancestor that has one,
  // leaving the subtrees done on the way.
  template <class Leave>
  bool goto_next_beside(Leave& leave) {
    for (;;) {
      leave(*this);
      if (goto_next_sibling()) return true;
      if (!goto_parent()) return false;
    }
  }

  const Shape* shape_;
  std::size_t longest_path_;  // the store's nodes
  std::vector<Frame> frames_;
};

// The arena's shape: children as linked lists of child entries.
class ArenaShape {
 public:
  explicit ArenaShape(const NodeArena& arena) : arena_(arena) {}
  struct Siblings {
    std::uint32_t entry = NodeArena::none;  // a child entry, or none
  };

  Siblings children(std::uint32_t n) const { return Siblings{arena_.record(n).first_child}; }
  static bool at_end(Siblings s) { return s.entry == NodeArena::none; }
  std::uint32_t take(Siblings& s) const {
    const NodeArena::ChildEntry& e = arena_.child_entry(s.entry);
    s.entry = e.next;
    return e.child;
  }
  std::size_t size() const { return arena_.size(); }
  const NodeArena& arena() const { return arena_; }

 private:
  const NodeArena& arena_;
};

// The finished tree's shape: children as ranges of its child list.
class TreeShape {
 public:
  explicit TreeShape(const SyntaxTree& tree) : tree_(tree) {}
  struct Siblings {
    std::uint32_t at = 0, end = 0;
  };

  Siblings children(std::uint32_t n) const {
    // Node n + 1 is at most the sentinel, which closes the last range.
    return Siblings{tree_.node(n).first_child, tree_.node(n + 1).first_child};
  }
  static bool at_end(Siblings s) { return s.at == s.end; }
  std::uint32_t take(Siblings& s) const { return tree_.child_id(s.at++); }
  std::size_t size() const { return tree_.node_count(); }
  const SyntaxTree& tree() const { return tree_; }

 private:
  const SyntaxTree& tree_;
};

// The same with the places counted, for the walks that name places.
class PlacedTreeShape : public TreeShape {
 public:
  using TreeShape::TreeShape;
  std::uint64_t places(std::uint32_t n) const { return tree().places(n); }
};

}  // namespace tarnwick
