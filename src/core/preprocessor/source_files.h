// What a preprocessed parse knows of its files besides their tokens: the
// files whose texts one buffer holds, and the code their conditionals leave
// out. Shared by the preprocessor, which finds them, and the syntax tree,
// which keeps them.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// A file whose text is in the buffer: the text itself (file 0) or one it
// included.
struct SourceFile {
  std::string path;     // as found; file 0's is the name the caller gave
  std::uint32_t base;   // where its text starts in the buffer
  std::uint32_t size;   // bytes of its text
  bool windows_1252;    // read as Windows-1252 (file 0: as the caller read it)
};

// A run of code left out: from the first character of its first token to
// just after its last (comments and nested directives included), in one
// file. Offsets are bytes of that file's text.
struct InactiveRange {
  std::uint32_t file;
  std::uint32_t line, col, end_line, end_col;
  std::uint32_t start, end;
};

}  // namespace tarnwick
