// Type definitions: the type after "=" in a type declaration, after ":" in a
// variable, field, parameter or property, and after "of" in an array type.
// Every rule answers one `Type` node whose attributes say what the type is:
// `type` for the type constructors, `name` for a type written as a reference.
//
// Only `parse_type` opens a depth guard: every path on which a type contains
// another type (array elements, fields of structured types, parameters of
// procedural types) comes back through it. The rules on those paths keep
// small frames, so that each level of nesting takes little of the grammar's
// stack: the dispatch enters each form as its last step, and the helpers with
// larger locals are kept out of line.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "parser/parser.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// ---- Stop-word lists --------------------------------------------------------

// A type declaration's hint words end the reference that is read directly for
// the declared type, so the declaration itself reads them as hints.
constexpr WordSet type_reference_hint_words = type_reference_stop_words | hint_words;
constexpr WordSet sized_string_words{Word::Semicolon, Word::CloseRound, Word::Comma, Word::End,
                                     Word::Of,        Word::Colon,      Word::Equal};
constexpr WordSet sized_string_hint_words = sized_string_words | hint_words;
constexpr WordSet enumeration_value_words{Word::Comma, Word::CloseRound};
constexpr WordSet dimension_words{Word::Comma, Word::CloseSquare};
constexpr WordSet return_type_words{Word::Semicolon};

const WordSet& reference_stops(bool declared_type) {
  return declared_type ? type_reference_hint_words : type_reference_stop_words;
}

const WordSet& sized_string_stops(bool declared_type) {
  return declared_type ? sized_string_hint_words : sized_string_words;
}

// ---- Dispatch ---------------------------------------------------------------

enum class Form {
  Helper,
  Structured,
  Enumeration,
  Set,
  Array,
  File,
  Procedural,
  Reference,
  Pointer,
  SizedString,
  Plain,
};

// The form of the type at the current token, with the structured-type word
// ("class", "record", "object", "interface", "dispinterface") when it is one.
struct Shape {
  Form form;
  Word word = Word::None;
};

[[gnu::noinline]] Shape classify(const Parser& p) {
  if (p.at_end()) return {Form::Plain};
  const Word w = peek(p).word;
  switch (w) {
    case Word::Type:
      if (peek_is(p, 1, Word::Helper)) return {Form::Helper};
      break;
    case Word::Class:
    case Word::Record:
    case Word::Object:
    case Word::Interface:
    case Word::DispInterface:
      return {Form::Structured, w};
    case Word::OpenRound:
      return {Form::Enumeration};
    case Word::Set:
      return {Form::Set};
    case Word::Array:
      return {Form::Array};
    case Word::File:
      return {Form::File};
    case Word::Function:
    case Word::Operator:
    case Word::Procedure:
    case Word::Destructor:
    case Word::Constructor:
      return {Form::Procedural};
    case Word::Reference:
      if (peek_is(p, 1, Word::To) && is_routine_word_at(p, 2)) return {Form::Reference};
      break;
    case Word::Caret:
      return {Form::Pointer};
    case Word::String:
      if (peek_is(p, 1, Word::OpenSquare)) return {Form::SizedString};
      break;
    default:
      break;
  }
  return {Form::Plain};
}

// ---- Forms without a nested type --------------------------------------------

// helper-target: dotted-name, kept as the name of a `Type` (also when empty)
[[gnu::noinline]] NodeId parse_helper_target(Parser& p) {
  const Token& target = peek(p);
  NodeId node = p.arena.add_node(NodeKind::Type, target);
  p.arena.set_attribute(node, AttributeKey::Name, parse_dotted_name(p));
  return node;
}

// helper-type: 'type' 'helper' 'for' name [members 'end']
[[gnu::noinline]] NodeId parse_helper_type(Parser& p, const Token& start) {
  next_token(p);  // 'type'
  next_token(p);  // 'helper'
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  p.arena.set_attribute(node, AttributeKey::Type, "helper");
  accept(p, Word::For);
  p.arena.add_child(node, parse_helper_target(p));
  if (at(p, Word::Semicolon) || at(p, Word::End)) return node;
  parse_type_members(p, node);
  return node;
}

