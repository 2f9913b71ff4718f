// Bodies of classes, records, objects, interfaces and helpers: the member
// loop with its visibility sections, fields (several names may share one
// type), GUIDs, attribute lists, and the variant part of a record.
#include "parser/parser.h"

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// Directive words a field of procedural type may carry after its type: the
// calling conventions of routine headings, "cblock", "extdecl" and "varargs".
constexpr WordSet field_directive_words =
    calling_conventions | WordSet{Word::CBlock, Word::ExtDecl, Word::VarArgs};

// A routine heading starts here: a routine word, or "class" and a routine word.
bool at_routine(const Parser& p) {
  return is_routine_word_at(p, 0) || (at(p, Word::Class) && is_routine_word_at(p, 1));
}

void attach_all(Parser& p, NodeId parent, const std::vector<NodeId>& children) {
  for (NodeId child : children) p.arena.add_child(parent, child);
}

// A field list stops before a section word, a routine heading or the end of
// the body.
bool ends_field_list(const Parser& p) {
  if (at(p, Word::Semicolon) || at(p, Word::End)) return true;
  if (peek(p).kind != TokenKind::Keyword) return false;
  if (at_one_of(p, section_end_words)) return true;
  return at(p, Word::Class) && is_routine_word_at(p, 1);
}

// Sets a directive attribute on a field and on the field's last child. That
// child (the field's type, or its attribute list) may stand under the other
// fields of the list too: the field takes a copy of its own first.
void set_on_field_and_last_child(Parser& p, NodeId field, AttributeKey key,
                                 std::string_view value) {
  p.arena.set_attribute(field, key, value);
  if (p.arena.last_child(field)) p.arena.set_attribute(p.arena.own_last_child(field), key, value);
}

// guid: '[' 'string' ']'
[[gnu::noinline]] void parse_guid(Parser& p, NodeId type_node) {
  Token open = next_token(p);
  Token text = next_token(p);
  NodeId guid = p.arena.add_node(NodeKind::Guid, open);
  p.arena.set_attribute(guid, AttributeKey::Name, unquote(p.text(text)));
  p.arena.add_child(type_node, guid);
  accept(p, Word::CloseSquare);
}

// variant-labels: label {',' label}
// Every label becomes a CaseLabel holding its text as a numeric literal.
[[gnu::noinline]] NodeId parse_variant_labels(Parser& p, Run labels) {
  NodeId node = p.arena.add_node(NodeKind::CaseLabels, p.tokens[labels.begin]);
  for (Run group : split_by_comma(p, labels)) {
    const Token& first = p.tokens[group.begin];
    NodeId label = p.arena.add_node(NodeKind::CaseLabel, first);
    NodeId literal = p.arena.add_value_node(NodeKind::Literal, first, join_token_texts(p, group));
    p.arena.set_attribute(literal, AttributeKey::Type, "numeric");
    p.arena.add_child(label, literal);
    p.arena.add_child(node, label);
  }
  return node;
}

// variant-tag: [name ':'] type
// Only the type is kept; it goes to the record's Type node.
[[gnu::noinline]] void parse_variant_tag(Parser& p, NodeId type_node, Run head) {
  Run tag = head;
  for (std::size_t i = head.begin; i < head.end; ++i) {
    if (p.tokens[i].word == Word::Colon) {
      tag.begin = i + 1;
      break;
    }
  }
  if (tag.empty()) return;
  NodeId node = p.arena.add_node(NodeKind::Type, p.tokens[tag.begin]);
  std::string text = join_token_texts(p, tag);
  p.arena.set_attribute(node, AttributeKey::Name, unicode::trim_white_space(text));
  std::vector<SourcePosition> positions = positions_of(p, tag);
  p.arena.set_positions(node, positions);
  p.arena.add_child(type_node, node);
}

// What the member loop does at the current token.
enum class Member : std::uint8_t {
  Leave,          // "end", a unit section word, the end of the tokens
  StrictSection,  // 'strict' ('private' | 'protected')
  Var,            // 'var'
  VariantPart,    // 'case'
  ClassConst,     // 'class' 'const'
  ClassVar,       // 'class' 'var'
  Section,        // 'private' | 'protected' | 'public' | 'published'
  Guid,           // '[' 'string'
  Attributes,     // '['
  Property,       // 'property'
  ClassProperty,  // 'class' 'property'
  Routine,        // routine word, or 'class' and a routine word
  ConstSection,   // 'const'
  TypeSection,    // 'type'
  Fields,         // any other word
  Skip,           // anything else
};

