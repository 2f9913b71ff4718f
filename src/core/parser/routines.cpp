// Routine declarations: procedures, functions, constructors, destructors and
// operators, with their headings, directives and (where one is expected)
// their bodies; and formal parameter lists.
#include "parser/parser.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

constexpr std::string_view method_bindings[] = {"virtual", "dynamic", "override"};

// Directives recorded as "true" under an attribute of their own.
struct FlagDirective {
  std::string_view word;
  AttributeKey key;
};
constexpr FlagDirective flag_directives[] = {
    {"forward", AttributeKey::Forwarded},    {"abstract", AttributeKey::Abstract},
    {"final", AttributeKey::Final},          {"inline", AttributeKey::Inline},
    {"sealed", AttributeKey::Sealed},        {"static", AttributeKey::Static},
    {"unsafe", AttributeKey::Unsafe},        {"external", AttributeKey::External},
    {"overload", AttributeKey::Overload},    {"noreturn", AttributeKey::NoReturn},
    {"assembler", AttributeKey::Assembler},  {"reintroduce", AttributeKey::Reintroduce},
    {"deprecated", AttributeKey::Deprecated}};

// Hints that leave no trace on a routine.
constexpr std::string_view ignored_hints[] = {"library", "platform", "experimental"};

// +1 for a one-character "<", -1 for a one-character ">", 0 otherwise.
int angle_step(const Parser& p, std::size_t index) {
  std::string_view t = p.text(p.tokens[index]);
  if (t.size() != 1) return 0;
  return t[0] == '<' ? 1 : t[0] == '>' ? -1 : 0;
}

// The closing ">" of every one-character "<" of the token list, as the
// qualified-name lookahead of a routine heading defines it: scanning after
// the "<" with a counter from 0, a "<" raises the counter, and a ">" closes
// the group when the counter is 0 or 1 and lowers it otherwise.
//
// With S(k) the number of "<" minus the number of ">" among the first k
// tokens, the counter before token j of the scan from a "<" at i is
// S(j) - S(i + 1): it only ever drops at a ">" met with the counter at 2 or
// more. So the group closes at the first ">" after i whose S is S(i) + 1 or
// S(i) + 2 (S moves one step at a time, so no ">" below that range can come
// first). One backward pass that remembers the nearest ">" for every value
// of S answers all of them, however many headings leave their "<" unclosed.
void build_heading_angle_close(Parser& p) {
  const std::size_t n = p.tokens.size();
  std::ptrdiff_t s = 0, lowest = 0, highest = 0;
  std::size_t opens = 0;
  for (std::size_t k = 0; k < n; ++k) {
    int step = angle_step(p, k);
    opens += step > 0;
    s += step;
    lowest = std::min(lowest, s);
    highest = std::max(highest, s);
  }
  // nearest[v - lowest]: the nearest ">" after the current place whose S is v.
  std::vector<std::size_t> nearest(static_cast<std::size_t>(highest - lowest) + 3, n);
  auto& close = p.heading_angle_close;
  close.clear();
  close.reserve(opens);
  for (std::size_t j = n; j-- > 0;) {
    int step = angle_step(p, j);
    s -= step;  // now S(j)
    const auto at = static_cast<std::size_t>(s - lowest);
    if (step < 0) {
      nearest[at] = j;
    } else if (step > 0) {
      close.emplace_back(j, std::min(nearest[at + 1], nearest[at + 2]));
    }
  }
  std::reverse(close.begin(), close.end());
  p.heading_angle_close_built = true;
}

// The index of the ">" closing the "<" at `open`, or the token count.
std::size_t heading_angle_close(Parser& p, std::size_t open) {
  if (!p.heading_angle_close_built) build_heading_angle_close(p);
  const auto& close = p.heading_angle_close;
  auto it = std::lower_bound(close.begin(), close.end(), open,
                             [](const auto& entry, std::size_t i) { return entry.first < i; });
  return it != close.end() && it->first == open ? it->second : p.tokens.size();
}

// qualified-name: name {'.' name}, where type arguments before a "." are
// dropped: "TList<T>.Get" gives TList.Get.
std::string parse_routine_name(Parser& p) {
  std::string name;
  bool empty = true;
  for (;;) {
    while (peek(p).is_word()) {
      if (!empty) name.push_back('.');
      name.append(name_text(p, p.tokens[p.position]));
      empty = false;
      ++p.position;
    }
    if (current_text_is(p, "<")) {
      std::size_t close = heading_angle_close(p, p.position);
      if (close + 1 < p.tokens.size() && p.text(p.tokens[close + 1]) == ".") p.position = close + 1;
    }
    if (!accept(p, ".")) break;
  }
  return name;
}

