#include "tree/writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

namespace tarnwick {
namespace {

constexpr std::string_view header = "# file_name=";

// Longest fixed part of a node line: line feed, kind name and the four
// numbered fields with 10 digits each.
constexpr std::size_t fixed_line_bytes = 1 + 40 + 6 + 5 + 10 + 9 + 4 * 10;
constexpr std::size_t position_bytes = 10 + 1 + 10 + 1;

struct EscapeTable {
  // 0: copied as is; otherwise the letter written after the backslash.
  char letter[256];
  constexpr EscapeTable() : letter{} {
    letter[static_cast<unsigned char>('\\')] = '\\';
    letter[static_cast<unsigned char>('\t')] = 't';
    letter[static_cast<unsigned char>('\n')] = 'n';
    letter[static_cast<unsigned char>('\r')] = 'r';
  }
};
constexpr EscapeTable escapes{};

// Escapes `text` into room of at least 2 * text.size() bytes.
inline char* put_escaped(char* p, std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t run = 0;
  for (std::size_t i = 0; i < n; ++i) {
    char e = escapes.letter[static_cast<unsigned char>(s[i])];
    if (e == 0) continue;
    std::memcpy(p, s + run, i - run);
    p += i - run;
    *p++ = '\\';
    *p++ = e;
    run = i + 1;
  }
  std::memcpy(p, s + run, n - run);
  return p + (n - run);
}

struct AttributeItem {
  AttributeKey key;
  std::string_view value;
};

// The fields of one node line, whichever store they come from.
struct NodeLine {
  NodeKind kind;
  std::uint32_t line, col, end_line, end_col;
  std::span<AttributeItem> attributes;
  std::string_view file_name;
  bool has_value;
  std::string_view value;
  // Source positions: a run of `run_count` columns from (run_line, run_col),
  // or the explicit `list` when it is set.
  std::uint32_t run_line, run_col, run_count;
  const std::vector<SourcePosition>* list;
};

void write_line(const NodeLine& n, std::size_t depth, std::string_view call_file_name,
                OutputBuffer& out) {
  // Attributes in key-name order (a key occurs at most once per node).
  std::span<AttributeItem> attrs = n.attributes;
  std::sort(attrs.begin(), attrs.end(), [](const AttributeItem& a, const AttributeItem& b) {
    return attribute_order.rank[static_cast<std::uint32_t>(a.key)] <
           attribute_order.rank[static_cast<std::uint32_t>(b.key)];
  });
  const bool write_file_name = !n.file_name.empty() && n.file_name != call_file_name;
  const std::size_t positions = n.list ? n.list->size() : n.run_count;
  std::size_t bound = fixed_line_bytes + 2 * depth + 18 + positions * position_bytes;
  for (const AttributeItem& a : attrs) bound += 20 + 2 * a.value.size();
  if (write_file_name) bound += 11 + 2 * n.file_name.size();
  if (n.has_value) bound += 8 + 2 * depth + 2 * n.value.size();

  char* p = out.room(bound);
  *p++ = '\n';
  std::memset(p, ' ', 2 * depth);
  p += 2 * depth;
  p = put(p, node_kind_name(n.kind));
  p = put(p, " line=");
  p = put_uint(p, n.line);
  p = put(p, " col=");
  p = put_uint(p, n.col);
  p = put(p, " end_line=");
  p = put_uint(p, n.end_line);
  p = put(p, " end_col=");
  p = put_uint(p, n.end_col);
  for (const AttributeItem& a : attrs) {
    *p++ = ' ';
    p = put(p, attribute_key_name(a.key));
    *p++ = '=';
    p = put_escaped(p, a.value);
  }
  if (write_file_name) {
    p = put(p, " file_name=");
    p = put_escaped(p, n.file_name);
  }
  if (positions > 0) {
    p = put(p, " source_positions=");
    if (n.list) {
      for (std::size_t k = 0; k < positions; ++k) {
        if (k) *p++ = ',';
        p = put_uint(p, (*n.list)[k].line);
        *p++ = ':';
        p = put_uint(p, (*n.list)[k].col);
      }
    } else {
      // One line, consecutive columns: the "line:" prefix is the same for
      // every entry and the column digits are counted up in place.
      char prefix[12];
      char* e = put_uint(prefix, n.run_line);
      *e++ = ':';
      const std::size_t prefix_len = static_cast<std::size_t>(e - prefix);
      DecimalCounter col(n.run_col);
      for (std::size_t k = 0; k < positions; ++k) {
        if (k) *p++ = ',';
        std::memcpy(p, prefix, prefix_len);
        p = col.put(p + prefix_len);
        col.increment();
      }
    }
  }
  if (n.has_value) {
    *p++ = '\n';
    std::memset(p, ' ', 2 * depth + 2);
    p += 2 * depth + 2;
    p = put(p, "value=");
    p = put_escaped(p, n.value);
  }
  out.commit(p);
}

void write_header(std::string_view file_name, OutputBuffer& out) {
  char* p = out.room(header.size() + 2 * file_name.size());
  p = put(p, header);
  out.commit(put_escaped(p, file_name));
}

}  // namespace

void escape_text(std::string_view text, OutputBuffer& out) {
  out.commit(put_escaped(out.room(2 * text.size()), text));
}

void escape_text(std::string_view text, std::string& out) {
  OutputBuffer b;
  escape_text(text, b);
  out.append(b.view());
}

void write_node(const Node& n, std::size_t depth, std::string_view file_name, OutputBuffer& out) {
  std::vector<AttributeItem> attrs;
  attrs.reserve(n.attributes.size());
  for (const Attribute& a : n.attributes) attrs.push_back(AttributeItem{a.key, a.value});
  NodeLine line{n.kind,  n.line,     n.col,       n.end_line, n.end_col, attrs,
                n.file_name, n.has_value, n.value, 0, 0, 0, &n.source_positions};
  write_line(line, depth, file_name, out);
}

std::string serialize_tree(const Node& root, std::string_view file_name) {
  OutputBuffer out;
  write_header(file_name, out);
  struct Pending {
    const Node* node;
    std::size_t depth;
  };
  std::vector<Pending> stack{{&root, 0}};
  while (!stack.empty()) {
    Pending p = stack.back();
    stack.pop_back();
    write_node(*p.node, p.depth, file_name, out);
    for (auto it = p.node->children.rbegin(); it != p.node->children.rend(); ++it)
      stack.push_back(Pending{&*it, p.depth + 1});
  }
  return out.str();
}

void serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                     OutputBuffer& out) {
  const std::size_t limit = output_limit(arena.source().size());
  write_header(file_name, out);
  std::array<AttributeItem, attribute_key_count> attrs;
  struct Pending {
    NodeId node;
    std::size_t depth;
  };
  std::vector<Pending> stack{{root, 0}};
  std::vector<NodeId> kids;
  while (!stack.empty()) {
    Pending p = stack.back();
    stack.pop_back();
    const NodeArena::Record& r = arena.record(p.node);
    std::size_t n_attrs = 0;
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none;) {
      const auto& entry = arena.attribute_entry(e);
      if (n_attrs == attrs.size()) throw InternalError("a node holds one attribute key twice");
      attrs[n_attrs++] = AttributeItem{entry.key, arena.text(entry.value)};
      e = entry.next;
    }
    const bool is_run = r.positions.pool == NodeArena::none;
    NodeLine line{r.kind,
                  r.line,
                  r.col,
                  r.end_line,
                  r.end_col,
                  std::span<AttributeItem>(attrs.data(), n_attrs),
                  std::string_view(),
                  r.has_value,
                  arena.text(r.value),
                  r.positions.line,
                  r.positions.col,
                  r.positions.count,
                  is_run ? nullptr : &arena.position_list(r.positions.pool)};
    write_line(line, p.depth, file_name, out);
    if (out.size() > limit) throw OutputTooLarge();
    kids.clear();
    for (std::uint32_t e = r.first_child; e != NodeArena::none;) {
      const auto& entry = arena.child_entry(e);
      kids.push_back(entry.child);
      e = entry.next;
    }
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(Pending{*it, p.depth + 1});
  }
}

std::string serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                            std::size_t reserve) {
  OutputBuffer out;
  out.reserve(std::max(reserve, header.size()));
  serialize_arena(arena, root, file_name, out);
  return out.str();
}

}  // namespace tarnwick