// enumeration: '(' name ['=' value] {',' name ['=' value]} ')'
// A value is kept as the text of its tokens, whatever they are.
[[gnu::noinline]] NodeId parse_enumeration(Parser& p) {
  const Token& open = next_token(p);
  NodeId node = p.arena.add_node(NodeKind::Type, open);
  p.arena.set_attribute(node, AttributeKey::Name, "enum");
  for (Progress pass(p, DiagnosticKind::SkippedInList); pass.next() && !at(p, Word::CloseRound);) {
    const Token& element = peek(p);
    std::string_view name = take_name(p);
    if (name.empty()) {
      skip_token(p, DiagnosticKind::SkippedInList);  // not a name
      continue;
    }
    NodeId enum_node = p.arena.add_node(NodeKind::Enum, element);
    p.arena.add_child(enum_node, p.arena.add_value_node(NodeKind::Name, element, name));
    if (accept(p, Word::Equal) || accept(p, Word::Assign)) {
      Run value = scan_until(p, enumeration_value_words);
      if (!value.empty()) {
        consume(p, value);
        const Token& first = p.tokens[value.begin];
        NodeId value_node = p.arena.add_node(NodeKind::Value, first);
        NodeId literal =
            p.arena.add_value_node(NodeKind::Literal, first, join_token_texts(p, value));
        p.arena.set_attribute(literal, AttributeKey::Type, "numeric");
        p.arena.add_child(value_node, literal);
        p.arena.add_child(enum_node, value_node);
      }
    }
    p.arena.add_child(node, enum_node);
    accept(p, Word::Comma);
  }
  accept(p, Word::CloseRound);
  return node;
}

// index-list: '[' index {',' index} ']'
// Each index is kept as text; its positions are those of its tokens with
// repeated neighbours dropped.
[[gnu::noinline]] NodeId parse_bounds(Parser& p) {
  NodeId bounds = p.arena.add_node(NodeKind::Bounds, next_token(p));
  while (!p.at_end() && !at(p, Word::CloseSquare)) {
    const Token& first = peek(p);
    Run index = scan_until(p, dimension_words);
    NodeId dimension =
        p.arena.add_value_node(NodeKind::Dimension, first, join_token_texts(p, index));
    if (!index.empty()) {
      std::vector<SourcePosition> positions = positions_of(p, index);
      positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
      p.arena.set_positions(dimension, positions);
      p.arena.set_end(dimension, positions.back().line, positions.back().col);
    }
    p.arena.add_child(bounds, dimension);
    consume(p, index);
    if (p.at_end() || at(p, Word::CloseSquare)) break;
    accept(p, Word::Comma);
  }
  accept(p, Word::CloseSquare);
  return bounds;
}

// structured-type: ('class' | 'record' | 'object' | 'interface' | 'dispinterface')
//   [('class' | 'record') 'helper' 'for' name] ['abstract']
//   ['(' ancestor {',' ancestor} ')'] [members 'end']
//   | 'class' 'of' type-reference
// "object" is recorded as "record". A ";" right after the heading means a
// forward declaration (or a class with ancestors only): no members are read.
[[gnu::noinline]] NodeId parse_structured_type(Parser& p, const Token& start,
                                               Word word, bool declared_type) {
  next_token(p);
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  const bool is_class = word == Word::Class;
  p.arena.set_attribute(node, AttributeKey::Type,
                        word_text(word == Word::Object ? Word::Record : word));
  if (is_class && accept(p, Word::Of)) {
    p.arena.set_attribute(node, AttributeKey::Type, "classref");
    p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
    return node;
  }
  if ((is_class || word == Word::Record) && accept(p, Word::Helper)) {
    accept(p, Word::For);
    p.arena.add_child(node, parse_helper_target(p));
  }
  if (accept(p, Word::Abstract)) p.arena.set_attribute(node, AttributeKey::Abstract, "true");
  if (accept(p, Word::OpenRound)) {
    while (!p.at_end() && !at(p, Word::CloseRound)) {
      p.arena.add_child(node, parse_type_reference(p, peek(p), type_reference_stop_words));
      if (!accept(p, Word::Comma)) break;
    }
    accept(p, Word::CloseRound);
  }
  if (at(p, Word::Semicolon)) return node;
  parse_type_members(p, node);
  return node;
}

