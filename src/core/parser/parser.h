// Parser state, token cursor, text helpers and the grammar rules.
//
// Every grammar rule takes the `Parser` and moves through the tokens only
// with the cursor verbs below; it builds nodes only through the arena. The
// scans of token runs read brackets by the rules of brackets.def (see
// brackets.h). The rules live one file per family:
//   units.cpp         file header, unit body, uses/exports clauses
//   declarations.cpp  const, var and type sections
//   routines.cpp      procedures, functions, methods and their parameters
//   generics.cpp      generic parameter lists
//   expressions.cpp   expressions over a run of tokens
//   statements.cpp    statements and blocks
//   types.cpp         type definitions and references
//   type_members.cpp  bodies of classes, records, interfaces and helpers
//   properties.cpp    property declarations
//   attributes.cpp    custom attribute lists
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "call_limits.h"
#include "diagnostics/diagnostics.h"
#include "errors.h"
#include "lexer/token.h"
#include "parser/expression_frame.h"
#include "tree/arena.h"
#include "unicode/unicode.h"
#include "util/own_stack.h"
#include "util/sanitizers.h"

namespace tarnwick {

// A half-open range [begin, end) of indices into `Parser::tokens`. Runs stand
// for the token runs the rules hand to each other; they are never copied.
struct Run {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
  bool empty() const { return end <= begin; }
};

// The stack the grammar runs on (see util/own_stack.h) is sized from two
// measures of this code: the most bytes one level of nesting of the guarded
// rules (statements, types, routines) takes, the frames between two guards
// included, and the room below the deepest guard for the rules that do not
// nest (expressions, lookahead, node building). A guard that finds less room
// than `stack_reserve_bytes` below it ends the call with an internal error
// instead of overrunning the stack.
#if defined(TARNWICK_ADDRESS_SANITIZER)
inline constexpr std::size_t stack_bytes_per_level = 8192;
inline constexpr std::size_t stack_reserve_bytes = std::size_t{1} << 20;
#elif defined(_WIN32)
// Code for 64-bit Windows keeps more registers across calls (xmm6 to xmm15)
// and leaves 32 bytes of room for every call it makes: its frames are
// about twice as large.
inline constexpr std::size_t stack_bytes_per_level = 2048;
inline constexpr std::size_t stack_reserve_bytes = std::size_t{512} << 10;
#else
inline constexpr std::size_t stack_bytes_per_level = 1024;
inline constexpr std::size_t stack_reserve_bytes = std::size_t{256} << 10;
#endif

// The stack a parse that may nest `levels` deep is given.
inline constexpr std::size_t grammar_stack_bytes(std::size_t levels) {
  return levels * stack_bytes_per_level + 2 * stack_reserve_bytes;
}

// A store that one family of rules keeps to itself: an index it builds over
// the token list on first use. Only that family's file knows what it holds;
// the parser lends it from one parse to the next with the other stores, and
// the workspace sees its memory and frees it.
class RuleStore {
 public:
  virtual ~RuleStore() = default;
  // Forgets the parse it was built for; its memory stays.
  virtual void clear() = 0;
  // The memory it holds, in bytes.
  virtual std::size_t bytes() const = 0;
  // Frees its memory.
  virtual void release() = 0;
};

// The rule stores, one per family that keeps one.
enum class RuleStoreSlot : std::uint8_t {
  BracketIndex,   // brackets.cpp: the bracket partners of the token list, for every scan
  TypeArgAngles,  // complete/expressions.cpp: the ">" closing each "<" of type arguments
};
inline constexpr std::size_t rule_store_count = 2;
using RuleStores = std::array<std::unique_ptr<RuleStore>, rule_store_count>;

// The growable stores of a parse, which a caller that parses many texts in a
// row lends from one `Parser` to the next (see `Workspace`).
struct ParserStores {
  HugeVector<Token> tokens;
  NodeArena::Stores arena;
  RuleStores rules;  // made by their families on first use

