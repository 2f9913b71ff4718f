// The one scanner of token runs and the bracket rules it scans by (the rows
// of brackets.def), with the index of bracket partners that makes its scans
// and the expression parser's bracket lists linear in the token count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "parser/parser.h"
#include "util/memory.h"

namespace tarnwick {

// ---- The rules --------------------------------------------------------------

namespace bracket_rule_fields {
// The shapes of brackets a rule counts.
inline constexpr std::uint8_t Round = 1, Square = 2, Angle = 4;
// How a rule keeps its depth (see brackets.def).
enum Depth : std::uint8_t { Shared, PerShape, Matched };
}  // namespace bracket_rule_fields

struct BracketRule {
  std::uint8_t shapes;
  bracket_rule_fields::Depth depth;
  std::size_t stop_depth;

  constexpr bool counts(std::uint8_t shape) const { return (shapes & shape) != 0; }
};

namespace bracket_rule_fields {
inline constexpr BracketRule rows[] = {
#define BRACKETS(name, shapes, depth, stop_depth) BracketRule{shapes, depth, stop_depth},
#include "parser/brackets.def"
#undef BRACKETS
};
}  // namespace bracket_rule_fields

inline constexpr const BracketRule& bracket_rule(Brackets rule) {
  return bracket_rule_fields::rows[static_cast<std::size_t>(rule)];
}

// ---- The index ----------------------------------------------------------------

// The effect of a token sequence on one bracket depth that never drops
// below 0: the depth d becomes max(d + add, floor).
struct DepthEffect {
  std::int64_t add = 0;
  std::int64_t floor = 0;
};

// `first`, then `second`.
inline constexpr DepthEffect then(DepthEffect first, DepthEffect second) {
  return DepthEffect{first.add + second.add, std::max(first.floor + second.add, second.floor)};
}

inline constexpr std::int64_t apply(std::int64_t depth, DepthEffect e) {
  return std::max(depth + e.add, e.floor);
}

// What the tokens of one matched pair, both brackets included, do to the
// angle depth and to the depth of the other shape ("[" for a "(" pair, "("
// for a "[" pair) of a rule that counts per shape. The pair's own depth
// ends where it began.
struct PairEffect {
  DepthEffect angle;
  DepthEffect other;
};

// The bracket partners of the whole token list, built on first use: for
// each "(" or "[", the index of the first closer of its shape after it that
// brings the count of that shape, started at 1, back to 0 (a token is one
// shape or the other, so both share one list). Built on first use of their
// own, by the rules that count per shape only: the pairs' effects. Also,
// built on first use of its own, the closer of every "<" under the
// `TypeArgs` rule.
struct BracketIndex final : RuleStore {
  static constexpr std::uint32_t none = no_bracket_partner;
  HugeVector<std::uint32_t> partner;
  // For each opener with a partner, the index of its entry in `pair_effects`.
  HugeVector<std::uint32_t> pair_slot;
  HugeVector<PairEffect> pair_effects;
  bool built = false;
  bool effects_built = false;
  // For each "<" in order, its index and that of the ">" closing it (the
  // token count when none does).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> angle_close;
  bool angles_built = false;

