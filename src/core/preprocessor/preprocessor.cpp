// The preprocessor (see preprocessor.h).
#include "preprocessor/preprocessor.h"

#include <algorithm>

#include "call_limits.h"
#include "errors.h"
#include "lexer/lexer.h"
#include "preprocessor/decode.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

enum class DirectiveKind : std::uint8_t {
  Other,
#define DIRECTIVE(id, text) id,
#define FUNCTION(id, text)
#include "preprocessor/directives.def"
#undef DIRECTIVE
#undef FUNCTION
};

constexpr std::pair<std::string_view, DirectiveKind> directive_rows[] = {
#define DIRECTIVE(id, text) {text, DirectiveKind::id},
#define FUNCTION(id, text)
#include "preprocessor/directives.def"
#undef DIRECTIVE
#undef FUNCTION
};

// The longest directive name the preprocessor reads: a long switch name.
constexpr std::size_t longest_directive = 16;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::string_view skip_blanks(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && is_blank(s[i])) ++i;
  return s.substr(i);
}

// The name at the start of `s` (after blanks).
std::string_view first_word(std::string_view s) {
  s = skip_blanks(s);
  std::size_t i = 0;
  while (i < s.size() && is_name_char(s[i])) ++i;
  return s.substr(0, i);
}

// Where a text that starts at `line`:`col` ends.
void end_of(std::string_view text, std::uint32_t line, std::uint32_t col, std::uint32_t& end_line,
            std::uint32_t& end_col) {
  end_line = line;
  end_col = col;
  for (char c : text) {
    if (c == '\n') {
      ++end_line;
      end_col = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++end_col;
    }
  }
}

}  // namespace

Preprocessor::Preprocessor(const PreprocessorSettings& settings)
    : settings_(settings), switches_(Target::unknown_switches()) {
  if (const Target* t = settings.target) {
    family_ = t->family;
    for (const std::string& s : t->symbols) defined_.insert(lower(s));
    for (const auto& [name, value] : t->constants) constants_[lower(name)] = value;
    switches_ = t->switches;
  }
  evaluator_.integers_are_conditions = family_ == CompilerFamily::FreePascal;
  if (family_) {
    integer_size_ = family_facts(*family_).integer_size;
    char_size_ = family_facts(*family_).char_size;
  }
  for (const std::string& s : settings.defines) defined_.insert(lower(s));
  for (const auto& [name, value] : settings.constants) constants_[lower(name)] = value;
  for (const std::string& s : settings.declared) declared_.insert(lower(s));
}

const std::string& Preprocessor::lower(std::string_view name) {
  lower_.clear();
  unicode::append_lower(name, lower_);
  return lower_;
}

void Preprocessor::run(std::string_view text, std::string_view path, HugeVector<Token>& out) {
  if (out_) throw InternalError("a preprocessor runs once");
  if (text.size() > max_text_size) throw TextTooLarge();
  out_ = &out;
  text_ = text;
  files_.push_back({std::string(path), 0, static_cast<std::uint32_t>(text.size()), false});
  buffer_size_ = text.size();
  if (!path.empty()) file_by_path_[paths::join({}, path)] = 0;
  open_files_.push_back(0);
  scan(text, 0, 0, true);
  open_files_.pop_back();
  if (files_.size() > 1) {
    buffer_.reserve(buffer_size_);
    buffer_.append(text);
    for (std::size_t k = 1; k < files_.size(); ++k) {
      buffer_.push_back('\n');
      if (buffer_.size() != files_[k].base) throw InternalError("an include file is out of place");
      buffer_.append(texts_[k - 1]);
    }
    texts_.clear();
  }
}

std::uint32_t Preprocessor::file_at(std::uint32_t offset) const {
  // The last file that starts at or before `offset`.
  const auto it = std::upper_bound(files_.begin(), files_.end(), offset,
                                   [](std::uint32_t o, const SourceFile& f) { return o < f.base; });
  return it == files_.begin() ? 0 : static_cast<std::uint32_t>(it - files_.begin() - 1);
}

