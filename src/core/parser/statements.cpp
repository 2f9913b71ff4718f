// Statements: blocks, structured statements recognised by their leading
// word, and simple statements handed to the expression parser as one run
// (an assignment split at its ":=" first).
//
// Recursion goes through `parse_statement` only, which holds the depth guard.
#include <algorithm>
#include <optional>
#include <string_view>

#include "parser/brackets.h"
#include "parser/parser.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

constexpr WordSet simple_statement_stops{Word::Semicolon, Word::End,    Word::Else,
                                         Word::Until,     Word::Except, Word::Finally};
constexpr WordSet try_body_stops{Word::Except, Word::Finally, Word::End};
constexpr WordSet end_stop{Word::End};
constexpr WordSet until_stop{Word::Until};
constexpr WordSet handler_stops{Word::Do, Word::Semicolon, Word::End};
constexpr WordSet case_label_stop{Word::Colon};
constexpr WordSet selector_stop{Word::Of};
constexpr WordSet condition_stops{Word::Semicolon, Word::End};

void add_if(Parser& p, NodeId parent, std::optional<NodeId> child) {
  if (child) p.arena.add_child(parent, *child);
}

// The header of if, while, for and with: the tokens up to the stop word, ";"
// or an "end" written in lower case, outside round and square brackets. Angle
// brackets do not count, so "if a < b then" ends at its "then".
[[gnu::noinline]] Run scan_header(const Parser& p, Word stop_word) {
  const std::size_t n = p.tokens.size();
  const std::size_t begin = std::min(p.position(), n);
  return Run{begin, scan_run<Brackets::Header>(p, begin, n, [&p, stop_word](const Token& t) {
               return t.word == stop_word || t.word == Word::Semicolon ||
                      written_as(p, t, Word::End);
             })};
}

// if-statement:    'if' condition 'then' statement ['else' statement]
// while-statement: 'while' condition 'do' statement
// for-statement:   'for' header 'do' statement
// with-statement:  'with' subjects 'do' statement
[[gnu::noinline]] NodeId parse_headed_statement(Parser& p, NodeKind kind) {
  NodeId node = p.arena.add_node(kind, next_token(p));
  const Word stop_word = kind == NodeKind::If ? Word::Then : Word::Do;
  Run header = scan_header(p, stop_word);
  consume(p, header);
  add_if(p, node, parse_expression_unwrapped(p, header));
  accept(p, stop_word);
  add_if(p, node, parse_statement(p));
  if (kind == NodeKind::If && at(p, Word::Else)) {
    NodeId otherwise = p.arena.add_node(NodeKind::Else, next_token(p));
    add_if(p, otherwise, parse_statement(p));
    p.arena.add_child(node, otherwise);
  }
  return node;
}

// label-prefix: identifier ':' statement
[[gnu::noinline]] NodeId parse_labelled_statement(Parser& p) {
  const Token& name = peek(p);
  NodeId label = p.arena.add_node(NodeKind::Label, name);
  p.arena.set_attribute(label, AttributeKey::Name, p.text(name));
  next_token(p);
  next_token(p);  // ':'
  add_if(p, label, parse_statement(p));
  return label;
}

// exception-handler: 'on' [name ':'] type 'do' statement
// The exception variable and type leave no nodes.
NodeId parse_exception_handler(Parser& p) {
  NodeId handler = p.arena.add_node(NodeKind::ExceptionHandler, next_token(p));
  consume(p, scan_until(p, handler_stops));
  accept(p, Word::Do);
  add_if(p, handler, parse_statement(p));
  return handler;
}

// except-part: 'except' {('on' ... 'do' statement | ['else'] statement) [';']} up to 'end'
[[gnu::noinline]] NodeId parse_except_part(Parser& p) {
  NodeId part = p.arena.add_node(NodeKind::Except, next_token(p));
  for (Progress pass(p, DiagnosticKind::SkippedInStatement); pass.next() && !at(p, Word::End);) {
    if (at(p, Word::On)) {
      p.arena.add_child(part, parse_exception_handler(p));
    } else {
      accept(p, Word::Else);
      add_if(p, part, parse_statement(p));
    }
    accept(p, Word::Semicolon);
  }
  return part;
}

// statement-part: word {statement [';']} up to 'end' (not consumed)
// The finally part of a try statement and the else part of a case statement:
// a node of `kind` at the word, holding the statements, added to `node`.
void parse_part_to_end(Parser& p, NodeId node, NodeKind kind) {
  NodeId part = p.arena.add_node(kind, next_token(p));
  parse_statement_list(p, part, end_stop);
  p.arena.add_child(node, part);
}

