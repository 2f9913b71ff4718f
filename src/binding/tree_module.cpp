// The Python face of tarnwick_tree: syntax trees and tokens as Python
// objects over the core's finished trees. The only file of this module that
// talks to CPython; it uses the limited API of 3.10.
//
// A `Tree` owns a finished `SyntaxTree` (and the `str` its texts point
// into); a `Node` is a small view made on access: the tree, the node, its
// place (its number in document order, which tells apart the places of a
// subtree that stands under several parents) and the view of its parent.
// Parsing and writing the tree text release the GIL: the core then reads
// and writes only its own memory and the UTF-8 bytes of `str` objects this
// module holds references to.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api.h"
#include "errors.h"
#include "lexer/lexer.h"
#include "tree/syntax_tree.h"
#include "tree/writer.h"

namespace {

using tarnwick::SyntaxTree;

// Owns one strong reference; releases it on scope exit.
class PyRef {
 public:
  explicit PyRef(PyObject* p = nullptr) : p_(p) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

PyObject* panic_exception = nullptr;  // tarnwick.PanicException
PyObject* kind_names[std::size(tarnwick::node_kind_names)] = {};
PyObject* key_names[tarnwick::attribute_key_count] = {};
PyObject* token_kind_names[std::size(tarnwick::token_kind_names)] = {};
PyObject* token_type = nullptr;  // the named tuple Token
newfunc tuple_new = nullptr;      // tuple.__new__, which makes Token instances

void raise_panic(const char* message) {
  PyErr_SetString(panic_exception != nullptr ? panic_exception : PyExc_SystemError, message);
}

// Turns the C++ exception being handled into a Python exception.
void raise_current() noexcept {
  try {
    throw;
  } catch (const tarnwick::TextTooLarge& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const tarnwick::TreeTextError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const tarnwick::OutputTooLarge& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unexpected internal error");
  }
}

// Runs `body` and turns every C++ exception into a Python exception, so that
// nothing crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current();
  }
  return nullptr;
}

// Runs `work` without the GIL; a C++ exception it throws is rethrown once the
// GIL is held again.
template <class Work>
void without_gil(Work&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
}

PyObject* make_str(std::string_view text) {
  PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (s == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    raise_panic("could not create a string from the tree");
  }
  return s;
}

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// The UTF-8 bytes of a `str`, without a copy; they live as long as the object.
bool utf8_of(PyObject* s, std::string_view& out) {
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &len);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(len));
  return true;
}

// ---------------------------------------------------------------------------
// Objects.

struct TreeObject {
  PyObject_HEAD
  SyntaxTree* tree;
  PyObject* source;     // the parsed str, or None for a tree read from its text
  PyObject* file_name;  // str
  std::vector<SyntaxTree::Extent>* extents;  // made by the first node_at
};

struct NodeObject {
  PyObject_HEAD
  TreeObject* tree;
  NodeObject* parent;  // null for the root
  std::uint32_t node;
  std::uint64_t place;
};

// One frame of a walk: a node whose children are being visited.
struct WalkFrame {
  NodeObject* node;  // strong
  std::uint32_t at, end;  // the next child, and the end of the children
  std::uint64_t next_place;
};

struct WalkObject {
  PyObject_HEAD
  NodeObject* first;  // the node the walk starts at, until it is yielded
  std::vector<WalkFrame>* stack;
};

PyTypeObject* tree_type = nullptr;
PyTypeObject* node_type = nullptr;
PyTypeObject* walk_type = nullptr;