void Preprocessor::scan(std::string_view text, std::uint32_t file, std::uint32_t base, bool main) {
  Scan s{text, file, base, frames_.size(), main};
  Scan* const outer = scan_;
  scan_ = &s;
  HugeVector<Token>& out = *out_;
  Lexer lexer(text);
  lexer.run([&](const Token& t) {
    // Words, numbers, strings, symbols and unknown characters, in active
    // code: the common case, kept at once.
    const bool plain = t.kind < TokenKind::Comment || t.kind == TokenKind::Unknown;
    if (plain && inactive_from_ == all_active) [[likely]] {
      Token kept = t;
      kept.start += base;
      kept.end += base;
      out.push_back(kept);
    } else {
      other_token(t);
    }
  });
  end_of_file();
  scan_ = outer;
}

void Preprocessor::other_token(const Token& t) {
  switch (t.kind) {
    case TokenKind::Eof:
      // The text's end ends the token list; an include file's ends nothing.
      if (scan_->main) out_->push_back(t);
      return;
    case TokenKind::Directive:
      directive(t);
      return;
    default:
      // A comment, or a token of inactive code.
      if (inactive_from_ != all_active) note_inactive(t);
      return;
  }
}

void Preprocessor::close_range() {
  if (!range_open_) return;
  range_open_ = false;
  InactiveRange r;
  r.file = scan_->file;
  r.line = range_first_.line;
  r.col = range_first_.column;
  end_of(range_last_.written(scan_->text), range_last_.line, range_last_.column, r.end_line, r.end_col);
  r.start = range_first_.start;
  r.end = range_last_.end;
  inactive_.push_back(r);
}

void Preprocessor::end_of_file() {
  close_range();
  while (frames_.size() > scan_->frame_base) {
    report(DiagnosticKind::DirectiveUnclosed, frames_.back().opener);
    frames_.pop_back();
  }
  if (inactive_from_ != all_active && inactive_from_ >= frames_.size()) inactive_from_ = all_active;
}

void Preprocessor::report(DiagnosticKind kind, const Token& t, std::string detail) {
  Diagnostic d;
  d.kind = kind;
  d.file = scan_->file;
  d.line = t.line;
  d.col = t.column;
  end_of(t.written(scan_->text), t.line, t.column, d.end_line, d.end_col);
  d.detail = std::move(detail);
  diagnostics_.push_back(std::move(d));
}

void Preprocessor::directive(const Token& t) {
  // {$NAME rest} or (*$NAME rest*); a directive the text ends in has no
  // closer.
  const std::string_view written = t.written(scan_->text);
  std::string_view inner;
  if (written[0] == '{') {
    inner = written.substr(2);
    if (inner.ends_with('}')) inner.remove_suffix(1);
  } else {
    inner = written.substr(3);
    if (written.size() >= 5 && inner.ends_with("*)")) inner.remove_suffix(2);
  }
  std::size_t n = 0;
  while (n < inner.size() && is_name_char(inner[n]) && static_cast<unsigned char>(inner[n]) < 0x80) ++n;
  const std::string_view name = inner.substr(0, n);
  const std::string_view rest = inner.substr(n);
  DirectiveKind kind = DirectiveKind::Other;
  if (!name.empty() && name.size() <= longest_directive) {
    char folded[longest_directive];
    for (std::size_t k = 0; k < name.size(); ++k) folded[k] = unicode::ascii_lower(name[k]);
    const std::string_view lowered(folded, name.size());
    for (const auto& [spelling, id] : directive_rows)
      if (spelling == lowered) kind = id;
  }
  if (inactive_from_ == all_active || !inactive_directive(t, static_cast<std::uint8_t>(kind)))
    active_directive(t, static_cast<std::uint8_t>(kind), name, rest);
}

