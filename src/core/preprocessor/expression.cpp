// The evaluator of {$IF} expressions (see expression.h): a recursive descent
// over the scanner's tokens of the expression, with Pascal's four levels of
// precedence (relations; + - or xor; * / div mod and shl shr; not, signs and
// operands).
#include "preprocessor/expression.h"

#include <cmath>
#include <limits>

#include "lexer/lexer.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

enum class Function : std::uint8_t {
  None,
#define DIRECTIVE(id, text)
#define FUNCTION(id, text) id,
#include "preprocessor/directives.def"
#undef DIRECTIVE
#undef FUNCTION
};

Function function_of(std::string_view text) {
  static constexpr std::pair<std::string_view, Function> rows[] = {
#define DIRECTIVE(id, text)
#define FUNCTION(id, text) {text, Function::id},
#include "preprocessor/directives.def"
#undef DIRECTIVE
#undef FUNCTION
  };
  for (const auto& [spelling, f] : rows)
    if (unicode::lower_equals(text, spelling)) return f;
  return Function::None;
}

bool is_keyword(const Token& t, Word w) { return t.kind == TokenKind::Keyword && t.word == w; }

// The text of a quoted literal ('it''s') as it stands for: quotes doubled
// inside are one.
std::string unquoted(std::string_view literal) {
  std::string out;
  bool inside = false;
  for (std::size_t i = 0; i < literal.size(); ++i) {
    const char c = literal[i];
    if (c != '\'') {
      if (inside) out.push_back(c);
      continue;
    }
    if (inside && i + 1 < literal.size() && literal[i + 1] == '\'') {
      out.push_back('\'');
      ++i;
    } else {
      inside = !inside;
    }
  }
  return out;
}

}  // namespace

struct ConditionEvaluator::Value {
  enum class Type : std::uint8_t { None, Boolean, Integer, Real, Text };
  Type type = Type::None;  // None: not evaluated (or already malformed)
  bool boolean = false;
  std::int64_t integer = 0;
  double real = 0;
  std::string text;

  static Value of_boolean(bool b) {
    Value v;
    v.type = Type::Boolean;
    v.boolean = b;
    return v;
  }
  static Value of_integer(std::int64_t i) {
    Value v;
    v.type = Type::Integer;
    v.integer = i;
    return v;
  }
  static Value of_real(double r) {
    Value v;
    v.type = Type::Real;
    v.real = r;
    return v;
  }
  bool numeric() const { return type == Type::Integer || type == Type::Real; }
  double as_real() const { return type == Type::Integer ? static_cast<double>(integer) : real; }
};

void ConditionEvaluator::malformed(std::string_view why) {
  if (!malformed_) {
    malformed_ = true;
    why_.assign(why);
  }
  pos_ = tokens_.size();  // nothing more is read
}

ConditionEvaluator::Value ConditionEvaluator::read(std::string_view expression_text, ConditionNames& names) {
  tokens_.clear();
  text_ = expression_text;
  names_ = &names;
  pos_ = 0;
  depth_ = 0;
  live_ = true;
  malformed_ = false;
  trailing_ = false;
  why_.clear();
  unknown_.clear();
  Lexer lexer(expression_text);
  lexer.run([this](const Token& t) {
    if (t.kind != TokenKind::Comment && t.kind != TokenKind::Directive && t.kind != TokenKind::Eof)
      tokens_.push_back(t);
  });
  if (tokens_.empty()) {
    malformed("no expression");
    return {};
  }
  Value v = expression();
  // The compilers read one expression and leave what follows it
  // ({$IF Defined(X))}): so does this, with a note.
  if (!malformed_ && pos_ < tokens_.size()) {
    why_.assign(1, '\'');
    why_.append(tokens_[pos_].written(text_));
    why_.append("' after the expression is left out");
    trailing_ = true;
  }
  if (malformed_ || !unknown_.empty()) return {};
  return v;
}

