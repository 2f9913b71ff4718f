// tarnwick_tree._native: the module's functions and its creation.
#include "tree/objects.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "api.h"
#include "lexer/lexer.h"

namespace tarnwick::binding {

namespace {

bool make_names() {
  for (std::size_t k = 0; k < std::size(tarnwick::node_kind_names); ++k) {
    std::string name(tarnwick::node_kind_names[k]);
    if ((kind_names[k] = PyUnicode_InternFromString(name.c_str())) == nullptr) return false;
  }
  for (std::size_t k = 0; k < tarnwick::attribute_key_count; ++k) {
    std::string name(tarnwick::attribute_key_names[k]);
    if ((key_names[k] = PyUnicode_InternFromString(name.c_str())) == nullptr) return false;
  }
  return true;
}

// parse(text, file_name, ...) and, with `read_files`, parse_file's reading
// of the text it was given: include files are then read from the disk
// whenever the text is preprocessed.
PyObject* parse_with(PyObject* args, PyObject* kwargs, const char* format, bool read_files) {
  static const char* keywords[] = {"text", "file_name", "grammar", "target", "defines", "include_path",
                                   nullptr};
  PyObject* text = nullptr;
  PyObject* file_name = nullptr;
  const char* grammar_name = "complete";
  PyObject* target = nullptr;
  PyObject* defines = nullptr;
  PyObject* include_path = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &text,
                                   &file_name, &grammar_name, &target, &defines, &include_path))
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
  PreprocessorSettings settings;
  bool preprocess = false;
  if (!settings_of(target, defines, include_path, read_files, settings, preprocess)) return nullptr;
  std::string_view source, name;
  if (!utf8_of(text, source) || !utf8_of(file_name, name)) return nullptr;
  return guarded([&] {
    std::unique_ptr<SyntaxTree> tree;
    without_gil([&] { tree = tarnwick::parse_to_tree(source, name, grammar, preprocess ? &settings : nullptr); });
    return new_tree(std::move(tree), text, file_name);
  });
}

PyObject* parse_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return parse_with(args, kwargs, "U|U$sOOO:parse", false);
}

PyObject* parse_read_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return parse_with(args, kwargs, "UU$sOOO:parse_file", true);
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
     "parse(text, file_name='', *, grammar='complete', target=None, defines=(), "
     "include_path=None)\n--\n\nParse Delphi source into a Tree: with the complete grammar "
     "(docs/grammar.md), or with grammar='specified' the tree tarnwick.parse_to_serialized "
     "writes. With a target (its name or a Target), defines or an include path, the text is "
     "preprocessed first: only the code the conditionals keep is parsed, and {$I name} reads "
     "the file it names from file_name's folder, then from the include path (with "
     "include_path=None, no file is read)."},
    {"_parse_file_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_read_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "_parse_file_text(text, file_name, *, grammar='complete', target=None, defines=(), "
     "include_path=None)\n--\n\nparse() of the decoded text of the file file_name, which reads "
     "include files whenever it preprocesses."},
    {"targets", targets_fn, METH_NOARGS,
     "targets()\n--\n\nThe targets of conditional compilation, as a list of Target."},
    {"_decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "_decode(data, encoding=None)\n--\n\nThe core's decoder: (text, windows_1252), or None "
     "for an encoding it does not read and data without a byte-order mark."},
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
  if (!make_tuple_types()) return nullptr;
  if (!make_targets(module.get())) return nullptr;
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
  if (PyModule_AddObjectRef(module.get(), "Token", token_type) < 0 ||
      PyModule_AddObjectRef(module.get(), "Diagnostic", diagnostic_type) < 0 ||
      PyModule_AddObjectRef(module.get(), "InactiveRange", inactive_type) < 0)
    return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic_exception) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace tarnwick::binding

using tarnwick::binding::create_module;
using tarnwick::binding::first_interpreter;
using tarnwick::binding::module_object;
using tarnwick::binding::new_ref;

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