bool Preprocessor::inactive_directive(const Token& t, std::uint8_t k) {
  const auto kind = static_cast<DirectiveKind>(k);
  // A directive of a branch inside the inactive one is part of it; only
  // the branch's own {$ELSE}, {$ELSEIF} and {$ENDIF} can end it, and those
  // are read as in active code.
  const bool nested = frames_.size() - 1 > inactive_from_;
  switch (kind) {
    case DirectiveKind::If:
    case DirectiveKind::IfDef:
    case DirectiveKind::IfNDef:
    case DirectiveKind::IfOpt:
      note_inactive(t);
      frames_.push_back({State::Done, false, t});
      return true;
    case DirectiveKind::Else:
    case DirectiveKind::ElseIf:
    case DirectiveKind::EndIf:
    case DirectiveKind::IfEnd:
      if (!nested) {
        close_range();
        return false;
      }
      note_inactive(t);
      if (kind == DirectiveKind::EndIf || kind == DirectiveKind::IfEnd) frames_.pop_back();
      return true;
    default:
      note_inactive(t);
      return true;
  }
}

void Preprocessor::open_branch(const Token& t, bool taken) {
  frames_.push_back({taken ? State::Active : State::Waiting, false, t});
  if (!taken) inactive_from_ = frames_.size() - 1;
}

void Preprocessor::set_top(State state) {
  const std::size_t top = frames_.size() - 1;
  frames_.back().state = state;
  if (state == State::Active) {
    if (inactive_from_ == top) inactive_from_ = all_active;
  } else if (inactive_from_ == all_active) {
    inactive_from_ = top;
  }
}

bool Preprocessor::condition(const Token& t, std::string_view expression) {
  const Condition c = evaluator_.evaluate(expression, *this);
  if (!c.ok) report(c.problem, t, c.detail);
  return c.value;
}

void Preprocessor::active_directive(const Token& t, std::uint8_t k, std::string_view name,
                                    std::string_view rest) {
  const auto kind = static_cast<DirectiveKind>(k);
  const bool opened = frames_.size() > scan_->frame_base;  // a branch of this file is open
  switch (kind) {
    case DirectiveKind::If:
      open_branch(t, condition(t, rest));
      return;
    case DirectiveKind::IfDef:
    case DirectiveKind::IfNDef: {
      const std::string_view symbol = first_word(rest);
      if (symbol.empty()) {
        report(DiagnosticKind::DirectiveMalformed, t, "no name");
        open_branch(t, false);
        return;
      }
      open_branch(t, defined(symbol) == (kind == DirectiveKind::IfDef));
      return;
    }
    case DirectiveKind::IfOpt: {
      const std::string_view s = skip_blanks(rest);
      const char letter = s.empty() ? 0 : unicode::ascii_lower(s[0]);
      if (s.size() < 2 || letter < 'a' || letter > 'z' || (s[1] != '+' && s[1] != '-')) {
        report(DiagnosticKind::DirectiveMalformed, t, "a switch and + or - are missing");
        open_branch(t, false);
        return;
      }
      const SwitchState state = switches_[letter - 'a'];
      if (state == SwitchState::Unknown) {
        report(DiagnosticKind::DirectiveUnknownSwitch, t, std::string(1, static_cast<char>(letter - 32)));
        open_branch(t, false);
        return;
      }
      open_branch(t, (state == SwitchState::On) == (s[1] == '+'));
      return;
    }
    case DirectiveKind::ElseIf:
    case DirectiveKind::Else: {
      if (!opened) {
        report(DiagnosticKind::DirectiveUnopened, t);
        return;
      }
      Frame& f = frames_.back();
      if (f.seen_else) {
        report(DiagnosticKind::DirectiveAfterElse, t);
        set_top(State::Done);
        return;
      }
      if (kind == DirectiveKind::Else) {
        f.seen_else = true;
        set_top(f.state == State::Waiting ? State::Active : State::Done);
      } else if (f.state == State::Waiting) {
        set_top(condition(t, rest) ? State::Active : State::Waiting);
      } else {
        set_top(State::Done);
      }
      return;
    }
    case DirectiveKind::EndIf:
    case DirectiveKind::IfEnd:
      if (!opened) {
        report(DiagnosticKind::DirectiveUnopened, t);
        return;
      }
      frames_.pop_back();
      if (inactive_from_ != all_active && inactive_from_ >= frames_.size()) inactive_from_ = all_active;
      return;
    default:
      break;
  }
  // Past this point the code is active.
  switch (kind) {
    case DirectiveKind::Define:
      define(rest);
      return;
    case DirectiveKind::Undef: {
      const std::string_view symbol = first_word(rest);
      if (symbol.empty()) return;
      const std::string& l = lower(symbol);
      defined_.erase(l);
      macros_.erase(l);
      return;
    }
    case DirectiveKind::I:
    case DirectiveKind::Include: {
      const std::string_view s = skip_blanks(rest);
      if (kind == DirectiveKind::I && (rest.starts_with('+') || rest.starts_with('-'))) {
        set_switches(name, rest);
        return;
      }
      // {$I %DATE%} and its kind insert a text of the compiler's.
      if (s.starts_with('%')) return;
      include(t, s);
      return;
    }
    case DirectiveKind::Mode:
      set_mode(rest);
      return;
    default:
      set_switches(name, rest);
      return;
  }
}

