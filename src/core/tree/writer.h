// The tree text: a header naming the file, then one line per node in
// depth-first order, children indented two spaces below their parent.
#pragma once

#include <string>
#include <string_view>

#include "tree/arena.h"

namespace tarnwick {

// Appends `text` with backslash, tab, line feed and carriage return escaped
// as \\, \t, \n and \r.
void escape_text(std::string_view text, std::string& out);

// The whole tree text of an owned tree.
std::string serialize_tree(const Node& root, std::string_view file_name);

// The same text written straight from the arena, without building the owned
// tree first. `reserve` is the initial capacity of the output.
std::string serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                            std::size_t reserve);

}  // namespace tarnwick
