// Fuzz target for the whole parse and the tree text.
//
// Inputs that are not valid UTF-8 are skipped: the Python side only ever
// hands over valid UTF-8. For every other input the tree text must be well
// formed:
// - the header line comes first and holds the escaped file name;
// - every other line is indented by an even number of spaces and is a node
//   line or a value line;
// - the first node line is the root at depth 0, the only line at depth 0;
//   each node line is at most one level deeper than the node line before it;
// - a value line stands right under its node line, one level deeper;
// - a node line is "ntKIND line=N col=N end_line=N end_col=N", then the
//   attributes with known keys in ascending key order and an optional
//   source_positions list;
// - backslashes only start the four escapes; no raw tab or carriage return;
// - node starts lie inside the text (or are 0:0, the end-of-input place),
//   and no line number passes the last line of the text;
// - there is no line feed after the last line;
// - the tree text stays within the output limit; a text whose tree would pass
//   it (nesting past the depth that fits, or declarations that share a type
//   among names, nested so that their copies multiply) ends with the
//   documented OutputTooLarge and nothing else. Texts whose tree text would
//   be larger than `checked_bytes` are only parsed and measured: writing and
//   reading a gigabyte would leave no time for other inputs.
// The cursor's notes are checked too: the skipped tokens are tokens of the
// list, each noted once and in order, none of them the end-of-file token, and
// the diagnostics that pass over tokens cover exactly those; the index of
// type arguments answers what a plain scan of their rule answers.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "api.h"
#include "call_limits.h"
#include "errors.h"
#include "fuzz_common.h"
#include "parser/brackets.h"
#include "parser/parser.h"
#include "tree/node.h"
#include "tree/writer.h"

namespace {

using fuzz::fail;

// A file name with every character that needs escaping, and its escaped form.
constexpr std::string_view file_name = "dir\\fuzz\tinput\r\n name=x.pas";
constexpr std::string_view file_name_escaped = "dir\\\\fuzz\\tinput\\r\\n name=x.pas";

using fuzz::equal;
using fuzz::starts_with;

// Backslashes start only \\ \t \n \r; tab and carriage return never stand raw.
void check_escapes(std::string_view l, std::size_t line_no) {
  for (std::size_t i = 0; i < l.size(); ++i) {
    if (l[i] == '\t' || l[i] == '\r') fail("raw tab or carriage return in the tree text", l, line_no);
    if (l[i] != '\\') continue;
    if (i + 1 >= l.size()) fail("backslash at the end of a line", l, line_no);
    char e = l[i + 1];
    if (e != '\\' && e != 't' && e != 'n' && e != 'r') fail("a backslash starts no escape", l, line_no);
    ++i;
  }
}

// "L:C,L:C,..." with every line inside the text.
bool read_positions(std::string_view s, const fuzz::LineTable& table) {
  std::size_t p = 0;
  for (;;) {
    std::uint64_t line = 0, col = 0;
    if (!fuzz::read_u32(s, p, line) || !fuzz::eat(s, p, ":") || !fuzz::read_u32(s, p, col)) return false;
    if (line > table.lines()) return false;
    if (p == s.size()) return true;
    if (!fuzz::eat(s, p, ",")) return false;
  }
}

// The attribute items between the four positions and source_positions:
// " key=value" items with known keys in ascending order of their names. The
// parser never sets a node's own file name, so no " file_name=" item comes.
//
// A value may itself hold spaces and "key=" texts, so the split into items
// is not unique. A " key=" inside a value has its letters from the source
// text, so a place where " key=" appears must start an item unless the key
// occurs in the source text (ASCII case ignored; any non-ASCII source allows
// every key, since lower-casing may map other characters to ASCII letters).
// The check succeeds when some split honours the key order.
class ItemChecker {
 public:
  explicit ItemChecker(std::string_view source) {
    std::string lower(source);
    bool ascii = true;
    for (char& c : lower) {
      if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    for (std::size_t k = 0; k < key_count; ++k) {
      in_source_[k] = !ascii || fuzz::contains(lower, tarnwick::attribute_key_names[k]);
      std::size_t r = 0;
      for (std::size_t j = 0; j < key_count; ++j)
        if (tarnwick::attribute_key_names[j] < tarnwick::attribute_key_names[k]) ++r;
      rank_[k] = r;
    }
    in_source_[key_count] = !ascii || fuzz::contains(lower, "file_name");
  }

  // Empty text when the items are well formed, else what is wrong.
  std::string check(std::string_view items) const {
    if (items.empty()) return {};
    // possible[r]: some split so far ends with an item whose key has rank r.
    bool possible[key_count] = {};
    bool started = false;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i] != ' ') continue;
      const std::size_t k = key_at(items.substr(i + 1));
      if (k == no_key) continue;
      if (!started) {
        if (i != 0) return "the items do not start with a known key";
        if (k == key_count) return "a node carries a file_name item";
        possible[rank_[k]] = true;
        started = true;
        continue;
      }
      const bool optional = in_source_[k];
      bool can_start = false;
      if (k != key_count)
        for (std::size_t r = 0; r <= rank_[k]; ++r) can_start = can_start || possible[r];
      if (!optional) {
        if (!can_start)
          return k == key_count ? "a node carries a file_name item"
                                : "attribute keys out of order";
        for (bool& p : possible) p = false;
        possible[rank_[k]] = true;
      } else if (can_start) {
        possible[rank_[k]] = true;
      }
    }
    if (!started) return "the items do not start with a known key";
    return {};
  }

 private:
  static constexpr std::size_t key_count = tarnwick::attribute_key_count;
  static constexpr std::size_t no_key = SIZE_MAX;

  // The key (index, or key_count for file_name) that `rest` starts with, followed by "=".
  static std::size_t key_at(std::string_view rest) {
    for (std::size_t k = 0; k < key_count; ++k) {
      std::string_view name = tarnwick::attribute_key_names[k];
      if (starts_with(rest, name) && rest.size() > name.size() && rest[name.size()] == '=') return k;
    }
    if (starts_with(rest, "file_name=")) return key_count;
    return no_key;
  }

  bool in_source_[key_count + 1];
  std::size_t rank_[key_count];
};

