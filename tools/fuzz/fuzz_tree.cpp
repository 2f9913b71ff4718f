// Fuzz target for the finished tree that tarnwick_tree's objects view, and
// for the reader of tree texts.
//
// Inputs that are not valid UTF-8 are skipped, as in the parser target. For
// every other input:
// - the finished tree of the text is made exactly when the arena's tree
//   text can be measured, and refused only as OutputTooLarge;
// - its tree text has the length the arena's has, and, up to
//   `checked_bytes`, the same bytes as parse_to_serialized (or both are
//   refused alike);
// - a walk over its places, parents before children, meets as many places
//   as the text has node lines, with the same kinds in the same order, and
//   every node's count of places is one more than its children's;
// - the extent of each of the first nodes equals the one computed for all
//   nodes at once;
// - the cursor meets the places in the walk's order, at the walk's depths,
//   numbered in order, and finds each again by its number;
// - the writer's sizes of each line: the exact one is the length of the
//   place's text, the longest never less;
// - the tree read back from its text writes that text again;
// - the input itself, given to the reader, is refused as TreeTextError or
//   read as a tree that writes the input again.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api.h"
#include "call_limits.h"
#include "errors.h"
#include "fuzz_common.h"
#include "parser/parser.h"
#include "tree/cursor.h"
#include "tree/node.h"
#include "tree/syntax_tree.h"
#include "tree/writer.h"
#include "util/output.h"

namespace {

using fuzz::fail;
using tarnwick::SyntaxTree;

constexpr std::string_view file_name = "dir\\fuzz\tinput\r\n name=x.pas";

// The largest tree text that is written and compared.
constexpr std::uint64_t checked_bytes = std::uint64_t{4} << 20;

std::string written(const SyntaxTree& tree) {
  tarnwick::OutputBuffer out;
  tarnwick::serialize_tree(tree, out);
  return out.str();
}

// The kinds of the node lines of a tree text, in order.
std::vector<std::string_view> node_kinds(std::string_view text) {
  std::vector<std::string_view> kinds;
  const std::vector<std::string_view> lines = fuzz::split_lines(text);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view l = lines[i];
    l.remove_prefix(std::min(l.find_first_not_of(' '), l.size()));
    if (fuzz::starts_with(l, "value=")) continue;
    kinds.push_back(l.substr(0, l.find(' ')));
  }
  return kinds;
}

void check_places(const SyntaxTree& tree, const std::vector<std::string_view>* kinds) {
  // Every node's places: itself and its children's.
  for (std::uint32_t n = 0; n < tree.node_count(); ++n) {
    std::uint64_t sum = 1;
    for (std::uint32_t c : tree.children(n)) sum += tree.places(c);
    if (sum != tree.places(n)) fail("a node's places are not one more than its children's");
  }
  // Each node's own extent walks its subtree: the first nodes suffice.
  const std::vector<SyntaxTree::Extent> extents = tree.all_extents();
  for (std::uint32_t n = 0; n < tree.node_count() && n < 256; ++n) {
    const SyntaxTree::Extent e = tree.extent(n);
    const SyntaxTree::Extent& f = extents[n];
    if (e.line != f.line || e.col != f.col || e.end_line != f.end_line || e.end_col != f.end_col)
      fail("a node's extent differs from the one of all_extents");
  }
  if (kinds == nullptr) return;
  // A pre-order walk over the places, with an explicit stack; the first
  // places' nodes and depths are kept for the cursor.
  constexpr std::size_t kept = 4096;
  std::vector<std::pair<std::uint32_t, std::size_t>> walked{{0, 0}};
  std::uint64_t places = 0;
  std::vector<std::pair<std::uint32_t, std::size_t>> stack{{0, 0}};
  if (!fuzz::equal((*kinds)[0], tarnwick::node_kind_name(tree.node(0).kind)))
    fail("the root's kind differs from the text's");
  places = 1;
  while (!stack.empty()) {
    auto& [node, next] = stack.back();
    const std::span<const std::uint32_t> kids = tree.children(node);
    if (next == kids.size()) {
      stack.pop_back();
      continue;
    }
    const std::uint32_t c = kids[next++];
    if (places >= kinds->size()) fail("the walk meets more places than the text has node lines");
    if (!fuzz::equal((*kinds)[places], tarnwick::node_kind_name(tree.node(c).kind)))
      fail("a place's kind differs from the text's node line");
    ++places;
    if (walked.size() < kept) walked.emplace_back(c, stack.size());
    stack.emplace_back(c, 0);
  }
  if (places != kinds->size() || places != tree.place_count())
    fail("the walk meets fewer places than the text has node lines");
  // The cursor's walk, and each place found by its number.
  const tarnwick::PlacedTreeShape shape(tree);
  tarnwick::TreeCursor<tarnwick::PlacedTreeShape> cursor(shape), seek(shape);
  std::uint64_t met = 0;
  do {
    if (met < walked.size()) {
      if (cursor.node() != walked[met].first || cursor.depth() != walked[met].second)
        fail("the cursor meets another node than the walk");
      if (!seek.goto_descendant(met) || seek.node() != cursor.node() || seek.depth() != cursor.depth())
        fail("the cursor finds a place by its number at another node");
    }
    if (cursor.place() != met) fail("the cursor numbers a place out of order");
    ++met;
  } while (cursor.goto_next());
  if (met != places) fail("the cursor meets another number of places than the walk");
}