// Each word is told by its own checks; a word they do not place starts a
// field list, and anything else is skipped. Words of the keyword set are
// `keyword` tokens whatever way they are written.
[[gnu::noinline]] Member classify_member(const Parser& p) {
  if (p.at_end()) return Member::Leave;
  switch (peek(p).word) {
    case Word::End:
    // The words that close a structured body before its "end": unit sections.
    case Word::Exports:
    case Word::Finalization:
    case Word::Implementation:
    case Word::Initialization:
      return Member::Leave;
    case Word::Strict:
      if (peek_is(p, 1, Word::Private) || peek_is(p, 1, Word::Protected))
        return Member::StrictSection;
      break;
    case Word::Var:
      return Member::Var;
    case Word::Case:
      return Member::VariantPart;
    case Word::Class:
      if (peek_is(p, 1, Word::Const)) return Member::ClassConst;
      if (peek_is(p, 1, Word::Var)) return Member::ClassVar;
      if (peek_is(p, 1, Word::Property)) return Member::ClassProperty;
      if (is_routine_word_at(p, 1)) return Member::Routine;
      break;
    case Word::Public:
    case Word::Private:
    case Word::Protected:
    case Word::Published:
      return Member::Section;
    case Word::OpenSquare:
      return peek_at(p, 1).kind == TokenKind::String ? Member::Guid : Member::Attributes;
    case Word::Property:
      return Member::Property;
    case Word::Function:
    case Word::Operator:
    case Word::Procedure:
    case Word::Destructor:
    case Word::Constructor:
      return Member::Routine;
    case Word::Const:
      return Member::ConstSection;
    case Word::Type:
      return Member::TypeSection;
    default:
      break;
  }
  return peek(p).is_word() ? Member::Fields : Member::Skip;
}

// visibility: ['strict'] ('private' | 'protected') | 'public' | 'published'
// The section node starts at the first word and becomes the container.
[[gnu::noinline]] NodeId open_section(Parser& p, NodeId type_node) {
  const Token& first = peek(p);
  NodeKind kind = NodeKind::Public;
  std::size_t words = 1;
  switch (first.word) {
    case Word::Strict:
      kind = peek_is(p, 1, Word::Private) ? NodeKind::StrictPrivate : NodeKind::StrictProtected;
      words = 2;
      break;
    case Word::Private:
      kind = NodeKind::Private;
      break;
    case Word::Protected:
      kind = NodeKind::Protected;
      break;
    case Word::Published:
      kind = NodeKind::Published;
      break;
    default:
      break;
  }
  NodeId section = p.arena.add_node(kind, first);
  next_token(p);
  if (words == 2) next_token(p);
  p.arena.add_child(type_node, section);
  return section;
}

// Attaches an attribute list as the last child of a member.
NodeId with_attributes(Parser& p, NodeId member, NodeId attributes) {
  keep_attributes(p, attributes);
  p.arena.add_child(member, attributes);
  return member;
}

// field-head: name, answered as a Field holding its Name; nothing when the
// field list ends here.
[[gnu::noinline]] std::optional<NodeId> start_field(Parser& p) {
  if (ends_field_list(p)) return std::nullopt;
  const Token& first = peek(p);
  std::string_view name = take_name(p);
  if (name.empty()) return std::nullopt;
  NodeId field = p.arena.add_node(NodeKind::Field, first);
  p.arena.add_child(field, p.arena.add_value_node(NodeKind::Name, first, name));
  return field;
}

// Gives the type to the pending fields (those from `pending_from` on), then
// to the field that was just read.
[[gnu::noinline]] void give_type(Parser& p, const std::vector<NodeId>& fields,
                                 std::size_t pending_from, NodeId field, NodeId type) {
  for (std::size_t i = pending_from; i < fields.size(); ++i) p.arena.add_child(fields[i], type);
  p.arena.add_child(field, type);
}

