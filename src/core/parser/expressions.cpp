// Expressions over a run of tokens. Operators and precedence are not modelled:
// the operands of a run are collected left to right under one `Expression`
// node, and only names, member accesses, calls, indexes, dereferences,
// literals and set constructors become nodes.
//
// Bracket partners come from one stack pass over the whole token list (see
// `bracket_index`), so finding the closer of an operand's bracket costs O(1)
// and every token is walked by one main loop and one comma split at most.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "parser/parser.h"
#include "unicode/unicode.h"
#include "util/memory.h"

namespace tarnwick {
namespace {

using CounterEffect = BracketIndex::CounterEffect;
using PairEffect = BracketIndex::PairEffect;

constexpr std::uint32_t no_partner = BracketIndex::no_partner;
constexpr CounterEffect raise_one{1, 0};
constexpr CounterEffect lower_one{-1, 0};  // never below 0

// `first`, then `second`.
inline CounterEffect then(CounterEffect first, CounterEffect second) {
  return CounterEffect{first.add + second.add,
                       std::max(first.floor + second.add, second.floor)};
}

inline std::int64_t apply(std::int64_t counter, CounterEffect e) {
  return std::max(counter + e.add, e.floor);
}

// The one character of a one-character token text, or 0, read from the
// token's offsets without making a text view.
inline char single_char(const Parser& p, std::size_t i) {
  const Token& t = p.tokens[i];
  return std::size_t{t.end} - t.start - t.text_skip == 1 ? p.source[t.start + t.text_skip] : '\0';
}

// A pair still waiting for its closer, with what its tokens so far do to the
// other counters.
struct OpenPair {
  std::uint32_t opener;
  PairEffect effect;
};

// Closes the innermost open pair of one shape at `closer`: records the
// partner and the pair's effect, and folds that effect into the enclosing
// open pair of the same shape.
void close_pair(BracketIndex& b, std::vector<OpenPair>& open, std::uint32_t closer) {
  OpenPair pair = open.back();
  open.pop_back();
  b.partner[pair.opener] = closer;
  b.pair_slot[pair.opener] = static_cast<std::uint32_t>(b.pair_effects.size());
  b.pair_effects.push_back(pair.effect);
  if (!open.empty()) {
    PairEffect& outer = open.back().effect;
    outer.angle = then(outer.angle, pair.effect.angle);
    outer.other = then(outer.other, pair.effect.other);
  }
}

// Fills the bracket partners and pair effects of the whole token list, once
// per parse. The partner of an opener at i is the first closer j > i of its
// shape that brings the count of that shape, started at 1, back to 0; a stack
// of open pairs per shape finds exactly those. The effects of a pair on the
// angle counter and on the counter of the other shape are composed from its
// own tokens and its nested pairs of the same shape.
const BracketIndex& bracket_index(const Parser& p) {
  BracketIndex& b = p.brackets;
  if (b.built) return b;
  const std::size_t n = p.tokens.size();
  if (n >= no_partner) throw InternalError("token list too long for the bracket index");
  b.partner.assign(n, no_partner);
  b.pair_slot.assign(n, no_partner);
  b.pair_effects.clear();
  std::vector<OpenPair> round, square;
  for (std::size_t i = 0; i < n; ++i) {
    const auto at = static_cast<std::uint32_t>(i);
    switch (single_char(p, i)) {
      case '(':
        if (!square.empty()) square.back().effect.other = then(square.back().effect.other, raise_one);
        round.push_back(OpenPair{at, PairEffect{}});
        break;
      case ')':
        if (!square.empty()) square.back().effect.other = then(square.back().effect.other, lower_one);
        if (!round.empty()) close_pair(b, round, at);
        break;
      case '[':
        if (!round.empty()) round.back().effect.other = then(round.back().effect.other, raise_one);
        square.push_back(OpenPair{at, PairEffect{}});
        break;
      case ']':
        if (!round.empty()) round.back().effect.other = then(round.back().effect.other, lower_one);
        if (!square.empty()) close_pair(b, square, at);
        break;
      case '<':
        if (!round.empty()) round.back().effect.angle = then(round.back().effect.angle, raise_one);
        if (!square.empty()) square.back().effect.angle = then(square.back().effect.angle, raise_one);
        break;
      case '>':
        if (!round.empty()) round.back().effect.angle = then(round.back().effect.angle, lower_one);
        if (!square.empty()) square.back().effect.angle = then(square.back().effect.angle, lower_one);
        break;
      default:
        break;
    }
  }
  b.built = true;
  return b;
}

// The partner of the opener at `i` when it lies inside `run`, else no_partner.
inline std::uint32_t partner_in(const HugeVector<std::uint32_t>& partner, std::size_t i, Run run) {
  std::uint32_t j = partner[i];
  return j != no_partner && j < run.end ? j : no_partner;
}

// The group of a comma split that starts at `from`: the tokens up to the next
// comma outside round, square and angle brackets, or up to `end`. Each counter
// moves on one-character tokens only and never drops below 0; all three are 0
// where a group starts, since a comma cuts only there. A "(" or "[" whose
// partner lies before `end` is stepped over whole: inside it its own counter
// stays above 0, so no comma there can cut, and its precomputed effect moves
// the other two counters as its tokens would.
Run next_group(const Parser& p, std::size_t from, std::size_t end) {
  const BracketIndex& b = bracket_index(p);
  const Run run{from, end};
  std::int64_t round = 0, square = 0, angle = 0;
  std::size_t i = from;
  while (i < end) {
    switch (single_char(p, i)) {
      case ',':
        if (round == 0 && square == 0 && angle == 0) return Run{from, i};
        break;
      case '(':
        if (std::uint32_t j = partner_in(b.partner, i, run); j != no_partner) {
          const PairEffect& e = b.pair_effects[b.pair_slot[i]];
          square = apply(square, e.other);
          angle = apply(angle, e.angle);
          i = j + 1;
          continue;
        }
        ++round;
        break;
      case '[':
        if (std::uint32_t j = partner_in(b.partner, i, run); j != no_partner) {
          const PairEffect& e = b.pair_effects[b.pair_slot[i]];
          round = apply(round, e.other);
          angle = apply(angle, e.angle);
          i = j + 1;
          continue;
        }
        ++square;
        break;
      case '<':
        ++angle;
        break;
      case ')':
        if (round > 0) --round;
        break;
      case ']':
        if (square > 0) --square;
        break;
      case '>':
        if (angle > 0) --angle;
        break;
      default:
        break;
    }
    ++i;
  }
  return Run{from, end};
}

// Keeps the recursive frames small: nodes with texts of their own are made
// out of line.
[[gnu::noinline]] NodeId make_identifier(Parser& p, const Token& t) {
  NodeId id = p.arena.add_node(NodeKind::Identifier, t);
  p.arena.set_attribute(id, AttributeKey::Name, name_text(p, t));
  return id;
}

// literal: number | string | character code
[[gnu::noinline]] NodeId make_literal(Parser& p, const Token& t) {
  NodeId id;
  std::string_view type;
  if (t.kind == TokenKind::String) {
    id = p.arena.add_value_node(NodeKind::Literal, t, unquote(p.text(t)));
    type = "string";
  } else {
    id = p.arena.add_value_node(NodeKind::Literal, t, p.text(t));
    type = t.kind == TokenKind::Number ? "numeric" : "char";
  }
  p.arena.set_attribute(id, AttributeKey::Type, type);
  return id;
}

[[gnu::noinline]] bool is_end_word(const Parser& p, const Token& t) {
  return unicode::lower_equals(p.text(t), "end");
}

// The only child of an expression node that has exactly one, else the node.
inline std::optional<NodeId> only_child_or_self(const Parser& p, std::optional<NodeId> e) {
  if (e) {
    const NodeArena::Record& r = p.arena.record(*e);
    if (r.first_child != NodeArena::none && r.first_child == r.last_child)
      return p.arena.child_entry(r.first_child).child;
  }
  return e;
}

// The elements of an index list or an argument list: one node per group of
// `inner` that yields one, each argument wrapped in a `PositionalArgument`.
// The groups are those of `split_top_level_commas`, found one at a time.
inline void parse_bracket_list(Parser& p, NodeId list, Run inner, bool arguments) {
  if (inner.empty()) return;
  for (std::size_t from = inner.begin;;) {
    const Run group = next_group(p, from, inner.end);
    if (std::optional<NodeId> r = only_child_or_self(p, parse_expression(p, group))) {
      if (arguments) {
        NodeId argument = p.arena.add_node(NodeKind::PositionalArgument, p.tokens[group.begin]);
        p.arena.add_child(argument, *r);
        p.arena.add_child(list, argument);
      } else {
        p.arena.add_child(list, *r);
      }
    }
    if (group.end == inner.end) return;
    from = group.end + 1;
  }
}

// operand: name {'.' name} ['[' expr {',' expr} ']' | '(' expr {',' expr} ')'] ['^']
// Answers the index after the operand and stores the operand in `operand`.
std::size_t parse_operand(Parser& p, Run run, std::size_t i, NodeId& operand) {
  const Token& start = p.tokens[i];
  NodeId cur = make_identifier(p, start);
  ++i;
  // Member access, as long as a word (other than "end") follows each dot.
  while (i + 1 < run.end && single_char(p, i) == '.' && p.tokens[i + 1].is_word() &&
         !is_end_word(p, p.tokens[i + 1])) {
    NodeId dot = p.arena.add_node(NodeKind::Dot, p.tokens[i]);
    NodeId name = make_identifier(p, p.tokens[i + 1]);
    p.arena.add_child(dot, cur);
    p.arena.add_child(dot, name);
    cur = dot;
    i += 2;
  }
  // One index or one call; an opener without its closer stays for the main loop.
  const char opener = i < run.end ? single_char(p, i) : '\0';
  if (opener == '[' || opener == '(') {
    const BracketIndex& b = bracket_index(p);
    const bool square = opener == '[';
    NodeId wrapper = p.arena.add_node(square ? NodeKind::Indexed : NodeKind::Call,
                                      square ? p.tokens[i] : start);
    p.arena.add_child(wrapper, cur);
    cur = wrapper;
    std::uint32_t j = partner_in(b.partner, i, run);
    if (j != no_partner) {
      NodeId list =
          p.arena.add_node(square ? NodeKind::Expressions : NodeKind::Arguments, p.tokens[i]);
      p.arena.add_child(wrapper, list);
      parse_bracket_list(p, list, Run{i + 1, j}, !square);
      i = j + 1;
    }
  }
  // At most one dereference.
  if (i < run.end && single_char(p, i) == '^') {
    NodeId deref = p.arena.add_node(NodeKind::Deref, p.tokens[i]);
    p.arena.add_child(deref, cur);
    cur = deref;
    ++i;
  }
  operand = cur;
  return i;
}

// set-constructor: '[' [element {',' element}] ']', the brackets spanning the whole run
NodeId parse_set(Parser& p, Run run) {
  NodeId set = p.arena.add_node(NodeKind::Set, p.tokens[run.begin]);
  parse_bracket_list(p, set, Run{run.begin + 1, run.end - 1}, false);
  return set;
}

}  // namespace

// expression: a run of operands, literals, operators and other symbols
// Answers a `Set` when the run is one bracketed set, otherwise an `Expression`
// holding the operands and literals; none for an empty run or past the
// nesting limit.
std::optional<NodeId> parse_expression(Parser& p, Run run) {
  if (run.empty()) return std::nullopt;
  DepthGuard guard(p);
  if (run.size() >= 2 && single_char(p, run.begin) == '[' &&
      partner_in(bracket_index(p).partner, run.begin, run) == run.end - 1) {
    return parse_set(p, run);
  }
  NodeId expression = p.arena.add_node(NodeKind::Expression, p.tokens[run.begin]);
  std::size_t i = run.begin;
  while (i < run.end) {
    const Token& t = p.tokens[i];
    if (is_end_word(p, t)) {
      ++i;
    } else if (t.kind == TokenKind::Number || t.kind == TokenKind::String ||
               t.kind == TokenKind::CharCode) {
      p.arena.add_child(expression, make_literal(p, t));
      ++i;
    } else if (!t.is_word()) {
      ++i;  // operators, grouping brackets, stray symbols, end of file
    } else {
      NodeId operand;
      i = parse_operand(p, run, i, operand);
      p.arena.add_child(expression, operand);
    }
  }
  return expression;
}

// The expression of the run, or its only child when it has exactly one.
std::optional<NodeId> parse_expression_unwrapped(Parser& p, Run run) {
  return only_child_or_self(p, parse_expression(p, run));
}

// Cuts the run at the commas outside round, square and angle brackets.
std::vector<Run> split_top_level_commas(const Parser& p, Run run) {
  std::vector<Run> groups;
  if (run.empty()) return groups;
  for (std::size_t from = run.begin;;) {
    Run group = next_group(p, from, run.end);
    groups.push_back(group);
    if (group.end == run.end) break;
    from = group.end + 1;
  }
  return groups;
}

}  // namespace tarnwick