void Preprocessor::define(std::string_view rest) {
  const std::string_view symbol = first_word(rest);
  if (symbol.empty()) return;
  const std::string key = lower(symbol);
  defined_.insert(key);
  // Free Pascal's macros: {$DEFINE X := value}. A value that is a constant
  // expression is X's value in later {$IF}s.
  const std::size_t after = static_cast<std::size_t>(symbol.data() + symbol.size() - rest.data());
  const std::string_view tail = skip_blanks(rest.substr(after));
  if (!tail.starts_with(":=")) return;
  std::optional<Constant> value = evaluator_.value_of(tail.substr(2), *this);
  if (value) {
    macros_[key] = std::move(*value);
  } else {
    macros_.erase(key);
  }
}

void Preprocessor::set_switches(std::string_view name, std::string_view rest) {
  // {$R+}, {$R+,Q-}: letters with their signs.
  if (name.size() == 1) {
    char letter = name[0];
    std::size_t i = 0;
    for (;;) {
      const char lo = unicode::ascii_lower(letter);
      if (lo < 'a' || lo > 'z' || i >= rest.size() || (rest[i] != '+' && rest[i] != '-')) return;
      switches_[lo - 'a'] = rest[i] == '+' ? SwitchState::On : SwitchState::Off;
      ++i;
      while (i < rest.size() && is_blank(rest[i])) ++i;
      if (i >= rest.size() || rest[i] != ',') return;
      ++i;
      while (i < rest.size() && is_blank(rest[i])) ++i;
      if (i >= rest.size()) return;
      letter = rest[i++];
    }
  }
  // {$RANGECHECKS ON}: a long name with ON, OFF, + or -.
  if (name.size() > longest_directive) return;
  char folded[longest_directive];
  for (std::size_t k = 0; k < name.size(); ++k) folded[k] = unicode::ascii_lower(name[k]);
  const char letter = switch_of_long_name(std::string_view(folded, name.size()));
  if (letter == 0) return;
  const std::string_view s = skip_blanks(rest);
  const std::string_view word = first_word(s);
  if (unicode::ascii_iequals(word, "on") || s.starts_with('+')) {
    switches_[letter - 'A'] = SwitchState::On;
  } else if (unicode::ascii_iequals(word, "off") || s.starts_with('-')) {
    switches_[letter - 'A'] = SwitchState::Off;
  }
}

void Preprocessor::set_mode(std::string_view rest) {
  if (family_ != CompilerFamily::FreePascal) return;
  const std::string_view word = first_word(rest);
  if (word.size() > 32) return;
  const FpcMode* mode = find_fpc_mode(lower(word));
  if (!mode) return;
  if (!mode_symbol_.empty()) defined_.erase(mode_symbol_);
  mode_symbol_ = lower(mode->symbol);
  if (!mode_symbol_.empty()) defined_.insert(mode_symbol_);
  integer_size_ = mode->integer_size;
  char_size_ = mode->char_size;
  switches_['H' - 'A'] = mode->longstrings;
}

