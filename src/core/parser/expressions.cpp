// PLACEHOLDER: replaced by the real rules
#include "parser/parser.h"
namespace tarnwick {
std::optional<NodeId> parse_expression(Parser& p, Run run) { if (run.empty()) return std::nullopt; return p.arena.add_node(NodeKind::Expression, p.tokens[run.begin]); }
std::optional<NodeId> parse_expression_unwrapped(Parser& p, Run run) { return parse_expression(p, run); }
std::vector<Run> split_top_level_commas(const Parser&, Run run) { return {run}; }
}
