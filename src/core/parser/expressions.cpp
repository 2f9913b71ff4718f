// Expressions over a run of tokens. Operators and precedence are not modelled:
// the operands of a run are collected left to right under one `Expression`
// node, and only names, member accesses, calls, indexes, dereferences,
// literals and set constructors become nodes.
//
// Bracket partners come from one stack pass over the whole token list (see
// `bracket_index` in brackets.h), so finding the closer of an operand's
// bracket costs O(1) and every token is walked by one main loop and one comma
// split at most.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "parser/brackets.h"
#include "parser/parser.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// The one character of a one-character token text, or 0, read from the
// token's offsets without making a text view.
inline char single_char(const Parser& p, std::size_t i) {
  const Token& t = p.tokens[i];
  return std::size_t{t.end} - t.start - t.text_skip == 1 ? p.source[t.start + t.text_skip] : '\0';
}

constexpr std::uint32_t no_partner = BracketIndex::none;

// The partner of the opener at `i` when it lies inside `run`, else no_partner.
inline std::uint32_t partner_in(const Parser& p, std::size_t i, Run run) {
  return partner_before(bracket_index(p), i, run.end);
}

// The group of a comma split that starts at `from`: the tokens up to the next
// comma outside round, square and angle brackets, each shape of its own
// depth, or up to `end`.
inline Run next_group(const Parser& p, std::size_t from, std::size_t end) {
  return Run{from, scan_run<Brackets::Groups>(p, from, end,
                                              [](const Token& t) { return t.word == Word::Comma; })};
}

// Keeps the main loop small: nodes with texts of their own are made out of
// line.
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

inline bool is_end_word(const Token& t) { return t.word == Word::End; }

// The only child of an expression node that has exactly one, else the node.
inline std::optional<NodeId> only_child_or_self(const Parser& p, std::optional<NodeId> e) {
  if (e) {
    const NodeArena::Record& r = p.arena.record(*e);
    if (r.first_child != NodeArena::none && r.first_child == r.last_child)
      return p.arena.child_entry(r.first_child).child;
  }
  return e;
}

// Ends the operand `operand` whose tokens end before `i`: takes at most one
// dereference and adds the operand to `expression`. Answers the index after it.
inline std::size_t end_operand(Parser& p, NodeId expression, NodeId operand, std::size_t i,
                               std::size_t end) {
  if (i < end && single_char(p, i) == '^') {
    NodeId deref = p.arena.add_node(NodeKind::Deref, p.tokens[i]);
    p.arena.add_child(deref, operand);
    operand = deref;
    ++i;
  }
  p.arena.add_child(expression, operand);
  return i;
}

inline std::uint32_t to32(std::size_t v) { return static_cast<std::uint32_t>(v); }

// Whether one more list of arguments or indexes may be read. Each such list
// puts at least two levels into the tree below the construct that holds the
// expression (the list and its element), so past the nesting that fits the
// output limit the text is refused at once, as a guarded rule refuses it. An
// attribute list may yet be dropped (its nodes then never reach the text):
// there the list is left unread and the refusal is left to the rule that
// keeps the attribute list (see `keep_attributes`).
[[gnu::noinline]] bool list_fits(Parser& p) {
  if (p.depth + 2 * (p.open_lists + 1) <= p.max_depth) return true;
  if (p.in_attributes) {
    p.attributes_too_deep = true;
    return false;
  }
  throw OutputTooLarge();
}

void parse_list(Parser& p, NodeId list, Run inner, ExpressionFrame::List kind);

// What `read_operands` does at an operand whose bracket list has groups.
enum class AtList {
  Parse,  // parses the list with `parse_list` and goes on after its closer
  Stop,   // pushes the list's frame, sets `group` to its first group and answers true
};

