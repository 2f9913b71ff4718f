// The index of bracket partners behind the scans of brackets.h, and the
// closers of type arguments.
#include "parser/brackets.h"

#include <algorithm>

namespace tarnwick {
namespace {

constexpr DepthEffect raise_one{1, 0};
constexpr DepthEffect lower_one{-1, 0};  // never below 0

// A pair still waiting for its closer, with what its tokens so far do to the
// other depths.
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

// Moves the effect of the innermost open pair of one shape, if any, by `step`.
inline void step_angle(std::vector<OpenPair>& open, DepthEffect step) {
  if (!open.empty()) open.back().effect.angle = then(open.back().effect.angle, step);
}
inline void step_other(std::vector<OpenPair>& open, DepthEffect step) {
  if (!open.empty()) open.back().effect.other = then(open.back().effect.other, step);
}

// +1 for a "<", -1 for a ">", 0 for any other token.
inline int angle_step(const Parser& p, std::size_t index) {
  const Word w = p.tokens[index].word;
  return w == Word::Less ? 1 : w == Word::Greater ? -1 : 0;
}

// The closer of every "<" under the `TypeArgs` rule. Scanning after a "<"
// at i with its depth from 0, a "<" raises the depth, and a ">" met with at
// most k levels open (k the rule's stop depth) closes the group, while any
// other lowers the depth.
//
// With S(j) the number of "<" minus the number of ">" among the first j
// tokens, the depth before token j of the scan from i is S(j) - S(i + 1):
// it only ever drops at a ">" met with more than k levels open. So the group
// closes at the first ">" after i whose S lies in S(i) + 1 ... S(i) + 1 + k
// (S moves one step at a time, so no ">" below that range can come first).
// One backward pass that remembers the nearest ">" for every value of S
// answers all of them, however many headings leave their "<" unclosed.
void build_angle_close(const Parser& p, BracketIndex& b) {
  constexpr std::size_t k = bracket_rule(Brackets::TypeArgs).stop_depth;
  const std::size_t n = p.tokens.size();
  std::ptrdiff_t s = 0, lowest = 0, highest = 0;
  std::size_t opens = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const int step = angle_step(p, j);
    opens += step > 0;
    s += step;
    lowest = std::min(lowest, s);
    highest = std::max(highest, s);
  }
  // nearest[v - lowest]: the nearest ">" after the current place whose S is v.
  std::vector<std::uint32_t> nearest(static_cast<std::size_t>(highest - lowest) + k + 3,
                                     static_cast<std::uint32_t>(n));
  auto& close = b.angle_close;
  close.clear();
  close.reserve(opens);
  for (std::size_t j = n; j-- > 0;) {
    const int step = angle_step(p, j);
    s -= step;  // now S(j)
    const auto at = static_cast<std::size_t>(s - lowest);
    if (step < 0) {
      nearest[at] = static_cast<std::uint32_t>(j);
    } else if (step > 0) {
      std::uint32_t first = static_cast<std::uint32_t>(n);
      for (std::size_t d = 1; d <= k + 1; ++d) first = std::min(first, nearest[at + d]);
      close.emplace_back(static_cast<std::uint32_t>(j), first);
    }
  }
  std::reverse(close.begin(), close.end());
  b.angles_built = true;
}

// Sets every token's partner to none; answers the token count.
std::size_t clear_partners(const Parser& p, BracketIndex& b) {
  const std::size_t n = p.tokens.size();
  if (n >= BracketIndex::none) throw InternalError("token list too long for the bracket index");
  b.partner.assign(n, BracketIndex::none);
  return n;
}

}  // namespace

// Fills the bracket partners of the whole token list, once per parse: a
// stack of open brackets per shape finds them.
const BracketIndex& bracket_index(const Parser& p) {
  BracketIndex& b = p.rule_store<BracketIndex>(RuleStoreSlot::BracketIndex);
  if (b.built) return b;
  const std::size_t n = clear_partners(p, b);
  std::vector<std::uint32_t> round, square;
  // The innermost open bracket of a shape, if any, closes at `at`.
  const auto close = [&b](std::vector<std::uint32_t>& open, std::uint32_t at) {
    if (open.empty()) return;
    b.partner[open.back()] = at;
    open.pop_back();
  };
  for (std::size_t i = 0; i < n; ++i) {
    const auto at = static_cast<std::uint32_t>(i);
    switch (p.tokens[i].word) {
      case Word::OpenRound: round.push_back(at); break;
      case Word::CloseRound: close(round, at); break;
      case Word::OpenSquare: square.push_back(at); break;
      case Word::CloseSquare: close(square, at); break;
      default: break;
    }
  }
  b.built = true;
  return b;
}

// Fills the pair effects (and the partners again, the same), once per parse.
// The effects of a pair on the angle depth and on the depth of the other
// shape are composed from its own tokens and its nested pairs of the same
// shape.
const BracketIndex& bracket_effects(const Parser& p) {
  BracketIndex& b = p.rule_store<BracketIndex>(RuleStoreSlot::BracketIndex);
  if (b.effects_built) return b;
  const std::size_t n = clear_partners(p, b);
  b.pair_slot.assign(n, BracketIndex::none);
  b.pair_effects.clear();
  std::vector<OpenPair> round, square;
  for (std::size_t i = 0; i < n; ++i) {
    const auto at = static_cast<std::uint32_t>(i);
    switch (p.tokens[i].word) {
      case Word::OpenRound:
        step_other(square, raise_one);
        round.push_back(OpenPair{at, PairEffect{}});
        break;
      case Word::CloseRound:
        step_other(square, lower_one);
        if (!round.empty()) close_pair(b, round, at);
        break;
      case Word::OpenSquare:
        step_other(round, raise_one);
        square.push_back(OpenPair{at, PairEffect{}});
        break;
      case Word::CloseSquare:
        step_other(round, lower_one);
        if (!square.empty()) close_pair(b, square, at);
        break;
      case Word::Less:
        step_angle(round, raise_one);
        step_angle(square, raise_one);
        break;
      case Word::Greater:
        step_angle(round, lower_one);
        step_angle(square, lower_one);
        break;
      default:
        break;
    }
  }
  b.built = b.effects_built = true;
  return b;
}

std::uint32_t bracket_partner(const Parser& p, std::size_t index) {
  const BracketIndex& b = bracket_index(p);
  return index < b.partner.size() ? b.partner[index] : BracketIndex::none;
}

std::size_t type_arguments_close(const Parser& p, std::size_t open) {
  BracketIndex& b = p.rule_store<BracketIndex>(RuleStoreSlot::BracketIndex);
  if (!b.angles_built) build_angle_close(p, b);
  const auto& close = b.angle_close;
  auto it = std::lower_bound(close.begin(), close.end(), open,
                             [](const auto& entry, std::size_t i) { return entry.first < i; });
  return it != close.end() && it->first == open ? it->second : p.tokens.size();
}

}  // namespace tarnwick
