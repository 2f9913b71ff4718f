// Checks of the core below the Python surface: the node arena, the tree text
// writer and its measure, the grammar's own stack, and the parser cursor and
// text helpers. Built as `core_tests` when TARNWICK_BUILD_NATIVE_TESTS is on and
// run by tests/test_native.py.
//
// Every failed check prints its expression and line on standard error; the
// last line of standard output is "N passed, N failed", and the exit status
// is 1 when any check failed.

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "api.h"
#include "lexer/lexer.h"
#include "parser/brackets.h"
#include "parser/parser.h"
#include "tree/arena.h"
#include "tree/cursor.h"
#include "tree/node.h"
#include "tree/syntax_tree.h"
#include "tree/writer.h"
#include "util/memory.h"
#include "util/own_stack.h"
#include "util/sanitizers.h"
#include "util/platform.h"
#include "owned_tree.h"

using namespace tarnwick;
using tarnwick::testing::build_tree;
using tarnwick::testing::Node;
using tarnwick::testing::positions_of_node;
using tarnwick::testing::serialize_tree;

namespace {

int passed = 0;
int failed = 0;

void report(bool ok, const char* expr, int line, const std::string& detail = {}) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::fprintf(stderr, "FAIL line %d: %s\n", line, expr);
  if (!detail.empty()) std::fprintf(stderr, "%s\n", detail.c_str());
}

// Shows a text with its control characters visible, shortened when long.
std::string shown(std::string_view s) {
  std::string out;
  std::size_t limit = std::min<std::size_t>(s.size(), 2000);
  for (std::size_t i = 0; i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (limit < s.size()) out += "... (" + std::to_string(s.size()) + " bytes)";
  return out;
}

template <class T>
std::string describe(const T& v) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return "\"" + shown(std::string_view(v)) + "\"";
  } else {
    std::ostringstream os;
    os << v;
    return os.str();
  }
}

template <class A, class B>
void report_equal(const A& a, const B& b, const char* expr, int line) {
  bool ok = a == b;
  report(ok, expr, line, ok ? std::string() : "  actual:   " + describe(a) + "\n  expected: " + describe(b));
}

