// walk(): the places of a subtree in document order, as an iterator.
#include "tree/node_path.h"

namespace tarnwick::binding {
namespace {

struct WalkObject {
  PyObject_HEAD
  NodePath* path;
  bool started;  // the first node, the walk's start, is yielded
};

void walk_dealloc(PyObject* self) {
  WalkObject* w = reinterpret_cast<WalkObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete w->path;
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* walk_next(PyObject* self) {
  WalkObject* w = reinterpret_cast<WalkObject*>(self);
  return guarded([&]() -> PyObject* {
    NodePath& path = *w->path;
    if (!w->started) {
      w->started = true;
    } else if (!path.next()) {
      return nullptr;  // the end, without an exception
    }
    NodeObject* node = path.materialize();
    if (node == nullptr) path.release();  // a walk that failed is over
    return reinterpret_cast<PyObject*>(node);
  });
}

PyType_Slot walk_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(walk_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(walk_next)},
    {0, nullptr},
};

}  // namespace

PyType_Spec walk_spec = {"tarnwick_tree._Walk", sizeof(WalkObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         walk_slots};

PyObject* new_walk(NodeObject* start) {
  WalkObject* w = PyObject_New(WalkObject, walk_type);
  if (w == nullptr) return nullptr;
  w->started = false;
  w->path = nullptr;
  PyRef walk(reinterpret_cast<PyObject*>(w));
  return guarded([&] {
    w->path = new NodePath(start->tree, start);
    return walk.release();
  });
}

}  // namespace tarnwick::binding
