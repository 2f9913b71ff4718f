// Statements: blocks, the structured statements told by their first word,
// labels, inline declarations, assignments and expression statements.
//
// Recursion goes through `read_statement`, which holds the depth guard.
#include "parser/complete/complete.h"

namespace tarnwick::complete {
namespace {

// Words that close a statement list whatever list it is.
constexpr WordSet list_closers{Word::End, Word::Until, Word::Except, Word::Finally};

// Where a statement that cannot be read resumes.
const WordSet statement_resume = declaration_starts | list_closers |
                                 WordSet{Word::Semicolon, Word::Else, Word::Class};

constexpr WordSet end_stop{Word::End};
constexpr WordSet until_stop{Word::Until};
constexpr WordSet try_stops{Word::Except, Word::Finally, Word::End};

// True where a statement list ends: a closer, or a declaration of an
// enclosing scope.
bool ends_list(const Parser& p, const WordSet& stops) {
  const Token& t = peek(p);
  if (escaped(t)) return false;
  return stops.has(t.word) || list_closers.has(t.word) || declaration_starts.has(t.word) ||
         at_routine(p);
}

// After a statement: what stands before the next ";" or closer cannot be
// read, and is passed over.
void end_statement(Parser& p) {
  if (at(p, Word::Semicolon) || at_eof(p) || at(p, Word::Else) || at_one_of(p, list_closers) ||
      at(p, Word::Otherwise))
    return;
  if (declaration_starts.has(peek(p).word) || at_routine(p)) return;
  skip_until(p, statement_resume, DiagnosticKind::SkippedInStatement);
}

// A node of `kind` at the current word holding the statement after it.
NodeId read_branch(Parser& p, NodeKind kind) {
  const std::size_t first = here(p);
  NodeId branch = take_node(p, kind);
  add_if(p, branch, read_statement(p));
  finish(p, branch, first);
  return branch;
}

// if-statement: 'if' expression 'then' statement ['else' statement]
NodeId read_if(Parser& p) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::If);
  add_if(p, node, expect_expression(p));
  if (!at(p, Word::Then))
    skip_until(p, statement_resume | WordSet{Word::Then}, DiagnosticKind::SkippedInStatement);
  if (at(p, Word::Then)) {
    p.arena.add_child(node, read_branch(p, NodeKind::Then));
  } else {
    note_missing(p, "then");
  }
  if (at(p, Word::Else)) p.arena.add_child(node, read_branch(p, NodeKind::Else));
  finish(p, node, first);
  return node;
}

// while-statement: 'while' expression 'do' statement
// with-statement:  'with' expression {',' expression} 'do' statement
NodeId read_while_or_with(Parser& p, NodeKind kind) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, kind);
  do {
    add_if(p, node, expect_expression(p));
  } while (kind == NodeKind::With && accept(p, Word::Comma));
  if (!at(p, Word::Do))
    skip_until(p, statement_resume | WordSet{Word::Do}, DiagnosticKind::SkippedInStatement);
  expect(p, Word::Do);
  add_if(p, node, read_statement(p));
  finish(p, node, first);
  return node;
}

// A node of `kind` at the current word holding the expression after it.
NodeId read_worded(Parser& p, NodeKind kind) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, kind);
  add_if(p, node, expect_expression(p));
  finish(p, node, first);
  return node;
}

