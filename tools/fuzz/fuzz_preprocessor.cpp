// Fuzz target for the preprocessor, the evaluator of {$IF} expressions and the
// source decoder.
//
// An input is a text and up to three include files, separated by NUL bytes:
// the text is src/main.pas, the files src/f1.inc, src/f2.inc and
// src/inc/f3.inc (the folder src/inc is on the include path), given as
// bytes that the preprocessor decodes. The first byte picks the target (or
// none, with A and B defined). Checked:
// - nothing escapes, and a second run gives the same tokens, ranges and
//   diagnostics;
// - every kept token is a token of the file whose text holds it, with its
//   own kind, line, column and word, and the last is the end of the text;
// - ranges and diagnostics lie inside their files, ranges in order;
// - when nothing was included, the kept tokens are exactly the tokens the
//   scanner finds in the text with its inactive ranges blanked (each code
//   point but a line feed a space), at the same lines and columns;
// - the whole text read as one expression evaluates without fault, and its
//   value as a constant agrees with its value as a condition;
// - the raw input decodes to UTF-8 without NUL, as the decoder promises;
// - the tree parsed from the kept tokens has the text as its source and
//   the files included; the start of every node and every diagnostic names
//   a file of the parse and a place inside it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api.h"
#include "lexer/lexer.h"
#include "preprocessor/decode.h"
#include "preprocessor/expression.h"
#include "preprocessor/preprocessor.h"
#include "preprocessor/targets.h"
#include "fuzz_common.h"

