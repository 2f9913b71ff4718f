// PLACEHOLDER: replaced by the real rules
#include "parser/parser.h"
namespace tarnwick {
NodeId parse_property(Parser& p) { Token t = next_token(p); return p.arena.add_node(NodeKind::Property, t); }
}
