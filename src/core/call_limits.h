// The limits of a call, and the figures derived from them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Lines and columns are 32-bit numbers; a text longer than this could
// number them past 2^32 - 1, so it is refused before anything is scanned.
inline constexpr std::size_t max_text_size = 0xFFFFFFFEu;

// The largest tree text a call may produce for a source of `source_size`
// bytes: 1 GiB plus 64 bytes per source byte, far above what real code needs
// (15 to 25 bytes of tree text per byte of source).
inline constexpr std::uint64_t output_limit(std::uint64_t source_size) {
  return (std::uint64_t{1} << 30) + 64 * source_size;
}

// The deepest nesting of the grammar's recursive rules whose tree text can
// still fit the output limit. Each level of those rules adds at least one
// level to the tree, and the line of a node at depth d is indented by 2d
// spaces, so a nesting D levels deep writes at least 2 + 4 + ... + 2(D - 1)
// = D(D - 1) bytes of indentation for the levels above the deepest one. The
// answer is the largest D with D(D - 1) within the limit: a nesting that
// goes deeper is refused at once, whatever follows it.
inline constexpr std::size_t max_nesting(std::uint64_t source_size) {
  const std::uint64_t limit = output_limit(source_size);
  // Integer square root by bisection (constexpr, and exact for 64 bits).
  std::uint64_t low = 1, high = std::uint64_t{1} << 32;
  while (high - low > 1) {
    const std::uint64_t mid = low + (high - low) / 2;
    if (mid * (mid - 1) <= limit) {
      low = mid;
    } else {
      high = mid;
    }
  }
  return static_cast<std::size_t>(low);
}
static_assert(max_nesting(0) == 32768);  // 32768 * 32767 <= 2^30 < 32769 * 32768
static_assert(max_nesting(max_text_size) < 600000);

// The most memory a thread keeps between its calls (see Workspace).
inline constexpr std::size_t retained_bytes = std::size_t{32} << 20;

}  // namespace tarnwick