  // Calls `f(bytes, release)` for every store, where `release()` frees it.
  template <class F>
  void for_each_store(F&& f) {
    f(store_bytes(tokens), [this] { release_store(tokens); });
    arena.for_each_store(f);
    for (std::unique_ptr<RuleStore>& r : rules)
      if (r) f(r->bytes(), [&r] { r->release(); });
  }
};

// The bracket rules by which the scans read a run of tokens: which shapes of
// brackets open a level, whether the shapes share one depth, and how a ">"
// is read (the rows of parser/brackets.def, read by the scanner of
// parser/brackets.h).
enum class Brackets : std::uint8_t {
#define BRACKETS(name, shapes, depth, stop_depth) name,
#include "parser/brackets.def"
#undef BRACKETS
};

// The state of one parse: the token list, the cursor over it and the tree
// being built. Only the cursor verbs move the cursor; the rules read where
// it stands and move it through them.
class Parser {
 public:
  // Lexes `source` into the token list. With `stores`, the parser builds in
  // them (emptied first) and hands them back, emptied, when it ends.
  explicit Parser(std::string_view source, ParserStores* stores = nullptr);
  // Reads `tokens` instead of lexing: tokens of `source` made beforehand
  // (the preprocessor's, whose buffer `source` is), without comments and
  // directives, the end-of-file token last. `stores` as above.
  Parser(std::string_view source, HugeVector<Token> tokens, ParserStores* stores = nullptr);
  ~Parser();
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  std::string_view source;    // the text; token offsets index into it
  HugeVector<Token> tokens;  // the scanner's tokens without comments and directives
  NodeArena arena;
  std::size_t depth = 0;      // current nesting of guarded rules
  std::size_t max_depth = 0;  // the deepest nesting whose tree text can fit the output limit
  std::uintptr_t stack_limit = 0;   // guards need room above this address (0: unknown)
  std::uintptr_t lowest_frame = UINTPTR_MAX;  // the lowest guard frame reached
  // The open bracket lists of the expression being parsed (see expressions.cpp),
  // and how many of them are lists of arguments or indexes.
  std::vector<ExpressionFrame> expression_frames;
  std::size_t open_lists = 0;
  // While an attribute list is read (it may yet be dropped), whether one of
  // its expressions nested past what the output limit allows, and the lists
  // that did (see `keep_attributes`).
  bool in_attributes = false;
  bool attributes_too_deep = false;
  std::vector<NodeId> too_deep_attributes;
  // The tokens the rules stepped over without reading them (see
  // `skip_token`), by index, in the order they were met.
  std::vector<std::uint32_t> skipped;
  // What the rules passed over or missed, in the order they met it (see
  // Recovery below).
  std::vector<Diagnostic> diagnostics;

  std::string_view text(const Token& t) const { return t.text(source); }

  // ---- The cursor ----
  // The index of the current token; it may pass the end of the list.
  std::size_t position() const { return position_; }
  bool at_end() const { return position_ >= tokens.size(); }

  // The rule store in `slot`, made as a `Store` on first use. Also through a
  // const Parser: a store is an index of the token list, not parse state.
  template <class Store>
  Store& rule_store(RuleStoreSlot slot) const {
    std::unique_ptr<RuleStore>& r = rule_stores_[static_cast<std::size_t>(slot)];
    if (!r) r = std::make_unique<Store>();
    return static_cast<Store&>(*r);
  }

 private:
  friend const Token& next_token(Parser& p);
  friend bool accept(Parser& p, Word w);
  friend void skip_token(Parser& p, DiagnosticKind kind);
  friend void skip_past(Parser& p, Word w, DiagnosticKind kind);
  friend void consume(Parser& p, Run run);
  friend std::size_t skip_until(Parser& p, const WordSet& stops, DiagnosticKind kind,
                                Brackets rule);
  friend class Tentative;

  // Moves one token on.
  void advance() { ++position_; }
  // The index of the current token, moving past it.
  std::size_t take_index() { return position_++; }
  // Moves to the token at `index`: the end of a scanned run, or back to
  // where a tentative reading began.
  void seek(std::size_t index) { position_ = index; }

  // Takes the stores (their tokens, emptied, unless `prepared`) and checks
  // the text.
  Parser(std::string_view source, ParserStores* stores, HugeVector<Token>* prepared);
  // Sizes what the parse needs from the token list.
  void ready();

