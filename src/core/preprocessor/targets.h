// Targets of conditional compilation: a compiler on a platform, with the
// symbols and constants it defines before a unit's first line (the table is
// targets.def), and the other facts of that table the preprocessor asks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

enum class CompilerFamily : std::uint8_t {
#define FAMILY(id, char_size, integer_size, extensions) id,
#include "preprocessor/targets.def"
};

// A constant of a target or of a caller, as {$IF} reads it.
struct Constant {
  enum class Type : std::uint8_t { Boolean, Integer, Real, Text };
  Type type = Type::Integer;
  bool boolean = false;
  std::int64_t integer = 0;
  double real = 0;
  std::string text;

  static Constant of_boolean(bool b) {
    Constant c;
    c.type = Type::Boolean;
    c.boolean = b;
    return c;
  }
  static Constant of_integer(std::int64_t i) {
    Constant c;
    c.integer = i;
    return c;
  }
  static Constant of_real(double r) {
    Constant c;
    c.type = Type::Real;
    c.real = r;
    return c;
  }
  static Constant of_text(std::string t) {
    Constant c;
    c.type = Type::Text;
    c.text = std::move(t);
    return c;
  }
};

// The state of a switch ({$R+}): on, off, or not known before the source
// sets it.
enum class SwitchState : std::int8_t { Unknown = -1, Off = 0, On = 1 };
using SwitchStates = std::array<SwitchState, 26>;  // 'A' to 'Z'

struct Target {
  std::string name;
  std::string compiler, platform;  // the parts of a table target's name ("delphi12", "win64")
  // The compiler whose rules apply ({$MODE}, sizes, include extensions);
  // none for a target of a caller's own that names no compiler.
  std::optional<CompilerFamily> family;
  std::vector<std::string> symbols;
  std::vector<std::pair<std::string, Constant>> constants;
  // Sizes in bytes for SizeOf; 0 where not known.
  std::uint8_t pointer_size = 0, longint_size = 0, extended_size = 0;
  SwitchStates switches = unknown_switches();

  static SwitchStates unknown_switches() {
    SwitchStates s;
    s.fill(SwitchState::Unknown);
    return s;
  }
};

// The targets of targets.def, in its order.
const std::vector<Target>& builtin_targets();
// The target named `name` (any letter case), or null.
const Target* find_target(std::string_view name);

// What every version of a compiler shares.
struct FamilyFacts {
  std::uint8_t char_size;
  std::uint8_t integer_size;
  std::vector<std::string_view> include_extensions;  // tried in order, with the dot
};
const FamilyFacts& family_facts(CompilerFamily family);
// The switch letter of a long switch name (lower-case, "rangechecks"), or 0.
char switch_of_long_name(std::string_view lower_name);
// The default state of switch `letter` for `family`.
SwitchState default_switch(CompilerFamily family, char letter);

// A mode of Free Pascal ({$MODE name}).
struct FpcMode {
  std::string_view name;    // lower-case
  std::string_view symbol;  // defined while the mode holds; empty for none
  std::uint8_t integer_size;
  std::uint8_t char_size;
  SwitchState longstrings;
};
// The mode of lower-case `name`, or null.
const FpcMode* find_fpc_mode(std::string_view lower_name);
// Every mode's symbol (so that a new mode undefines the one before).
const std::vector<FpcMode>& fpc_modes();

// How SizeOf of a basic type is answered.
enum class SizeRule : std::uint8_t { Fixed, Pointer, Long, Extended, Char, Integer };
struct TypeSize {
  std::string_view name;  // lower-case
  SizeRule rule;
  std::uint8_t bytes;  // for Fixed
};
// The basic type of lower-case `name`, or null.
const TypeSize* find_type_size(std::string_view lower_name);

}  // namespace tarnwick