const SyntaxTree& tree_of(const NodeObject* n) { return *n->tree->tree; }

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
  return Py_BuildValue("(kkkk)", static_cast<unsigned long>(e.line),
                       static_cast<unsigned long>(e.col), static_cast<unsigned long>(e.end_line),
                       static_cast<unsigned long>(e.end_col));
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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef node_methods[] = {
    {"get", node_get, METH_VARARGS, "get(key, default=None)\n--\n\nThe attribute `key`, or `default`."},
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

PyType_Spec node_spec = {"tarnwick_tree.Node", sizeof(NodeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         node_slots};

// ---- Walk ---------------------------------------------------------------------

// A pre-order walk from `start`: the node itself, then its descendants in
// document order.
PyObject* new_walk(NodeObject* start) {
  WalkObject* w = PyObject_New(WalkObject, walk_type);
  if (w == nullptr) return nullptr;
  w->stack = nullptr;
  Py_INCREF(start);
  w->first = start;
  w->stack = new (std::nothrow) std::vector<WalkFrame>();
  if (w->stack == nullptr) {
    Py_DECREF(w);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(w);
}

void walk_dealloc(PyObject* self) {
  WalkObject* w = reinterpret_cast<WalkObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(w->first);
  if (w->stack != nullptr) {
    // The deepest first: each frame's node is the parent of the next one's.
    for (auto it = w->stack->rbegin(); it != w->stack->rend(); ++it) Py_DECREF(it->node);
    delete w->stack;
  }
  PyObject_Free(self);
  Py_DECREF(type);
}

// Opens a frame for `n` when it has children.
bool push_frame(std::vector<WalkFrame>& stack, NodeObject* n) {
  const SyntaxTree& t = tree_of(n);
  std::span<const std::uint32_t> kids = t.children(n->node);
  if (kids.empty()) return true;
  const std::uint32_t at = t.node(n->node).first_child;
  Py_INCREF(n);
  try {
    stack.push_back(WalkFrame{n, at, at + static_cast<std::uint32_t>(kids.size()), n->place + 1});
  } catch (const std::bad_alloc&) {
    Py_DECREF(n);
    PyErr_NoMemory();
    return false;
  }
  return true;
}

PyObject* walk_next(PyObject* self) {
  WalkObject* w = reinterpret_cast<WalkObject*>(self);
  std::vector<WalkFrame>& stack = *w->stack;
  if (w->first != nullptr) {
    NodeObject* first = std::exchange(w->first, nullptr);
    if (!push_frame(stack, first)) {
      Py_DECREF(first);
      return nullptr;
    }
    return reinterpret_cast<PyObject*>(first);
  }
  while (!stack.empty()) {
    WalkFrame& f = stack.back();
    if (f.at == f.end) {
      NodeObject* done = f.node;
      stack.pop_back();
      Py_DECREF(done);
      continue;
    }
    const SyntaxTree& t = tree_of(f.node);
    const std::uint32_t child = t.child_id(f.at++);
    NodeObject* c = new_node(f.node->tree, f.node, child, f.next_place);
    if (c == nullptr) return nullptr;
    f.next_place += t.places(child);
    if (!push_frame(stack, c)) {
      Py_DECREF(c);
      return nullptr;
    }
    return reinterpret_cast<PyObject*>(c);
  }
  return nullptr;  // the end, without an exception
}

PyType_Slot walk_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(walk_next)},
    {0, nullptr},
};

PyType_Spec walk_spec = {"tarnwick_tree._Walk", sizeof(WalkObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         walk_slots};

// ---- Tree ---------------------------------------------------------------------

PyObject* new_tree(std::unique_ptr<SyntaxTree> tree, PyObject* source, PyObject* file_name) {
  TreeObject* o = PyObject_New(TreeObject, tree_type);
  if (o == nullptr) return nullptr;
  o->tree = tree.release();
  o->source = new_ref(source);
  o->file_name = new_ref(file_name);
  o->extents = nullptr;
  return reinterpret_cast<PyObject*>(o);
}

void tree_dealloc(PyObject* self) {
  TreeObject* t = reinterpret_cast<TreeObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete t->tree;
  delete t->extents;
  Py_DECREF(t->source);
  Py_DECREF(t->file_name);
  PyObject_Free(self);
  Py_DECREF(type);
}

NodeObject* root_of(PyObject* self) {
  return new_node(reinterpret_cast<TreeObject*>(self), nullptr, 0, 0);
}

PyObject* tree_root(PyObject* self, void*) { return reinterpret_cast<PyObject*>(root_of(self)); }

PyObject* tree_file_name(PyObject* self, void*) {
  return new_ref(reinterpret_cast<TreeObject*>(self)->file_name);
}

PyObject* tree_source(PyObject* self, void*) {
  return new_ref(reinterpret_cast<TreeObject*>(self)->source);
}

PyObject* tree_iter(PyObject* self) {
  PyRef root(reinterpret_cast<PyObject*>(root_of(self)));
  if (!root) return nullptr;
  return new_walk(reinterpret_cast<NodeObject*>(root.get()));
}

Py_ssize_t tree_len(PyObject* self) {
  return static_cast<Py_ssize_t>(reinterpret_cast<TreeObject*>(self)->tree->place_count());
}

PyObject* tree_to_serialized(PyObject* self, PyObject*) {
  return guarded([&] {
    const SyntaxTree& t = *reinterpret_cast<TreeObject*>(self)->tree;
    tarnwick::WorkspaceLease lease;
    tarnwick::OutputBuffer& out = lease.get().out;
    without_gil([&] { tarnwick::serialize_tree(t, out); });
    return make_str(out.view());
  });
}

PyObject* tree_serialized_size(PyObject* self, PyObject*) {
  return guarded([&] {
    const SyntaxTree& t = *reinterpret_cast<TreeObject*>(self)->tree;
    const std::uint64_t size = tarnwick::measure_tree_text(t);
    if (size > t.output_limit()) throw tarnwick::OutputTooLarge();
    return PyLong_FromUnsignedLongLong(size);
  });
}

PyObject* tree_repr(PyObject* self) {
  TreeObject* t = reinterpret_cast<TreeObject*>(self);
  return PyUnicode_FromFormat("<Tree %R: %llu nodes>", t->file_name,
                              static_cast<unsigned long long>(t->tree->place_count()));
}

// A depth-first search over the places of a tree, that makes Python nodes
// only for the places it answers and their ancestors.
class Search {
 public:
  explicit Search(TreeObject* tree) : tree_(tree), t_(*tree->tree) {}
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;
  ~Search() {
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) Py_XDECREF(it->object);
  }

  struct Step {
    std::uint32_t node;
    std::uint64_t place;
    std::uint32_t at, end;  // the next child, and the end of the children
    std::uint64_t next_place;
    NodeObject* object;  // made when needed
  };

  // Visits every place in document order; `visit(path)` answers whether to
  // go below the last place of the path, and may stop the search by
  // setting `stop`.
  template <class Visit>
  void run(Visit&& visit) {
    enter(0, 0);
    if (!visit(path_)) leave();
    while (!path_.empty() && !stop) {
      Step& s = path_.back();
      if (s.at == s.end) {
        leave();
        continue;
      }
      const std::uint32_t child = t_.child_id(s.at++);
      const std::uint64_t place = s.next_place;
      s.next_place += t_.places(child);
      enter(child, place);
      if (!visit(path_)) leave();
    }
  }

  // The Python node of the last place of `path`, with its ancestors.
  static NodeObject* materialize(TreeObject* tree, std::vector<Step>& path) {
    NodeObject* parent = nullptr;
    for (Step& s : path) {
      if (s.object == nullptr) {
        s.object = new_node(tree, parent, s.node, s.place);
        if (s.object == nullptr) return nullptr;
      }
      parent = s.object;
    }
    Py_XINCREF(parent);
    return parent;
  }
  NodeObject* materialize() { return materialize(tree_, path_); }

  bool stop = false;

 private:
  void enter(std::uint32_t node, std::uint64_t place) {
    const std::uint32_t at = t_.node(node).first_child;
    const auto end = at + static_cast<std::uint32_t>(t_.children(node).size());
    path_.push_back(Step{node, place, at, end, place + 1, nullptr});
  }
  void leave() {
    Py_XDECREF(path_.back().object);
    path_.pop_back();
  }

  TreeObject* tree_;
  const SyntaxTree& t_;
  std::vector<Step> path_;
};

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
// (any kind for None) whose attributes hold those values.
PyObject* tree_search(PyObject* self, PyObject* args, PyObject* kwargs, bool first_only) {
  TreeObject* tree = reinterpret_cast<TreeObject*>(self);
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
    PyObject* first = nullptr;
    bool failed = false;
    Search search(tree);
    search.run([&](std::vector<Search::Step>& path) {
      const std::uint32_t n = path.back().node;
      bool match = kind < 0 || static_cast<int>(t.node(n).kind) == kind;
      for (std::size_t i = 0; match && i < wanted.size(); ++i) {
        bool has = false;
        for (const SyntaxTree::Item& item : t.attributes(n))
          if (item.key == wanted[i].first) has = t.text(item) == wanted[i].second;
        match = has;
      }
      if (!match) return true;
      NodeObject* node = Search::materialize(tree, path);
      if (node == nullptr) {
        failed = search.stop = true;
        return false;
      }
      if (first_only) {
        first = reinterpret_cast<PyObject*>(node);
        search.stop = true;
        return false;
      }
      const int rc = PyList_Append(found.get(), reinterpret_cast<PyObject*>(node));
      Py_DECREF(node);
      if (rc < 0) failed = search.stop = true;
      return true;
    });
    if (failed) {
      Py_XDECREF(first);
      return nullptr;
    }
    if (first_only) return first != nullptr ? first : new_ref(Py_None);
    return found.release();
  });
}

