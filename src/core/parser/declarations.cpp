// Declaration sections: const and resourcestring, var and threadvar, type.
// Each rule consumes its section word, builds one section node and reads
// items until a word shows that the section is over; that word is left for
// the caller.
#include "parser/parser.h"

#include <vector>

#include "unicode/unicode.h"

namespace tarnwick {
namespace {

// Keywords that end a type section.
constexpr WordSet type_section_end_keywords =
    WordSet{Word::End,       Word::Begin,   Word::Interface, Word::Finalization,
            Word::Implementation, Word::Initialization, Word::Var, Word::Asm,
            Word::Uses,      Word::Type,    Word::Const,     Word::Label,
            Word::Class,     Word::Exports, Word::ThreadVar, Word::ResourceString} |
    routine_words;

// Words that end a type section inside a class or record body, whatever
// their token kind: the member loop reads them.
constexpr WordSet class_body_end_words{Word::Class,    Word::Public,    Word::Strict,
                                       Word::Private,  Word::Property,  Word::Protected,
                                       Word::Published};


// The calling conventions of procedural types: those of routine headings,
// "cblock" and "extdecl".
constexpr WordSet type_calling_conventions =
    calling_conventions | WordSet{Word::CBlock, Word::ExtDecl};

// The test at the start of every const and var item: the list is exhausted,
// or the current token is ";" or "end", or a keyword that starts something
// else (a section, a routine, or "class" before a routine word).
bool const_or_var_section_ends(const Parser& p) {
  if (p.at_end()) return true;
  if (at(p, Word::Semicolon) || at(p, Word::End)) return true;
  if (peek(p).kind != TokenKind::Keyword) return false;
  if (at_one_of(p, section_end_words)) return true;
  return at(p, Word::Class) && is_routine_word_at(p, 1);
}

// The item-start test of a type section.
bool type_section_ends(const Parser& p, bool class_body) {
  if (peek(p).kind == TokenKind::Keyword && at_one_of(p, type_section_end_keywords))
    return true;
  return class_body && at_one_of(p, class_body_end_words);
}

}  // namespace

// const-section: ('const' | 'resourcestring') { name [':' type] ['=' value] ';' }
NodeId parse_const_section(Parser& p) {
  Token section_word = next_token(p);
  NodeId section = p.arena.add_node(NodeKind::Constants, section_word);
  p.arena.set_attribute(section, AttributeKey::Kind, word_text(section_word.word));
  for (Progress pass(p, DiagnosticKind::SkippedInDeclaration);
       pass.next() && !const_or_var_section_ends(p);) {
    const Token first = peek(p);
    std::string_view name = take_name(p);
    if (name.empty()) {
      skip_token(p, DiagnosticKind::SkippedInDeclaration);  // not a name
      continue;
    }
    NodeId constant = p.arena.add_node(NodeKind::Constant, first);
    p.arena.add_child(constant, p.arena.add_value_node(NodeKind::Name, first, name));
    if (accept(p, Word::Colon)) p.arena.add_child(constant, parse_type(p));
    if (accept(p, Word::Equal)) {
      Run value = scan_until(p, {Word::Semicolon});
      if (!value.empty()) {
        consume(p, value);
        // The value node starts at the constant's name, not at the value.
        NodeId value_node = p.arena.add_node(NodeKind::Value, first);
        if (std::optional<NodeId> e = parse_expression_unwrapped(p, value))
          p.arena.add_child(value_node, *e);
        p.arena.add_child(constant, value_node);
      }
    }
    p.arena.add_child(section, constant);
    accept(p, Word::Semicolon);
  }
  return section;
}

// var-section: ('var' | 'threadvar') { name {',' name} [':' type] ['=' value] ';' }
// Every name of a list has the one parsed type under it; initial values leave
// no node.
NodeId parse_var_section(Parser& p) {
  Token section_word = next_token(p);
  NodeId section = p.arena.add_node(NodeKind::Variables, section_word);
  p.arena.set_attribute(section, AttributeKey::Kind, word_text(section_word.word));
  std::vector<std::size_t> names;  // token indices of the item's names
  for (Progress pass(p, DiagnosticKind::SkippedInDeclaration);
       pass.next() && !const_or_var_section_ends(p);) {
    names.clear();
    do {
      while (peek(p).is_word()) {
        names.push_back(p.position());
        next_token(p);
      }
    } while (accept(p, Word::Comma));
    if (names.empty()) {
      skip_token(p, DiagnosticKind::SkippedInDeclaration);  // not a name
      continue;
    }
    std::optional<NodeId> type;
    if (accept(p, Word::Colon)) {
      if (accept(p, Word::Equal)) consume(p, scan_until(p, {Word::Semicolon, Word::Comma}));
      type = parse_type(p);
    } else {
      // No type: the rest of the declaration is not read.
      skip_past(p, Word::Semicolon, DiagnosticKind::SkippedInDeclaration);
    }
    if (accept(p, Word::Equal))
      consume(p, scan_until(p, {Word::Semicolon, Word::Comma}));  // initial value
    for (std::size_t index : names) {
      const Token& name_token = p.tokens[index];
      NodeId variable = p.arena.add_node(NodeKind::Variable, name_token);
      p.arena.add_child(variable,
                        p.arena.add_value_node(NodeKind::Name, name_token, p.text(name_token)));
      if (type) p.arena.add_child(variable, *type);
      p.arena.add_child(section, variable);
    }
    accept(p, Word::Semicolon);
  }
  return section;
}

namespace {

// One item of a type section: [attributes] ['generic'] name [type-params]
// '=' type ... as `parse_type_section` reads it. False at a line without "="
// in a class or record body, which is not a type declaration.
bool parse_type_item(Parser& p, NodeId section, bool class_body) {
  std::optional<NodeId> attributes;
  if (at(p, Word::OpenSquare)) attributes = parse_attributes(p);
  if (!peek(p).is_word()) {
    skip_token(p, DiagnosticKind::SkippedInDeclaration);  // not a name
    return true;
  }
  const bool generic = accept(p, Word::Generic);
  const Token first = peek(p);
  std::string name = parse_dotted_name(p);
  NodeId decl = p.arena.add_node(NodeKind::TypeDecl, first);
  p.arena.set_attribute(decl, AttributeKey::Name, name);
  if (attributes) p.arena.add_child(decl, *attributes);
  if (generic) p.arena.set_attribute(decl, AttributeKey::Kind, "generic");
  const std::size_t children_before = p.arena.child_count(decl);
  parse_generic_params(p, decl);
  // A parameter list closed as "TFoo<T>= ..." ends at the ">=" token, which
  // then stands for the "=" of the declaration.
  const bool has_params = p.arena.child_count(decl) > children_before;
  const bool equals =
      accept(p, Word::Equal) || (has_params && accept(p, Word::GreaterEqual));
  if (!equals) {
    if (class_body) return false;
    skip_token(p, DiagnosticKind::SkippedInDeclaration);  // where the "=" should be
    accept(p, Word::Semicolon);
    if (attributes) keep_attributes(p, *attributes);
    p.arena.add_child(section, decl);
    return true;
  }
  NodeId type = parse_type(p, /*declared_type=*/true);
  if (accept(p, Word::Align)) {
    p.arena.set_attribute(decl, AttributeKey::Align, "align");
    if (peek(p).kind == TokenKind::Number) next_token(p);  // the alignment itself is not kept
  }
  while (at_one_of(p, hint_words)) {
    if (at(p, Word::Deprecated)) {
      parse_deprecated(p, decl);
    } else {
      p.arena.set_attribute(decl, AttributeKey::Kind, word_text(next_token(p).word));
    }
  }
  accept(p, Word::Semicolon);
  for (;;) {
    if (accept(p, Word::Far)) {
      p.arena.set_attribute(decl, AttributeKey::Far, "true");
    } else if (accept(p, Word::Near)) {
      p.arena.set_attribute(decl, AttributeKey::Near, "true");
    } else if (accept(p, Word::VarArgs)) {
      p.arena.set_attribute(decl, AttributeKey::VarArgs, "true");
    } else if (at_one_of(p, type_calling_conventions)) {
      p.arena.set_attribute(decl, AttributeKey::CallingConvention, word_text(next_token(p).word));
    } else {
      break;
    }
    accept(p, Word::Semicolon);
  }
  p.arena.add_child(decl, type);
  if (attributes) keep_attributes(p, *attributes);
  p.arena.add_child(section, decl);
  return true;
}

}  // namespace

// type-section: 'type' { [attributes] ['generic'] name [type-params] '=' type
//                        ['align' [number]] {hint} ';' {directive ';'} }
// Inside a class or record body (`class_body`) the section also ends at a
// visibility word or "class", and at a line without "=", which is left to the
// member loop: the reading of that line is given up, and the member loop
// reads it anew.
NodeId parse_type_section(Parser& p, bool class_body) {
  Token type_word = next_token(p);
  NodeId section = p.arena.add_node(NodeKind::TypeSection, type_word);
  stamp_end(p, section, type_word);
  for (Progress pass(p, DiagnosticKind::SkippedInDeclaration);
       pass.next() && !type_section_ends(p, class_body);) {
    Tentative item(p);
    if (!parse_type_item(p, section, class_body)) break;
    item.commit();
  }
  return section;
}

}  // namespace tarnwick