// Directives after the heading: calling conventions, method binding, flags,
// message handlers and hints, each with its optional ";".
[[gnu::noinline]] void parse_directives(Parser& p, NodeId method) {
  for (;;) {
    // Every directive is a word; a symbol (mostly the ";" or "(" that
    // follows) ends the list without comparing it with each of them.
    if (!peek(p).is_word()) return;
    if (std::optional<std::string_view> w = current_word(p, calling_conventions)) {
      ++p.position;
      p.arena.set_attribute(method, AttributeKey::CallingConvention, *w);
      accept(p, ";");
    } else if (std::optional<std::string_view> binding = current_word(p, method_bindings)) {
      ++p.position;
      p.arena.set_attribute(method, AttributeKey::MethodBinding, *binding);
      accept(p, ";");
    } else if (current_is(p, "message") || current_is(p, "dispid")) {
      Token word = next_token(p);
      NodeId message = p.arena.add_node(NodeKind::Message, word);
      Run value = scan_until(p, {";"});
      if (!value.empty()) {
        p.position = value.end;
        if (std::optional<NodeId> e = parse_expression_unwrapped(p, value))
          p.arena.add_child(message, *e);
      }
      p.arena.add_child(method, message);
      accept(p, ";");
    } else if (current_word(p, ignored_hints)) {
      ++p.position;
      accept(p, ";");
    } else {
      const FlagDirective* flag = nullptr;
      for (const FlagDirective& f : flag_directives)
        if (current_is(p, f.word)) flag = &f;
      if (!flag) return;
      ++p.position;
      if (flag->key == AttributeKey::Deprecated && peek(p).kind == TokenKind::String) {
        Token message = next_token(p);
        p.arena.set_attribute(method, flag->key, unquote(p.text(message)));
      } else {
        p.arena.set_attribute(method, flag->key, "true");
      }
      if (flag->key == AttributeKey::External) {
        // The library and name clauses leave no trace.
        while (!p.at_end() && !current_is(p, ";")) ++p.position;
      }
      accept(p, ";");
    }
  }
}

// routine-body: { local-section | label-section | nested-routine | ';' }
//               ('begin' ... 'end' | 'asm' ... 'end' ';')
void parse_routine_body(Parser& p, NodeId method) {
  while (!p.at_end()) {
    const std::size_t pass_start = p.position;
    if (current_is(p, "end")) return;  // belongs to an enclosing construct
    if (current_is(p, "var")) {
      p.arena.add_child(method, parse_var_section(p, "var"));
    } else if (current_is(p, "threadvar")) {
      p.arena.add_child(method, parse_var_section(p, "threadvar"));
    } else if (current_is(p, "const")) {
      p.arena.add_child(method, parse_const_section(p, "const"));
    } else if (current_is(p, "type")) {
      p.arena.add_child(method, parse_type_section(p, true));
    } else if (current_is(p, "label")) {
      skip_past(p, ";");  // label declarations leave no node
      accept(p, ";");
    } else if (is_routine_word_at(p, 0)) {
      p.arena.add_child(method, parse_routine(p, true));
    } else if (current_is(p, "class") && is_routine_word_at(p, 1)) {
      ++p.position;
      NodeId nested = parse_routine(p, true);  // starts at its routine word
      p.arena.set_attribute(nested, AttributeKey::Class, "true");
      p.arena.add_child(method, nested);
    } else if (current_is(p, "begin")) {
      p.arena.add_child(method, parse_compound_statement(p));
      return;  // a ";" after the block is left for the caller
    } else if (current_is(p, "asm")) {
      NodeId block = p.arena.add_node(NodeKind::Statements, peek(p));
      ++p.position;
      p.arena.set_attribute(block, AttributeKey::Kind, "asm");
      skip_past(p, "end");
      accept(p, "end");
      accept(p, ";");
      p.arena.add_child(method, block);
      return;
    } else if (current_is(p, ";")) {
      ++p.position;
    } else {
      return;  // not part of a body: left for the caller
    }
    ensure_progress(p, pass_start);
  }
}

