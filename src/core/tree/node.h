// The node model: node kinds, attribute keys, source positions and the owned
// tree that `build_tree` produces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

enum class NodeKind : std::uint8_t {
#define NODE_KIND(name) name,
#include "tree/node_kinds.def"
#undef NODE_KIND
};

inline constexpr std::string_view node_kind_names[] = {
#define NODE_KIND(name) "nt" #name,
#include "tree/node_kinds.def"
#undef NODE_KIND
};
static_assert(std::size(node_kind_names) == 147);

inline std::string_view node_kind_name(NodeKind k) {
  return node_kind_names[static_cast<std::uint8_t>(k)];
}

enum class AttributeKey : std::uint32_t {
#define ATTRIBUTE_KEY(name, text) name,
#include "tree/attribute_keys.def"
#undef ATTRIBUTE_KEY
};

inline constexpr std::string_view attribute_key_names[] = {
#define ATTRIBUTE_KEY(name, text) text,
#include "tree/attribute_keys.def"
#undef ATTRIBUTE_KEY
};
inline constexpr std::size_t attribute_key_count = std::size(attribute_key_names);
static_assert(attribute_key_count == 27);

inline std::string_view attribute_key_name(AttributeKey k) {
  return attribute_key_names[static_cast<std::uint32_t>(k)];
}

// Rank of each key in the output order (ascending bytes of the key names).
struct AttributeOrder {
  std::uint8_t rank[attribute_key_count];
  constexpr AttributeOrder() : rank{} {
    for (std::size_t i = 0; i < attribute_key_count; ++i) {
      std::uint8_t r = 0;
      for (std::size_t j = 0; j < attribute_key_count; ++j)
        if (attribute_key_names[j] < attribute_key_names[i]) ++r;
      rank[i] = r;
    }
  }
};
inline constexpr AttributeOrder attribute_order{};

// A broken internal invariant (an id or index that does not exist). Never a
// property of the input; reaches Python as PanicException.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A call that would need more memory than tarnwick allows itself: the output
// of a pathological input (a dotted chain a hundred thousand parts long, a
// type copied for tens of thousands of names) would be gigabytes. Reaches
// Python as MemoryError with this message.
class OutputTooLarge : public std::bad_alloc {
 public:
  const char* what() const noexcept override {
    return "the syntax tree text of this input would exceed the output limit";
  }
};

// The largest tree text a call may produce for a source of `source_size`
// bytes: 1 GiB plus 64 bytes per source byte, far above what real code needs
// (about 15 bytes of tree text per byte of source).
inline constexpr std::size_t output_limit(std::size_t source_size) {
  return (std::size_t{1} << 30) + 64 * source_size;
}

struct SourcePosition {
  std::uint32_t line = 0;
  std::uint32_t col = 0;
  friend bool operator==(const SourcePosition&, const SourcePosition&) = default;
};

struct Attribute {
  AttributeKey key;
  std::string value;
};

// One node of the owned tree. Destruction is iterative, so a tree of any
// depth is released without deep recursion.
struct Node {
  std::string file_name;
  std::vector<Attribute> attributes;
  std::vector<Node> children;
  std::string value;
  std::vector<SourcePosition> source_positions;
  NodeKind kind = NodeKind::Unknown;
  std::uint32_t line = 0;
  std::uint32_t col = 0;
  std::uint32_t end_line = 0;
  std::uint32_t end_col = 0;
  bool has_value = false;

  Node() = default;
  Node(Node&&) noexcept = default;
  Node& operator=(Node&& other) noexcept;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node();
};

}  // namespace tarnwick
