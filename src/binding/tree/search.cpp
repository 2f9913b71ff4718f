// The searches over the places of a tree: find_all and find (of a Tree over
// all of them, of a Node over its subtree) and node_at.
#include "tree/node_path.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::binding {
namespace {

// The kind named by `name` ("ntMethod" or "Method"); false with ValueError
// set when there is none.
bool kind_named(PyObject* name, int& kind) {
  std::string_view s;
  if (!utf8_of(name, s)) return false;
  for (std::size_t k = 0; k < std::size(tarnwick::node_kind_names); ++k) {
    std::string_view n = tarnwick::node_kind_names[k];
    if (s == n || s == n.substr(2)) {
      kind = static_cast<int>(k);
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown node kind %R", name);
  return false;
}

// find_all(kind=None, **attributes) and find(...): the places of that kind
// (any kind for None) whose attributes hold those values, in document order:
// all places of the tree, or with `start` the places of its subtree.
PyObject* search(TreeObject* tree, NodeObject* start, PyObject* args, PyObject* kwargs,
                 bool first_only) {
  PyObject* kind_arg = Py_None;
  const char* name = first_only ? "find" : "find_all";
  if (!PyArg_UnpackTuple(args, name, 0, 1, &kind_arg)) return nullptr;
  int kind = -1;
  if (kind_arg != Py_None) {
    if (!PyUnicode_Check(kind_arg)) {
      PyErr_Format(PyExc_TypeError, "%s() kind must be a str or None", name);
      return nullptr;
    }
    if (!kind_named(kind_arg, kind)) return nullptr;
  }
  std::vector<std::pair<std::uint8_t, std::string_view>> wanted;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::string_view k, v;
      if (!utf8_of(key, k)) return nullptr;
      int index = -1;
      for (std::size_t i = 0; i < tarnwick::attribute_key_count; ++i)
        if (tarnwick::attribute_key_names[i] == k) index = static_cast<int>(i);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unknown attribute key %R", name, key);
        return nullptr;
      }
      if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() attribute %R must be a str", name, key);
        return nullptr;
      }
      if (!utf8_of(value, v)) return nullptr;
      wanted.emplace_back(static_cast<std::uint8_t>(index), v);
    }
  }
  return guarded([&]() -> PyObject* {
    const SyntaxTree& t = *tree->tree;
    PyRef found(first_only ? nullptr : PyList_New(0));
    if (!first_only && !found) return nullptr;
    PyRef first;
    bool failed = false, stop = false;
    std::unique_ptr<NodePath> path_of(start == nullptr ? new NodePath(tree)
                                                       : new NodePath(tree, start));
    NodePath& path = *path_of;
    // Answers whether to go below the place.
    const auto visit = [&] {
      const std::uint32_t n = path.node();
      bool match = kind < 0 || static_cast<int>(t.node(n).kind) == kind;
      for (std::size_t i = 0; match && i < wanted.size(); ++i) {
        bool has = false;
        for (const SyntaxTree::Item& item : t.attributes(n))
          if (item.key == wanted[i].first) has = t.text(item) == wanted[i].second;
        match = has;
      }
      if (!match) return true;
      NodeObject* node = path.materialize();
      if (node == nullptr) {
        failed = stop = true;
        return false;
      }
      if (first_only) {
        first.reset(reinterpret_cast<PyObject*>(node));
        stop = true;
        return false;
      }
      const int rc = PyList_Append(found.get(), reinterpret_cast<PyObject*>(node));
      Py_DECREF(node);
      if (rc < 0) failed = stop = true;
      return true;
    };
    bool descend = visit();
    while (!stop && path.next(descend)) descend = visit();
    if (failed) return nullptr;
    if (first_only) return first ? first.release() : new_ref(Py_None);
    return found.release();
  });
}

// True when the extent holds the position: from its start, up to (not
// including) its end; an empty extent holds its start.
bool holds(const SyntaxTree::Extent& e, std::uint32_t line, std::uint32_t col) {
  if (e.line == 0) return false;
  const bool from_start = line > e.line || (line == e.line && col >= e.col);
  const bool before_end = line < e.end_line || (line == e.end_line && col < e.end_col);
  const bool empty_at_start = line == e.line && col == e.col && e.line == e.end_line && e.col == e.end_col;
  return from_start && (before_end || empty_at_start);
}

}  // namespace

const std::vector<SyntaxTree::Extent>& extents_of(TreeObject* tree) {
  if (tree->extents == nullptr)
    tree->extents = new std::vector<SyntaxTree::Extent>(tree->tree->all_extents());
  return *tree->extents;
}

PyObject* tree_find_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search(reinterpret_cast<TreeObject*>(self), nullptr, args, kwargs, false);
}

PyObject* tree_find(PyObject* self, PyObject* args, PyObject* kwargs) {
  return search(reinterpret_cast<TreeObject*>(self), nullptr, args, kwargs, true);
}

PyObject* node_find_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  NodeObject* n = reinterpret_cast<NodeObject*>(self);
  return search(n->tree, n, args, kwargs, false);
}

PyObject* node_find(PyObject* self, PyObject* args, PyObject* kwargs) {
  NodeObject* n = reinterpret_cast<NodeObject*>(self);
  return search(n->tree, n, args, kwargs, true);
}

PyObject* tree_node_at(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"line", "col", nullptr};
  unsigned long line = 0, col = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "kk:node_at", const_cast<char**>(keywords), &line,
                                   &col))
    return nullptr;
  TreeObject* tree = reinterpret_cast<TreeObject*>(self);
  return guarded([&]() -> PyObject* {
    const std::vector<SyntaxTree::Extent>& extents = extents_of(tree);
    if (line > 0xFFFFFFFFul || col > 0xFFFFFFFFul) return new_ref(Py_None);
    const auto l = static_cast<std::uint32_t>(line);
    const auto c = static_cast<std::uint32_t>(col);
    // The deepest place whose extent holds the position; the first in
    // document order among equally deep ones.
    // Extents hold their descendants', so only places that hold the
    // position are searched below.
    std::size_t best_length = 0;
    std::uint64_t best_place = 0;
    NodePath path(tree);
    const auto visit = [&] {
      if (!holds(extents[path.node()], l, c)) return false;
      if (path.length() > best_length) {
        best_length = path.length();
        best_place = path.place();
      }
      return true;
    };
    bool descend = visit();
    while (path.next(descend)) descend = visit();
    if (best_length == 0) return new_ref(Py_None);
    if (!path.goto_place(best_place)) throw InternalError("a place names no node of the tree");
    return reinterpret_cast<PyObject*>(path.materialize());
  });
}

}  // namespace tarnwick::binding
