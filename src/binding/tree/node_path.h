// A walk over the places of a tree that makes Python nodes only for the
// places it is asked for and their ancestors: the core's cursor, and the
// views of the nodes of its path.
#pragma once

#include "tree/objects.h"

#include <cstdint>
#include <vector>

#include "tree/cursor.h"

namespace tarnwick::binding {

class NodePath {
 public:
  using Cursor = TreeCursor<PlacedTreeShape>;

  // A path over the places of `tree`, from its root; it keeps the tree.
  explicit NodePath(TreeObject* tree) : tree_(tree), shape_(*tree->tree), cursor_(shape_) {
    objects_.push_back(nullptr);
    Py_INCREF(tree);
  }
  // A path over the subtree of `start`, whose view it keeps (a reference of
  // its own).
  NodePath(TreeObject* tree, NodeObject* start) : NodePath(tree) {
    cursor_.reset(start->node, start->place);
    Py_INCREF(start);
    objects_[0] = start;
    made_ = 1;
  }
  NodePath(const NodePath&) = delete;
  NodePath& operator=(const NodePath&) = delete;
  ~NodePath() {
    release();
    Py_DECREF(tree_);
  }

  const Cursor& cursor() const { return cursor_; }
  std::uint32_t node() const { return cursor_.node(); }
  std::uint64_t place() const { return cursor_.place(); }
  // The nodes of the path, the root's 1.
  std::size_t length() const { return cursor_.depth() + 1; }

  // To the next place in document order (below this one only when
  // `descend`); false at the end of the walk, and after it.
  bool next(bool descend = true) {
    if (ended_) return false;
    const bool more = cursor_.goto_next(descend, [this](const Cursor&) {
      Py_XDECREF(objects_.back());
      objects_.pop_back();
    });
    if (made_ > objects_.size()) made_ = objects_.size();
    if (!more) {
      ended_ = true;
      return false;
    }
    objects_.push_back(nullptr);
    return true;
  }

  // To the place `place` of the tree, from its root.
  bool goto_place(std::uint64_t place) {
    if (!cursor_.goto_descendant(place)) return false;
    release_from(1);
    objects_.resize(cursor_.depth() + 1, nullptr);
    ended_ = false;
    return true;
  }

  // The view of the place the path is at, with the views of its ancestors
  // made where they are not yet; a new reference, or null with an exception
  // set.
  NodeObject* materialize() {
    const auto frames = cursor_.path();
    for (; made_ < frames.size(); ++made_) {
      NodeObject* parent = made_ == 0 ? nullptr : objects_[made_ - 1];
      objects_[made_] = new_node(tree_, parent, frames[made_].node, frames[made_].place);
      if (objects_[made_] == nullptr) return nullptr;
    }
    NodeObject* o = objects_.back();
    Py_INCREF(o);
    return o;
  }

  // Drops the views and ends the walk.
  void release() {
    release_from(0);
    ended_ = true;
  }

 private:
  // Drops the views of the path from `from` on, the deepest first (each is
  // the parent of the next).
  void release_from(std::size_t from) {
    while (objects_.size() > from) {
      Py_XDECREF(objects_.back());
      objects_.pop_back();
    }
    if (made_ > from) made_ = from;
  }

  TreeObject* tree_;
  PlacedTreeShape shape_;
  Cursor cursor_;
  // The views of the path's nodes, by depth; those from `made_` on are not
  // made yet (null).
  std::vector<NodeObject*> objects_;
  std::size_t made_ = 0;
  bool ended_ = false;
};

}  // namespace tarnwick::binding