void Preprocessor::include(const Token& t, std::string_view s) {
  // The name: quoted, or up to the first blank.
  std::string_view name;
  if (s.starts_with('\'')) {
    const std::size_t close = s.find('\'', 1);
    name = s.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
  } else {
    std::size_t i = 0;
    while (i < s.size() && !is_blank(s[i])) ++i;
    name = s.substr(0, i);
  }
  if (name.empty()) {
    report(DiagnosticKind::IncludeMissing, t, "no file name");
    return;
  }
  if (!settings_.files) {
    report(DiagnosticKind::IncludeNotRead, t, std::string(name));
    return;
  }
  if (open_files_.size() >= max_include_depth) {
    report(DiagnosticKind::IncludeLimit, t,
           std::string(name) + ": more than " + std::to_string(max_include_depth) + " files open at once");
    return;
  }
  const std::uint32_t file = find_include(t, name);
  if (file == none) return;
  if (std::find(open_files_.begin(), open_files_.end(), file) != open_files_.end()) {
    report(DiagnosticKind::IncludeRecursive, t, std::string(name));
    return;
  }
  const SourceFile& f = files_[file];
  if (included_text_ + f.size > max_included_text) {
    report(DiagnosticKind::IncludeLimit, t,
           std::string(name) + ": more than " + std::to_string(max_included_text >> 20) +
               " MiB of included text");
    return;
  }
  included_text_ += f.size;
  if (scan_->main)
    include_sites_.push_back({static_cast<std::uint32_t>(out_->size()),
                              static_cast<std::uint32_t>(diagnostics_.size()), t.line, t.column});
  open_files_.push_back(file);
  scan(texts_[file - 1], file, f.base, false);
  open_files_.pop_back();
}

std::uint32_t Preprocessor::find_include(const Token& t, std::string_view written) {
  std::string name(written);
  for (char& c : name)
    if (c == '\\') c = '/';
  std::vector<std::string_view> extensions{std::string_view()};
  if (!paths::has_extension(name)) {
    static constexpr std::string_view any[] = {".inc", ".pas", ".pp"};
    if (family_) {
      for (std::string_view e : family_facts(*family_).include_extensions) extensions.push_back(e);
    } else {
      extensions.insert(extensions.end(), std::begin(any), std::end(any));
    }
  }
  // The including file's folder, then the include path.
  std::vector<std::string> folders;
  if (paths::is_absolute(name)) {
    folders.emplace_back();
  } else {
    folders.emplace_back(paths::folder_of(files_[scan_->file].path));
    for (const std::string& p : settings_.include_path) folders.push_back(p);
  }
  // Every place with the name as written first; then every place again in
  // any letter case, as code written on Windows names its files.
  std::string found, why;
  for (const bool any_case : {false, true}) {
    for (const std::string& folder : folders) {
      for (std::string_view extension : extensions) {
        const std::string path = paths::join(folder, name + std::string(extension));
        switch (read_path(path, any_case, found, bytes_, why)) {
          case FileSystem::Read::Ok:
            break;
          case FileSystem::Read::Missing:
            continue;
          case FileSystem::Read::Failed:
            report(DiagnosticKind::IncludeUnreadable, t, std::string(written) + ": " + why);
            return none;
        }
        const auto known = file_by_path_.find(found);
        if (known != file_by_path_.end()) return known->second;
        // A new file: decoded, then given its place at the end of the buffer.
        std::string text;
        const DecodedSource decoded = decode_source(bytes_, text);
        bytes_.clear();
        if (!decoded.ok()) {
          unreadable_[found] = decoded.message();
          report(DiagnosticKind::IncludeUnreadable, t, std::string(written) + ": " + decoded.message());
          return none;
        }
        if (buffer_size_ + 1 + text.size() > max_text_size) {
          report(DiagnosticKind::IncludeLimit, t, std::string(written) + ": the texts would pass 4 GiB");
          return none;
        }
        const auto index = static_cast<std::uint32_t>(files_.size());
        const auto base = static_cast<std::uint32_t>(buffer_size_ + 1);
        files_.push_back({found, base, static_cast<std::uint32_t>(text.size()), decoded.windows_1252});
        texts_.push_back(std::move(text));
        buffer_size_ = std::uint64_t{base} + files_.back().size;
        file_by_path_.emplace(found, index);
        return index;
      }
    }
  }
  report(DiagnosticKind::IncludeMissing, t, std::string(written));
  return none;
}