// try-statement: 'try' statements ('except' handlers | 'finally' statements) 'end'
[[gnu::noinline]] NodeId parse_try_statement(Parser& p) {
  NodeId node = p.arena.add_node(NodeKind::Try, next_token(p));
  parse_statement_list(p, node, try_body_stops);
  if (at(p, Word::Except)) {
    p.arena.add_child(node, parse_except_part(p));
  } else if (at(p, Word::Finally)) {
    parse_part_to_end(p, node, NodeKind::Finally);
  }
  accept(p, Word::End);
  return node;
}

// case-labels: label {',' label}
// One `CaseLabel` per piece between top-level commas; empty pieces give none.
[[gnu::noinline]] NodeId parse_case_labels(Parser& p, Run labels) {
  NodeId arm = p.arena.add_node(NodeKind::CaseLabels, p.tokens[labels.begin]);
  for (Run piece : split_top_level_commas(p, labels)) {
    if (piece.empty()) continue;
    NodeId label = p.arena.add_node(NodeKind::CaseLabel, p.tokens[piece.begin]);
    add_if(p, label, parse_expression_unwrapped(p, piece));
    p.arena.add_child(arm, label);
  }
  return arm;
}

// case-arm: label {',' label} ':' statement
// An arm without its ":" is dropped: where no ":" follows at all, what is
// left of the text is passed over.
[[gnu::noinline]] void parse_case_arm(Parser& p, NodeId case_node) {
  Run labels = scan_until(p, case_label_stop);
  if (labels.end == p.tokens.size()) {
    skip_until(p, case_label_stop, DiagnosticKind::SkippedInStatement, Brackets::Nested);
    return;
  }
  consume(p, labels);
  if (!accept(p, Word::Colon) || labels.empty()) return;
  NodeId arm = parse_case_labels(p, labels);
  add_if(p, arm, parse_statement(p));
  p.arena.add_child(case_node, arm);
  accept(p, Word::Semicolon);
}

// case-statement: 'case' selector 'of' {case-arm ';'} [('else' | 'otherwise') statements] 'end'
[[gnu::noinline]] NodeId parse_case_statement(Parser& p) {
  const Token& word = peek(p);
  NodeId node = p.arena.add_node(NodeKind::Case, word);
  NodeId selector = p.arena.add_node(NodeKind::CaseSelector, word);
  next_token(p);
  Run run = scan_until(p, selector_stop);
  if (!run.empty()) {
    consume(p, run);
    add_if(p, selector, parse_expression_unwrapped(p, run));
  }
  accept(p, Word::Of);
  p.arena.add_child(node, selector);
  for (Progress pass(p, DiagnosticKind::SkippedInStatement);
       pass.next() && !at(p, Word::Else) && !at(p, Word::Otherwise) && !at(p, Word::End);) {
    parse_case_arm(p, node);
  }
  if (at(p, Word::Else) || at(p, Word::Otherwise)) parse_part_to_end(p, node, NodeKind::CaseElse);
  accept(p, Word::End);
  return node;
}

// repeat-statement: 'repeat' statements 'until' condition
[[gnu::noinline]] NodeId parse_repeat_statement(Parser& p) {
  NodeId node = p.arena.add_node(NodeKind::Repeat, next_token(p));
  parse_statement_list(p, node, until_stop);
  accept(p, Word::Until);
  Run condition = scan_until(p, condition_stops);
  if (!condition.empty()) {
    consume(p, condition);
    add_if(p, node, parse_expression_unwrapped(p, condition));
  }
  return node;
}

// asm-block: 'asm' ... 'end'
// The instructions leave no nodes; an "end" right after the block's own is
// taken as well.
[[gnu::noinline]] NodeId parse_asm_block(Parser& p) {
  NodeId node = p.arena.add_node(NodeKind::Statements, next_token(p));
  p.arena.set_attribute(node, AttributeKey::Kind, "asm");
  consume(p, scan_until(p, end_stop, Brackets::Flat));
  accept(p, Word::End);
  accept(p, Word::End);
  return node;
}