#define CHECK(expr) report(static_cast<bool>(expr), #expr, __LINE__)
#define CHECK_EQ(actual, expected) report_equal((actual), (expected), #actual " == " #expected, __LINE__)
#define CHECK_THROWS_INTERNAL(expr)                                                      \
  do {                                                                                   \
    bool thrown_ = false;                                                                \
    std::string other_;                                                                  \
    try {                                                                                \
      (void)(expr);                                                                      \
    } catch (const InternalError&) {                                                     \
      thrown_ = true;                                                                    \
    } catch (const std::exception& e_) {                                                 \
      other_ = std::string("  threw another exception: ") + e_.what();                   \
    }                                                                                    \
    report(thrown_, "throws InternalError: " #expr, __LINE__, other_);                   \
  } while (0)

// "L:C,L:C,..." of a position list, the form the tree text uses.
std::string positions_text(const std::vector<SourcePosition>& list) {
  std::string out;
  for (const SourcePosition& p : list) {
    if (!out.empty()) out.push_back(',');
    out += std::to_string(p.line) + ":" + std::to_string(p.col);
  }
  return out;
}

// Consecutive columns first..last on one line, as "L:first,...,L:last".
std::string columns(std::uint32_t line, std::uint32_t first, std::uint32_t last) {
  std::string out;
  for (std::uint32_t c = first; c <= last; ++c) {
    if (c != first) out.push_back(',');
    out += std::to_string(line) + ":" + std::to_string(c);
  }
  return out;
}

std::string lines(std::initializer_list<std::string_view> parts) {
  std::string out;
  bool first = true;
  for (std::string_view p : parts) {
    if (!first) out.push_back('\n');
    first = false;
    out.append(p);
  }
  return out;
}

// A source text with its full token list and an arena over it.
struct Source {
  std::string text;
  std::vector<Token> tokens;
  NodeArena arena;
  explicit Source(std::string s) : text(std::move(s)), tokens(tokenize(text)), arena(text) {}
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
};

// The tree text of `root`, as the core writes it from the arena.
std::string arena_text(const NodeArena& arena, NodeId root, std::string_view file_name) {
  OutputBuffer out;
  serialize_arena(arena, root, file_name, out);
  return out.str();
}

// The tree text of `root`; also checks it against its measure and against
// the plain writer of the owned tree.
std::string text_of(const NodeArena& arena, NodeId root, std::string_view file_name, int line) {
  std::string direct = arena_text(arena, root, file_name);
  report_equal(measure_tree_text(arena, root, file_name), std::uint64_t{direct.size()},
               "measure_tree_text == size of the text", line);
  std::string owned = serialize_tree(build_tree(arena, root), file_name);
  report_equal(owned, direct, "serialize_tree(build_tree) == serialize_arena", line);
  return direct;
}
#define TEXT_OF(arena, root) text_of((arena), (root), "t.pas", __LINE__)

// What a thread started by `run_on_small_stack` runs, and what it threw.
struct ThreadCall {
  const std::function<void()>* body;
  std::string error;

  void run() {
    try {
      (*body)();
    } catch (const std::exception& e) {
      error = e.what();
    } catch (...) {
      error = "unknown exception";
    }
  }
};

// Runs `body` on a new thread with a stack of `bytes`, and waits for it.
void run_on_small_stack(std::size_t bytes, const std::function<void()>& body) {
  ThreadCall call{&body, {}};
#if defined(_WIN32)
  // The size is the thread's whole reservation, not only its first commit.
  auto entry = [](void* arg) -> DWORD {
    static_cast<ThreadCall*>(arg)->run();
    return 0;
  };
  HANDLE thread = CreateThread(nullptr, bytes, entry, &call, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  CHECK(thread != nullptr);
  if (thread == nullptr) return;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
#else
  auto entry = [](void* arg) -> void* {
    static_cast<ThreadCall*>(arg)->run();
    return nullptr;
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int rc = pthread_attr_setstacksize(&attr, bytes);
  CHECK_EQ(rc, 0);
  pthread_t thread;
  rc = pthread_create(&thread, &attr, entry, &call);
  pthread_attr_destroy(&attr);
  CHECK_EQ(rc, 0);
  if (rc != 0) return;
  pthread_join(thread, nullptr);
#endif
  report(call.error.empty(), "no exception on the small-stack thread", __LINE__, "  " + call.error);
}

// ---- Node kinds and attribute keys ------------------------------------------

void test_kind_and_key_names() {
  static const char* const kinds[] = {
      "Unknown", "Absolute", "Add", "Addr", "AlignmentParam", "And", "AnonymousMethod", "Arguments",
      "As", "Assign", "At", "Attribute", "Attributes", "Bounds", "Call", "Case",
      "CaseElse", "CaseLabel", "CaseLabels", "CaseSelector", "ClassConstraint", "Constant", "Constants",
      "Constraints", "ConstructorConstraint", "Contains", "Default", "Deref", "Dimension", "Div", "Dot",
      "DownTo", "Element", "Else", "EmptyStatement", "Enum", "Equal", "Except", "ExceptionHandler",
      "Exports", "Expression", "Expressions", "External", "FDiv", "Field", "Fields", "Finalization",
      "Finally", "For", "From", "Generic", "Goto", "Greater", "GreaterEqual", "Guid", "Helper",
      "Identifier", "If", "Implementation", "Implements", "In", "Index", "Indexed", "Inherited",
      "Initialization", "Interface", "Is", "Label", "LHS", "Literal", "Lower", "LowerEqual",
      "Message", "Method", "Mod", "Mul", "Name", "NamedArgument", "NotEqual", "Not",
      "Or", "Package", "Parameter", "Parameters", "Path", "PositionalArgument", "Protected", "Private",
      "Property", "Public", "Published", "Raise", "Read", "RecordConstraint", "Repeat", "Requires",
      "ResolutionClause", "ResourceString", "ReturnType", "RHS", "RoundClose", "RoundOpen", "Set", "Shl",
      "Shr", "Statement", "Statements", "StrictPrivate", "StrictProtected", "Sub", "Subrange", "Then",
      "To", "Try", "Type", "TypeArgs", "TypeDecl", "TypeParam", "TypeParams", "TypeSection",
      "Value", "Variable", "Variables", "Xor", "UnaryMinus", "Unit", "Uses", "While",
      "With", "Write", "AnsiComment", "BorComment", "SlashesComment", "IsNot", "NotIn",
      "InterfaceConstraint", "UnmanagedConstraint", "Procedure", "Function", "Constructor",
      "Destructor", "Operator", "Stored", "Dispid", "VarParam", "OutParam", "ConstParam",
  };
  CHECK_EQ(std::size(kinds), std::size_t{147});
  for (std::size_t i = 0; i < std::size(kinds); ++i) {
    std::string expected = std::string("nt") + kinds[i];
    report_equal(node_kind_name(static_cast<NodeKind>(i)), std::string_view(expected),
                 ("kind name " + std::to_string(i)).c_str(), __LINE__);
  }
  CHECK_EQ(static_cast<int>(NodeKind::Unknown), 0);
  CHECK_EQ(static_cast<int>(NodeKind::While), 127);
  CHECK_EQ(static_cast<int>(NodeKind::With), 128);
  CHECK_EQ(static_cast<int>(NodeKind::ConstParam), 146);
  CHECK_EQ(sizeof(NodeKind), std::size_t{1});

  static const char* const keys[] = {
      "type", "class", "forwarded", "kind", "name", "visibility", "callingconvention",
      "path", "methodbinding", "reintroduce", "overload", "abstract", "inline", "align",
      "external", "deprecated", "static", "final", "sealed", "assembler", "unsafe",
      "export", "far", "near", "genericargs", "noreturn", "varargs",
  };
  CHECK_EQ(std::size(keys), std::size_t{27});
  for (std::size_t i = 0; i < std::size(keys); ++i)
    report_equal(attribute_key_name(static_cast<AttributeKey>(i)), std::string_view(keys[i]),
                 ("key name " + std::to_string(i)).c_str(), __LINE__);
  CHECK_EQ(sizeof(AttributeKey), std::size_t{4});
}

// ---- add_node spans and source positions ------------------------------------

void test_add_node_spans() {
  {
    // The scanner's end-of-file token after "abc": empty text at 1:4.
    Source s("abc");
    CHECK_EQ(s.tokens.size(), std::size_t{2});
    NodeId n = s.arena.add_node(NodeKind::Identifier, s.tokens[1]);
    CHECK_EQ(TEXT_OF(s.arena, n),
             "# file_name=t.pas\nntIdentifier line=1 col=4 end_line=1 end_col=4 source_positions=1:4");
    // An empty token in the middle of the text.
    Token empty;
    empty.start = empty.end = 1;
    empty.line = 1;
    empty.column = 2;
    empty.kind = TokenKind::Symbol;
    NodeId m = s.arena.add_node(NodeKind::Unknown, empty);
    const auto& r = s.arena.record(m);
    CHECK_EQ(r.line, 1u);
    CHECK_EQ(r.col, 2u);
    CHECK_EQ(r.end_line, 1u);
    CHECK_EQ(r.end_col, 2u);
    CHECK_EQ(positions_text(build_tree(s.arena, m).source_positions), "1:2");
  }
  {
    // A multi-line string: the end follows the line feeds, the positions stay
    // on the first line (13 code points, 14 positions).
    Source s("x := '''\nab\ncd\xC3\xA9''';");
    CHECK_EQ(s.tokens.size(), std::size_t{5});
    const Token& str = s.tokens[2];
    CHECK(str.kind == TokenKind::String);
    CHECK_EQ(str.column, 6u);
    CHECK_EQ(s.tokens[3].line, 3u);  // the ";" after the closing quotes
    CHECK_EQ(s.tokens[3].column, 7u);
    NodeId n = s.arena.add_node(NodeKind::Literal, str);
    CHECK_EQ(TEXT_OF(s.arena, n), "# file_name=t.pas\nntLiteral line=1 col=6 end_line=3 end_col=7 source_positions=" +
                                      columns(1, 6, 19));
  }
  {
    // Carriage returns take a column; only the line feed starts a line.
    Source s("'''\r\nab\r\ncd'''");
    NodeId n = s.arena.add_node(NodeKind::Literal, s.tokens[0]);
    const auto& r = s.arena.record(n);
    CHECK_EQ(r.end_line, 3u);
    CHECK_EQ(r.end_col, 6u);
    CHECK_EQ(positions_text(build_tree(s.arena, n).source_positions), columns(1, 1, 15));
  }
  {
    // A token that ends with its line feed (an unterminated multi-line
    // string): the end column is 1.
    Source s("'''\nab\n");
    CHECK_EQ(s.tokens.size(), std::size_t{2});
    NodeId n = s.arena.add_node(NodeKind::Literal, s.tokens[0]);
    const auto& r = s.arena.record(n);
    CHECK_EQ(r.line, 1u);
    CHECK_EQ(r.end_line, 3u);
    CHECK_EQ(r.end_col, 1u);
    CHECK_EQ(positions_text(build_tree(s.arena, n).source_positions), columns(1, 1, 8));
  }
  {
    // "&begin": the end counts the '&', the positions count the text.
    Source s("x &begin");
    const Token& t = s.tokens[1];
    CHECK(t.kind == TokenKind::Keyword);
    CHECK_EQ(t.text(s.text), "begin");
    NodeId n = s.arena.add_node(NodeKind::Identifier, t);
    CHECK_EQ(TEXT_OF(s.arena, n),
             "# file_name=t.pas\nntIdentifier line=1 col=3 end_line=1 end_col=9 source_positions=" + columns(1, 3, 8));
  }
  {
    // An escaped identifier with non-ASCII letters: code points, not bytes.
    Source s("&Gr\xC3\xB6\xC3\x9F" "e");
    NodeId n = s.arena.add_node(NodeKind::Identifier, s.tokens[0]);
    const auto& r = s.arena.record(n);
    CHECK_EQ(r.end_col, 7u);
    CHECK_EQ(positions_text(build_tree(s.arena, n).source_positions), columns(1, 1, 6));
  }
  {
    // The end-of-input token of the parser: everything 0.
    Source s("\xC3\xA9 abc");
    NodeId n = s.arena.add_node(NodeKind::Unit, end_token());
    CHECK_EQ(TEXT_OF(s.arena, n),
             "# file_name=t.pas\nntUnit line=0 col=0 end_line=0 end_col=0 source_positions=0:0");
  }
  {
    // Ids are handed out in creation order from 0.
    Source s("a b");
    CHECK_EQ(s.arena.add_node(NodeKind::Unit, s.tokens[0]), NodeId{0});
    CHECK_EQ(s.arena.add_node(NodeKind::Unit, s.tokens[1]), NodeId{1});
    CHECK_EQ(s.arena.add_value_node(NodeKind::Name, s.tokens[0], "v"), NodeId{2});
    CHECK_EQ(s.arena.size(), std::size_t{3});
  }
}

void test_add_value_node() {
  Source s("abc def");
  std::string value = "a\\b";
  NodeId n = s.arena.add_value_node(NodeKind::Name, s.tokens[1], value);
  value.assign(64, 'z');  // the arena keeps its own copy
  NodeId e = s.arena.add_value_node(NodeKind::Name, s.tokens[0], "");
  NodeId v = s.arena.add_value_node(NodeKind::Name, s.tokens[0], std::string_view(s.text).substr(4, 3));
  s.arena.add_child(e, n);
  s.arena.add_child(e, v);
  CHECK_EQ(TEXT_OF(s.arena, e), lines({
                                    "# file_name=t.pas",
                                    "ntName line=1 col=1 end_line=1 end_col=4 source_positions=1:1,1:2,1:3,1:4",
                                    "  value=",
                                    "  ntName line=1 col=5 end_line=1 end_col=8 source_positions=1:5,1:6,1:7,1:8",
                                    "    value=a\\\\b",
                                    "  ntName line=1 col=1 end_line=1 end_col=4 source_positions=1:1,1:2,1:3,1:4",
                                    "    value=def",
                                }));
  Node tree = build_tree(s.arena, n);
  CHECK(tree.has_value);
  CHECK_EQ(tree.value, "a\\b");
}

// ---- set_attribute ----------------------------------------------------------

void test_set_attribute() {
  Source s("unit X;");
  NodeId n = s.arena.add_node(NodeKind::Unit, s.tokens[0]);
  s.arena.set_attribute(n, AttributeKey::Name, "A");
  s.arena.set_attribute(n, AttributeKey::Kind, "unit");
  s.arena.set_attribute(n, AttributeKey::Abstract, "true");
  s.arena.set_attribute(n, AttributeKey::Name, "B");
  {
    Node tree = build_tree(s.arena, n);
    CHECK_EQ(tree.attributes.size(), std::size_t{3});
    if (tree.attributes.size() == 3) {
      CHECK(tree.attributes[0].key == AttributeKey::Name);
      CHECK_EQ(tree.attributes[0].value, "B");
      CHECK(tree.attributes[1].key == AttributeKey::Kind);
      CHECK_EQ(tree.attributes[1].value, "unit");
      CHECK(tree.attributes[2].key == AttributeKey::Abstract);
    }
  }
  CHECK(s.arena.attribute(n, AttributeKey::Name) == std::optional<std::string_view>("B"));
  CHECK(!s.arena.attribute(n, AttributeKey::Path).has_value());
  // Replacing the middle entry keeps it in the middle; an empty value is kept.
  s.arena.set_attribute(n, AttributeKey::Kind, "");
  {
    Node tree = build_tree(s.arena, n);
    CHECK_EQ(tree.attributes.size(), std::size_t{3});
    if (tree.attributes.size() == 3) {
      CHECK(tree.attributes[1].key == AttributeKey::Kind);
      CHECK_EQ(tree.attributes[1].value, "");
    }
  }
  // A value from a temporary text outlives it.
  {
    std::string temporary = "in 'x.pas'";
    s.arena.set_attribute(n, AttributeKey::Path, temporary);
    temporary.assign(100, '#');
  }
  // A value that is a view into the source.
  s.arena.set_attribute(n, AttributeKey::Type, std::string_view(s.text).substr(5, 1));
  CHECK_EQ(TEXT_OF(s.arena, n), "# file_name=t.pas\nntUnit line=1 col=1 end_line=1 end_col=5 abstract=true "
                                "kind= name=B path=in 'x.pas' type=X source_positions=1:1,1:2,1:3,1:4,1:5");
}

// ---- add_child, shared children, unattached nodes ---------------------------

void test_children() {
  Source s("a b c d e");
  NodeId root = s.arena.add_node(NodeKind::Unit, s.tokens[0]);
  NodeId p1 = s.arena.add_node(NodeKind::Interface, s.tokens[1]);
  NodeId p2 = s.arena.add_node(NodeKind::Implementation, s.tokens[2]);
  NodeId unattached = s.arena.add_node(NodeKind::Unknown, s.tokens[4]);
  NodeId shared = s.arena.add_node(NodeKind::Identifier, s.tokens[3]);
  CHECK_EQ(unattached, NodeId{3});
  CHECK_EQ(shared, NodeId{4});  // the unattached node keeps its id
  s.arena.set_attribute(shared, AttributeKey::Name, "X");
  s.arena.add_child(root, p1);
  s.arena.add_child(root, p2);
  s.arena.add_child(p1, shared);
  s.arena.add_child(p2, shared);
  s.arena.add_child(p2, shared);
  CHECK_EQ(s.arena.child_count(p2), std::size_t{2});
  CHECK(s.arena.first_child(root) == std::optional<NodeId>(p1));
  CHECK(s.arena.last_child(root) == std::optional<NodeId>(p2));
  CHECK(!s.arena.first_child(shared).has_value());
  CHECK(!s.arena.last_child(shared).has_value());
  std::string id_line = "ntIdentifier line=1 col=7 end_line=1 end_col=8 name=X source_positions=1:7,1:8";
  CHECK_EQ(TEXT_OF(s.arena, root), lines({
                                       "# file_name=t.pas",
                                       "ntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2",
                                       "  ntInterface line=1 col=3 end_line=1 end_col=4 source_positions=1:3,1:4",
                                       "    " + id_line,
                                       "  ntImplementation line=1 col=5 end_line=1 end_col=6 source_positions=1:5,1:6",
                                       "    " + id_line,
                                       "    " + id_line,
                                   }));
  // A change to the shared node shows at every place it is attached.
  s.arena.set_attribute(shared, AttributeKey::Name, "Y");
  std::string text = TEXT_OF(s.arena, root);
  CHECK(text.find("name=X") == std::string::npos);
  CHECK_EQ(static_cast<int>(std::count(text.begin(), text.end(), '\n')), 6);
  CHECK(text.find("ntUnknown") == std::string::npos);
}

// ---- ids that name no node ----------------------------------------------------

void test_bad_ids() {
  Source s("a b");
  NodeId a = s.arena.add_node(NodeKind::Unit, s.tokens[0]);
  NodeId b = s.arena.add_node(NodeKind::Name, s.tokens[1]);
  s.arena.add_child(a, b);
  const NodeId missing = 2;
  const NodeId huge = static_cast<NodeId>(-1);
  CHECK_THROWS_INTERNAL(s.arena.add_child(missing, a));
  CHECK_THROWS_INTERNAL(s.arena.add_child(a, missing));
  CHECK_THROWS_INTERNAL(s.arena.add_child(huge, a));
  CHECK_THROWS_INTERNAL(s.arena.add_child(a, huge));
  CHECK_THROWS_INTERNAL(s.arena.set_attribute(missing, AttributeKey::Name, "x"));
  CHECK_THROWS_INTERNAL(s.arena.set_attribute(huge, AttributeKey::Name, "x"));
  CHECK_THROWS_INTERNAL(s.arena.own_last_child(missing));
  CHECK_THROWS_INTERNAL(s.arena.own_last_child(b));  // b has no children
  CHECK_THROWS_INTERNAL(build_tree(s.arena, missing));
  CHECK_THROWS_INTERNAL(build_tree(s.arena, huge));
  CHECK_THROWS_INTERNAL(s.arena.set_end(missing, 1, 1));
  CHECK_THROWS_INTERNAL(s.arena.set_positions_run(missing, 1, 1, 1));
  CHECK_THROWS_INTERNAL(arena_text(s.arena, missing, "t.pas"));
  // Nothing was changed by the failed calls.
  CHECK_EQ(s.arena.size(), std::size_t{2});
  CHECK_EQ(s.arena.child_count(a), std::size_t{1});
  CHECK(!s.arena.attribute(a, AttributeKey::Name).has_value());
  CHECK_EQ(TEXT_OF(s.arena, a), lines({
                                    "# file_name=t.pas",
                                    "ntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2",
                                    "  ntName line=1 col=3 end_line=1 end_col=4 source_positions=1:3,1:4",
                                }));
}

void test_bad_token_spans() {
  Source s("\xC3\xA9x");  // "é" (two bytes) then "x"
  auto token = [](std::uint64_t start, std::uint64_t end) {
    Token t;
    t.start = start;
    t.end = end;
    t.line = 1;
    t.column = 1;
    t.kind = TokenKind::Identifier;
    return t;
  };
  CHECK_THROWS_INTERNAL(s.arena.add_node(NodeKind::Unit, token(1, 3)));  // starts inside "é"
  CHECK_THROWS_INTERNAL(s.arena.add_node(NodeKind::Unit, token(0, 1)));  // ends inside "é"
  CHECK_THROWS_INTERNAL(s.arena.add_node(NodeKind::Unit, token(0, 9)));  // past the text
  CHECK_THROWS_INTERNAL(s.arena.add_node(NodeKind::Unit, token(2, 1)));  // end before start
  CHECK_THROWS_INTERNAL(s.arena.add_value_node(NodeKind::Unit, token(1, 2), "v"));
  CHECK_EQ(s.arena.size(), std::size_t{0});
  CHECK_EQ(s.arena.add_node(NodeKind::Unit, token(0, 3)), NodeId{0});
}

// ---- Shared subtrees ---------------------------------------------------------

// A subtree attached in several places is kept once and written in full at
// each, at the depth of each place; its measure is taken once and added at
// every place.
void test_shared_subtrees() {
  Source s("a b c d e");
  NodeId r = s.arena.add_node(NodeKind::Unit, s.tokens[0]);
  NodeId a = s.arena.add_node(NodeKind::Field, s.tokens[1]);
  NodeId type = s.arena.add_node(NodeKind::Type, s.tokens[2]);
  NodeId lit = s.arena.add_value_node(NodeKind::Literal, s.tokens[3], "v\\\n");
  NodeId b = s.arena.add_node(NodeKind::Field, s.tokens[4]);
  s.arena.set_attribute(type, AttributeKey::Name, "T\t");
  s.arena.add_child(type, lit);
  s.arena.add_child(r, a);
  s.arena.add_child(a, type);
  s.arena.add_child(r, type);  // the same subtree one level higher
  s.arena.add_child(r, b);
  s.arena.add_child(b, type);
  CHECK(!s.arena.record(a).shared);
  CHECK(s.arena.record(type).shared);
  CHECK(!s.arena.record(lit).shared);
  const std::string type_lines[] = {
      "ntType line=1 col=5 end_line=1 end_col=6 name=T\\t source_positions=1:5,1:6",
      "  ntLiteral line=1 col=7 end_line=1 end_col=8 source_positions=1:7,1:8",
      "    value=v\\\\\\n",
  };
  auto at = [&](std::size_t depth) {
    std::string out;
    for (const std::string& l : type_lines) out += "\n" + std::string(2 * depth, ' ') + l;
    return out;
  };
  const std::string expected =
      "# file_name=t.pas\nntUnit line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2"
      "\n  ntField line=1 col=3 end_line=1 end_col=4 source_positions=1:3,1:4" + at(2) + at(1) +
      "\n  ntField line=1 col=9 end_line=1 end_col=10 source_positions=1:9,1:10" + at(2);
  CHECK_EQ(TEXT_OF(s.arena, r), expected);

  // own_last_child: b gets a copy of the shared type of its own (same record,
  // attributes and children); a change to it leaves the other places alone.
  const std::size_t before = s.arena.size();
  NodeId own = s.arena.own_last_child(b);
  CHECK_EQ(own, before);
  CHECK(s.arena.last_child(b) == std::optional<NodeId>(own));
  CHECK(s.arena.first_child(own) == std::optional<NodeId>(lit));
  CHECK_EQ(TEXT_OF(s.arena, r), expected);
  s.arena.set_attribute(own, AttributeKey::CallingConvention, "cdecl");
  s.arena.set_attribute(own, AttributeKey::Name, "U");
  const std::string changed = TEXT_OF(s.arena, r);
  CHECK(changed.find("name=T\\t") != std::string::npos);
  CHECK_EQ(changed.substr(changed.rfind("ntType")),
           "ntType line=1 col=5 end_line=1 end_col=6 callingconvention=cdecl name=U "
           "source_positions=1:5,1:6\n      ntLiteral line=1 col=7 end_line=1 end_col=8 "
           "source_positions=1:7,1:8\n        value=v\\\\\\n");
  CHECK(!s.arena.attribute(type, AttributeKey::CallingConvention).has_value());

  // Sharing nests: a level that holds its inner level three times, ten
  // levels deep, has 3^10 copies of the innermost node in its text. The
  // measure is exact without walking them, and a text past the limit is
  // refused before anything is written.
  Source d("x");
  NodeId level = d.arena.add_value_node(NodeKind::Name, d.tokens[0], "leaf");
  std::uint64_t copies = 1;
  for (int k = 0; k < 10; ++k) {
    NodeId outer = d.arena.add_node(NodeKind::Type, d.tokens[0]);
    for (int i = 0; i < 3; ++i) d.arena.add_child(outer, level);
    level = outer;
    copies *= 3;
  }
  const std::string deep = TEXT_OF(d.arena, level);
  CHECK_EQ(static_cast<std::uint64_t>(std::count(deep.begin(), deep.end(), '\n')),
           (copies * 3 - 1) / 2 + copies);  // the Type lines, then a value line per leaf
  for (int k = 0; k < 40; ++k) {
    NodeId outer = d.arena.add_node(NodeKind::Type, d.tokens[0]);
    d.arena.add_child(outer, level);
    d.arena.add_child(outer, level);
    level = outer;
  }
  CHECK(measure_tree_text(d.arena, level, "t.pas") > output_limit(1));
  OutputBuffer out;
  bool refused = false;
  try {
    serialize_arena(d.arena, level, "t.pas", out);
  } catch (const OutputTooLarge&) {
    refused = true;
  }
  CHECK(refused);
  CHECK_EQ(out.size(), std::size_t{0});
  // A cycle (never built by the grammar) is an internal fault, not a hang.
  Source c("x y");
  NodeId p1 = c.arena.add_node(NodeKind::Unit, c.tokens[0]);
  NodeId p2 = c.arena.add_node(NodeKind::Unit, c.tokens[1]);
  c.arena.add_child(p1, p2);
  c.arena.add_child(p2, p1);
  CHECK_THROWS_INTERNAL(measure_tree_text(c.arena, p1, "t.pas"));
  CHECK_THROWS_INTERNAL(SyntaxTree::from_arena(c.arena, p1, "t.pas"));
  // The same through a shared node, which packing makes once: met again
  // while its own subtree is still open.
  Source d2("x y");
  NodeId top = d2.arena.add_node(NodeKind::Unit, d2.tokens[0]);
  NodeId sh = d2.arena.add_node(NodeKind::Unit, d2.tokens[1]);
  d2.arena.add_child(top, sh);
  d2.arena.add_child(top, sh);
  d2.arena.add_child(sh, top);
  CHECK_THROWS_INTERNAL(measure_tree_text(d2.arena, top, "t.pas"));
  CHECK_THROWS_INTERNAL(SyntaxTree::from_arena(d2.arena, top, "t.pas"));
}

// ---- build_tree and the two writers -----------------------------------------

void test_build_tree_matches_arena_writer() {
  Source s("unit A; uses B, C in 'c.pas'; end.");
  NodeId root = s.arena.add_node(NodeKind::Unit, s.tokens[0]);
  s.arena.set_attribute(root, AttributeKey::Kind, "unit");
  s.arena.set_attribute(root, AttributeKey::Name, "A");
  NodeId uses = s.arena.add_node(NodeKind::Uses, s.tokens[3]);
  s.arena.add_child(root, uses);
  for (std::size_t i : {4u, 6u}) {
    NodeId u = s.arena.add_node(NodeKind::Unit, s.tokens[i]);
    s.arena.set_attribute(u, AttributeKey::Name, s.tokens[i].text(s.text));
    s.arena.add_child(uses, u);
  }
  NodeId v = s.arena.add_value_node(NodeKind::Literal, s.tokens[8], "c.pas");
  s.arena.add_child(*s.arena.last_child(uses), v);
  NodeId none_positions = s.arena.add_node(NodeKind::Statements, s.tokens[10]);
  s.arena.set_positions(none_positions, std::span<const SourcePosition>());
  s.arena.add_child(root, none_positions);
  s.arena.add_child(root, s.arena.add_node(NodeKind::Unit, end_token()));
  std::string text = TEXT_OF(s.arena, root);
  CHECK_EQ(text, lines({
                     "# file_name=t.pas",
                     "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + columns(1, 1, 5),
                     "  ntUses line=1 col=9 end_line=1 end_col=13 source_positions=" + columns(1, 9, 13),
                     "    ntUnit line=1 col=14 end_line=1 end_col=15 name=B source_positions=1:14,1:15",
                     "    ntUnit line=1 col=17 end_line=1 end_col=18 name=C source_positions=1:17,1:18",
                     "      ntLiteral line=1 col=22 end_line=1 end_col=29 source_positions=" + columns(1, 22, 29),
                     "        value=c.pas",
                     "  ntStatements line=1 col=31 end_line=1 end_col=34",
                     "  ntUnit line=0 col=0 end_line=0 end_col=0 source_positions=0:0",
                 }));
  // Subtrees and single nodes.
  TEXT_OF(s.arena, uses);
  TEXT_OF(s.arena, v);
  // build_tree copies every field.
  Node tree = build_tree(s.arena, root);
  CHECK(tree.kind == NodeKind::Unit);
  CHECK_EQ(tree.children.size(), std::size_t{3});
  CHECK(!tree.has_value);
  if (tree.children.size() == 3) {
    const Node& lit = tree.children[0].children[1].children[0];
    CHECK(lit.has_value);
    CHECK_EQ(lit.value, "c.pas");
    CHECK_EQ(lit.col, 22u);
    CHECK_EQ(lit.end_col, 29u);
    CHECK(tree.children[1].source_positions.empty());
  }
  // The arena is not changed by build_tree.
  CHECK_EQ(s.arena.size(), std::size_t{7});
  CHECK_EQ(arena_text(s.arena, root, "t.pas"), text);
}

// ---- The tree text: nodes built directly --------------------------------------

// A node with the given place, end and source positions (none when empty),
// built in `arena` over the empty text.
NodeId make_node(NodeArena& arena, NodeKind kind, std::uint32_t line, std::uint32_t col,
                 std::uint32_t end_line, std::uint32_t end_col, std::vector<SourcePosition> positions) {
  Token t;
  t.line = line;
  t.column = col;
  NodeId n = arena.add_node(kind, t);
  arena.set_end(n, end_line, end_col);
  arena.set_positions(n, positions);
  return n;
}

std::vector<SourcePosition> run_of(std::uint32_t line, std::uint32_t first, std::uint32_t last) {
  std::vector<SourcePosition> out;
  for (std::uint32_t c = first; c <= last; ++c) out.push_back({line, c});
  return out;
}

void test_writer_examples() {
  const std::string empty;
  // A lone root.
  {
    NodeArena a(empty);
    NodeId root = make_node(a, NodeKind::Unit, 1, 1, 1, 8, run_of(1, 1, 8));
    CHECK_EQ(text_of(a, root, "demo.pas", __LINE__),
             "# file_name=demo.pas\nntUnit line=1 col=1 end_line=1 end_col=8 "
             "source_positions=1:1,1:2,1:3,1:4,1:5,1:6,1:7,1:8");
  }
  // A node at depth 2, then the same node with a value.
  auto depth_two = [&](bool with_value) {
    NodeArena a(empty);
    NodeId root = make_node(a, NodeKind::Unit, 1, 1, 1, 1, {});
    NodeId mid = make_node(a, NodeKind::Statements, 2, 1, 2, 6, {{2, 1}, {2, 6}});
    NodeId id = with_value ? a.add_value_node(NodeKind::Identifier, Token{0, 0, 3, 5}, "a\\b")
                           : a.add_node(NodeKind::Identifier, Token{0, 0, 3, 5});
    a.set_end(id, 3, 8);
    a.set_positions_run(id, 3, 5, 4);
    a.set_attribute(id, AttributeKey::Name, "Foo");
    a.add_child(mid, id);
    a.add_child(root, mid);
    return text_of(a, root, "t.pas", __LINE__);
  };
  CHECK_EQ(depth_two(false), lines({
                                 "# file_name=t.pas",
                                 "ntUnit line=1 col=1 end_line=1 end_col=1",
                                 "  ntStatements line=2 col=1 end_line=2 end_col=6 source_positions=2:1,2:6",
                                 "    ntIdentifier line=3 col=5 end_line=3 end_col=8 name=Foo "
                                 "source_positions=3:5,3:6,3:7,3:8",
                             }));
  CHECK_EQ(depth_two(true), lines({
                                "# file_name=t.pas",
                                "ntUnit line=1 col=1 end_line=1 end_col=1",
                                "  ntStatements line=2 col=1 end_line=2 end_col=6 source_positions=2:1,2:6",
                                "    ntIdentifier line=3 col=5 end_line=3 end_col=8 name=Foo "
                                "source_positions=3:5,3:6,3:7,3:8",
                                "      value=a\\\\b",
                            }));
  // Attributes are written sorted by key name, whatever order they were set in.
  {
    NodeArena a(empty);
    NodeId n = make_node(a, NodeKind::Method, 1, 1, 1, 2, {});
    a.set_attribute(n, AttributeKey::Name, "N");
    a.set_attribute(n, AttributeKey::Kind, "procedure");
    a.set_attribute(n, AttributeKey::Abstract, "true");
    CHECK_EQ(text_of(a, n, "t.pas", __LINE__),
             "# file_name=t.pas\nntMethod line=1 col=1 end_line=1 end_col=2 abstract=true kind=procedure name=N");
  }
  // All 27 keys, set in index order.
  {
    NodeArena a(empty);
    NodeId n = make_node(a, NodeKind::Unknown, 1, 1, 1, 1, {});
    for (std::uint32_t k = 0; k < 27; ++k)
      a.set_attribute(n, static_cast<AttributeKey>(k), std::to_string(k));
    CHECK_EQ(text_of(a, n, "", __LINE__),
             "# file_name=\nntUnknown line=1 col=1 end_line=1 end_col=1 abstract=11 align=13 assembler=19 "
             "callingconvention=6 class=1 deprecated=15 export=21 external=14 far=22 final=17 forwarded=2 "
             "genericargs=24 inline=12 kind=3 methodbinding=8 name=4 near=23 noreturn=25 overload=10 path=7 "
             "reintroduce=9 sealed=18 static=16 type=0 unsafe=20 varargs=26 visibility=5");
  }
  // File names in the header.
  {
    NodeArena a(empty);
    NodeId n = make_node(a, NodeKind::Unit, 1, 1, 1, 1, {{1, 1}});
    const std::string node_line = "\nntUnit line=1 col=1 end_line=1 end_col=1 source_positions=1:1";
    CHECK_EQ(text_of(a, n, "", __LINE__), "# file_name=" + node_line);
    CHECK_EQ(text_of(a, n, "a\tb.pas", __LINE__), "# file_name=a\\tb.pas" + node_line);
    CHECK_EQ(text_of(a, n, "a\nb.pas", __LINE__), "# file_name=a\\nb.pas" + node_line);
    CHECK_EQ(text_of(a, n, "my file = x.pas", __LINE__), "# file_name=my file = x.pas" + node_line);
    CHECK_EQ(text_of(a, n, "C:\\src\\\r.pas", __LINE__), "# file_name=C:\\\\src\\\\\\r.pas" + node_line);
    // A file name far longer than the tree, with and without bytes to escape.
    const std::string long_name(5000, 'n');
    CHECK_EQ(text_of(a, n, long_name, __LINE__), "# file_name=" + long_name + node_line);
    CHECK_EQ(text_of(a, n, std::string(5000, '\\'), __LINE__),
             "# file_name=" + std::string(10000, '\\') + node_line);
  }
  // Values: only backslash, tab, line feed and carriage return change; an
  // empty value still has its line.
  {
    NodeArena a(empty);
    std::string other = "\x01\x0b\x0c\x1b\x7f = 'q' \"d\" \xC3\xA9\xE6\x97\xA5 \xF0\x9F\x98\x80";
    other.push_back('\0');
    NodeId root = a.add_value_node(NodeKind::Literal, Token{0, 0, 1, 1}, "x\r\ny\\z\t");
    a.set_end(root, 1, 3);
    a.set_positions(root, std::vector<SourcePosition>{});
    NodeId blank = a.add_value_node(NodeKind::Name, Token{0, 0, 1, 1}, "");
    NodeId kept = a.add_value_node(NodeKind::Name, Token{0, 0, 1, 2}, other);
    a.add_child(root, blank);
    a.add_child(root, kept);
    CHECK_EQ(text_of(a, root, "t.pas", __LINE__), lines({
                                                      "# file_name=t.pas",
                                                      "ntLiteral line=1 col=1 end_line=1 end_col=3",
                                                      "  value=x\\r\\ny\\\\z\\t",
                                                      "  ntName line=1 col=1 end_line=1 end_col=1 source_positions=1:1",
                                                      "    value=",
                                                      "  ntName line=1 col=2 end_line=1 end_col=2 source_positions=1:2",
                                                      "    value=" + other,
                                                  }));
  }
  // Numbers: zero, and the largest 32-bit value, in plain decimal.
  {
    NodeArena a(empty);
    NodeId n = make_node(a, NodeKind::Unit, 0, 0, 4294967295u, 10, {{0, 0}, {4294967295u, 100}});
    a.set_attribute(n, AttributeKey::Kind, "");
    CHECK_EQ(text_of(a, n, "t.pas", __LINE__), "# file_name=t.pas\nntUnit line=0 col=0 end_line=4294967295 end_col=10 "
                                               "kind= source_positions=0:0,4294967295:100");
    // Runs of columns across digit counts.
    NodeId m = make_node(a, NodeKind::Name, 7, 1, 7, 1, {});
    a.set_positions_run(m, 7, 8, 4);
    NodeId k = make_node(a, NodeKind::Name, 123456, 1, 1, 1, {});
    a.set_positions_run(k, 123456, 998, 1004);
    a.add_child(n, m);
    a.add_child(n, k);
    const std::string text = text_of(a, n, "t.pas", __LINE__);
    CHECK(text.find("source_positions=7:8,7:9,7:10,7:11\n") != std::string::npos);
    CHECK(text.find("123456:999,123456:1000,123456:1001,") != std::string::npos);
    CHECK(text.ends_with(",123456:2001"));
  }
  // Children in order; a value line comes before the children; siblings
  // return to their depth.
  {
    NodeArena a(empty);
    NodeId root = make_node(a, NodeKind::Unit, 1, 1, 1, 2, {});
    NodeId i = a.add_value_node(NodeKind::Interface, Token{0, 0, 1, 2}, "va");
    a.set_end(i, 1, 3);
    a.set_positions(i, std::vector<SourcePosition>{});
    NodeId uses = make_node(a, NodeKind::Uses, 1, 3, 1, 4, {});
    a.add_child(uses, make_node(a, NodeKind::Unit, 1, 4, 1, 5, {}));
    a.add_child(i, uses);
    a.add_child(root, i);
    a.add_child(root, make_node(a, NodeKind::Implementation, 1, 5, 1, 6, {}));
    CHECK_EQ(text_of(a, root, "t.pas", __LINE__), lines({
                                                      "# file_name=t.pas",
                                                      "ntUnit line=1 col=1 end_line=1 end_col=2",
                                                      "  ntInterface line=1 col=2 end_line=1 end_col=3",
                                                      "    value=va",
                                                      "    ntUses line=1 col=3 end_line=1 end_col=4",
                                                      "      ntUnit line=1 col=4 end_line=1 end_col=5",
                                                      "  ntImplementation line=1 col=5 end_line=1 end_col=6",
                                                  }));
  }
  // Every kind name reaches the text with its "nt" prefix.
  {
    NodeArena a(empty);
    NodeId n = make_node(a, NodeKind::LHS, 1, 1, 1, 1, {});
    NodeId m = make_node(a, NodeKind::DownTo, 1, 1, 1, 1, {});
    CHECK_EQ(text_of(a, n, "f", __LINE__), "# file_name=f\nntLHS line=1 col=1 end_line=1 end_col=1");
    CHECK_EQ(text_of(a, m, "f", __LINE__), "# file_name=f\nntDownTo line=1 col=1 end_line=1 end_col=1");
  }
}

// ---- The tree cursor -------------------------------------------------------------

// The node lines of a tree text, each with its value line: the text each
// place writes, with the line feed before it.
std::vector<std::string> place_texts(std::string_view text) {
  std::vector<std::string> out;
  std::size_t at = text.find('\n');
  while (at != std::string_view::npos) {
    const std::size_t next = text.find('\n', at + 1);
    const std::string_view line = text.substr(at, next == std::string_view::npos ? next : next - at);
    const std::size_t indent = line.find_first_not_of(' ', 1);
    if (indent != std::string_view::npos && line.substr(indent).starts_with("value=") && !out.empty())
      out.back() += line;
    else
      out.emplace_back(line);
    at = next;
  }
  return out;
}

// The depth of a node line: its indentation over two.
std::size_t depth_of(std::string_view place_text) {
  return (place_text.find_first_not_of(' ', 1) - 1) / 2;
}

// The kind name of a node line.
std::string_view kind_of(std::string_view place_text) {
  place_text.remove_prefix(place_text.find_first_not_of(' ', 1));
  return place_text.substr(0, place_text.find(' '));
}

// A walk of a finished tree, and of the arena it came from, in document
// order: every place once, with its node line's kind and depth, places
// numbered in order; leaving each subtree once, after its descendants; and
// every place found again by its number.
void test_cursor_walks() {
  for (std::string_view text : {"", "var a, b, c: array of record x, y: Integer; end;",
                                "unit U; interface type T = class procedure P(a: Integer); end; "
                                "implementation procedure T.P(a: Integer); begin if a > 0 then P(a - 1); end; end."}) {
    Parser parser(text);
    const NodeId root = parse_tree(parser);
    const std::unique_ptr<SyntaxTree> tree = SyntaxTree::from_arena(parser.arena, root, "c.pas");
    const std::vector<std::string> places = place_texts(parse_to_serialized(text, "c.pas"));
    CHECK_EQ(tree->place_count(), std::uint64_t{places.size()});

    const PlacedTreeShape shape(*tree);
    TreeCursor<PlacedTreeShape> cursor(shape);
    CHECK(!cursor.goto_next_sibling());
    CHECK(!cursor.goto_parent());
    std::uint64_t met = 0, left = 0;
    bool in_order = true;
    std::vector<std::uint64_t> open;  // the places of the path, to check the leaving order
    const auto leave = [&](const TreeCursor<PlacedTreeShape>& c) {
      ++left;
      in_order = in_order && !open.empty() && open.back() == c.place() &&
                 c.depth() + 1 == open.size();
      if (!open.empty()) open.pop_back();
    };
    do {
      const std::string& expected = met < places.size() ? places[met] : std::string("\n?");
      in_order = in_order && cursor.place() == met && cursor.depth() == depth_of(expected) &&
                 kind_of(expected) == node_kind_name(tree->node(cursor.node()).kind);
      open.push_back(cursor.place());
      ++met;
    } while (cursor.goto_next(true, leave));
    CHECK(in_order);
    CHECK_EQ(met, std::uint64_t{places.size()});
    CHECK_EQ(left, met);
    CHECK_EQ(cursor.depth(), std::size_t{0});

    // The arena's shape meets the same kinds in the same order.
    const ArenaShape arena_shape(parser.arena);
    TreeCursor<ArenaShape> arena_cursor(arena_shape, static_cast<std::uint32_t>(root));
    std::uint64_t arena_met = 0;
    bool same = true;
    do {
      same = same && arena_met < places.size() &&
             kind_of(places[arena_met]) == node_kind_name(parser.arena.kind(arena_cursor.node())) &&
             arena_cursor.depth() == depth_of(places[arena_met]);
      ++arena_met;
    } while (arena_cursor.goto_next());
    CHECK(same);
    CHECK_EQ(arena_met, met);

    // Every place by its number: the path down to it is the walk's.
    TreeCursor<PlacedTreeShape> walk(shape);
    bool found = true;
    std::uint64_t place = 0;
    do {
      found = found && cursor.goto_descendant(place) && cursor.node() == walk.node() &&
              cursor.depth() == walk.depth() && cursor.place() == place;
      ++place;
    } while (walk.goto_next());
    CHECK(found);
    CHECK(!cursor.goto_descendant(tree->place_count()));
    CHECK_EQ(cursor.depth(), std::size_t{0});

    // A cursor rooted at a subtree walks that subtree alone.
    if (cursor.goto_descendant(1)) {
      TreeCursor<PlacedTreeShape> sub(shape, cursor.node(), cursor.place());
      std::uint64_t n = 0;
      do ++n;
      while (sub.goto_next());
      CHECK_EQ(n, tree->places(cursor.node()));
      CHECK_EQ(sub.node(), cursor.node());
    }
  }
  // Children that form a cycle end the walk with an internal fault.
  {
    Source s("a b");
    NodeId a = s.arena.add_node(NodeKind::Dot, s.tokens[0]);
    NodeId b = s.arena.add_node(NodeKind::Dot, s.tokens[1]);
    s.arena.add_child(a, b);
    s.arena.add_child(b, a);
    const ArenaShape shape(s.arena);
    TreeCursor<ArenaShape> cursor(shape, static_cast<std::uint32_t>(a));
    CHECK_THROWS_INTERNAL([&] {
      while (cursor.goto_next()) {
      }
      return 0;
    }());
  }
}

// The two sizes the writer makes room by, on lines at the edges of their
// pieces: `exact` is every place's own text, `longest` never less. The
// sizes are checked against the text itself, so that a size short by a byte
// fails here, where a write past an exact block would fail only under
// AddressSanitizer (other builds give the block room to spare).
void test_line_room() {
  const std::string empty;
  const std::uint32_t top = 4294967295u;
  NodeArena a(empty);
  NodeId root = make_node(a, NodeKind::Unit, top, top, top, top, {{top, top}, {top, 0}, {1, top}});
  for (std::uint32_t k = 0; k < attribute_key_count; ++k)
    a.set_attribute(root, static_cast<AttributeKey>(k), k % 2 ? "\\\t\n\r" : std::string(k, 'x'));
  NodeId parent = root;
  // A chain deeper than one fixed-size copy of indentation.
  for (int level = 0; level < 40; ++level) {
    NodeId n = level % 3 == 0 ? a.add_value_node(NodeKind::Literal, Token{0, 0, 9, 9},
                                                 level % 2 ? "" : "a\\b\tc")
                              : make_node(a, NodeKind::Statements, level, 1, level, 2, {});
    a.add_child(parent, n);
    parent = n;
  }
  // Runs of columns across digit counts, at every line length.
  struct Run {
    std::uint32_t line, col, count;
  };
  for (const Run r : {Run{1, 1, 9}, Run{9, 995, 10}, Run{99, 9995, 10}, Run{999999, 999990, 20},
                      Run{top, top - 4, 5}, Run{top, 4000000000u, 200}, Run{top, 1, 1},
                      Run{7, 1, 2000}}) {
    NodeId n = make_node(a, NodeKind::Name, r.line, r.col, r.line, r.col + 1, {});
    a.set_positions_run(n, r.line, r.col, r.count);
    a.add_child(parent, n);
  }
  NodeId listed = make_node(a, NodeKind::Name, 1, 1, 1, 1, {{9, 9}, {10, 10}, {top, top}, {0, 0}});
  a.add_child(root, listed);
  // Long lists and runs of the longest numbers: a size short by a byte per
  // position is short by more than any other piece can make up for.
  a.add_child(root, make_node(a, NodeKind::Name, top, top, top, top,
                              std::vector<SourcePosition>(200, SourcePosition{top, top})));
  const std::unique_ptr<SyntaxTree> tree = SyntaxTree::from_arena(a, root, "r.pas");
  OutputBuffer out;
  serialize_tree(*tree, out);
  const std::vector<std::string> places = place_texts(out.view());
  const PlacedTreeShape shape(*tree);
  TreeCursor<PlacedTreeShape> cursor(shape);
  std::uint64_t checked = 0;
  do {
    const LineRoom room = line_room(*tree, cursor.node(), cursor.depth());
    const std::uint64_t written = cursor.place() < places.size() ? places[cursor.place()].size() : 0;
    report_equal(room.exact, written, "line_room(...).exact == bytes of the place", __LINE__);
    report(room.longest >= room.exact, "line_room(...).longest >= exact", __LINE__,
           "  place " + std::to_string(cursor.place()));
    ++checked;
  } while (cursor.goto_next());
  CHECK_EQ(checked, std::uint64_t{places.size()});
  CHECK_EQ(std::uint64_t{out.size()}, measure_tree_text(*tree));
}

// ---- Parser state and cursor ------------------------------------------------

// Moves the cursor to `index` with the cursor's verbs: over a run up to the
// end of the list, then one skipped step at a time beyond it.
void move_to(Parser& p, std::size_t index) {
  consume(p, Run{p.position(), std::min(index, p.tokens.size())});
  while (p.position() < index) skip_token(p);
}

void test_parser_construction() {
  std::string src = "a {c} (*$D*) // x\n  b {$I x}(* y *)";
  Parser p(src);
  CHECK_EQ(p.tokens.size(), std::size_t{3});
  if (p.tokens.size() == 3) {
    CHECK_EQ(p.text(p.tokens[0]), "a");
    CHECK_EQ(p.text(p.tokens[1]), "b");
    CHECK_EQ(p.tokens[1].line, 2u);
    CHECK_EQ(p.tokens[1].column, 3u);
    CHECK(p.tokens[2].kind == TokenKind::Eof);
    CHECK_EQ(p.tokens[2].start, src.size());
  }
  CHECK_EQ(p.position(), std::size_t{0});
  CHECK_EQ(p.arena.size(), std::size_t{0});
  std::string empty;
  Parser q(empty);
  CHECK_EQ(q.tokens.size(), std::size_t{1});
  CHECK(q.tokens[0].kind == TokenKind::Eof);
}

void test_end_token() {
  const Token& t = end_token();
  CHECK(&t == &end_token());
  CHECK_EQ(t.start, std::uint64_t{0});
  CHECK_EQ(t.end, std::uint64_t{0});
  CHECK_EQ(t.line, 0u);
  CHECK_EQ(t.column, 0u);
  CHECK(t.kind == TokenKind::Eof);
  CHECK(t.text("abc").empty());
}

void test_accept() {
  for (std::string word : {"BEGIN", "Begin", "begin", "&begin", "&BeGiN"}) {
    std::string src = word + " x";
    Parser p(src);
    report(accept(p, Word::Begin), ("accept(begin) on " + word).c_str(), __LINE__);
    CHECK_EQ(p.position(), std::size_t{1});
  }
  {
    // Full Unicode lower-casing: the Kelvin sign lowers to "k".
    std::string src = "PAC\xE2\x84\xAA" "ED";
    Parser p(src);
    CHECK(accept(p, Word::Packed));
    CHECK_EQ(p.position(), std::size_t{1});
  }
  for (std::string src : {"begins", "'begin'", "beg", "x begin", "", "{begin}", "#1"}) {
    Parser p(src);
    report(!accept(p, Word::Begin), ("no accept(begin) on " + src).c_str(), __LINE__);
    CHECK_EQ(p.position(), std::size_t{0});
  }
  {
    std::string src = "a := b";
    Parser p(src);
    CHECK(peek_is(p, 1, Word::Assign));
    CHECK(!peek_is(p, 1, Word::Colon));
    CHECK(!peek_is(p, 1, Word::Equal));
    CHECK(!peek_is(p, static_cast<std::size_t>(-1), Word::Assign));  // no wrap-around
    move_to(p, 3);
    // The end-of-file token is no word; past the end nothing matches.
    CHECK(!accept(p, Word::Semicolon));
    CHECK_EQ(p.position(), std::size_t{3});
    next_token(p);
    CHECK(!accept(p, Word::Semicolon));
    skip_past(p, Word::Semicolon, DiagnosticKind::Skipped);
    CHECK_EQ(p.position(), std::size_t{4});
    move_to(p, 7);  // beyond the end
    skip_past(p, Word::Semicolon, DiagnosticKind::Skipped);
    CHECK_EQ(p.position(), std::size_t{7});
    CHECK(&peek(p) == &end_token());
  }
  {
    // Exact spelling, for the places that tell "end" from "End".
    std::string src = "end End &end";
    Parser p(src);
    CHECK(written_as(p, p.tokens[0], Word::End));
    CHECK(!written_as(p, p.tokens[1], Word::End));
    CHECK(written_as(p, p.tokens[2], Word::End));
    CHECK(!written_as(p, p.tokens[0], Word::Begin));
  }
}

void test_skip_past_and_peek() {
  {
    std::string src = "a b c";
    Parser p(src);
    skip_past(p, Word::Semicolon, DiagnosticKind::SkippedInList);
    CHECK_EQ(p.position(), p.tokens.size());
    // Every token passed over is noted, the end-of-file token excepted, in
    // one diagnostic.
    CHECK(p.skipped == std::vector<std::uint32_t>({0, 1, 2}));
    CHECK_EQ(p.diagnostics.size(), std::size_t{1});
    CHECK_EQ(p.diagnostics[0].tokens, 3u);
    const Token& t = peek(p);
    CHECK(&t == &end_token());
    CHECK_EQ(t.line, 0u);
    CHECK_EQ(t.column, 0u);
    CHECK(t.kind == TokenKind::Eof);
    CHECK(t.word == Word::None);
  }
  {
    std::string src = "a OF c Of";
    Parser p(src);
    skip_past(p, Word::Of, DiagnosticKind::Skipped);
    CHECK_EQ(p.position(), std::size_t{2});
    skip_past(p, Word::Of, DiagnosticKind::Skipped);
    CHECK_EQ(p.position(), std::size_t{4});
    CHECK_EQ(p.text(peek(p)), "");
    // The words themselves are taken, not noted.
    CHECK(p.skipped == std::vector<std::uint32_t>({0, 2}));
    Parser q(src);
    move_to(q, 1);
    skip_past(q, Word::Of, DiagnosticKind::Skipped);  // the current token itself
    CHECK_EQ(q.position(), std::size_t{2});
    CHECK_EQ(peek(q).column, 6u);
    CHECK(q.skipped.empty());
  }
  {
    std::string src = "x y";
    Parser p(src);
    const Token& t = next_token(p);
    CHECK(&t == &p.tokens[0]);
    CHECK_EQ(p.position(), std::size_t{1});
    CHECK_EQ(t.text(src), "x");
    CHECK_EQ(t.column, 1u);
    next_token(p);
    Token eof = next_token(p);
    CHECK(eof.kind == TokenKind::Eof);
    CHECK_EQ(eof.column, 4u);
    CHECK_THROWS_INTERNAL(next_token(p));
    CHECK_EQ(p.position(), std::size_t{3});
  }
}

void test_take_name() {
  {
    std::string src = "'s' x";
    Parser p(src);
    CHECK_EQ(take_name(p), "");
    CHECK_EQ(p.position(), std::size_t{0});
  }
  {
    std::string src = "&begin x";
    Parser p(src);
    CHECK_EQ(take_name(p), "begin");
    CHECK_EQ(p.position(), std::size_t{1});
    Parser q(src);
    CHECK_EQ(parse_dotted_name(q), "&begin");
    CHECK_EQ(q.position(), std::size_t{1});
  }
  {
    std::string src = "FooBar begin 1 ;";
    Parser p(src);
    CHECK_EQ(take_name(p), "FooBar");
    CHECK_EQ(take_name(p), "begin");
    CHECK_EQ(take_name(p), "");  // a number
    CHECK_EQ(p.position(), std::size_t{2});
    move_to(p, 4);
    CHECK_EQ(take_name(p), "");  // the end-of-file token
    move_to(p, 5);
    CHECK_EQ(take_name(p), "");
    CHECK_EQ(p.position(), std::size_t{5});
  }
}

void test_parse_dotted_name() {
  struct Case {
    const char* source;
    const char* name;
    std::size_t position;
    const char* current;
  };
  const Case cases[] = {
      {"System . SysUtils ;", "System.SysUtils", 3, ";"},
      {"&type . X", "&type.X", 3, ""},
      {"A . 1", "A", 2, "1"},
      {"1 . A", "", 0, "1"},
      {"A.(", "A", 2, "("},
      {"A.B.C", "A.B.C", 5, ""},
      {"a.&End.c;", "a.&End.c", 5, ";"},
      {"&Begin", "&Begin", 1, ""},
      {"Alpha Beta", "Alpha", 1, "Beta"},
      {"'x'.A", "", 0, "'x'"},
      {"begin.end", "begin.end", 3, ""},
  };
  for (const Case& c : cases) {
    std::string src = c.source;
    Parser p(src);
    std::string name = parse_dotted_name(p);
    report_equal(name, std::string(c.name), (std::string("parse_dotted_name over ") + c.source).c_str(), __LINE__);
    report_equal(p.position(), c.position, (std::string("position after ") + c.source).c_str(), __LINE__);
    report_equal(p.text(peek(p)), std::string_view(c.current), (std::string("current after ") + c.source).c_str(),
                 __LINE__);
  }
  {
    std::string src = "A";
    Parser p(src);
    move_to(p, 9);
    CHECK_EQ(parse_dotted_name(p), "");
    CHECK_EQ(p.position(), std::size_t{9});
  }
}

void test_name_text() {
  std::string src = "&Type Type &\xE2\x84\xAAind";
  Parser p(src);
  CHECK_EQ(name_text(p, p.tokens[0]), "&Type");
  CHECK_EQ(name_text(p, p.tokens[1]), "Type");
  CHECK_EQ(name_text(p, p.tokens[2]), "&\xE2\x84\xAAind");
  CHECK_EQ(name_text(p, p.tokens[3]), "");  // end of file
}

void test_scan_until() {
  auto run_of_source = [](const std::string& src, const WordSet& stops,
                          std::size_t start = 0) {
    Parser p(src);
    move_to(p, start);
    Run r = scan_until(p, stops);
    bool unmoved = p.position() == start;
    return std::make_tuple(r.begin, r.end, unmoved);
  };
  using T = std::tuple<std::size_t, std::size_t, bool>;
  // TList < Integer > ; : the four tokens before ";".
  CHECK(run_of_source("TList < Integer > ;", {Word::Semicolon}) == T(0, 4, true));
  // a < b ; c : the "<" is never closed; the run takes everything, the
  // end-of-file token included.
  CHECK(run_of_source("a < b ; c", {Word::Semicolon}) == T(0, 6, true));
  // F ( 1 , 2 ) , 3 with "," and ")".
  CHECK(run_of_source("F ( 1 , 2 ) , 3", {Word::Comma, Word::CloseRound}) == T(0, 6, true));
  CHECK(run_of_source("1 ) ;", {Word::Comma, Word::CloseRound}) == T(0, 1, true));
  // A closer that has just closed a level is not a stop word.
  CHECK(run_of_source("A < B > C", {Word::Greater}) == T(0, 6, true));
  CHECK(run_of_source("A > B", {Word::Greater}) == T(0, 1, true));
  // Closers match any opener; a closer at depth 0 leaves the depth at 0.
  CHECK(run_of_source("( ] ; )", {Word::Semicolon}) == T(0, 2, true));
  CHECK(run_of_source(") ) x ;", {Word::Semicolon}) == T(0, 3, true));
  // Two-character symbols do not count as brackets.
  CHECK(run_of_source("a <= b ; c", {Word::Semicolon}) == T(0, 3, true));
  // From the current position; a stop word right there gives an empty run.
  CHECK(run_of_source("a ; b ; c", {Word::Semicolon}, 2) == T(2, 3, true));
  CHECK(run_of_source("a ; b", {Word::Semicolon}, 1) == T(1, 1, true));
  {
    // Past the end: an empty run, and the position stays.
    auto [b, e, unmoved] = run_of_source("a", {Word::Semicolon}, 5);
    CHECK_EQ(e - b, std::size_t{0});
    CHECK(unmoved);
  }
  // Stop words are words: any case, the Kelvin sign folded, the '&' of an
  // escaped word left out.
  CHECK(run_of_source("x PAC\xE2\x84\xAA" "ED packed y", {Word::Packed}) == T(0, 1, true));
  CHECK(run_of_source("x END y", {Word::End}) == T(0, 1, true));
  CHECK(run_of_source("x y &End", {Word::End}) == T(0, 2, true));
  CHECK(run_of_source("x 'end' y", {Word::End}) == T(0, 4, true));
}

// Each row of the bracket rules, on the inputs that tell it from the others.
void test_bracket_rules() {
  struct Case {
    const char* source;
    Brackets rule;
    std::size_t start;
    std::size_t end;  // the end of the scan to ";" or ","
  };
  const Case cases[] = {
      {"( ; ) ;", Brackets::Flat, 0, 1},
      {"a < b ; c", Brackets::Nested, 0, 6},  // an angle opens a level, never closed
      {"( ] ; )", Brackets::Nested, 0, 2},    // one depth: "]" closes the "("
      {"a < b ; c", Brackets::Header, 0, 3},
      {"( ] ; )", Brackets::Header, 0, 2},
      {"( ] , ) , x", Brackets::Groups, 0, 4},    // a depth per shape
      {"a < b , c > , d", Brackets::Groups, 0, 6},
      {"( , x", Brackets::Groups, 0, 4},          // an unclosed "(" still opens a level
      {"[ ( ] , x", Brackets::Groups, 0, 6},      // "(" never closed inside its "["
      {"( , x", Brackets::Balanced, 0, 1},        // an unpartnered "(" is a plain token
      {"a < b , c", Brackets::Balanced, 0, 3},
      {"( ] , ) , x", Brackets::Balanced, 0, 4},
      {"A < B < C > , > .", Brackets::TypeArgs, 2, 5},  // stops with one level open
  };
  for (const Case& c : cases) {
    std::string src = c.source;
    Parser p(src);
    move_to(p, c.start);
    const Run r = scan_until(p, {Word::Semicolon, Word::Comma, Word::Greater}, c.rule);
    report_equal(r.end, c.end, (std::string("scan over ") + c.source).c_str(), __LINE__);
  }
}

// The scans that step over bracket pairs by the index, and the index of type
// arguments, against plain counts token by token, on random runs of
// brackets, commas and words.
void test_scans_against_plain_counts() {
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  static const char* const pieces[] = {"(", ")", "[", "]", "<", ">", ",", "a"};
  int mismatches = 0;
  std::string first_mismatch;
  auto mismatch = [&](const std::string& src, const char* what, std::size_t at) {
    if (mismatches++ == 0) first_mismatch = std::string(what) + " from " + std::to_string(at) + " in " + src;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string src;
    for (std::uint32_t k = 0, n = next(24); k < n; ++k) src += std::string(pieces[next(8)]) + " ";
    Parser p(src);
    const std::size_t n = p.tokens.size();
    const auto word = [&p](std::size_t i) { return p.tokens[i].word; };
    // The partner of an opener: the first closer of its shape that brings
    // the count of that shape, started at 1, back to 0.
    const auto partner = [&](std::size_t i) {
      const Word open = word(i), close = open == Word::OpenRound ? Word::CloseRound : Word::CloseSquare;
      for (std::size_t j = i + 1, depth = 1; j < n; ++j) {
        depth += word(j) == open;
        if (word(j) == close && --depth == 0) return j;
      }
      return std::size_t{no_bracket_partner};
    };
    for (std::size_t i = 0; i < n; ++i) {
      if (word(i) != Word::OpenRound && word(i) != Word::OpenSquare) continue;
      if (bracket_partner(p, i) != partner(i)) mismatch(src, "partner", i);
    }
    const auto comma = [](const Token& t) { return t.word == Word::Comma; };
    for (std::size_t from = 0; from < n; ++from) {
      const std::size_t end = from + next(static_cast<std::uint32_t>(n - from) + 1);
      // Groups: a depth per shape, moved by every token.
      std::size_t groups = end;
      long round_depth = 0, square_depth = 0, angle_depth = 0;
      for (std::size_t i = from; i < end; ++i) {
        if (round_depth == 0 && square_depth == 0 && angle_depth == 0 && word(i) == Word::Comma) {
          groups = i;
          break;
        }
        switch (word(i)) {
          case Word::OpenRound: ++round_depth; break;
          case Word::OpenSquare: ++square_depth; break;
          case Word::Less: ++angle_depth; break;
          case Word::CloseRound: round_depth -= round_depth > 0; break;
          case Word::CloseSquare: square_depth -= square_depth > 0; break;
          case Word::Greater: angle_depth -= angle_depth > 0; break;
          default: break;
        }
      }
      if (scan_run<Brackets::Groups>(p, from, end, comma) != groups) mismatch(src, "groups", from);
      // Balanced: a pair whose partner lies before the end is passed whole.
      std::size_t balanced = from;
      while (balanced < end && word(balanced) != Word::Comma) {
        const bool opener = word(balanced) == Word::OpenRound || word(balanced) == Word::OpenSquare;
        const std::size_t j = opener ? partner(balanced) : no_bracket_partner;
        balanced = j < end ? j + 1 : balanced + 1;
      }
      if (scan_run<Brackets::Balanced>(p, from, end, comma) != std::min(balanced, end))
        mismatch(src, "balanced", from);
      if (word(from) == Word::Less &&
          type_arguments_close(p, from) !=
              scan_run<Brackets::TypeArgs>(p, from + 1, n, [](const Token& t) { return t.word == Word::Greater; }))
        mismatch(src, "type arguments", from);
    }
  }
  report(mismatches == 0, "indexed scans agree with plain counts", __LINE__, first_mismatch);
}

// Every token passed over is noted once, in `skipped` and in one diagnostic
// of its kind; loops do not spin; a reading given up leaves no note.
void test_recovery_verbs() {
  {
    // ";", the "." after "end" and the end-of-file token are no notes.
    std::string src = "x ; end . y";
    Parser p(src);
    for (int k = 0; k < 6; ++k) skip_token(p, DiagnosticKind::SkippedInUnit);
    CHECK(p.skipped == std::vector<std::uint32_t>({0, 2, 4}));
    CHECK_EQ(p.diagnostics.size(), std::size_t{3});
    CHECK_EQ(p.position(), std::size_t{6});
  }
  {
    // Neighbours of one kind make one diagnostic, up to the end of the last.
    std::string src = "a bb\n  c d";
    Parser p(src);
    skip_token(p, DiagnosticKind::SkippedInType);
    skip_token(p, DiagnosticKind::SkippedInType);
    skip_token(p, DiagnosticKind::SkippedInType);
    skip_token(p, DiagnosticKind::SkippedInList);
    CHECK_EQ(p.diagnostics.size(), std::size_t{2});
    const Diagnostic& d = p.diagnostics[0];
    CHECK(d.kind == DiagnosticKind::SkippedInType);
    CHECK_EQ(d.tokens, 3u);
    CHECK_EQ(d.first_token, 0u);
    CHECK((std::make_tuple(d.line, d.col, d.end_line, d.end_col) == std::make_tuple(1u, 1u, 2u, 4u)));
    CHECK_EQ(p.diagnostics[1].message(), std::string("tokens that start no item of the list"));
  }
  {
    // By the default rule a partnered bracket is passed whole; by Flat not.
    std::string src = "f ( a ; b ) ; c";
    Parser p(src);
    CHECK_EQ(skip_until(p, {Word::Semicolon}, DiagnosticKind::Skipped), std::size_t{6});
    CHECK_EQ(p.text(peek(p)), ";");
    Parser q(src);
    CHECK_EQ(skip_until(q, {Word::Semicolon}, DiagnosticKind::Skipped, Brackets::Flat), std::size_t{3});
    CHECK_EQ(q.skipped.size(), std::size_t{3});
    // Up to the end-of-file token, which stays, also inside brackets.
    Parser r(src);
    CHECK_EQ(skip_until(r, {Word::Colon}, DiagnosticKind::Skipped), std::size_t{8});
    CHECK(peek(r).kind == TokenKind::Eof);
    std::string open = "f ( a < b";
    Parser o(open);
    CHECK_EQ(skip_until(o, {Word::Semicolon}, DiagnosticKind::Skipped, Brackets::Nested), std::size_t{5});
    CHECK(peek(o).kind == TokenKind::Eof);
    CHECK_EQ(skip_until(o, {Word::Semicolon}, DiagnosticKind::Skipped), std::size_t{0});
  }
  {
    // A pass that takes nothing costs one noted token.
    std::string src = "a b ;";
    Parser p(src);
    int passes = 0;
    for (Progress pass(p, DiagnosticKind::SkippedInStatement); pass.next();) {
      ++passes;
      if (at(p, Word::Semicolon)) next_token(p);
    }
    CHECK_EQ(passes, 4);  // a, b, ";" taken by the pass, the end-of-file token
    CHECK(p.skipped == std::vector<std::uint32_t>({0, 1}));
  }
  {
    // A reading given up goes back, its notes dropped, also those that
    // joined a diagnostic made before it.
    std::string src = "a b c d";
    Parser p(src);
    skip_token(p, DiagnosticKind::Skipped);
    {
      Tentative t(p);
      skip_token(p, DiagnosticKind::Skipped);
      skip_token(p, DiagnosticKind::SkippedInType);
      CHECK_EQ(p.diagnostics.size(), std::size_t{2});
    }
    CHECK_EQ(p.position(), std::size_t{1});
    CHECK(p.skipped == std::vector<std::uint32_t>({0}));
    CHECK_EQ(p.diagnostics.size(), std::size_t{1});
    CHECK_EQ(p.diagnostics[0].tokens, 1u);
    CHECK_EQ(p.diagnostics[0].end_col, 2u);
    {
      Tentative t(p);
      next_token(p);
      t.commit();
    }
    CHECK_EQ(p.position(), std::size_t{2});
  }
}

void test_join_and_positions() {
  auto joined = [](const std::string& src, std::size_t begin, std::size_t end) {
    Parser p(src);
    Run r{begin, end};
    return std::make_pair(join_token_texts(p, r), positions_text(positions_of(p, r)));
  };
  using P = std::pair<std::string, std::string>;
  {
    auto [text, positions] = joined("array of Integer", 0, 3);
    CHECK_EQ(text, "array of Integer");
    CHECK_EQ(positions, columns(1, 1, 17));
    std::string src = "array of Integer";
    Parser p(src);
    CHECK_EQ(positions_of(p, Run{0, 3}).size(), std::size_t{17});
  }
  // The spaces lie one column before the next token.
  CHECK(joined("array   of\n  Integer", 0, 3) ==
        P("array of Integer", columns(1, 1, 5) + ",1:8,1:9,1:10,2:2," + columns(2, 3, 10)));
  CHECK(joined("TList < Integer >", 0, 4) ==
        P("TList<Integer>", columns(1, 1, 5) + ",1:7," + columns(1, 9, 15) + ",1:17,1:18"));
  CHECK(joined("1 .. 10", 0, 3) == P("1..10", "1:1,1:3,1:4,1:6,1:7,1:8"));
  CHECK(joined("a + b", 0, 3) == P("a+b", "1:1,1:3,1:5,1:6"));
  CHECK(joined("x 1", 0, 2) == P("x 1", "1:1,1:2,1:3,1:4"));
  CHECK(joined("'s' x", 0, 2) == P("'s'x", "1:1,1:2,1:3,1:5,1:6"));
  // A space before a token in column 1 stays in column 1.
  CHECK(joined("a\nb", 0, 2) == P("a b", "1:1,2:1,2:1,2:2"));
  // An escaped word: its text without the '&', from the token's column.
  CHECK(joined("&begin x", 0, 2) == P("begin x", columns(1, 1, 5) + ",1:7,1:8,1:9"));
  // The last token holds line feeds: the end follows them.
  CHECK(joined("x '''\nab\ncd'''", 0, 2) == P("x'''\nab\ncd'''", "1:1," + columns(1, 3, 14) + ",3:6"));
  // An empty run.
  CHECK(joined("a b", 1, 1) == P("", ""));
  // A run that is not at the start.
  CHECK(joined("a b c", 1, 3) == P("b c", "1:3,1:4,1:5,1:6"));
}

void test_unquote() {
  const std::pair<const char*, const char*> cases[] = {
      {"'a''b'", "a'b"}, {"#13", "#13"},     {"'It''s'", "It's"}, {"''", ""},     {"'", "'"},
      {"'abc", "'abc"},  {"abc'", "abc'"},   {"'''", "'"},        {"''''", "'"},  {"'a'''", "a'"},
      {"", ""},          {"'x''''y'", "x''y"}, {"a''b", "a'b"},    {"'\xC3\xA9'", "\xC3\xA9"},
  };
  for (auto [in, out] : cases)
    report_equal(unquote(in), std::string(out), (std::string("unquote ") + in).c_str(), __LINE__);
}

void test_split_by_comma() {
  auto groups = [](const std::string& src, std::size_t begin, std::size_t end) {
    Parser p(src);
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (Run r : split_by_comma(p, Run{begin, end})) out.emplace_back(r.begin, r.end);
    return out;
  };
  using G = std::vector<std::pair<std::size_t, std::size_t>>;
  CHECK(groups("a b", 0, 2) == G({{0, 2}}));
  CHECK(groups("a b", 1, 1) == G());
  CHECK(groups(", a , , b ,", 0, 6) == G({{1, 2}, {4, 5}}));
  CHECK(groups("F ( 1 , 2 )", 0, 6) == G({{0, 3}, {4, 6}}));
  CHECK(groups("a , b", 1, 3) == G({{2, 3}}));
  CHECK(groups(",", 0, 1) == G());
}

void test_stamp_end() {
  std::string src = "x &begin '''\nab\n''' y";
  Parser p(src);
  // An escaped word: the end and positions come from its text alone.
  NodeId a = p.arena.add_node(NodeKind::Unit, p.tokens[1]);
  CHECK_EQ(p.arena.record(a).end_col, 9u);
  stamp_end(p, a, p.tokens[1]);
  // A plain word stamped onto a node made elsewhere.
  NodeId b = p.arena.add_node(NodeKind::Unit, p.tokens[0]);
  stamp_end(p, b, p.tokens[3]);
  // A multi-line token: the end follows its line feeds, the positions stay
  // on its first line.
  NodeId c = p.arena.add_node(NodeKind::Unit, p.tokens[0]);
  stamp_end(p, c, p.tokens[2]);
  // A plain one-line word stamped onto its own node changes nothing.
  NodeId d = p.arena.add_node(NodeKind::Unit, p.tokens[0]);
  std::string before = arena_text(p.arena, d, "t.pas");
  stamp_end(p, d, p.tokens[0]);
  CHECK_EQ(arena_text(p.arena, d, "t.pas"), before);
  NodeId root = p.arena.add_node(NodeKind::Unknown, end_token());
  for (NodeId n : {a, b, c}) p.arena.add_child(root, n);
  CHECK_EQ(TEXT_OF(p.arena, root),
           lines({
               "# file_name=t.pas",
               "ntUnknown line=0 col=0 end_line=0 end_col=0 source_positions=0:0",
               "  ntUnit line=1 col=3 end_line=1 end_col=8 source_positions=" + columns(1, 3, 8),
               "  ntUnit line=1 col=1 end_line=3 end_col=6 source_positions=" + columns(3, 5, 6),
               "  ntUnit line=1 col=1 end_line=3 end_col=4 source_positions=" + columns(1, 10, 20),
           }));
  CHECK_THROWS_INTERNAL(stamp_end(p, 99, p.tokens[0]));
}

// ---- Deep trees ----------------------------------------------------------------

// A chain of one million nodes: measured, refused, turned into an owned tree
// and released, all on a thread with a small stack.
void test_deep_chain() {
  constexpr std::size_t depth = 1000000;
  std::string src = "x";
  std::vector<Token> tokens = tokenize(src);
  NodeArena arena(src);
  for (std::size_t i = 0; i < depth; ++i) arena.add_node(NodeKind::Dot, tokens[0]);
  for (std::size_t i = 0; i + 1 < depth; ++i) arena.add_child(i, i + 1);
  arena.set_attribute(depth - 1, AttributeKey::Name, "leaf");
  // Each line is its indentation and the same 65 bytes, one more for the leaf's name.
  const std::uint64_t body = std::string_view("\nntDot line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2").size();
  const std::uint64_t expected = std::string_view("# file_name=d.pas").size() + depth * body +
                                 std::uint64_t{depth} * (depth - 1) + std::string_view(" name=leaf").size();
  CHECK_EQ(measure_tree_text(arena, 0, "d.pas"), expected);
  OutputBuffer out;
  bool refused = false;
  try {
    serialize_arena(arena, 0, "d.pas", out);
  } catch (const OutputTooLarge&) {
    refused = true;
  }
  CHECK(refused);
  {
    Node tree = build_tree(arena, 0);
    std::size_t levels = 1;
    const Node* n = &tree;
    bool chain = true;
    while (!n->children.empty()) {
      if (n->children.size() != 1 || n->kind != NodeKind::Dot) chain = false;
      n = &n->children[0];
      ++levels;
    }
    CHECK_EQ(levels, depth);
    CHECK(chain);
    CHECK_EQ(n->attributes.size(), std::size_t{1});
    CHECK_EQ(positions_text(n->source_positions), "1:1,1:2");
  }  // the owned tree is released here
}

// The whole call below the Python surface: parse, then write.
void test_parse_to_serialized() {
  CHECK_EQ(parse_to_serialized("", ""), "# file_name=\nntUnit line=1 col=1 end_line=1 end_col=1 source_positions=1:1");
  CHECK_EQ(parse_to_serialized("unit A;\nuses B in 'b\\.pas';", "a\t.pas"),
           lines({
               "# file_name=a\\t.pas",
               "ntUnit line=1 col=1 end_line=1 end_col=5 kind=unit name=A source_positions=" + columns(1, 1, 5),
               "  ntUses line=2 col=1 end_line=2 end_col=5 source_positions=" + columns(2, 1, 5),
               "    ntUnit line=2 col=6 end_line=2 end_col=7 name=B path=b\\\\.pas source_positions=2:6,2:7",
           }));
  // Comments and directives never reach the grammar.
  CHECK_EQ(parse_to_serialized("{c}(*$D*)//x\n", "f"),
           "# file_name=f\nntUnit line=2 col=1 end_line=2 end_col=1 source_positions=2:1");
}

// The word-at-a-time helpers agree with the plain byte loops wherever the
// word lies: far from the end of the text (the 16-byte reads) and near it.
void test_word_helpers() {
  const std::string_view words[] = {"begin", "BeGiN", "implementation", "INITIALIZATION",
                                    "implementations", "x", "of", "Oft", "_begin", "end_",
                                    "Ärger", "straße", "ＥＮＤ", "naïve", "a1b2c3d4e5f6g7h8",
                                    "BREA\xE2\x84\xAA", "\xC4\xB0" "F", "generic", "GENERIC"};
  for (std::string_view w : words) {
    for (std::size_t pad : {std::size_t{0}, std::size_t{3}, std::size_t{20}}) {
      const std::string text = std::string("  ") + std::string(w) + std::string(pad, ' ');
      const std::size_t begin = 2, end = 2 + w.size();
      CHECK_EQ(is_keyword_word(look_up_word_at(text, begin, end)), is_keyword_word(look_up_word(w)));
      report(look_up_word_at(text, begin, end) == look_up_word(w), std::string(w).c_str(), __LINE__);
      std::size_t points = 0;
      for (char c : w) points += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      CHECK_EQ(unicode::count_code_points_at(text, begin, end), points);
    }
  }
  CHECK(is_keyword_word(look_up_word_at("  BeGiN                ", 2, 7)));
  CHECK(!is_keyword_word(look_up_word_at("  begins               ", 2, 8)));
  CHECK(is_keyword_word(look_up_word_at("xxIMPLEMENTATIONxxxxxxxxx", 2, 16)));
  CHECK(look_up_word("BREA\xE2\x84\xAA") == Word::Break);
  CHECK(look_up_word("\xC4\xB0" "F") == Word::None);  // U+0130 lowers to "i" and a dot
  CHECK(look_up_word(std::string_view("of\0", 3)) == Word::None);
  CHECK(look_up_word("") == Word::None);
}

// Every row of the word table: the scanner gives a token of its spelling, in
// any case, that row's word, and the kind the keyword set says; a word that
// only extends a spelling has none.
void test_word_table() {
  std::size_t keywords = 0;
  for (std::size_t id = 1; id < word_count; ++id) {
    const Word w = static_cast<Word>(id);
    const std::string spelling(word_text(w));
    std::string upper = spelling;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    const bool is_symbol = !(spelling[0] >= 'a' && spelling[0] <= 'z');
    keywords += is_keyword_word(w);
    report(look_up_word(upper) == w, ("look_up_word of " + upper).c_str(), __LINE__);
    if (is_symbol) {
      report(symbol_word(static_cast<unsigned char>(spelling[0]),
                         spelling.size() > 1 ? static_cast<unsigned char>(spelling[1]) : 0) == w,
             ("symbol_word of " + spelling).c_str(), __LINE__);
    }
    for (const std::string& written : {spelling, upper, "&" + upper, spelling + "_1"}) {
      if (is_symbol && written != spelling) continue;
      const std::vector<Token> tokens = tokenize(written);
      const bool whole = written.find('_') == std::string::npos;
      const Word expected = whole ? w : Word::None;
      const TokenKind kind = is_symbol                  ? TokenKind::Symbol
                             : whole && is_keyword_word(w) ? TokenKind::Keyword
                                                         : TokenKind::Identifier;
      const bool ok = tokens.size() == 2 && tokens[0].word == expected && tokens[0].kind == kind &&
                      is_keyword_word(look_up_word(tokens[0].text(written))) == (whole && is_keyword_word(w));
      report(ok, ("the token of " + written).c_str(), __LINE__);
    }
  }
  CHECK_EQ(keywords, std::size_t{166});
  // Tokens that are no word of the table carry none.
  for (std::string src : {"'begin'", "#13", "$FF", "12", "beginx", "}", "\xC2\xA0"}) {
    const std::vector<Token> tokens = tokenize(src);
    report(tokens[0].word == Word::None, ("no word in " + src).c_str(), __LINE__);
  }
}

// The output buffer grows past the huge-page budget and keeps its text. Only
// the bytes written are touched, so the gigabyte of room costs little.
void test_output_buffer_growth() {
  OutputBuffer b;
  b.reserve(std::size_t{400} << 20);
  b.append("first");
  char* p = b.room(std::size_t{700} << 20);
  b.commit(p + (std::size_t{700} << 20) - 4);
  b.append("last");
  CHECK_EQ(b.size(), (std::size_t{700} << 20) + 5);
  CHECK_EQ(std::string(b.view().substr(0, 5)), "first");
  CHECK_EQ(std::string(b.view().substr(b.size() - 4)), "last");
  b.free_memory();
  CHECK_EQ(b.size(), std::size_t{0});
}

// Stores grow from operator new into mappings of their own and back: what
// they hold survives every move, and a mapped store starts on a huge page and
// is usable to its last element whatever its size relative to the huge page.
void test_huge_vector_growth() {
  HugeVector<std::uint32_t> v;
  const std::uint32_t n = 3 * (huge_page_bytes / sizeof(std::uint32_t)) + 7;
  for (std::uint32_t i = 0; i < n; ++i) v.push_back(i * 2654435761u);
  CHECK(v.capacity() * sizeof(std::uint32_t) >= huge_page_bytes);
  bool same = v.size() == n;
  for (std::uint32_t i = 0; same && i < n; ++i) same = v[i] == i * 2654435761u;
  CHECK(same);
  for (std::size_t bytes : {huge_page_bytes - 1, huge_page_bytes, huge_page_bytes + 1,
                            5 * huge_page_bytes + 4095}) {
    HugeVector<char> c(bytes, 'x');
    c.back() = 'y';
    CHECK(c.front() == 'x' && c.back() == 'y');
    // A mapped store (its footprint rounded up) starts on a huge page.
    if (store_footprint(5 * huge_page_bytes + 4095) != 5 * huge_page_bytes + 4095 &&
        bytes >= huge_page_bytes)
      CHECK_EQ(reinterpret_cast<std::uintptr_t>(c.data()) % huge_page_bytes, std::uintptr_t{0});
    HugeVector<char> moved = std::move(c);
    CHECK_EQ(moved.size(), bytes);
    HugeVector<char>().swap(moved);
    CHECK_EQ(moved.capacity(), std::size_t{0});
  }
}

// A dropped store's mapping serves the next store of about its size, and a
// mapping lent for a smaller store comes back whole when that one is freed.
void test_store_reuse() {
  constexpr std::size_t mib = std::size_t{1} << 20;
  const auto touch = [](void* p, std::size_t bytes) {
    static_cast<volatile char*>(p)[0] = 1;
    static_cast<volatile char*>(p)[bytes - 1] = 1;
  };
  void* a = allocate_store(99 * mib);
  touch(a, 99 * mib);
  free_store(a, 99 * mib);
  void* b = allocate_store(70 * mib);
  touch(b, 70 * mib);
  free_store(b, 70 * mib);
  void* c = allocate_store(99 * mib);
  touch(c, 99 * mib);  // all of it mapped still
  free_store(c, 99 * mib);
#if defined(__linux__) && !defined(TARNWICK_ADDRESS_SANITIZER)
  // Only the posix variant maps its stores; the others take them from
  // operator new.
  if (platform_variant() == PlatformVariant::Posix) {
    CHECK(b == a);
    CHECK(c == a);
  }
#endif
}

// Stores of random sizes, allocated and freed in random order by two
// threads at once: each keeps its own pattern whole while it lives, however
// the mappings behind it were kept, lent and given back.
void test_store_churn() {
  constexpr std::size_t mib = std::size_t{1} << 20;
  const auto churn = [](std::uint32_t seed) {
    struct Live {
      unsigned char* p;
      std::size_t bytes;
      unsigned char mark;
    };
    std::vector<Live> live;
    bool whole = true;
    const auto next = [&seed] {
      seed = seed * 1664525u + 1013904223u;
      return seed >> 8;
    };
    const auto holds = [](const Live& l) {
      for (std::size_t at = 0; at < l.bytes; at += 4096)
        if (l.p[at] != l.mark) return false;
      return l.p[l.bytes - 1] == l.mark;
    };
    for (int step = 0; step < 300; ++step) {
      if (live.size() < 6 && (live.empty() || next() % 3 != 0)) {
        const std::size_t bytes = (1 + next() % 40) * mib + next() % 4096;
        Live l{static_cast<unsigned char*>(allocate_store(bytes)), bytes,
               static_cast<unsigned char>(1 + next() % 250)};
        for (std::size_t at = 0; at < bytes; at += 4096) l.p[at] = l.mark;
        l.p[bytes - 1] = l.mark;
        live.push_back(l);
      } else {
        const std::size_t i = next() % live.size();
        whole = whole && holds(live[i]);
        free_store(live[i].p, live[i].bytes);
        live[i] = live.back();
        live.pop_back();
      }
    }
    for (const Live& l : live) {
      whole = whole && holds(l);
      free_store(l.p, l.bytes);
    }
    return whole;
  };
  bool other = false;
  std::thread second([&] { other = churn(7); });
  const bool first = churn(1);
  second.join();
  CHECK(first);
  CHECK(other);
}

// A thread reuses its stores from call to call: results never depend on
// what the thread parsed before, a large call leaves at most the retained
// amount behind, and a call made while the thread's workspace is lent out
// works in one of its own.
void test_workspace_reuse() {
  const std::string small = "unit A;\nvar x: Integer;\nbegin x := 1 end.";
  std::string large = "begin\n";
  while (large.size() < (std::size_t{2} << 20)) large += "  Total := Total + Items[Index] * (Rate - 1);\n";
  large += "end.";
  const std::string small_text = parse_to_serialized(small, "s.pas");
  const std::string small_tokens = lex_to_serialized(small);
  const std::string large_text = parse_to_serialized(large, "l.pas");
  CHECK(large_text.size() > retained_bytes);
  CHECK_EQ(parse_to_serialized(small, "s.pas"), small_text);
  CHECK_EQ(parse_to_serialized(large, "l.pas"), large_text);
  CHECK(lex_to_serialized(large).size() > large.size());
  CHECK_EQ(lex_to_serialized(small), small_tokens);
  CHECK_EQ(small_tokens.substr(0, 18), "keyword unit 1:1\ni");
  {
    WorkspaceLease lease;
    CHECK(lease.get().bytes() <= retained_bytes);
  }
  // A call from inside a call: both texts stay whole.
  with_tree_text(small, "outer.pas", [&](std::string_view outer) {
    const std::string before(outer);
    CHECK_EQ(parse_to_serialized(large, "l.pas"), large_text);
    CHECK_EQ(std::string(outer), before);
    CHECK_EQ(std::string(outer.substr(0, 22)), "# file_name=outer.pas\n");
    return 0;
  });
  CHECK_EQ(parse_to_serialized(small, "s.pas"), small_text);
}

// The text of a 20,000-level chain: one line per level, two more spaces of
// indentation per level.
void test_deep_writer() {
  constexpr std::size_t depth = 20000;
  std::string src = "x";
  std::vector<Token> tokens = tokenize(src);
  NodeArena arena(src);
  for (std::size_t i = 0; i < depth; ++i) arena.add_node(NodeKind::Dot, tokens[0]);
  for (std::size_t i = 0; i + 1 < depth; ++i) arena.add_child(i, i + 1);
  std::string text = arena_text(arena, 0, "deep.pas");
  const std::string body = "ntDot line=1 col=1 end_line=1 end_col=2 source_positions=1:1,1:2";
  CHECK_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), depth);
  std::size_t last_break = text.rfind('\n');
  CHECK_EQ(std::string_view(text).substr(last_break + 1), std::string(2 * (depth - 1), ' ') + body);
  CHECK(text.back() != '\n');
  // Every line: the header, then level k indented by 2k spaces.
  bool every_line = true;
  std::size_t start = text.find('\n');
  CHECK_EQ(std::string_view(text).substr(0, start), "# file_name=deep.pas");
  for (std::size_t level = 0; level < depth && every_line; ++level) {
    std::size_t end = text.find('\n', start + 1);
    if (end == std::string::npos) end = text.size();
    std::string_view line = std::string_view(text).substr(start + 1, end - start - 1);
    if (line.size() != 2 * level + body.size() || line.find_first_not_of(' ') != 2 * level ||
        line.substr(2 * level) != body)
      every_line = false;
    start = end;
  }
  CHECK(every_line);
  Node tree = build_tree(arena, 0);
  CHECK(serialize_tree(tree, "deep.pas") == text);
}

// ---- The grammar's own stack --------------------------------------------------

std::string repeated(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Code runs on a stack of its own and comes back; an exception thrown there
// reaches the caller; a call from inside stays on the same stack. The floor
// lies below the code that runs, by at least the bytes asked for where the
// stack is the core's own; in the fallback it is the caller's stack bottom.
void test_own_stack() {
  int ran = 0;
  std::uintptr_t floor = 0, inner_floor = 1, here = 0;
  run_on_own_stack(std::size_t{1} << 20, [&] {
    ++ran;
    floor = own_stack_floor();
    here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    run_on_own_stack(std::size_t{1} << 20, [&] {
      ++ran;
      inner_floor = own_stack_floor();
    });
  });
  CHECK_EQ(ran, 2);
  CHECK_EQ(floor, inner_floor);
  CHECK(floor != 0 && floor < here);
  CHECK(can_switch_stacks() == (platform_variant() != PlatformVariant::Fallback));
  CHECK_EQ(own_stack_floor(), std::uintptr_t{0});
  bool caught = false;
  try {
    run_on_own_stack(std::size_t{1} << 20, [] { throw OutputTooLarge(); });
  } catch (const OutputTooLarge&) {
    caught = true;
  }
  CHECK(caught);
  // The stack is usable again after an exception, also when it must grow,
  // and then holds what was asked for: also the stack of the deepest nesting
  // any text may reach.
  for (std::size_t bytes : {std::size_t{64} << 20, grammar_stack_bytes(max_nesting(max_text_size))}) {
    std::uintptr_t room = 0;
    run_on_own_stack(bytes, [&] {
      ++ran;
      room = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - own_stack_floor();
    });
    if (can_switch_stacks())
      report(room >= bytes - 4096, "the own stack holds the bytes asked for", __LINE__,
             "  " + std::to_string(room) + " bytes below the body for " + std::to_string(bytes));
  }
  CHECK_EQ(ran, 4);
#if defined(_WIN32)
  if (platform_variant() == PlatformVariant::Windows) {
    // A thread made a fiber for the call is a thread again after it; one
    // that already was a fiber stays one.
    run_on_own_stack(std::size_t{1} << 20, [&] { ++ran; });
    CHECK(!IsThreadAFiber());
    void* self = ConvertThreadToFiber(nullptr);
    CHECK(self != nullptr);
    run_on_own_stack(std::size_t{1} << 20, [&] { ++ran; });
    CHECK(IsThreadAFiber());
    CHECK(ConvertFiberToThread());
    CHECK_EQ(ran, 6);
  }
#endif
}

// The fallback runs the grammar on the caller's stack: a nest too deep for
// a small thread stack ends with an error instead of overrunning it, and
// one that fits is parsed.
void test_fallback_stack_guard() {
  auto parse = [](std::size_t levels) -> std::string {
    const std::string text = repeated("begin ", levels) + "x" + repeated(" end", levels) + ".";
    Parser p(text);
    try {
      parse_tree(p);
    } catch (const InternalError& e) {
      return e.what();
    }
    return "parsed";
  };
  CHECK_EQ(parse(100), "parsed");
  CHECK_EQ(parse(100000), "the grammar's stack is exhausted");
}

// Every shape of nesting takes at most `stack_bytes_per_level` of the
// grammar's stack per guarded level: measured from the lowest frames of a
// parse 2,000 and one 4,000 levels deep.
void test_stack_per_level() {
  struct Shape {
    const char* name;
    std::string (*make)(std::size_t);
    std::size_t guards;  // guarded levels per repetition
  };
  const Shape shapes[] = {
      {"blocks", [](std::size_t n) { return repeated("begin ", n) + "x" + repeated(" end", n) + "."; }, 1},
      {"else if", [](std::size_t n) { return "begin " + repeated("if a then x else ", n) + "y; end."; }, 1},
      {"case", [](std::size_t n) { return "begin " + repeated("case x of 1: ", n) + "y" + repeated("; end", n) + "; end."; }, 1},
      {"try", [](std::size_t n) { return "begin " + repeated("try ", n) + "x" + repeated(" finally y end", n) + "; end."; }, 1},
      {"records", [](std::size_t n) { return "type T = " + repeated("record a: ", n) + "Integer" + repeated("; end", n) + ";"; }, 1},
      {"class types", [](std::size_t n) { return "type T = " + repeated("class type C = ", n) + "class end;" + repeated(" end;", n); }, 1},
      {"variant fields", [](std::size_t n) { return "type T = " + repeated("record case Integer of 0: (a: ", n) + "Integer" + repeated(") end", n) + ";"; }, 1},
      {"routines", [](std::size_t n) { return repeated("procedure A;\n", n) + repeated("begin end;\n", n); }, 1},
      {"method parameters", [](std::size_t n) { return "type T = " + repeated("class procedure P(a: ", n) + "Integer" + repeated("); end", n) + ";"; }, 2},
      {"property indexes", [](std::size_t n) { return "type T = " + repeated("class property P[a: ", n) + "Integer" + repeated("]: Integer read F; end", n) + ";"; }, 1},
      {"local types", [](std::size_t n) { return repeated("procedure A; type T = record b: ", n) + "Integer" + repeated("; end; begin end;", n); }, 2},
  };
  auto lowest = [](const std::string& text) {
    Parser p(text);
    parse_tree(p);
    return p.lowest_frame;
  };
  constexpr std::size_t n = 2000;
  for (const Shape& shape : shapes) {
    // Both parses start from the same frame of one own stack (a parse
    // called there stays on it), which may otherwise lie elsewhere each call.
    std::uintptr_t deep = 0, shallow = 0;
    run_on_own_stack(grammar_stack_bytes(4 * n * shape.guards), [&] {
      deep = lowest(shape.make(2 * n));
      shallow = lowest(shape.make(n));
    });
    const std::size_t per_level = deep < shallow ? (shallow - deep) / (n * shape.guards) : SIZE_MAX;
    report(per_level <= stack_bytes_per_level, shape.name, __LINE__,
           "  " + std::to_string(per_level) + " bytes per level");
  }
}

// Nesting past the depth whose text can fit is refused at once, whatever
// follows; just below it the parse goes through.
void test_nesting_refused() {
  auto parse = [](const std::string& text) {
    Parser p(text);
    try {
      parse_tree(p);
    } catch (const OutputTooLarge&) {
      return false;
    }
    return true;
  };
  // Every "begin" after the main block's opens one guarded level. The
  // deepest nesting allowed depends on the text's length, so each case is
  // sized by a fixed point of that dependence.
  auto fixed_point = [](std::size_t bytes_per_level, std::size_t extra_levels) {
    std::size_t k = max_nesting(0);
    for (std::size_t next; (next = max_nesting(bytes_per_level * (k + extra_levels))) != k;) k = next;
    return k;
  };
  const std::size_t fits = fixed_point(10, 1);  // k nested levels in k + 1 "begin ... end"
  CHECK(parse(repeated("begin ", fits + 1) + repeated("end ", fits + 1)));
  const std::size_t over = fixed_point(6, 2);  // k + 1 nested levels in k + 2 "begin"
  CHECK(!parse(repeated("begin ", over + 2)));
  CHECK(!parse("type T = " + repeated("array of ", 2 * max_nesting(0)) + "Integer;"));
}

struct NamedTest {
  const char* name;
  void (*run)();
};

void run_guarded(const NamedTest& t) {
  try {
    t.run();
  } catch (const std::exception& e) {
    report(false, t.name, __LINE__, std::string("  unexpected exception: ") + e.what());
  }
}

}  // namespace

int main() {
  const NamedTest tests[] = {
      {"kind and key names", test_kind_and_key_names},
      {"add_node spans", test_add_node_spans},
      {"add_value_node", test_add_value_node},
      {"set_attribute", test_set_attribute},
      {"children", test_children},
      {"bad ids", test_bad_ids},
      {"bad token spans", test_bad_token_spans},
      {"shared subtrees", test_shared_subtrees},
      {"build_tree", test_build_tree_matches_arena_writer},
      {"writer examples", test_writer_examples},
      {"cursor walks", test_cursor_walks},
      {"line room", test_line_room},
      {"parser construction", test_parser_construction},
      {"end_token", test_end_token},
      {"accept", test_accept},
      {"skip_past and peek", test_skip_past_and_peek},
      {"take_name", test_take_name},
      {"parse_dotted_name", test_parse_dotted_name},
      {"name_text", test_name_text},
      {"scan_until", test_scan_until},
      {"bracket rules", test_bracket_rules},
      {"scans against plain counts", test_scans_against_plain_counts},
      {"recovery verbs", test_recovery_verbs},
      {"join_token_texts and positions_of", test_join_and_positions},
      {"unquote", test_unquote},
      {"split_by_comma", test_split_by_comma},
      {"stamp_end", test_stamp_end},
      {"parse_to_serialized", test_parse_to_serialized},
      {"store reuse", test_store_reuse},
      {"store churn", test_store_churn},
      {"workspace reuse", test_workspace_reuse},
      {"output buffer growth", test_output_buffer_growth},
      {"huge vector growth", test_huge_vector_growth},
      {"word helpers", test_word_helpers},
      {"word table", test_word_table},
      {"own stack", test_own_stack},
      {"stack per level", test_stack_per_level},
  };
  // With a stack of its own the grammar's depth does not depend on the
  // caller's stack. The fallback parses on the caller's stack: its tests run
  // on threads whose stack holds the deepest nesting they parse.
  const std::size_t deep_stack =
      can_switch_stacks() ? std::size_t{512} << 10 : grammar_stack_bytes(2 * max_nesting(0));
  if (can_switch_stacks()) {
    for (const NamedTest& t : tests) run_guarded(t);
  } else {
    run_on_small_stack(deep_stack, [&tests] {
      for (const NamedTest& t : tests) run_guarded(t);
    });
  }

  const NamedTest deep[] = {
      {"deep chain", test_deep_chain},
      {"deep writer", test_deep_writer},
      {"nesting refused", test_nesting_refused},
  };
  for (const NamedTest& t : deep) run_on_small_stack(deep_stack, [&t] { t.run(); });
  if (!can_switch_stacks()) run_on_small_stack(std::size_t{512} << 10, test_fallback_stack_guard);

  static const char* const variants[] = {"posix", "windows", "fallback"};
  std::printf("platform variant: %s\n", variants[static_cast<int>(platform_variant())]);

  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
