// The tree text read back into a tree: the header, then one line per node,
// its depth told by its indentation, and the value line under a node that
// has one. Only what the writer writes is accepted, so that writing the tree
// again gives the text it was read from.
#include <algorithm>
#include <string>
#include <unordered_map>

#include "call_limits.h"
#include "errors.h"
#include "tree/syntax_tree.h"

namespace tarnwick {
namespace {

constexpr std::string_view header = "# file_name=";
constexpr std::string_view positions_item = " source_positions=";
constexpr std::string_view value_item = "value=";
constexpr std::uint8_t no_key = 0xFF;

const std::unordered_map<std::string_view, NodeKind>& kinds_by_name() {
  static const std::unordered_map<std::string_view, NodeKind> kinds = [] {
    std::unordered_map<std::string_view, NodeKind> m;
    for (std::size_t k = 0; k < std::size(node_kind_names); ++k)
      m.emplace(node_kind_names[k], static_cast<NodeKind>(k));
    return m;
  }();
  return kinds;
}

// The key named by `text`, or no_key.
std::uint8_t key_named(std::string_view text) {
  for (std::size_t k = 0; k < attribute_key_count; ++k)
    if (attribute_key_names[k] == text) return static_cast<std::uint8_t>(k);
  return no_key;
}

}  // namespace

class TreeTextReader {
 public:
  explicit TreeTextReader(std::string_view text) : text_(text) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw TreeTextError("not a tree text: line " + std::to_string(line_number_) + ": " + what);
  }

