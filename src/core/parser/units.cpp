// File and unit structure: the optional program/library/package/unit header,
// then the unit body loop that dispatches on the current word.
#include "parser/parser.h"

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// uses-clause: ('uses' | 'contains' | 'requires') name ['in' 'path'] {',' ...} ';'
NodeId parse_uses_clause(Parser& p, NodeKind kind) {
  Token word = next_token(p);
  NodeId clause = p.arena.add_node(kind, word);
  stamp_end(p, clause, word);
  while (!p.at_end() && !current_is(p, ";")) {
    Token first = peek(p);
    std::string name = parse_dotted_name(p);
    if (name.empty()) {
      ++p.position;
    } else {
      NodeId unit = p.arena.add_node(NodeKind::Unit, first);
      p.arena.set_attribute(unit, AttributeKey::Name, name);
      stamp_end(p, unit, first);
      if (accept(p, "in") && !p.at_end()) {
        Token path = next_token(p);
        std::string text;
        for (char c : p.text(path))
          if (c != '\'') text.push_back(c);
        p.arena.set_attribute(unit, AttributeKey::Path, text);
      }
      p.arena.add_child(clause, unit);
    }
    accept(p, ",");
  }
  accept(p, ";");
  return clause;
}

// exports-clause: 'exports' name [('resident' | 'index' | 'name') ...] {',' ...} ';'
NodeId parse_exports_clause(Parser& p) {
  Token word = next_token(p);
  NodeId exports = p.arena.add_node(NodeKind::Exports, word);
  stamp_end(p, exports, word);
  while (!p.at_end() && !current_is(p, ";")) {
    std::size_t pass_start = p.position;
    Token first = peek(p);
    std::string name = parse_dotted_name(p);
    if (name.empty()) {
      skip_token(p);  // not a name; the clauses below still apply
    } else {
      NodeId element = p.arena.add_node(NodeKind::Element, first);
      NodeId name_node = p.arena.add_node(NodeKind::Name, first);
      p.arena.set_attribute(name_node, AttributeKey::Name, name);
      p.arena.add_child(element, name_node);
      p.arena.add_child(exports, element);
    }
    // The resident, index and name clauses leave no node.
    if (current_is(p, "resident") || current_is(p, "index") || current_is(p, "name")) {
      while (!p.at_end() && !current_text_is(p, ",") && !current_text_is(p, ";")) ++p.position;
    }
    accept(p, ",");
    ensure_progress(p, pass_start);
  }
  accept(p, ";");
  return exports;
}

// A statement of an initialization or finalization section: the tokens up to
// the next "begin", "end", "asm" or ";" written exactly so, as one expression.
void parse_statement_run(Parser& p, NodeId section) {
  std::size_t found = p.position;
  while (found < p.tokens.size()) {
    std::string_view t = p.text(p.tokens[found]);
    if (t == "begin" || t == "end" || t == "asm" || t == ";") break;
    ++found;
  }
  if (found > p.position) {
    if (std::optional<NodeId> e = parse_expression(p, Run{p.position, found})) {
      NodeId node = *e;
      if (p.arena.child_count(node) == 1) node = *p.arena.first_child(node);
      p.arena.add_child(section, node);
    }
  }
  p.position = found;
  skip_past(p, ";");
}

std::optional<NodeKind> section_kind(const Parser& p) {
  if (current_is(p, "interface")) return NodeKind::Interface;
  if (current_is(p, "implementation")) return NodeKind::Implementation;
  if (current_is(p, "initialization")) return NodeKind::Initialization;
  if (current_is(p, "finalization")) return NodeKind::Finalization;
  return std::nullopt;
}

}  // namespace

void parse_unit_body(Parser& p, NodeId root) {
  NodeId section = root;
  while (!p.at_end()) {
    const std::size_t pass_start = p.position;
    const Token& t = peek(p);
    const NodeKind section_type = p.arena.kind(section);
    const bool in_code_section =
        section_type == NodeKind::Initialization || section_type == NodeKind::Finalization;
    if (current_is(p, "var") || current_is(p, "threadvar")) {
      std::string word = unicode::to_lower(p.text(t));
      p.arena.add_child(section, parse_var_section(p, word));
    } else if (current_is(p, "const") || current_is(p, "resourcestring")) {
      std::string word = unicode::to_lower(p.text(t));
      p.arena.add_child(section, parse_const_section(p, word));
    } else if (current_is(p, "type")) {
      p.arena.add_child(section, parse_type_section(p, false));
    } else if (current_is(p, "uses")) {
      p.arena.add_child(section, parse_uses_clause(p, NodeKind::Uses));
    } else if (current_is(p, "contains")) {
      p.arena.add_child(section, parse_uses_clause(p, NodeKind::Contains));
    } else if (current_is(p, "requires")) {
      p.arena.add_child(section, parse_uses_clause(p, NodeKind::Requires));
    } else if (current_is(p, "exports")) {
      p.arena.add_child(section, parse_exports_clause(p));
    } else if (std::optional<NodeKind> kind = section_kind(p)) {
      Token word = next_token(p);
      NodeId node = p.arena.add_node(*kind, word);
      stamp_end(p, node, word);
      p.arena.add_child(root, node);
      section = node;
    } else if (in_code_section && t.is_word() && !current_is(p, "end") &&
               !current_is(p, "begin")) {
      if (current_is(p, "asm")) {
        ++p.position;
      } else {
        parse_statement_run(p, section);
      }
    } else if (current_is(p, "end")) {
      next_token(p);
      accept(p, ".");
      accept(p, ";");
    } else if (current_is(p, "class") && is_routine_word_at(p, 1)) {
      p.arena.add_child(section, parse_routine(p, section_type != NodeKind::Interface));
    } else if (current_is(p, "begin")) {
      p.arena.add_child(section, parse_compound_statement(p));
    } else if (is_routine_word_at(p, 0)) {
      p.arena.add_child(section, parse_routine(p, section_type != NodeKind::Interface));
    } else {
      skip_token(p);  // anything else
    }
    ensure_progress(p, pass_start);
  }
}

NodeId parse_file(Parser& p) {
  NodeId root = p.arena.add_node(NodeKind::Unit, peek(p));
  if (!p.at_end()) {
    for (std::string_view header : {"program", "library", "package", "unit"}) {
      if (!current_is(p, header)) continue;
      p.arena.set_attribute(root, AttributeKey::Kind, header);
      Token word = next_token(p);
      stamp_end(p, root, word);
      std::string name = parse_dotted_name(p);
      if (!name.empty()) p.arena.set_attribute(root, AttributeKey::Name, name);
      // Hints after the name, up to the ";".
      while (!p.at_end() && !current_is(p, ";")) {
        if (accept(p, "deprecated")) {
          if (peek(p).kind == TokenKind::String) {
            Token message = next_token(p);
            p.arena.set_attribute(root, AttributeKey::Deprecated, unquote(p.text(message)));
          } else {
            p.arena.set_attribute(root, AttributeKey::Deprecated, "true");
          }
        } else if (accept(p, "experimental")) {
          p.arena.set_attribute(root, AttributeKey::Kind, "experimental");
        } else {
          ++p.position;
        }
      }
      skip_past(p, ";");
      break;
    }
  }
  parse_unit_body(p, root);
  return root;
}

}  // namespace tarnwick