// operand: name {'.' name} ['[' expr {',' expr} ']' | '(' expr {',' expr} ')'] ['^']
//
// Reads the tokens of `expression` from `i` up to `end`, adding its operands
// and literals, and answers false at the end of the run; at an operand whose
// bracket list has groups it does what `at_list` says. One loop for both: the
// top expression of a run reads its operands with `Parse`, the groups inside
// a bracket list with `Stop`.
template <AtList at_list>
inline bool read_operands(Parser& p, NodeId expression, std::size_t i, std::size_t end,
                          Run& group) {
  while (i < end) {
    const Token& t = p.tokens[i];
    if (is_end_word(t)) {
      ++i;
    } else if (t.kind == TokenKind::Number || t.kind == TokenKind::String ||
               t.kind == TokenKind::CharCode) {
      p.arena.add_child(expression, make_literal(p, t));
      ++i;
    } else if (!t.is_word()) {
      ++i;  // operators, grouping brackets, stray symbols, end of file
    } else {
      NodeId cur = make_identifier(p, t);
      ++i;
      // Member access, as long as a word (other than "end") follows each dot.
      while (i + 1 < end && single_char(p, i) == '.' && p.tokens[i + 1].is_word() &&
             !is_end_word(p.tokens[i + 1])) {
        NodeId dot = p.arena.add_node(NodeKind::Dot, p.tokens[i]);
        NodeId name = make_identifier(p, p.tokens[i + 1]);
        p.arena.add_child(dot, cur);
        p.arena.add_child(dot, name);
        cur = dot;
        i += 2;
      }
      // One index or one call; an opener without its closer stays for this loop.
      const char opener = i < end ? single_char(p, i) : '\0';
      if (opener == '[' || opener == '(') {
        const bool square = opener == '[';
        NodeId wrapper = p.arena.add_node(square ? NodeKind::Indexed : NodeKind::Call,
                                          square ? p.tokens[i] : t);
        p.arena.add_child(wrapper, cur);
        cur = wrapper;
        const std::uint32_t j = partner_in(p, i, Run{i, end});
        if (j != no_partner) {
          NodeId list =
              p.arena.add_node(square ? NodeKind::Expressions : NodeKind::Arguments, p.tokens[i]);
          p.arena.add_child(wrapper, list);
          if (j > i + 1 && list_fits(p)) {
            const auto kind =
                square ? ExpressionFrame::List::Indexes : ExpressionFrame::List::Arguments;
            if constexpr (at_list == AtList::Parse) {
              parse_list(p, list, Run{i + 1, j}, kind);
            } else {
              group = next_group(p, i + 1, j);
              ++p.open_lists;
              p.expression_frames.push_back(ExpressionFrame{to32(list), to32(wrapper),
                                                            to32(expression), to32(end), j,
                                                            to32(group.begin), to32(group.end),
                                                            kind});
              return true;
            }
          }
          i = j + 1;
        }
      }
      i = end_operand(p, expression, cur, i, end);
    }
  }
  return false;
}

// True when the run is one bracketed set: a "[" whose partner ends the run.
inline bool is_set(const Parser& p, Run run) {
  return run.size() >= 2 && single_char(p, run.begin) == '[' &&
         partner_in(p, run.begin, run) == run.end - 1;
}

