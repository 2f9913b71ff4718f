// Conditional compilation from Python: the Target objects of the targets
// table, the settings `parse` gives the preprocessor, and the source decoder.
#include "tree/objects.h"

#include <string>
#include <string_view>
#include <vector>

#include "preprocessor/decode.h"

namespace tarnwick::binding {
namespace {

struct TargetObject {
  PyObject_HEAD
  const Target* target;
  PyObject* name;       // str
  PyObject* compiler;   // str
  PyObject* platform;   // str
  PyObject* symbols;    // tuple of str
  PyObject* constants;  // read-only mapping of name to int, float, bool or str
};

// The objects of the table, made once, in its order (a tuple).
PyObject* all_targets = nullptr;

PyObject* constant_value(const Constant& c) {
  switch (c.type) {
    case Constant::Type::Boolean: return PyBool_FromLong(c.boolean);
    case Constant::Type::Integer: return PyLong_FromLongLong(c.integer);
    case Constant::Type::Real: return PyFloat_FromDouble(c.real);
    case Constant::Type::Text: return make_str(c.text);
  }
  return nullptr;
}

PyObject* new_target(const Target& t) {
  PyRef o(reinterpret_cast<PyObject*>(PyObject_New(TargetObject, target_type)));
  if (!o) return nullptr;
  TargetObject* to = reinterpret_cast<TargetObject*>(o.get());
  to->target = &t;
  to->name = to->compiler = to->platform = to->symbols = to->constants = nullptr;
  PyRef symbols(PyTuple_New(static_cast<Py_ssize_t>(t.symbols.size())));
  PyRef constants(PyDict_New());
  if (!symbols || !constants) return nullptr;
  for (std::size_t k = 0; k < t.symbols.size(); ++k) {
    PyObject* s = make_str(t.symbols[k]);
    if (s == nullptr) return nullptr;
    PyTuple_SetItem(symbols.get(), static_cast<Py_ssize_t>(k), s);
  }
  for (const auto& [name, value] : t.constants) {
    PyRef v(constant_value(value));
    if (!v || PyDict_SetItemString(constants.get(), name.c_str(), v.get()) < 0) return nullptr;
  }
  to->name = make_str(t.name);
  to->compiler = make_str(t.compiler);
  to->platform = make_str(t.platform);
  to->symbols = symbols.release();
  to->constants = PyDictProxy_New(constants.get());
  if (!to->name || !to->compiler || !to->platform || !to->constants) return nullptr;
  return o.release();
}

void target_dealloc(PyObject* self) {
  TargetObject* t = reinterpret_cast<TargetObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(t->name);
  Py_XDECREF(t->compiler);
  Py_XDECREF(t->platform);
  Py_XDECREF(t->symbols);
  Py_XDECREF(t->constants);
  PyObject_Free(self);
  Py_DECREF(type);
}

template <PyObject* TargetObject::*field>
PyObject* target_field(PyObject* self, void*) {
  return new_ref(reinterpret_cast<TargetObject*>(self)->*field);
}

PyObject* target_repr(PyObject* self) {
  return PyUnicode_FromFormat("<Target %U>", reinterpret_cast<TargetObject*>(self)->name);
}

PyGetSetDef target_getset[] = {
    {"name", target_field<&TargetObject::name>, nullptr,
     "The target's name, COMPILER-PLATFORM: 'delphi12-win64'.", nullptr},
    {"compiler", target_field<&TargetObject::compiler>, nullptr,
     "The compiler and its version: 'delphi12', 'fpc3.2'.", nullptr},
    {"platform", target_field<&TargetObject::platform>, nullptr,
     "The platform: 'win32', 'win64', 'linux64', 'macos64', 'macosarm64'.", nullptr},
    {"symbols", target_field<&TargetObject::symbols>, nullptr,
     "The symbols the compiler defines before a unit's first line, as a tuple.", nullptr},
    {"constants", target_field<&TargetObject::constants>, nullptr,
     "The constants {$IF} knows before a unit's first line (CompilerVersion, FPC_FULLVERSION), "
     "as a read-only mapping.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot target_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(target_dealloc)},
    {Py_tp_getset, target_getset},
    {Py_tp_repr, reinterpret_cast<void*>(target_repr)},
    {Py_tp_doc, const_cast<char*>(
                    "A target of conditional compilation: a compiler on a platform, with the "
                    "symbols and constants it predefines. The table's targets are the only "
                    "ones (tarnwick_tree.targets()).")},
    {0, nullptr},
};

// Raises TypeError "`what` must be `expected`, not 'TYPE'" for `o`.
void wrong_type(PyObject* o, const char* what, const char* expected) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "%s must be %s, not '%U'", what, expected, name.get());
}

// The names of the table, for the message of an unknown one.
std::string target_names() {
  std::string names;
  for (const Target& t : builtin_targets()) {
    if (!names.empty()) names += ", ";
    names += t.name;
  }
  return names;
}

// Calls `take(str_utf8)` for every item of the iterable `items`, which is
// not a str itself; `what` names the argument in errors. False with an
// exception set.
template <class Take>
bool each_text(PyObject* items, const char* what, bool paths, Take&& take) {
  if (PyUnicode_Check(items) || PyBytes_Check(items)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of %s, not a single %s", what,
                 paths ? "folders" : "names", PyUnicode_Check(items) ? "str" : "bytes");
    return false;
  }
  PyRef it(PyObject_GetIter(items));
  if (!it) return false;
  while (PyRef item{PyIter_Next(it.get())}) {
    PyRef text(paths ? PyOS_FSPath(item.get()) : new_ref(item.get()));
    if (!text) return false;
    if (paths && PyBytes_Check(text.get())) text.reset(PyUnicode_DecodeFSDefault(PyBytes_AsString(text.get())));
    if (!text) return false;
    if (!PyUnicode_Check(text.get())) {
      wrong_type(item.get(), paths ? "an item of include_path" : "an item of defines", "a str");
      return false;
    }
    std::string_view utf8;
    if (!utf8_of(text.get(), utf8)) return false;
    take(utf8);
  }
  return !PyErr_Occurred();
}

}  // namespace

