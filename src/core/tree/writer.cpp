#include "tree/writer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

namespace tarnwick {
namespace {

constexpr std::string_view header = "# file_name=";

inline void append_uint(std::string& out, std::uint32_t v) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

inline void append_indent(std::string& out, std::size_t levels) {
  out.append(levels * 2, ' ');
}

struct AttributeItem {
  AttributeKey key;
  std::string_view value;
};

// Sorts attributes by key name; equal names keep their order.
inline void sort_attributes(AttributeItem* items, std::size_t n) {
  std::stable_sort(items, items + n, [](const AttributeItem& a, const AttributeItem& b) {
    return attribute_order.rank[static_cast<std::uint32_t>(a.key)] <
           attribute_order.rank[static_cast<std::uint32_t>(b.key)];
  });
}

// The fields of one node line, whichever store they come from.
struct NodeLine {
  NodeKind kind;
  std::uint32_t line, col, end_line, end_col;
  std::vector<AttributeItem>* attributes;
  std::string_view file_name;
  bool has_value;
  std::string_view value;
};

void append_position(std::string& out, std::uint32_t line, std::uint32_t col) {
  append_uint(out, line);
  out.push_back(':');
  append_uint(out, col);
}

void append_run(std::string& out, std::uint32_t line, std::uint32_t col, std::uint32_t count) {
  if (count == 0) return;
  out.append(" source_positions=");
  char line_buf[16];
  auto r = std::to_chars(line_buf, line_buf + sizeof line_buf, line);
  std::size_t line_len = static_cast<std::size_t>(r.ptr - line_buf);
  for (std::uint32_t k = 0; k < count; ++k) {
    if (k) out.push_back(',');
    out.append(line_buf, line_len);
    out.push_back(':');
    append_uint(out, col + k);
  }
}

void append_list(std::string& out, const std::vector<SourcePosition>& list) {
  if (list.empty()) return;
  out.append(" source_positions=");
  for (std::size_t k = 0; k < list.size(); ++k) {
    if (k) out.push_back(',');
    append_position(out, list[k].line, list[k].col);
  }
}

// Writes the part of a node line before its positions.
void write_head(std::string& out, std::size_t depth, const NodeLine& n,
                std::string_view call_file_name) {
  out.push_back('\n');
  append_indent(out, depth);
  out.append(node_kind_name(n.kind));
  out.append(" line=");
  append_uint(out, n.line);
  out.append(" col=");
  append_uint(out, n.col);
  out.append(" end_line=");
  append_uint(out, n.end_line);
  out.append(" end_col=");
  append_uint(out, n.end_col);
  auto& attrs = *n.attributes;
  sort_attributes(attrs.data(), attrs.size());
  for (const AttributeItem& a : attrs) {
    out.push_back(' ');
    out.append(attribute_key_name(a.key));
    out.push_back('=');
    escape_text(a.value, out);
  }
  if (!n.file_name.empty() && n.file_name != call_file_name) {
    out.append(" file_name=");
    escape_text(n.file_name, out);
  }
}

void write_value(std::string& out, std::size_t depth, const NodeLine& n) {
  if (!n.has_value) return;
  out.push_back('\n');
  append_indent(out, depth + 1);
  out.append("value=");
  escape_text(n.value, out);
}

}  // namespace

void escape_text(std::string_view text, std::string& out) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* esc;
    switch (text[i]) {
      case '\\': esc = "\\\\"; break;
      case '\t': esc = "\\t"; break;
      case '\n': esc = "\\n"; break;
      case '\r': esc = "\\r"; break;
      default: continue;
    }
    out.append(text.data() + run, i - run);
    out.append(esc, 2);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

std::string serialize_tree(const Node& root, std::string_view file_name) {
  std::string out;
  out.reserve(header.size() + 64);
  out.append(header);
  escape_text(file_name, out);
  std::vector<AttributeItem> attrs;
  struct Pending {
    const Node* node;
    std::size_t depth;
  };
  std::vector<Pending> stack{{&root, 0}};
  while (!stack.empty()) {
    Pending p = stack.back();
    stack.pop_back();
    const Node& n = *p.node;
    attrs.clear();
    for (const Attribute& a : n.attributes) attrs.push_back(AttributeItem{a.key, a.value});
    NodeLine line{n.kind, n.line, n.col, n.end_line, n.end_col, &attrs, n.file_name, n.has_value, n.value};
    write_head(out, p.depth, line, file_name);
    append_list(out, n.source_positions);
    write_value(out, p.depth, line);
    for (auto it = n.children.rbegin(); it != n.children.rend(); ++it)
      stack.push_back(Pending{&*it, p.depth + 1});
  }
  return out;
}

std::string serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                            std::size_t reserve) {
  const std::size_t limit = output_limit(arena.source().size());
  std::string out;
  out.reserve(std::max(reserve, header.size()));
  out.append(header);
  escape_text(file_name, out);
  std::vector<AttributeItem> attrs;
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
    attrs.clear();
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none;) {
      const auto& entry = arena.attribute_entry(e);
      attrs.push_back(AttributeItem{entry.key, arena.text(entry.value)});
      e = entry.next;
    }
    NodeLine line{r.kind, r.line, r.col, r.end_line, r.end_col, &attrs, arena.text(r.file_name),
                  r.has_value, arena.text(r.value)};
    write_head(out, p.depth, line, file_name);
    if (r.positions.pool == NodeArena::none) {
      append_run(out, r.positions.line, r.positions.col, r.positions.count);
    } else {
      append_list(out, arena.position_list(r.positions.pool));
    }
    write_value(out, p.depth, line);
    if (out.size() > limit) throw OutputTooLarge();
    kids.clear();
    for (std::uint32_t e = r.first_child; e != NodeArena::none;) {
      const auto& entry = arena.child_entry(e);
      kids.push_back(entry.child);
      e = entry.next;
    }
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(Pending{*it, p.depth + 1});
  }
  return out;
}

}  // namespace tarnwick