Condition ConditionEvaluator::evaluate(std::string_view expression_text, ConditionNames& names) {
  const Value v = read(expression_text, names);
  Condition result;
  if (v.type == Value::Type::Boolean || (v.type == Value::Type::Integer && integers_are_conditions)) {
    result.value = v.type == Value::Type::Boolean ? v.boolean : v.integer != 0;
    if (trailing_) {
      result.ok = false;
      result.detail = why_;
    }
    return result;
  }
  if (!malformed_ && unknown_.empty()) malformed("the value is no Boolean");
  result.ok = false;
  if (malformed_) {
    result.problem = DiagnosticKind::DirectiveMalformed;
    result.detail = why_;
  } else {
    result.problem = DiagnosticKind::DirectiveUnknownName;
    result.detail = unknown_;
  }
  return result;
}

std::optional<Constant> ConditionEvaluator::value_of(std::string_view expression_text, ConditionNames& names) {
  Value v = read(expression_text, names);
  if (trailing_) return std::nullopt;
  switch (v.type) {
    case Value::Type::Boolean:
      return Constant::of_boolean(v.boolean);
    case Value::Type::Integer:
      return Constant::of_integer(v.integer);
    case Value::Type::Real:
      return Constant::of_real(v.real);
    case Value::Type::Text:
      return Constant::of_text(std::move(v.text));
    case Value::Type::None:
      break;
  }
  return std::nullopt;
}

ConditionEvaluator::Value ConditionEvaluator::expression() {
  Value left = simple();
  const Token* t = peek();
  if (!t) return left;
  switch (t->word) {
    case Word::Equal:
    case Word::NotEqual:
    case Word::Less:
    case Word::Greater:
    case Word::LessEqual:
    case Word::GreaterEqual: {
      const Word op = t->word;
      ++pos_;
      const Value right = simple();
      return compare(op, left, right);
    }
    default:
      return left;
  }
}

ConditionEvaluator::Value ConditionEvaluator::simple() {
  Value left = term();
  for (;;) {
    const Token* t = peek();
    if (!t) return left;
    Word op = Word::None;
    if (t->word == Word::Plus || t->word == Word::Minus) op = t->word;
    if (is_keyword(*t, Word::Or) || is_keyword(*t, Word::Xor)) op = t->word;
    if (op == Word::None) return left;
    ++pos_;
    // `True or ...` is decided: the rest is read, not evaluated.
    const bool was_live = live_;
    if (op == Word::Or && left.type == Value::Type::Boolean && left.boolean) live_ = false;
    const Value right = term();
    live_ = was_live;
    left = binary(op, left, right);
  }
}

ConditionEvaluator::Value ConditionEvaluator::term() {
  Value left = factor();
  for (;;) {
    const Token* t = peek();
    if (!t) return left;
    Word op = Word::None;
    if (t->word == Word::Star || t->word == Word::Slash) op = t->word;
    for (Word w : {Word::Div, Word::Mod, Word::And, Word::Shl, Word::Shr})
      if (is_keyword(*t, w)) op = w;
    if (op == Word::None) return left;
    ++pos_;
    const bool was_live = live_;
    if (op == Word::And && left.type == Value::Type::Boolean && !left.boolean) live_ = false;
    const Value right = factor();
    live_ = was_live;
    left = binary(op, left, right);
  }
}

