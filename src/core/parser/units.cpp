// File and unit structure: the optional program/library/package/unit header,
// then the unit body loop that dispatches on the current word.
#include <algorithm>

#include "parser/brackets.h"
#include "parser/parser.h"

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// uses-clause: ('uses' | 'contains' | 'requires') name ['in' 'path'] {',' ...} ';'
NodeId parse_uses_clause(Parser& p, NodeKind kind) {
  Token word = next_token(p);
  NodeId clause = p.arena.add_node(kind, word);
  stamp_end(p, clause, word);
  while (!p.at_end() && !at(p, Word::Semicolon)) {
    Token first = peek(p);
    std::string name = parse_dotted_name(p);
    if (name.empty()) {
      skip_token(p, DiagnosticKind::SkippedInList);  // not a name
    } else {
      NodeId unit = p.arena.add_node(NodeKind::Unit, first);
      p.arena.set_attribute(unit, AttributeKey::Name, name);
      stamp_end(p, unit, first);
      if (accept(p, Word::In) && !p.at_end()) {
        Token path = next_token(p);
        std::string text;
        for (char c : p.text(path))
          if (c != '\'') text.push_back(c);
        p.arena.set_attribute(unit, AttributeKey::Path, text);
      }
      p.arena.add_child(clause, unit);
    }
    accept(p, Word::Comma);
  }
  accept(p, Word::Semicolon);
  return clause;
}

// exports-clause: 'exports' name [('resident' | 'index' | 'name') ...] {',' ...} ';'
NodeId parse_exports_clause(Parser& p) {
  Token word = next_token(p);
  NodeId exports = p.arena.add_node(NodeKind::Exports, word);
  stamp_end(p, exports, word);
  for (Progress pass(p, DiagnosticKind::SkippedInList); pass.next() && !at(p, Word::Semicolon);) {
    Token first = peek(p);
    std::string name = parse_dotted_name(p);
    if (name.empty()) {
      skip_token(p, DiagnosticKind::SkippedInList);  // not a name; the clauses below still apply
    } else {
      NodeId element = p.arena.add_node(NodeKind::Element, first);
      NodeId name_node = p.arena.add_node(NodeKind::Name, first);
      p.arena.set_attribute(name_node, AttributeKey::Name, name);
      p.arena.add_child(element, name_node);
      p.arena.add_child(exports, element);
    }
    // The resident, index and name clauses leave no node.
    if (at_one_of(p, {Word::Resident, Word::Index, Word::Name}))
      consume(p, scan_until(p, {Word::Comma, Word::Semicolon}, Brackets::Flat));
    accept(p, Word::Comma);
  }
  accept(p, Word::Semicolon);
  return exports;
}

// A statement of an initialization or finalization section: the tokens up to
// the next "begin", "end", "asm" or ";" written exactly so, as one
// expression. What follows up to the next ";" is not read.
void parse_statement_run(Parser& p, NodeId section) {
  const std::size_t n = p.tokens.size();
  const Run run{std::min(p.position(), n),
                scan_run<Brackets::Flat>(p, std::min(p.position(), n), n, [&p](const Token& t) {
                  return written_as(p, t, Word::Begin) || written_as(p, t, Word::End) ||
                         written_as(p, t, Word::Asm) || t.word == Word::Semicolon;
                })};
  if (!run.empty()) {
    if (std::optional<NodeId> e = parse_expression(p, run)) {
      NodeId node = *e;
      if (p.arena.child_count(node) == 1) node = *p.arena.first_child(node);
      p.arena.add_child(section, node);
    }
  }
  consume(p, run);
  skip_past(p, Word::Semicolon, DiagnosticKind::SkippedInStatement);
}


}  // namespace

void parse_unit_body(Parser& p, NodeId root) {
  NodeId section = root;
  for (Progress pass(p, DiagnosticKind::SkippedInUnit); pass.next();) {
    const Token& t = peek(p);
    const NodeKind section_type = p.arena.kind(section);
    const bool in_code_section =
        section_type == NodeKind::Initialization || section_type == NodeKind::Finalization;
    const bool in_interface = section_type == NodeKind::Interface;
    switch (t.word) {
      case Word::Var:
      case Word::ThreadVar:
        p.arena.add_child(section, parse_var_section(p));
        break;
      case Word::Const:
      case Word::ResourceString:
        p.arena.add_child(section, parse_const_section(p));
        break;
      case Word::Type:
        p.arena.add_child(section, parse_type_section(p, false));
        break;
      case Word::Uses:
        p.arena.add_child(section, parse_uses_clause(p, NodeKind::Uses));
        break;
      case Word::Contains:
        p.arena.add_child(section, parse_uses_clause(p, NodeKind::Contains));
        break;
      case Word::Requires:
        p.arena.add_child(section, parse_uses_clause(p, NodeKind::Requires));
        break;
      case Word::Exports:
        p.arena.add_child(section, parse_exports_clause(p));
        break;
      case Word::Interface:
      case Word::Implementation:
      case Word::Initialization:
      case Word::Finalization: {
        const NodeKind kind = t.word == Word::Interface        ? NodeKind::Interface
                              : t.word == Word::Implementation ? NodeKind::Implementation
                              : t.word == Word::Initialization ? NodeKind::Initialization
                                                               : NodeKind::Finalization;
        Token word = next_token(p);
        NodeId node = p.arena.add_node(kind, word);
        stamp_end(p, node, word);
        p.arena.add_child(root, node);
        section = node;
        break;
      }
      case Word::End:
        next_token(p);
        accept(p, Word::Dot);
        accept(p, Word::Semicolon);
        break;
      case Word::Begin:
        p.arena.add_child(section, parse_compound_statement(p));
        break;
      default:
        if (in_code_section && t.is_word()) {
          // A statement of an initialization or finalization section; an
          // "asm" there is not read.
          if (t.word == Word::Asm) {
            skip_token(p, DiagnosticKind::SkippedInStatement);
          } else {
            parse_statement_run(p, section);
          }
        } else if (t.word == Word::Class && is_routine_word_at(p, 1)) {
          p.arena.add_child(section, parse_routine(p, !in_interface));
        } else if (routine_words.has(t.word)) {
          p.arena.add_child(section, parse_routine(p, !in_interface));
        } else {
          skip_token(p, DiagnosticKind::SkippedInUnit);  // anything else
        }
        break;
    }
  }
}

NodeId parse_file(Parser& p) {
  NodeId root = p.arena.add_node(NodeKind::Unit, peek(p));
  if (!p.at_end()) {
    const Word header = peek(p).word;
    if (header == Word::Program || header == Word::Library || header == Word::Package ||
        header == Word::Unit) {
      p.arena.set_attribute(root, AttributeKey::Kind, word_text(header));
      Token word = next_token(p);
      stamp_end(p, root, word);
      std::string name = parse_dotted_name(p);
      if (!name.empty()) p.arena.set_attribute(root, AttributeKey::Name, name);
      // Hints after the name, up to the ";".
      while (!p.at_end() && !at(p, Word::Semicolon)) {
        if (at(p, Word::Deprecated)) {
          parse_deprecated(p, root);
        } else if (accept(p, Word::Experimental)) {
          p.arena.set_attribute(root, AttributeKey::Kind, "experimental");
        } else {
          skip_token(p, DiagnosticKind::SkippedInDeclaration);
        }
      }
      accept(p, Word::Semicolon);
    }
  }
  parse_unit_body(p, root);
  return root;
}

}  // namespace tarnwick