// for-statement: 'for' (control | 'var' name [':' type]) (':=' expr ('to' | 'downto') expr
//                | 'in' expr) 'do' statement
NodeId read_for(Parser& p) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::For);
  if (at(p, Word::Var)) {
    const std::size_t var_first = here(p);
    NodeId variable = take_node(p, NodeKind::Variable);
    if (at_name(p)) {
      p.arena.add_child(variable, take_name_node(p));
    } else {
      note_missing(p, "name");
    }
    if (accept(p, Word::Colon)) p.arena.add_child(variable, read_type(p));
    finish(p, variable, var_first);
    p.arena.add_child(node, variable);
  } else {
    add_if(p, node, read_operand(p));
  }
  if (at(p, Word::Assign)) {
    p.arena.add_child(node, read_worded(p, NodeKind::From));
    if (at(p, Word::To) || at(p, Word::DownTo)) {
      const bool down = at(p, Word::DownTo);
      p.arena.set_attribute(node, AttributeKey::Kind, down ? "downto" : "to");
      p.arena.add_child(node, read_worded(p, down ? NodeKind::DownTo : NodeKind::To));
    } else {
      note_missing(p, "to");
    }
  } else if (at(p, Word::In)) {
    p.arena.set_attribute(node, AttributeKey::Kind, "in");
    p.arena.add_child(node, read_worded(p, NodeKind::In));
  } else {
    note_missing(p, ":=");
  }
  if (!at(p, Word::Do))
    skip_until(p, statement_resume | WordSet{Word::Do}, DiagnosticKind::SkippedInStatement);
  expect(p, Word::Do);
  add_if(p, node, read_statement(p));
  finish(p, node, first);
  return node;
}

// repeat-statement: 'repeat' statements 'until' expression
NodeId read_repeat(Parser& p) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::Repeat);
  read_statement_list(p, node, until_stop);
  if (expect(p, Word::Until)) add_if(p, node, expect_expression(p));
  finish(p, node, first);
  return node;
}

// case-statement: 'case' expression 'of' {arm ';'} [('else' | 'otherwise') statements] 'end'
// arm: label {',' label} ':' statement
NodeId read_case(Parser& p) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::Case);
  const std::size_t selector_first = here(p);
  NodeId selector = p.arena.add_node(NodeKind::CaseSelector, peek(p));
  add_if(p, selector, expect_expression(p));
  finish(p, selector, selector_first);
  p.arena.add_child(node, selector);
  if (!at(p, Word::Of))
    skip_until(p, statement_resume | WordSet{Word::Of}, DiagnosticKind::SkippedInStatement);
  expect(p, Word::Of);
  Progress loop(p, DiagnosticKind::SkippedInStatement);
  while (loop.next() && !at_eof(p) && !at(p, Word::End) && !at(p, Word::Else) &&
         !at(p, Word::Otherwise)) {
    if (accept(p, Word::Semicolon)) continue;
    if (ends_list(p, end_stop)) break;
    const std::size_t arm_first = here(p);
    NodeId arm = p.arena.add_node(NodeKind::CaseLabels, peek(p));
    for (;;) {
      const std::size_t label_first = here(p);
      std::optional<NodeId> value = read_range(p);
      if (!value) break;
      NodeId label = p.arena.add_node(NodeKind::CaseLabel, p.tokens[label_first]);
      p.arena.add_child(label, *value);
      finish(p, label, label_first);
      p.arena.add_child(arm, label);
      if (!accept(p, Word::Comma)) break;
    }
    if (!at(p, Word::Colon))
      skip_until(p, statement_resume | WordSet{Word::Colon}, DiagnosticKind::SkippedInStatement);
    if (!expect(p, Word::Colon)) {
      if (here(p) > arm_first) {
        finish(p, arm, arm_first);
        p.arena.add_child(node, arm);
      }
      continue;
    }
    add_if(p, arm, read_statement(p));
    finish(p, arm, arm_first);
    p.arena.add_child(node, arm);
    end_statement(p);
  }
  if (at(p, Word::Else) || at(p, Word::Otherwise)) {
    const std::size_t else_first = here(p);
    NodeId otherwise = take_node(p, NodeKind::CaseElse);
    read_statement_list(p, otherwise, end_stop);
    finish(p, otherwise, else_first);
    p.arena.add_child(node, otherwise);
  }
  expect(p, Word::End);
  finish(p, node, first);
  return node;
}

// handler: 'on' [name ':'] type 'do' statement
NodeId read_handler(Parser& p) {
  const std::size_t first = here(p);
  NodeId handler = take_node(p, NodeKind::ExceptionHandler);
  if (at_name(p) && peek_is(p, 1, Word::Colon)) {
    p.arena.add_child(handler, take_name_node(p));
    next_token(p);
  }
  if (peek(p).is_word()) {
    p.arena.add_child(handler, read_type_reference(p));
  } else {
    note_missing(p, "type");
  }
  if (!at(p, Word::Do))
    skip_until(p, statement_resume | WordSet{Word::Do}, DiagnosticKind::SkippedInStatement);
  expect(p, Word::Do);
  add_if(p, handler, read_statement(p));
  finish(p, handler, first);
  return handler;
}