// field-tail: ['=' value] {directive [';']}
// The initial value is dropped. Calling conventions and "varargs" go to the
// field and to its last child; "cblock" is read and recorded nowhere.
[[gnu::noinline]] void finish_field(Parser& p, NodeId field, bool class_flag,
                                    std::optional<NodeId> attributes) {
  if (accept(p, Word::Equal)) consume(p, scan_until(p, {Word::Semicolon}));
  std::string_view convention;
  bool varargs = false;
  while (!p.at_end() && at_one_of(p, field_directive_words)) {
    const Word directive = next_token(p).word;
    if (directive == Word::VarArgs) {
      varargs = true;
    } else if (directive != Word::CBlock) {
      convention = word_text(directive);
    }
    accept(p, Word::Semicolon);
  }
  if (class_flag) p.arena.set_attribute(field, AttributeKey::Class, "true");
  if (attributes) {
    keep_attributes(p, *attributes);
    p.arena.add_child(field, *attributes);
  }
  if (!convention.empty())
    set_on_field_and_last_child(p, field, AttributeKey::CallingConvention, convention);
  if (varargs) set_on_field_and_last_child(p, field, AttributeKey::VarArgs, "true");
}

// variant-head: 'case' [tag ':'] type 'of'
[[gnu::noinline]] void parse_variant_head(Parser& p, NodeId type_node) {
  next_token(p);  // 'case'
  Run head = scan_until(p, {Word::Of});
  consume(p, head);
  accept(p, Word::Of);
  parse_variant_tag(p, type_node, head);
}

// Reads one variant's labels and the ":" after them; false when there are
// none, after stepping over a ";".
[[gnu::noinline]] bool read_variant_labels(Parser& p, NodeId type_node) {
  Run labels = scan_until(p, {Word::Colon, Word::Semicolon, Word::End, Word::CloseRound});
  if (labels.empty()) {
    accept(p, Word::Semicolon);
    return false;
  }
  consume(p, labels);
  p.arena.add_child(type_node, parse_variant_labels(p, labels));
  accept(p, Word::Colon);
  return true;
}

}  // namespace

// The member rules below sit on the path of nested types (a field of record
// type, a nested variant part), so they keep few locals and leave the work
// that needs more to the helpers above.

// structured-body: { visibility | 'class' 'var' | 'var' | variant-part | guid
//                    | [attributes] (property | method | field-declaration)
//                    | const-section | type-section } 'end'
// Members go to the current container: the Type node until a visibility
// section starts, then that section's node. 'class var' marks the fields
// after it until 'var', a section or a nested const or type section.
void parse_type_members(Parser& p, NodeId type_node) {
  NodeId container = type_node;
  bool class_members = false;
  // A pass that reads nothing (a word that ends a field list but starts no
  // member here, such as "begin" or "uses") steps over one token.
  for (Progress pass(p, DiagnosticKind::SkippedInType); pass.next();) {
    switch (classify_member(p)) {
      case Member::Leave:
        accept(p, Word::End);
        return;
      case Member::StrictSection:
      case Member::Section:
        container = open_section(p, type_node);
        class_members = false;
        break;
      case Member::Var:
        next_token(p);
        class_members = false;
        break;
      case Member::VariantPart:
        parse_variant_part(p, type_node);
        break;
      case Member::ClassConst:
        // Read as a field named "class" (marked only in a public section);
        // the constants after it are skipped through the next ";".
        attach_all(p, container,
                   parse_field_declaration(p, p.arena.kind(container) == NodeKind::Public,
                                           std::nullopt));
        skip_past(p, Word::Semicolon, DiagnosticKind::SkippedInType);
        class_members = false;
        break;
      case Member::ClassVar:
        next_token(p);
        next_token(p);
        class_members = true;
        break;
      case Member::Guid:
        parse_guid(p, type_node);
        break;
      case Member::Attributes: {
        const NodeId attributes = parse_attributes(p);
        if (at(p, Word::Property)) {
          p.arena.add_child(container, with_attributes(p, parse_property(p), attributes));
        } else if (at_routine(p)) {
          p.arena.add_child(container, with_attributes(p, parse_routine(p, false), attributes));
        } else if (peek(p).is_word()) {
          attach_all(p, container, parse_field_declaration(p, class_members, attributes));
        }
        // Before anything else the attribute list belongs to nothing and is dropped.
        break;
      }
      case Member::Property:
        p.arena.add_child(container, parse_property(p));
        break;
      case Member::ClassProperty: {
        next_token(p);  // 'class'
        const NodeId property = parse_property(p);
        p.arena.set_attribute(property, AttributeKey::Class, "true");
        p.arena.add_child(container, property);
        break;
      }
      case Member::Routine:
        p.arena.add_child(container, parse_routine(p, false));
        break;
      case Member::ConstSection:
        p.arena.add_child(container, parse_const_section(p));
        class_members = false;
        break;
      case Member::TypeSection:
        p.arena.add_child(container, parse_type_section(p, true));
        class_members = false;
        break;
      case Member::Fields: {
        // 'automated' is read as a field named so; the declaration after it
        // is skipped through the next ";".
        const bool automated = at(p, Word::Automated);
        attach_all(p, container, parse_field_declaration(p, class_members, std::nullopt));
        if (automated) skip_past(p, Word::Semicolon, DiagnosticKind::SkippedInType);
        break;
      }
      case Member::Skip:
        skip_token(p, DiagnosticKind::SkippedInType);  // ";" after a member, stray symbols
        break;
    }
  }
}