// set-type: 'set' 'of' type-reference
[[gnu::noinline]] NodeId parse_set_type(Parser& p, const Token& start, bool declared_type) {
  next_token(p);
  accept(p, Word::Of);
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  p.arena.set_attribute(node, AttributeKey::Type, "set");
  p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
  return node;
}

// array-type: 'array' ['[' index {',' index} ']'] 'of' type
// The element type may itself be packed, so it is read with `parse_type`.
[[gnu::noinline]] NodeId parse_array_type(Parser& p) {
  NodeId node = p.arena.add_node(NodeKind::Type, next_token(p));
  p.arena.set_attribute(node, AttributeKey::Type, "array");
  if (at(p, Word::OpenSquare)) p.arena.add_child(node, parse_bounds(p));
  accept(p, Word::Of);
  p.arena.add_child(node, parse_type(p));
  return node;
}

// file-type: 'file' ['of' type-reference]
[[gnu::noinline]] NodeId parse_file_type(Parser& p, bool declared_type) {
  NodeId node = p.arena.add_node(NodeKind::Type, next_token(p));
  p.arena.set_attribute(node, AttributeKey::Type, "file");
  if (accept(p, Word::Of))
    p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
  return node;
}

// reference-type: 'reference' 'to' procedural-type
[[gnu::noinline]] NodeId parse_reference_type(Parser& p, const Token& start) {
  next_token(p);  // 'reference'
  next_token(p);  // 'to'
  NodeId procedural = parse_procedural_type(p, peek(p));
  p.arena.set_attribute(procedural, AttributeKey::Kind, "reference");
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  p.arena.set_attribute(node, AttributeKey::Type, "reference");
  p.arena.add_child(node, procedural);
  return node;
}

// pointer-type: '^' type-reference
[[gnu::noinline]] NodeId parse_pointer_type(Parser& p, bool declared_type) {
  NodeId node = p.arena.add_node(NodeKind::Type, next_token(p));
  p.arena.set_attribute(node, AttributeKey::Type, "pointer");
  p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
  return node;
}

// Sets `type` to the lower-case routine word (the procedural form starts at
// one); true for "function".
[[gnu::noinline]] bool set_routine_type(Parser& p, NodeId node, const Token& word) {
  p.arena.set_attribute(node, AttributeKey::Type, word_text(word.word));
  return word.word == Word::Function;
}

// The return type of a procedural type is read up to ";", so a trailing
// "of object" or "is nested" lands in its name; it is cut off here and
// answered as the procedural kind ("object" or "nested"), or empty. The
// suffixes are texts of the joined name, blank or none between the words,
// compared ignoring ASCII case: no character beyond ASCII lowers to one of
// their letters, so that is the name's lower-case form ending with them.
[[gnu::noinline]] std::string_view cut_procedural_suffix(Parser& p, NodeId type) {
  std::optional<std::string_view> name = p.arena.attribute(type, AttributeKey::Name);
  if (!name) return {};
  struct Suffix {
    std::string_view text;
    std::string_view kind;
  };
  constexpr Suffix suffixes[] = {
      {" of object", "object"},
      {"ofobject", "object"},
      {" is nested", "nested"},
      {"isnested", "nested"},
  };
  for (const Suffix& s : suffixes) {
    if (name->size() < s.text.size() ||
        !unicode::ascii_iequals(name->substr(name->size() - s.text.size()), s.text))
      continue;
    std::string_view kept = name->substr(0, name->size() - s.text.size());
    p.arena.set_attribute(type, AttributeKey::Name, kept);
    return s.kind;
  }
  return {};
}

}  // namespace

// ---- Rules ------------------------------------------------------------------

