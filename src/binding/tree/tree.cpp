// Tree: a finished syntax tree that owns its memory, its text and its
// views.
#include "tree/objects.h"

#include <cstdint>
#include <memory>

#include "tree/writer.h"
#include "workspace.h"

namespace tarnwick::binding {

PyObject* new_tree(std::unique_ptr<SyntaxTree> tree, PyObject* source, PyObject* file_name) {
  TreeObject* o = PyObject_New(TreeObject, tree_type);
  if (o == nullptr) return nullptr;
  o->tree = tree.release();
  o->source = new_ref(source);
  o->file_name = new_ref(file_name);
  o->extents = nullptr;
  o->index = nullptr;
  return reinterpret_cast<PyObject*>(o);
}

namespace {

void tree_dealloc(PyObject* self) {
  TreeObject* t = reinterpret_cast<TreeObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete t->tree;
  delete t->extents;
  delete t->index;
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

PyObject* tree_skipped(PyObject* self, void*) {
  return guarded([&] {
    const SyntaxTree& t = *reinterpret_cast<TreeObject*>(self)->tree;
    return token_list(t.skipped(), t.texts());
  });
}

PyObject* tree_diagnostics(PyObject* self, void*) {
  return guarded([&] { return diagnostic_list(reinterpret_cast<TreeObject*>(self)); });
}

PyObject* tree_inactive(PyObject* self, void*) {
  return guarded([&] { return inactive_list(reinterpret_cast<TreeObject*>(self)); });
}

PyObject* tree_sizeof(PyObject* self, PyObject*) {
  const TreeObject* t = reinterpret_cast<TreeObject*>(self);
  std::size_t bytes = sizeof(TreeObject) + t->tree->bytes();
  if (t->extents != nullptr) bytes += t->extents->capacity() * sizeof(SyntaxTree::Extent);
  if (t->index != nullptr) bytes += t->index->bytes();
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
    {"diagnostics", tree_diagnostics, nullptr,
     "What the parse reported about its text, in the order it was met, as Diagnostic(message, "
     "file, line, col, end_line, end_col, tokens) named tuples. Empty for a tree read from its "
     "text.",
     nullptr},
    {"comments", tree_comments, nullptr,
     "Every comment of the source, in order, as Token named tuples (directives left out). "
     "ValueError for a tree read from its text.",
     nullptr},
    {"inactive", tree_inactive, nullptr,
     "The code conditional compilation left out, in the order it was met, as "
     "InactiveRange(file, line, col, end_line, end_col) named tuples. Empty for a tree parsed "
     "without preprocessing.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef tree_methods[] = {
    {"__sizeof__", tree_sizeof, METH_NOARGS,
     "__sizeof__($self)\n--\n\nThe memory the tree holds, in bytes (its source not included)."},
    {"to_serialized", tree_to_serialized, METH_NOARGS,
     "to_serialized($self)\n--\n\nThe tree text: what parse_to_serialized returns for the same text "
     "and file name."},
    {"serialized_size", tree_serialized_size, METH_NOARGS,
     "serialized_size($self)\n--\n\nThe length in UTF-8 bytes of the tree text, measured without "
     "writing it; MemoryError where to_serialized() would refuse the text."},
    {"find_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_find_all)),
     METH_VARARGS | METH_KEYWORDS,
     "find_all($self, kind=None, /, **attributes)\n--\n\nAll nodes of that kind (any kind for None) whose "
     "attributes have the given values, in document order."},
    {"find", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_find)),
     METH_VARARGS | METH_KEYWORDS,
     "find($self, kind=None, /, **attributes)\n--\n\nThe first node find_all would answer, or None."},
    {"node_at", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_node_at)),
     METH_VARARGS | METH_KEYWORDS,
     "node_at($self, line, col)\n--\n\nThe deepest node whose extent holds the position, or None."},
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

}  // namespace

PyType_Spec tree_spec = {"tarnwick_tree.Tree", sizeof(TreeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         tree_slots};

}  // namespace tarnwick::binding
