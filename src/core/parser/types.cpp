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
constexpr std::string_view type_reference_hint_words[] = {
    ";", ")", ",", "end", "of", ":", "=", "]",
    "deprecated", "experimental", "library", "platform"};
constexpr std::string_view sized_string_words[] = {";", ")", ",", "end", "of", ":", "="};
constexpr std::string_view sized_string_hint_words[] = {
    ";", ")", ",", "end", "of", ":", "=",
    "deprecated", "experimental", "library", "platform"};
constexpr std::string_view enumeration_value_words[] = {",", ")"};
constexpr std::string_view dimension_words[] = {",", "]"};
constexpr std::string_view return_type_words[] = {";"};

StopWords reference_stops(bool declared_type) {
  return declared_type ? StopWords(type_reference_hint_words) : type_reference_stop_words;
}

StopWords sized_string_stops(bool declared_type) {
  return declared_type ? StopWords(sized_string_hint_words) : StopWords(sized_string_words);
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
  std::string_view word;
};

// Takes the current token, which the caller knows to exist, and answers it.
const Token& take_current(Parser& p) {
  if (p.at_end()) next_token(p);  // a fault of the calling rule
  return p.tokens[p.position++];
}

bool is_routine_word(std::string_view lower) {
  return std::find(std::begin(routine_words), std::end(routine_words), lower) != std::end(routine_words);
}

[[gnu::noinline]] Shape classify(const Parser& p) {
  if (p.at_end()) return {Form::Plain, {}};
  const std::string_view text = p.text(peek(p));
  const std::string w = unicode::to_lower(text);
  if (w == "type" && peek_lower_is(p, 1, "helper")) return {Form::Helper, {}};
  for (std::string_view s : {"class", "record", "object", "interface", "dispinterface"})
    if (w == s) return {Form::Structured, s};
  if (text == "(") return {Form::Enumeration, {}};
  if (w == "set") return {Form::Set, {}};
  if (w == "array") return {Form::Array, {}};
  if (w == "file") return {Form::File, {}};
  if (is_routine_word(w)) return {Form::Procedural, {}};
  if (w == "reference" && peek_lower_is(p, 1, "to")) {
    std::optional<std::string> after = peek_lower(p, 2);
    if (after && is_routine_word(*after)) return {Form::Reference, {}};
  }
  if (text == "^") return {Form::Pointer, {}};
  if (w == "string" && p.text(peek_at(p, 1)) == "[") return {Form::SizedString, {}};
  return {Form::Plain, {}};
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
  p.position += 2;
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  p.arena.set_attribute(node, AttributeKey::Type, "helper");
  accept(p, "for");
  p.arena.add_child(node, parse_helper_target(p));
  if (current_text_is(p, ";") || current_is(p, "end")) return node;
  parse_type_members(p, node);
  return node;
}