PyObject* tree_find_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_search(self, args, kwargs, false);
}

PyObject* tree_find(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_search(self, args, kwargs, true);
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

PyObject* tree_node_at(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"line", "col", nullptr};
  unsigned long line = 0, col = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "kk:node_at", const_cast<char**>(keywords), &line,
                                   &col))
    return nullptr;
  TreeObject* tree = reinterpret_cast<TreeObject*>(self);
  return guarded([&]() -> PyObject* {
    if (tree->extents == nullptr)
      tree->extents = new std::vector<SyntaxTree::Extent>(tree->tree->all_extents());
    const std::vector<SyntaxTree::Extent>& extents = *tree->extents;
    if (line > 0xFFFFFFFFul || col > 0xFFFFFFFFul) return new_ref(Py_None);
    const auto l = static_cast<std::uint32_t>(line);
    const auto c = static_cast<std::uint32_t>(col);
    // The deepest place whose extent holds the position; the first in
    // document order among equally deep ones.
    // Extents hold their descendants', so only places that hold the
    // position are searched below.
    std::size_t best_depth = 0;
    std::uint64_t best_place = 0;
    Search search(tree);
    search.run([&](std::vector<Search::Step>& path) {
      if (!holds(extents[path.back().node], l, c)) return false;
      if (path.size() > best_depth) {
        best_depth = path.size();
        best_place = path.back().place;
      }
      return true;
    });
    if (best_depth == 0) return new_ref(Py_None);
    // The path down to that place: at each level the child whose places
    // hold its number.
    const SyntaxTree& t = *tree->tree;
    std::vector<Search::Step> path{{0, 0, 0, 0, 0, nullptr}};
    while (path.back().place != best_place) {
      const Search::Step& s = path.back();
      std::uint64_t place = s.place + 1;
      bool found = false;
      for (std::uint32_t child : t.children(s.node)) {
        if (best_place < place + t.places(child)) {
          path.push_back(Search::Step{child, place, 0, 0, 0, nullptr});
          found = true;
          break;
        }
        place += t.places(child);
      }
      if (!found) throw tarnwick::InternalError("a place names no node of the tree");
    }
    // The path's references are dropped; the answer keeps its own.
    NodeObject* answer = Search::materialize(tree, path);
    for (auto it = path.rbegin(); it != path.rend(); ++it) Py_XDECREF(it->object);
    return reinterpret_cast<PyObject*>(answer);
  });
}