  // Appends the unescaped `text` to `out`.
  void unescape(std::string_view text, std::string& out) const {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '\t' || c == '\r') fail("an unescaped tab or carriage return");
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (++i == text.size()) fail("a backslash at the end of a text");
      switch (text[i]) {
        case '\\': out.push_back('\\'); break;
        case 't': out.push_back('\t'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        default: fail("an unknown escape");
      }
    }
  }

  // A decimal number as the writer writes it (no sign, no leading zero).
  std::uint32_t number(std::string_view& s) const {
    std::size_t n = 0;
    std::uint64_t v = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
      v = v * 10 + static_cast<std::uint64_t>(s[n] - '0');
      if (v > 0xFFFFFFFFu) fail("a number past 32 bits");
      ++n;
    }
    if (n == 0 || (n > 1 && s[0] == '0')) fail("a malformed number");
    s.remove_prefix(n);
    return static_cast<std::uint32_t>(v);
  }

  void expect(std::string_view& s, std::string_view word) const {
    if (s.substr(0, word.size()) != word) fail("expected \"" + std::string(word) + "\"");
    s.remove_prefix(word.size());
  }

  // Reads "L:C,L:C,..." wholly, into `out`; false when `s` is not such a list.
  bool positions(std::string_view s, std::vector<SourcePosition>& out) const {
    out.clear();
    while (true) {
      SourcePosition p;
      if (!small_number(s, p.line) || s.empty() || s[0] != ':') return false;
      s.remove_prefix(1);
      if (!small_number(s, p.col)) return false;
      out.push_back(p);
      if (s.empty()) return true;
      if (s[0] != ',') return false;
      s.remove_prefix(1);
    }
  }

  void read(SyntaxTree& t) {
    std::string_view rest = text_;
    std::string_view line = next_line(rest);
    if (line.substr(0, header.size()) != header) fail("the header \"# file_name=\" is missing");
    unescape(line.substr(header.size()), t.file_name_);
    std::vector<std::uint32_t> path;     // the open nodes, root first
    std::vector<std::uint32_t> parents;  // each node's parent (none for the root)
    std::vector<SourcePosition> list;
    bool value_allowed = false;          // the line before was a node line
    while (!done_) {
      line = next_line(rest);
      if (line.empty()) fail("an empty line");
      std::size_t spaces = 0;
      while (spaces < line.size() && line[spaces] == ' ') ++spaces;
      if (spaces % 2 != 0) fail("an odd indentation");
      const std::size_t depth = spaces / 2;
      std::string_view s = line.substr(spaces);
      if (s.substr(0, value_item.size()) == value_item) {
        if (!value_allowed || depth != path.size()) fail("a value line that follows no node line");
        value_allowed = false;
        SyntaxTree::Node& node = t.nodes_.back();
        node.flags |= SyntaxTree::has_value_flag;
        t.items_.push_back(pooled(t, s.substr(value_item.size()), SyntaxTree::value_key));
        continue;
      }
      if (depth > path.size()) fail("a node indented deeper than below its parent");
      if (depth == 0 && !t.nodes_.empty()) fail("a second root");
      path.resize(depth);
      if (t.nodes_.size() >= NodeArena::none - 1) fail("too many nodes");
      const auto id = static_cast<std::uint32_t>(t.nodes_.size());
      parents.push_back(depth == 0 ? NodeArena::none : path.back());
      path.push_back(id);
      value_allowed = true;

      SyntaxTree::Node node{};
      const std::size_t space = s.find(' ');
      auto kind = kinds_by_name().find(s.substr(0, space));
      if (kind == kinds_by_name().end()) fail("an unknown node kind");
      node.kind = kind->second;
      s.remove_prefix(std::min(space, s.size()));
      expect(s, " line=");
      node.line = number(s);
      expect(s, " col=");
      node.col = number(s);
      expect(s, " end_line=");
      node.end_line = number(s);
      expect(s, " end_col=");
      node.end_col = number(s);
      node.first_item = static_cast<std::uint32_t>(t.items_.size());
      // The source positions come last; the list itself holds no space, so
      // the last " source_positions=" of the line is the item.
      const std::size_t at = s.rfind(positions_item);
      if (at != std::string_view::npos && positions(s.substr(at + positions_item.size()), list)) {
        s = s.substr(0, at);
        const SourcePosition first = list.front();
        bool run = true;
        for (std::size_t k = 1; run && k < list.size(); ++k)
          run = list[k].line == first.line && list[k].col == first.col + k;
        node.position_count = static_cast<std::uint32_t>(list.size());
        if (run) {
          node.position_a = first.line;
          node.position_b = first.col;
        } else {
          const std::uint64_t offset = t.position_lists_.size();
          t.position_lists_.insert(t.position_lists_.end(), list.begin(), list.end());
          node.flags |= SyntaxTree::position_list_flag;
          node.position_a = static_cast<std::uint32_t>(offset);
          node.position_b = static_cast<std::uint32_t>(offset >> 32);
        }
      }
      attributes(t, s);
      t.nodes_.push_back(node);
    }
    if (t.nodes_.empty()) fail("no node line");
    // Children as ranges: nodes come in document order, so each node's
    // children are the later nodes that name it as parent, in order.
    const std::size_t n = t.nodes_.size();
    std::vector<std::uint32_t> counts(n + 1, 0);
    for (std::uint32_t p : parents)
      if (p != NodeArena::none) ++counts[p];
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
      t.nodes_[i].first_child = total;
      total += counts[i];
      counts[i] = t.nodes_[i].first_child;  // the next free slot
    }
    t.child_ids_.resize(total);
    for (std::size_t i = 1; i < n; ++i) t.child_ids_[counts[parents[i]]++] = static_cast<std::uint32_t>(i);
    // Places: no subtree is shared, so each node's are its own and its
    // descendants', which come after it.
    t.places_.assign(n, 1);
    for (std::size_t i = n; i-- > 1;) t.places_[parents[i]] += t.places_[i];
  }

 private:
  std::string_view next_line(std::string_view& rest) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    if (lf == std::string_view::npos) {
      done_ = true;
      rest = {};
    } else {
      rest.remove_prefix(lf + 1);
    }
    ++line_number_;
    return line;
  }

  bool small_number(std::string_view& s, std::uint32_t& v) const {
    std::size_t n = 0;
    std::uint64_t x = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9' && n < 11) x = x * 10 + (s[n++] - '0');
    if (n == 0 || (n > 1 && s[0] == '0') || x > 0xFFFFFFFFu) return false;
    s.remove_prefix(n);
    v = static_cast<std::uint32_t>(x);
    return true;
  }

  SyntaxTree::Item pooled(SyntaxTree& t, std::string_view escaped, std::uint8_t key) const {
    const std::size_t at = t.pool_.size();
    unescape(escaped, t.pool_);
    const std::size_t length = t.pool_.size() - at;
    if (length >= NodeArena::none) fail("a text too long");
    return SyntaxTree::Item{at, static_cast<std::uint32_t>(length), key, true};
  }

  // The key of an item " key=" at the start of `s`, or no_key.
  static std::uint8_t key_at(std::string_view s) {
    if (s.empty() || s[0] != ' ') return no_key;
    const std::size_t eq = s.find('=', 1);
    if (eq == std::string_view::npos || eq > 18) return no_key;
    return key_named(s.substr(1, eq - 1));
  }

  // The attributes " key=value ...", sorted by key name. A value runs up to
  // the first space that starts an item of a key sorting after its own, or
  // to the end.
  void attributes(SyntaxTree& t, std::string_view s) const {
    // Each value ends where a later key begins, so the keys come in order.
    while (!s.empty()) {
      const std::uint8_t key = key_at(s);
      if (key == no_key) fail("an unknown attribute");
      const int rank = attribute_order.rank[key];
      s.remove_prefix(attribute_key_names[key].size() + 2);
      std::size_t end = 0;
      for (;; ++end) {
        end = s.find(' ', end);
        if (end == std::string_view::npos) {
          end = s.size();
          break;
        }
        const std::uint8_t next = key_at(s.substr(end));
        if (next != no_key && attribute_order.rank[next] > rank) break;
      }
      t.items_.push_back(pooled(t, s.substr(0, end), key));
      s.remove_prefix(end);
    }
  }

  std::string_view text_;
  std::size_t line_number_ = 0;
  bool done_ = false;
};

std::unique_ptr<SyntaxTree> SyntaxTree::from_text(std::string_view text) {
  std::unique_ptr<SyntaxTree> t(new SyntaxTree());
  t->output_limit_ = std::max<std::uint64_t>(tarnwick::output_limit(0), text.size());
  TreeTextReader(text).read(*t);
  t->finish();
  return t;
}

}  // namespace tarnwick
