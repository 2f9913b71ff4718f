// The Python face of tarnwick: module initialisation, argument binding and the
// conversion of results (faults are mapped as common/python.h maps them). It
// holds the GIL throughout every call.
#include "common/python.h"  // Python.h first, as CPython asks

#include <cstdint>
#include <string>
#include <string_view>

#include "api.h"
#include "lexer/lexer.h"

namespace {

using tarnwick::binding::guarded;
using tarnwick::binding::panic_exception;
using tarnwick::binding::PyRef;

PyObject* make_str(std::string_view text) {
  return tarnwick::binding::str_of(text, "could not create the result string");
}

// ---------------------------------------------------------------------------
// Argument binding shared by the two text functions: two required parameters,
// positional or keyword, both `str`.

struct Signature {
  const char* function;  // e.g. "lex_to_serialized"
  const char* params[2];
};

void type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

std::string fn_prefix(const Signature& sig) { return std::string(sig.function) + "()"; }

// Fills `values` from the call's positional tuple and keyword dictionary.
// Returns false with a TypeError set when the call does not fit.
bool fill_params(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject* values[2]) {
  values[0] = values[1] = nullptr;
  Py_ssize_t npos = args ? PyTuple_Size(args) : 0;
  if (npos < 0) return false;
  if (npos > 2) {
    type_error(fn_prefix(sig) + " takes 2 positional arguments but " + std::to_string(npos) +
               " were given");
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) {
    values[i] = PyTuple_GetItem(args, i);  // borrowed
    if (values[i] == nullptr) return false;
  }
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t len = 0;
      const char* name = nullptr;
      if (PyType_GetFlags(Py_TYPE(key)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
        name = PyUnicode_AsUTF8AndSize(key, &len);
        if (name == nullptr) PyErr_Clear();
      }
      int slot = -1;
      if (name != nullptr) {
        std::string_view k(name, static_cast<std::size_t>(len));
        for (int i = 0; i < 2; ++i)
          if (k == sig.params[i]) slot = i;
      }
      if (slot < 0) {
        // Named as Python names it: a str key (a subclass included) by its
        // own characters, which need not be encodable (a lone surrogate),
        // any other key by str().
        const bool is_str = PyType_GetFlags(Py_TYPE(key)) & Py_TPFLAGS_UNICODE_SUBCLASS;
        PyErr_Format(PyExc_TypeError,
                     is_str ? "%s() got an unexpected keyword argument '%U'"
                            : "%s() got an unexpected keyword argument '%S'",
                     sig.function, key);
        return false;
      }
      if (values[slot] != nullptr) {
        type_error(fn_prefix(sig) + " got multiple values for argument '" + sig.params[slot] + "'");
        return false;
      }
      values[slot] = value;
    }
  }
  if (values[0] == nullptr && values[1] == nullptr) {
    type_error(fn_prefix(sig) + " missing 2 required positional arguments: '" + sig.params[0] +
               "' and '" + sig.params[1] + "'");
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    if (values[i] == nullptr) {
      type_error(fn_prefix(sig) + " missing 1 required positional argument: '" + sig.params[i] +
                 "'");
      return false;
    }
  }
  return true;
}

// The UTF-8 text of a `str` argument, without a copy. The view lives as long
// as the argument object, which the caller's tuple or dictionary keeps alive
// for the whole call.
bool utf8_argument(const char* param, PyObject* obj, std::string_view& out) {
  if (!(PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
    std::string type_name = "?";
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name) {
      Py_ssize_t len = 0;
      const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len);
      if (s != nullptr) type_name.assign(s, static_cast<std::size_t>(len));
    }
    PyErr_Clear();
    type_error(std::string("argument '") + param + "': '" + type_name +
               "' object cannot be converted to 'PyString'");
    return false;
  }
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &len);  // UnicodeEncodeError passes through
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(len));
  return true;
}

bool bind_text_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                         std::string_view texts[2]) {
  PyObject* values[2];
  if (!fill_params(sig, args, kwargs, values)) return false;
  for (int i = 0; i < 2; ++i)
    if (!utf8_argument(sig.params[i], values[i], texts[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Module functions.

PyObject* version_fn(PyObject*, PyObject*) {
  return guarded([] { return make_str(tarnwick::version); });
}

constexpr Signature lex_signature{"lex_to_serialized", {"text", "_file_name"}};
constexpr Signature parse_signature{"parse_to_serialized", {"text", "file_name"}};

PyObject* lex_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  std::string_view texts[2];
  if (!bind_text_arguments(lex_signature, args, kwargs, texts)) return nullptr;
  return guarded([&] { return tarnwick::with_token_list(texts[0], make_str); });
}

PyObject* parse_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  std::string_view texts[2];
  if (!bind_text_arguments(parse_signature, args, kwargs, texts)) return nullptr;
  // The parser's stores are trimmed before the result string is made, so a
  // large call never holds both at the same time.
  return guarded([&] { return tarnwick::with_tree_text(texts[0], texts[1], make_str); });
}

// The functions in the order the module body adds them.
PyMethodDef function_table[] = {
    {"version", version_fn, METH_NOARGS, "version()\n--\n\nVersion of the native package."},
    {"lex_to_serialized", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lex_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "lex_to_serialized(text, _file_name)\n--\n\nLex Delphi source and return serialized "
     "tokens.\n\nFormat: one line per token: `KIND VALUE LINE:COL`\nValues are escaped so each "
     "line is one token."},
    {"parse_to_serialized", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_fn)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_to_serialized(text, file_name)\n--\n\nParse Delphi source and return a serialized "
     "AST string.\n\nFormat: one line per node, matching Python's ast_serialize.py:\n  "
     "`# file_name=...`\n  `  TYPE line=N col=M end_line=N end_col=M [attr=val ...]`\nChildren "
     "are indented one level deeper."},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",
    "Register the Python extension module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::int64_t first_interpreter = -1;  // id of the interpreter that created the module
PyObject* module_object = nullptr;    // the module, created once per process

// Adds one function: create it bound to the module, read its `__name__`,
// append the name to `__all__` and set the attribute.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyRef fn(PyCMethod_New(def, module, module_name, nullptr));
  if (!fn) return false;
  PyRef name(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!name) return false;
  PyRef all_name(PyUnicode_InternFromString("__all__"));
  if (!all_name) return false;
  PyRef all(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;
  return PyObject_SetAttr(module, name.get(), fn.get()) == 0;
}

PyObject* create_module() {
  PyRef module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return nullptr;
  PyRef module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc(
        "tarnwick.PanicException",
        "An internal fault of tarnwick: a broken invariant, never a property of the input.",
        PyExc_BaseException, nullptr);
    if (panic_exception == nullptr) return nullptr;
  }
  for (PyMethodDef& def : function_table)
    if (!add_function(module.get(), module_name.get(), &def)) return nullptr;
  Py_INCREF(panic_exception);
  if (PyModule_AddObject(module.get(), "PanicException", panic_exception) < 0) {
    Py_DECREF(panic_exception);
    return nullptr;
  }
  return module.release();
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_tarnwick(void) {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (first_interpreter >= 0 && first_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tarnwick does not support sub-interpreters: it can be imported only in "
                    "the interpreter that first imported it");
    return nullptr;
  }
  if (module_object != nullptr) {
    Py_INCREF(module_object);
    return module_object;
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  first_interpreter = id;
  Py_INCREF(module);
  module_object = module;
  return module;
}