// Node line after its indentation.
void check_node_line(std::string_view l, const fuzz::LineTable& table, const ItemChecker& items_check,
                     std::size_t line_no) {
  std::size_t sp = l.find(' ');
  if (sp == std::string_view::npos) fail("node line without positions", l, line_no);
  std::string_view kind = l.substr(0, sp);
  static const std::unordered_set<std::string_view> kinds(std::begin(tarnwick::node_kind_names),
                                                          std::end(tarnwick::node_kind_names));
  if (!kinds.contains(kind)) fail("unknown node kind", l, line_no);

  std::size_t p = sp;
  std::uint64_t line, col, end_line, end_col;
  if (!fuzz::eat(l, p, " line=") || !fuzz::read_u32(l, p, line) || !fuzz::eat(l, p, " col=") ||
      !fuzz::read_u32(l, p, col) || !fuzz::eat(l, p, " end_line=") ||
      !fuzz::read_u32(l, p, end_line) || !fuzz::eat(l, p, " end_col=") ||
      !fuzz::read_u32(l, p, end_col))
    fail("node line does not start with the four positions", l, line_no);
  if (p < l.size() && l[p] != ' ') fail("node positions run into the next item", l, line_no);
  if (!(line == 0 && col == 0) && !table.inside(line, col))
    fail("node start outside the text", l, line_no);
  if (end_line > table.lines()) fail("node end line past the last line", l, line_no);

  std::string_view rest = l.substr(p);
  constexpr std::string_view sp_key = " source_positions=";
  std::size_t at = fuzz::find_last(rest, sp_key);
  std::string_view items = rest;
  if (at != std::string_view::npos && read_positions(rest.substr(at + sp_key.size()), table)) {
    items = rest.substr(0, at);
  } else if (at != std::string_view::npos && !fuzz::contains(rest.substr(0, at), sp_key)) {
    fail("malformed source_positions", l, line_no);
  }
  std::string problem = items_check.check(items);
  if (!problem.empty()) fail(problem.c_str(), l, line_no);
}

