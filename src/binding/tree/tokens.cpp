// The named tuples of tarnwick_tree: Token (the token list as objects),
// Diagnostic (what a parse reported) and InactiveRange (code left out).
#include "tree/objects.h"

#include <cstdint>
#include <string>

namespace tarnwick::binding {
namespace {

PyObject* token_kind_names[std::size(tarnwick::token_kind_names)] = {};
newfunc tuple_new = nullptr;  // tuple.__new__, which makes the named tuples' instances

// An instance of the named tuple `type` with `fields` (a tuple, whose
// reference it takes); `pack` is the argument tuple of tuple.__new__, reused.
PyObject* named_tuple(PyObject* type, PyObject* fields, PyObject* pack) {
  if (fields == nullptr) return nullptr;
  PyTuple_SetItem(pack, 0, fields);  // takes the reference, drops the one before
  return tuple_new(reinterpret_cast<PyTypeObject*>(type), pack, nullptr);
}

// The value of a token: its text, but a `//` comment without the '\r's at
// its end, that of a CRLF line break among them (the lexer ends the comment
// at the line feed).
std::string_view value_of(const Token& t, std::string_view source) {
  std::string_view text = t.text(source);
  if (t.kind == TokenKind::Comment && text.starts_with("//"))
    while (text.ends_with('\r')) text.remove_suffix(1);
  return text;
}

PyObject* make_token(const Token& t, std::string_view source, PyObject* pack) {
  PyRef value(make_str(value_of(t, source)));
  PyRef line(PyLong_FromUnsignedLong(t.line));
  PyRef col(PyLong_FromUnsignedLong(t.column));
  if (!value || !line || !col) return nullptr;
  return named_tuple(token_type,
                     PyTuple_Pack(4, token_kind_names[static_cast<std::size_t>(t.kind)],
                                  value.get(), line.get(), col.get()),
                     pack);
}

PyObject* make_diagnostic(const TreeObject* tree, const Diagnostic& d, PyObject* pack) {
  PyRef message(make_str(d.message()));
  if (!message) return nullptr;
  PyRef file(file_of(tree, d.file));
  if (!file) return nullptr;
  return named_tuple(diagnostic_type,
                     Py_BuildValue("(OOkkkkk)", message.get(), file.get(),
                                   static_cast<unsigned long>(d.line),
                                   static_cast<unsigned long>(d.col),
                                   static_cast<unsigned long>(d.end_line),
                                   static_cast<unsigned long>(d.end_col),
                                   static_cast<unsigned long>(d.tokens)),
                     pack);
}

PyObject* make_inactive(const TreeObject* tree, const InactiveRange& r, PyObject* pack) {
  PyRef file(file_of(tree, r.file));
  if (!file) return nullptr;
  return named_tuple(inactive_type,
                     Py_BuildValue("(Okkkk)", file.get(), static_cast<unsigned long>(r.line),
                                   static_cast<unsigned long>(r.col), static_cast<unsigned long>(r.end_line),
                                   static_cast<unsigned long>(r.end_col)),
                     pack);
}

// A list of `items`, each made by `make(item, pack)`.
template <class Item, class Make>
PyObject* list_of(std::span<const Item> items, Make&& make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  PyRef pack(PyTuple_New(1));
  if (!list || !pack) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* o = make(items[i], pack.get());
    if (o == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), o);
  }
  return list.release();
}

// A named tuple type of tarnwick_tree made by collections.namedtuple;
// `fields` are its field names, separated by spaces.
PyObject* named_tuple_type(PyObject* collections, const char* name, const char* fields,
                           const char* doc) {
  PyRef type(PyObject_CallMethod(collections, "namedtuple", "ss", name, fields));
  PyRef module_name(PyUnicode_FromString("tarnwick_tree"));
  PyRef doc_text(PyUnicode_FromString(doc));
  if (!type || !module_name || !doc_text ||
      PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0 ||
      PyObject_SetAttrString(type.get(), "__doc__", doc_text.get()) < 0)
    return nullptr;
  return type.release();
}

}  // namespace

// The name of the file of index `index`: the tree's own for 0, the n-th
// file the parse included for n.
PyObject* file_of(const TreeObject* tree, std::uint32_t index) {
  if (index == 0) return new_ref(tree->file_name);
  const auto included = tree->tree->included_files();
  if (index > included.size()) throw InternalError("a file index names no file of the tree");
  return make_str(included[index - 1]);
}

PyObject* inactive_list(const TreeObject* tree) {
  return list_of(tree->tree->inactive(), [&](const InactiveRange& r, PyObject* pack) {
    return make_inactive(tree, r, pack);
  });
}

PyObject* token_list(std::span<const Token> tokens, std::string_view source) {
  return list_of(tokens, [&](const Token& t, PyObject* pack) { return make_token(t, source, pack); });
}

PyObject* diagnostic_list(const TreeObject* tree) {
  return list_of(tree->tree->diagnostics(), [&](const Diagnostic& d, PyObject* pack) {
    return make_diagnostic(tree, d, pack);
  });
}

bool make_tuple_types() {
  if (token_type != nullptr) return true;
  for (std::size_t k = 0; k < std::size(tarnwick::token_kind_names); ++k) {
    std::string name(tarnwick::token_kind_names[k]);
    if ((token_kind_names[k] = PyUnicode_InternFromString(name.c_str())) == nullptr) return false;
  }
  tuple_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyTuple_Type, Py_tp_new));
  PyRef collections(PyImport_ImportModule("collections"));
  if (!collections) return false;
  diagnostic_type = named_tuple_type(
      collections.get(), "Diagnostic", "message file line col end_line end_col tokens",
      "What a parse reported about its text: the message, the file it concerns, the span from "
      "its first character to just after its last, and the tokens the grammar passed over "
      "there (0 for a word it missed).");
  if (diagnostic_type == nullptr) return false;
  inactive_type = named_tuple_type(
      collections.get(), "InactiveRange", "file line col end_line end_col",
      "Code that conditional compilation left out: the file it is in, and the span from the "
      "first character of its first token to just after its last.");
  if (inactive_type == nullptr) return false;
  token_type = named_tuple_type(
      collections.get(), "Token", "kind value line col",
      "A token: its kind as the token list writes it, its text as written (an escaped "
      "identifier without its '&'), its line and column.");
  return token_type != nullptr;
}

}  // namespace tarnwick::binding
