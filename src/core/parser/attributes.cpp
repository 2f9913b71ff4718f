// PLACEHOLDER: replaced by the real rules
#include "parser/parser.h"
namespace tarnwick {
NodeId parse_attributes(Parser& p) { return p.arena.add_node(NodeKind::Attributes, peek(p)); }
}