  std::size_t position_ = 0;
  mutable RuleStores rule_stores_;
  ParserStores* lender_;
};

// Counts one level of rule nesting for as long as it lives. Every guarded
// rule adds at least one level to the tree, so a nesting past `max_depth`
// proves that the tree text would pass the output limit: the call is refused
// at once (OutputTooLarge).
class DepthGuard {
 public:
  explicit DepthGuard(Parser& p) : p_(p) {
    if (++p_.depth > p_.max_depth) {
      --p_.depth;
#if defined(TARNWICK_ADDRESS_SANITIZER)
      clear_own_stack_marks();
#endif
      throw OutputTooLarge();
    }
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here < p_.lowest_frame) {
      p_.lowest_frame = here;
      if (here < p_.stack_limit) {
        --p_.depth;
        throw InternalError("the grammar's stack is exhausted");
      }
    }
  }
  ~DepthGuard() { --p_.depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  Parser& p_;
};

// The token `peek` answers past the end of the list: empty text, offsets 0,
// line 0, column 0, kind Eof, no word. Built once for the process.
const Token& end_token();

// ---- Cursor -----------------------------------------------------------------
//
// Words are compared by identity: every token carries its row of the word
// table (lexer/words.def), set when its full lower-case text is that row's
// spelling, whatever its kind and whether it was written with a '&'. A test
// for a word is one comparison of numbers, a test for a set of words one bit.
//
// A rule moves only by these verbs: `next_token` takes the token it has
// recognised, `accept` a word that may stand there, `consume` a run it has
// scanned (whether or not the tree keeps a node of it); every token no rule
// can read where it stands is passed over by the verbs of Recovery, which
// note it.

// The current token, or `end_token()` when there is none.
inline const Token& peek(const Parser& p) {
  return p.at_end() ? end_token() : p.tokens[p.position()];
}
// The token `ahead` places after the current one, or `end_token()`.
const Token& peek_at(const Parser& p, std::size_t ahead);
// A fault of the calling rule: a token taken past the end of the list.
// Kept out of line, so that the verbs' callers keep small frames.
[[noreturn, gnu::cold, gnu::noinline]] void token_past_end();
// Takes the current token and answers it; a fault when there is none.
[[gnu::always_inline]] inline const Token& next_token(Parser& p) {
  if (p.at_end()) token_past_end();
  return p.tokens[p.take_index()];
}
// True when the current token is the word `w` (false past the end).
inline bool at(const Parser& p, Word w) { return peek(p).word == w; }
// True when the current token is one of `words`.
inline bool at_one_of(const Parser& p, const WordSet& words) { return words.has(peek(p).word); }
// True when the token `ahead` places after the current one is the word `w`.
inline bool peek_is(const Parser& p, std::size_t ahead, Word w) { return peek_at(p, ahead).word == w; }
// Advances over the current token when it is the word `w`.
inline bool accept(Parser& p, Word w) {
  if (!at(p, w)) return false;
  p.advance();
  return true;
}
// A fault of the calling rule: a run consumed where the cursor is not.
[[noreturn, gnu::cold, gnu::noinline]] void run_not_at_cursor();
// Moves past `run`, a run of tokens scanned from the current one (see
// `scan_until`); a fault when it does not start at the current token. An
// empty run leaves the cursor where it is.
[[gnu::always_inline]] inline void consume(Parser& p, Run run) {
  if (run.begin != std::min(p.position(), p.tokens.size()) || run.end < run.begin ||
      run.end > p.tokens.size())
    run_not_at_cursor();
  if (!run.empty()) p.seek(run.end);
}
// True when `t` is the word `w` written exactly as its lower-case spelling:
// for the few places that tell "end" from "End".
inline bool written_as(const Parser& p, const Token& t, Word w) {
  return t.word == w && p.text(t) == word_text(w);
}
// True when the token `ahead` places after the current one is a routine word.
bool is_routine_word_at(const Parser& p, std::size_t ahead);
// The text of the current word token, consumed; empty when it is not a word.
std::string_view take_name(Parser& p);

// ---- Recovery -----------------------------------------------------------------
//
// Passing over tokens, guarding loops and trying a reading are done here and
// nowhere else: every token a rule passes over without reading it is noted
// (in `skipped` and in `diagnostics`, with the reason `kind`, where
// neighbouring notes of one kind make one diagnostic), no loop spins on a
// token, and a reading that fails leaves no trace.

// Steps over the current token, which no rule can read where it stands, and
// notes it as skipped: a sign of syntax the grammar does not cover. A ";"
// (a separator the rules may leave behind), the "." of a final "end." and
// the end-of-file token are stepped over without a note.
void skip_token(Parser& p, DiagnosticKind kind = DiagnosticKind::Skipped);
// Steps over the tokens up to the first that is the word `w`, noting each
// as `skip_token` does, and takes that word; or steps to the end of the
// list. Brackets are not counted.
void skip_past(Parser& p, Word w, DiagnosticKind kind);
// The bracket partner of the "(" or "[" at token `index`: the index of the
// closer of the same shape that balances it, or `no_bracket_partner`.
inline constexpr std::uint32_t no_bracket_partner = 0xFFFFFFFFu;
std::uint32_t bracket_partner(const Parser& p, std::size_t index);
// Passes over the tokens from the current one up to the first of `stops`
// outside brackets as `rule` counts them, or up to the end-of-file token
// (open brackets or not), and notes every one of them (";" included when it is no stop). By the
// default rule a "(" or "[" that has a partner is passed over with
// everything up to its partner, and one without is a token like any other.
// Answers the number of tokens passed over.
std::size_t skip_until(Parser& p, const WordSet& stops, DiagnosticKind kind,
                       Brackets rule = Brackets::Balanced);
// Notes that `what` (a word, or the name of a construct) was expected at the
// current token and is missing; no token is passed over.
void note_missing(Parser& p, std::string_view what);
// Takes the word `w` at the current token, or notes it as missing.
bool expect(Parser& p, Word w);

// The guard of a loop over tokens, the one place where progress is made
// sure of: `next()`, at the top of every pass, answers whether tokens
// remain, once it has passed over one token (noted as `kind`) if the last
// pass consumed none.
class Progress {
 public:
  explicit Progress(Parser& p, DiagnosticKind kind = DiagnosticKind::Skipped)
      : p_(p), kind_(kind) {}
  bool next() {
    if (p_.position() == start_) skip_token(p_, kind_);
    start_ = p_.position();
    return !p_.at_end();
  }