// The notes and the index of type arguments of a finished parse.
void check_cursor(const tarnwick::Parser& p) {
  const std::size_t n = p.tokens.size();
  for (std::size_t k = 0; k < p.skipped.size(); ++k) {
    if (p.skipped[k] >= n) fail("a skipped token past the end of the list");
    if (k > 0 && p.skipped[k] <= p.skipped[k - 1]) fail("skipped tokens out of order or noted twice");
    if (p.tokens[p.skipped[k]].kind == tarnwick::TokenKind::Eof) fail("the end-of-file token noted");
  }
  std::size_t covered = 0;
  for (const tarnwick::Diagnostic& d : p.diagnostics) {
    for (std::uint32_t t = 0; t < d.tokens; ++t)
      if (covered + t >= p.skipped.size() || p.skipped[covered + t] != d.first_token + t)
        fail("a diagnostic covers tokens not noted as skipped");
    covered += d.tokens;
  }
  if (covered != p.skipped.size()) fail("skipped tokens outside every diagnostic");
  std::size_t angles = 0;
  for (std::size_t i = 0; i < n && angles < 64; ++i) {
    if (p.tokens[i].word != tarnwick::Word::Less) continue;
    ++angles;
    const std::size_t scanned = tarnwick::scan_run<tarnwick::Brackets::TypeArgs>(
        p, i + 1, n, [](const tarnwick::Token& t) { return t.word == tarnwick::Word::Greater; });
    if (tarnwick::type_arguments_close(p, i) != scanned)
      fail("the index of type arguments differs from their scan");
  }
}

// The largest tree text whose lines are checked.
constexpr std::uint64_t checked_bytes = std::uint64_t{4} << 20;

void check_tree(std::string_view text) {
  std::uint64_t measured = 0;
  bool refused = false;
  fuzz::no_exception("measuring the tree text", [&] {
    try {
      tarnwick::Parser p(text);
      const tarnwick::NodeId root = tarnwick::parse_tree(p);
      measured = tarnwick::measure_tree_text(p.arena, root, file_name);
      check_cursor(p);
    } catch (const tarnwick::OutputTooLarge&) {
      refused = true;  // nesting past what the output limit allows
    }
  });
  if (refused || measured > checked_bytes) return;
  std::string out;
  bool over_limit = false;
  fuzz::no_exception("parse_to_serialized", [&] {
    try {
      out = tarnwick::parse_to_serialized(text, file_name);
    } catch (const tarnwick::OutputTooLarge&) {
      over_limit = true;  // the documented refusal of an oversized tree
    }
  });
  if (over_limit) return;
  if (out.size() > tarnwick::output_limit(text.size()))
    fail("tree text larger than the output limit",
         std::to_string(out.size()) + " bytes for " + std::to_string(text.size()) + " input bytes");
  const fuzz::LineTable table(text);
  const ItemChecker items_check(text);
  if (!out.empty() && out.back() == '\n') fail("line feed after the last line");
  const std::vector<std::string_view> lines = fuzz::split_lines(out);
  if (!equal(lines[0], std::string("# file_name=") + std::string(file_name_escaped)))
    fail("header line is not first or not the escaped file name", lines[0], 1);
  if (lines.size() < 2) fail("no root node line");

  std::size_t prev_node_depth = 0;
  bool prev_is_node = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t line_no = i + 1;
    const std::string_view l = lines[i];
    std::size_t spaces = 0;
    while (spaces < l.size() && l[spaces] == ' ') ++spaces;
    if (spaces % 2) fail("odd indentation", l, line_no);
    const std::size_t depth = spaces / 2;
    const std::string_view body = l.substr(spaces);
    check_escapes(body, line_no);
    if (starts_with(body, "value=")) {
      if (!prev_is_node) fail("value line not right under a node line", l, line_no);
      if (depth != prev_node_depth + 1) fail("value line not one level below its node", l, line_no);
      prev_is_node = false;
      continue;
    }
    if (!starts_with(body, "nt")) fail("line is neither a node line nor a value line", l, line_no);
    if (i == 1) {
      if (depth != 0) fail("root node line is indented", l, line_no);
    } else {
      if (depth == 0) fail("a second node at depth 0", l, line_no);
      if (depth > prev_node_depth + 1) fail("node line more than one level deeper than the one before", l, line_no);
    }
    check_node_line(body, table, items_check, line_no);
    prev_node_depth = depth;
    prev_is_node = true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!fuzz::valid_utf8(bytes)) return 0;  // never handed over by Python
  check_tree(bytes);
  return 0;
}
