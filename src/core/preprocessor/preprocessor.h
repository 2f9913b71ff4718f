// The preprocessor: between the scanner and the grammar, it keeps the tokens
// a compiler of the chosen target compiles. Comments and directives are
// dropped (as the grammar has always had them), and so are the tokens of the
// branches of {$IFDEF}, {$IFNDEF}, {$IF}, {$IFOPT}, {$ELSEIF} and {$ELSE}
// that the target's symbols and constants, and the {$DEFINE}s and {$UNDEF}s
// of the code before them, leave out. {$I name} and {$INCLUDE name} put the
// tokens of the file they name in their place. Every kept token keeps its
// own line and column.
//
// Tokens refer to one text by 32-bit offsets, so the grammar is given one
// buffer: the text itself, then the text of each file included, each after
// a line feed of its own that belongs to no file (so that the end of one
// file is no offset of the next). A file included several times is in the
// buffer once. Without includes the buffer is the text itself, uncopied.
//
// Conditionals balance within each file: a file that ends with branches
// still open closes them (with a diagnostic), and an {$ELSE} or {$ENDIF}
// that would close a branch of the file that included it is one without an
// opener. Nothing makes the call fail: every problem is a diagnostic.
//
// Linear in the text and the text it includes; nothing is allocated per
// token (directives, names and files take their memory as they come).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "lexer/token.h"
#include "preprocessor/expression.h"
#include "preprocessor/files.h"
#include "preprocessor/source_files.h"
#include "preprocessor/targets.h"
#include "util/memory.h"

namespace tarnwick {

// The limits of the files one text includes. Past them an include is not
// read, with a diagnostic: a chain of files that each include the next
// twice doubles with every file, and would otherwise take time and memory
// without bound.
inline constexpr std::size_t max_include_depth = 64;              // files open at once
inline constexpr std::uint64_t max_included_text = 64ull << 20;   // bytes scanned for includes, each time counted

struct PreprocessorSettings {
  // The target whose symbols, constants and rules apply; none for a caller
  // that names its symbols itself.
  const Target* target = nullptr;
  std::vector<std::string> defines;                          // symbols added
  std::vector<std::pair<std::string, Constant>> constants;   // constants added
  std::vector<std::string> declared;                         // names Declared() knows
  // How include files are read; none: includes are not read (a diagnostic).
  FileSystem* files = nullptr;
  // Searched, in order, after the including file's own folder.
  std::vector<std::string> include_path;
};

// Where the main text includes a file: the number of tokens kept and of
// diagnostics given before the file's, and the place of the {$I}
// directive. What an included file (or a file it includes) reports is
// sorted at that place.
struct IncludeSite {
  std::uint32_t first_token, first_diagnostic;
  std::uint32_t line, col;
};

class Preprocessor final : private ConditionNames {
 public:
  explicit Preprocessor(const PreprocessorSettings& settings);

  // Preprocesses `text`, named `path` (whose folder is searched first for
  // the files it includes; "" for the current folder), appending the kept
  // tokens to `out`, the end-of-file token last. A Preprocessor runs once.
  void run(std::string_view text, std::string_view path, HugeVector<Token>& out);

  // The text the kept tokens refer to (see above); valid while the
  // Preprocessor and the text given to `run` live.
  std::string_view buffer() const { return buffer_.empty() ? text_ : std::string_view(buffer_); }
  // Hands over the buffer when files were included (else it is empty and
  // the buffer is the text itself).
  std::string take_buffer() { return std::move(buffer_); }
  const std::deque<SourceFile>& files() const { return files_; }
  // The file whose text holds the buffer offset `offset`, or ends at it.
  std::uint32_t file_at(std::uint32_t offset) const;
  std::vector<InactiveRange>& inactive() { return inactive_; }
  std::vector<Diagnostic>& diagnostics() { return diagnostics_; }
  // The includes of the main text, in its order.
  const std::vector<IncludeSite>& include_sites() const { return include_sites_; }