// Each place's text against the writer's sizes of its line.
void check_line_rooms(const SyntaxTree& tree, std::string_view text) {
  std::vector<std::size_t> sizes;  // of each place's lines, each with its line feed
  const std::vector<std::string_view> lines = fuzz::split_lines(text);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view l = lines[i];
    l.remove_prefix(std::min(l.find_first_not_of(' '), l.size()));
    if (fuzz::starts_with(l, "value=") && !sizes.empty()) {
      sizes.back() += 1 + lines[i].size();
    } else {
      sizes.push_back(1 + lines[i].size());
    }
  }
  const tarnwick::PlacedTreeShape shape(tree);
  tarnwick::TreeCursor<tarnwick::PlacedTreeShape> cursor(shape);
  do {
    const tarnwick::LineRoom room = tarnwick::line_room(tree, cursor.node(), cursor.depth());
    if (cursor.place() >= sizes.size() || room.exact != sizes[cursor.place()])
      fail("the exact size of a line is not its length");
    if (room.longest < room.exact) fail("the longest size of a line is less than its length");
  } while (cursor.goto_next());
}

void check_tree(std::string_view text) {
  std::uint64_t measured = 0;
  bool refused = false;
  fuzz::no_exception("measuring the arena's tree text", [&] {
    try {
      tarnwick::Parser p(text);
      const tarnwick::NodeId root = tarnwick::parse_tree(p);
      measured = tarnwick::measure_tree_text(p.arena, root, file_name);
    } catch (const tarnwick::OutputTooLarge&) {
      refused = true;
    }
  });
  std::unique_ptr<SyntaxTree> tree;
  bool tree_refused = false;
  fuzz::no_exception("parse_to_tree", [&] {
    try {
      tree = tarnwick::parse_to_tree(text, file_name);
    } catch (const tarnwick::OutputTooLarge&) {
      tree_refused = true;
    }
  });
  if (refused) {
    if (!tree_refused) fail("the grammar refused the text, parse_to_tree did not");
    return;
  }
  if (tree_refused) {
    // Only a tree whose places cannot be numbered, far past the output limit.
    if (measured <= tarnwick::output_limit(text.size()))
      fail("parse_to_tree refused a tree whose text fits the output limit");
    return;
  }
  std::uint64_t tree_measured = 0;
  fuzz::no_exception("measuring the tree", [&] { tree_measured = tarnwick::measure_tree_text(*tree); });
  if (tree_measured != measured) fail("the tree's text is not as long as the arena's");
  if (measured > checked_bytes) {
    check_places(*tree, nullptr);
    return;
  }
  std::string expected, got;
  bool expected_refused = false, got_refused = false;
  fuzz::no_exception("parse_to_serialized", [&] {
    try {
      expected = tarnwick::parse_to_serialized(text, file_name);
    } catch (const tarnwick::OutputTooLarge&) {
      expected_refused = true;
    }
  });
  fuzz::no_exception("serialize_tree", [&] {
    try {
      got = written(*tree);
    } catch (const tarnwick::OutputTooLarge&) {
      got_refused = true;
    }
  });
  if (expected_refused != got_refused) fail("only one of the two writers refused the tree");
  if (expected_refused) return;
  if (!fuzz::equal(got, expected)) fail("the tree's text differs from parse_to_serialized");
  const std::vector<std::string_view> kinds = node_kinds(expected);
  check_places(*tree, &kinds);
  check_line_rooms(*tree, expected);
  std::unique_ptr<SyntaxTree> again;
  fuzz::no_exception("reading the tree text", [&] { again = SyntaxTree::from_text(expected); });
  if (again->file_name() != file_name) fail("the file name read back differs");
  std::string rewritten;
  fuzz::no_exception("writing the tree read back", [&] { rewritten = written(*again); });
  if (!fuzz::equal(rewritten, expected)) fail("the tree read back writes another text");
  check_places(*again, &kinds);
}

// The input given to the reader as a tree text.
void check_reader(std::string_view text) {
  std::unique_ptr<SyntaxTree> tree;
  fuzz::no_exception("reading the input as a tree text", [&] {
    try {
      tree = SyntaxTree::from_text(text);
    } catch (const tarnwick::TreeTextError&) {
    }
  });
  if (!tree) return;
  std::string again;
  fuzz::no_exception("writing the input read as a tree", [&] { again = written(*tree); });
  if (!fuzz::equal(again, text)) fail("a text the reader accepts is not written back the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!fuzz::valid_utf8(bytes)) return 0;  // never handed over by Python
  check_tree(bytes);
  check_reader(bytes);
  return 0;
}
