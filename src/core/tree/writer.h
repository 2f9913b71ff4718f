// The tree text: a header naming the file, then one line per node in
// depth-first order, children indented two spaces below their parent.
#pragma once

#include <cstdint>
#include <string_view>

#include "call_limits.h"
#include "tree/arena.h"
#include "tree/syntax_tree.h"
#include "util/output.h"

namespace tarnwick {

// The exact length in bytes of the tree text of `root` (header included),
// found without writing it; a length past 2^62 is answered as 2^62.
std::uint64_t measure_tree_text(const NodeArena& arena, NodeId root, std::string_view file_name);

// Writes the tree text of `root` into `out`, in a block of its exact size.
// Past the output limit of the arena's source it writes nothing and fails
// with OutputTooLarge.
void serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                     OutputBuffer& out);

// The same for a finished tree, under its own file name.
std::uint64_t measure_tree_text(const SyntaxTree& tree);
// Writes the tree text of a finished tree, as serialize_arena does.
void serialize_tree(const SyntaxTree& tree, OutputBuffer& out);

// The sizes the writer takes for the line of node `node` at `depth` (the
// line feed before it, the node line and its value line): `exact` is its
// length as written, `longest` the room made for any line of its shape
// without reading its texts. Each line is written into room of one of them
// plus the bytes that fixed-size copies may store past its end, so either
// being short lets the writer store past its block.
struct LineRoom {
  std::uint64_t exact = 0, longest = 0;
};
LineRoom line_room(const SyntaxTree& tree, std::uint32_t node, std::size_t depth);

}  // namespace tarnwick
