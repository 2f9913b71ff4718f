// Generic parameter lists of type declarations and routines.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/parser.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// A group ends at ";" or at the closing ">". A ">=" ends it too: written
// without a blank, the closing bracket and the "=" of a type declaration
// make one token, which is left for the declaration.
constexpr WordSet group_stop_words{Word::Semicolon, Word::Greater, Word::GreaterEqual};


// The text of a name or constraint: its tokens joined, trimmed of white space.
std::string piece_text(const Parser& p, Run piece) {
  std::string joined = join_token_texts(p, piece);
  return std::string(unicode::trim_white_space(joined));
}

// constraint: 'class' | 'record' | 'constructor' | 'interface' | 'unmanaged'
//   | type written as text
NodeId parse_constraint(Parser& p, Run piece) {
  const Token& first = p.tokens[piece.begin];
  const std::string text = piece_text(p, piece);
  // The whole text is compared, not the first token: blanks around a word
  // are trimmed off.
  switch (look_up_word(text)) {
    case Word::Class: return p.arena.add_node(NodeKind::ClassConstraint, first);
    case Word::Record: return p.arena.add_node(NodeKind::RecordConstraint, first);
    case Word::Constructor: return p.arena.add_node(NodeKind::ConstructorConstraint, first);
    case Word::Interface: return p.arena.add_node(NodeKind::InterfaceConstraint, first);
    case Word::Unmanaged: return p.arena.add_node(NodeKind::UnmanagedConstraint, first);
    default: break;
  }
  NodeId type = p.arena.add_node(NodeKind::Type, first);
  p.arena.set_attribute(type, AttributeKey::Name, text);
  return type;
}

// group: name {',' name} [':' constraint {',' constraint}]
// Every parameter of the group has the group's one `Constraints` node as a
// child, so each shows its own copy of it in the tree.
void parse_group(Parser& p, NodeId list, Run run) {
  Run names = run;
  Run constraints{run.end, run.end};
  for (std::size_t i = run.begin; i < run.end; ++i) {
    if (p.tokens[i].word == Word::Colon) {
      names = Run{run.begin, i};
      constraints = Run{i + 1, run.end};
      break;
    }
  }
  std::optional<NodeId> constraint_node;
  const std::vector<Run> constraint_pieces = split_by_comma(p, constraints);
  if (!constraint_pieces.empty()) {
    constraint_node = p.arena.add_node(NodeKind::Constraints, p.tokens[constraints.begin]);
    for (Run piece : constraint_pieces)
      p.arena.add_child(*constraint_node, parse_constraint(p, piece));
  }
  for (Run piece : split_by_comma(p, names)) {
    const Token& first = p.tokens[piece.begin];
    NodeId param = p.arena.add_node(NodeKind::TypeParam, first);
    p.arena.add_child(param, p.arena.add_value_node(NodeKind::Name, first, piece_text(p, piece)));
    if (constraint_node) p.arena.add_child(param, *constraint_node);
    p.arena.add_child(list, param);
  }
}

}  // namespace

// generic-params: '<' group {';' group} '>'
void parse_generic_params(Parser& p, NodeId target) {
  if (!at(p, Word::Less)) return;
  NodeId list = p.arena.add_node(NodeKind::TypeParams, next_token(p));
  for (Progress pass(p, DiagnosticKind::SkippedInList);
       pass.next() && !at(p, Word::Greater) && !at(p, Word::GreaterEqual);) {
    const Run run = scan_until(p, group_stop_words);
    if (run.empty()) break;
    consume(p, run);
    parse_group(p, list, run);
    accept(p, Word::Semicolon);
  }
  accept(p, Word::Greater);
  p.arena.add_child(target, list);
}

}  // namespace tarnwick