 private:
  Parser& p_;
  std::size_t start_ = SIZE_MAX;  // where the last pass began; no position before the first
  DiagnosticKind kind_;
};

// A reading that may be given up: unless `commit()` is called before it
// ends, the cursor goes back to where it began and the notes made since are
// dropped. Nodes made meanwhile stay in the arena, attached only where the
// rule attached them.
class Tentative {
 public:
  explicit Tentative(Parser& p);
  ~Tentative();
  Tentative(const Tentative&) = delete;
  Tentative& operator=(const Tentative&) = delete;
  void commit() { committed_ = true; }
  // Goes back now; the guard may be committed afterwards to keep that state.
  void roll_back();

 private:
  Parser& p_;
  std::size_t position_, skipped_, diagnostics_;
  // The last diagnostic as it was (notes made since may have joined it).
  std::uint32_t last_tokens_ = 0, last_end_line_ = 0, last_end_col_ = 0;
  bool committed_ = false;
};

// ---- Text helpers -----------------------------------------------------------

// The text under which a name token is recorded: with its '&' when written so.
std::string_view name_text(const Parser& p, const Token& t);
// A name of word tokens joined by "." tokens.
std::string parse_dotted_name(Parser& p);
// The tokens from the current one up to the first of `stop_words` met
// outside brackets as `rule` counts them (by default round, square and
// angle brackets, of one shared depth), tested before it is counted; the
// position does not move.
Run scan_until(const Parser& p, const WordSet& stop_words, Brackets rule = Brackets::Nested);
// The run cut at comma tokens, without empty groups.
std::vector<Run> split_by_comma(const Parser& p, Run run);
// Token texts joined with one space between neighbouring word-like tokens.
std::string join_token_texts(const Parser& p, Run run);
// One source position per character of `join_token_texts` and one after it.
std::vector<SourcePosition> positions_of(const Parser& p, Run run);
// The content of a string literal: outer quotes removed, '' made '.
std::string unquote(std::string_view text);
// hint: 'deprecated' [string]
// Takes the "deprecated" at the current token and the message after it, if
// there is one, and records the message (or "true") as the node's
// `deprecated` attribute. Every declaration that takes hints reads them here.
void parse_deprecated(Parser& p, NodeId node);
// Sets a node's end and source positions from one token's text: the end
// after the text, one position per code point of it and one after, all on
// the token's line.
void stamp_end(Parser& p, NodeId node, const Token& t);

// ---- Word sets shared between rule families ---------------------------------

// The words that end a type written as a reference.
inline constexpr WordSet type_reference_stop_words{
    Word::Semicolon, Word::CloseRound, Word::Comma, Word::End,
    Word::Of,        Word::Colon,      Word::Equal, Word::CloseSquare};

// The words that start a routine heading.
inline constexpr WordSet routine_words{Word::Function, Word::Operator, Word::Procedure,
                                       Word::Destructor, Word::Constructor};

// Keywords that end a const or var section and a field list: section and routine words.
inline constexpr WordSet section_end_words =
    WordSet{Word::Var,           Word::Asm,            Word::End,           Word::Type,
            Word::Uses,          Word::Const,          Word::Label,         Word::Begin,
            Word::Exports,       Word::Contains,       Word::Requires,      Word::Interface,
            Word::ThreadVar,     Word::Finalization,   Word::Implementation,
            Word::Initialization, Word::ResourceString} |
    routine_words;

// Calling conventions of routine headings.
inline constexpr WordSet calling_conventions{
    Word::Cdecl,    Word::Pascal,   Word::WinApi,    Word::StdCall,    Word::SysCall,
    Word::Register, Word::SafeCall, Word::SoftFloat, Word::MsFastCall, Word::VectorCall};

// The hints a declaration may carry.
inline constexpr WordSet hint_words{Word::Deprecated, Word::Experimental, Word::Library,
                                    Word::Platform};

// Modifiers before the names of a parameter group.
inline constexpr WordSet parameter_modifiers{Word::ConstRef, Word::Const, Word::Var, Word::Out};

// ---- Grammar rules ----------------------------------------------------------

// The two grammars: the specified one, whose tree `parse_to_serialized`
// writes, and the complete one (parser/complete/, docs/grammar.md).
enum class Grammar : std::uint8_t { Specified, Complete };

// parser.cpp
// The tree of the whole token list, built in the arena; answers the root.
// The grammar runs on a stack of its own, deep enough for every nesting
// whose tree text can fit the output limit, whatever the caller's stack.
NodeId parse_tree(Parser& p, Grammar grammar = Grammar::Specified);

// units.cpp
// The grammar's entry: the root `Unit` and everything under it.
NodeId parse_file(Parser& p);
void parse_unit_body(Parser& p, NodeId root);

// declarations.cpp
// Both start at their section word, whose lower-case text is the section's kind.
NodeId parse_const_section(Parser& p);
NodeId parse_var_section(Parser& p);
NodeId parse_type_section(Parser& p, bool class_body);

// routines.cpp
NodeId parse_routine(Parser& p, bool expect_body);
NodeId parse_parameters(Parser& p);

// generics.cpp
void parse_generic_params(Parser& p, NodeId target);

// expressions.cpp
std::optional<NodeId> parse_expression(Parser& p, Run run);
std::optional<NodeId> parse_expression_unwrapped(Parser& p, Run run);
std::vector<Run> split_top_level_commas(const Parser& p, Run run);

// statements.cpp
std::optional<NodeId> parse_statement(Parser& p);
NodeId parse_compound_statement(Parser& p);
void parse_statement_list(Parser& p, NodeId parent, const WordSet& stop_words);

// types.cpp
// `declared_type` is true for the type of a type declaration, where a hint
// word (deprecated, experimental, library, platform) ends a type reference.
NodeId parse_type(Parser& p, bool declared_type = false);
NodeId parse_type_definition(Parser& p, const Token& start, bool declared_type = false);
NodeId parse_type_reference(Parser& p, const Token& start, const WordSet& stop_words);
NodeId parse_procedural_type(Parser& p, const Token& start);

// type_members.cpp
void parse_type_members(Parser& p, NodeId type_node);
std::vector<NodeId> parse_field_declaration(Parser& p, bool class_flag,
                                            std::optional<NodeId> attributes);
void parse_variant_part(Parser& p, NodeId type_node);

// properties.cpp
NodeId parse_property(Parser& p);

// attributes.cpp
NodeId parse_attributes(Parser& p);
// Called where a rule attaches an attribute list, which then reaches the
// text: refuses the text if that list nested past what the output limit
// allows.
void keep_attributes(const Parser& p, NodeId attributes);

}  // namespace tarnwick
