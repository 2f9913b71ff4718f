// Node: a view of one place of a tree, made on access.
#include "tree/objects.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick::binding {

NodeObject* new_node(TreeObject* tree, NodeObject* parent, std::uint32_t node,
                     std::uint64_t place) {
  NodeObject* o = PyObject_New(NodeObject, node_type);
  if (o == nullptr) return nullptr;
  Py_INCREF(tree);
  o->tree = tree;
  Py_XINCREF(parent);
  o->parent = parent;
  o->node = node;
  o->place = place;
  return o;
}

namespace {

void node_dealloc(PyObject* self) {
  NodeObject* n = reinterpret_cast<NodeObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  NodeObject* parent = std::exchange(n->parent, nullptr);
  Py_DECREF(n->tree);
  PyObject_Free(self);
  Py_DECREF(type);
  // A chain of parents held only by their children is released one by one
  // here, not by nested deallocations (a chain may be as deep as the tree).
  while (parent != nullptr && Py_REFCNT(parent) == 1) {
    NodeObject* next = std::exchange(parent->parent, nullptr);
    Py_DECREF(parent);
    parent = next;
  }
  Py_XDECREF(parent);
}

// ---- Node ---------------------------------------------------------------------

PyObject* node_kind(PyObject* self, void*) {
  const NodeObject* n = reinterpret_cast<NodeObject*>(self);
  return new_ref(kind_names[static_cast<std::size_t>(tree_of(n).node(n->node).kind)]);
}

PyObject* node_attributes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const NodeObject* n = reinterpret_cast<NodeObject*>(self);
    const SyntaxTree& t = tree_of(n);
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    for (const SyntaxTree::Item& item : t.attributes(n->node)) {
      PyRef v(make_str(t.text(item)));
      if (!v || PyDict_SetItem(d.get(), key_names[item.key], v.get()) < 0) return nullptr;
    }
    return d.release();
  });
}

PyObject* node_value(PyObject* self, void*) {
  const NodeObject* n = reinterpret_cast<NodeObject*>(self);
  const SyntaxTree& t = tree_of(n);
  if (!(t.node(n->node).flags & SyntaxTree::has_value_flag)) Py_RETURN_NONE;
  return make_str(t.value(n->node));
}

template <std::uint32_t SyntaxTree::Node::*Field>
PyObject* node_number(PyObject* self, void*) {
  const NodeObject* n = reinterpret_cast<NodeObject*>(self);
  return PyLong_FromUnsignedLong(tree_of(n).node(n->node).*Field);
}

PyObject* position_tuple(std::uint32_t line, std::uint32_t col) {
  PyRef l(PyLong_FromUnsignedLong(line));
  PyRef c(PyLong_FromUnsignedLong(col));
  if (!l || !c) return nullptr;
  return PyTuple_Pack(2, l.get(), c.get());
}

PyObject* node_source_positions(PyObject* self, void*) {
  const NodeObject* n = reinterpret_cast<NodeObject*>(self);
  const SyntaxTree& t = tree_of(n);
  const SyntaxTree::Node& node = t.node(n->node);
  PyRef list(PyList_New(node.position_count));
  if (!list) return nullptr;
  const bool is_list = node.flags & SyntaxTree::position_list_flag;
  for (std::uint32_t k = 0; k < node.position_count; ++k) {
    PyObject* p = is_list ? position_tuple(t.position_list(node)[k].line, t.position_list(node)[k].col)
                          : position_tuple(node.position_a, node.position_b + k);
    if (p == nullptr) return nullptr;
    PyList_SetItem(list.get(), k, p);
  }
  return list.release();
}

PyObject* node_children(PyObject* self, void*) {
  NodeObject* n = reinterpret_cast<NodeObject*>(self);
  const SyntaxTree& t = tree_of(n);
  std::span<const std::uint32_t> kids = t.children(n->node);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(kids.size())));
  if (!list) return nullptr;
  std::uint64_t place = n->place + 1;
  for (std::size_t i = 0; i < kids.size(); ++i) {
    NodeObject* c = new_node(n->tree, n, kids[i], place);
    if (c == nullptr) return nullptr;
    place += t.places(kids[i]);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), reinterpret_cast<PyObject*>(c));
  }
  return list.release();
}

PyObject* node_parent(PyObject* self, void*) {
  NodeObject* n = reinterpret_cast<NodeObject*>(self);
  if (n->parent == nullptr) Py_RETURN_NONE;
  return new_ref(reinterpret_cast<PyObject*>(n->parent));
}

