// Declaration sections: constants and resource strings, variables and
// thread variables, types, labels; the values of typed constants; hints.
#include "parser/complete/complete.h"

namespace tarnwick::complete {
namespace {

// Where a declaration that cannot be read resumes: at its ";" or at whatever
// starts the next declaration or block.
const WordSet declaration_resume =
    declaration_starts | WordSet{Word::Semicolon, Word::Var, Word::Const, Word::Begin, Word::End,
                                 Word::Class, Word::Property, Word::Private, Word::Protected,
                                 Word::Public, Word::Published, Word::Strict, Word::Case};

constexpr WordSet hint_words_all{Word::Deprecated, Word::Experimental, Word::Library,
                                 Word::Platform, Word::Unimplemented};

// Visibility words, which end a section inside a type body.
constexpr WordSet visibility_words{Word::Private, Word::Protected, Word::Public,
                                   Word::Published, Word::Strict, Word::Automated};

// The end of a declaration: its hints, then its ";", what cannot be read
// before it passed over.
void end_declaration(Parser& p, NodeId node) {
  read_hints(p, node);
  if (!at(p, Word::Semicolon) && !at_eof(p))
    skip_until(p, declaration_resume, DiagnosticKind::SkippedInDeclaration);
  expect(p, Word::Semicolon);
}

// True when the parenthesis at the current token holds an aggregate: a
// list of values (a "," or ";" outside inner brackets), a record's fields
// ("name :"), or nothing. A parenthesised expression is not one.
bool at_aggregate(const Parser& p) {
  std::size_t open = p.position();
  for (;;) {
    const std::uint32_t close = bracket_partner(p, open);
    if (close == no_bracket_partner) return false;
    if (close == open + 1) return true;
    if (is_name(p.tokens[open + 1]) && p.tokens[open + 2].word == Word::Colon) return true;
    // A parenthesis that holds one parenthesis is an aggregate when that
    // one is: ((X: 1)) is an array of one record.
    if (p.tokens[open + 1].word == Word::OpenRound && bracket_partner(p, open + 1) + 1 == close) {
      ++open;
      continue;
    }
    for (std::size_t i = open + 1; i < close; ++i) {
      const Word w = p.tokens[i].word;
      if (w == Word::Comma || w == Word::Semicolon) return true;
      if (w == Word::OpenRound || w == Word::OpenSquare) {
        const std::uint32_t inner = bracket_partner(p, i);
        if (inner == no_bracket_partner || inner > close) return false;
        i = inner;
      }
    }
    return false;
  }
}

// record-value: '(' name ':' value {';' name ':' value} [';'] ')'
// array-value:  '(' value {',' value} ')'
NodeId read_aggregate(Parser& p) {
  DepthGuard guard(p);
  const std::size_t first = here(p);
  const bool record = is_name(peek_at(p, 1)) && peek_is(p, 2, Word::Colon);
  NodeId list = take_node(p, NodeKind::Expressions);
  if (record) p.arena.set_attribute(list, AttributeKey::Kind, "record");
  Progress loop(p, DiagnosticKind::SkippedInList);
  while (loop.next() && !at(p, Word::CloseRound) && !at_eof(p)) {
    if (record) {
      if (!at_name(p)) {
        skip_until(p, {Word::Semicolon, Word::CloseRound}, DiagnosticKind::SkippedInList);
        if (!accept(p, Word::Semicolon)) break;
        continue;
      }
      const std::size_t field_first = here(p);
      NodeId field = p.arena.add_node(NodeKind::Field, peek(p));
      p.arena.add_child(field, take_name_node(p));
      expect(p, Word::Colon);
      add_if(p, field, read_constant_value(p));
      finish(p, field, field_first);
      p.arena.add_child(list, field);
      if (!at(p, Word::CloseRound) && !at(p, Word::Semicolon))
        skip_until(p, {Word::Semicolon, Word::CloseRound}, DiagnosticKind::SkippedInList);
      if (!accept(p, Word::Semicolon)) break;
    } else {
      add_if(p, list, read_constant_value(p));
      if (!at(p, Word::CloseRound) && !at(p, Word::Comma))
        skip_until(p, {Word::Comma, Word::CloseRound, Word::Semicolon},
                   DiagnosticKind::SkippedInList);
      if (!accept(p, Word::Comma)) break;
    }
  }
  expect(p, Word::CloseRound);
  finish(p, list, first);
  return list;
}

// constant: name [':' type] '=' value {hint} ';'
// In a type body a "name : type" without "=" is a field: the section ends
// before it.
std::optional<NodeId> read_constant(Parser& p, bool in_type, bool in_statement = false) {
  Tentative attempt(p);
  const std::size_t first = here(p);
  NodeId constant = p.arena.add_node(NodeKind::Constant, peek(p));
  p.arena.add_child(constant, take_name_node(p));
  if (accept(p, Word::Colon)) p.arena.add_child(constant, read_type(p));
  if (at(p, Word::Equal)) {
    const std::size_t value_first = here(p);
    NodeId value = take_node(p, NodeKind::Value);
    add_if(p, value, read_constant_value(p));
    if (!p.arena.first_child(value)) note_missing(p, "value");
    finish(p, value, value_first);
    p.arena.add_child(constant, value);
  } else if (in_type) {
    return std::nullopt;  // a field, read by the type body
  } else {
    note_missing(p, "=");
  }
  attempt.commit();
  if (in_statement) {
    read_hints(p, constant);
  } else {
    end_declaration(p, constant);
  }
  finish(p, constant, first);
  return constant;
}

// The words that end a section inside a type body before its next item.
bool ends_type_section_item(const Parser& p, bool in_type) {
  return in_type && at_one_of(p, visibility_words);
}

// A routine word that starts a heading ("operator :=" of Free Pascal), not
// the name of a constant or variable ("Operator: string").
bool at_heading(const Parser& p) {
  return at_routine(p) && !peek_is(p, 1, Word::Equal) && !peek_is(p, 1, Word::Colon) &&
         !peek_is(p, 1, Word::Comma);
}

}  // namespace

NodeId read_inline_const(Parser& p) { return *read_constant(p, false, true); }

bool at_hint(const Parser& p) {
  if (!at_one_of(p, hint_words_all)) return false;
  // "library" is a hint only where a hint may stand: before ";" or another hint.
  return !at(p, Word::Library) || peek_is(p, 1, Word::Semicolon) ||
         hint_words_all.has(peek_at(p, 1).word);
}

void read_hints(Parser& p, NodeId node) {
  while (at_hint(p)) {
    if (at(p, Word::Deprecated)) {
      parse_deprecated(p, node);
    } else {
      next_token(p);
    }
  }
}

std::optional<NodeId> read_constant_value(Parser& p) {
  if (at(p, Word::OpenRound) && at_aggregate(p)) return read_aggregate(p);
  return read_expression(p);
}

// const-section: ['class'] ('const' | 'resourcestring') constant {constant}
NodeId read_const_section(Parser& p, bool in_type) {
  const std::size_t first = here(p);
  const bool class_const = at(p, Word::Class);
  if (class_const) next_token(p);
  const Word word = peek(p).word;
  NodeId section = p.arena.add_node(NodeKind::Constants, peek(p));
  next_token(p);
  p.arena.set_attribute(section, AttributeKey::Kind, word_text(word));
  if (class_const) p.arena.set_attribute(section, AttributeKey::Class, "true");
  while (at_name(p) && !ends_type_section_item(p, in_type) && !at_heading(p)) {
    std::optional<NodeId> constant = read_constant(p, in_type);
    if (!constant) break;
    p.arena.add_child(section, *constant);
  }
  finish(p, section, first);
  return section;
}

NodeId read_variable(Parser& p, NodeKind kind, std::optional<NodeId> attributes) {
  const std::size_t first = here(p);
  NodeId variable = p.arena.add_node(kind, peek(p));
  add_if(p, variable, attributes);
  for (;;) {
    if (!at_name(p)) {
      note_missing(p, "name");
      break;
    }
    p.arena.add_child(variable, take_name_node(p));
    if (!accept(p, Word::Comma)) break;
  }
  // An inline variable may leave its type to its value.
  if (accept(p, Word::Colon)) {
    p.arena.add_child(variable, read_type(p));
  } else if (!at(p, Word::Assign)) {
    note_missing(p, ":");
  }
  if (at(p, Word::Absolute)) {
    const std::size_t part_first = here(p);
    NodeId absolute = take_node(p, NodeKind::Absolute);
    add_if(p, absolute, expect_expression(p));
    finish(p, absolute, part_first);
    p.arena.add_child(variable, absolute);
  } else if (at(p, Word::Equal) || at(p, Word::Assign)) {
    const std::size_t part_first = here(p);
    NodeId value = take_node(p, NodeKind::Value);
    add_if(p, value, read_constant_value(p));
    if (!p.arena.first_child(value)) note_missing(p, "value");
    finish(p, value, part_first);
    p.arena.add_child(variable, value);
  }
  read_hints(p, variable);
  finish(p, variable, first);
  return variable;
}

// var-section: ('var' | 'threadvar') variable ';' {variable ';'}
namespace {

// A variable of a var section from its first token (`first`, before its
// attributes): the ";" and the modifiers after it belong to the variable.
NodeId read_section_variable(Parser& p, std::size_t first, std::optional<NodeId> attributes) {
  NodeId variable = read_variable(p, NodeKind::Variable, attributes);
  if (!at(p, Word::Semicolon) && !at_eof(p))
    skip_until(p, declaration_resume, DiagnosticKind::SkippedInDeclaration);
  expect(p, Word::Semicolon);
  read_variable_directives(p, variable);
  finish(p, variable, first);
  return variable;
}

}  // namespace

NodeId read_var_section(Parser& p) {
  const std::size_t first = here(p);
  const Word word = peek(p).word;
  NodeId section = take_node(p, NodeKind::Variables);
  p.arena.set_attribute(section, AttributeKey::Kind, word_text(word));
  for (;;) {
    // A variable may carry attributes: [Volatile] Count: Integer.
    const bool attributed = at(p, Word::OpenSquare) && bracket_partner(p, p.position()) != no_bracket_partner &&
                            is_name(peek_at(p, bracket_partner(p, p.position()) + 1 - p.position()));
    if (!attributed && (!at_name(p) || at_heading(p))) break;
    const std::size_t item_first = here(p);
    std::optional<NodeId> attributes;
    if (attributed) attributes = read_attributes(p);
    p.arena.add_child(section, read_section_variable(p, item_first, attributes));
  }
  finish(p, section, first);
  return section;
}

namespace {

// True when a type declaration starts here: [attributes] ['generic'] name
// ('=' | '<'). Inside a type body a name not followed so is a field.
bool at_type_declaration(const Parser& p) {
  std::size_t i = p.position();
  while (i < p.tokens.size() && p.tokens[i].word == Word::OpenSquare) {
    const std::uint32_t close = bracket_partner(p, i);
    if (close == no_bracket_partner) return false;
    i = close + 1;
  }
  if (i < p.tokens.size() && p.tokens[i].word == Word::Generic) ++i;
  if (i + 1 >= p.tokens.size() || !is_name(p.tokens[i])) return false;
  const Word next = p.tokens[i + 1].word;
  return next == Word::Equal || next == Word::Less;
}

// type-declaration: [attributes] ['generic'] name [type-params] '=' type {hint} [align] ';'
NodeId read_type_declaration(Parser& p) {
  const std::size_t first = here(p);
  std::optional<NodeId> attributes;
  if (at(p, Word::OpenSquare)) attributes = read_attributes(p);
  const bool generic = accept(p, Word::Generic);
  NodeId decl = p.arena.add_node(NodeKind::TypeDecl, peek(p));
  p.arena.set_attribute(decl, AttributeKey::Name, name_text(p, peek(p)));
  next_token(p);
  if (generic) p.arena.set_attribute(decl, AttributeKey::Kind, "generic");
  add_if(p, decl, attributes);
  bool closed_by_equal = false;
  if (at(p, Word::Less)) add_if(p, decl, read_type_params(p, &closed_by_equal));
  if (closed_by_equal || expect(p, Word::Equal)) {
    p.arena.add_child(decl, read_type(p, true));
  }
  read_hints(p, decl);
  if (at(p, Word::Align)) {
    const std::size_t part_first = here(p);
    NodeId align = take_node(p, NodeKind::AlignmentParam);
    add_if(p, align, expect_expression(p));
    finish(p, align, part_first);
    p.arena.add_child(decl, align);
  }
  end_declaration(p, decl);
  // Free Pascal's 16-bit pointers: "PFoo = ^TFoo; far;".
  while ((at(p, Word::Far) || at(p, Word::Near)) && peek_is(p, 1, Word::Semicolon)) {
    p.arena.set_attribute(decl, at(p, Word::Far) ? AttributeKey::Far : AttributeKey::Near, "true");
    next_token(p);
    next_token(p);
  }
  finish(p, decl, first);
  return decl;
}

}  // namespace

// type-section: 'type' type-declaration {type-declaration}
NodeId read_type_section(Parser& p, bool in_type) {
  const std::size_t first = here(p);
  NodeId section = take_node(p, NodeKind::TypeSection);
  while (!ends_type_section_item(p, in_type) && at_type_declaration(p))
    p.arena.add_child(section, read_type_declaration(p));
  finish(p, section, first);
  return section;
}

namespace {

// What a declaration of a text without header starts as, its section word
// being in the file that includes the text.
enum class Headless : std::uint8_t { None, Type, Constant, Variable };

// At the top level of a text without header: "a, b:" starts variables;
// "N =" (or "N<") a type declaration when what follows the "=" starts a
// type, else a constant.
Headless headless_declaration_at(const Parser& p) {
  const std::size_t i = p.position();
  if (i + 2 >= p.tokens.size() || !is_name(p.tokens[i])) return Headless::None;
  // "a, b: T": variables (or fields) of a section opened by the includer.
  for (std::size_t k = i; k + 1 < p.tokens.size() && is_name(p.tokens[k]); k += 2) {
    const Word after = p.tokens[k + 1].word;
    if (after == Word::Colon) return Headless::Variable;
    if (after != Word::Comma) break;
  }
  const Word next = p.tokens[i + 1].word;
  if (next == Word::Less) return Headless::Type;
  if (next != Word::Equal) return Headless::None;
  const Token& t = p.tokens[i + 2];
  switch (t.word) {
    case Word::Class:
    case Word::Interface:
    case Word::DispInterface:
    case Word::Record:
    case Word::Object:
    case Word::Packed:
    case Word::Array:
    case Word::Set:
    case Word::File:
    case Word::String:
    case Word::Procedure:
    case Word::Function:
    case Word::Reference:
    case Word::Type:
    case Word::Caret:
    case Word::OpenRound:
      return Headless::Type;
    default:
      break;
  }
  // "TAlias = TOther;" names a type; "Max = Other;" would name a constant
  // just as well, and is read the way type sections hold it.
  if (is_name(t) && i + 3 < p.tokens.size() && p.tokens[i + 3].word == Word::Semicolon)
    return Headless::Type;
  return Headless::Constant;
}

}  // namespace

std::optional<NodeId> read_headless_declarations(Parser& p) {
  const Headless kind = headless_declaration_at(p);
  if (kind == Headless::None) return std::nullopt;
  const std::size_t first = here(p);
  const NodeKind section_kind = kind == Headless::Type       ? NodeKind::TypeSection
                               : kind == Headless::Constant ? NodeKind::Constants
                                                            : NodeKind::Variables;
  NodeId section = p.arena.add_node(section_kind, peek(p));
  while (headless_declaration_at(p) == kind) {
    const std::size_t before = here(p);
    if (kind == Headless::Type) {
      p.arena.add_child(section, read_type_declaration(p));
    } else if (kind == Headless::Variable) {
      p.arena.add_child(section, read_section_variable(p, before, std::nullopt));
    } else if (std::optional<NodeId> constant = read_constant(p, false)) {
      p.arena.add_child(section, *constant);
    }
    if (here(p) == before) break;  // left to the caller's recovery
  }
  finish(p, section, first);
  return section;
}

// label-section: 'label' label {',' label} ';'
NodeId read_label_section(Parser& p) {
  const std::size_t first = here(p);
  NodeId section = take_node(p, NodeKind::Label);
  p.arena.set_attribute(section, AttributeKey::Kind, "section");
  while (at_name(p) || peek(p).kind == TokenKind::Number) {
    p.arena.add_child(section, take_name_node(p));
    if (!accept(p, Word::Comma)) break;
  }
  end_declaration(p, section);
  finish(p, section, first);
  return section;
}

}  // namespace tarnwick::complete