ConditionEvaluator::Value ConditionEvaluator::factor() {
  const Token* t = peek();
  if (!t) {
    malformed("an operand is missing");
    return {};
  }
  // Each nested factor is one more frame of this descent.
  struct Depth {
    std::size_t& d;
    ~Depth() { --d; }
  } depth{++depth_};
  if (depth_ > max_condition_nesting) {
    malformed("nested too deeply");
    return {};
  }
  const Token tok = *t;
  ++pos_;
  if (tok.word == Word::OpenRound) {
    Value v = expression();
    if (!at_symbol(Word::CloseRound)) {
      malformed("')' is missing");
      return {};
    }
    ++pos_;
    return v;
  }
  if (is_keyword(tok, Word::Not)) {
    Value v = factor();
    if (v.type == Value::Type::Boolean) return Value::of_boolean(!v.boolean);
    if (v.type == Value::Type::Integer) return Value::of_integer(~v.integer);
    if (v.type != Value::Type::None) malformed("'not' of a value that is no Boolean or integer");
    return {};
  }
  if (tok.word == Word::Plus || tok.word == Word::Minus) {
    Value v = factor();
    if (v.type == Value::Type::None) return v;
    if (!v.numeric()) {
      malformed("a sign before a value that is no number");
      return {};
    }
    if (tok.word == Word::Plus) return v;
    if (v.type == Value::Type::Real) return Value::of_real(-v.real);
    if (v.integer == std::numeric_limits<std::int64_t>::min()) {
      malformed("overflow");
      return {};
    }
    return Value::of_integer(-v.integer);
  }
  if (tok.kind == TokenKind::Number) return number(tok);
  if (tok.kind == TokenKind::String) {
    Value v;
    v.type = Value::Type::Text;
    v.text = unquoted(tok.written(text_));
    return v;
  }
  if (tok.is_word()) {
    if (is_keyword(tok, Word::True)) return Value::of_boolean(true);
    if (is_keyword(tok, Word::False)) return Value::of_boolean(false);
    const Function f = function_of(tok.text(text_));
    if (f != Function::None && at_symbol(Word::OpenRound)) return call(static_cast<std::uint8_t>(f));
    if (at_symbol(Word::OpenRound)) {
      // A function the compilers know and this evaluator does not (High,
      // Ord, ...): an unknown name, its arguments passed over.
      std::size_t open = 0;
      do {
        if (tokens_[pos_].word == Word::OpenRound) ++open;
        if (tokens_[pos_].word == Word::CloseRound) --open;
        ++pos_;
      } while (open > 0 && pos_ < tokens_.size());
      if (open > 0) {
        malformed("')' is missing");
        return {};
      }
    }
    if (!live_) return {};
    const Constant* c = names_->constant(tok.text(text_));
    if (!c) {
      if (unknown_.empty()) unknown_.assign(tok.text(text_));
      return {};
    }
    switch (c->type) {
      case Constant::Type::Boolean:
        return Value::of_boolean(c->boolean);
      case Constant::Type::Integer:
        return Value::of_integer(c->integer);
      case Constant::Type::Real:
        return Value::of_real(c->real);
      case Constant::Type::Text: {
        Value v;
        v.type = Value::Type::Text;
        v.text = c->text;
        return v;
      }
    }
    return {};
  }
  std::string why = "unexpected '";
  why.append(tok.written(text_));
  why.push_back('\'');
  malformed(why);
  return {};
}

std::string_view ConditionEvaluator::name_argument(bool dotted) {
  // At "(": a name (dotted where `dotted`), then ")".
  ++pos_;
  const Token* first = peek();
  if (!first || !first->is_word()) {
    malformed("a name is missing");
    return {};
  }
  std::size_t end = first->end;
  ++pos_;
  while (dotted && at_symbol(Word::Dot) && pos_ + 1 < tokens_.size() && tokens_[pos_ + 1].is_word()) {
    end = tokens_[pos_ + 1].end;
    pos_ += 2;
  }
  if (!at_symbol(Word::CloseRound)) {
    malformed("')' is missing");
    return {};
  }
  ++pos_;
  // The name as written, the '&' of an escaped first word left out.
  const std::size_t begin = first->start + first->text_skip;
  return text_.substr(begin, end - begin);
}

