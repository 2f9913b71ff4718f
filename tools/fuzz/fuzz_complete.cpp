// Fuzz target for the complete grammar.
//
// Inputs that are not valid UTF-8 are skipped, as in the other targets. For
// every other input:
// - the complete grammar builds a tree, or refuses the text only as
//   OutputTooLarge, and never throws anything else;
// - every node spans from its start to its end (start before end), and the
//   spans of a node's children lie inside its own, in order and without
//   overlap, so that every token has exactly one innermost node;
// - every token the grammar reads lies inside a node below the root, or is
//   one the grammar noted as passed over, or belongs to the root itself:
//   before its first child (the header) or after its last (the final
//   "end.");
// - the noted tokens are the tokens of the diagnostics, in order;
// - the tree text of the finished tree reads back into a tree that writes
//   it again.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api.h"
#include "errors.h"
#include "fuzz_common.h"
#include "parser/parser.h"
#include "tree/syntax_tree.h"
#include "tree/writer.h"
#include "util/output.h"

namespace {

using fuzz::fail;
using tarnwick::NodeArena;
using tarnwick::NodeId;

struct Place {
  std::uint32_t line, col;
  friend bool operator<(Place a, Place b) { return a.line != b.line ? a.line < b.line : a.col < b.col; }
  friend bool operator<=(Place a, Place b) { return !(b < a); }
};

Place start_of(const NodeArena::Record& r) { return {r.line, r.col}; }
Place end_of(const NodeArena::Record& r) { return {r.end_line, r.end_col}; }

// The spans of the tree below `root`, checked as the walk meets them; the
// spans of the nodes below the root's children are gathered in `covered`.
void check_spans(const NodeArena& a, NodeId root, std::vector<std::pair<Place, Place>>& covered) {
  std::vector<NodeId> stack{root};
  while (!stack.empty()) {
    const NodeId n = stack.back();
    stack.pop_back();
    const NodeArena::Record& r = a.record(n);
    if (end_of(r) < start_of(r)) fail("a node ends before it starts");
    Place previous = start_of(r);
    for (std::uint32_t e = r.first_child; e != NodeArena::none; e = a.child_entry(e).next) {
      const NodeId c = a.child_entry(e).child;
      const NodeArena::Record& cr = a.record(c);
      if (start_of(cr) < previous) fail("a child starts before its elder sibling ends or its parent starts");
      if (end_of(r) < end_of(cr)) fail("a child ends after its parent");
      previous = end_of(cr);
      if (n == root) covered.emplace_back(start_of(cr), end_of(cr));
      stack.push_back(c);
    }
  }
}

void check_complete(std::string_view text) {
  fuzz::no_exception("the complete grammar", [&] {
    try {
      tarnwick::Parser p(text);
      const NodeId root = tarnwick::parse_tree(p, tarnwick::Grammar::Complete);
      std::vector<std::pair<Place, Place>> covered;
      check_spans(p.arena, root, covered);
      // The noted tokens, as the diagnostics list them.
      std::vector<bool> noted(p.tokens.size(), false);
      for (const tarnwick::Diagnostic& d : p.diagnostics)
        for (std::uint32_t k = 0; k < d.tokens; ++k) {
          if (std::size_t{d.first_token} + k >= p.tokens.size()) fail("a diagnostic names no token");
          noted[d.first_token + k] = true;
        }
      for (std::uint32_t i : p.skipped)
        if (!noted[i]) fail("a skipped token is in no diagnostic");
      // Every token: under a child of the root, noted, or the root's own.
      std::size_t next = 0;
      for (std::size_t i = 0; i < p.tokens.size(); ++i) {
        const tarnwick::Token& t = p.tokens[i];
        if (t.kind == tarnwick::TokenKind::Eof || noted[i]) continue;
        const Place start{t.line, t.column};
        const tarnwick::TextExtent e = p.arena.token_extent(t);
        const Place end{e.end_line, e.end_col};
        while (next < covered.size() && covered[next].second <= start) ++next;
        const bool inside = next < covered.size() && covered[next].first <= start &&
                            end <= covered[next].second;
        const bool before_all = covered.empty() || end <= covered.front().first;
        const bool after_all = covered.empty() || covered.back().second <= start;
        if (!inside && !before_all && !after_all)
          fail("a token is in no node and no diagnostic", t.text(text));
      }
    } catch (const tarnwick::OutputTooLarge&) {
    }
  });
  std::unique_ptr<tarnwick::SyntaxTree> tree;
  fuzz::no_exception("parse_to_tree", [&] {
    try {
      tree = tarnwick::parse_to_tree(text, "fuzz.pas", tarnwick::Grammar::Complete);
    } catch (const tarnwick::OutputTooLarge&) {
    }
  });
  if (!tree || tarnwick::measure_tree_text(*tree) > (std::uint64_t{4} << 20)) return;
  std::string written;
  fuzz::no_exception("writing the complete tree", [&] {
    tarnwick::OutputBuffer out;
    tarnwick::serialize_tree(*tree, out);
    written = out.str();
  });
  std::string again;
  fuzz::no_exception("reading the complete tree back", [&] {
    std::unique_ptr<tarnwick::SyntaxTree> read = tarnwick::SyntaxTree::from_text(written);
    tarnwick::OutputBuffer out;
    tarnwick::serialize_tree(*read, out);
    again = out.str();
  });
  if (!fuzz::equal(again, written)) fail("the complete tree read back writes another text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!fuzz::valid_utf8(bytes)) return 0;  // never handed over by Python
  check_complete(bytes);
  return 0;
}
