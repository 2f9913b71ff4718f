// What both modules share in talking to CPython: the reference wrapper, the
// mapping of the core's errors to Python exceptions, and results as `str`.
// Both use the limited API of 3.10.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>
#include <utility>

#include "errors.h"

namespace tarnwick::binding {

// Owns one strong reference; releases it on scope exit.
class PyRef {
 public:
  explicit PyRef(PyObject* p = nullptr) : p_(p) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  void reset(PyObject* p) { Py_XDECREF(std::exchange(p_, p)); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

inline PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// tarnwick.PanicException: created by the module tarnwick, taken from it by
// tarnwick_tree, so that one `except` catches both. Each module sets its own.
inline PyObject* panic_exception = nullptr;

inline void raise_panic(const char* message) {
  PyErr_SetString(panic_exception != nullptr ? panic_exception : PyExc_SystemError, message);
}

// Turns the C++ exception being handled into a Python exception: a text too
// large or a tree text that does not read is a ValueError, a tree text past
// the output limit and a failed allocation a MemoryError, and everything else
// an internal fault.
inline void raise_current() noexcept {
  try {
    throw;
  } catch (const TextTooLarge& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const TreeTextError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const OutputTooLarge& e) {
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

// A new `str` from UTF-8 the core made; a failure other than lack of memory
// is an internal fault, reported with `fault`.
inline PyObject* str_of(std::string_view text, const char* fault) {
  PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (s == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    raise_panic(fault);
  }
  return s;
}

}  // namespace tarnwick::binding
