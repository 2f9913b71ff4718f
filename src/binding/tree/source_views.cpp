// The views of a tree's source: a node's span, text and tokens, the comments
// that belong to it and its documentation text, and the tree's comments.
//
// The tree keeps, for each node, the line and column of its first and last
// position; everything else is made from the source the first time it is
// asked for and kept by the tree (SourceIndex): where each line starts in
// code points, which turns a (line, column) into an index of the Python
// str, and the token list, searched by position.
#include "tree/objects.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lexer/lexer.h"
#include "unicode/unicode.h"

namespace tarnwick::binding {
namespace {

// Drops the tokens of the text that lie in the code its conditionals left
// out (a tree parsed without preprocessing has none).
void leave_out_inactive(const SyntaxTree& tree, std::vector<Token>& tokens) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  for (const InactiveRange& r : tree.inactive())
    if (r.file == 0) ranges.emplace_back(r.start, r.end);
  if (ranges.empty()) return;
  std::sort(ranges.begin(), ranges.end());
  auto range = ranges.begin();
  std::erase_if(tokens, [&](const Token& t) {
    while (range != ranges.end() && range->second <= t.start) ++range;
    return range != ranges.end() && range->first <= t.start;
  });
}

// Marks the nodes that hold code of a file the text included, in their own
// place or below: their positions are not all positions of the text.
void mark_included(const SyntaxTree& tree, std::vector<std::uint8_t>& marks) {
  const std::size_t count = tree.node_count();
  // 0: not met yet, 1: its children under way, 2: of the text alone, 3: marked.
  marks.assign(count, 0);
  std::vector<std::uint32_t> stack;
  for (std::uint32_t start = 0; start < count; ++start) {
    if (marks[start] != 0) continue;
    stack.push_back(start);
    while (!stack.empty()) {
      const std::uint32_t n = stack.back();
      if (marks[n] == 0) {
        marks[n] = 1;
        for (std::uint32_t c : tree.children(n))
          if (marks[c] == 0) stack.push_back(c);
        continue;
      }
      stack.pop_back();
      if (marks[n] != 1) continue;
      bool included = tree.node_file(n) != 0;
      for (std::uint32_t c : tree.children(n)) included = included || marks[c] == 3;
      marks[n] = included ? 3 : 2;
    }
  }
  for (std::uint8_t& m : marks) m = m == 3;
}

// The index of the tree's source, made on first use; null with ValueError set
// for a tree that has no source.
const SourceIndex* index_of(TreeObject* tree) {
  if (tree->source == Py_None) {
    PyErr_SetString(PyExc_ValueError,
                    "the tree has no source (it was read from its text), so it has no spans, "
                    "texts, tokens or comments");
    return nullptr;
  }
  if (tree->index != nullptr) return tree->index;
  auto index = std::make_unique<SourceIndex>();
  const std::string_view s = tree->tree->source();
  // A line starts after each line feed, as the lexer counts them; a code
  // point is a byte that does not continue a UTF-8 sequence.
  index->line_starts.push_back(0);
  std::uint32_t points = 0;
  for (const char c : s) {
    points += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (c == '\n') index->line_starts.push_back(points);
  }
  index->points = points;
  index->tokens = tarnwick::tokenize(s);
  index->tokens.pop_back();  // the end-of-file token
  leave_out_inactive(*tree->tree, index->tokens);
  index->tokens.shrink_to_fit();
  if (!tree->tree->included_files().empty()) mark_included(*tree->tree, index->included);
  tree->index = index.release();
  return tree->index;
}

// A node whose views the source cannot give: it holds code of an included
// file.
struct NotInSource : std::exception {
  const char* what() const noexcept override {
    return "the node holds code of a file the source included, which tree.source does not hold";
  }
};

// The code point of (line, col) in the source.
std::uint32_t point_of(const SourceIndex& index, std::uint32_t line, std::uint32_t col) {
  const bool on_a_line = line > 0 && line <= index.line_starts.size() && col > 0;
  const std::uint64_t at = on_a_line ? std::uint64_t{index.line_starts[line - 1]} + col - 1 : 0;
  if (!on_a_line || at > index.points) {
    // A node of the text may end at a token of a file it included.
    if (!index.included.empty()) throw NotInSource();
    throw InternalError("a node's position lies outside its source");
  }
  return static_cast<std::uint32_t>(at);
}

// The line a token's text ends on.
std::uint32_t end_line_of(const Token& t, std::string_view source) {
  const std::string_view written = t.written(source);
  return t.line + static_cast<std::uint32_t>(std::count(written.begin(), written.end(), '\n'));
}

bool before(const Token& t, std::uint32_t line, std::uint32_t col) {
  return t.line < line || (t.line == line && t.column < col);
}

bool is_code(const Token& t) { return t.kind != TokenKind::Comment && t.kind != TokenKind::Directive; }

// The node's span: from the first to the last token of code that starts in
// its extent (the first to the last position it and its descendants hold),
// as the tokens of the source [first, last) and the code points
// [start, end). An extent ends just after a token in every tree the complete
// grammar builds; in the specified tree it may end at the start of the token
// after the node, with blanks or a comment before it, which the span leaves
// out, or inside its last token (an escaped word is as wide as its text
// without the '&'), which the span holds whole. A node of no token has the empty span at its start (a node that holds
// no position, which the grammars never build, at the end of the source).
struct Span {
  std::uint32_t line = 0, end_line = 0;  // where the first token starts, the last ends; 0 for none
  std::size_t first = 0, last = 0;
  std::uint32_t start = 0, end = 0;
};

Span span_of(NodeObject* n, const SourceIndex& index) {
  if (!index.included.empty() && index.included[n->node]) throw NotInSource();
  const SyntaxTree::Extent& e = extents_of(n->tree)[n->node];
  const std::vector<Token>& tokens = index.tokens;
  Span span;
  if (e.line == 0) {
    span.first = span.last = tokens.size();
    span.start = span.end = index.points;
    return span;
  }
  auto from = std::partition_point(tokens.begin(), tokens.end(),
                                   [&](const Token& t) { return before(t, e.line, e.col); });
  auto to = std::partition_point(from, tokens.end(),
                                 [&](const Token& t) { return before(t, e.end_line, e.end_col); });
  while (from != to && !is_code(*from)) ++from;
  while (to != from && !is_code(*(to - 1))) --to;
  span.first = static_cast<std::size_t>(from - tokens.begin());
  span.last = static_cast<std::size_t>(to - tokens.begin());
  if (from == to) {
    span.start = span.end = point_of(index, e.line, e.col);
    return span;
  }
  const Token& last = *(to - 1);
  const std::string_view source = n->tree->tree->source();
  span.line = from->line;
  span.end_line = end_line_of(last, source);
  span.start = point_of(index, from->line, from->column);
  span.end = point_of(index, last.line, last.column) +
             static_cast<std::uint32_t>(unicode::count_code_points(last.written(source)));
  return span;
}

// The comments that belong to the node at `span`: the block of comments
// right before its first token, on lines of their own (the first of them
// shares no line with the code before it) with no blank line between them
// nor before the node; and the comments after its last token (or after one
// ';' or ',' that follows it there) that start on the node's last line.
std::vector<Token> comments_of(const SourceIndex& index, const Span& span, std::string_view source) {
  const std::vector<Token>& tokens = index.tokens;
  const std::size_t first = span.first, last = span.last;
  std::vector<Token> found;
  if (span.line == 0) return found;
  // The comments right before the node, and the line the token before them
  // ends on (0 at the start of the source).
  std::size_t code = first;
  while (code > 0 && tokens[code - 1].kind == TokenKind::Comment) --code;
  const std::uint32_t code_line = code > 0 ? end_line_of(tokens[code - 1], source) : 0;
  std::size_t from = first;
  std::uint32_t next_line = span.line;  // the line of what follows the comment looked at
  while (from > code) {
    const Token& c = tokens[from - 1];
    if (next_line > end_line_of(c, source) + 1 || c.line == code_line) break;
    next_line = c.line;
    --from;
  }
  found.assign(tokens.begin() + static_cast<std::ptrdiff_t>(from),
               tokens.begin() + static_cast<std::ptrdiff_t>(first));
  std::size_t after = last;
  if (after < tokens.size() && tokens[after].kind == TokenKind::Symbol &&
      tokens[after].line == span.end_line) {
    const std::string_view s = tokens[after].text(source);
    if (s == ";" || s == ",") ++after;
  }
  for (; after < tokens.size() && tokens[after].kind == TokenKind::Comment &&
         tokens[after].line == span.end_line;
       ++after)
    found.push_back(tokens[after]);
  return found;
}

std::string_view trimmed(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// The documentation text of a comment: a `///` line without the `///` and
// one space after it; the text of any other comment without its `//`,
// braces or `(* *)`, trimmed. Line breaks are line feeds.
void append_doc(std::string& out, std::string_view c) {
  if (c.starts_with("///")) {
    c.remove_prefix(3);
    if (c.starts_with(' ')) c.remove_prefix(1);
    while (c.ends_with('\r')) c.remove_suffix(1);
    out.append(c);
    return;
  }
  if (c.starts_with("//")) {
    c.remove_prefix(2);
  } else if (c.starts_with("{")) {
    c.remove_prefix(1);
    if (c.ends_with('}')) c.remove_suffix(1);
  } else if (c.starts_with("(*")) {
    c.remove_prefix(2);
    if (c.ends_with("*)")) c.remove_suffix(2);
  }
  c = trimmed(c);
  for (std::size_t k = 0; k < c.size(); ++k)
    if (!(c[k] == '\r' && k + 1 < c.size() && c[k + 1] == '\n')) out.push_back(c[k]);
}

// Runs `view(node, index, span, source)` for the node `self`: a new
// reference, or null with an exception set (ValueError for a tree without a
// source and for a node of an included file).
template <class View>
PyObject* with_span(PyObject* self, View&& view) {
  return guarded([&]() -> PyObject* {
    NodeObject* n = reinterpret_cast<NodeObject*>(self);
    const SourceIndex* index = index_of(n->tree);
    if (index == nullptr) return nullptr;
    try {
      return view(n, *index, span_of(n, *index), n->tree->tree->source());
    } catch (const NotInSource& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
      return nullptr;
    }
  });
}

}  // namespace

PyObject* node_span(PyObject* self, void*) {
  return with_span(self, [](NodeObject*, const SourceIndex&, const Span& span, std::string_view) {
    // Packed by hand: Py_BuildValue reads its format at every call, which
    // costs more than the span itself.
    PyRef start(PyLong_FromUnsignedLong(span.start));
    PyRef end(PyLong_FromUnsignedLong(span.end));
    if (!start || !end) return static_cast<PyObject*>(nullptr);
    return PyTuple_Pack(2, start.get(), end.get());
  });
}

PyObject* node_text(PyObject* self, void*) {
  return with_span(self, [](NodeObject* n, const SourceIndex&, const Span& span, std::string_view) {
    return PyUnicode_Substring(n->tree->source, span.start, span.end);
  });
}

PyObject* node_tokens(PyObject* self, void*) {
  return with_span(self, [](NodeObject*, const SourceIndex& index, const Span& span,
                            std::string_view source) {
    return token_list(
        std::span<const Token>(index.tokens).subspan(span.first, span.last - span.first), source);
  });
}

PyObject* node_comments(PyObject* self, void*) {
  return with_span(self, [](NodeObject*, const SourceIndex& index, const Span& span,
                            std::string_view source) {
    return token_list(comments_of(index, span, source), source);
  });
}

PyObject* node_doc(PyObject* self, void*) {
  return with_span(self, [](NodeObject*, const SourceIndex& index, const Span& span,
                            std::string_view source) {
    const std::vector<Token> comments = comments_of(index, span, source);
    if (comments.empty()) return new_ref(Py_None);
    std::string doc;
    for (const Token& c : comments) {
      if (&c != &comments.front()) doc.push_back('\n');
      append_doc(doc, c.text(source));
    }
    return make_str(doc);
  });
}

PyObject* tree_comments(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    TreeObject* tree = reinterpret_cast<TreeObject*>(self);
    const SourceIndex* index = index_of(tree);
    if (index == nullptr) return nullptr;
    std::vector<Token> comments;
    for (const Token& t : index->tokens)
      if (t.kind == TokenKind::Comment) comments.push_back(t);
    return token_list(comments, tree->tree->source());
  });
}

}  // namespace tarnwick::binding