// A Token named tuple.
PyObject* make_token(const tarnwick::Token& t, std::string_view source, PyObject* pack) {
  PyRef value(make_str(t.text(source)));
  PyRef line(PyLong_FromUnsignedLong(t.line));
  PyRef col(PyLong_FromUnsignedLong(t.column));
  if (!value || !line || !col) return nullptr;
  PyObject* fields = PyTuple_Pack(4, token_kind_names[static_cast<std::size_t>(t.kind)],
                                  value.get(), line.get(), col.get());
  if (fields == nullptr) return nullptr;
  PyTuple_SetItem(pack, 0, fields);  // takes the reference, drops the one before
  return tuple_new(reinterpret_cast<PyTypeObject*>(token_type), pack, nullptr);
}

// Tokens as a list of Token named tuples.
PyObject* token_list(std::span<const tarnwick::Token> tokens, std::string_view source) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
  PyRef pack(PyTuple_New(1));  // the argument tuple of tuple.__new__, reused
  if (!list || !pack) return nullptr;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    PyObject* token = make_token(tokens[i], source, pack.get());
    if (token == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), token);
  }
  return list.release();
}

PyObject* tree_skipped(PyObject* self, void*) {
  return guarded([&] {
    const SyntaxTree& t = *reinterpret_cast<TreeObject*>(self)->tree;
    return token_list(t.skipped(), t.source());
  });
}

PyObject* tree_sizeof(PyObject* self, PyObject*) {
  const TreeObject* t = reinterpret_cast<TreeObject*>(self);
  std::size_t bytes = sizeof(TreeObject) + t->tree->bytes();
  if (t->extents != nullptr) bytes += t->extents->capacity() * sizeof(SyntaxTree::Extent);
  return PyLong_FromSize_t(bytes);
}