// field-declaration: name {',' name} ':' type ['=' value] {directive [';']}
// Names before the ':' are pending and get the type parsed after it too; the
// pending ones are always the last fields of the list.
std::vector<NodeId> parse_field_declaration(Parser& p, bool class_flag,
                                            std::optional<NodeId> attributes) {
  std::vector<NodeId> fields;
  std::size_t pending_from = 0;
  for (;;) {
    const std::optional<NodeId> field = start_field(p);
    if (!field) break;
    if (accept(p, Word::Colon)) {
      give_type(p, fields, pending_from, *field, parse_type(p));
      pending_from = fields.size() + 1;
    }
    finish_field(p, *field, class_flag, attributes);
    fields.push_back(*field);
    if (!accept(p, Word::Comma)) break;
  }
  return fields;
}

// variant-part: 'case' [tag ':'] type 'of' { labels ':' ['(' variant-fields ')'] [';'] }
// variant-fields: { ['[' attributes ']'] (field-declaration | variant-part) [';'] }
// The variant part has no node of its own: the tag type, the labels and the
// fields all go to the record's Type node, nested variant parts included.
// Since a nested variant part adds no level to the tree, the nesting is kept
// on a list of open parts rather than on the stack: the innermost is read
// first, and when it ends its enclosing field list goes on.
void parse_variant_part(Parser& p, NodeId type_node) {
  struct Open {
    bool nested;      // inside the "(" of an enclosing variant
    bool in_fields;   // reading the fields of one variant, after its "("
    Progress variants;                // the passes over the part's variants
    std::optional<Progress> fields;   // the passes over the current variant's fields
  };
  constexpr DiagnosticKind kind = DiagnosticKind::SkippedInType;
  std::vector<Open> open;
  parse_variant_head(p, type_node);
  open.push_back(Open{false, false, Progress(p, kind), std::nullopt});
  while (!open.empty()) {
    Open& v = open.back();
    if (!v.in_fields) {
      v.variants.next();
      if (p.at_end() || at(p, Word::End) || (v.nested && at(p, Word::CloseRound))) {
        open.pop_back();
        // The end of the field of the enclosing variant that held this part.
        if (!open.empty()) accept(p, Word::Semicolon);
        continue;
      }
      if (!read_variant_labels(p, type_node)) continue;
      if (accept(p, Word::OpenRound)) {
        v.in_fields = true;
        v.fields.emplace(p, kind);
      } else {
        accept(p, Word::Semicolon);
      }
      continue;
    }
    v.fields->next();
    if (p.at_end() || at(p, Word::CloseRound)) {
      accept(p, Word::CloseRound);
      v.in_fields = false;
      accept(p, Word::Semicolon);
      continue;
    }
    std::optional<NodeId> attributes;
    if (at(p, Word::OpenSquare)) {
      attributes = parse_attributes(p);
      if (p.at_end()) {
        v.in_fields = false;
        continue;
      }
    }
    if (at(p, Word::Case)) {
      // A nested variant part; attributes before it are dropped.
      parse_variant_head(p, type_node);
      open.push_back(Open{true, false, Progress(p, kind), std::nullopt});
      continue;
    }
    if (peek(p).is_word()) {
      attach_all(p, type_node, parse_field_declaration(p, false, attributes));
    } else {
      skip_token(p, kind);
    }
    accept(p, Word::Semicolon);
  }
}

}  // namespace tarnwick