// type: ['packed' | 'bitpacked'] type-definition
NodeId parse_type(Parser& p, bool declared_type) {
  DepthGuard guard(p);
  const Token& first = peek(p);
  if (!p.at_end() && (at(p, Word::Packed) || at(p, Word::BitPacked))) {
    next_token(p);
    NodeId inner = parse_type_definition(p, first, declared_type);
    NodeId node = p.arena.add_node(NodeKind::Type, first);
    p.arena.set_attribute(node, AttributeKey::Type, p.text(first));
    p.arena.add_child(node, inner);
    return node;
  }
  return parse_type_definition(p, first, declared_type);
}

// type-definition: helper-type | structured-type | enumeration | set-type
//   | array-type | file-type | procedural-type | 'reference' 'to' procedural-type
//   | '^' type-reference | sized-string | type-reference
// Each form has its own rule, entered as the last step here, so this
// dispatch leaves no frame of its own on the path of nested types.
NodeId parse_type_definition(Parser& p, const Token& start, bool declared_type) {
  const Shape shape = classify(p);
  switch (shape.form) {
    case Form::Helper:
      return parse_helper_type(p, start);
    case Form::Structured:
      return parse_structured_type(p, start, shape.word, declared_type);
    case Form::Enumeration:
      return parse_enumeration(p);
    case Form::Set:
      return parse_set_type(p, start, declared_type);
    case Form::Array:
      return parse_array_type(p);
    case Form::File:
      return parse_file_type(p, declared_type);
    case Form::Procedural:
      return parse_procedural_type(p, peek(p));
    case Form::Reference:
      return parse_reference_type(p, start);
    case Form::Pointer:
      return parse_pointer_type(p, declared_type);
    case Form::SizedString:
      // sized-string: 'string' '[' length ']', kept whole as a reference
      return parse_type_reference(p, peek(p), sized_string_stops(declared_type));
    case Form::Plain:
      break;
  }
  // Names, qualified names, generic instances, subranges and anything else.
  return parse_type_reference(p, start, reference_stops(declared_type));
}

// type-reference: the tokens up to a stop word, kept as the text of the name.
// "specialize" keeps its blank; any other text is trimmed of white space.
// A named reference spans from its start to the end of its last token.
NodeId parse_type_reference(Parser& p, const Token& start, const WordSet& stop_words) {
  const Run run = scan_until(p, stop_words);
  consume(p, run);
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  if (run.empty()) return node;
  std::string joined;
  std::string_view text;
  if (p.tokens[run.begin].word == Word::Specialize) {
    joined = "specialize ";
    joined += join_token_texts(p, Run{run.begin + 1, run.end});
    text = joined;
  } else {
    joined = join_token_texts(p, run);
    text = unicode::trim_white_space(joined);
  }
  if (text.empty()) return node;
  p.arena.set_attribute(node, AttributeKey::Name, text);
  std::vector<SourcePosition> positions = positions_of(p, run);
  p.arena.set_positions(node, positions);
  p.arena.set_end(node, positions.back().line, positions.back().col);
  return node;
}

// procedural-type: routine-word ['(' parameters ')'] [':' result-type]
//   ['of' 'object'] [';']
// A function's result is read up to ";", and an "of object" or "is nested"
// written after it is cut from its name and kept as the `kind`.
NodeId parse_procedural_type(Parser& p, const Token& start) {
  next_token(p);
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  const bool is_function = set_routine_type(p, node, start);
  if (at(p, Word::OpenRound)) p.arena.add_child(node, parse_parameters(p));
  if (is_function && accept(p, Word::Colon)) {
    const Token& result = peek(p);
    NodeId return_type = p.arena.add_node(NodeKind::ReturnType, result);
    NodeId type = parse_type_reference(p, result, return_type_words);
    std::string_view kind = cut_procedural_suffix(p, type);
    if (!kind.empty()) p.arena.set_attribute(node, AttributeKey::Kind, kind);
    p.arena.add_child(return_type, type);
    p.arena.add_child(node, return_type);
  }
  if (accept(p, Word::Of) && accept(p, Word::Object))
    p.arena.set_attribute(node, AttributeKey::Kind, "object");
  accept(p, Word::Semicolon);
  return node;
}

}  // namespace tarnwick