// The elements of the bracket list `list` (arguments, indexes or the
// elements of a set) from the groups of `inner`, which is not empty: one node
// per group that yields one, its only child when it has exactly one, each
// argument wrapped in a `PositionalArgument` at the group's first token. The
// groups are those of `split_top_level_commas`, found one at a time.
//
// Each group is an expression of its own, nested to any depth, and all of
// them are parsed by this one loop: a bracket list with groups pushes an
// `ExpressionFrame` onto `p.expression_frames` and the loop begins the
// expression of its first group; each finished expression is handed to the
// frame on top, which adds it to its list and begins the next group, or,
// after the last one, pops and lets the expression that holds the list go on
// after its closer. Nodes are made in the order the grammar reads them: a
// `Call` or `Indexed` before its list, a list before its elements, an
// element's `PositionalArgument` after the element.
[[gnu::noinline]] void parse_list(Parser& p, NodeId list, Run inner, ExpressionFrame::List kind) {
  std::vector<ExpressionFrame>& frames = p.expression_frames;
  const std::size_t bottom = frames.size();  // the index of this list's frame
  const std::size_t lists_before = p.open_lists;
  if (kind != ExpressionFrame::List::Set) ++p.open_lists;
  Run run = next_group(p, inner.begin, inner.end);
  frames.push_back(ExpressionFrame{to32(list), 0, 0, 0, to32(inner.end), to32(run.begin),
                                   to32(run.end), kind});
  for (;;) {
    // The expression over `run`, unless it has a bracket list with groups:
    // `run` is then the first of them, to begin instead.
    std::optional<NodeId> result;
    if (run.empty()) {
      result = std::nullopt;
    } else if (is_set(p, run)) {
      const std::size_t close = run.end - 1;
      const Run first = run.size() == 2 ? run : next_group(p, run.begin + 1, close);
      if (first.end == close) {
        // A set of one element: the list it is a group of takes that element
        // in its place (see only_child_or_self), so neither a node nor a
        // frame is made for it, and sets nested a million deep cost nothing.
        run = first;
        continue;
      }
      const NodeId set = p.arena.add_node(NodeKind::Set, p.tokens[run.begin]);
      if (run.size() == 2) {
        result = set;
      } else {
        run = first;
        frames.push_back(ExpressionFrame{to32(set), 0, 0, 0, to32(close), to32(run.begin),
                                         to32(run.end), ExpressionFrame::List::Set});
        continue;
      }
    } else {
      const NodeId expression = p.arena.add_node(NodeKind::Expression, p.tokens[run.begin]);
      if (read_operands<AtList::Stop>(p, expression, run.begin, run.end, run)) continue;
      result = expression;
    }
    // Hands `result` to the list it is a group of, for as long as that
    // finishes lists; stops where a group is left to begin.
    for (;;) {
      ExpressionFrame& f = frames.back();
      if (std::optional<NodeId> r = only_child_or_self(p, result)) {
        if (f.kind == ExpressionFrame::List::Arguments) {
          NodeId argument = p.arena.add_node(NodeKind::PositionalArgument, p.tokens[f.group_begin]);
          p.arena.add_child(argument, *r);
          p.arena.add_child(f.list, argument);
        } else {
          p.arena.add_child(f.list, *r);
        }
      }
      if (f.group_end != f.close) {
        run = next_group(p, std::size_t{f.group_end} + 1, f.close);
        f.group_begin = to32(run.begin);
        f.group_end = to32(run.end);
        break;
      }
      if (frames.size() == bottom + 1) {  // this list is done; the caller goes on
        frames.pop_back();
        p.open_lists = lists_before;
        return;
      }
      if (f.kind == ExpressionFrame::List::Set) {
        result = f.list;
        frames.pop_back();
        continue;
      }
      const NodeId expression = f.expression;
      const std::size_t end = f.run_end;
      const std::size_t i = end_operand(p, expression, f.operand, std::size_t{f.close} + 1, end);
      frames.pop_back();
      --p.open_lists;
      if (read_operands<AtList::Stop>(p, expression, i, end, run)) break;
      result = expression;
    }
  }
}

}  // namespace

// expression: a run of operands, literals, operators and other symbols
// set-constructor: '[' [element {',' element}] ']', the brackets spanning the whole run
//
// Answers a `Set` when the run is one bracketed set, otherwise an `Expression`
// holding the operands and literals; none for an empty run. The groups of its
// bracket lists, nested to any depth, are parsed by `parse_list` without
// recursion: a set of one element stands for that element, so brackets may
// nest without adding a level to the tree.
std::optional<NodeId> parse_expression(Parser& p, Run run) {
  if (run.empty()) return std::nullopt;
  if (is_set(p, run)) {
    NodeId set = p.arena.add_node(NodeKind::Set, p.tokens[run.begin]);
    if (run.size() > 2)
      parse_list(p, set, Run{run.begin + 1, run.end - 1}, ExpressionFrame::List::Set);
    return set;
  }
  NodeId expression = p.arena.add_node(NodeKind::Expression, p.tokens[run.begin]);
  Run unused;
  read_operands<AtList::Parse>(p, expression, run.begin, run.end, unused);
  return expression;
}

// The expression of the run, or its only child when it has exactly one.
// Kept out of line: the statements that call it lie on the path of nested
// statements, whose frames stay small.
[[gnu::noinline]] std::optional<NodeId> parse_expression_unwrapped(Parser& p, Run run) {
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