// simple-statement: target ':=' value | expression
// The run ends at ";", "end", "else", "until", "except" or "finally" outside
// brackets (angle brackets included).
[[gnu::noinline]] std::optional<NodeId> parse_simple_statement(Parser& p) {
  Run run = scan_until(p, simple_statement_stops);
  if (run.empty()) return std::nullopt;
  consume(p, run);
  std::size_t assign_at = run.begin;
  while (assign_at < run.end && p.tokens[assign_at].word != Word::Assign) ++assign_at;
  if (assign_at == run.end) return parse_expression_unwrapped(p, run);
  // A run that ends with ":=" starts its right side at the ":=" itself.
  const Token& first = p.tokens[run.begin];
  const Token& value_start = p.tokens[assign_at + 1 < run.end ? assign_at + 1 : assign_at];
  NodeId assign = p.arena.add_node(NodeKind::Assign, first);
  NodeId lhs = p.arena.add_node(NodeKind::LHS, first);
  NodeId rhs = p.arena.add_node(NodeKind::RHS, value_start);
  add_if(p, lhs, parse_expression(p, Run{run.begin, assign_at}));
  add_if(p, rhs, parse_expression(p, Run{assign_at + 1, run.end}));
  p.arena.add_child(assign, lhs);
  p.arena.add_child(assign, rhs);
  return assign;
}

}  // namespace

// compound-statement: 'begin' {statement [';']} 'end'
[[gnu::noinline]] NodeId parse_compound_statement(Parser& p) {
  NodeId block = p.arena.add_node(NodeKind::Statements, next_token(p));
  for (Progress pass(p, DiagnosticKind::SkippedInStatement); pass.next() && !at(p, Word::End);) {
    add_if(p, block, parse_statement(p));
    accept(p, Word::Semicolon);
  }
  accept(p, Word::End);
  return block;
}

// statement-list: {statement [';']} up to one of the stop words (not consumed)
[[gnu::noinline]] void parse_statement_list(Parser& p, NodeId parent, const WordSet& stop_words) {
  for (Progress pass(p, DiagnosticKind::SkippedInStatement);
       pass.next() && !at_one_of(p, stop_words);) {
    add_if(p, parent, parse_statement(p));
    accept(p, Word::Semicolon);
  }
}

namespace {

enum class StatementForm { Empty, Labelled, Compound, If, While, For, With, Try, Case, Repeat, Asm, Simple };

// The form of the statement at the current token, told by its first word.
// Kept out of `parse_statement` so that the recursive frame stays small.
[[gnu::noinline]] StatementForm statement_form(const Parser& p) {
  const Token& t = peek(p);
  if (t.word == Word::Semicolon) return StatementForm::Empty;
  if (t.kind == TokenKind::Identifier && peek_is(p, 1, Word::Colon)) return StatementForm::Labelled;
  switch (t.word) {
    case Word::Begin: return StatementForm::Compound;
    case Word::If: return StatementForm::If;
    case Word::While: return StatementForm::While;
    case Word::For: return StatementForm::For;
    case Word::With: return StatementForm::With;
    case Word::Try: return StatementForm::Try;
    case Word::Case: return StatementForm::Case;
    case Word::Repeat: return StatementForm::Repeat;
    case Word::Asm: return StatementForm::Asm;
    default: return StatementForm::Simple;
  }
}

}  // namespace

// statement: ';' | label ':' statement | compound | if | while | for | with
//          | try | case | repeat | asm | simple-statement
std::optional<NodeId> parse_statement(Parser& p) {
  DepthGuard guard(p);
  NodeId node;
  switch (statement_form(p)) {
    case StatementForm::Empty:
      node = p.arena.add_node(NodeKind::EmptyStatement, next_token(p));
      break;
    case StatementForm::Labelled: node = parse_labelled_statement(p); break;
    case StatementForm::Compound: node = parse_compound_statement(p); break;
    case StatementForm::If: node = parse_headed_statement(p, NodeKind::If); break;
    case StatementForm::While: node = parse_headed_statement(p, NodeKind::While); break;
    case StatementForm::For: node = parse_headed_statement(p, NodeKind::For); break;
    case StatementForm::With: node = parse_headed_statement(p, NodeKind::With); break;
    case StatementForm::Try: node = parse_try_statement(p); break;
    case StatementForm::Case: node = parse_case_statement(p); break;
    case StatementForm::Repeat: node = parse_repeat_statement(p); break;
    case StatementForm::Asm: node = parse_asm_block(p); break;
    default: return parse_simple_statement(p);
  }
  return node;
}

}  // namespace tarnwick
