// Expressions by precedence: four levels of left-associative binary
// operators climbed in one loop, unary operators, and the operands with
// their member accesses, calls, indexes, dereferences and type arguments.
//
// Recursion goes through `read_unary`, which holds the depth guard: every
// level of it adds a level to the tree (an operator, a parenthesis, an
// argument list), so a nest that the guard refuses could not be written.
#include <string>
#include <vector>

#include "parser/complete/complete.h"
#include "util/memory.h"

namespace tarnwick::complete {
namespace {

// The ">" that closes each "<" whose tokens up to it read as type
// arguments, built in one pass over the token list on first use. A "<"
// after a name opens a candidate; names, "," and "." keep every open
// candidate; a ">" closes the innermost; any other token ends them all.
struct TypeArgAngles final : RuleStore {
  HugeVector<std::uint32_t> close;  // per token: the closing ">" of a "<", or 0
  bool built = false;

  void clear() override { built = false; }
  std::size_t bytes() const override { return store_bytes(close); }
  void release() override {
    release_store(close);
    built = false;
  }
};

const TypeArgAngles& type_arg_angles(const Parser& p) {
  TypeArgAngles& a = p.rule_store<TypeArgAngles>(RuleStoreSlot::TypeArgAngles);
  if (a.built) return a;
  const std::size_t n = p.tokens.size();
  a.close.assign(n, 0);
  std::vector<std::uint32_t> open;
  for (std::size_t i = 0; i < n; ++i) {
    const Token& t = p.tokens[i];
    switch (t.word) {
      case Word::Less:
        if (i > 0 && (p.tokens[i - 1].is_word() || p.tokens[i - 1].word == Word::Greater)) {
          open.push_back(static_cast<std::uint32_t>(i));
        } else {
          open.clear();
        }
        break;
      case Word::Greater:
        if (!open.empty()) {
          a.close[open.back()] = static_cast<std::uint32_t>(i);
          open.pop_back();
        }
        break;
      case Word::Comma:
      case Word::Dot:
        break;
      default:
        if (!is_name(t)) open.clear();
        break;
    }
  }
  a.built = true;
  return a;
}

// What may follow the ">" of type arguments in an expression.
constexpr WordSet type_args_follow{
    Word::OpenRound, Word::CloseRound, Word::OpenSquare, Word::CloseSquare, Word::Dot,
    Word::Comma,     Word::Semicolon,  Word::Colon,      Word::Assign,      Word::Equal,
    Word::NotEqual,  Word::Caret,      Word::DotDot,     Word::Then,        Word::Do,
    Word::Of,        Word::To,         Word::DownTo,     Word::Else,        Word::End,
    Word::Until,     Word::Except,     Word::Finally,    Word::And,         Word::Or,
    Word::Xor,       Word::Div,        Word::Mod,        Word::Shl,         Word::Shr,
    Word::As,        Word::Is,         Word::In};

struct BinaryOperator {
  NodeKind kind = NodeKind::Unknown;
  int level = -1;  // 0 relational, 1 additive, 2 multiplicative; -1 none
  int width = 1;   // tokens: 2 for "is not" and "not in"
};

BinaryOperator binary_at(const Parser& p) {
  const Token& t = peek(p);
  if (escaped(t)) return {};
  switch (t.word) {
    case Word::Equal: return {NodeKind::Equal, 0};
    case Word::NotEqual: return {NodeKind::NotEqual, 0};
    case Word::Less: return {NodeKind::Lower, 0};
    case Word::Greater: return {NodeKind::Greater, 0};
    case Word::LessEqual: return {NodeKind::LowerEqual, 0};
    case Word::GreaterEqual: return {NodeKind::GreaterEqual, 0};
    case Word::In: return {NodeKind::In, 0};
    case Word::Is:
      if (peek_is(p, 1, Word::Not)) return {NodeKind::IsNot, 0, 2};
      return {NodeKind::Is, 0};
    case Word::Not:
      if (peek_is(p, 1, Word::In)) return {NodeKind::NotIn, 0, 2};
      return {};
    case Word::Plus: return {NodeKind::Add, 1};
    case Word::Minus: return {NodeKind::Sub, 1};
    case Word::Or: return {NodeKind::Or, 1};
    case Word::Xor: return {NodeKind::Xor, 1};
    case Word::Star: return {NodeKind::Mul, 2};
    case Word::Slash: return {NodeKind::FDiv, 2};
    case Word::Div: return {NodeKind::Div, 2};
    case Word::Mod: return {NodeKind::Mod, 2};
    case Word::And: return {NodeKind::And, 2};
    case Word::Shl: return {NodeKind::Shl, 2};
    case Word::Shr: return {NodeKind::Shr, 2};
    case Word::As: return {NodeKind::As, 2};
    default: return {};
  }
}

// Appends the character of the code `text` ("#13", "#$0D") as UTF-8; false
// when it names no character.
bool append_char_code(std::string& out, std::string_view text) {
  std::uint32_t code = 0;
  bool hex = text.size() > 1 && text[1] == '$';
  std::size_t k = hex ? 2 : 1;
  if (k >= text.size()) return false;
  for (; k < text.size(); ++k) {
    const char c = text[k];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    code = code * (hex ? 16 : 10) + digit;
    if (code > 0x10FFFF) return false;
  }
  if (code >= 0xD800 && code <= 0xDFFF) return false;
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
  return true;
}

inline bool is_string_part(const Token& t) {
  return t.kind == TokenKind::String || t.kind == TokenKind::CharCode;
}

// True at a control character written "^M": a "^" and, right after it, a
// token of one character.
inline bool control_char_at(const Parser& p, std::size_t i) {
  if (i + 1 >= p.tokens.size() || p.tokens[i].word != Word::Caret) return false;
  const Token& next = p.tokens[i + 1];
  return next.start == p.tokens[i].end && next.end == next.start + 1 &&
         next.kind != TokenKind::Eof;
}

// The tokens of the string or character constant that starts at `i`: its
// strings, character codes and control characters side by side.
std::size_t string_run_end(const Parser& p, std::size_t i) {
  while (i < p.tokens.size()) {
    if (is_string_part(p.tokens[i])) {
      ++i;
    } else if (control_char_at(p, i)) {
      i += 2;
    } else {
      break;
    }
  }
  return i;
}


// name: word [type-arguments]
NodeId read_name(Parser& p) {
  const Token& t = peek(p);
  NodeId id = p.arena.add_node(NodeKind::Identifier, t);
  p.arena.set_attribute(id, AttributeKey::Name, name_text(p, t));
  next_token(p);
  if (at(p, Word::Less) && opens_type_args(p, p.position())) {
    NodeId args = read_type_args(p);
    p.arena.add_child(id, args);
    span_over(p, id, id, args);
  }
  return id;
}

// arguments: '(' [argument {',' argument}] ')'
// argument: expression {':' expression} | name ':=' expression
NodeId read_arguments(Parser& p) {
  const std::size_t first = here(p);
  NodeId args = take_node(p, NodeKind::Arguments);
  Progress loop(p, DiagnosticKind::SkippedInExpression);
  while (loop.next() && !at(p, Word::CloseRound) && !at_eof(p)) {
    const std::size_t arg_first = here(p);
    if (at_name(p) && peek_is(p, 1, Word::Assign)) {
      NodeId named = p.arena.add_node(NodeKind::NamedArgument, peek(p));
      p.arena.add_child(named, take_name_node(p));
      next_token(p);  // ':='
      add_if(p, named, expect_expression(p));
      finish(p, named, arg_first);
      p.arena.add_child(args, named);
    } else if (std::optional<NodeId> value = read_expression(p)) {
      NodeId argument = p.arena.add_node(NodeKind::PositionalArgument, p.tokens[arg_first]);
      p.arena.add_child(argument, *value);
      while (accept(p, Word::Colon)) add_if(p, argument, expect_expression(p));
      finish(p, argument, arg_first);
      p.arena.add_child(args, argument);
    }
    if (!at(p, Word::Comma) && !at(p, Word::CloseRound))
      skip_until(p, {Word::Comma, Word::CloseRound, Word::Semicolon, Word::End},
                 DiagnosticKind::SkippedInExpression);
    if (!accept(p, Word::Comma)) break;
  }
  expect(p, Word::CloseRound);
  finish(p, args, first);
  return args;
}

// A list of expressions (or ranges, in a set) up to `close`, in `list`.
void read_expression_list(Parser& p, NodeId list, Word close, bool ranges) {
  const std::size_t first = here(p);
  next_token(p);  // the opener
  Progress loop(p, DiagnosticKind::SkippedInExpression);
  while (loop.next() && !at(p, close) && !at_eof(p)) {
    add_if(p, list, ranges ? read_range(p) : read_expression(p));
    if (!at(p, Word::Comma) && !at(p, close))
      skip_until(p, {Word::Comma, close, Word::Semicolon, Word::End},
                 DiagnosticKind::SkippedInExpression);
    if (!accept(p, Word::Comma)) break;
  }
  expect(p, close);
  finish(p, list, first);
}

// True at an anonymous method: a routine word followed by its parameters,
// its result, a declaration or its block.
bool at_anonymous_method(const Parser& p) {
  const Word w = peek(p).word;
  if (w != Word::Procedure && w != Word::Function) return false;
  switch (peek_at(p, 1).word) {
    case Word::OpenRound:
    case Word::Begin:
    case Word::Var:
    case Word::Const:
    case Word::Type:
    case Word::Label:
    case Word::Asm:
      return true;
    case Word::Colon:
      return w == Word::Function;
    default:
      return false;
  }
}

// anonymous-method: ('procedure' | 'function') [parameters] [':' type] declarations block
NodeId read_anonymous_method(Parser& p) {
  const std::size_t first = here(p);
  const Word word = peek(p).word;
  NodeId method = take_node(p, NodeKind::AnonymousMethod);
  p.arena.set_attribute(method, AttributeKey::Kind, word_text(word));
  if (at(p, Word::OpenRound)) p.arena.add_child(method, read_parameters(p, Word::CloseRound));
  if (at(p, Word::Colon)) {
    const std::size_t result_first = here(p);
    NodeId result = take_node(p, NodeKind::ReturnType);
    p.arena.add_child(result, read_type(p));
    finish(p, result, result_first);
    p.arena.add_child(method, result);
  }
  read_routine_body(p, method);
  finish(p, method, first);
  return method;
}

// primary: name | literal | '(' expression ')' | set | 'inherited' [operand]
//        | anonymous-method
std::optional<NodeId> read_primary(Parser& p) {
  const Token& t = peek(p);
  switch (t.kind) {
    case TokenKind::Number:
    case TokenKind::String:
    case TokenKind::CharCode:
      return read_literal(p);
    case TokenKind::Identifier:
    case TokenKind::Keyword: {
      if (escaped(t)) return read_name(p);
      switch (t.word) {
        case Word::Inherited: {
          const std::size_t first = here(p);
          NodeId node = take_node(p, NodeKind::Inherited);
          if (at_name(p)) add_if(p, node, read_operand(p));
          finish(p, node, first);
          return node;
        }
        case Word::Procedure:
        case Word::Function:
          if (at_anonymous_method(p)) return read_anonymous_method(p);
          return std::nullopt;
        case Word::Specialize:
          if (peek_at(p, 1).is_word()) {
            const std::size_t first = here(p);
            next_token(p);
            NodeId id = p.arena.add_node(NodeKind::Identifier, peek(p));
            p.arena.set_attribute(id, AttributeKey::Name, name_text(p, peek(p)));
            next_token(p);
            if (at(p, Word::Less)) p.arena.add_child(id, read_type_args(p));
            finish(p, id, first);
            return id;
          }
          return read_name(p);
        default:
          if (reserved_words.has(t.word)) return std::nullopt;
          return read_name(p);
      }
    }
    default:
      break;
  }
  if (t.word == Word::OpenRound) {
    const std::size_t first = here(p);
    NodeId node = take_node(p, NodeKind::Expression);
    add_if(p, node, expect_expression(p));
    if (!at(p, Word::CloseRound))
      skip_until(p, {Word::CloseRound, Word::Semicolon, Word::End},
                 DiagnosticKind::SkippedInExpression);
    expect(p, Word::CloseRound);
    finish(p, node, first);
    return node;
  }
  if (control_char_at(p, p.position())) return read_literal(p);
  if (t.word == Word::OpenSquare) {
    NodeId set = p.arena.add_node(NodeKind::Set, t);
    read_expression_list(p, set, Word::CloseSquare, true);
    return set;
  }
  return std::nullopt;
}

// operand: primary {'.' name | arguments | '[' expressions ']' | '^'}
std::optional<NodeId> read_postfix(Parser& p) {
  std::optional<NodeId> base = read_primary(p);
  if (!base) return std::nullopt;
  NodeId cur = *base;
  for (;;) {
    switch (peek(p).word) {
      case Word::Dot: {
        if (!peek_at(p, 1).is_word()) return cur;
        NodeId dot = take_node(p, NodeKind::Dot);
        NodeId name = read_name(p);
        p.arena.add_child(dot, cur);
        p.arena.add_child(dot, name);
        span_over(p, dot, cur, name);
        cur = dot;
        break;
      }
      case Word::OpenRound: {
        NodeId call = p.arena.add_node(NodeKind::Call, peek(p));
        NodeId args = read_arguments(p);
        p.arena.add_child(call, cur);
        p.arena.add_child(call, args);
        span_over(p, call, cur, args);
        cur = call;
        break;
      }
      case Word::OpenSquare: {
        NodeId indexed = p.arena.add_node(NodeKind::Indexed, peek(p));
        NodeId list = p.arena.add_node(NodeKind::Expressions, peek(p));
        read_expression_list(p, list, Word::CloseSquare, false);
        p.arena.add_child(indexed, cur);
        p.arena.add_child(indexed, list);
        span_over(p, indexed, cur, list);
        cur = indexed;
        break;
      }
      case Word::Caret: {
        NodeId deref = take_node(p, NodeKind::Deref);
        p.arena.add_child(deref, cur);
        span_over(p, deref, cur, deref);
        cur = deref;
        break;
      }
      default:
        return cur;
    }
  }
}

// unary: {'+'} ('not' | '-' | '@') unary | operand
std::optional<NodeId> read_unary(Parser& p) {
  DepthGuard guard(p);
  while (at(p, Word::Plus)) next_token(p);
  NodeKind kind;
  switch (peek(p).word) {
    case Word::Not: kind = NodeKind::Not; break;
    case Word::Minus: kind = NodeKind::UnaryMinus; break;
    case Word::AtSign: kind = NodeKind::Addr; break;
    default: return read_postfix(p);
  }
  if (escaped(peek(p))) return read_postfix(p);
  NodeId node = take_node(p, kind);
  if (std::optional<NodeId> operand = read_unary(p)) {
    p.arena.add_child(node, *operand);
    span_over(p, node, node, *operand);
  } else {
    note_missing(p, "operand");
  }
  return node;
}

// binary: unary {operator unary}, climbing the four levels
std::optional<NodeId> read_binary(Parser& p, int min_level) {
  std::optional<NodeId> lhs = read_unary(p);
  if (!lhs) return std::nullopt;
  for (;;) {
    const BinaryOperator op = binary_at(p);
    if (op.level < min_level) return lhs;
    NodeId node = p.arena.add_node(op.kind, peek(p));
    for (int k = 0; k < op.width; ++k) next_token(p);
    p.arena.add_child(node, *lhs);
    std::optional<NodeId> rhs = read_binary(p, op.level + 1);
    if (rhs) {
      p.arena.add_child(node, *rhs);
      span_over(p, node, *lhs, *rhs);
    } else {
      note_missing(p, "operand");
      span_over(p, node, *lhs, node);
    }
    lhs = node;
  }
}

}  // namespace

// literal: number | string | character code, strings and codes side by side
// making one string
[[gnu::noinline]] NodeId read_literal(Parser& p) {
  const std::size_t first = here(p);
  const Token& t = peek(p);
  NodeId literal;
  if (t.kind == TokenKind::Number) {
    literal = p.arena.add_value_node(NodeKind::Literal, t, p.text(t));
    p.arena.set_attribute(literal, AttributeKey::Type, "numeric");
    next_token(p);
    return literal;
  }
  const std::size_t end = string_run_end(p, first);
  if (end == first + 1) {
    if (t.kind == TokenKind::String) {
      literal = p.arena.add_value_node(NodeKind::Literal, t, unquote(p.text(t)));
      p.arena.set_attribute(literal, AttributeKey::Type, "string");
    } else {
      literal = p.arena.add_value_node(NodeKind::Literal, t, p.text(t));
      p.arena.set_attribute(literal, AttributeKey::Type, "char");
    }
    next_token(p);
    return literal;
  }
  std::string value;
  for (std::size_t i = first; i < end; ++i) {
    const std::string_view text = p.text(p.tokens[i]);
    if (p.tokens[i].kind == TokenKind::String) {
      value.append(unquote(text));
    } else if (p.tokens[i].word == Word::Caret) {
      // ^M is the character whose code is M's with bit 6 flipped.
      value.push_back(static_cast<char>(p.source[p.tokens[i + 1].start] ^ 0x40));
      ++i;
    } else if (!append_char_code(value, text)) {
      value.append(text);
    }
  }
  literal = p.arena.add_value_node(NodeKind::Literal, t, value);
  p.arena.set_attribute(literal, AttributeKey::Type, "string");
  while (p.position() < end) next_token(p);
  finish(p, literal, first);
  return literal;
}

std::size_t type_args_close(const Parser& p, std::size_t index) {
  if (index >= p.tokens.size() || p.tokens[index].word != Word::Less) return 0;
  return type_arg_angles(p).close[index];
}

bool opens_type_args(const Parser& p, std::size_t index) {
  const std::size_t close = type_args_close(p, index);
  if (close == 0) return false;
  if (close + 1 >= p.tokens.size()) return true;
  const Token& next = p.tokens[close + 1];
  return next.kind == TokenKind::Eof || (type_args_follow.has(next.word) && !escaped(next));
}

std::optional<NodeId> read_expression(Parser& p) { return read_binary(p, 0); }

std::optional<NodeId> read_operand(Parser& p) { return read_unary(p); }

std::optional<NodeId> expect_expression(Parser& p) {
  std::optional<NodeId> e = read_expression(p);
  if (!e) note_missing(p, "expression");
  return e;
}

std::optional<NodeId> read_range(Parser& p) {
  std::optional<NodeId> low = read_expression(p);
  if (!low || !at(p, Word::DotDot)) return low;
  NodeId range = take_node(p, NodeKind::Subrange);
  p.arena.add_child(range, *low);
  if (std::optional<NodeId> high = expect_expression(p)) {
    p.arena.add_child(range, *high);
    span_over(p, range, *low, *high);
  } else {
    span_over(p, range, *low, range);
  }
  return range;
}

}  // namespace tarnwick::complete