bool make_targets(PyObject* module) {
  if (target_type == nullptr) {
    target_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&target_spec));
    if (target_type == nullptr) return false;
  }
  if (all_targets == nullptr) {
    const std::vector<Target>& table = builtin_targets();
    PyRef list(PyTuple_New(static_cast<Py_ssize_t>(table.size())));
    if (!list) return false;
    for (std::size_t k = 0; k < table.size(); ++k) {
      PyObject* o = new_target(table[k]);
      if (o == nullptr) return false;
      PyTuple_SetItem(list.get(), static_cast<Py_ssize_t>(k), o);
    }
    all_targets = list.release();
  }
  return PyModule_AddObjectRef(module, "Target", reinterpret_cast<PyObject*>(target_type)) == 0;
}

PyObject* targets_fn(PyObject*, PyObject*) { return PySequence_List(all_targets); }

bool settings_of(PyObject* target, PyObject* defines, PyObject* include_path, bool read_files,
                 PreprocessorSettings& settings, bool& preprocess) {
  preprocess = false;
  if (target != nullptr && target != Py_None) {
    if (PyObject_TypeCheck(target, target_type)) {
      settings.target = reinterpret_cast<TargetObject*>(target)->target;
    } else if (PyUnicode_Check(target)) {
      std::string_view name;
      if (!utf8_of(target, name)) return false;
      settings.target = find_target(name);
      if (settings.target == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown target '%U'; the targets are %s", target,
                     target_names().c_str());
        return false;
      }
    } else {
      wrong_type(target, "target", "a str, a tarnwick_tree.Target or None");
      return false;
    }
    preprocess = true;
  }
  if (defines != nullptr &&
      !each_text(defines, "defines", false, [&](std::string_view s) { settings.defines.emplace_back(s); }))
    return false;
  if (!settings.defines.empty()) preprocess = true;
  if (include_path != nullptr && include_path != Py_None) {
    if (!each_text(include_path, "include_path", true,
                   [&](std::string_view s) { settings.include_path.emplace_back(s); }))
      return false;
    read_files = preprocess = true;
  }
  if (read_files && preprocess) {
    static DiskFiles disk;
    settings.files = &disk;
  }
  return true;
}

PyObject* decode_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "encoding", nullptr};
  PyObject* data = nullptr;
  const char* encoding = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|z:decode", const_cast<char**>(keywords), &data,
                                   &encoding))
    return nullptr;
  char* start = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &start, &size) < 0) return nullptr;
  // The bytes object is held by the caller's arguments throughout.
  const std::string_view bytes(start, static_cast<std::size_t>(size));
  Unmarked unmarked = Unmarked::Utf8OrWindows1252;
  if (encoding != nullptr) {
    const std::string_view e(encoding);
    if (e == "utf-8") {
      unmarked = Unmarked::Utf8;
    } else if (e == "cp1252") {
      unmarked = Unmarked::Windows1252;
    } else if (byte_order_mark(bytes).length == 0) {
      // Another encoding, for a file without a mark: not the core's to read.
      return new_ref(Py_None);
    }
  }
  return guarded([&]() -> PyObject* {
    std::string text;
    DecodedSource decoded;
    without_gil([&] { decoded = decode_source(bytes, text, unmarked); });
    if (!decoded.ok()) {
      PyErr_SetString(PyExc_ValueError, decoded.message().c_str());
      return nullptr;
    }
    PyRef s(make_str(text));
    if (!s) return nullptr;
    return Py_BuildValue("(OO)", s.get(), decoded.windows_1252 ? Py_True : Py_False);
  });
}

PyType_Spec target_spec = {"tarnwick_tree.Target", sizeof(TargetObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, target_slots};

}  // namespace tarnwick::binding
