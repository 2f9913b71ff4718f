// Parser state, cursor verbs and text helpers shared by every grammar rule.
#include "parser/parser.h"

#include <algorithm>
#include <array>

#include "parser/brackets.h"

#include "lexer/lexer.h"
#include "parser/complete/complete.h"
#include "util/memory.h"
#include "util/own_stack.h"
#include "unicode/unicode.h"

namespace tarnwick {
namespace {

NodeArena::Stores take_arena_stores(ParserStores* stores) {
  return stores ? std::move(stores->arena) : NodeArena::Stores{};
}

}  // namespace

Parser::Parser(std::string_view text, ParserStores* stores, HugeVector<Token>* prepared)
    : source(text), arena(text, take_arena_stores(stores)), lender_(stores) {
  if (stores) {
    if (!prepared) {
      tokens = std::move(stores->tokens);
      tokens.clear();
    }
    rule_stores_ = std::move(stores->rules);
    for (std::unique_ptr<RuleStore>& r : rule_stores_)
      if (r) r->clear();
  }
  if (text.size() > max_text_size) throw TextTooLarge();
  if (prepared) tokens = std::move(*prepared);
}

Parser::Parser(std::string_view text, ParserStores* stores) : Parser(text, stores, nullptr) {
  // About one token per five bytes of typical source, and up to one per
  // three in tables of numbers; room that stays untouched costs nothing. The
  // cap keeps a huge text of blanks from reserving memory it never uses.
  tokens.reserve(std::min<std::size_t>(text.size() / 3, std::size_t{1} << 26) + 1);
  Lexer lexer(text);
  lexer.run([this](const Token& t) {
    if (t.kind != TokenKind::Comment && t.kind != TokenKind::Directive) tokens.push_back(t);
  });
  arena.set_ascii_words(lexer.ascii_words());
  arena.trust_tokens(tokens);
  ready();
}

Parser::Parser(std::string_view text, HugeVector<Token> prepared, ParserStores* stores)
    : Parser(text, stores, &prepared) {
  if (tokens.empty() || tokens.back().kind != TokenKind::Eof)
    throw InternalError("a token list without its end-of-file token");
  ready();
}

void Parser::ready() {
  // Trees hold fewer nodes than tokens in typical code.
  arena.reserve(tokens.size() + 16);
  max_depth = max_nesting(source.size());
}

Parser::~Parser() {
  if (!lender_) return;
  tokens.clear();
  lender_->tokens = std::move(tokens);
  lender_->arena = arena.release_stores();
  for (std::unique_ptr<RuleStore>& r : rule_stores_)
    if (r) r->clear();
  lender_->rules = std::move(rule_stores_);
}

NodeId parse_tree(Parser& p, Grammar grammar) {
  // Every level of nesting takes at least one token, so no parse goes deeper
  // than the token count, nor than `max_depth`, past which it is refused.
  const std::size_t levels = std::min(p.max_depth, p.tokens.size() + 2);
  const std::size_t bytes = grammar_stack_bytes(levels);
  // What a deep call touched is given back when it ends, refused or not.
  struct Release {
    Parser& p;
    ~Release() {
      if (p.lowest_frame != UINTPTR_MAX) release_own_stack(p.lowest_frame);
    }
  } release{p};
  NodeId root = 0;
  run_on_own_stack(bytes, [&p, &root, grammar] {
    const std::uintptr_t floor = own_stack_floor();
    p.stack_limit = floor == 0 ? 0 : floor + stack_reserve_bytes;
    p.lowest_frame = UINTPTR_MAX;
    root = grammar == Grammar::Complete ? complete::read_file(p) : parse_file(p);
  });
  return root;
}

namespace {

// Notes the token at `index` as passed over: in `skipped`, and in the
// diagnostics, where it joins the last diagnostic when that is of the same
// kind and ends with the token before it.
void note_skipped(Parser& p, std::size_t index, DiagnosticKind kind) {
  p.skipped.push_back(static_cast<std::uint32_t>(index));
  const Token& t = p.tokens[index];
  const TextExtent extent = text_extent(p.text(t), t.line, t.column);
  if (!p.diagnostics.empty()) {
    Diagnostic& last = p.diagnostics.back();
    if (last.kind == kind && last.tokens > 0 &&
        std::size_t{last.first_token} + last.tokens == index) {
      ++last.tokens;
      last.end_line = extent.end_line;
      last.end_col = extent.end_col;
      return;
    }
  }
  Diagnostic d;
  d.kind = kind;
  d.line = t.line;
  d.col = t.column;
  d.end_line = extent.end_line;
  d.end_col = extent.end_col;
  d.tokens = 1;
  d.first_token = static_cast<std::uint32_t>(index);
  p.diagnostics.push_back(std::move(d));
}

// The end of the scan from `from` to `end` by `rule`, for a rule chosen
// when the call is made.
template <class Stop>
std::size_t scan_by(const Parser& p, std::size_t from, std::size_t end, Brackets rule, Stop stop) {
  switch (rule) {
#define BRACKETS(name, shapes, depth, stop_depth) \
  case Brackets::name:                            \
    return scan_run<Brackets::name>(p, from, end, stop);
#include "parser/brackets.def"
#undef BRACKETS
  }
  throw InternalError("no such bracket rule");
}

}  // namespace

void skip_token(Parser& p, DiagnosticKind kind) {
  if (p.position() < p.tokens.size()) {
    const Token& t = p.tokens[p.position()];
    const bool separator =
        t.word == Word::Semicolon ||
        (t.word == Word::Dot && p.position() > 0 && p.tokens[p.position() - 1].word == Word::End);
    if (t.kind != TokenKind::Eof && !separator) note_skipped(p, p.position(), kind);
  }
  p.advance();
}

void skip_past(Parser& p, Word w, DiagnosticKind kind) {
  while (!p.at_end()) {
    if (p.tokens[p.position()].word == w) {
      p.advance();
      return;
    }
    skip_token(p, kind);
  }
}

std::size_t skip_until(Parser& p, const WordSet& stops, DiagnosticKind kind, Brackets rule) {
  if (p.at_end()) return 0;
  // The end-of-file token, the last of the list, ends every skip, inside
  // brackets too.
  std::size_t limit = p.tokens.size();
  if (p.tokens[limit - 1].kind == TokenKind::Eof) --limit;
  const std::size_t end = scan_by(p, std::min(p.position(), limit), limit, rule,
                                  [&stops](const Token& t) { return stops.has(t.word); });
  const std::size_t count = end - p.position();
  while (p.position() < end) {
    note_skipped(p, p.position(), kind);
    p.advance();
  }
  return count;
}

void note_missing(Parser& p, std::string_view what) {
  const Token& t = peek(p);
  Diagnostic d;
  d.kind = DiagnosticKind::Missing;
  if (p.at_end() && !p.tokens.empty()) {
    // At the end of the list: just after its last token.
    const Token& last = p.tokens.back();
    const TextExtent extent = text_extent(p.text(last), last.line, last.column);
    d.line = d.end_line = extent.end_line;
    d.col = d.end_col = extent.end_col;
  } else {
    d.line = d.end_line = t.line;
    d.col = d.end_col = t.column;
  }
  d.first_token = static_cast<std::uint32_t>(std::min(p.position(), p.tokens.size()));
  d.detail = std::string(what);
  p.diagnostics.push_back(std::move(d));
}

bool expect(Parser& p, Word w) {
  if (accept(p, w)) return true;
  note_missing(p, word_text(w));
  return false;
}

Tentative::Tentative(Parser& p)
    : p_(p), position_(p.position()), skipped_(p.skipped.size()),
      diagnostics_(p.diagnostics.size()) {
  if (diagnostics_ > 0) {
    const Diagnostic& last = p.diagnostics.back();
    last_tokens_ = last.tokens;
    last_end_line_ = last.end_line;
    last_end_col_ = last.end_col;
  }
}

Tentative::~Tentative() {
  if (!committed_) roll_back();
}

void Tentative::roll_back() {
  p_.seek(position_);
  p_.skipped.resize(skipped_);
  p_.diagnostics.resize(diagnostics_);
  if (diagnostics_ > 0) {
    Diagnostic& last = p_.diagnostics.back();
    last.tokens = last_tokens_;
    last.end_line = last_end_line_;
    last.end_col = last_end_col_;
  }
}

const Token& end_token() {
  static const Token token{};  // empty text, offsets 0, line 0, column 0, Eof
  return token;
}

const Token& peek_at(const Parser& p, std::size_t ahead) {
  std::size_t i = p.position() + ahead;
  return i >= p.position() && i < p.tokens.size() ? p.tokens[i] : end_token();
}

void token_past_end() { throw InternalError("next_token past the end of the token list"); }

void run_not_at_cursor() { throw InternalError("a run consumed where the cursor is not"); }

bool is_routine_word_at(const Parser& p, std::size_t ahead) {
  return routine_words.has(peek_at(p, ahead).word);
}

std::string_view take_name(Parser& p) {
  if (!peek(p).is_word()) return {};
  return p.text(next_token(p));
}

std::string_view name_text(const Parser& p, const Token& t) {
  std::string_view text = p.text(t);
  std::string_view written = t.written(p.source);
  if (!written.empty() && written[0] == '&' && written.size() == text.size() + 1 &&
      unicode::ascii_iequals(written.substr(1), text)) {
    return written;
  }
  return text;
}

std::string parse_dotted_name(Parser& p) {
  std::string name;
  // A "." not followed by a word is taken and ends the name.
  while (peek(p).is_word()) {
    name.append(name_text(p, next_token(p)));
    if (!accept(p, Word::Dot)) break;
    if (peek(p).is_word()) name.push_back('.');
  }
  return name;
}

Run scan_until(const Parser& p, const WordSet& stop_words, Brackets rule) {
  const std::size_t n = p.tokens.size();
  const std::size_t begin = std::min(p.position(), n);
  return Run{begin, scan_by(p, begin, n, rule,
                            [&stop_words](const Token& t) { return stop_words.has(t.word); })};
}

std::vector<Run> split_by_comma(const Parser& p, Run run) {
  std::vector<Run> groups;
  std::size_t start = run.begin;
  for (std::size_t i = run.begin; i < run.end; ++i) {
    if (p.tokens[i].word == Word::Comma) {
      if (i > start) groups.push_back(Run{start, i});
      start = i + 1;
    }
  }
  if (run.end > start) groups.push_back(Run{start, run.end});
  return groups;
}

std::string join_token_texts(const Parser& p, Run run) {
  std::string out;
  for (std::size_t i = run.begin; i < run.end; ++i) {
    if (i > run.begin && p.tokens[i - 1].is_word_like() && p.tokens[i].is_word_like())
      out.push_back(' ');
    out.append(p.text(p.tokens[i]));
  }
  return out;
}

std::vector<SourcePosition> positions_of(const Parser& p, Run run) {
  std::vector<SourcePosition> out;
  if (run.empty()) return out;
  // About one position per byte the run spans (a code point, or the gap
  // between two words), and one more; most runs are short names.
  out.reserve(std::min<std::size_t>(
      std::size_t{p.tokens[run.end - 1].end} - p.tokens[run.begin].start + 2, 64));
  for (std::size_t i = run.begin; i < run.end; ++i) {
    const Token& t = p.tokens[i];
    if (i > run.begin && p.tokens[i - 1].is_word_like() && t.is_word_like())
      out.push_back(SourcePosition{t.line, t.column > 1 ? t.column - 1 : 1});
    std::size_t points = unicode::count_code_points(p.text(t));
    for (std::size_t k = 0; k < points; ++k)
      out.push_back(SourcePosition{t.line, static_cast<std::uint32_t>(t.column + k)});
  }
  const Token& last = p.tokens[run.end - 1];
  const TextExtent extent = text_extent(p.text(last), last.line, last.column);
  out.push_back(SourcePosition{extent.end_line, extent.end_col});
  return out;
}

std::string unquote(std::string_view text) {
  if (text.size() > 1 && text.front() == '\'' && text.back() == '\'')
    text = text.substr(1, text.size() - 2);
  std::string out;
  out.reserve(text.size());
  // Copies the runs between doubled quotes, each doubled quote made single.
  for (;;) {
    std::size_t q = text.find("''");
    if (q == std::string_view::npos) break;
    out.append(text.substr(0, q + 1));
    text.remove_prefix(q + 2);
  }
  out.append(text);
  return out;
}

void parse_deprecated(Parser& p, NodeId node) {
  next_token(p);  // 'deprecated'
  if (peek(p).kind == TokenKind::String) {
    const Token message = next_token(p);
    p.arena.set_attribute(node, AttributeKey::Deprecated, unquote(p.text(message)));
  } else {
    p.arena.set_attribute(node, AttributeKey::Deprecated, "true");
  }
}

void stamp_end(Parser& p, NodeId node, const Token& t) {
  const TextExtent extent = text_extent(p.text(t), t.line, t.column);
  p.arena.set_end(node, extent.end_line, extent.end_col);
  p.arena.set_positions_run(node, t.line, t.column, static_cast<std::uint32_t>(extent.points + 1));
}

}  // namespace tarnwick