ConditionEvaluator::Value ConditionEvaluator::call(std::uint8_t function) {
  const auto f = static_cast<Function>(function);
  const std::string_view name = name_argument(f == Function::Declared);
  if (malformed_ || !live_) return {};
  switch (f) {
    case Function::Defined:
      return Value::of_boolean(names_->defined(name));
    case Function::Declared:
      return Value::of_boolean(names_->declared(name));
    case Function::SizeOf: {
      const std::optional<std::uint32_t> size = names_->size_of(name);
      if (size) return Value::of_integer(*size);
      if (unknown_.empty()) unknown_.assign(name);
      return {};
    }
    case Function::None:
      break;
  }
  return {};
}

ConditionEvaluator::Value ConditionEvaluator::number(const Token& t) {
  const std::string_view s = t.written(text_);
  const auto digits = [&](std::size_t from, unsigned base) -> Value {
    std::uint64_t v = 0;
    if (from >= s.size()) {
      malformed("a number without digits");
      return {};
    }
    for (std::size_t i = from; i < s.size(); ++i) {
      const char c = s[i];
      const unsigned d = c >= '0' && c <= '9'   ? unsigned(c - '0')
                         : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                : base;
      if (d >= base || v > (std::numeric_limits<std::uint64_t>::max() - d) / base) {
        malformed(d >= base ? "a malformed number" : "overflow");
        return {};
      }
      v = v * base + d;
    }
    // As the compilers read $FFFFFFFFFFFFFFFF: the bits of a 64-bit integer.
    return Value::of_integer(static_cast<std::int64_t>(v));
  };
  if (s[0] == '$') return digits(1, 16);
  if (s[0] == '%') return digits(1, 2);
  if (s[0] == '&') return digits(1, 8);
  // Decimal: digits, an optional fraction and an optional exponent. The
  // first 19 significant digits are kept exactly; a power of ten scales them.
  std::uint64_t mantissa = 0;
  int scale = 0, kept = 0;
  bool real = false, big = false;
  std::size_t i = 0;
  const auto take_digit = [&](char c, bool fraction) {
    if (kept < 19) {
      mantissa = mantissa * 10 + unsigned(c - '0');
      if (mantissa != 0) ++kept;  // leading zeros are not significant
      if (fraction) --scale;
    } else if (!fraction) {
      ++scale;  // an integer digit past the kept ones: a power of ten
      big = true;
    }
  };
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) take_digit(s[i], false);
  if (i < s.size() && s[i] == '.') {
    real = true;
    for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) take_digit(s[i], true);
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    real = true;
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int e = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) e = e < 100000 ? e * 10 + (s[i] - '0') : e;
    scale += negative ? -e : e;
  }
  if (!real && !big && mantissa <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return Value::of_integer(static_cast<std::int64_t>(mantissa));
  // Powers of ten up to 10^22 are exact doubles: a scale within that range
  // gives the correctly rounded value for mantissas below 2^53.
  double value = static_cast<double>(mantissa);
  if (scale > 330) return Value::of_real(mantissa == 0 ? 0.0 : std::numeric_limits<double>::infinity());
  if (scale < -360) return Value::of_real(0.0);
  for (; scale > 22; scale -= 22) value *= 1e22;
  for (; scale < -22; scale += 22) value /= 1e22;
  static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  value = scale >= 0 ? value * powers[scale] : value / powers[-scale];
  return Value::of_real(value);
}