FileSystem::Read Preprocessor::read_path(const std::string& written, bool any_case, std::string& found,
                                         std::string& bytes, std::string& why) {
  std::string actual;
  if (any_case && (!resolve_case(written, actual) || actual == written)) return FileSystem::Read::Missing;
  const std::string& path = any_case ? actual : written;
  found = path;
  // A path is read once: files found before are known, and so are those
  // that failed or were missing.
  if (file_by_path_.count(path)) return FileSystem::Read::Ok;
  if (const auto bad = unreadable_.find(path); bad != unreadable_.end()) {
    why = bad->second;
    return FileSystem::Read::Failed;
  }
  if (missing_.count(path)) return FileSystem::Read::Missing;
  const FileSystem::Read r = settings_.files->read(path, bytes, why);
  if (r == FileSystem::Read::Failed) unreadable_[path] = why;
  if (r == FileSystem::Read::Missing) missing_.insert(path);
  return r;
}

const Preprocessor::Folder& Preprocessor::folder(const std::string& path) {
  const auto it = folders_.find(path);
  if (it != folders_.end()) return it->second;
  Folder f;
  std::vector<std::string> names;
  f.exists = settings_.files->list(path, names);
  std::sort(names.begin(), names.end());
  for (std::string& n : names) f.entries.emplace_back(lower(n), std::move(n));
  return folders_.emplace(path, std::move(f)).first->second;
}

bool Preprocessor::resolve_case(const std::string& path, std::string& found) {
  // Part by part from the root (or the current folder), each the entry of
  // its folder with that name, else the first whose lower-case form is the
  // same.
  std::size_t root = 0;
  if (!path.empty() && path[0] == '/') {
    root = 1;
  } else if (path.size() >= 3 && path[1] == ':' && path[2] == '/') {
    root = 3;
  }
  std::string current = path.substr(0, root);
  std::size_t i = root;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    const std::string part = path.substr(i, j - i);
    i = j + 1;
    std::string next;
    if (part == "..") {
      next = current.empty() || current.ends_with('/') ? current + ".." : current + "/..";
    } else {
      const Folder& f = folder(current);
      if (!f.exists) return false;
      const std::string* match = nullptr;
      for (const auto& [lowered, entry] : f.entries)
        if (entry == part) {
          match = &entry;
          break;
        }
      if (!match) {
        const std::string key = lower(part);
        for (const auto& [lowered, entry] : f.entries)
          if (lowered == key) {
            match = &entry;
            break;
          }
      }
      if (!match) return false;
      next = current.empty() ? *match : current.ends_with('/') ? current + *match : current + "/" + *match;
    }
    current = std::move(next);
  }
  found = std::move(current);
  return true;
}

bool Preprocessor::defined(std::string_view name) { return defined_.count(lower(name)) != 0; }

bool Preprocessor::declared(std::string_view name) {
  const std::string& l = lower(name);
  return declared_.count(l) || constants_.count(l) || macros_.count(l);
}

const Constant* Preprocessor::constant(std::string_view name) {
  const std::string& l = lower(name);
  if (const auto m = macros_.find(l); m != macros_.end()) return &m->second;
  if (const auto c = constants_.find(l); c != constants_.end()) return &c->second;
  return nullptr;
}

std::optional<std::uint32_t> Preprocessor::size_of(std::string_view name) {
  const TypeSize* t = find_type_size(lower(name));
  if (!t) return std::nullopt;
  std::uint32_t size = 0;
  switch (t->rule) {
    case SizeRule::Fixed: size = t->bytes; break;
    case SizeRule::Pointer: size = settings_.target ? settings_.target->pointer_size : 0; break;
    case SizeRule::Long: size = settings_.target ? settings_.target->longint_size : 0; break;
    case SizeRule::Extended: size = settings_.target ? settings_.target->extended_size : 0; break;
    case SizeRule::Char: size = char_size_; break;
    case SizeRule::Integer: size = integer_size_; break;
  }
  if (size == 0) return std::nullopt;
  return size;
}

}  // namespace tarnwick
