// PLACEHOLDER: replaced by the real rules
#include "parser/parser.h"
namespace tarnwick {
void parse_generic_params(Parser&, NodeId) {}
}
