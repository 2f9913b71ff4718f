// An owned tree built from the arena, and a plain writer of its tree text:
// the straightforward reading of the format, against which the core's writer
// (which works on the arena, with fixed-size copies and a measured block) is
// checked on every tree the native tests build.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tree/arena.h"

namespace tarnwick::testing {

struct Attribute {
  AttributeKey key;
  std::string value;
};

// One node of the owned tree. Children are released with an explicit stack,
// so a tree of any depth is freed without deep recursion.
struct Node {
  std::vector<Attribute> attributes;
  std::vector<Node> children;
  std::string value;
  std::vector<SourcePosition> source_positions;
  NodeKind kind = NodeKind::Unknown;
  std::uint32_t line = 0, col = 0, end_line = 0, end_col = 0;
  bool has_value = false;

  Node() = default;
  Node(Node&&) noexcept = default;
  Node& operator=(Node&&) noexcept = default;
  ~Node() {
    std::vector<Node> pending = std::move(children);
    while (!pending.empty()) {
      Node n = std::move(pending.back());
      pending.pop_back();
      for (Node& c : n.children) pending.push_back(std::move(c));
      n.children.clear();
    }
  }
};

// The source positions of an arena node, as a list.
inline std::vector<SourcePosition> positions_of_node(const NodeArena& arena, NodeId id) {
  const NodeArena::Record& r = arena.record(id);
  if (r.positions.pool != NodeArena::none) return arena.position_list(r.positions.pool);
  std::vector<SourcePosition> out;
  for (std::uint32_t k = 0; k < r.positions.count; ++k)
    out.push_back(SourcePosition{r.positions.line, r.positions.col + k});
  return out;
}

// The owned tree under `root`; a node attached in several places is copied
// to each. Iterative: every child is created before it is filled.
inline Node build_tree(const NodeArena& arena, NodeId root) {
  Node tree;
  std::vector<std::pair<NodeId, Node*>> pending{{root, &tree}};
  while (!pending.empty()) {
    auto [id, n] = pending.back();
    pending.pop_back();
    const NodeArena::Record& r = arena.record(id);
    n->kind = r.kind;
    n->line = r.line;
    n->col = r.col;
    n->end_line = r.end_line;
    n->end_col = r.end_col;
    n->has_value = r.has_value;
    n->value = std::string(arena.text(r.value));
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none; e = arena.attribute_entry(e).next)
      n->attributes.push_back(Attribute{arena.attribute_entry(e).key,
                                        std::string(arena.text(arena.attribute_entry(e).value))});
    n->source_positions = positions_of_node(arena, id);
    std::vector<NodeId> ids;
    for (std::uint32_t e = r.first_child; e != NodeArena::none; e = arena.child_entry(e).next)
      ids.push_back(arena.child_entry(e).child);
    n->children.resize(ids.size());
    for (std::size_t k = ids.size(); k-- > 0;) pending.emplace_back(ids[k], &n->children[k]);
  }
  return tree;
}

inline void escape_into(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
}

// The tree text of an owned tree, written piece by piece.
inline std::string serialize_tree(const Node& root, std::string_view file_name) {
  std::string out = "# file_name=";
  escape_into(out, file_name);
  std::vector<std::pair<const Node*, std::size_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    auto [n, depth] = pending.back();
    pending.pop_back();
    out += "\n" + std::string(2 * depth, ' ') + std::string(node_kind_name(n->kind));
    out += " line=" + std::to_string(n->line) + " col=" + std::to_string(n->col) +
           " end_line=" + std::to_string(n->end_line) + " end_col=" + std::to_string(n->end_col);
    std::vector<const Attribute*> sorted;
    for (const Attribute& a : n->attributes) sorted.push_back(&a);
    std::stable_sort(sorted.begin(), sorted.end(), [](const Attribute* x, const Attribute* y) {
      return attribute_key_name(x->key) < attribute_key_name(y->key);
    });
    for (const Attribute* a : sorted) {
      out += " " + std::string(attribute_key_name(a->key)) + "=";
      escape_into(out, a->value);
    }
    if (!n->source_positions.empty()) {
      out += " source_positions=";
      for (std::size_t k = 0; k < n->source_positions.size(); ++k) {
        if (k) out += ",";
        out += std::to_string(n->source_positions[k].line) + ":" +
               std::to_string(n->source_positions[k].col);
      }
    }
    if (n->has_value) {
      out += "\n" + std::string(2 * depth + 2, ' ') + "value=";
      escape_into(out, n->value);
    }
    for (std::size_t k = n->children.size(); k-- > 0;) pending.emplace_back(&n->children[k], depth + 1);
  }
  return out;
}

}  // namespace tarnwick::testing