// try-statement: 'try' statements ('except' (handlers ['else' statements] | statements)
//                | 'finally' statements) 'end'
NodeId read_try(Parser& p) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::Try);
  read_statement_list(p, node, try_stops);
  if (at(p, Word::Except)) {
    const std::size_t part_first = here(p);
    NodeId part = take_node(p, NodeKind::Except);
    Progress loop(p, DiagnosticKind::SkippedInStatement);
    while (loop.next() && !at_eof(p) && !at(p, Word::End)) {
      if (accept(p, Word::Semicolon)) continue;
      if (at(p, Word::On)) {
        p.arena.add_child(part, read_handler(p));
        end_statement(p);
      } else if (at(p, Word::Else)) {
        const std::size_t else_first = here(p);
        NodeId otherwise = take_node(p, NodeKind::Else);
        read_statement_list(p, otherwise, end_stop);
        finish(p, otherwise, else_first);
        p.arena.add_child(part, otherwise);
      } else {
        if (ends_list(p, end_stop)) break;
        add_if(p, part, read_statement(p));
        end_statement(p);
      }
    }
    finish(p, part, part_first);
    p.arena.add_child(node, part);
  } else if (at(p, Word::Finally)) {
    const std::size_t part_first = here(p);
    NodeId part = take_node(p, NodeKind::Finally);
    read_statement_list(p, part, end_stop);
    finish(p, part, part_first);
    p.arena.add_child(node, part);
  }
  expect(p, Word::End);
  finish(p, node, first);
  return node;
}

// raise-statement: 'raise' [expression ['at' expression]]
NodeId read_raise(Parser& p) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::Raise);
  add_if(p, node, read_expression(p));
  if (at(p, Word::At)) {
    // Free Pascal's "at address, frame" gives the frame as a second child.
    const std::size_t at_first = here(p);
    NodeId where = read_worded(p, NodeKind::At);
    if (accept(p, Word::Comma)) add_if(p, where, expect_expression(p));
    finish(p, where, at_first);
    p.arena.add_child(node, where);
  }
  finish(p, node, first);
  return node;
}

// goto-statement: 'goto' label
NodeId read_goto(Parser& p) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::Goto);
  std::optional<NodeId> label = read_operand(p);
  if (label) {
    p.arena.add_child(node, *label);
  } else {
    note_missing(p, "label");
  }
  finish(p, node, first);
  return node;
}

// inline-var: 'var' name {',' name} [':' type] [':=' expression]
NodeId read_inline_var(Parser& p) {
  const std::size_t first = here(p);
  NodeId section = take_node(p, NodeKind::Variables);
  p.arena.set_attribute(section, AttributeKey::Kind, "var");
  std::optional<NodeId> attributes;
  const std::size_t variable_first = here(p);
  if (at(p, Word::OpenSquare)) attributes = read_attributes(p);
  NodeId variable = read_variable(p, NodeKind::Variable, attributes);
  finish(p, variable, variable_first);
  p.arena.add_child(section, variable);
  finish(p, section, first);
  return section;
}

// inline-const: 'const' name [':' type] '=' expression
NodeId read_inline_const_statement(Parser& p) {
  const std::size_t first = here(p);
  NodeId section = take_node(p, NodeKind::Constants);
  p.arena.set_attribute(section, AttributeKey::Kind, "const");
  p.arena.add_child(section, read_inline_const(p));
  finish(p, section, first);
  return section;
}

// label-prefix: label ':' statement
NodeId read_labelled(Parser& p) {
  const std::size_t first = here(p);
  const Token& t = peek(p);
  NodeId label = p.arena.add_node(NodeKind::Label, t);
  p.arena.set_attribute(label, AttributeKey::Name, name_text(p, t));
  next_token(p);
  next_token(p);  // ':'
  add_if(p, label, read_statement(p));
  finish(p, label, first);
  return label;
}

