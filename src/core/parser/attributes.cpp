// Custom attribute lists written in square brackets before a declaration.
#include "parser/parser.h"

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// Gives an argument list its end at the closing ")" (the bracket's own
// column) and source positions that run from its start token to the ")".
void stamp_arguments_end(Parser& p, NodeId arguments, const Token& start, const Token& close) {
  p.arena.set_end(arguments, close.line, close.column);
  if (start.line == close.line) {
    const std::uint32_t count = close.column >= start.column ? close.column - start.column + 1 : 0;
    p.arena.set_positions_run(arguments, start.line, start.column, count);
    return;
  }
  const auto letters = static_cast<std::uint32_t>(unicode::count_code_points(p.text(start)));
  std::vector<SourcePosition> positions;
  positions.reserve(letters + 3);
  for (std::uint32_t k = 0; k <= letters; ++k) positions.push_back({start.line, start.column + k});
  positions.push_back({close.line, close.column});
  positions.push_back({close.line, close.column + 1});
  p.arena.set_positions(arguments, positions);
}

// attribute-arguments: '(' [argument {',' argument}] ')'
NodeId parse_attribute_arguments(Parser& p) {
  const Token open = next_token(p);
  Run run = scan_until(p, {Word::CloseRound});
  consume(p, run);
  const Token start = run.empty() ? open : p.tokens[run.end - 1];
  NodeId arguments = p.arena.add_node(NodeKind::Arguments, start);
  for (Run group : split_top_level_commas(p, run)) {
    if (group.empty()) continue;
    std::optional<NodeId> expression = parse_expression_unwrapped(p, group);
    if (!expression) continue;  // an argument the expression parser rejects leaves nothing
    NodeId argument = p.arena.add_node(NodeKind::PositionalArgument, p.tokens[group.begin]);
    p.arena.add_child(argument, *expression);
    p.arena.add_child(arguments, argument);
  }
  if (at(p, Word::CloseRound)) {
    const Token close = next_token(p);
    stamp_arguments_end(p, arguments, start, close);
  }
  return arguments;
}

}  // namespace

// attributes: { '[' attribute {',' attribute} ']' }
// attribute: dotted-name [attribute-arguments]
// Adjacent bracket groups all go into one Attributes node.
NodeId parse_attributes(Parser& p) {
  p.in_attributes = true;
  p.attributes_too_deep = false;
  struct Leave {
    Parser& p;
    ~Leave() { p.in_attributes = false; }
  } leave{p};
  NodeId attributes = p.arena.add_node(NodeKind::Attributes, peek(p));
  struct Record {
    Parser& p;
    NodeId attributes;
    ~Record() {
      if (p.attributes_too_deep) p.too_deep_attributes.push_back(attributes);
    }
  } record{p, attributes};
  while (accept(p, Word::OpenSquare)) {
    while (!p.at_end() && !at(p, Word::CloseSquare)) {
      const Token first = peek(p);
      std::string name = parse_dotted_name(p);
      if (name.empty()) {
        // Numbers, strings and stray symbols start no attribute.
        skip_token(p, DiagnosticKind::SkippedInList);
        accept(p, Word::Comma);
        continue;
      }
      NodeId attribute = p.arena.add_node(NodeKind::Attribute, first);
      p.arena.set_attribute(attribute, AttributeKey::Name, name);
      if (at(p, Word::OpenRound)) p.arena.add_child(attribute, parse_attribute_arguments(p));
      p.arena.add_child(attributes, attribute);
      accept(p, Word::Comma);
    }
    accept(p, Word::CloseSquare);
  }
  return attributes;
}

void keep_attributes(const Parser& p, NodeId attributes) {
  for (NodeId refused : p.too_deep_attributes)
    if (refused == attributes) throw OutputTooLarge();
}

}  // namespace tarnwick
