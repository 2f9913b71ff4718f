// The owned tree: iterative release and `build_tree`.
#include <utility>

#include "tree/arena.h"

namespace tarnwick {

Node::~Node() {
  if (children.empty()) return;
  // Release descendants with an explicit stack instead of nested destructors.
  std::vector<Node> stack = std::move(children);
  while (!stack.empty()) {
    Node n = std::move(stack.back());
    stack.pop_back();
    for (Node& c : n.children) stack.push_back(std::move(c));
    n.children.clear();
  }
}

Node& Node::operator=(Node&& other) noexcept {
  if (this != &other) {
    Node old = std::move(*this);  // released iteratively when it leaves scope
    file_name = std::move(other.file_name);
    attributes = std::move(other.attributes);
    children = std::move(other.children);
    value = std::move(other.value);
    source_positions = std::move(other.source_positions);
    kind = other.kind;
    line = other.line;
    col = other.col;
    end_line = other.end_line;
    end_col = other.end_col;
    has_value = other.has_value;
  }
  return *this;
}

Node NodeArena::build_tree(NodeId root) const {
  auto fill = [this](NodeId id, Node& n) {
    const Record& r = record(id);
    n.kind = r.kind;
    n.line = r.line;
    n.col = r.col;
    n.end_line = r.end_line;
    n.end_col = r.end_col;
    n.has_value = r.has_value;
    n.value = std::string(text(r.value));
    for (std::uint32_t e = r.first_attribute; e != none; e = attributes_[e].next)
      n.attributes.push_back(Attribute{attributes_[e].key, std::string(text(attributes_[e].value))});
    if (r.positions.pool == none) {
      n.source_positions.reserve(r.positions.count);
      for (std::uint32_t k = 0; k < r.positions.count; ++k)
        n.source_positions.push_back(SourcePosition{r.positions.line, r.positions.col + k});
    } else {
      n.source_positions = position_lists_[r.positions.pool];
    }
  };
  Node tree;
  struct Pending {
    NodeId id;
    Node* target;
  };
  std::vector<Pending> stack{{root, &tree}};
  while (!stack.empty()) {
    Pending p = stack.back();
    stack.pop_back();
    fill(p.id, *p.target);
    // All children are created before any is filled, so the pointers taken
    // into the vector stay valid.
    std::size_t count = child_count(p.id);
    p.target->children.resize(count);
    std::size_t k = count;
    std::vector<NodeId> ids;
    ids.reserve(count);
    for (std::uint32_t e = record(p.id).first_child; e != none; e = children_[e].next)
      ids.push_back(children_[e].child);
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
      --k;
      check(*it);
      stack.push_back(Pending{*it, &p.target->children[k]});
    }
  }
  return tree;
}

}  // namespace tarnwick
