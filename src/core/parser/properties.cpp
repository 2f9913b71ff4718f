// Property declarations: name, index parameters, type and specifiers.
#include "parser/parser.h"

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// Words that end the expression of a specifier: the specifier words and the
// hints, so that "read FZ deprecated 'x'" reads FZ alone.
constexpr WordSet specifier_stop_words{
    Word::Semicolon, Word::Index,     Word::DispId,       Word::Implements, Word::Read,
    Word::Write,     Word::ReadOnly,  Word::WriteOnly,    Word::Add,        Word::Remove,
    Word::Default,   Word::NoDefault, Word::Stored,       Word::Deprecated, Word::Experimental,
    Word::Library,   Word::Platform};

// Words that end a property's type: the specifier words, and those of a type
// reference except "]".
constexpr WordSet property_type_stop_words =
    WordSet{Word::Semicolon, Word::CloseRound, Word::Comma, Word::End, Word::Of, Word::Colon,
            Word::Equal} |
    specifier_stop_words;

// Attaches the expression that follows a specifier word to its node.
void attach_specifier_expression(Parser& p, NodeId node) {
  Run value = scan_until(p, specifier_stop_words);
  consume(p, value);
  if (std::optional<NodeId> expression = parse_expression_unwrapped(p, value))
    p.arena.add_child(node, *expression);
}

// What one pass of the index-parameter loop found.
enum class ParameterStep : std::uint8_t { Stop, Skip, Read };
struct ParameterStart {
  ParameterStep step;
  NodeId parameter;
};

// index-parameter head: [modifier] name
// A modifier word replaces the one in force; a token without a name is
// stepped over.
[[gnu::noinline]] ParameterStart start_index_parameter(Parser& p, std::string_view& modifier) {
  if (at_one_of(p, parameter_modifiers)) {
    modifier = word_text(next_token(p).word);
    if (p.at_end() || at(p, Word::CloseSquare)) return {ParameterStep::Stop, 0};
  }
  const Token& first = peek(p);
  std::string_view name = take_name(p);
  if (name.empty()) {
    skip_token(p, DiagnosticKind::SkippedInList);
    return {ParameterStep::Skip, 0};
  }
  NodeId parameter = p.arena.add_node(NodeKind::Parameter, first);
  if (!modifier.empty()) p.arena.set_attribute(parameter, AttributeKey::Kind, modifier);
  p.arena.add_child(parameter, p.arena.add_value_node(NodeKind::Name, first, name));
  return {ParameterStep::Read, parameter};
}

// index-parameter tail: ['=' default] [';']
// The default is kept as the text of its tokens; a ";" ends the modifier.
[[gnu::noinline]] void finish_index_parameter(Parser& p, NodeId property, NodeId parameter,
                                              std::string_view& modifier) {
  if (accept(p, Word::Equal)) {
    NodeId value = p.arena.add_node(NodeKind::Value, peek(p));
    Run default_value = scan_until(p, {Word::Semicolon, Word::CloseSquare});
    if (!default_value.empty()) {
      NodeId text = p.arena.add_value_node(NodeKind::Unknown, p.tokens[default_value.begin],
                                           join_token_texts(p, default_value));
      p.arena.add_child(value, text);
    }
    consume(p, default_value);
    p.arena.add_child(parameter, value);
  }
  p.arena.add_child(property, parameter);
  if (accept(p, Word::Semicolon)) modifier = {};
}

// index-parameters: '[' { [modifier] name [':' type] ['=' default] [';'] } ']'
// A "," is not read as a separator: it is skipped as a token without a name,
// so a modifier stays in force until the next ";".
void parse_index_parameters(Parser& p, NodeId property) {
  next_token(p);  // '['
  std::string_view modifier;
  for (Progress pass(p, DiagnosticKind::SkippedInList); pass.next() && !at(p, Word::CloseSquare);) {
    const ParameterStart start = start_index_parameter(p, modifier);
    if (start.step == ParameterStep::Stop) break;
    if (start.step == ParameterStep::Skip) continue;
    if (accept(p, Word::Colon)) p.arena.add_child(start.parameter, parse_type(p));
    finish_index_parameter(p, property, start.parameter, modifier);
    if (p.at_end() || at(p, Word::CloseSquare)) break;
  }
  accept(p, Word::CloseSquare);
}

