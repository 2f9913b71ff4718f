// Diagnostics: what a parse reports about its text without failing. The
// grammar notes the tokens it passes over and the words it misses; the
// preprocessor notes directives it cannot read and include files it cannot
// find. A diagnostic names a place of one file of the parse (0 is the text
// itself, n the n-th file it included) and never stops the parse.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace tarnwick {

enum class DiagnosticKind : std::uint8_t {
#define DIAGNOSTIC(name, text) name,
#include "diagnostics/diagnostics.def"
#undef DIAGNOSTIC
};

inline constexpr std::string_view diagnostic_messages[] = {
#define DIAGNOSTIC(name, text) text,
#include "diagnostics/diagnostics.def"
#undef DIAGNOSTIC
};

inline std::string_view diagnostic_message(DiagnosticKind k) {
  return diagnostic_messages[static_cast<std::uint8_t>(k)];
}

struct Diagnostic {
  DiagnosticKind kind = DiagnosticKind::Skipped;
  std::uint32_t file = 0;  // 0: the text parsed; n: the n-th file it included
  // From the first character concerned to just after the last; a missing
  // word is the empty place where it was expected.
  std::uint32_t line = 0, col = 0, end_line = 0, end_col = 0;
  std::uint32_t tokens = 0;  // the tokens passed over (0 for a missing word or a directive)
  // The grammar's: the index of the first token passed over, in the token
  // list the grammar reads.
  std::uint32_t first_token = 0;
  std::string detail;        // added to the message after ": ", when not empty

  std::string message() const {
    std::string text(diagnostic_message(kind));
    if (!detail.empty()) {
      text.append(": ");
      text.append(detail);
    }
    return text;
  }
};

}  // namespace tarnwick
