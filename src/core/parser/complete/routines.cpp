// Routines: headings with their names, generic parameters, parameters,
// results and directives; bodies; and the custom attribute lists written
// before declarations.
#include <string>

#include "parser/complete/complete.h"

namespace tarnwick::complete {
namespace {

constexpr WordSet all_calling_conventions{
    Word::Cdecl,    Word::Pascal,      Word::WinApi,   Word::StdCall,       Word::SysCall,
    Word::Register, Word::SafeCall,    Word::SoftFloat, Word::MsFastCall,   Word::VectorCall,
    Word::CppDecl,  Word::MwPascal,    Word::HardFloat, Word::OldFpcCall,   Word::SaveRegisters,
    Word::Interrupt};

constexpr WordSet method_bindings{Word::Virtual, Word::Dynamic, Word::Override};

// Directives of Free Pascal that leave no attribute.
constexpr WordSet plain_directives{Word::CompilerProc, Word::IoCheck,   Word::NoStackFrame,
                                   Word::CVar,         Word::Local,     Word::RtlProc,
                                   Word::NoInline,     Word::WeakExternal, Word::InternProc,
                                   Word::InternConst,  Word::Enumerator, Word::Section};

// The attribute of a directive recorded as "true".
std::optional<AttributeKey> flag_directive(Word w) {
  switch (w) {
    case Word::Abstract: return AttributeKey::Abstract;
    case Word::Assembler: return AttributeKey::Assembler;
    case Word::Export: return AttributeKey::Export;
    case Word::Far: return AttributeKey::Far;
    case Word::Final: return AttributeKey::Final;
    case Word::Forward: return AttributeKey::Forwarded;
    case Word::Inline: return AttributeKey::Inline;
    case Word::Near: return AttributeKey::Near;
    case Word::NoReturn: return AttributeKey::NoReturn;
    case Word::Overload: return AttributeKey::Overload;
    case Word::Reintroduce: return AttributeKey::Reintroduce;
    case Word::Static: return AttributeKey::Static;
    case Word::Unsafe: return AttributeKey::Unsafe;
    case Word::VarArgs: return AttributeKey::VarArgs;
    default: return std::nullopt;
  }
}

// Symbols that name a Free Pascal operator: "operator + (a, b: T): T".
constexpr WordSet operator_symbols{Word::Plus,      Word::Minus,       Word::Star,
                                   Word::Slash,     Word::Equal,       Word::Less,
                                   Word::Greater,   Word::LessEqual,   Word::GreaterEqual,
                                   Word::NotEqual,  Word::Assign,      Word::Power,
                                   Word::SymmetricDifference};

}  // namespace

NodeId read_worded_expression(Parser& p, NodeKind kind) {
  const std::size_t first = here(p);
  NodeId node = take_node(p, kind);
  add_if(p, node, expect_expression(p));
  finish(p, node, first);
  return node;
}

namespace {

// The index of the ">" that closes the "<" at `open` in a heading, where
// only names, ",", ";", ":", "." and nested brackets may stand between; 0
// when none does.
std::size_t heading_angle_close(const Parser& p, std::size_t open) {
  std::size_t depth = 0;
  for (std::size_t i = open; i < p.tokens.size(); ++i) {
    const Token& t = p.tokens[i];
    switch (t.word) {
      case Word::Less: ++depth; break;
      case Word::Greater:
        if (--depth == 0) return i;
        break;
      case Word::Comma:
      case Word::Semicolon:
      case Word::Colon:
      case Word::Dot:
        break;
      default:
        if (!t.is_word() ||
            (reserved_words.has(t.word) && !escaped(t) && t.word != Word::Class &&
             t.word != Word::Record && t.word != Word::Constructor))
          return 0;
        break;
    }
  }
  return 0;
}

// routine-name: name {['<' args '>'] '.' name}; an operator's name may be a symbol.
void read_routine_name(Parser& p, NodeId method, bool is_operator) {
  std::string name;
  if (is_operator && at_one_of(p, operator_symbols | WordSet{Word::In, Word::Not, Word::And,
                                                             Word::Or, Word::Xor, Word::Div,
                                                             Word::Mod, Word::Shl, Word::Shr,
                                                             Word::Is, Word::As})) {
    name = p.text(next_token(p));
  } else {
    for (;;) {
      // "&&op_Equality": an escaped name that starts with "&".
      const bool ampersand = peek(p).kind == TokenKind::Unknown && p.text(peek(p)) == "&" &&
                             peek_at(p, 1).is_word() && peek_at(p, 1).start == peek(p).end;
      if (!ampersand && !peek(p).is_word()) break;
      if (!name.empty()) name.push_back('.');
      if (ampersand) name.append(p.text(next_token(p)));
      name.append(name_text(p, next_token(p)));
      if (at(p, Word::Less)) {
        // Type arguments of a qualifying part are left out of the name.
        const std::size_t close = heading_angle_close(p, p.position());
        if (close == 0 || close + 1 >= p.tokens.size() || p.tokens[close + 1].word != Word::Dot)
          break;
        while (p.position() <= close) next_token(p);
      }
      if (!accept(p, Word::Dot)) break;
    }
  }
  if (name.empty()) {
    note_missing(p, "name");
  } else {
    p.arena.set_attribute(method, AttributeKey::Name, name);
  }
}

// external-directive: 'external' [library] {'name' expr | 'index' expr | 'delayed'}
void read_external(Parser& p, NodeId method) {
  p.arena.set_attribute(method, AttributeKey::External, "true");
  const std::size_t first = here(p);
  NodeId external = take_node(p, NodeKind::External);
  // The library: any expression before the ";" and the name and index parts.
  if (!at_one_of(p, {Word::Semicolon, Word::Name, Word::Index, Word::Delayed, Word::Comma,
                     Word::CloseSquare}) &&
      !at_eof(p))
    add_if(p, external, read_expression(p));
  for (;;) {
    if (at(p, Word::Name)) {
      p.arena.add_child(external, read_worded_expression(p, NodeKind::Name));
    } else if (at(p, Word::Index)) {
      p.arena.add_child(external, read_worded_expression(p, NodeKind::Index));
    } else if (at(p, Word::Delayed)) {
      next_token(p);
      p.arena.set_attribute(external, AttributeKey::Kind, "delayed");
    } else {
      break;
    }
  }
  finish(p, external, first);
  p.arena.add_child(method, external);
}

// One directive; false when the current token starts none. `in_list` is
// true inside Free Pascal's bracketed list, where directives are separated
// by ",".
bool read_directive(Parser& p, NodeId method, RoutinePlace place, bool in_list = false) {
  const Token& t = peek(p);
  const Word w = t.word;
  // Outside a list, a word followed by ":" or "," names a field or a
  // parameter, not a directive.
  if (!t.is_word() || escaped(t)) return false;
  if (w != Word::Alias && !in_list &&
      (peek_is(p, 1, Word::Colon) || peek_is(p, 1, Word::Comma)))
    return false;
  if (all_calling_conventions.has(w)) {
    p.arena.set_attribute(method, AttributeKey::CallingConvention, word_text(w));
    next_token(p);
    // Free Pascal's Amiga and MorphOS calls: syscall Base Offset.
    if (w == Word::SysCall)
      while (peek(p).kind == TokenKind::Identifier || peek(p).kind == TokenKind::Number)
        next_token(p);
  } else if (method_bindings.has(w)) {
    p.arena.set_attribute(method, AttributeKey::MethodBinding, word_text(w));
    next_token(p);
  } else if (const std::optional<AttributeKey> flag = flag_directive(w)) {
    p.arena.set_attribute(method, *flag, "true");
    next_token(p);
  } else if (w == Word::Deprecated) {
    parse_deprecated(p, method);
  } else if (at_hint(p)) {
    next_token(p);
  } else if (w == Word::External) {
    read_external(p, method);
  } else if (w == Word::Message) {
    p.arena.add_child(method, read_worded_expression(p, NodeKind::Message));
  } else if (w == Word::DispId) {
    p.arena.add_child(method, read_worded_expression(p, NodeKind::Dispid));
  } else if (w == Word::Public && place != RoutinePlace::Type) {
    p.arena.set_attribute(method, AttributeKey::Visibility, "public");
    next_token(p);
    if (at(p, Word::Name)) p.arena.add_child(method, read_worded_expression(p, NodeKind::Name));
  } else if (w == Word::Alias && peek_is(p, 1, Word::Colon)) {
    const std::size_t first = here(p);
    NodeId alias = take_node(p, NodeKind::Name);
    p.arena.set_attribute(alias, AttributeKey::Kind, "alias");
    next_token(p);  // ':'
    add_if(p, alias, expect_expression(p));
    finish(p, alias, first);
    p.arena.add_child(method, alias);
  } else if (plain_directives.has(w)) {
    next_token(p);
    // internproc: name, internconst: name, enumerator Name, section 'name'
    if (accept(p, Word::Colon) || w == Word::Enumerator || w == Word::Section) {
      if (!at(p, Word::Semicolon) && !at(p, Word::CloseSquare) && !at(p, Word::Comma))
        read_expression(p);
    }
  } else {
    return false;
  }
  return true;
}

// directives: {directive [';']}, and Free Pascal's '[' directive {',' directive} ']'
void read_directives(Parser& p, NodeId method, RoutinePlace place) {
  for (;;) {
    if (at(p, Word::OpenSquare) && place != RoutinePlace::Type) {
      // Only a list that starts with a directive is one.
      Tentative attempt(p);
      next_token(p);
      if (!read_directive(p, method, place, true)) return;
      attempt.commit();
      while (accept(p, Word::Comma)) {
        if (!read_directive(p, method, place, true)) break;
      }
      if (!at(p, Word::CloseSquare))
        skip_until(p, {Word::CloseSquare, Word::Semicolon}, DiagnosticKind::SkippedInDeclaration);
      expect(p, Word::CloseSquare);
      accept(p, Word::Semicolon);
      continue;
    }
    if (!read_directive(p, method, place)) return;
    accept(p, Word::Semicolon);
  }
}

}  // namespace

void read_variable_directives(Parser& p, NodeId variable) {
  for (;;) {
    const Token& t = peek(p);
    if (escaped(t) || peek_is(p, 1, Word::Colon) || peek_is(p, 1, Word::Comma)) return;
    if (t.word == Word::CVar) {
      next_token(p);
    } else if (t.word == Word::External) {
      read_external(p, variable);
    } else if (t.word == Word::Public) {
      p.arena.set_attribute(variable, AttributeKey::Visibility, "public");
      next_token(p);
      if (at(p, Word::Name)) p.arena.add_child(variable, read_worded_expression(p, NodeKind::Name));
    } else if (t.word == Word::Export) {
      p.arena.set_attribute(variable, AttributeKey::Export, "true");
      next_token(p);
    } else {
      return;
    }
    accept(p, Word::Semicolon);
  }
}

namespace {

// Where a routine body that cannot be read resumes.
const WordSet body_resume = declaration_starts | WordSet{Word::Var, Word::Const, Word::Begin,
                                                         Word::Asm, Word::End, Word::Class};

}  // namespace

std::optional<NodeId> read_type_params(Parser& p, bool* closed_by_equal) {
  if (!at(p, Word::Less)) return std::nullopt;
  const std::size_t first = here(p);
  NodeId list = take_node(p, NodeKind::TypeParams);
  Progress loop(p, DiagnosticKind::SkippedInList);
  while (loop.next() && !at(p, Word::Greater) && !at(p, Word::GreaterEqual) && !at_eof(p)) {
    if (!peek(p).is_word() && !at(p, Word::OpenSquare)) {
      skip_until(p, {Word::Semicolon, Word::Greater, Word::GreaterEqual, Word::Equal,
                     Word::OpenRound},
                 DiagnosticKind::SkippedInList);
      if (!accept(p, Word::Semicolon)) break;
      continue;
    }
    const std::size_t group_first = here(p);
    std::optional<NodeId> attributes;
    if (at(p, Word::OpenSquare)) attributes = read_attributes(p);
    NodeId param = p.arena.add_node(NodeKind::TypeParam, peek(p));
    add_if(p, param, attributes);
    while (peek(p).is_word()) {
      p.arena.add_child(param, take_name_node(p));
      if (!accept(p, Word::Comma)) break;
    }
    if (at(p, Word::Colon)) {
      const std::size_t constraints_first = here(p);
      NodeId constraints = take_node(p, NodeKind::Constraints);
      for (;;) {
        switch (peek(p).word) {
          case Word::Class:
            p.arena.add_child(constraints, take_node(p, NodeKind::ClassConstraint));
            break;
          case Word::Record:
            p.arena.add_child(constraints, take_node(p, NodeKind::RecordConstraint));
            break;
          case Word::Constructor:
            p.arena.add_child(constraints, take_node(p, NodeKind::ConstructorConstraint));
            break;
          case Word::Interface:
            p.arena.add_child(constraints, take_node(p, NodeKind::InterfaceConstraint));
            break;
          case Word::Unmanaged:
            p.arena.add_child(constraints, take_node(p, NodeKind::UnmanagedConstraint));
            break;
          default:
            if (peek(p).is_word()) {
              p.arena.add_child(constraints, read_type_reference(p));
            } else {
              note_missing(p, "constraint");
            }
            break;
        }
        if (!accept(p, Word::Comma)) break;
      }
      finish(p, constraints, constraints_first);
      p.arena.add_child(param, constraints);
    }
    finish(p, param, group_first);
    p.arena.add_child(list, param);
    if (!accept(p, Word::Semicolon)) break;
  }
  if (at(p, Word::GreaterEqual) && closed_by_equal) {
    next_token(p);
    *closed_by_equal = true;
  } else {
    expect(p, Word::Greater);
  }
  finish(p, list, first);
  return list;
}

NodeId read_attributes(Parser& p) {
  const std::size_t first = here(p);
  NodeId list = p.arena.add_node(NodeKind::Attributes, peek(p));
  while (at(p, Word::OpenSquare)) {
    next_token(p);
    Progress loop(p, DiagnosticKind::SkippedInList);
    while (loop.next() && !at(p, Word::CloseSquare) && !at_eof(p)) {
      if (!peek(p).is_word()) {
        skip_until(p, {Word::Comma, Word::CloseSquare}, DiagnosticKind::SkippedInList);
        if (!accept(p, Word::Comma)) break;
        continue;
      }
      const std::size_t attribute_first = here(p);
      NodeId attribute = p.arena.add_node(NodeKind::Attribute, peek(p));
      p.arena.set_attribute(attribute, AttributeKey::Name, parse_dotted_name(p));
      // A target prefix: [Result: NotNull] names its attribute after the ":".
      if (accept(p, Word::Colon) && peek(p).is_word())
        p.arena.set_attribute(attribute, AttributeKey::Name, parse_dotted_name(p));
      if (at(p, Word::OpenRound)) {
        const std::size_t arguments_first = here(p);
        NodeId arguments = take_node(p, NodeKind::Arguments);
        while (!at(p, Word::CloseRound) && !at_eof(p)) {
          const std::size_t argument_first = here(p);
          std::optional<NodeId> value = read_expression(p);
          if (!value) {
            skip_until(p, {Word::Comma, Word::CloseRound, Word::CloseSquare},
                       DiagnosticKind::SkippedInList);
          } else {
            NodeId argument = p.arena.add_node(NodeKind::PositionalArgument,
                                               p.tokens[argument_first]);
            p.arena.add_child(argument, *value);
            finish(p, argument, argument_first);
            p.arena.add_child(arguments, argument);
          }
          if (!accept(p, Word::Comma)) break;
        }
        expect(p, Word::CloseRound);
        finish(p, arguments, arguments_first);
        p.arena.add_child(attribute, arguments);
      }
      finish(p, attribute, attribute_first);
      p.arena.add_child(list, attribute);
      if (!at(p, Word::Comma) && !at(p, Word::CloseSquare))
        skip_until(p, {Word::Comma, Word::CloseSquare}, DiagnosticKind::SkippedInList);
      if (!accept(p, Word::Comma)) break;
    }
    expect(p, Word::CloseSquare);
  }
  finish(p, list, first);
  return list;
}

// parameters: '(' [group {';' group}] ')'   (property indexes: '[' ... ']')
// group: [attributes] [modifier] [attributes] name {',' name} [':' type] ['=' value]
NodeId read_parameters(Parser& p, Word close) {
  const std::size_t first = here(p);
  NodeId list = take_node(p, NodeKind::Parameters);
  Progress loop(p, DiagnosticKind::SkippedInList);
  while (loop.next() && !at(p, close) && !at_eof(p)) {
    const std::size_t group_first = here(p);
    std::optional<NodeId> attributes, more_attributes;
    if (at(p, Word::OpenSquare)) attributes = read_attributes(p);
    std::string_view modifier;
    if (at_one_of(p, parameter_modifiers) && !peek_is(p, 1, Word::Colon) &&
        !peek_is(p, 1, Word::Comma)) {
      modifier = word_text(next_token(p).word);
      if (at(p, Word::OpenSquare)) more_attributes = read_attributes(p);
    }
    if (!peek(p).is_word()) {
      skip_until(p, {Word::Semicolon, close}, DiagnosticKind::SkippedInList);
      if (!accept(p, Word::Semicolon)) break;
      continue;
    }
    NodeId param = p.arena.add_node(NodeKind::Parameter, peek(p));
    if (!modifier.empty()) p.arena.set_attribute(param, AttributeKey::Kind, modifier);
    add_if(p, param, attributes);
    add_if(p, param, more_attributes);
    while (peek(p).is_word()) {
      p.arena.add_child(param, take_name_node(p));
      if (!accept(p, Word::Comma)) break;
    }
    if (accept(p, Word::Colon)) p.arena.add_child(param, read_type(p));
    // Free Pascal's register of a parameter: location 'd0'.
    if (at(p, Word::Location) && peek_at(p, 1).kind == TokenKind::String) {
      next_token(p);
      next_token(p);
    }
    if (at(p, Word::Equal)) {
      const std::size_t value_first = here(p);
      NodeId value = take_node(p, NodeKind::Value);
      add_if(p, value, read_constant_value(p));
      finish(p, value, value_first);
      p.arena.add_child(param, value);
    }
    finish(p, param, group_first);
    p.arena.add_child(list, param);
    if (!at(p, Word::Semicolon) && !at(p, close))
      skip_until(p, {Word::Semicolon, close}, DiagnosticKind::SkippedInList);
    if (!accept(p, Word::Semicolon)) break;
  }
  expect(p, close);
  finish(p, list, first);
  return list;
}

void read_routine_body(Parser& p, NodeId owner) {
  Progress loop(p, DiagnosticKind::SkippedInDeclaration);
  while (loop.next() && !at_eof(p)) {
    switch (peek(p).word) {
      case Word::Var:
      case Word::ThreadVar: p.arena.add_child(owner, read_var_section(p)); continue;
      case Word::Const:
      case Word::ResourceString: p.arena.add_child(owner, read_const_section(p)); continue;
      case Word::Type: p.arena.add_child(owner, read_type_section(p, false)); continue;
      case Word::Label: p.arena.add_child(owner, read_label_section(p)); continue;
      case Word::Begin: p.arena.add_child(owner, read_block(p)); return;
      case Word::Asm: p.arena.add_child(owner, read_asm_block(p)); return;
      case Word::Function:
      case Word::Procedure:
      case Word::Constructor:
      case Word::Destructor:
      case Word::Operator:
        p.arena.add_child(owner,
                          read_routine(p, RoutinePlace::Implementation, here(p), std::nullopt));
        continue;
      default: break;
    }
    if (at_one_of(p, body_resume) || at_routine(p)) {
      // A section word, "end" or a routine of the enclosing scope: the body
      // has no block.
      note_missing(p, "begin");
      return;
    }
    skip_until(p, body_resume, DiagnosticKind::SkippedInDeclaration);
  }
}

// routine: ['class'] routine-word name [type-params] [parameters] [':' type]
//          (['=' name] ';' | ';' directives [body ';'])
NodeId read_routine(Parser& p, RoutinePlace place, std::size_t first,
                     std::optional<NodeId> attributes) {
  DepthGuard guard(p);
  const bool is_class = accept(p, Word::Class);
  const Word word = peek(p).word;
  NodeId method = take_node(p, NodeKind::Method);
  p.arena.set_attribute(method, AttributeKey::Kind, word_text(word));
  if (is_class) p.arena.set_attribute(method, AttributeKey::Class, "true");
  add_if(p, method, attributes);
  read_routine_name(p, method, word == Word::Operator);
  add_if(p, method, read_type_params(p));
  if (at(p, Word::OpenRound)) p.arena.add_child(method, read_parameters(p, Word::CloseRound));
  if (at(p, Word::Colon) || (word == Word::Operator && at_name(p) && peek_is(p, 1, Word::Colon))) {
    const std::size_t result_first = here(p);
    NodeId result = p.arena.add_node(NodeKind::ReturnType, peek(p));
    if (!at(p, Word::Colon)) p.arena.add_child(result, take_name_node(p));
    next_token(p);  // ':'
    if (at(p, Word::OpenSquare)) p.arena.add_child(result, read_attributes(p));
    p.arena.add_child(result, read_type(p));
    finish(p, result, result_first);
    p.arena.add_child(method, result);
  }
  if (at(p, Word::Equal)) {
    // An interface method mapped to a method of the class.
    next_token(p);
    const std::size_t target_first = here(p);
    NodeId clause = p.arena.add_node(NodeKind::ResolutionClause, peek(p));
    p.arena.set_attribute(clause, AttributeKey::Name, parse_dotted_name(p));
    finish(p, clause, target_first);
    p.arena.add_child(method, clause);
    if (!at(p, Word::Semicolon))
      skip_until(p, body_resume | WordSet{Word::Semicolon}, DiagnosticKind::SkippedInDeclaration);
    expect(p, Word::Semicolon);
    finish(p, method, first);
    return method;
  }
  // The ";" after a heading; some headings run into their directives.
  if (!accept(p, Word::Semicolon) && !read_directive(p, method, place)) {
    if (!at_eof(p) && !at_one_of(p, body_resume) && !at_routine(p))
      skip_until(p, body_resume | WordSet{Word::Semicolon}, DiagnosticKind::SkippedInDeclaration);
    expect(p, Word::Semicolon);
  } else {
    accept(p, Word::Semicolon);
  }
  read_directives(p, method, place);
  const bool bodiless = p.arena.attribute(method, AttributeKey::Forwarded).has_value() ||
                        p.arena.attribute(method, AttributeKey::External).has_value();
  if (place == RoutinePlace::Implementation && !bodiless) {
    read_routine_body(p, method);
    accept(p, Word::Semicolon);
  }
  finish(p, method, first);
  return method;
}

}  // namespace tarnwick::complete