PyGetSetDef tree_getset[] = {
    {"root", tree_root, nullptr, "The root node (ntUnit).", nullptr},
    {"file_name", tree_file_name, nullptr, "The file name the tree was made with.", nullptr},
    {"source", tree_source, nullptr, "The parsed text, or None for a tree read from its text.",
     nullptr},
    {"skipped", tree_skipped, nullptr,
     "The tokens the grammar stepped over without reading them, as Token named tuples: a sign "
     "of syntax it does not cover. Empty for a tree read from its text.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef tree_methods[] = {
    {"__sizeof__", tree_sizeof, METH_NOARGS,
     "__sizeof__()\n--\n\nThe memory the tree holds, in bytes (its source not included)."},
    {"to_serialized", tree_to_serialized, METH_NOARGS,
     "to_serialized()\n--\n\nThe tree text: what parse_to_serialized returns for the same text "
     "and file name."},
    {"serialized_size", tree_serialized_size, METH_NOARGS,
     "serialized_size()\n--\n\nThe length in UTF-8 bytes of the tree text, measured without "
     "writing it; MemoryError where to_serialized() would refuse the text."},
    {"find_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_find_all)),
     METH_VARARGS | METH_KEYWORDS,
     "find_all(kind=None, /, **attributes)\n--\n\nAll nodes of that kind (any kind for None) whose "
     "attributes have the given values, in document order."},
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_find)),
     METH_VARARGS | METH_KEYWORDS,
     "find(kind=None, /, **attributes)\n--\n\nThe first node find_all would answer, or None."},
    {"node_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_node_at)),
     METH_VARARGS | METH_KEYWORDS,
     "node_at(line, col)\n--\n\nThe deepest node whose extent holds the position, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_getset, tree_getset},
    {Py_tp_methods, tree_methods},
    {Py_tp_iter, reinterpret_cast<void*>(tree_iter)},
    {Py_sq_length, reinterpret_cast<void*>(tree_len)},
    {Py_mp_length, reinterpret_cast<void*>(tree_len)},
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_tp_doc, const_cast<char*>(
                    "A syntax tree: immutable, safe to share between threads. len() is its "
                    "number of nodes, iteration walks them all in document order.")},
    {0, nullptr},
};

PyType_Spec tree_spec = {"tarnwick_tree.Tree", sizeof(TreeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         tree_slots};

// ---- Module functions ------------------------------------------------------------

PyObject* parse_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"text", "file_name", "grammar", nullptr};
  PyObject* text = nullptr;
  PyObject* file_name = nullptr;
  const char* grammar_name = "specified";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|U$s:parse", const_cast<char**>(keywords),
                                   &text, &file_name, &grammar_name))
    return nullptr;
  tarnwick::Grammar grammar;
  if (std::string_view(grammar_name) == "complete") {
    grammar = tarnwick::Grammar::Complete;
  } else if (std::string_view(grammar_name) == "specified") {
    grammar = tarnwick::Grammar::Specified;
  } else {
    PyErr_Format(PyExc_ValueError, "grammar must be 'complete' or 'specified', not '%s'",
                 grammar_name);
    return nullptr;
  }
  PyRef empty(file_name == nullptr ? PyUnicode_FromStringAndSize("", 0) : nullptr);
  if (file_name == nullptr) {
    if (!empty) return nullptr;
    file_name = empty.get();
  }
  std::string_view source, name;
  if (!utf8_of(text, source) || !utf8_of(file_name, name)) return nullptr;
  return guarded([&] {
    std::unique_ptr<SyntaxTree> tree;
    without_gil([&] { tree = tarnwick::parse_to_tree(source, name, grammar); });
    return new_tree(std::move(tree), text, file_name);
  });
}

PyObject* read_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"serialized", nullptr};
  PyObject* text = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:read", const_cast<char**>(keywords), &text))
    return nullptr;
  std::string_view serialized;
  if (!utf8_of(text, serialized)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::unique_ptr<SyntaxTree> tree;
    without_gil([&] { tree = SyntaxTree::from_text(serialized); });
    PyRef name(make_str(tree->file_name()));
    if (!name) return nullptr;
    return new_tree(std::move(tree), Py_None, name.get());
  });
}

PyObject* walk_fn(PyObject*, PyObject* arg) {
  if (!PyObject_TypeCheck(arg, node_type)) {
    PyErr_SetString(PyExc_TypeError, "walk() takes a tarnwick_tree.Node");
    return nullptr;
  }
  return new_walk(reinterpret_cast<NodeObject*>(arg));
}

