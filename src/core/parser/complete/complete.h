// The complete grammar: every construct of the language a node, operators by
// precedence, every node spanning its whole construct (docs/grammar.md is
// its reference). It reads the same token list through the same cursor as
// the grammar of parser.h, and builds in the same arena.
//
// The rules live one file per family, as for the other grammar:
//   units.cpp         file header, sections, uses and exports clauses
//   declarations.cpp  const, var, type and label sections, constant values
//   routines.cpp      routine headings, directives, bodies, parameters,
//                     generic parameters and custom attributes
//   types.cpp         type definitions, structured type bodies, properties
//   statements.cpp    statements and blocks
//   expressions.cpp   expressions by precedence
//
// Spans: a rule notes the index of its first token, makes its node at its
// own token, and closes the span with `finish` once its last token is
// consumed; a node made of parts (an operator and its operands) takes its
// span from them with `span_children`.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "parser/parser.h"

namespace tarnwick::complete {

// The tree of the whole token list; answers the root.
NodeId read_file(Parser& p);

// ---- Spans and nodes ---------------------------------------------------------

// The index of the current token (the end of the list past it).
inline std::size_t here(const Parser& p) { return p.position() < p.tokens.size() ? p.position() : p.tokens.size(); }

// True at the end-of-file token or past it.
inline bool at_eof(const Parser& p) { return p.at_end() || peek(p).kind == TokenKind::Eof; }

// A node of `kind` made at the current token, which is taken.
inline NodeId take_node(Parser& p, NodeKind kind) {
  NodeId node = p.arena.add_node(kind, peek(p));
  next_token(p);
  return node;
}

// Closes the span of `node`: from the token at `first` to the last token
// consumed. A node of a rule that consumed nothing since `first` is empty,
// just after the last token consumed before it.
void finish(Parser& p, NodeId node, std::size_t first);
// The same for a node whose last token lies before `last`, the index of a
// token already read that belongs to what follows it.
void finish_before(Parser& p, NodeId node, std::size_t first, std::size_t last);

// Widens `node` to the start of `from` and the end of `to`, two nodes of the
// arena (the first and last parts of a construct built from its parts).
void span_over(Parser& p, NodeId node, NodeId from, NodeId to);

// Adds `child` to `parent` when there is one.
inline void add_if(Parser& p, NodeId parent, std::optional<NodeId> child) {
  if (child) p.arena.add_child(parent, *child);
}

// A `Name` value node made at the current word, which is taken.
NodeId take_name_node(Parser& p);

// ---- Words -------------------------------------------------------------------

// True when the token is written with an '&': a name, whatever its word.
inline bool escaped(const Token& t) { return t.text_skip != 0; }

// The reserved words: words that never name anything unless escaped.
extern const WordSet reserved_words;

// True when `t` can be a name: an identifier, a keyword that is not
// reserved, or any escaped word.
inline bool is_name(const Token& t) {
  return t.is_word() && (escaped(t) || !reserved_words.has(t.word));
}
inline bool at_name(const Parser& p) { return is_name(peek(p)); }

// The words that start a declaration section or a routine outside a block:
// where recovery inside a statement or a type body stops, so that damage
// there never swallows the declarations after it.
extern const WordSet declaration_starts;

// True at a routine heading: a routine word, or "class" and one.
bool at_routine(const Parser& p);

// ---- Shared rules --------------------------------------------------------------

// declarations.cpp
NodeId read_const_section(Parser& p, bool in_type = false);
NodeId read_var_section(Parser& p);
NodeId read_type_section(Parser& p, bool in_type);
NodeId read_label_section(Parser& p);
// One variable or field declaration (its attribute list, names, type,
// value), the `;` left to the caller.
NodeId read_variable(Parser& p, NodeKind kind, std::optional<NodeId> attributes = std::nullopt);
// A constant of an inline "const" statement, without its ";".
NodeId read_inline_const(Parser& p);
// A constant's value: an expression, or a parenthesised aggregate of values.
std::optional<NodeId> read_constant_value(Parser& p);
// At the top level of a text without header: declarations whose section word
// is in the file that includes the text ("TA = class end;", "Max = 10;"),
// those of one kind in a row as one section; none when no such declaration
// starts here.
std::optional<NodeId> read_headless_declarations(Parser& p);
// Hints after a declaration: "deprecated" (with its message), "platform",
// "library", "experimental", "unimplemented".
void read_hints(Parser& p, NodeId node);
// True at a hint word.
bool at_hint(const Parser& p);
// Where a routine is.
enum class RoutinePlace : std::uint8_t { Interface, Implementation, Type };

// routines.cpp
// `first` is the index of the routine's first token (its attribute list, if
// the caller read one); `attributes` that list.
NodeId read_routine(Parser& p, RoutinePlace place, std::size_t first,
                     std::optional<NodeId> attributes);
NodeId read_parameters(Parser& p, Word close);
// A node of `kind` at the current word, holding the expression after it.
NodeId read_worded_expression(Parser& p, NodeKind kind);
// Free Pascal's modifiers after a variable's ";": cvar, external, public, export.
void read_variable_directives(Parser& p, NodeId variable);
// The declarations and block of a routine or an anonymous method, into `owner`.
void read_routine_body(Parser& p, NodeId owner);
// Generic parameters "<...>" at the current "<". A ">=" that closes them
// stands for the ">" and the "=" after it: `closed_by_equal` says so.
std::optional<NodeId> read_type_params(Parser& p, bool* closed_by_equal = nullptr);
// "[...]" groups before a declaration, in one `Attributes` node.
NodeId read_attributes(Parser& p);

// types.cpp
// The type after "=", ":" or "of". `declared` is true after the "=" of a
// type declaration, where "type T" is a distinct type.
NodeId read_type(Parser& p, bool declared = false);
// A type reference: a dotted name with its type arguments.
NodeId read_type_reference(Parser& p);
// Type arguments "<...>" at the current "<".
NodeId read_type_args(Parser& p);
NodeId read_property(Parser& p, std::size_t first, std::optional<NodeId> attributes);

// statements.cpp
std::optional<NodeId> read_statement(Parser& p);
// "begin ... end" at the current "begin".
NodeId read_block(Parser& p);
// "asm ... end" at the current "asm".
NodeId read_asm_block(Parser& p);
// Statements separated by ";" into `parent`, up to one of `stops` (not
// consumed), a declaration start or the end of the text.
void read_statement_list(Parser& p, NodeId parent, const WordSet& stops);

// expressions.cpp
std::optional<NodeId> read_expression(Parser& p);
// An operand: a primary with its member accesses, calls, indexes and
// dereferences, after any unary operators (the control of a "for").
std::optional<NodeId> read_operand(Parser& p);
// A literal at a number, string or character code: strings and codes side
// by side make one string.
NodeId read_literal(Parser& p);
// An expression, or the range "a..b" as a `Subrange`: set elements, case
// labels, array bounds and subrange types.
std::optional<NodeId> read_range(Parser& p);
// The expression, or a note that one is missing.
std::optional<NodeId> expect_expression(Parser& p);
// True when the "<" at `index` opens type arguments in an expression.
bool opens_type_args(const Parser& p, std::size_t index);
// The ">" that closes the type arguments opened at `index`, when they read
// as type arguments (see `opens_type_args`), else 0.
std::size_t type_args_close(const Parser& p, std::size_t index);

}  // namespace tarnwick::complete
