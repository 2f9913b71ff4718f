// Routine declarations: procedures, functions, constructors, destructors and
// operators, with their headings, directives and (where one is expected)
// their bodies; and formal parameter lists.
#include "parser/brackets.h"
#include "parser/parser.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

constexpr WordSet method_bindings{Word::Virtual, Word::Dynamic, Word::Override};

// The attribute of a directive recorded as "true" under an attribute of its
// own, or nothing.
std::optional<AttributeKey> flag_directive(Word w) {
  switch (w) {
    case Word::Forward: return AttributeKey::Forwarded;
    case Word::Abstract: return AttributeKey::Abstract;
    case Word::Final: return AttributeKey::Final;
    case Word::Inline: return AttributeKey::Inline;
    case Word::Sealed: return AttributeKey::Sealed;
    case Word::Static: return AttributeKey::Static;
    case Word::Unsafe: return AttributeKey::Unsafe;
    case Word::External: return AttributeKey::External;
    case Word::Overload: return AttributeKey::Overload;
    case Word::NoReturn: return AttributeKey::NoReturn;
    case Word::Assembler: return AttributeKey::Assembler;
    case Word::Reintroduce: return AttributeKey::Reintroduce;
    case Word::Deprecated: return AttributeKey::Deprecated;
    default: return std::nullopt;
  }
}

// Hints that leave no trace on a routine.
constexpr WordSet ignored_hints{Word::Library, Word::Platform, Word::Experimental};

// The words that end a parameter's default value.
constexpr WordSet parameter_end_words{Word::Comma, Word::Semicolon, Word::CloseRound};

// qualified-name: name {'.' name}, where type arguments before a "." are
// dropped: "TList<T>.Get" gives TList.Get.
std::string parse_routine_name(Parser& p) {
  std::string name;
  bool empty = true;
  for (;;) {
    while (peek(p).is_word()) {
      if (!empty) name.push_back('.');
      name.append(name_text(p, next_token(p)));
      empty = false;
    }
    if (at(p, Word::Less)) {
      const std::size_t close = type_arguments_close(p, p.position());
      if (close + 1 < p.tokens.size() && p.tokens[close + 1].word == Word::Dot)
        consume(p, Run{p.position(), close + 1});
    }
    if (!accept(p, Word::Dot)) break;
  }
  return name;
}

// Directives after the heading: calling conventions, method binding, flags,
// message handlers and hints, each with its optional ";".
[[gnu::noinline]] void parse_directives(Parser& p, NodeId method) {
  for (;;) {
    // Every directive is a word; a symbol (mostly the ";" or "(" that
    // follows) ends the list.
    const Token& t = peek(p);
    if (!t.is_word()) return;
    const Word w = t.word;
    if (calling_conventions.has(w)) {
      next_token(p);
      p.arena.set_attribute(method, AttributeKey::CallingConvention, word_text(w));
      accept(p, Word::Semicolon);
    } else if (method_bindings.has(w)) {
      next_token(p);
      p.arena.set_attribute(method, AttributeKey::MethodBinding, word_text(w));
      accept(p, Word::Semicolon);
    } else if (w == Word::Message || w == Word::DispId) {
      Token word = next_token(p);
      NodeId message = p.arena.add_node(NodeKind::Message, word);
      Run value = scan_until(p, {Word::Semicolon});
      if (!value.empty()) {
        consume(p, value);
        if (std::optional<NodeId> e = parse_expression_unwrapped(p, value))
          p.arena.add_child(message, *e);
      }
      p.arena.add_child(method, message);
      accept(p, Word::Semicolon);
    } else if (ignored_hints.has(w)) {
      next_token(p);
      accept(p, Word::Semicolon);
    } else {
      const std::optional<AttributeKey> flag = flag_directive(w);
      if (!flag) return;
      if (*flag == AttributeKey::Deprecated) {
        parse_deprecated(p, method);
      } else {
        next_token(p);
        p.arena.set_attribute(method, *flag, "true");
      }
      if (*flag == AttributeKey::External) {
        // The library and name clauses leave no trace.
        consume(p, scan_until(p, {Word::Semicolon}, Brackets::Flat));
      }
      accept(p, Word::Semicolon);
    }
  }
}

