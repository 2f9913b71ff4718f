// The expressions of {$IF} and {$ELSEIF}, as the compilers read them:
// Defined(X), Declared(X), SizeOf(T) of the basic types, constants, True and
// False, integer and real numbers ($hex, %binary, &octal too), quoted
// texts, = <> < > <= >=, + - * /, div mod shl shr, and or xor not, and
// parentheses, with Pascal's precedence. `and` and `or` stop at an operand
// that decides them, as the compilers do: what follows is read but not
// evaluated, so `Defined(FPC) and (FPC_FULLVERSION > 30000)` is false without
// a complaint where FPC is not defined. An evaluated name that is no constant,
// or an expression that cannot be read (or whose value is no Boolean, or for
// Free Pascal no integer either, where 0 is false), makes the condition false
// and says why. What follows a whole expression is left out, as the
// compilers leave it, with a note.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "lexer/token.h"
#include "preprocessor/targets.h"

namespace tarnwick {

// What an expression asks about names; each name is as written (any case).
class ConditionNames {
 public:
  virtual ~ConditionNames() = default;
  virtual bool defined(std::string_view name) = 0;
  virtual bool declared(std::string_view name) = 0;
  // The constant `name`, or null when there is none.
  virtual const Constant* constant(std::string_view name) = 0;
  // The size of the basic type `name`, or nothing when it is none.
  virtual std::optional<std::uint32_t> size_of(std::string_view name) = 0;
};

struct Condition {
  bool value = false;
  // false: `problem` says what is wrong; the value is then false, unless
  // only text after a whole expression was left out.
  bool ok = true;
  DiagnosticKind problem = DiagnosticKind::DirectiveMalformed;
  std::string detail;  // the unknown name, or what could not be read
};

// Parentheses, `not` and signs nest at most this deep in one expression.
inline constexpr std::size_t max_condition_nesting = 256;

// Evaluates expressions; keeps its token buffer from one to the next.
class ConditionEvaluator {
 public:
  // Free Pascal reads an integer as a condition ({$IF 0}); Delphi does not.
  bool integers_are_conditions = false;

  Condition evaluate(std::string_view expression, ConditionNames& names);
  // The value of `expression` (a number, a text or a Boolean), or nothing
  // when it has none: the value of Free Pascal's {$DEFINE X := value}.
  std::optional<Constant> value_of(std::string_view expression, ConditionNames& names);

 private:
  struct Value;
  // Reads the whole of `expression`; its value is None when it could not.
  Value read(std::string_view expression, ConditionNames& names);
  Value expression();
  Value simple();
  Value term();
  Value factor();
  Value call(std::uint8_t function);
  Value number(const Token& t);
  std::string_view name_argument(bool dotted);
  Value binary(Word op, const Value& a, const Value& b);
  Value compare(Word op, const Value& a, const Value& b);
  const Token* peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool at_symbol(Word w) const { return pos_ < tokens_.size() && tokens_[pos_].word == w; }
  void malformed(std::string_view why);

  std::vector<Token> tokens_;
  std::string_view text_;
  ConditionNames* names_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  bool live_ = true;  // false inside an operand that `and`/`or` skip
  bool malformed_ = false;
  bool trailing_ = false;  // tokens follow a whole expression
  std::string why_;
  std::string unknown_;
};

}  // namespace tarnwick
