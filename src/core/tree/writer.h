// The tree text: a header naming the file, then one line per node in
// depth-first order, children indented two spaces below their parent.
#pragma once

#include <string>
#include <string_view>

#include "tree/arena.h"
#include "util/output.h"

namespace tarnwick {

// Appends `text` with backslash, tab, line feed and carriage return escaped
// as \\, \t, \n and \r.
void escape_text(std::string_view text, std::string& out);
void escape_text(std::string_view text, OutputBuffer& out);

// Writes one node line (and its value line) at `depth`; the subtree is the
// caller's to walk.
void write_node(const Node& node, std::size_t depth, std::string_view file_name,
                OutputBuffer& out);

// The whole tree text of an owned tree.
std::string serialize_tree(const Node& root, std::string_view file_name);

// The same text written straight from the arena, without building the owned
// tree first. Fails with OutputTooLarge past the output limit of the source.
void serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                     OutputBuffer& out);
std::string serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                            std::size_t reserve);

}  // namespace tarnwick