PyObject* extent_tuple(const SyntaxTree::Extent& e) {
  // Packed by hand: Py_BuildValue reads its format at every call.
  PyRef line(PyLong_FromUnsignedLong(e.line));
  PyRef col(PyLong_FromUnsignedLong(e.col));
  PyRef end_line(PyLong_FromUnsignedLong(e.end_line));
  PyRef end_col(PyLong_FromUnsignedLong(e.end_col));
  if (!line || !col || !end_line || !end_col) return nullptr;
  return PyTuple_Pack(4, line.get(), col.get(), end_line.get(), end_col.get());
}

PyObject* node_extent(PyObject* self, void*) {
  return guarded([&] {
    const NodeObject* n = reinterpret_cast<NodeObject*>(self);
    if (n->tree->extents != nullptr) return extent_tuple((*n->tree->extents)[n->node]);
    return extent_tuple(tree_of(n).extent(n->node));
  });
}

PyObject* node_tree(PyObject* self, void*) {
  return new_ref(reinterpret_cast<PyObject*>(reinterpret_cast<NodeObject*>(self)->tree));
}

// The attribute `key` of the node, or null without an exception set.
PyObject* attribute_of(const NodeObject* n, PyObject* key) {
  const SyntaxTree& t = tree_of(n);
  for (const SyntaxTree::Item& item : t.attributes(n->node)) {
    const int eq = PyObject_RichCompareBool(key_names[item.key], key, Py_EQ);
    if (eq < 0) {
      PyErr_Clear();
      return nullptr;
    }
    if (eq) return make_str(t.text(item));
  }
  return nullptr;
}

PyObject* node_getitem(PyObject* self, PyObject* key) {
  PyObject* v = attribute_of(reinterpret_cast<NodeObject*>(self), key);
  if (v == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return v;
}

int node_contains(PyObject* self, PyObject* key) {
  PyObject* v = attribute_of(reinterpret_cast<NodeObject*>(self), key);
  if (v == nullptr) return PyErr_Occurred() ? -1 : 0;
  Py_DECREF(v);
  return 1;
}

PyObject* node_get(PyObject* self, PyObject* args) {
  PyObject* key = nullptr;
  PyObject* fallback = Py_None;
  if (!PyArg_ParseTuple(args, "O|O:get", &key, &fallback)) return nullptr;
  PyObject* v = attribute_of(reinterpret_cast<NodeObject*>(self), key);
  if (v == nullptr && !PyErr_Occurred()) return new_ref(fallback);
  return v;
}

PyObject* node_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const NodeObject* n = reinterpret_cast<NodeObject*>(self);
    const SyntaxTree& t = tree_of(n);
    const SyntaxTree::Node& node = t.node(n->node);
    // Texts are cut after 40 bytes (at a character boundary) to keep it short.
    const auto quoted = [](std::string_view s) {
      std::string out = "'";
      if (s.size() > 40) {
        std::size_t cut = 40;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
        s = s.substr(0, cut);
        out.append(s).append("...");
      } else {
        out.append(s);
      }
      std::string escaped;
      for (char c : out) {
        if (c == '\n') escaped += "\\n";
        else if (c == '\r') escaped += "\\r";
        else if (c == '\t') escaped += "\\t";
        else escaped += c;
      }
      return escaped + "'";
    };
    std::string r = "<";
    r.append(tarnwick::node_kind_names[static_cast<std::size_t>(node.kind)]);
    for (const SyntaxTree::Item& item : t.attributes(n->node))
      r.append(" ").append(tarnwick::attribute_key_names[item.key]).append("=").append(
          quoted(t.text(item)));
    if (node.flags & SyntaxTree::has_value_flag) r.append(" value=").append(quoted(t.value(n->node)));
    r.append(" at ").append(std::to_string(node.line)).append(":").append(std::to_string(node.col));
    r.append(">");
    return make_str(r);
  });
}

Py_hash_t node_hash(PyObject* self) {
  const NodeObject* n = reinterpret_cast<NodeObject*>(self);
  std::uint64_t h = n->place * 0x9E3779B97F4A7C15u ^ reinterpret_cast<std::uintptr_t>(n->tree);
  h ^= h >> 29;
  auto v = static_cast<Py_hash_t>(h);
  return v == -1 ? -2 : v;
}

