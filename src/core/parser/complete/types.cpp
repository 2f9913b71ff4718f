// Types: references and type arguments, the type constructors, the bodies
// of classes, records, objects, interfaces and helpers with their members,
// and properties.
#include <string>

#include "parser/complete/complete.h"

namespace tarnwick::complete {
namespace {

constexpr WordSet structured_words{Word::Class,      Word::Record,    Word::Object,
                                   Word::Interface,  Word::DispInterface, Word::ObjcClass,
                                   Word::ObjcProtocol, Word::ObjcCategory, Word::CppClass};

constexpr WordSet procedural_conventions{
    Word::Cdecl,    Word::Pascal,   Word::WinApi,   Word::StdCall,   Word::SysCall,
    Word::Register, Word::SafeCall, Word::SoftFloat, Word::MsFastCall, Word::VectorCall,
    Word::CppDecl,  Word::MwPascal, Word::HardFloat, Word::OldFpcCall, Word::CBlock,
    Word::ExtDecl,  Word::VarArgs};

// The words at which a type body resumes after tokens it cannot read.
const WordSet member_resume{Word::End,      Word::Private,   Word::Protected, Word::Public,
                            Word::Published, Word::Strict,   Word::Automated, Word::Property,
                            Word::Class,    Word::Procedure, Word::Function,  Word::Constructor,
                            Word::Destructor, Word::Operator, Word::Var,     Word::Const,
                            Word::Type,     Word::Case,      Word::OpenSquare, Word::Semicolon,
                            Word::ThreadVar};

// Fills `node` with the reference at the current token: a dotted name with
// the type arguments of its parts, or a sized string; `name` is its text.
void read_reference(Parser& p, NodeId node, std::size_t first) {
  const std::size_t name_first = here(p);
  while (peek(p).is_word()) {
    const Word w = next_token(p).word;
    if ((w == Word::String || w == Word::ShortString) && at(p, Word::OpenSquare)) {
      // string[N]: the length is part of the name.
      const std::uint32_t close = bracket_partner(p, p.position());
      if (close != no_bracket_partner)
        while (p.position() <= close) next_token(p);
      break;
    }
    if (at(p, Word::Less)) p.arena.add_child(node, read_type_args(p));
    if (!at(p, Word::Dot) || !peek_at(p, 1).is_word()) break;
    next_token(p);
  }
  if (here(p) > name_first)
    p.arena.set_attribute(node, AttributeKey::Name, join_token_texts(p, Run{name_first, here(p)}));
  finish(p, node, first);
}

// True when a type written as a name starts here and is no subrange: a
// dotted name not followed by "..", "(" or an operator.
bool at_reference(const Parser& p) {
  std::size_t i = p.position();
  const std::size_t n = p.tokens.size();
  for (;;) {
    if (i >= n || !p.tokens[i].is_word()) return false;
    ++i;
    if (i < n && p.tokens[i].word == Word::Less) return true;
    if (i + 1 < n && p.tokens[i].word == Word::Dot && p.tokens[i + 1].is_word()) {
      ++i;
      continue;
    }
    break;
  }
  if (i >= n) return true;
  switch (p.tokens[i].word) {
    case Word::DotDot:
    case Word::OpenRound:
    case Word::Plus:
    case Word::Minus:
    case Word::Star:
    case Word::Slash:
    case Word::Div:
    case Word::Mod:
    case Word::Shl:
    case Word::Shr:
    case Word::And:
    case Word::Or:
    case Word::Xor:
      return false;
    default:
      return true;
  }
}

// enumeration: '(' element {',' element} ')'; element: name [('=' | ':=') expr]
NodeId read_enumeration(Parser& p) {
  const std::size_t first = here(p);
  NodeId type = take_node(p, NodeKind::Type);
  p.arena.set_attribute(type, AttributeKey::Name, "enum");
  Progress loop(p, DiagnosticKind::SkippedInList);
  while (loop.next() && !at(p, Word::CloseRound) && !at_eof(p)) {
    if (!peek(p).is_word()) {
      skip_until(p, {Word::Comma, Word::CloseRound, Word::Semicolon}, DiagnosticKind::SkippedInList);
      if (!accept(p, Word::Comma)) break;
      continue;
    }
    const std::size_t element_first = here(p);
    NodeId element = p.arena.add_node(NodeKind::Enum, peek(p));
    p.arena.add_child(element, take_name_node(p));
    if (at(p, Word::Equal) || at(p, Word::Assign)) {
      const std::size_t value_first = here(p);
      NodeId value = take_node(p, NodeKind::Value);
      add_if(p, value, expect_expression(p));
      finish(p, value, value_first);
      p.arena.add_child(element, value);
    }
    finish(p, element, element_first);
    p.arena.add_child(type, element);
    if (!at(p, Word::Comma) && !at(p, Word::CloseRound))
      skip_until(p, {Word::Comma, Word::CloseRound, Word::Semicolon}, DiagnosticKind::SkippedInList);
    if (!accept(p, Word::Comma)) break;
  }
  expect(p, Word::CloseRound);
  finish(p, type, first);
  return type;
}

// array-type: 'array' ['[' index {',' index} ']'] 'of' type
NodeId read_array_type(Parser& p) {
  const std::size_t first = here(p);
  NodeId type = take_node(p, NodeKind::Type);
  p.arena.set_attribute(type, AttributeKey::Type, "array");
  if (at(p, Word::OpenSquare)) {
    const std::size_t bounds_first = here(p);
    NodeId bounds = take_node(p, NodeKind::Bounds);
    Progress loop(p, DiagnosticKind::SkippedInList);
    while (loop.next() && !at(p, Word::CloseSquare) && !at_eof(p)) {
      const std::size_t index_first = here(p);
      NodeId index_type = read_type(p);
      NodeId dimension = p.arena.add_value_node(NodeKind::Dimension, p.tokens[index_first],
                                                join_token_texts(p, Run{index_first, here(p)}));
      p.arena.add_child(dimension, index_type);
      finish(p, dimension, index_first);
      p.arena.add_child(bounds, dimension);
      if (!at(p, Word::Comma) && !at(p, Word::CloseSquare))
        skip_until(p, {Word::Comma, Word::CloseSquare, Word::Semicolon},
                   DiagnosticKind::SkippedInList);
      if (!accept(p, Word::Comma)) break;
    }
    expect(p, Word::CloseSquare);
    finish(p, bounds, bounds_first);
    p.arena.add_child(type, bounds);
  }
  if (expect(p, Word::Of)) p.arena.add_child(type, read_type(p));
  finish(p, type, first);
  return type;
}

// procedural-type: ('procedure' | 'function') [parameters] [':' type]
//                  ['of' 'object' | 'is' 'nested'] {[';'] convention}
NodeId read_procedural_type(Parser& p) {
  const std::size_t first = here(p);
  const Word word = peek(p).word;
  NodeId type = take_node(p, NodeKind::Type);
  p.arena.set_attribute(type, AttributeKey::Type, word_text(word));
  if (at(p, Word::OpenRound)) p.arena.add_child(type, read_parameters(p, Word::CloseRound));
  if (at(p, Word::Colon)) {
    const std::size_t result_first = here(p);
    NodeId result = take_node(p, NodeKind::ReturnType);
    p.arena.add_child(result, read_type(p));
    finish(p, result, result_first);
    p.arena.add_child(type, result);
  }
  if (at(p, Word::Of) && peek_is(p, 1, Word::Object)) {
    next_token(p);
    next_token(p);
    p.arena.set_attribute(type, AttributeKey::Kind, "object");
  } else if (at(p, Word::Is) && peek_is(p, 1, Word::Nested)) {
    next_token(p);
    next_token(p);
    p.arena.set_attribute(type, AttributeKey::Kind, "nested");
  }
  for (;;) {
    // A convention after a ";" belongs to the type when it is no name of
    // the next declaration.
    const std::size_t ahead = at(p, Word::Semicolon) ? 1 : 0;
    const Token& t = peek_at(p, ahead);
    if (!procedural_conventions.has(t.word) || escaped(t)) break;
    const Word after = peek_at(p, ahead + 1).word;
    if (after == Word::Colon || after == Word::Comma || after == Word::Equal) break;
    if (ahead) next_token(p);
    const Word w = next_token(p).word;
    if (w == Word::VarArgs) {
      p.arena.set_attribute(type, AttributeKey::VarArgs, "true");
    } else {
      p.arena.set_attribute(type, AttributeKey::CallingConvention, word_text(w));
    }
  }
  finish(p, type, first);
  return type;
}

// The members of a structured type up to its 'end', which is consumed.
void read_type_body(Parser& p, NodeId type);

// Free Pascal's Java and Objective-C classes and interfaces name the class
// they stand for: 'external' [package] ['name' expr].
void read_external_class(Parser& p, NodeId type) {
  p.arena.set_attribute(type, AttributeKey::External, "true");
  const std::size_t first = here(p);
  NodeId external = take_node(p, NodeKind::External);
  if (peek(p).kind == TokenKind::String) p.arena.add_child(external, read_literal(p));
  if (at(p, Word::Name)) {
    if (peek_at(p, 1).kind == TokenKind::String) {
      // Only the string: a "(" after it opens the ancestors.
      const std::size_t name_first = here(p);
      NodeId name = take_node(p, NodeKind::Name);
      p.arena.add_child(name, read_literal(p));
      finish(p, name, name_first);
      p.arena.add_child(external, name);
    } else {
      p.arena.add_child(external, read_worded_expression(p, NodeKind::Name));
    }
  }
  finish(p, external, first);
  p.arena.add_child(type, external);
}

// class-type, record-type, object-type, interface-type:
//   word ['abstract' | 'sealed'] [external] ['(' type {',' type} ')'] [external] [guid] members 'end'
//   | word ... ';'   (a forward declaration)
NodeId read_structured_type(Parser& p, std::size_t first) {
  const Word word = peek(p).word;
  NodeId type = take_node(p, NodeKind::Type);
  p.arena.set_attribute(type, AttributeKey::Type, word_text(word));
  for (;;) {
    if (accept(p, Word::Abstract)) {
      p.arena.set_attribute(type, AttributeKey::Abstract, "true");
    } else if (accept(p, Word::Sealed)) {
      p.arena.set_attribute(type, AttributeKey::Sealed, "true");
    } else {
      break;
    }
  }
  bool external = false;
  if (at(p, Word::External)) {
    external = true;
    read_external_class(p, type);
  }
  bool ancestors = false;
  if (at(p, Word::OpenRound)) {
    ancestors = true;
    next_token(p);
    while (peek(p).is_word()) {
      p.arena.add_child(type, read_type_reference(p));
      if (!accept(p, Word::Comma)) break;
    }
    if (!at(p, Word::CloseRound))
      skip_until(p, {Word::CloseRound, Word::Semicolon, Word::End}, DiagnosticKind::SkippedInList);
    expect(p, Word::CloseRound);
  }
  if (at(p, Word::Semicolon) && word != Word::Record) {
    if (!ancestors) p.arena.set_attribute(type, AttributeKey::Forwarded, "true");
    finish(p, type, first);
    return type;
  }
  if (!external && at(p, Word::External)) {
    read_external_class(p, type);
    if (at(p, Word::Semicolon)) {
      finish(p, type, first);
      return type;
    }
  }
  read_type_body(p, type);
  finish(p, type, first);
  return type;
}

// helper-type: ('class' | 'record' | 'type') 'helper' ['(' type ')'] 'for' type members 'end'
NodeId read_helper_type(Parser& p, std::size_t first) {
  const Word word = peek(p).word;
  NodeId type = take_node(p, NodeKind::Type);
  p.arena.set_attribute(type, AttributeKey::Type, "helper");
  p.arena.set_attribute(type, AttributeKey::Kind, word_text(word));
  const std::size_t helper_first = here(p);
  NodeId helper = take_node(p, NodeKind::Helper);
  if (accept(p, Word::OpenRound)) {
    while (peek(p).is_word()) {
      p.arena.add_child(helper, read_type_reference(p));
      if (!accept(p, Word::Comma)) break;
    }
    expect(p, Word::CloseRound);
  }
  if (expect(p, Word::For)) p.arena.add_child(helper, read_type_reference(p));
  finish(p, helper, helper_first);
  p.arena.add_child(type, helper);
  read_type_body(p, type);
  finish(p, type, first);
  return type;
}

// The kind of a visibility section at the current word, or Unknown.
NodeKind visibility_at(const Parser& p) {
  if (peek_is(p, 1, Word::Colon) || peek_is(p, 1, Word::Comma)) return NodeKind::Unknown;
  switch (peek(p).word) {
    case Word::Private: return NodeKind::Private;
    case Word::Protected: return NodeKind::Protected;
    case Word::Public: return NodeKind::Public;
    case Word::Published: return NodeKind::Published;
    case Word::Automated: return NodeKind::Public;
    case Word::Strict:
      return peek_is(p, 1, Word::Private)     ? NodeKind::StrictPrivate
             : peek_is(p, 1, Word::Protected) ? NodeKind::StrictProtected
                                              : NodeKind::Unknown;
    default: return NodeKind::Unknown;
  }
}

// A field declaration and its ";".
NodeId read_field(Parser& p, std::size_t first, std::optional<NodeId> attributes, bool class_field) {
  NodeId field = read_variable(p, NodeKind::Field, attributes);
  if (class_field) p.arena.set_attribute(field, AttributeKey::Class, "true");
  if (!at(p, Word::Semicolon) && !at(p, Word::End) && !at(p, Word::CloseRound) && !at_eof(p))
    skip_until(p, member_resume | WordSet{Word::CloseRound}, DiagnosticKind::SkippedInType);
  if (!at(p, Word::End) && !at(p, Word::CloseRound)) expect(p, Word::Semicolon);
  // Free Pascal's Java classes: "external name 'N';" after a field.
  if (at(p, Word::External) && !peek_is(p, 1, Word::Colon) && !peek_is(p, 1, Word::Comma))
    read_variable_directives(p, field);
  finish(p, field, first);
  return field;
}

// variant-part: 'case' [name ':'] type 'of' variant {';' variant}
// variant: label {',' label} ':' '(' [field-list] ')'
NodeId read_variant_part(Parser& p) {
  DepthGuard guard(p);
  const std::size_t first = here(p);
  NodeId node = take_node(p, NodeKind::Case);
  const std::size_t selector_first = here(p);
  NodeId selector = p.arena.add_node(NodeKind::CaseSelector, peek(p));
  if (at_name(p) && peek_is(p, 1, Word::Colon)) {
    p.arena.add_child(selector, take_name_node(p));
    next_token(p);
  }
  p.arena.add_child(selector, read_type(p));
  finish(p, selector, selector_first);
  p.arena.add_child(node, selector);
  expect(p, Word::Of);
  Progress loop(p, DiagnosticKind::SkippedInType);
  while (loop.next() && !at(p, Word::End) && !at(p, Word::CloseRound) && !at_eof(p)) {
    if (accept(p, Word::Semicolon)) continue;
    const std::size_t arm_first = here(p);
    NodeId arm = p.arena.add_node(NodeKind::CaseLabels, peek(p));
    for (;;) {
      const std::size_t label_first = here(p);
      std::optional<NodeId> value = read_range(p);
      if (!value) break;
      NodeId label = p.arena.add_node(NodeKind::CaseLabel, p.tokens[label_first]);
      p.arena.add_child(label, *value);
      finish(p, label, label_first);
      p.arena.add_child(arm, label);
      if (!accept(p, Word::Comma)) break;
    }
    if (!at(p, Word::Colon))
      skip_until(p, {Word::Colon, Word::Semicolon, Word::End, Word::CloseRound},
                 DiagnosticKind::SkippedInType);
    expect(p, Word::Colon);
    if (at(p, Word::OpenRound)) {
      const std::size_t fields_first = here(p);
      NodeId fields = take_node(p, NodeKind::Fields);
      Progress inner(p, DiagnosticKind::SkippedInType);
      while (inner.next() && !at(p, Word::CloseRound) && !at_eof(p) && !at(p, Word::End)) {
        if (accept(p, Word::Semicolon)) continue;
        if (at(p, Word::Case)) {
          p.arena.add_child(fields, read_variant_part(p));
        } else if (at_name(p)) {
          p.arena.add_child(fields, read_field(p, here(p), std::nullopt, false));
        } else {
          skip_until(p, {Word::Semicolon, Word::CloseRound, Word::End}, DiagnosticKind::SkippedInType);
        }
      }
      expect(p, Word::CloseRound);
      finish(p, fields, fields_first);
      p.arena.add_child(arm, fields);
    }
    finish(p, arm, arm_first);
    p.arena.add_child(node, arm);
    if (!at(p, Word::Semicolon) && !at(p, Word::End) && !at(p, Word::CloseRound))
      skip_until(p, {Word::Semicolon, Word::End, Word::CloseRound}, DiagnosticKind::SkippedInType);
  }
  finish(p, node, first);
  return node;
}

void read_type_body(Parser& p, NodeId type) {
  DepthGuard guard(p);
  const std::optional<std::string_view> type_word = p.arena.attribute(type, AttributeKey::Type);
  const bool interface_like = type_word == "interface" || type_word == "dispinterface";
  bool first_member = true;
  NodeId container = type;
  std::size_t container_first = 0;
  std::optional<NodeId> fields;  // the open var section, if any
  std::size_t fields_first = 0;
  bool class_fields = false;
  // A var section ends before the member that closes it, whose attributes
  // (read before the member's word tells what it is) are its own.
  std::size_t member_first = 0;
  auto close_fields = [&] {
    if (fields) finish_before(p, *fields, fields_first, member_first);
    fields.reset();
    class_fields = false;
  };
  auto close_container = [&] {
    close_fields();
    if (container != type) finish(p, container, container_first);
  };
  Progress loop(p, DiagnosticKind::SkippedInType);
  while (loop.next() && !at(p, Word::End) && !at_eof(p)) {
    const std::size_t first = here(p);
    member_first = first;
    if (const NodeKind section = visibility_at(p); section != NodeKind::Unknown) {
      close_container();
      container_first = first;
      const bool automated = at(p, Word::Automated);
      container = p.arena.add_node(section, peek(p));
      if (at(p, Word::Strict)) next_token(p);
      next_token(p);
      if (automated) p.arena.set_attribute(container, AttributeKey::Kind, "automated");
      p.arena.add_child(type, container);
      continue;
    }
    if (accept(p, Word::Semicolon)) continue;
    // An interface's GUID: a string, or as the first member of an interface
    // the name of a constant ([IID_IFoo]).
    const bool guid_name = interface_like && first_member;
    first_member = false;
    if (at(p, Word::OpenSquare) && peek_is(p, 2, Word::CloseSquare) &&
        (peek_at(p, 1).kind == TokenKind::String || (guid_name && is_name(peek_at(p, 1))))) {
      close_fields();
      NodeId guid = p.arena.add_node(NodeKind::Guid, peek(p));
      next_token(p);
      const Token value = next_token(p);
      p.arena.set_attribute(guid, AttributeKey::Name, value.kind == TokenKind::String
                                                         ? unquote(p.text(value))
                                                         : std::string(name_text(p, value)));
      next_token(p);
      finish(p, guid, first);
      p.arena.add_child(container, guid);
      continue;
    }
    std::optional<NodeId> attributes;
    if (at(p, Word::OpenSquare)) attributes = read_attributes(p);
    // Free Pascal's Java classes: "final class var" (fields that cannot change).
    const bool is_final = at(p, Word::Final) && (peek_is(p, 1, Word::Var) ||
                                                 (peek_is(p, 1, Word::Class) && peek_is(p, 2, Word::Var)));
    if (is_final) next_token(p);
    const bool is_class = at(p, Word::Class);
    const Word after_class = is_class ? peek_at(p, 1).word : Word::None;
    const Word w = is_class ? after_class : peek(p).word;
    if (w == Word::Var || w == Word::ThreadVar) {
      close_fields();
      fields_first = first;
      if (is_class) next_token(p);
      fields = take_node(p, NodeKind::Fields);
      p.arena.set_attribute(*fields, AttributeKey::Kind, word_text(w));
      if (is_class) p.arena.set_attribute(*fields, AttributeKey::Class, "true");
      if (is_final) p.arena.set_attribute(*fields, AttributeKey::Final, "true");
      class_fields = is_class;
      p.arena.add_child(container, *fields);
      if (attributes) p.arena.add_child(*fields, *attributes);
      continue;
    }
    if (w == Word::Const) {
      close_fields();
      p.arena.add_child(container, read_const_section(p, true));
      continue;
    }
    if (w == Word::Type && !is_class) {
      close_fields();
      p.arena.add_child(container, read_type_section(p, true));
      continue;
    }
    if (w == Word::Case && !is_class) {
      close_fields();
      p.arena.add_child(container, read_variant_part(p));
      continue;
    }
    if (w == Word::Property) {
      close_fields();
      p.arena.add_child(container, read_property(p, first, attributes));
      continue;
    }
    if (routine_words.has(w)) {
      close_fields();
      p.arena.add_child(container, read_routine(p, RoutinePlace::Type, first, attributes));
      continue;
    }
    if (!is_class && at_name(p)) {
      NodeId field = read_field(p, first, attributes, class_fields);
      p.arena.add_child(fields ? *fields : container, field);
      continue;
    }
    if (attributes) p.arena.add_child(fields ? *fields : container, *attributes);
    if (here(p) == first || !at_one_of(p, member_resume))
      skip_until(p, member_resume, DiagnosticKind::SkippedInType);
  }
  member_first = here(p);
  close_container();
  expect(p, Word::End);
}

}  // namespace

NodeId read_type_args(Parser& p) {
  DepthGuard guard(p);
  const std::size_t first = here(p);
  NodeId args = take_node(p, NodeKind::TypeArgs);
  for (;;) {
    p.arena.add_child(args, read_type(p));
    if (!accept(p, Word::Comma)) break;
  }
  expect(p, Word::Greater);
  finish(p, args, first);
  return args;
}

NodeId read_type_reference(Parser& p) {
  const std::size_t first = here(p);
  NodeId type = p.arena.add_node(NodeKind::Type, peek(p));
  read_reference(p, type, first);
  return type;
}

NodeId read_type(Parser& p, bool declared) {
  DepthGuard guard(p);
  const std::size_t first = here(p);
  const Token& t = peek(p);
  const Word w = escaped(t) ? Word::None : t.word;
  switch (w) {
    case Word::Packed:
    case Word::BitPacked: {
      NodeId type = take_node(p, NodeKind::Type);
      p.arena.set_attribute(type, AttributeKey::Type, word_text(w));
      p.arena.add_child(type, read_type(p, declared));
      finish(p, type, first);
      return type;
    }
    case Word::Class:
      if (peek_is(p, 1, Word::Of)) {
        NodeId type = take_node(p, NodeKind::Type);
        p.arena.set_attribute(type, AttributeKey::Type, "classref");
        next_token(p);
        p.arena.add_child(type, read_type_reference(p));
        finish(p, type, first);
        return type;
      }
      if (peek_is(p, 1, Word::Helper)) return read_helper_type(p, first);
      return read_structured_type(p, first);
    case Word::Record:
      if (peek_is(p, 1, Word::Helper)) return read_helper_type(p, first);
      return read_structured_type(p, first);
    case Word::Type:
      if (peek_is(p, 1, Word::Helper)) return read_helper_type(p, first);
      if (declared) {
        NodeId type = take_node(p, NodeKind::Type);
        p.arena.set_attribute(type, AttributeKey::Kind, "type");
        read_reference(p, type, first);
        return type;
      }
      break;
    case Word::Set: {
      NodeId type = take_node(p, NodeKind::Type);
      p.arena.set_attribute(type, AttributeKey::Type, "set");
      if (expect(p, Word::Of)) p.arena.add_child(type, read_type(p));
      finish(p, type, first);
      return type;
    }
    case Word::Array: return read_array_type(p);
    case Word::File: {
      NodeId type = take_node(p, NodeKind::Type);
      p.arena.set_attribute(type, AttributeKey::Type, "file");
      if (accept(p, Word::Of)) p.arena.add_child(type, read_type(p));
      finish(p, type, first);
      return type;
    }
    case Word::Caret: {
      NodeId type = take_node(p, NodeKind::Type);
      p.arena.set_attribute(type, AttributeKey::Type, "pointer");
      p.arena.add_child(type, read_type(p));
      finish(p, type, first);
      return type;
    }
    case Word::Procedure:
    case Word::Function: return read_procedural_type(p);
    case Word::Reference:
      if (peek_is(p, 1, Word::To) && is_routine_word_at(p, 2)) {
        NodeId type = take_node(p, NodeKind::Type);
        p.arena.set_attribute(type, AttributeKey::Type, "reference");
        next_token(p);
        NodeId procedural = read_procedural_type(p);
        p.arena.set_attribute(procedural, AttributeKey::Kind, "reference");
        p.arena.add_child(type, procedural);
        finish(p, type, first);
        return type;
      }
      break;
    case Word::Specialize:
      if (peek_at(p, 1).is_word()) {
        NodeId type = take_node(p, NodeKind::Type);
        p.arena.set_attribute(type, AttributeKey::Kind, "specialize");
        read_reference(p, type, first);
        return type;
      }
      break;
    case Word::OpenRound: {
      const std::uint32_t close = bracket_partner(p, p.position());
      if (close == no_bracket_partner || close + 1 >= p.tokens.size() ||
          p.tokens[close + 1].word != Word::DotDot)
        return read_enumeration(p);
      break;
    }
    default:
      if (structured_words.has(w)) return read_structured_type(p, first);
      break;
  }
  if ((at_name(p) || at(p, Word::Const)) && at_reference(p)) return read_type_reference(p);
  // A subrange, or a type written as an expression.
  NodeId type = p.arena.add_node(NodeKind::Type, peek(p));
  if (std::optional<NodeId> value = read_range(p)) {
    p.arena.set_attribute(type, AttributeKey::Name, join_token_texts(p, Run{first, here(p)}));
    p.arena.add_child(type, *value);
  } else {
    note_missing(p, "type");
  }
  finish(p, type, first);
  return type;
}

// property: ['class'] 'property' name ['[' parameters ']'] [':' type] {specifier}
//           {hint} ';' ['default' ';']
NodeId read_property(Parser& p, std::size_t first, std::optional<NodeId> attributes) {
  const bool is_class = accept(p, Word::Class);
  NodeId property = take_node(p, NodeKind::Property);
  if (is_class) p.arena.set_attribute(property, AttributeKey::Class, "true");
  add_if(p, property, attributes);
  if (peek(p).is_word()) p.arena.set_attribute(property, AttributeKey::Name, name_text(p, next_token(p)));
  else note_missing(p, "name");
  if (at(p, Word::OpenSquare)) p.arena.add_child(property, read_parameters(p, Word::CloseSquare));
  if (accept(p, Word::Colon)) p.arena.add_child(property, read_type(p));
  auto specifier = [&](NodeKind kind, std::string_view k, bool with_value) {
    const std::size_t spec_first = here(p);
    NodeId node = take_node(p, kind);
    if (!k.empty()) p.arena.set_attribute(node, AttributeKey::Kind, k);
    if (with_value && !at(p, Word::Semicolon)) add_if(p, node, read_expression(p));
    finish(p, node, spec_first);
    p.arena.add_child(property, node);
  };
  for (;;) {
    if (peek_is(p, 1, Word::Colon)) break;
    switch (peek(p).word) {
      case Word::Read: specifier(NodeKind::Read, {}, true); continue;
      case Word::Write: specifier(NodeKind::Write, {}, true); continue;
      case Word::Index: specifier(NodeKind::Index, {}, true); continue;
      case Word::Stored: specifier(NodeKind::Stored, {}, true); continue;
      case Word::Default: specifier(NodeKind::Default, {}, true); continue;
      case Word::NoDefault: specifier(NodeKind::Default, "nodefault", false); continue;
      case Word::DispId: specifier(NodeKind::Dispid, {}, true); continue;
      case Word::ReadOnly: specifier(NodeKind::Unknown, "readonly", false); continue;
      case Word::WriteOnly: specifier(NodeKind::Unknown, "writeonly", false); continue;
      case Word::Add: specifier(NodeKind::Unknown, "add", true); continue;
      case Word::Remove: specifier(NodeKind::Unknown, "remove", true); continue;
      case Word::Implements: {
        const std::size_t spec_first = here(p);
        NodeId node = take_node(p, NodeKind::Implements);
        while (peek(p).is_word()) {
          p.arena.add_child(node, read_type_reference(p));
          if (!accept(p, Word::Comma)) break;
        }
        finish(p, node, spec_first);
        p.arena.add_child(property, node);
        continue;
      }
      default: break;
    }
    if (!at_hint(p)) break;
    read_hints(p, property);
  }
  if (!at(p, Word::Semicolon) && !at(p, Word::End) && !at_eof(p))
    skip_until(p, member_resume, DiagnosticKind::SkippedInType);
  expect(p, Word::Semicolon);
  if (at_hint(p)) {
    // Hints after the ";": property X: T read F; deprecated;
    read_hints(p, property);
    expect(p, Word::Semicolon);
  }
  if (at(p, Word::Default) && peek_is(p, 1, Word::Semicolon)) {
    p.arena.add_child(property, take_node(p, NodeKind::Default));
    next_token(p);
  }
  finish(p, property, first);
  return property;
}

}  // namespace tarnwick::complete