namespace {

using fuzz::fail;

struct Result {
  std::vector<tarnwick::Token> tokens;
  std::vector<tarnwick::InactiveRange> inactive;
  std::vector<tarnwick::Diagnostic> diagnostics;
};

std::vector<tarnwick::Token> plain_tokens(std::string_view text) {
  std::vector<tarnwick::Token> out;
  tarnwick::Lexer(text).run([&](const tarnwick::Token& t) {
    if (t.kind != tarnwick::TokenKind::Comment && t.kind != tarnwick::TokenKind::Directive) out.push_back(t);
  });
  return out;
}

bool same_token(const tarnwick::Token& a, const tarnwick::Token& b) {
  return a.kind == b.kind && a.line == b.line && a.column == b.column && a.word == b.word &&
         a.text_skip == b.text_skip;
}

void check_decoder(std::string_view bytes) {
  std::string text;
  const tarnwick::DecodedSource d = tarnwick::decode_source(bytes, text);
  if (!d.ok()) {
    FUZZ_CHECK(text.empty());
    FUZZ_CHECK(!d.message().empty());
    return;
  }
  FUZZ_CHECK(fuzz::valid_utf8(text), "decoded text is not UTF-8");
  for (char c : text) FUZZ_CHECK(c != '\0', "decoded text holds NUL");
  const bool marked = tarnwick::byte_order_mark(bytes).length != 0;
  if (!marked && fuzz::valid_utf8(bytes)) FUZZ_CHECK(!d.windows_1252 && text == bytes);
  if (d.windows_1252) {
    std::size_t points = 0;
    for (unsigned char c : text) points += (c & 0xC0) != 0x80;
    FUZZ_CHECK(points == bytes.size(), "Windows-1252 gives one code point per byte");
  }
}

struct Names final : tarnwick::ConditionNames {
  tarnwick::Constant value = tarnwick::Constant::of_integer(36);
  bool defined(std::string_view n) override { return n.size() % 2 == 1; }
  bool declared(std::string_view n) override { return n.size() % 3 == 1; }
  const tarnwick::Constant* constant(std::string_view n) override { return n.size() % 2 == 0 ? &value : nullptr; }
  std::optional<std::uint32_t> size_of(std::string_view n) override {
    if (n.size() > 4) return std::nullopt;
    return static_cast<std::uint32_t>(n.size());
  }
};

void check_expression(std::string_view text) {
  Names names;
  tarnwick::ConditionEvaluator evaluator;
  tarnwick::Condition c;
  fuzz::no_exception("evaluate", [&] { c = evaluator.evaluate(text, names); });
  std::optional<tarnwick::Constant> v;
  fuzz::no_exception("value_of", [&] { v = evaluator.value_of(text, names); });
  if (c.ok) {
    FUZZ_CHECK(v && v->type == tarnwick::Constant::Type::Boolean && v->boolean == c.value,
               "a condition and its value disagree");
  } else {
    // A fault gives no Boolean value; a condition true in spite of one is
    // a whole expression followed by more.
    FUZZ_CHECK(!v || v->type != tarnwick::Constant::Type::Boolean, "a faulty condition has a value");
    FUZZ_CHECK(!c.value || c.detail.ends_with("after the expression is left out"), "a faulty condition is true");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_decoder(input);
  std::vector<std::string_view> parts;
  std::size_t from = 0;
  while (parts.size() < 3) {
    const std::size_t nul = input.find('\0', from);
    if (nul == std::string_view::npos) break;
    parts.push_back(input.substr(from, nul - from));
    from = nul + 1;
  }
  parts.push_back(input.substr(from));
  const std::string_view text = parts[0];
  if (!fuzz::valid_utf8(text)) return 0;  // the core's texts are UTF-8
  check_expression(text);

  tarnwick::MemoryFiles files;
  static const char* const names[] = {"src/f1.inc", "src/f2.inc", "src/inc/f3.inc"};
  for (std::size_t k = 1; k < parts.size(); ++k) files.add(names[k - 1], std::string(parts[k]));
  tarnwick::PreprocessorSettings settings;
  const std::vector<tarnwick::Target>& targets = tarnwick::builtin_targets();
  const std::size_t choice = size == 0 ? 0 : data[0] % (targets.size() + 1);
  if (choice == 0) {
    settings.defines = {"A", "B"};
  } else {
    settings.target = &targets[choice - 1];
  }
  settings.files = &files;
  settings.include_path = {"src/inc"};

  Result first, second;
  std::string buffer;
  std::vector<tarnwick::SourceFile> source_files;
  for (Result* r : {&first, &second}) {
    fuzz::no_exception("preprocess", [&] {
      tarnwick::Preprocessor p(settings);
      tarnwick::HugeVector<tarnwick::Token> out;
      p.run(text, "src/main.pas", out);
      r->tokens.assign(out.begin(), out.end());
      r->inactive = p.inactive();
      r->diagnostics = p.diagnostics();
      buffer = std::string(p.buffer());
      source_files.assign(p.files().begin(), p.files().end());
    });
  }
  FUZZ_CHECK(first.tokens.size() == second.tokens.size() && first.inactive.size() == second.inactive.size() &&
                 first.diagnostics.size() == second.diagnostics.size(),
             "two runs differ");
  for (std::size_t k = 0; k < first.tokens.size(); ++k)
    FUZZ_CHECK(first.tokens[k].start == second.tokens[k].start && same_token(first.tokens[k], second.tokens[k]),
               "two runs differ");

  // Each file's tokens as the scanner has them, by offset in the buffer.
  std::unordered_map<std::uint32_t, tarnwick::Token> known;
  std::vector<fuzz::LineTable> lines;
  for (std::size_t f = 0; f < source_files.size(); ++f) {
    const tarnwick::SourceFile& sf = source_files[f];
    FUZZ_CHECK(std::size_t{sf.base} + sf.size <= buffer.size(), "a file lies outside the buffer");
    const std::string_view own = std::string_view(buffer).substr(sf.base, sf.size);
    if (f == 0) FUZZ_CHECK(own == text, "the buffer does not start with the text");
    if (f > 0) FUZZ_CHECK(buffer[sf.base - 1] == '\n', "no line feed between files");
    lines.emplace_back(own);
    for (tarnwick::Token t : plain_tokens(own)) {
      t.start += sf.base;
      t.end += sf.base;
      if (t.kind != tarnwick::TokenKind::Eof || f == 0) known.emplace(t.start, t);
    }
  }
  FUZZ_CHECK(!first.tokens.empty() && first.tokens.back().kind == tarnwick::TokenKind::Eof &&
                 first.tokens.back().start == text.size(),
             "the token list does not end with the text's end");
  for (const tarnwick::Token& t : first.tokens) {
    const auto it = known.find(t.start);
    FUZZ_CHECK(it != known.end() && it->second.end == t.end && same_token(it->second, t),
               "a kept token is no token of its file");
  }
  for (std::size_t k = 0; k < first.inactive.size(); ++k) {
    const tarnwick::InactiveRange& r = first.inactive[k];
    FUZZ_CHECK(r.file < source_files.size() && r.start < r.end && r.end <= source_files[r.file].size,
               "an inactive range outside its file");
    FUZZ_CHECK(lines[r.file].inside(r.line, r.col) && lines[r.file].inside(r.end_line, r.end_col),
               "an inactive range's position outside its file");
    if (k > 0 && first.inactive[k - 1].file == r.file && source_files.size() == 1)
      FUZZ_CHECK(first.inactive[k - 1].end <= r.start, "inactive ranges out of order");
  }
  for (const tarnwick::Diagnostic& d : first.diagnostics)
    FUZZ_CHECK(d.file < source_files.size() && lines[d.file].inside(d.line, d.col) &&
                   lines[d.file].inside(d.end_line, d.end_col),
               "a diagnostic outside its file");

  if (source_files.size() == 1) {
    std::string blanked;
    std::size_t r = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      while (r < first.inactive.size() && first.inactive[r].end <= i) ++r;
      const bool inside = r < first.inactive.size() && first.inactive[r].start <= i;
      const auto c = static_cast<unsigned char>(text[i]);
      if (!inside || c == '\n') {
        blanked += text[i];
      } else if ((c & 0xC0) != 0x80) {
        blanked += ' ';
      }
    }
    const std::vector<tarnwick::Token> expected = plain_tokens(blanked);
    FUZZ_CHECK(expected.size() == first.tokens.size(), "the blanked text has other tokens");
    for (std::size_t k = 0; k < expected.size(); ++k)
      FUZZ_CHECK(same_token(expected[k], first.tokens[k]) &&
                     expected[k].text(blanked) == first.tokens[k].text(text),
                 "the blanked text has other tokens");
  }

  std::unique_ptr<tarnwick::SyntaxTree> tree;
  fuzz::no_exception("parse_to_tree", [&] {
    try {
      tree = tarnwick::parse_to_tree(text, "src/main.pas", tarnwick::Grammar::Complete, &settings);
    } catch (const tarnwick::OutputTooLarge&) {
    }
  });
  if (!tree) return 0;
  FUZZ_CHECK(tree->source() == text && tree->included_files().size() + 1 == source_files.size(),
             "the tree's source or files are not the preprocessor's");
  for (std::uint32_t n = 0; n < tree->node_count(); ++n) {
    const std::uint32_t f = tree->node_file(n);
    const tarnwick::SyntaxTree::Node& node = tree->node(n);
    FUZZ_CHECK(f < source_files.size() && (node.line == 0 || lines[f].inside(node.line, node.col)),
               "a node's start is outside its file");
  }
  for (const tarnwick::Diagnostic& d : tree->diagnostics())
    FUZZ_CHECK(d.file < source_files.size() && lines[d.file].inside(d.line, d.col) &&
                   lines[d.file].inside(d.end_line, d.end_col),
               "a tree's diagnostic outside its file");
  return 0;
}