PyObject* node_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, node_type)) Py_RETURN_NOTIMPLEMENTED;
  const NodeObject* x = reinterpret_cast<NodeObject*>(a);
  const NodeObject* y = reinterpret_cast<NodeObject*>(b);
  const bool same = x->tree == y->tree && x->place == y->place;
  return PyBool_FromLong(op == Py_EQ ? same : !same);
}

PyObject* node_file(PyObject* self, void*) {
  const NodeObject* n = reinterpret_cast<NodeObject*>(self);
  return guarded([&] { return file_of(n->tree, tree_of(n).node_file(n->node)); });
}

PyGetSetDef node_getset[] = {
    {"kind", node_kind, nullptr, "The node kind as the tree text writes it, e.g. 'ntMethod'.", nullptr},
    {"attributes", node_attributes, nullptr,
     "The attributes, key to value, in the order the tree text writes them.", nullptr},
    {"value", node_value, nullptr, "The node's value, or None when it has none.", nullptr},
    {"line", node_number<&SyntaxTree::Node::line>, nullptr, "Line of the node's start.", nullptr},
    {"col", node_number<&SyntaxTree::Node::col>, nullptr, "Column of the node's start.", nullptr},
    {"end_line", node_number<&SyntaxTree::Node::end_line>, nullptr, "Line of the node's end.", nullptr},
    {"end_col", node_number<&SyntaxTree::Node::end_col>, nullptr,
     "Column just after the node's end.", nullptr},
    {"source_positions", node_source_positions, nullptr,
     "The node's source positions, as (line, col) pairs.", nullptr},
    {"children", node_children, nullptr, "The child nodes, in order.", nullptr},
    {"parent", node_parent, nullptr, "The parent node, or None for the root.", nullptr},
    {"extent", node_extent, nullptr,
     "(line, col, end_line, end_col): from the first to the last position held by the node and "
     "its descendants.",
     nullptr},
    {"tree", node_tree, nullptr, "The tree the node belongs to.", nullptr},
    {"span", node_span, nullptr,
     "(start, end): the node's extent as indices of tree.source, from its first token's first "
     "character to just after its last token's last. ValueError for a tree read from its text.",
     nullptr},
    {"text", node_text, nullptr, "The source of the node's span: tree.source[start:end].", nullptr},
    {"tokens", node_tokens, nullptr,
     "The tokens of the node's span, in order, comments and directives included, as Token "
     "named tuples.",
     nullptr},
    {"comments", node_comments, nullptr,
     "The comments that belong to the node: the block of comment lines right above it, and a "
     "comment after it on its last line.",
     nullptr},
    {"doc", node_doc, nullptr,
     "The text of the node's comments, one line each, without their comment marks; None when "
     "it has none.",
     nullptr},
    {"file", node_file, nullptr,
     "The file the node came from: the tree's file_name, or the path of the included file.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* node_ancestors(PyObject* self, PyObject*) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (NodeObject* p = reinterpret_cast<NodeObject*>(self)->parent; p != nullptr; p = p->parent)
    if (PyList_Append(list.get(), reinterpret_cast<PyObject*>(p)) < 0) return nullptr;
  return list.release();
}

PyMethodDef node_methods[] = {
    {"get", node_get, METH_VARARGS, "get($self, key, default=None, /)\n--\n\nThe attribute `key`, or `default`."},
    {"find_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_find_all)),
     METH_VARARGS | METH_KEYWORDS,
     "find_all($self, kind=None, /, **attributes)\n--\n\nThe nodes of the node's subtree (itself "
     "included) of that kind (any kind for None) whose attributes have the given values, in "
     "document order."},
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_find)),
     METH_VARARGS | METH_KEYWORDS,
     "find($self, kind=None, /, **attributes)\n--\n\nThe first node find_all would answer, or None."},
    {"ancestors", node_ancestors, METH_NOARGS,
     "ancestors($self)\n--\n\nThe node's ancestors, its parent first and the root last."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(node_getitem)},
    {Py_sq_contains, reinterpret_cast<void*>(node_contains)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(node_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
    {Py_tp_doc, const_cast<char*>(
                    "A node of a syntax tree at one place of it: a view made on access. Nodes "
                    "are equal when they are the same place of the same tree.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec node_spec = {"tarnwick_tree.Node", sizeof(NodeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         node_slots};

}  // namespace tarnwick::binding