// routine-body: { local-section | label-section | nested-routine | ';' }
//               ('begin' ... 'end' | 'asm' ... 'end' ';')
void parse_routine_body(Parser& p, NodeId method) {
  for (Progress pass(p, DiagnosticKind::SkippedInDeclaration); pass.next();) {
    const Word w = peek(p).word;
    switch (w) {
      case Word::End:
        return;  // belongs to an enclosing construct
      case Word::Var:
      case Word::ThreadVar:
        p.arena.add_child(method, parse_var_section(p));
        break;
      case Word::Const:
        p.arena.add_child(method, parse_const_section(p));
        break;
      case Word::Type:
        p.arena.add_child(method, parse_type_section(p, true));
        break;
      case Word::Label:
        // Label declarations leave no node.
        consume(p, scan_until(p, {Word::Semicolon}, Brackets::Flat));
        accept(p, Word::Semicolon);
        accept(p, Word::Semicolon);
        break;
      case Word::Class:
        if (!is_routine_word_at(p, 1)) return;  // not part of a body: left for the caller
        next_token(p);
        {
          NodeId nested = parse_routine(p, true);  // starts at its routine word
          p.arena.set_attribute(nested, AttributeKey::Class, "true");
          p.arena.add_child(method, nested);
        }
        break;
      case Word::Begin:
        p.arena.add_child(method, parse_compound_statement(p));
        return;  // a ";" after the block is left for the caller
      case Word::Asm: {
        NodeId block = p.arena.add_node(NodeKind::Statements, next_token(p));
        p.arena.set_attribute(block, AttributeKey::Kind, "asm");
        // The instructions leave no node.
        consume(p, scan_until(p, {Word::End}, Brackets::Flat));
        accept(p, Word::End);
        accept(p, Word::End);
        accept(p, Word::Semicolon);
        p.arena.add_child(method, block);
        return;
      }
      case Word::Semicolon:
        next_token(p);
        break;
      default:
        if (!routine_words.has(w)) return;  // not part of a body: left for the caller
        p.arena.add_child(method, parse_routine(p, true));
        break;
    }
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
  const bool class_prefix = accept(p, Word::Class);
  const Token keyword = p.at_end() ? end_token() : next_token(p);
  // Every caller stands at a routine word (after "class"): its spelling is
  // the kind.
  const Word kind = keyword.word;
  NodeId method = p.arena.add_node(NodeKind::Method, class_prefix ? start : keyword);
  p.arena.set_attribute(method, AttributeKey::Kind, word_text(kind));
  if (class_prefix) p.arena.set_attribute(method, AttributeKey::Class, "true");

  std::string name = parse_routine_name(p);
  if (!name.empty()) p.arena.set_attribute(method, AttributeKey::Name, name);
  parse_generic_params(p, method);
  if (at(p, Word::OpenRound)) p.arena.add_child(method, parse_parameters(p));
  if ((kind == Word::Function || kind == Word::Operator) && accept(p, Word::Colon)) {
    const Token first = peek(p);
    NodeId type = parse_type_reference(p, first, type_reference_stop_words);
    NodeId return_type = p.arena.add_node(NodeKind::ReturnType, first);
    p.arena.add_child(return_type, type);
    p.arena.add_child(method, return_type);
  }
  if (accept(p, Word::Equal)) {
    // Interface method resolution: procedure IFoo.Bar = Baz;
    const Token first = peek(p);
    std::string target = parse_dotted_name(p);
    NodeId clause = p.arena.add_node(NodeKind::ResolutionClause, first);
    p.arena.set_attribute(clause, AttributeKey::Name, target);
    p.arena.add_child(method, clause);
    skip_past(p, Word::Semicolon, DiagnosticKind::SkippedInDeclaration);
    return method;  // no directives, no body
  }
  accept(p, Word::Semicolon);

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
  while (!p.at_end() && !at(p, Word::CloseRound)) {
    if (at_one_of(p, parameter_modifiers)) modifier = word_text(next_token(p).word);
    if (accept(p, Word::Equal)) {
      consume(p, scan_until(p, parameter_end_words));
      if (accept(p, Word::Semicolon)) {
        pending.clear();
        modifier = {};
      }
      continue;
    }
    const Token first = peek(p);
    std::string_view name = take_name(p);
    if (name.empty()) {
      skip_token(p, DiagnosticKind::SkippedInList);  // not a name
      continue;
    }
    NodeId parameter = p.arena.add_node(NodeKind::Parameter, first);
    if (!modifier.empty()) p.arena.set_attribute(parameter, AttributeKey::Kind, modifier);
    p.arena.add_child(parameter, p.arena.add_value_node(NodeKind::Name, first, name));
    if (accept(p, Word::Colon)) {
      NodeId type = parse_type(p);
      for (NodeId earlier : pending) p.arena.add_child(earlier, type);
      pending.clear();
      p.arena.add_child(parameter, type);
    } else {
      pending.push_back(parameter);
    }
    if (accept(p, Word::Equal)) consume(p, scan_until(p, parameter_end_words));  // default value
    p.arena.add_child(parameters, parameter);
    if (accept(p, Word::Semicolon)) {
      pending.clear();
      modifier = {};
    } else if (accept(p, Word::Comma)) {
      // the modifier stays in force for the rest of the group
    } else if (at(p, Word::CloseRound)) {
      break;
    }
  }
  accept(p, Word::CloseRound);
  return parameters;
}

}  // namespace tarnwick