// simple-statement: expression [(':=' | '+=' | '-=' | '*=' | '/=') expression]
std::optional<NodeId> read_simple(Parser& p) {
  const std::size_t first = here(p);
  std::optional<NodeId> target = read_expression(p);
  if (!target) return std::nullopt;
  std::string_view kind;
  switch (peek(p).word) {
    case Word::Assign: break;
    case Word::PlusAssign: kind = "+="; break;
    case Word::MinusAssign: kind = "-="; break;
    case Word::StarAssign: kind = "*="; break;
    case Word::SlashAssign: kind = "/="; break;
    default: return target;
  }
  NodeId assign = p.arena.add_node(NodeKind::Assign, peek(p));
  if (!kind.empty()) p.arena.set_attribute(assign, AttributeKey::Kind, kind);
  NodeId lhs = p.arena.add_node(NodeKind::LHS, p.tokens[first]);
  p.arena.add_child(lhs, *target);
  span_over(p, lhs, *target, *target);
  next_token(p);
  const std::size_t value_first = here(p);
  p.arena.add_child(assign, lhs);
  if (std::optional<NodeId> value = read_expression(p)) {
    NodeId rhs = p.arena.add_node(NodeKind::RHS, p.tokens[value_first]);
    p.arena.add_child(rhs, *value);
    finish(p, rhs, value_first);
    p.arena.add_child(assign, rhs);
  } else {
    note_missing(p, "expression");
  }
  finish(p, assign, first);
  return assign;
}

}  // namespace

NodeId read_block(Parser& p) {
  const std::size_t first = here(p);
  NodeId block = take_node(p, NodeKind::Statements);
  read_statement_list(p, block, end_stop);
  expect(p, Word::End);
  finish(p, block, first);
  return block;
}

NodeId read_asm_block(Parser& p) {
  const std::size_t first = here(p);
  NodeId block = take_node(p, NodeKind::Statements);
  p.arena.set_attribute(block, AttributeKey::Kind, "asm");
  // The instructions are read as they stand, up to the block's "end"; an
  // "end" right after "@" is a label (@@end).
  while (!at_eof(p) &&
         !(at(p, Word::End) && !(p.position() > first &&
                                 p.tokens[p.position() - 1].word == Word::AtSign &&
                                 p.tokens[p.position() - 1].end == peek(p).start)))
    next_token(p);
  expect(p, Word::End);
  finish(p, block, first);
  return block;
}

void read_statement_list(Parser& p, NodeId parent, const WordSet& stops) {
  Progress loop(p, DiagnosticKind::SkippedInStatement);
  while (loop.next() && !at_eof(p)) {
    if (accept(p, Word::Semicolon)) continue;
    if (ends_list(p, stops)) return;
    if (std::optional<NodeId> statement = read_statement(p)) {
      p.arena.add_child(parent, *statement);
      end_statement(p);
    } else {
      skip_until(p, statement_resume, DiagnosticKind::SkippedInStatement);
    }
  }
}

std::optional<NodeId> read_statement(Parser& p) {
  DepthGuard guard(p);
  const Token& t = peek(p);
  if (!escaped(t)) {
    switch (t.word) {
      case Word::Begin: return read_block(p);
      case Word::If: return read_if(p);
      case Word::Case: return read_case(p);
      case Word::While: return read_while_or_with(p, NodeKind::While);
      case Word::With: return read_while_or_with(p, NodeKind::With);
      case Word::For: return read_for(p);
      case Word::Repeat: return read_repeat(p);
      case Word::Try: return read_try(p);
      case Word::Raise: return read_raise(p);
      case Word::Goto: return read_goto(p);
      case Word::Asm: return read_asm_block(p);
      case Word::Var:
        if (is_name(peek_at(p, 1)) || peek_is(p, 1, Word::OpenSquare)) return read_inline_var(p);
        return std::nullopt;
      case Word::Const:
        if (is_name(peek_at(p, 1))) return read_inline_const_statement(p);
        return std::nullopt;
      default: break;
    }
  }
  if ((is_name(t) || t.kind == TokenKind::Number) && peek_is(p, 1, Word::Colon))
    return read_labelled(p);
  return read_simple(p);
}

}  // namespace tarnwick::complete