// routine-heading: ['class'] routine-word qualified-name [type-params]
//                  [parameters] [':' return-type]
//                  ('=' resolution-name ';' | ';' {directive})
// Answers the `Method` and whether a body follows. Kept out of
// `parse_routine` so that the locals of a heading do not stay on the stack
// while nested routines are read.
[[gnu::noinline]] NodeId parse_routine_heading(Parser& p, bool expect_body, bool& has_body) {
  has_body = false;
  const Token start = peek(p);
  const bool class_prefix = accept(p, "class");
  const Token keyword = p.at_end() ? end_token() : next_token(p);
  const std::string kind = unicode::to_lower(p.text(keyword));
  NodeId method = p.arena.add_node(NodeKind::Method, class_prefix ? start : keyword);
  p.arena.set_attribute(method, AttributeKey::Kind, kind);
  if (class_prefix) p.arena.set_attribute(method, AttributeKey::Class, "true");

  std::string name = parse_routine_name(p);
  if (!name.empty()) p.arena.set_attribute(method, AttributeKey::Name, name);
  parse_generic_params(p, method);
  if (current_text_is(p, "(")) p.arena.add_child(method, parse_parameters(p));
  if ((kind == "function" || kind == "operator") && accept(p, ":")) {
    const Token first = peek(p);
    NodeId type = parse_type_reference(p, first, type_reference_stop_words);
    NodeId return_type = p.arena.add_node(NodeKind::ReturnType, first);
    p.arena.add_child(return_type, type);
    p.arena.add_child(method, return_type);
  }
  if (accept(p, "=")) {
    // Interface method resolution: procedure IFoo.Bar = Baz;
    const Token first = peek(p);
    std::string target = parse_dotted_name(p);
    NodeId clause = p.arena.add_node(NodeKind::ResolutionClause, first);
    p.arena.set_attribute(clause, AttributeKey::Name, target);
    p.arena.add_child(method, clause);
    skip_past(p, ";");
    return method;  // no directives, no body
  }
  accept(p, ";");

  parse_directives(p, method);
  const auto is_true = [&](AttributeKey key) {
    std::optional<std::string_view> v = p.arena.attribute(method, key);
    return v && *v == "true";
  };
  has_body = expect_body && !is_true(AttributeKey::Abstract) &&
             !is_true(AttributeKey::External) && !is_true(AttributeKey::Forwarded);
  return method;
}

}  // namespace

// routine: routine-heading [routine-body]
// Nested routines recurse through here.
NodeId parse_routine(Parser& p, bool expect_body) {
  DepthGuard guard(p);
  bool has_body = false;
  NodeId method = parse_routine_heading(p, expect_body, has_body);
  if (has_body) parse_routine_body(p, method);
  return method;
}

// parameters: '(' [modifier] name {',' name} [':' type] ['=' default] {';' ...} ')'
// In a group "a, b: T" every name has the one parsed type under it; default
// values leave no node.
NodeId parse_parameters(Parser& p) {
  Token open = next_token(p);
  NodeId parameters = p.arena.add_node(NodeKind::Parameters, open);
  std::string_view modifier;
  std::vector<NodeId> pending;  // names still waiting for their group's type
  while (!p.at_end() && !current_text_is(p, ")")) {
    if (std::optional<std::string_view> m = current_word(p, parameter_modifiers)) {
      modifier = *m;
      ++p.position;
    }
    if (accept(p, "=")) {
      p.position = scan_until(p, {",", ";", ")"}).end;
      if (accept(p, ";")) {
        pending.clear();
        modifier = {};
      }
      continue;
    }
    const Token first = peek(p);
    std::string_view name = take_name(p);
    if (name.empty()) {
      skip_token(p);  // not a name
      continue;
    }
    NodeId parameter = p.arena.add_node(NodeKind::Parameter, first);
    if (!modifier.empty()) p.arena.set_attribute(parameter, AttributeKey::Kind, modifier);
    p.arena.add_child(parameter, p.arena.add_value_node(NodeKind::Name, first, name));
    if (accept(p, ":")) {
      NodeId type = parse_type(p);
      for (NodeId earlier : pending) p.arena.add_child(earlier, type);
      pending.clear();
      p.arena.add_child(parameter, type);
    } else {
      pending.push_back(parameter);
    }
    if (accept(p, "=")) p.position = scan_until(p, {",", ";", ")"}).end;  // default value
    p.arena.add_child(parameters, parameter);
    if (accept(p, ";")) {
      pending.clear();
      modifier = {};
    } else if (accept(p, ",")) {
      // the modifier stays in force for the rest of the group
    } else if (current_text_is(p, ")")) {
      break;
    }
  }
  accept(p, ")");
  return parameters;
}

}  // namespace tarnwick
