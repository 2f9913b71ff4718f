// File structure: the header, the sections and the clauses of a unit,
// program, library or package; and the span and word helpers every rule of
// the complete grammar shares.
#include <string>

#include "parser/complete/complete.h"

namespace tarnwick::complete {

const WordSet reserved_words{
    Word::And,           Word::Array,         Word::As,          Word::Asm,
    Word::Begin,         Word::Case,          Word::Class,       Word::Const,
    Word::Constructor,   Word::Destructor,    Word::DispInterface, Word::Div,
    Word::Do,            Word::DownTo,        Word::Else,        Word::End,
    Word::Except,        Word::Exports,       Word::File,        Word::Finalization,
    Word::Finally,       Word::For,           Word::Function,    Word::Goto,
    Word::If,            Word::Implementation, Word::In,         Word::Inherited,
    Word::Initialization, Word::Interface,    Word::Is,          Word::Label,
    Word::Library,       Word::Mod,           Word::Not,         Word::Object,
    Word::Of,            Word::Or,            Word::Packed,      Word::Procedure,
    Word::Program,       Word::Property,      Word::Raise,       Word::Record,
    Word::Repeat,        Word::ResourceString, Word::Set,        Word::Shl,
    Word::Shr,           Word::Then,          Word::ThreadVar,   Word::To,
    Word::Try,           Word::Type,          Word::Unit,        Word::Until,
    Word::Uses,          Word::Var,           Word::While,       Word::With,
    Word::Xor};

const WordSet declaration_starts{
    Word::Function,       Word::Procedure,      Word::Constructor, Word::Destructor,
    Word::Implementation, Word::Initialization, Word::Finalization, Word::Interface,
    Word::Type,           Word::Label,          Word::Uses,        Word::Exports,
    Word::ResourceString, Word::ThreadVar,      Word::Program,     Word::Unit};

bool at_routine(const Parser& p) {
  return routine_words.has(peek(p).word) ||
         (at(p, Word::Class) && is_routine_word_at(p, 1));
}

void finish(Parser& p, NodeId node, std::size_t first) { finish_before(p, node, first, here(p)); }

void finish_before(Parser& p, NodeId node, std::size_t first, std::size_t last) {
  while (last > first && p.tokens[last - 1].kind == TokenKind::Eof) --last;
  if (last <= first) {
    // Nothing read: an empty node just after the last token read before it,
    // so that it lies inside the node around it.
    std::size_t before = first;
    while (before > 0 && p.tokens[before - 1].kind == TokenKind::Eof) --before;
    if (before == 0) return;
    const TextExtent e = p.arena.token_extent(p.tokens[before - 1]);
    p.arena.set_start(node, e.end_line, e.end_col);
    p.arena.set_end(node, e.end_line, e.end_col);
    p.arena.move_file(node, p.tokens[before - 1]);
    return;
  }
  const Token& a = p.tokens[first];
  p.arena.set_start(node, a.line, a.column);
  p.arena.move_file(node, a);
  const TextExtent e = p.arena.token_extent(p.tokens[last - 1]);
  p.arena.set_end(node, e.end_line, e.end_col);
}

void span_over(Parser& p, NodeId node, NodeId from, NodeId to) {
  const NodeArena::Record& a = p.arena.record(from);
  p.arena.set_start(node, a.line, a.col);
  p.arena.move_file(node, from);
  const NodeArena::Record& b = p.arena.record(to);
  p.arena.set_end(node, b.end_line, b.end_col);
}

NodeId take_name_node(Parser& p) {
  const Token& t = peek(p);
  NodeId name = p.arena.add_value_node(NodeKind::Name, t, name_text(p, t));
  next_token(p);
  return name;
}

namespace {

// Words at which the unit body loop resumes after tokens it cannot read.
const WordSet unit_resume_words = declaration_starts | WordSet{Word::Var, Word::Const, Word::Begin,
                                                               Word::End, Word::Class,
                                                               Word::Operator, Word::Contains,
                                                               Word::Requires, Word::OpenSquare};

// uses-clause: ('uses' | 'contains' | 'requires') unit-name ['in' string] {',' ...} ';'
NodeId read_uses_clause(Parser& p, NodeKind kind) {
  const std::size_t first = here(p);
  NodeId clause = take_node(p, kind);
  Progress loop(p, DiagnosticKind::SkippedInList);
  while (loop.next() && !at_eof(p) && !at(p, Word::Semicolon)) {
    if (!peek(p).is_word()) {
      skip_until(p, {Word::Comma, Word::Semicolon}, DiagnosticKind::SkippedInList);
      if (accept(p, Word::Comma)) continue;
      break;
    }
    const std::size_t name_first = here(p);
    NodeId unit = p.arena.add_node(NodeKind::Unit, peek(p));
    p.arena.set_attribute(unit, AttributeKey::Name, parse_dotted_name(p));
    if (accept(p, Word::In) && peek(p).kind == TokenKind::String) {
      const Token path = next_token(p);
      std::string text;
      for (char c : p.text(path))
        if (c != '\'') text.push_back(c);
      p.arena.set_attribute(unit, AttributeKey::Path, text);
    }
    finish(p, unit, name_first);
    p.arena.add_child(clause, unit);
    if (!accept(p, Word::Comma)) break;
  }
  if (!at(p, Word::Semicolon))
    skip_until(p, unit_resume_words | WordSet{Word::Semicolon}, DiagnosticKind::SkippedInList);
  expect(p, Word::Semicolon);
  finish(p, clause, first);
  return clause;
}

// exports-clause: 'exports' entry {',' entry} ';'
// entry: name ['(' parameters ')'] {'index' expr | 'name' expr | 'resident'}
NodeId read_exports_clause(Parser& p) {
  const std::size_t first = here(p);
  NodeId exports = take_node(p, NodeKind::Exports);
  Progress loop(p, DiagnosticKind::SkippedInList);
  while (loop.next() && !at_eof(p) && !at(p, Word::Semicolon)) {
    if (!peek(p).is_word()) {
      skip_until(p, {Word::Comma, Word::Semicolon}, DiagnosticKind::SkippedInList);
      if (accept(p, Word::Comma)) continue;
      break;
    }
    const std::size_t entry_first = here(p);
    NodeId element = p.arena.add_node(NodeKind::Element, peek(p));
    NodeId name = p.arena.add_node(NodeKind::Name, peek(p));
    p.arena.set_attribute(name, AttributeKey::Name, parse_dotted_name(p));
    finish(p, name, entry_first);
    p.arena.add_child(element, name);
    if (at(p, Word::OpenRound)) p.arena.add_child(element, read_parameters(p, Word::CloseRound));
    for (;;) {
      if (at(p, Word::Index)) {
        const std::size_t part_first = here(p);
        NodeId index = take_node(p, NodeKind::Index);
        add_if(p, index, expect_expression(p));
        finish(p, index, part_first);
        p.arena.add_child(element, index);
      } else if (at(p, Word::Name)) {
        const std::size_t part_first = here(p);
        NodeId value = take_node(p, NodeKind::Value);
        p.arena.set_attribute(value, AttributeKey::Kind, "name");
        add_if(p, value, expect_expression(p));
        finish(p, value, part_first);
        p.arena.add_child(element, value);
      } else if (!accept(p, Word::Resident)) {
        break;
      }
    }
    finish(p, element, entry_first);
    p.arena.add_child(exports, element);
    if (!accept(p, Word::Comma)) break;
  }
  if (!at(p, Word::Semicolon))
    skip_until(p, unit_resume_words | WordSet{Word::Semicolon}, DiagnosticKind::SkippedInList);
  expect(p, Word::Semicolon);
  finish(p, exports, first);
  return exports;
}

// A section word's node kind.
NodeKind section_kind(Word w) {
  switch (w) {
    case Word::Interface: return NodeKind::Interface;
    case Word::Implementation: return NodeKind::Implementation;
    case Word::Initialization: return NodeKind::Initialization;
    default: return NodeKind::Finalization;
  }
}

constexpr WordSet code_section_stops{Word::End, Word::Finalization, Word::Initialization};

// The header: ('unit' | 'program' | 'library' | 'package') name [params] {hint} ';'
void read_header(Parser& p, NodeId root) {
  p.arena.set_attribute(root, AttributeKey::Kind, word_text(peek(p).word));
  next_token(p);
  if (peek(p).is_word()) p.arena.set_attribute(root, AttributeKey::Name, parse_dotted_name(p));
  // A program's parameters, (input, output), are read and leave no node.
  if (at(p, Word::OpenRound)) {
    const std::uint32_t close = bracket_partner(p, p.position());
    if (close != no_bracket_partner) {
      while (p.position() <= close) next_token(p);
    }
  }
  read_hints(p, root);
  if (!at(p, Word::Semicolon))
    skip_until(p, unit_resume_words | WordSet{Word::Semicolon}, DiagnosticKind::SkippedInUnit);
  expect(p, Word::Semicolon);
}

// A token that starts an expression but no declaration or statement.
bool starts_value_only(const Token& t) {
  switch (t.kind) {
    case TokenKind::Number:
    case TokenKind::String:
    case TokenKind::CharCode:
      return true;
    default:
      break;
  }
  return t.word == Word::OpenRound || t.word == Word::OpenSquare || t.word == Word::Minus ||
         t.word == Word::AtSign;
}

constexpr WordSet statement_words{Word::If,  Word::Case, Word::While, Word::With,
                                  Word::For, Word::Repeat, Word::Try, Word::Raise,
                                  Word::Goto, Word::Asm, Word::Inherited};

// At the top level of a text without header, what is neither a section nor
// a declaration: the values of a constant, separated by ",", as one Value,
// or the statements of a block, as one Statements. None when neither starts
// here.
std::optional<NodeId> read_headless_code(Parser& p) {
  const std::size_t first = here(p);
  bool values = starts_value_only(peek(p));
  if (!values && at_name(p)) {
    Tentative attempt(p);  // rolled back: only what follows the expression counts
    values = read_expression(p) && at(p, Word::Comma);
  }
  if (values) {
    NodeId value = p.arena.add_node(NodeKind::Value, peek(p));
    do {
      std::optional<NodeId> item = read_constant_value(p);
      if (!item) break;
      p.arena.add_child(value, *item);
    } while (accept(p, Word::Comma) && !at_eof(p));
    if (here(p) == first) return std::nullopt;
    finish(p, value, first);
    return value;
  }
  if (!at_name(p) && !at_one_of(p, statement_words)) return std::nullopt;
  NodeId statements = p.arena.add_node(NodeKind::Statements, peek(p));
  read_statement_list(p, statements, code_section_stops);
  if (here(p) == first) return std::nullopt;
  finish(p, statements, first);
  return statements;
}

}  // namespace

// file: [header] {section | clause | declaration | block} ['end' '.']
NodeId read_file(Parser& p) {
  // An escaped word is a name whatever its spelling: this grammar tests no
  // word against it ("&End" is a field, "&Type" a parameter).
  for (Token& t : p.tokens)
    if (t.text_skip != 0) t.word = Word::None;
  const Word head = peek(p).word;
  const bool has_header = head == Word::Unit || head == Word::Program ||
                          head == Word::Library || head == Word::Package;
  NodeId root = p.arena.add_node(NodeKind::Unit, peek(p));
  if (has_header) read_header(p, root);
  NodeId section = root;
  std::size_t section_first = 0;
  auto close_section = [&] {
    if (section != root) finish(p, section, section_first);
  };
  Progress loop(p, DiagnosticKind::SkippedInUnit);
  while (loop.next() && !at_eof(p)) {
    const Token& t = peek(p);
    const NodeKind in = p.arena.kind(section);
    const RoutinePlace place =
        in == NodeKind::Interface ? RoutinePlace::Interface : RoutinePlace::Implementation;
    switch (t.word) {
      case Word::Interface:
      case Word::Implementation:
      case Word::Initialization:
      case Word::Finalization: {
        close_section();
        section_first = here(p);
        section = take_node(p, section_kind(t.word));
        p.arena.add_child(root, section);
        if (p.arena.kind(section) == NodeKind::Initialization ||
            p.arena.kind(section) == NodeKind::Finalization)
          read_statement_list(p, section, code_section_stops);
        continue;
      }
      case Word::Uses: p.arena.add_child(section, read_uses_clause(p, NodeKind::Uses)); continue;
      case Word::Contains:
        p.arena.add_child(section, read_uses_clause(p, NodeKind::Contains));
        continue;
      case Word::Requires:
        p.arena.add_child(section, read_uses_clause(p, NodeKind::Requires));
        continue;
      case Word::Exports: p.arena.add_child(section, read_exports_clause(p)); continue;
      case Word::Const:
      case Word::ResourceString: p.arena.add_child(section, read_const_section(p)); continue;
      case Word::Var:
      case Word::ThreadVar: p.arena.add_child(section, read_var_section(p)); continue;
      case Word::Type: p.arena.add_child(section, read_type_section(p, false)); continue;
      case Word::Label: p.arena.add_child(section, read_label_section(p)); continue;
      case Word::Begin: {
        // The main block of a program or library, or a unit's initialization.
        close_section();
        section = root;
        p.arena.add_child(root, read_block(p));
        if (accept(p, Word::Dot)) skip_until(p, WordSet{}, DiagnosticKind::AfterEnd);
        continue;
      }
      case Word::End:
        if (peek_is(p, 1, Word::Dot)) {
          close_section();
          section = root;
          next_token(p);
          next_token(p);
          skip_until(p, WordSet{}, DiagnosticKind::AfterEnd);
          continue;
        }
        break;
      case Word::OpenSquare: {
        // Custom attributes before a routine.
        const std::size_t first = here(p);
        NodeId attributes = read_attributes(p);
        if (at_routine(p)) {
          p.arena.add_child(section, read_routine(p, place, first, attributes));
        } else {
          p.arena.add_child(section, attributes);  // belonging to nothing, but read
        }
        continue;
      }
      default:
        if (at_routine(p)) {
          p.arena.add_child(section, read_routine(p, place, here(p), std::nullopt));
          continue;
        }
        if (!has_header) {
          // An include file read on its own: the part of its includer it holds.
          std::optional<NodeId> part = read_headless_declarations(p);
          if (!part) part = read_headless_code(p);
          if (part) {
            p.arena.add_child(section, *part);
            continue;
          }
        }
        break;
    }
    skip_until(p, unit_resume_words, DiagnosticKind::SkippedInUnit);
  }
  close_section();
  finish(p, root, 0);
  return root;
}

}  // namespace tarnwick::complete
