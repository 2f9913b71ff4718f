// The targets of targets.def, built once per process.
#include "preprocessor/targets.h"

#include <cstdlib>

#include "errors.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

struct CompilerRow {
  std::string_view name;
  CompilerFamily family;
  std::string_view symbols, constants;
};
struct PlatformRow {
  std::string_view name;
  CompilerFamily family;
  std::string_view symbols;
  std::uint8_t pointer_size, longint_size, extended_size;
};

enum class CompilerId : std::uint8_t {
#define COMPILER(id, name, family, symbols, constants) id,
#include "preprocessor/targets.def"
};
constexpr CompilerRow compiler_rows[] = {
#define COMPILER(id, name, family, symbols, constants) {name, CompilerFamily::family, symbols, constants},
#include "preprocessor/targets.def"
};

enum class PlatformId : std::uint8_t {
#define PLATFORM(id, name, family, symbols, pointer_size, longint_size, extended_size) id,
#include "preprocessor/targets.def"
};
constexpr PlatformRow platform_rows[] = {
#define PLATFORM(id, name, family, symbols, pointer_size, longint_size, extended_size) \
  {name, CompilerFamily::family, symbols, pointer_size, longint_size, extended_size},
#include "preprocessor/targets.def"
};

constexpr std::pair<CompilerId, PlatformId> target_rows[] = {
#define TARGET(compiler, platform) {CompilerId::compiler, PlatformId::platform},
#include "preprocessor/targets.def"
};

struct SwitchRow {
  char letter;
  std::string_view long_name;
  char delphi, free_pascal;
};
constexpr SwitchRow switch_rows[] = {
#define SWITCH(letter, long_name, delphi, free_pascal) {letter, long_name, delphi, free_pascal},
#include "preprocessor/targets.def"
};

constexpr SwitchState state_of(char c) {
  return c == '+' ? SwitchState::On : c == '-' ? SwitchState::Off : SwitchState::Unknown;
}

const std::vector<FpcMode> mode_rows = {
#define FPC_MODE(name, symbol, integer_size, char_size, longstrings) \
  {name, symbol, integer_size, char_size, state_of(longstrings)},
#include "preprocessor/targets.def"
};

constexpr TypeSize type_rows[] = {
#define TYPE_SIZE(name, rule, bytes) {name, SizeRule::rule, bytes},
#include "preprocessor/targets.def"
};

struct FamilyRow {
  std::uint8_t char_size, integer_size;
  std::string_view extensions;
};
constexpr FamilyRow family_rows[] = {
#define FAMILY(id, char_size, integer_size, extensions) {char_size, integer_size, extensions},
#include "preprocessor/targets.def"
};


// The words of a space-separated list.
std::vector<std::string_view> words_of(std::string_view list) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && list[i] == ' ') ++i;
    std::size_t j = i;
    while (j < list.size() && list[j] != ' ') ++j;
    if (j > i) words.push_back(list.substr(i, j - i));
    i = j;
  }
  return words;
}

Constant constant_of(std::string_view value) {
  const std::string text(value);
  if (value.find('.') != std::string_view::npos) {
    // The table's reals have one decimal, so this is exact without strtod
    // (whose decimal point follows the locale).
    const std::size_t dot = value.find('.');
    const double whole = static_cast<double>(std::strtoll(text.substr(0, dot).c_str(), nullptr, 10));
    const std::string fraction = text.substr(dot + 1);
    double part = static_cast<double>(std::strtoll(fraction.c_str(), nullptr, 10));
    for (std::size_t k = 0; k < fraction.size(); ++k) part /= 10;
    return Constant::of_real(whole + part);
  }
  return Constant::of_integer(std::strtoll(text.c_str(), nullptr, 10));
}

std::vector<Target> make_targets() {
  std::vector<Target> targets;
  for (const auto& [c, p] : target_rows) {
    const CompilerRow& compiler = compiler_rows[static_cast<std::size_t>(c)];
    const PlatformRow& platform = platform_rows[static_cast<std::size_t>(p)];
    if (compiler.family != platform.family) throw InternalError("a target pairs two compilers");
    Target t;
    t.compiler = std::string(compiler.name);
    t.platform = std::string(platform.name);
    t.name = t.compiler + "-" + t.platform;
    t.family = compiler.family;
    for (std::string_view s : words_of(compiler.symbols)) t.symbols.emplace_back(s);
    for (std::string_view s : words_of(platform.symbols)) t.symbols.emplace_back(s);
    for (std::string_view item : words_of(compiler.constants)) {
      const std::size_t eq = item.find('=');
      t.constants.emplace_back(std::string(item.substr(0, eq)), constant_of(item.substr(eq + 1)));
    }
    t.pointer_size = platform.pointer_size;
    t.longint_size = platform.longint_size;
    t.extended_size = platform.extended_size;
    for (const SwitchRow& s : switch_rows) t.switches[s.letter - 'A'] = default_switch(compiler.family, s.letter);
    targets.push_back(std::move(t));
  }
  return targets;
}

}  // namespace

const std::vector<Target>& builtin_targets() {
  static const std::vector<Target> targets = make_targets();
  return targets;
}

const Target* find_target(std::string_view name) {
  for (const Target& t : builtin_targets())
    if (unicode::ascii_iequals(t.name, name)) return &t;
  return nullptr;
}

const FamilyFacts& family_facts(CompilerFamily family) {
  static const std::vector<FamilyFacts> facts = [] {
    std::vector<FamilyFacts> all;
    for (const FamilyRow& row : family_rows)
      all.push_back({row.char_size, row.integer_size, words_of(row.extensions)});
    return all;
  }();
  return facts[static_cast<std::size_t>(family)];
}

char switch_of_long_name(std::string_view lower_name) {
  for (const SwitchRow& s : switch_rows)
    if (s.long_name == lower_name) return s.letter;
  return 0;
}

SwitchState default_switch(CompilerFamily family, char letter) {
  for (const SwitchRow& s : switch_rows)
    if (s.letter == letter) return state_of(family == CompilerFamily::Delphi ? s.delphi : s.free_pascal);
  return SwitchState::Unknown;
}

const FpcMode* find_fpc_mode(std::string_view lower_name) {
  for (const FpcMode& m : mode_rows)
    if (m.name == lower_name) return &m;
  return nullptr;
}

const std::vector<FpcMode>& fpc_modes() { return mode_rows; }

const TypeSize* find_type_size(std::string_view lower_name) {
  for (const TypeSize& t : type_rows)
    if (t.name == lower_name) return &t;
  return nullptr;
}

}  // namespace tarnwick