// enumeration: '(' name ['=' value] {',' name ['=' value]} ')'
// A value is kept as the text of its tokens, whatever they are.
[[gnu::noinline]] NodeId parse_enumeration(Parser& p) {
  const Token& open = take_current(p);
  NodeId node = p.arena.add_node(NodeKind::Type, open);
  p.arena.set_attribute(node, AttributeKey::Name, "enum");
  while (!p.at_end() && !current_text_is(p, ")")) {
    const std::size_t element_start = p.position;
    const Token& element = peek(p);
    std::string_view name = take_name(p);
    if (name.empty()) {
      ++p.position;
      continue;
    }
    NodeId enum_node = p.arena.add_node(NodeKind::Enum, element);
    p.arena.add_child(enum_node, p.arena.add_value_node(NodeKind::Name, element, name));
    if (accept(p, "=") || accept(p, ":=")) {
      Run value = scan_until(p, enumeration_value_words);
      if (!value.empty()) {
        p.position += value.size();
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
    accept(p, ",");
    ensure_progress(p, element_start);
  }
  accept(p, ")");
  return node;
}

// index-list: '[' index {',' index} ']'
// Each index is kept as text; its positions are those of its tokens with
// repeated neighbours dropped.
[[gnu::noinline]] NodeId parse_bounds(Parser& p) {
  NodeId bounds = p.arena.add_node(NodeKind::Bounds, take_current(p));
  while (!p.at_end() && !current_text_is(p, "]")) {
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
    p.position += index.size();
    if (p.at_end() || current_text_is(p, "]")) break;
    accept(p, ",");
  }
  accept(p, "]");
  return bounds;
}

// structured-type: ('class' | 'record' | 'object' | 'interface' | 'dispinterface')
//   [('class' | 'record') 'helper' 'for' name] ['abstract']
//   ['(' ancestor {',' ancestor} ')'] [members 'end']
//   | 'class' 'of' type-reference
// "object" is recorded as "record". A ";" right after the heading means a
// forward declaration (or a class with ancestors only): no members are read.
[[gnu::noinline]] NodeId parse_structured_type(Parser& p, const Token& start,
                                               std::string_view word, bool declared_type) {
  ++p.position;
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  const bool is_class = word == "class";
  p.arena.set_attribute(node, AttributeKey::Type,
                        word == "object" ? std::string_view("record") : word);
  if (is_class && accept(p, "of")) {
    p.arena.set_attribute(node, AttributeKey::Type, "classref");
    p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
    return node;
  }
  if ((is_class || word == "record") && accept(p, "helper")) {
    accept(p, "for");
    p.arena.add_child(node, parse_helper_target(p));
  }
  if (accept(p, "abstract")) p.arena.set_attribute(node, AttributeKey::Abstract, "true");
  if (accept(p, "(")) {
    while (!p.at_end() && !current_text_is(p, ")")) {
      p.arena.add_child(node, parse_type_reference(p, peek(p), type_reference_stop_words));
      if (!accept(p, ",")) break;
    }
    accept(p, ")");
  }
  if (current_text_is(p, ";")) return node;
  parse_type_members(p, node);
  return node;
}

// set-type: 'set' 'of' type-reference
[[gnu::noinline]] NodeId parse_set_type(Parser& p, const Token& start, bool declared_type) {
  ++p.position;
  accept(p, "of");
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  p.arena.set_attribute(node, AttributeKey::Type, "set");
  p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
  return node;
}

// array-type: 'array' ['[' index {',' index} ']'] 'of' type
// The element type may itself be packed, so it is read with `parse_type`.
[[gnu::noinline]] NodeId parse_array_type(Parser& p) {
  NodeId node = p.arena.add_node(NodeKind::Type, take_current(p));
  p.arena.set_attribute(node, AttributeKey::Type, "array");
  if (current_text_is(p, "[")) p.arena.add_child(node, parse_bounds(p));
  accept(p, "of");
  p.arena.add_child(node, parse_type(p));
  return node;
}

// file-type: 'file' ['of' type-reference]
[[gnu::noinline]] NodeId parse_file_type(Parser& p, bool declared_type) {
  NodeId node = p.arena.add_node(NodeKind::Type, take_current(p));
  p.arena.set_attribute(node, AttributeKey::Type, "file");
  if (accept(p, "of"))
    p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
  return node;
}

// reference-type: 'reference' 'to' procedural-type
[[gnu::noinline]] NodeId parse_reference_type(Parser& p, const Token& start) {
  p.position += 2;
  NodeId procedural = parse_procedural_type(p, peek(p));
  p.arena.set_attribute(procedural, AttributeKey::Kind, "reference");
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  p.arena.set_attribute(node, AttributeKey::Type, "reference");
  p.arena.add_child(node, procedural);
  return node;
}

// pointer-type: '^' type-reference
[[gnu::noinline]] NodeId parse_pointer_type(Parser& p, bool declared_type) {
  NodeId node = p.arena.add_node(NodeKind::Type, take_current(p));
  p.arena.set_attribute(node, AttributeKey::Type, "pointer");
  p.arena.add_child(node, parse_type_reference(p, peek(p), reference_stops(declared_type)));
  return node;
}

// Sets `type` to the lower-case routine word; true for "function".
[[gnu::noinline]] bool set_routine_type(Parser& p, NodeId node, const Token& word) {
  const std::string lower = unicode::to_lower(p.text(word));
  p.arena.set_attribute(node, AttributeKey::Type, lower);
  return lower == "function";
}

// The return type of a procedural type is read up to ";", so a trailing
// "of object" or "is nested" lands in its name; it is cut off here and
// answered as the procedural kind ("object" or "nested"), or empty.
[[gnu::noinline]] std::string_view cut_procedural_suffix(Parser& p, NodeId type) {
  std::optional<std::string_view> name = p.arena.attribute(type, AttributeKey::Name);
  if (!name) return {};
  const std::string lower = unicode::to_lower(*name);
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
    if (lower.size() < s.text.size() || !lower.ends_with(s.text)) continue;
    // The suffix is ASCII and so has the same length in the name as written.
    std::string_view kept = name->substr(0, name->size() - std::min(name->size(), s.text.size()));
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
  if (!p.at_end() && (current_is(p, "packed") || current_is(p, "bitpacked"))) {
    ++p.position;
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
NodeId parse_type_reference(Parser& p, const Token& start, StopWords stop_words) {
  const Run run = scan_until(p, stop_words);
  p.position += run.size();
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  if (run.empty()) return node;
  std::string joined;
  std::string_view text;
  if (unicode::ascii_iequals(p.text(p.tokens[run.begin]), "specialize")) {
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
  ++p.position;
  NodeId node = p.arena.add_node(NodeKind::Type, start);
  const bool is_function = set_routine_type(p, node, start);
  if (current_text_is(p, "(")) p.arena.add_child(node, parse_parameters(p));
  if (is_function && accept(p, ":")) {
    const Token& result = peek(p);
    NodeId return_type = p.arena.add_node(NodeKind::ReturnType, result);
    NodeId type = parse_type_reference(p, result, return_type_words);
    std::string_view kind = cut_procedural_suffix(p, type);
    if (!kind.empty()) p.arena.set_attribute(node, AttributeKey::Kind, kind);
    p.arena.add_child(return_type, type);
    p.arena.add_child(node, return_type);
  }
  if (accept(p, "of") && accept(p, "object")) p.arena.set_attribute(node, AttributeKey::Kind, "object");
  accept(p, ";");
  return node;
}

}  // namespace tarnwick