// Reads one specifier at the current word, or answers false when the word
// is no specifier.
bool parse_specifier(Parser& p, NodeId property) {
  const Word w = peek(p).word;
  auto take = [&](NodeKind kind) { return p.arena.add_node(kind, next_token(p)); };
  auto take_unknown = [&]() {
    Token word = next_token(p);
    NodeId node = p.arena.add_node(NodeKind::Unknown, word);
    p.arena.set_attribute(node, AttributeKey::Kind, word_text(w));
    return node;
  };
  NodeId node;
  switch (w) {
    case Word::Read:
    case Word::Write:
      node = take(w == Word::Read ? NodeKind::Read : NodeKind::Write);
      attach_specifier_expression(p, node);
      break;
    case Word::Add:
    case Word::Remove:
    case Word::DispId:
      node = take_unknown();
      attach_specifier_expression(p, node);
      break;
    case Word::ReadOnly:
    case Word::WriteOnly:
      node = take_unknown();
      break;
    case Word::Index:
      node = take(NodeKind::Index);
      attach_specifier_expression(p, node);
      break;
    case Word::Stored:
      node = take_unknown();
      if (!at(p, Word::Semicolon)) attach_specifier_expression(p, node);
      break;
    case Word::Default:
      node = take(NodeKind::Default);
      if (!at(p, Word::Semicolon)) attach_specifier_expression(p, node);
      break;
    case Word::NoDefault:
      node = take(NodeKind::Default);
      p.arena.set_attribute(node, AttributeKey::Kind, "nodefault");
      break;
    case Word::Implements:
      node = take(NodeKind::Implements);
      attach_specifier_expression(p, node);
      break;
    case Word::Deprecated:
      parse_deprecated(p, property);
      return true;
    case Word::Experimental:
    case Word::Library:
    case Word::Platform:
      next_token(p);
      p.arena.set_attribute(property, AttributeKey::Kind, word_text(w));
      return true;
    default:
      return false;
  }
  p.arena.add_child(property, node);
  return true;
}

// property-head: 'property' name
[[gnu::noinline]] NodeId start_property(Parser& p) {
  NodeId property = p.arena.add_node(NodeKind::Property, next_token(p));
  std::string name = parse_dotted_name(p);
  if (!name.empty()) p.arena.set_attribute(property, AttributeKey::Name, name);
  return property;
}

// property-tail: [':' type] {specifier} [';' ['default' ';']]
[[gnu::noinline]] void finish_property(Parser& p, NodeId property) {
  if (accept(p, Word::Colon))
    p.arena.add_child(property, parse_type_reference(p, peek(p), property_type_stop_words));
  while (!p.at_end() && parse_specifier(p, property)) {
  }
  if (accept(p, Word::Semicolon) && at(p, Word::Default)) {
    p.arena.add_child(property, p.arena.add_node(NodeKind::Default, next_token(p)));
    accept(p, Word::Semicolon);
  }
}

}  // namespace

// property: 'property' name ['[' index-parameters ']'] [':' type]
//           {specifier} [';' ['default' ';']]
// specifier: read X | write X | index X | stored [X] | default [X] | nodefault
//          | implements X | dispid X | add X | remove X | readonly | writeonly
//          | hint
// Only the index parameters can hold a nested type (of their own, through
// the type grammar), so this rule keeps its frame small and leaves the rest
// to the helpers.
NodeId parse_property(Parser& p) {
  const NodeId property = start_property(p);
  if (at(p, Word::OpenSquare)) parse_index_parameters(p, property);
  finish_property(p, property);
  return property;
}

}  // namespace tarnwick