 private:
  enum class State : std::uint8_t { Active, Waiting, Done };
  struct Frame {
    State state;
    bool seen_else;
    Token opener;
  };
  // The file being scanned.
  struct Scan {
    std::string_view text;
    std::uint32_t file;
    std::uint32_t base;
    std::size_t frame_base;  // frames of enclosing files lie below
    bool main;
  };
  struct Folder {
    bool exists = false;
    std::vector<std::pair<std::string, std::string>> entries;  // lower-case name, name
  };

  void scan(std::string_view text, std::uint32_t file, std::uint32_t base, bool main);
  void other_token(const Token& t);
  void directive(const Token& t);
  // A directive in inactive code; false when it ends the inactive branch
  // and is to be read as in active code.
  bool inactive_directive(const Token& t, std::uint8_t kind);
  void active_directive(const Token& t, std::uint8_t kind, std::string_view name, std::string_view rest);
  void open_branch(const Token& t, bool taken);
  void set_top(State state);
  void note_inactive(const Token& t) {
    if (!range_open_) {
      range_first_ = t;
      range_open_ = true;
    }
    range_last_ = t;
  }
  void close_range();
  void end_of_file();
  void report(DiagnosticKind kind, const Token& t, std::string detail = {});
  bool condition(const Token& t, std::string_view expression);
  void define(std::string_view rest);
  void set_switches(std::string_view name, std::string_view rest);
  void set_mode(std::string_view rest);
  void include(const Token& t, std::string_view rest);
  // Finds and reads the file `name` names; the index of its SourceFile, or
  // `none` with the diagnostic given.
  std::uint32_t find_include(const Token& t, std::string_view name);
  // Reads the file at `path`, or with `any_case` the one its parts name in
  // any letter case; `found` is the path read.
  FileSystem::Read read_path(const std::string& path, bool any_case, std::string& found, std::string& bytes,
                             std::string& why);
  bool resolve_case(const std::string& path, std::string& found);
  const Folder& folder(const std::string& path);
  const std::string& lower(std::string_view name);

  // ConditionNames
  bool defined(std::string_view name) override;
  bool declared(std::string_view name) override;
  const Constant* constant(std::string_view name) override;
  std::optional<std::uint32_t> size_of(std::string_view name) override;

  static constexpr std::uint32_t none = 0xFFFFFFFFu;
  static constexpr std::size_t all_active = static_cast<std::size_t>(-1);

  const PreprocessorSettings& settings_;
  std::optional<CompilerFamily> family_;
  std::unordered_set<std::string> defined_;
  std::unordered_set<std::string> declared_;
  std::unordered_map<std::string, Constant> constants_;  // the target's and the caller's
  std::unordered_map<std::string, Constant> macros_;     // {$DEFINE X := value}
  SwitchStates switches_;
  std::uint8_t integer_size_ = 0, char_size_ = 0;
  std::string mode_symbol_;  // lower-case; the symbol of the current {$MODE}

  HugeVector<Token>* out_ = nullptr;
  std::string_view text_;
  std::string buffer_;
  std::deque<SourceFile> files_;
  std::deque<std::string> texts_;  // the decoded texts of files_[1...]
  std::unordered_map<std::string, std::uint32_t> file_by_path_;
  std::unordered_map<std::string, std::string> unreadable_;  // path: why
  std::unordered_set<std::string> missing_;
  std::unordered_map<std::string, Folder> folders_;
  std::vector<std::uint32_t> open_files_;  // the include chain being scanned
  std::uint64_t buffer_size_ = 0;
  std::uint64_t included_text_ = 0;

  Scan* scan_ = nullptr;
  std::vector<Frame> frames_;
  std::size_t inactive_from_ = all_active;  // the lowest frame that is not active
  bool range_open_ = false;
  Token range_first_, range_last_;
  std::vector<InactiveRange> inactive_;
  std::vector<Diagnostic> diagnostics_;
  std::vector<IncludeSite> include_sites_;
  ConditionEvaluator evaluator_;
  std::string lower_;
  std::string bytes_;
};

}  // namespace tarnwick
