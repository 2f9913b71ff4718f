// The objects of tarnwick_tree._native, the Python face of the core's
// finished trees, and what its files share.
//
// A `Tree` owns a finished `SyntaxTree` (and the `str` its texts point
// into); a `Node` is a small view made on access: the tree, the node, its
// place (its number in document order, which tells apart the places of a
// subtree that stands under several parents) and the view of its parent.
// Parsing and writing the tree text release the GIL: the core then reads
// and writes only its own memory and the UTF-8 bytes of `str` objects this
// module holds references to.
//
// The module's files: node.cpp (Node), walk.cpp (walks and searches over
// places, and walk()), tree.cpp (Tree), search.cpp (find_all, find,
// node_at), source_views.cpp (the views of a tree's source: spans, texts,
// tokens and comments), tokens.cpp (the Token, Diagnostic and InactiveRange
// named tuples), preprocess.cpp (Target, the preprocessor's settings and the
// decoder) and module.cpp (the functions and the module).
#pragma once

#include "common/python.h"  // Python.h first, as CPython asks

#include <cstdint>
#include <exception>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "lexer/token.h"
#include "preprocessor/preprocessor.h"
#include "tree/node.h"
#include "tree/syntax_tree.h"

namespace tarnwick::binding {

// What the views of a tree's source read, made the first time one of them is
// asked for, so that a tree nobody asks costs nothing more: where each line
// starts in the source's code points (a Python str is indexed by them), and
// the source's tokens, comments and directives included.
struct SourceIndex {
  std::vector<std::uint32_t> line_starts;  // the code point where line k + 1 starts
  std::uint32_t points = 0;                // the code points of the source
  std::vector<Token> tokens;               // in source order, the end-of-file token left out,
                                           // and the code the conditionals left out
  std::vector<std::uint8_t> included;      // by node, for a parse that included files: 1
                                           // where the node holds code of one of them

  std::size_t bytes() const {
    return sizeof(SourceIndex) + line_starts.capacity() * sizeof(std::uint32_t) +
           tokens.capacity() * sizeof(Token) + included.capacity();
  }
};

struct TreeObject {
  PyObject_HEAD
  SyntaxTree* tree;
  PyObject* source;     // the parsed str, or None for a tree read from its text
  PyObject* file_name;  // str
  std::vector<SyntaxTree::Extent>* extents;  // made by the first node_at or span
  SourceIndex* index;                        // made by the first view of the source
};

struct NodeObject {
  PyObject_HEAD
  TreeObject* tree;
  NodeObject* parent;  // null for the root
  std::uint32_t node;
  std::uint64_t place;
};

// The types, made when the module is first created.
inline PyTypeObject* tree_type = nullptr;
inline PyTypeObject* node_type = nullptr;
inline PyTypeObject* walk_type = nullptr;
extern PyType_Spec tree_spec;
extern PyType_Spec node_spec;
extern PyType_Spec walk_spec;

// Interned names, made when the module is first created.
inline PyObject* kind_names[std::size(node_kind_names)] = {};
inline PyObject* key_names[attribute_key_count] = {};

inline const SyntaxTree& tree_of(const NodeObject* n) { return *n->tree->tree; }

inline PyObject* make_str(std::string_view text) {
  return str_of(text, "could not create a string from the tree");
}

// The UTF-8 bytes of a `str`, without a copy; they live as long as the object.
inline bool utf8_of(PyObject* s, std::string_view& out) {
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &len);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(len));
  return true;
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

// The view of `node` at `place`, under the view of its parent (null for the
// root); a new reference.
NodeObject* new_node(TreeObject* tree, NodeObject* parent, std::uint32_t node, std::uint64_t place);

// A new Tree that owns `tree`, whose texts point into `source` (None for a
// tree read from its text).
PyObject* new_tree(std::unique_ptr<SyntaxTree> tree, PyObject* source, PyObject* file_name);

// A pre-order walk from `start`: the node itself, then its descendants in
// document order.
PyObject* new_walk(NodeObject* start);

// The extents of all the tree's nodes, made on first use.
const std::vector<SyntaxTree::Extent>& extents_of(TreeObject* tree);

// Tree and Node methods that search places: a Tree's over all of them, a
// Node's over its subtree (the node itself included).
PyObject* tree_find_all(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tree_find(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tree_node_at(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* node_find_all(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* node_find(PyObject* self, PyObject* args, PyObject* kwargs);

// The views of the source (source_views.cpp): Node getters, and Tree.comments.
PyObject* node_span(PyObject* self, void*);
PyObject* node_text(PyObject* self, void*);
PyObject* node_tokens(PyObject* self, void*);
PyObject* node_comments(PyObject* self, void*);
PyObject* node_doc(PyObject* self, void*);
PyObject* tree_comments(PyObject* self, void*);

// Tokens as a list of Token named tuples; their texts are in `source`.
PyObject* token_list(std::span<const Token> tokens, std::string_view source);
// The tree's diagnostics as a list of Diagnostic named tuples.
PyObject* diagnostic_list(const TreeObject* tree);

// The tree's inactive code as a list of InactiveRange named tuples.
PyObject* inactive_list(const TreeObject* tree);
// The name of file `index` of the tree (0: its own file name); a new
// reference.
PyObject* file_of(const TreeObject* tree, std::uint32_t index);

// Makes the named tuple types; false with an exception set.
bool make_tuple_types();
inline PyObject* token_type = nullptr;       // the named tuple Token
inline PyObject* diagnostic_type = nullptr;  // the named tuple Diagnostic
inline PyObject* inactive_type = nullptr;    // the named tuple InactiveRange

// The Target type and the objects of the targets table, added to `module`;
// false with an exception set.
inline PyTypeObject* target_type = nullptr;
extern PyType_Spec target_spec;
bool make_targets(PyObject* module);
// targets(): the table's Target objects, as a new list.
PyObject* targets_fn(PyObject*, PyObject*);
// The preprocessor's settings from parse's `target` (str, Target or None),
// `defines` and `include_path` (iterables of str, the latter also of paths;
// None for none). `preprocess` tells whether any of them asks for
// preprocessing; include files are then read from the disk when there is
// an include path or `read_files`. False with an exception set.
bool settings_of(PyObject* target, PyObject* defines, PyObject* include_path, bool read_files,
                 PreprocessorSettings& settings, bool& preprocess);
// decode(data, encoding=None): (text, windows_1252), or None for an encoding
// the core does not read and a file without a byte-order mark.
PyObject* decode_fn(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace tarnwick::binding