ConditionEvaluator::Value ConditionEvaluator::binary(Word op, const Value& a, const Value& b) {
  using Type = Value::Type;
  if (a.type == Type::None || b.type == Type::None) {
    // `False and X` and `True or X` are decided whatever X is.
    if (op == Word::And && a.type == Type::Boolean && !a.boolean) return a;
    if (op == Word::Or && a.type == Type::Boolean && a.boolean) return a;
    return {};
  }
  switch (op) {
    case Word::And:
    case Word::Or:
    case Word::Xor:
      if (a.type == Type::Boolean && b.type == Type::Boolean) {
        const bool r = op == Word::And ? a.boolean && b.boolean
                       : op == Word::Or ? a.boolean || b.boolean
                                        : a.boolean != b.boolean;
        return Value::of_boolean(r);
      }
      if (a.type == Type::Integer && b.type == Type::Integer) {
        const std::int64_t r = op == Word::And ? (a.integer & b.integer)
                               : op == Word::Or ? (a.integer | b.integer)
                                                : (a.integer ^ b.integer);
        return Value::of_integer(r);
      }
      break;
    case Word::Plus:
    case Word::Minus:
    case Word::Star:
      if (a.type == Type::Integer && b.type == Type::Integer) {
        std::int64_t r = 0;
        const bool overflow = op == Word::Plus    ? __builtin_add_overflow(a.integer, b.integer, &r)
                              : op == Word::Minus ? __builtin_sub_overflow(a.integer, b.integer, &r)
                                                  : __builtin_mul_overflow(a.integer, b.integer, &r);
        if (overflow) {
          malformed("overflow");
          return {};
        }
        return Value::of_integer(r);
      }
      if (a.numeric() && b.numeric()) {
        const double x = a.as_real(), y = b.as_real();
        return Value::of_real(op == Word::Plus ? x + y : op == Word::Minus ? x - y : x * y);
      }
      if (op == Word::Plus && a.type == Type::Text && b.type == Type::Text) {
        Value v;
        v.type = Type::Text;
        v.text = a.text + b.text;
        return v;
      }
      break;
    case Word::Slash:
      if (a.numeric() && b.numeric()) {
        if (b.as_real() == 0) {
          malformed("division by zero");
          return {};
        }
        return Value::of_real(a.as_real() / b.as_real());
      }
      break;
    case Word::Div:
    case Word::Mod:
      if (a.type == Type::Integer && b.type == Type::Integer) {
        if (b.integer == 0) {
          malformed("division by zero");
          return {};
        }
        if (b.integer == -1) return op == Word::Mod ? Value::of_integer(0) : binary(Word::Star, a, b);
        return Value::of_integer(op == Word::Div ? a.integer / b.integer : a.integer % b.integer);
      }
      break;
    case Word::Shl:
    case Word::Shr:
      if (a.type == Type::Integer && b.type == Type::Integer) {
        const auto bits = static_cast<std::uint64_t>(a.integer);
        const unsigned count = static_cast<unsigned>(b.integer) & 63u;
        return Value::of_integer(static_cast<std::int64_t>(op == Word::Shl ? bits << count : bits >> count));
      }
      break;
    default:
      break;
  }
  malformed("the operands do not match the operator");
  return {};
}

ConditionEvaluator::Value ConditionEvaluator::compare(Word op, const Value& a, const Value& b) {
  using Type = Value::Type;
  if (a.type == Type::None || b.type == Type::None) return {};
  int order = 0;  // -1, 0, 1; 2 for unordered (a NaN)
  if (a.type == Type::Integer && b.type == Type::Integer) {
    order = a.integer < b.integer ? -1 : a.integer > b.integer ? 1 : 0;
  } else if (a.numeric() && b.numeric()) {
    const double x = a.as_real(), y = b.as_real();
    order = x < y ? -1 : x > y ? 1 : x == y ? 0 : 2;
  } else if (a.type == Type::Boolean && b.type == Type::Boolean) {
    order = int(a.boolean) - int(b.boolean);
  } else if (a.type == Type::Text && b.type == Type::Text) {
    const int c = a.text.compare(b.text);
    order = c < 0 ? -1 : c > 0 ? 1 : 0;
  } else {
    malformed("the operands do not match the operator");
    return {};
  }
  bool r = false;
  switch (op) {
    case Word::Equal: r = order == 0; break;
    case Word::NotEqual: r = order != 0; break;
    case Word::Less: r = order == -1; break;
    case Word::Greater: r = order == 1; break;
    case Word::LessEqual: r = order == -1 || order == 0; break;
    case Word::GreaterEqual: r = order == 1 || order == 0; break;
    default: break;
  }
  return Value::of_boolean(r);
}

}  // namespace tarnwick