  void clear() override {
    built = false;
    effects_built = false;
    angles_built = false;
  }
  std::size_t bytes() const override {
    return store_bytes(partner) + store_bytes(pair_slot) + store_bytes(pair_effects) +
           store_bytes(angle_close);
  }
  void release() override {
    release_store(partner);
    release_store(pair_slot);
    release_store(pair_effects);
    release_store(angle_close);
    clear();
  }
};

// The bracket partners of the parse's token list.
const BracketIndex& bracket_index(const Parser& p);
// The same with the pairs' effects.
const BracketIndex& bracket_effects(const Parser& p);

// The partner of the opener at `i` when it lies before `end`, else `none`.
inline std::uint32_t partner_before(const BracketIndex& b, std::size_t i, std::size_t end) {
  const std::uint32_t j = b.partner[i];
  return j != BracketIndex::none && j < end ? j : BracketIndex::none;
}

// The ">" that closes the "<" at `open` as the `TypeArgs` rule reads it (the
// first ">" after it met with at most one other "<" open), or the token
// count: the answer of `scan_run<Brackets::TypeArgs>` from the token after
// `open`, for every "<" at once, so that headings whose "<" is never closed
// cost no more than any other.
std::size_t type_arguments_close(const Parser& p, std::size_t open);

// ---- The scanner ----------------------------------------------------------------

// The index of the first token from `from` (up to `end`) that `stop` holds
// and that stands where at most the rule's stop depth of levels is open,
// tested before the token itself is counted; `end` when there is none.
// The cursor does not move.
template <Brackets R, class Stop>
inline std::size_t scan_run(const Parser& p, std::size_t from, std::size_t end, Stop&& stop) {
  using namespace bracket_rule_fields;
  constexpr BracketRule rule = bracket_rule(R);
  static_assert(rule.depth == Shared || rule.stop_depth == 0,
                "a rule that counts per shape stops outside brackets only");
  static_assert(rule.depth != Matched || !rule.counts(Angle), "angles have no partners");
  std::size_t i = from;
  if constexpr (rule.depth == Shared) {
    std::size_t depth = 0;
    for (; i < end; ++i) {
      const Token& t = p.tokens[i];
      if (depth <= rule.stop_depth && stop(t)) break;
      switch (t.word) {
        case Word::OpenRound:
          if constexpr (rule.counts(Round)) ++depth;
          break;
        case Word::OpenSquare:
          if constexpr (rule.counts(Square)) ++depth;
          break;
        case Word::Less:
          if constexpr (rule.counts(Angle)) ++depth;
          break;
        case Word::CloseRound:
          if constexpr (rule.counts(Round)) depth -= depth > 0;
          break;
        case Word::CloseSquare:
          if constexpr (rule.counts(Square)) depth -= depth > 0;
          break;
        case Word::Greater:
          if constexpr (rule.counts(Angle)) depth -= depth > 0;
          break;
        default:
          break;
      }
    }
    return i;
  } else {
    // A "(" or "[" whose partner lies before `end` is stepped over whole:
    // inside it its own depth stays above 0, so nothing there can stop the
    // scan, and its effect moves the other depths as its tokens would.
    const BracketIndex& b = rule.depth == PerShape ? bracket_effects(p) : bracket_index(p);
    std::int64_t round = 0, square = 0, angle = 0;
    while (i < end) {
      const Token& t = p.tokens[i];
      if (round == 0 && square == 0 && angle == 0 && stop(t)) break;
      switch (t.word) {
        case Word::OpenRound:
        case Word::OpenSquare: {
          const bool is_round = t.word == Word::OpenRound;
          if (!rule.counts(is_round ? Round : Square)) break;
          if (const std::uint32_t j = partner_before(b, i, end); j != BracketIndex::none) {
            if constexpr (rule.depth == PerShape) {
              const PairEffect& e = b.pair_effects[b.pair_slot[i]];
              std::int64_t& other = is_round ? square : round;
              if (rule.counts(is_round ? Square : Round)) other = apply(other, e.other);
              if constexpr (rule.counts(Angle)) angle = apply(angle, e.angle);
            }
            i = std::size_t{j} + 1;
            continue;
          }
          if constexpr (rule.depth == PerShape) ++(is_round ? round : square);
          break;
        }
        case Word::CloseRound:
          if constexpr (rule.depth == PerShape && rule.counts(Round)) round -= round > 0;
          break;
        case Word::CloseSquare:
          if constexpr (rule.depth == PerShape && rule.counts(Square)) square -= square > 0;
          break;
        case Word::Less:
          if constexpr (rule.counts(Angle)) ++angle;
          break;
        case Word::Greater:
          if constexpr (rule.counts(Angle)) angle -= angle > 0;
          break;
        default:
          break;
      }
      ++i;
    }
    return i;
  }
}

}  // namespace tarnwick
