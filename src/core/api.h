// The two entry points of the core, on UTF-8 text. Nothing here knows Python.
#pragma once

#include <string>
#include <string_view>

#include "util/output.h"

namespace tarnwick {

// The token list of `text`, one line per token: `KIND VALUE LINE:COL`.
void lex_to_serialized(std::string_view text, OutputBuffer& out);
std::string lex_to_serialized(std::string_view text);

// The syntax tree of `text`: the header `# file_name=...` and one line per
// node, children indented two spaces below their parent.
void parse_to_serialized(std::string_view text, std::string_view file_name, OutputBuffer& out);
std::string parse_to_serialized(std::string_view text, std::string_view file_name);

// Version of the native package.
inline constexpr std::string_view version = "3.6.0";

}  // namespace tarnwick
