// PLACEHOLDER: replaced by the real rules
#include "parser/parser.h"
namespace tarnwick {
NodeId parse_type(Parser& p, bool) { return parse_type_reference(p, peek(p), type_reference_stop_words); }
NodeId parse_type_definition(Parser& p, const Token& start, bool) { return parse_type_reference(p, start, type_reference_stop_words); }
NodeId parse_type_reference(Parser& p, const Token& start, StopWords) { return p.arena.add_node(NodeKind::Type, start); }
NodeId parse_procedural_type(Parser& p, const Token& start) { return p.arena.add_node(NodeKind::Type, start); }
}