PyObject* tokens_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"text", nullptr};
  PyObject* text = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:tokens", const_cast<char**>(keywords), &text))
    return nullptr;
  std::string_view source;
  if (!utf8_of(text, source)) return nullptr;
  return guarded([&] { return token_list(tarnwick::tokenize(source), source); });
}

PyMethodDef function_table[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "parse(text, file_name='')\n--\n\nParse Delphi source into a Tree."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "read(serialized)\n--\n\nThe Tree a tree text describes (as parse_to_serialized writes "
     "it)."},
    {"walk", walk_fn, METH_O,
     "walk(node, /)\n--\n\nThe node and all its descendants, in document order."},
    {"tokens", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokens_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "tokens(text)\n--\n\nThe token list of the text, as Token(kind, value, line, col)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarnwick_tree._native",
    "Syntax trees and tokens of tarnwick as Python objects.", 0, function_table,
    nullptr, nullptr, nullptr, nullptr,
};

std::int64_t first_interpreter = -1;
PyObject* module_object = nullptr;

bool make_names() {
  for (std::size_t k = 0; k < std::size(tarnwick::node_kind_names); ++k) {
    std::string name(tarnwick::node_kind_names[k]);
    if ((kind_names[k] = PyUnicode_InternFromString(name.c_str())) == nullptr) return false;
  }
  for (std::size_t k = 0; k < tarnwick::attribute_key_count; ++k) {
    std::string name(tarnwick::attribute_key_names[k]);
    if ((key_names[k] = PyUnicode_InternFromString(name.c_str())) == nullptr) return false;
  }
  for (std::size_t k = 0; k < std::size(tarnwick::token_kind_names); ++k) {
    std::string name(tarnwick::token_kind_names[k]);
    if ((token_kind_names[k] = PyUnicode_InternFromString(name.c_str())) == nullptr) return false;
  }
  return true;
}

PyObject* create_module() {
  PyRef module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return nullptr;
  if (panic_exception == nullptr) {
    // tarnwick's own PanicException, so that one `except` catches both.
    PyRef core(PyImport_ImportModule("tarnwick"));
    if (!core) return nullptr;
    panic_exception = PyObject_GetAttrString(core.get(), "PanicException");
    if (panic_exception == nullptr) return nullptr;
  }
  if (kind_names[0] == nullptr && !make_names()) return nullptr;
  if (tuple_new == nullptr)
    tuple_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyTuple_Type, Py_tp_new));
  if (token_type == nullptr) {
    PyRef collections(PyImport_ImportModule("collections"));
    if (!collections) return nullptr;
    token_type = PyObject_CallMethod(collections.get(), "namedtuple", "s(ssss)", "Token", "kind",
                                     "value", "line", "col");
    if (token_type == nullptr) return nullptr;
    PyRef module_name(PyUnicode_FromString("tarnwick_tree"));
    PyRef doc(PyUnicode_FromString(
        "A token: its kind as the token list writes it, its text as written (an escaped "
        "identifier without its '&'), its line and column."));
    if (!module_name || !doc ||
        PyObject_SetAttrString(token_type, "__module__", module_name.get()) < 0 ||
        PyObject_SetAttrString(token_type, "__doc__", doc.get()) < 0)
      return nullptr;
  }
  struct {
    PyTypeObject** type;
    PyType_Spec* spec;
    const char* name;
  } types[] = {{&tree_type, &tree_spec, "Tree"},
               {&node_type, &node_spec, "Node"},
               {&walk_type, &walk_spec, nullptr}};
  for (auto& t : types) {
    if (*t.type == nullptr) {
      *t.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(t.spec));
      if (*t.type == nullptr) return nullptr;
    }
    if (t.name != nullptr && PyModule_AddObjectRef(module.get(), t.name,
                                                   reinterpret_cast<PyObject*>(*t.type)) < 0)
      return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "Token", token_type) < 0) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception) < 0) return nullptr;
  return module.release();
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit__native(void) {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (first_interpreter >= 0 && first_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tarnwick_tree does not support sub-interpreters: it can be imported only in "
                    "the interpreter that first imported it");
    return nullptr;
  }
  if (module_object != nullptr) return new_ref(module_object);
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  first_interpreter = id;
  module_object = new_ref(module);
  return module;
}
