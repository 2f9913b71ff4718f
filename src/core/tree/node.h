// The node model: node kinds, attribute keys and source positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>


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

struct SourcePosition {
  std::uint32_t line = 0;
  std::uint32_t col = 0;
  friend bool operator==(const SourcePosition&, const SourcePosition&) = default;
};

}  // namespace tarnwick
