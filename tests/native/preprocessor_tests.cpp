// Checks of the preprocessor and the source decoder: the tokens kept for
// small texts per directive and per form of {$IF} expression, include files
// served from memory, unbalanced and malformed directives, the ranges of
// inactive code, the targets table, and two properties over random inputs
// (random nestings of conditionals against a model of them, and random
// expressions against a reference evaluator), and the trees parsed from
// the kept tokens. Built as `preprocessor_tests`
// with TARNWICK_BUILD_NATIVE_TESTS and run by tests/test_native.py.
//
// Every failed check prints its expression and line on standard error; the
// last line of standard output is "N passed, N failed".

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "api.h"
#include "lexer/lexer.h"
#include "preprocessor/decode.h"
#include "preprocessor/expression.h"
#include "preprocessor/preprocessor.h"
#include "preprocessor/targets.h"

using namespace tarnwick;

namespace {

int passed = 0;
int failed = 0;

void report(bool ok, const std::string& what, int line, const std::string& detail = {}) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::fprintf(stderr, "FAIL line %d: %s\n", line, what.c_str());
  if (!detail.empty()) std::fprintf(stderr, "%s\n", detail.c_str());
}

void report_equal(const std::string& actual, const std::string& expected, const std::string& what, int line) {
  report(actual == expected, what, line, "  actual:   \"" + actual + "\"\n  expected: \"" + expected + "\"");
}

#define CHECK(expr) report(static_cast<bool>(expr), #expr, __LINE__)
#define CHECK_EQ(actual, expected) report_equal((actual), (expected), #actual, __LINE__)

constexpr std::string_view diagnostic_names[] = {
#define DIAGNOSTIC(name, text) #name,
#include "diagnostics/diagnostics.def"
#undef DIAGNOSTIC
};

struct Setup {
  std::string target;                 // a target's name, or none
  std::vector<std::string> defines;
  MemoryFiles* files = nullptr;
  std::vector<std::string> include_path;
  std::string path = "src/main.pas";  // the text's own name
};

// What a run gives, compactly: the kept tokens' texts (the end-of-file token
// left out), the diagnostics as "Kind L:C[ detail]" (with "@F" for a file
// other than the text), the inactive ranges as "L:C-L:C".
struct Outcome {
  std::string kept, diagnostics, inactive;
  std::vector<Token> tokens;
  std::string buffer;
  std::vector<SourceFile> files;
};

Outcome run(std::string_view text, const Setup& setup) {
  PreprocessorSettings settings;
  if (!setup.target.empty()) settings.target = find_target(setup.target);
  settings.defines = setup.defines;
  settings.files = setup.files;
  settings.include_path = setup.include_path;
  Preprocessor p(settings);
  HugeVector<Token> tokens;
  p.run(text, setup.path, tokens);
  Outcome o;
  o.buffer = std::string(p.buffer());
  for (const Token& t : tokens) {
    o.tokens.push_back(t);
    if (t.kind == TokenKind::Eof) continue;
    if (!o.kept.empty()) o.kept += ' ';
    o.kept += std::string(t.text(p.buffer()));
  }
  for (const Diagnostic& d : p.diagnostics()) {
    if (!o.diagnostics.empty()) o.diagnostics += "; ";
    o.diagnostics += std::string(diagnostic_names[static_cast<int>(d.kind)]) + " " + std::to_string(d.line) +
                     ":" + std::to_string(d.col);
    if (d.file != 0) o.diagnostics += "@" + std::to_string(d.file);
    if (!d.detail.empty()) o.diagnostics += " " + d.detail;
  }
  for (const InactiveRange& r : p.inactive()) {
    if (!o.inactive.empty()) o.inactive += "; ";
    o.inactive += std::to_string(r.line) + ":" + std::to_string(r.col) + "-" + std::to_string(r.end_line) + ":" +
                  std::to_string(r.end_col);
    if (r.file != 0) o.inactive += "@" + std::to_string(r.file);
  }
  o.files.assign(p.files().begin(), p.files().end());
  return o;
}

struct Case {
  const char* text;
  std::vector<std::string> defines;
  const char* kept;
  const char* diagnostics;
};

void check_cases(const std::vector<Case>& cases, const std::string& target, int line) {
  for (const Case& c : cases) {
    Setup s;
    s.target = target;
    s.defines = c.defines;
    const Outcome o = run(c.text, s);
    report_equal(o.kept, c.kept, std::string("kept tokens of ") + c.text, line);
    report_equal(o.diagnostics, c.diagnostics, std::string("diagnostics of ") + c.text, line);
  }
}

void test_directives() {
  check_cases(
      {
          {"{$IFDEF A}a{$ELSE}b{$ENDIF} c", {"A"}, "a c", ""},
          {"{$IFDEF B}a{$ELSE}b{$ENDIF} c", {"A"}, "b c", ""},
          {"{$ifndef A}a{$endif}z", {"A"}, "z", ""},
          {"{$IFNDEF B}a{$ENDIF}", {"A"}, "a", ""},
          {"(*$IFDEF A*)a(*$ELSE*)b(*$ENDIF*)", {"A"}, "a", ""},
          {"{$IfDef a}x{$EndIf a}", {"A"}, "x", ""},
          {"{$IFDEF A}{$IFDEF B}ab{$ELSE}a{$ENDIF}{$ELSE}n{$ENDIF}", {"A"}, "a", ""},
          // Nothing in inactive code is evaluated: no complaint about Foo(.
          {"{$IFDEF B}{$IF Foo(}x{$ELSEIF ?}y{$ENDIF}{$ELSE}e{$ENDIF}z", {}, "e z", ""},
          {"{$DEFINE B}{$IFDEF B}b{$ENDIF}{$UNDEF B}{$IFDEF B}c{$ENDIF}", {}, "b", ""},
          {"{$IFDEF X}{$DEFINE B}{$ENDIF}{$IFDEF B}b{$ENDIF}", {}, "", ""},
          {"{$UNDEF A}{$IFDEF A}a{$ENDIF}", {"A"}, "", ""},
          {"{$IF Defined(A) and not Defined(B)}t{$ELSE}f{$IFEND}", {"A"}, "t", ""},
          {"{$IF Defined(B)}1{$ELSEIF Defined(A)}2{$ELSEIF True}3{$ELSE}4{$ENDIF}", {"A"}, "2", ""},
          {"{$IF False}1{$ELSEIF False}2{$ELSE}3{$ENDIF}", {}, "3", ""},
          {"{$IF True}1{$ELSEIF Foo}2{$ELSE}3{$ENDIF}", {}, "1", ""},
          {"{$IFDEF A}1{$ELSEIF True}2{$ENDIF}", {}, "2", ""},
          {"{$IFDEF A}{$IFDEF B}{$ELSE}{$ENDIF}{$ENDIF}x", {"A"}, "x", ""},
          {"{$R+}{$IFOPT R+}r{$ENDIF}{$IFOPT R-}n{$ENDIF}", {}, "r", ""},
          {"{$R-,Q+}{$IFOPT Q+}q{$ENDIF}{$IFOPT R+}r{$ENDIF}", {}, "q", ""},
          {"{$RANGECHECKS ON}{$IFOPT R+}r{$ENDIF}{$rangechecks off}{$IFOPT R-}n{$ENDIF}", {}, "r n", ""},
          {"{$I+}{$IFOPT I+}i{$ENDIF}", {}, "i", ""},
          {"{$IFOPT H+}h{$ENDIF}", {}, "", "DirectiveUnknownSwitch 1:1 H"},
          {"{$IFOPT}x{$ENDIF}", {}, "", "DirectiveMalformed 1:1 a switch and + or - are missing"},
          // Directives the preprocessor does not read are dropped.
          {"a {$WARNINGS OFF} {$R *.res} b", {}, "a b", ""},
          {"{$IFDEF A} // {$ELSE}\n x {$ENDIF}", {"A"}, "x", ""},
      },
      "", __LINE__);
  // Targets and Free Pascal's modes and macros.
  check_cases(
      {
          {"{$IFOPT H+}h{$ENDIF}{$IFOPT C+}c{$ENDIF}", {}, "h c", ""},
          {"{$IFDEF MSWINDOWS}{$IFDEF WIN64}w{$ENDIF}{$ENDIF}{$IFDEF VER360}v{$ENDIF}", {}, "w v", ""},
          {"{$mode delphi}{$IFDEF FPC_DELPHI}d{$ENDIF}", {}, "", ""},
          {"{$IFDEF FPC}f{$ELSE}{$IFDEF DEBUG}g{$ENDIF}{$ENDIF}", {"DEBUG"}, "g", ""},
      },
      "delphi12-win64", __LINE__);
  check_cases(
      {
          {"{$mode delphi}{$IFDEF FPC_DELPHI}d{$ENDIF}{$MODE ObjFPC}{$IFDEF FPC_DELPHI}x{$ENDIF}"
           "{$IFDEF FPC_OBJFPC}o{$ENDIF}",
           {}, "d o", ""},
          {"{$IFOPT H-}s{$ENDIF}{$mode delphi}{$IFOPT H+}l{$ENDIF}", {}, "s l", ""},
          {"{$DEFINE matsize:=4}{$IF matsize>=4}m{$ENDIF}{$IFDEF matsize}d{$ENDIF}", {}, "m d", ""},
          {"{$define X := 2 + 3}{$if X = 5}y{$endif}{$undef X}{$if X = 5}z{$endif}", {}, "y",
           "DirectiveUnknownName 1:51 X"},
          {"{$IF FPC_FULLVERSION >= 30200}v{$ENDIF}{$IFDEF VER3_2}w{$ENDIF}", {}, "v w", ""},
          {"{$IF 0}z{$ELSEIF 2}t{$ENDIF}", {}, "t", ""},
          {"{$IF SizeOf(Integer) = 2}i{$ENDIF}{$mode objfpc}{$IF SizeOf(Integer) = 4}j{$ENDIF}", {}, "i j", ""},
          {"{$IFDEF CPUX86_64}{$IFDEF LINUX}l{$ENDIF}{$ENDIF}{$IFDEF MSWINDOWS}w{$ENDIF}", {}, "l", ""},
      },
      "fpc3.2-linux64", __LINE__);
}

void test_expressions() {
  // {$IF E}t{$ELSE}f{$ENDIF} on Delphi 12 for Win64, with A defined.
  struct ExpressionCase {
    const char* expression;
    const char* branch;
    const char* diagnostic;  // the kind and detail, "" for none
  };
  const ExpressionCase cases[] = {
      {"CompilerVersion >= 36", "t", ""},
      {"CompilerVersion > 36.0", "f", ""},
      {"RTLVersion = 36", "t", ""},
      {"CompilerVersion < 35.5", "f", ""},
      {"CompilerVersion <= 36", "t", ""},
      {"CompilerVersion <> 36", "f", ""},
      {"SizeOf(Pointer) = 8", "t", ""},
      {"SizeOf(Char) = 2", "t", ""},
      {"SizeOf(Integer) * 2 = SizeOf(Int64)", "t", ""},
      {"SizeOf(Extended) = 8", "t", ""},
      {"SizeOf(LongInt) = 4", "t", ""},
      {"SizeOf(TFoo) = 1", "f", "DirectiveUnknownName TFoo"},
      {"1 + 2 * 3 = 7", "t", ""},
      {"(1 + 2) * 3 = 9", "t", ""},
      {"10 - 2 - 3 = 5", "t", ""},
      {"7 div 2 = 3", "t", ""},
      {"7 mod 2 = 1", "t", ""},
      {"-7 div 2 = -3", "t", ""},
      {"7 / 2 = 3.5", "t", ""},
      {"-3 + 5 = 2", "t", ""},
      {"$FF = 255", "t", ""},
      {"%101 = 5", "t", ""},
      {"&17 = 15", "t", ""},
      {"1.5e1 = 15", "t", ""},
      {"2 shl 3 = 16", "t", ""},
      {"(6 and 3) = 2", "t", ""},
      {"(6 or 3) = 7", "t", ""},
      {"(6 xor 3) = 5", "t", ""},
      {"not 0 = -1", "t", ""},
      {"Defined(A) or Foo", "t", ""},
      {"Defined(B) and Foo", "f", ""},
      {"Defined(B) or Foo", "f", "DirectiveUnknownName Foo"},
      {"Defined(A) xor Defined(A)", "f", ""},
      {"not (Defined(A))", "f", ""},
      {"not Defined(B) and Defined(A)", "t", ""},
      {"defined(a) AND NOT DEFINED(B)", "t", ""},
      {"Defined(DCC) and Defined(UNICODE) and Defined(CPUX64) and Defined(CONDITIONALEXPRESSIONS)", "t", ""},
      {"Declared(CompilerVersion)", "t", ""},
      {"Declared(Foo)", "f", ""},
      {"Declared(System.Foo)", "f", ""},
      {"'a' = 'a'", "t", ""},
      {"'it''s' <> 'its'", "t", ""},
      {"'a' < 'b'", "t", ""},
      {"TRUE", "t", ""},
      {"False < True", "t", ""},
      {"(CompilerVersion >= 35) and (CompilerVersion < 37)", "t", ""},
      {"", "f", "DirectiveMalformed no expression"},
      {"(", "f", "DirectiveMalformed an operand is missing"},
      {"(1 = 1", "f", "DirectiveMalformed ')' is missing"},
      {"1 +", "f", "DirectiveMalformed an operand is missing"},
      {"1", "f", "DirectiveMalformed the value is no Boolean"},
      {"1 div 0 = 0", "f", "DirectiveMalformed division by zero"},
      {"1 / 0 = 0", "f", "DirectiveMalformed division by zero"},
      {"Defined(A", "f", "DirectiveMalformed ')' is missing"},
      {"Defined()", "f", "DirectiveMalformed a name is missing"},
      {"1 = 1 = True", "t", "DirectiveMalformed '=' after the expression is left out"},
      {"Defined(A))", "t", "DirectiveMalformed ')' after the expression is left out"},
      {"True and 1", "f", "DirectiveMalformed the operands do not match the operator"},
      {"'a' = 1", "f", "DirectiveMalformed the operands do not match the operator"},
      {"9223372036854775807 + 1 = 0", "f", "DirectiveMalformed overflow"},
      {"Foo", "f", "DirectiveUnknownName Foo"},
      {"Foo(1)", "f", "DirectiveUnknownName Foo"},
      {"#13 = 13", "f", "DirectiveMalformed unexpected '#13'"},
  };
  for (const ExpressionCase& c : cases) {
    Setup s;
    s.target = "delphi12-win64";
    s.defines = {"A"};
    const std::string text = std::string("{$IF ") + c.expression + "}t{$ELSE}f{$ENDIF}";
    const Outcome o = run(text, s);
    report_equal(o.kept, c.branch, std::string("branch of ") + c.expression, __LINE__);
    // The diagnostic without its position (always the directive's, 1:1).
    std::string diagnostic = o.diagnostics;
    if (diagnostic.find(" 1:1") != std::string::npos) diagnostic.erase(diagnostic.find(" 1:1"), 4);
    report_equal(diagnostic, c.diagnostic, std::string("diagnostic of ") + c.expression, __LINE__);
  }
  // Nesting past the bound is malformed, not a deep recursion.
  Setup s;
  const std::string deep = "{$IF " + std::string(100000, '(') + "True" + std::string(100000, ')') + "}x{$ENDIF}";
  const Outcome o = run(deep, s);
  CHECK_EQ(o.kept, "");
  CHECK_EQ(o.diagnostics, "DirectiveMalformed 1:1 nested too deeply");
  const std::string deep_not = "{$IF " + [] {
    std::string n;
    for (int k = 0; k < 100000; ++k) n += "not ";
    return n;
  }() + "True}x{$ENDIF}";
  CHECK_EQ(run(deep_not, s).diagnostics, "DirectiveMalformed 1:1 nested too deeply");
  const std::string just_enough = "{$IF " + std::string(200, '(') + "True" + std::string(200, ')') + "}x{$ENDIF}";
  CHECK_EQ(run(just_enough, s).kept, "x");
}

void test_unbalanced() {
  check_cases(
      {
          {"a{$ENDIF}b", {}, "a b", "DirectiveUnopened 1:2"},
          {"{$ELSE}a", {}, "a", "DirectiveUnopened 1:1"},
          {"x{$ELSEIF True}a", {}, "x a", "DirectiveUnopened 1:2"},
          {"{$IFDEF B}a", {}, "", "DirectiveUnclosed 1:1"},
          {"{$IFDEF A}\na", {"A"}, "a", "DirectiveUnclosed 1:1"},
          {"{$IFDEF B}{$IFDEF C}a", {}, "", "DirectiveUnclosed 1:11; DirectiveUnclosed 1:1"},
          {"{$IFDEF A}a{$ELSE}b{$ELSE}c{$ENDIF}d", {"A"}, "a d", "DirectiveAfterElse 1:20"},
          {"{$IFDEF B}a{$ELSE}b{$ELSEIF True}c{$ENDIF}d", {}, "b d", "DirectiveAfterElse 1:20"},
          {"{$IFDEF}x{$ENDIF}y", {}, "y", "DirectiveMalformed 1:1 no name"},
          {"{$IFDEF A", {"A"}, "", "DirectiveUnclosed 1:1"},
          {"{$IF Foo}a{$ELSE}b{$ENDIF}", {}, "b", "DirectiveUnknownName 1:1 Foo"},
      },
      "", __LINE__);
}

void test_inactive_ranges() {
  Setup s;
  Outcome o = run("a\n{$IFDEF X}\n  b c\n{$ELSE}\nd\n{$ENDIF}", s);
  CHECK_EQ(o.kept, "a d");
  CHECK_EQ(o.inactive, "3:3-3:6");
  // Nested directives are inside the range; each branch is a range of its own.
  o = run("{$IFDEF X}b{$IFDEF Y}c{$ENDIF}d{$ELSEIF Z}e{$ENDIF}", s);
  CHECK_EQ(o.inactive, "1:11-1:32; 1:43-1:44");
  // A branch of blanks only leaves nothing out; a comment is code left out.
  o = run("{$IFDEF X}  \n {$ENDIF}{$IFDEF X}{ c }{$ENDIF}", s);
  CHECK_EQ(o.inactive, "2:20-2:25");
  // Columns count code points; offsets count bytes.
  PreprocessorSettings settings;
  Preprocessor p(settings);
  HugeVector<Token> tokens;
  p.run("{$IFDEF X}\xC3\xA9t\xC3\xA9 x{$ENDIF}", "", tokens);
  CHECK(p.inactive().size() == 1);
  if (p.inactive().size() == 1) {
    const InactiveRange& r = p.inactive()[0];
    CHECK(r.line == 1 && r.col == 11 && r.end_line == 1 && r.end_col == 16);
    CHECK(r.start == 10 && r.end == 17);
  }
}

void test_includes() {
  MemoryFiles files;
  files.add("src/a.inc", "{$DEFINE FROM_A} a1 a2");
  files.add("src/Sub/B.Inc", "b");
  files.add("src/c.inc", "c_own");
  files.add("inc/c.inc", "c_path");
  files.add("inc/d.inc", "d");
  files.add("src/r.inc", "r {$I r.inc}");
  files.add("src/p.inc", "p {$I q.inc}");
  files.add("src/q.inc", "q {$I p.inc}");
  files.add("src/u.inc", "{$IFDEF NOPE} u");
  files.add("src/e.inc", "{$ENDIF}");
  files.add("src/w.inc", "\xE9t\xE9");
  files.add("src/u16.inc", std::string("\xFF\xFEz\0", 4));
  files.add("src/bin.inc", std::string("a\0b", 3));
  files.add("src/deep/x.inc", "{$I ../a.inc} x");
  files.add("src/twice.inc", "t {$IFDEF SECOND}2{$ENDIF}");
  files.add("src/Unit.pas", "pas");
  struct IncludeCase {
    const char* text;
    const char* kept;
    const char* diagnostics;
  };
  const IncludeCase cases[] = {
      {"{$I a.inc} {$IFDEF FROM_A}yes{$ENDIF}", "a1 a2 yes", ""},
      {"{$I sub\\b.inc}", "b", ""},
      {"{$INCLUDE 'a'}", "a1 a2", ""},
      {"{$i Unit}", "pas", ""},
      {"{$I c.inc}{$I d.inc}", "c_own d", ""},
      {"{$I missing.inc}x", "x", "IncludeMissing 1:1 missing.inc"},
      {"{$I r.inc}", "r", "IncludeRecursive 1:3@1 r.inc"},
      {"{$I p.inc}", "p q", "IncludeRecursive 1:3@2 p.inc"},
      {"{$I main.pas}", "", "IncludeRecursive 1:1 main.pas"},
      {"{$IFDEF X}{$I missing.inc}{$ENDIF}", "", ""},
      {"{$I u.inc} after", "after", "DirectiveUnclosed 1:1@1"},
      {"{$IFDEF FROM_X}{$ELSE}{$I e.inc}x{$ENDIF}y", "x y", "DirectiveUnopened 1:1@1"},
      {"{$I w.inc}", "\xC3\xA9t\xC3\xA9", ""},
      {"{$I u16.inc}", "z", ""},
      {"{$I bin.inc}x", "x", "IncludeUnreadable 1:1 bin.inc: binary file"},
      {"{$I deep/x.inc}", "a1 a2 x", ""},
      {"{$I twice.inc}{$DEFINE SECOND}{$I twice.inc}", "t t 2", ""},
      {"{$I %DATE%}{$I}", "", "IncludeMissing 1:12 no file name"},
  };
  for (const IncludeCase& c : cases) {
    Setup s;
    s.files = &files;
    s.include_path = {"inc"};
    const Outcome o = run(c.text, s);
    report_equal(o.kept, c.kept, std::string("kept tokens of ") + c.text, __LINE__);
    report_equal(o.diagnostics, c.diagnostics, std::string("diagnostics of ") + c.text, __LINE__);
  }
  // Offsets: every kept token's text lies in the buffer at its offsets, in
  // the file that holds them; a file included twice is in the buffer once.
  Setup s;
  s.files = &files;
  Outcome o = run("m {$I twice.inc} {$I a.inc} {$I twice.inc} n", s);
  CHECK_EQ(o.kept, "m t a1 a2 t n");
  CHECK(o.files.size() == 3);
  CHECK_EQ(o.buffer, std::string("m {$I twice.inc} {$I a.inc} {$I twice.inc} n\nt {$IFDEF SECOND}2{$ENDIF}\n"
                                 "{$DEFINE FROM_A} a1 a2"));
  if (o.files.size() == 3) {
    CHECK_EQ(o.files[1].path, "src/twice.inc");
    CHECK(o.files[1].base == 45 && o.files[2].base == 72);
    PreprocessorSettings settings;
    settings.files = &files;
    Preprocessor p(settings);
    HugeVector<Token> tokens;
    p.run("m {$I twice.inc} n", "src/main.pas", tokens);
    const std::uint32_t expected_file[] = {0, 1, 0, 0};
    CHECK(tokens.size() == 4);
    for (std::size_t k = 0; k < tokens.size() && k < 4; ++k)
      CHECK(p.file_at(tokens[k].start) == expected_file[k]);
    CHECK(tokens.size() == 4 && tokens[1].line == 1 && tokens[1].column == 1 && tokens[3].kind == TokenKind::Eof &&
          tokens[3].start == 18);
  }
  // Without files to read, includes are noted and left out.
  Setup none;
  CHECK_EQ(run("{$I a.inc}x", none).diagnostics, "IncludeNotRead 1:1 a.inc");
  // Windows-1252 is noted per file.
  o = run("{$I w.inc}", s);
  CHECK(o.files.size() == 2 && o.files[1].windows_1252);
}

void test_include_limits() {
  // A chain of files that each include the next twice: 2^40 inclusions
  // if nothing cut it.
  MemoryFiles files;
  const std::string padding = "{" + std::string(4000, 'x') + "}";
  for (int k = 0; k < 40; ++k)
    files.add("f" + std::to_string(k) + ".inc",
              padding + " t" + std::to_string(k) + " {$I f" + std::to_string(k + 1) + ".inc} {$I f" +
                  std::to_string(k + 1) + ".inc}");
  Setup s;
  s.files = &files;
  s.path = "main.pas";
  const auto start = std::chrono::steady_clock::now();
  Outcome o = run("{$I f0.inc}", s);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CHECK(o.diagnostics.find("IncludeLimit") != std::string::npos);
  CHECK(o.files.size() == 41);
  CHECK(seconds < 30);
  // A chain deeper than the limit.
  MemoryFiles chain;
  for (int k = 0; k < 100; ++k)
    chain.add("d" + std::to_string(k) + ".inc", "{$I d" + std::to_string(k + 1) + ".inc}");
  s.files = &chain;
  o = run("{$I d0.inc}", s);
  CHECK_EQ(o.diagnostics, "IncludeLimit 1:1@63 d63.inc: more than 64 files open at once");
}

void test_targets() {
  const std::vector<Target>& targets = builtin_targets();
  CHECK(targets.size() == 22);
  std::set<std::string> names;
  for (const Target& t : targets) {
    names.insert(t.name);
    const auto has = [&](std::string_view s) {
      for (const std::string& x : t.symbols)
        if (x == s) return true;
      return false;
    };
    const bool bits64 = has("CPU64BITS") || has("CPU64");
    report(bits64 == (t.pointer_size == 8), t.name + ": the CPU's width and SizeOf(Pointer) agree", __LINE__);
    if (t.family == CompilerFamily::Delphi) {
      report(has("DCC") && has("CONDITIONALEXPRESSIONS") && has("UNICODE") && has("NATIVECODE"),
             t.name + ": Delphi's symbols", __LINE__);
      report(t.constants.size() == 2 && t.constants[0].first == "CompilerVersion" &&
                 has("VER" + std::to_string(static_cast<int>(t.constants[0].second.real) * 10)),
             t.name + ": VERnnn matches CompilerVersion", __LINE__);
    } else {
      report(has("FPC") && has("VER3_2") && !has("DCC"), t.name + ": Free Pascal's symbols", __LINE__);
    }
  }
  CHECK(names.size() == targets.size());
  CHECK(find_target("Delphi12-Win64") != nullptr && find_target("fpc3.2-linux64") != nullptr);
  CHECK(find_target("delphi13-win64") == nullptr && find_target("") == nullptr);
  CHECK(find_target("delphi10.3-macosarm64") == nullptr && find_target("delphi11-macosarm64") != nullptr);
}

// Decoding, as the command line reads files.
void test_decode() {
  struct DecodeCase {
    std::string bytes;
    const char* text;     // UTF-8, or the message of a refusal
    bool windows_1252;
  };
  const DecodeCase cases[] = {
      {"abc", "abc", false},
      {"\xEF\xBB\xBF" "a\xC3\xA9", "a\xC3\xA9", false},
      {"\xEF\xBB\xBF\xEF\xBB\xBFx", "x", false},
      {"caf\xE9", "caf\xC3\xA9", true},
      {"\x80\x81\x8D\x8F\x90\x9D\x9F", "\xE2\x82\xAC\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D\xC5\xB8", true},
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC", true},  // a surrogate in UTF-8 is not UTF-8
      {std::string("\xFF\xFE" "a\0\x3D\xD8\x00\xDE", 8), "a\xF0\x9F\x98\x80", false},
      {std::string("\xFE\xFF\0a", 4), "a", false},
      {std::string("\xFF\xFE\0\0a\0\0\0", 8), "a", false},
      {std::string("\0\0\xFE\xFF\0\0\0a", 8), "a", false},
      {std::string("a\0b", 3), "binary file", false},
      {std::string("\xFF\xFE" "a\0\0\0", 6), "binary file", false},
      {"\xEF\xBB\xBF" "ab\xFF", "cannot decode as utf-8 (byte-order mark): byte 0xff at offset 5", false},
      {std::string("\xEF\xBB\xBF\xFF\0", 5), "binary file", false},
      {std::string("\xFF\xFE" "a\0b", 5), "cannot decode as utf-16-le (byte-order mark): truncated data at offset 4",
       false},
      {std::string("\xFF\xFE\x00\xDC", 4),
       "cannot decode as utf-16-le (byte-order mark): illegal encoding at offset 2", false},
      {std::string("\xFE\xFF\xD8\x00\x00\x61", 6),
       "cannot decode as utf-16-be (byte-order mark): illegal UTF-16 surrogate at offset 2", false},
      {std::string("\xFF\xFE\x00\xD8\x00", 5),
       "cannot decode as utf-16-le (byte-order mark): unexpected end of data at offset 2", false},
      {std::string("\xFF\xFE\0\0\0\0\x11\0", 8),
       "cannot decode as utf-32-le (byte-order mark): code point not in range(0x110000) at offset 4", false},
      {std::string("\0\0\xFE\xFF\0\0\xD8\0", 8),
       "cannot decode as utf-32-be (byte-order mark): code point in surrogate code point range(0xd800, 0xe000) "
       "at offset 4",
       false},
  };
  for (const DecodeCase& c : cases) {
    std::string text;
    const DecodedSource d = decode_source(c.bytes, text);
    report_equal(d.ok() ? text : d.message(), c.text, "decoding of a " + std::to_string(c.bytes.size()) + "-byte file",
                 __LINE__);
    CHECK(d.windows_1252 == c.windows_1252);
  }
  std::string text;
  CHECK(decode_source("caf\xE9", text, Unmarked::Utf8).message() == "cannot decode as utf-8: byte 0xe9 at offset 3");
  CHECK(decode_source("caf\xC3\xA9", text, Unmarked::Windows1252).ok() && text == "caf\xC3\x83\xC2\xA9");
  // Every byte decodes as Windows-1252, to one code point each.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  all.insert(all.begin(), static_cast<char>(0xFF));  // not valid UTF-8
  CHECK(decode_source(all, text).ok() && unicode::count_code_points(text) == 256);
  CHECK(valid_utf8_prefix("abcdefghij\xC3") == 10 && valid_utf8_prefix("\xF4\x8F\xBF\xBF") == 4 &&
        valid_utf8_prefix("\xF4\x90\x80\x80") == 0 && valid_utf8_prefix("\xE0\x9F\x80") == 0);
}

// ---- Random nestings against a model ------------------------------------
//
// The generator writes a text of nested conditionals over three symbols,
// {$DEFINE}s and {$UNDEF}s, and knows as it writes which tokens a compiler
// keeps: it writes the same text with the tokens it leaves out blanked (each
// code point but a line feed a space). The preprocessor must keep exactly
// the tokens the plain scanner finds in the blanked text, at the same
// lines and columns, and its inactive ranges must blank the text the same.
struct Generator {
  std::mt19937 rng;
  std::string text, blanked;
  std::set<std::string> defined;

  explicit Generator(unsigned seed) : rng(seed) {}
  int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
  std::string symbol() {
    static const char* const names[] = {"A", "b", "Sym_C"};
    return names[pick(3)];
  }
  static std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return s;
  }
  bool is_defined(const std::string& s) { return defined.count(upper(s)) != 0; }
  // A directive: in active code kept in both texts; in inactive code blanked.
  void directive(const std::string& body, bool active) {
    const std::string d = pick(4) == 0 ? "(*$" + body + "*)" : "{$" + body + "}";
    text += d;
    blanked += active ? d : std::string(d.size(), ' ');
  }
  void code(bool active) {
    static const char* const pieces[] = {"x", "begin", "end;", "'s'", "\xC3\xA9t\xC3\xA9", "1.5", "{ c }", "(* c *)",
                                         "// line", "&&", "#13", "a.b"};
    const std::string p = pieces[pick(12)];
    text += p;
    if (active) {
      blanked += p;
    } else {
      for (std::size_t i = 0; i < p.size(); ++i)
        if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) blanked += ' ';
    }
    // A line comment ends at the line feed.
    const std::string gap = pick(3) == 0 || p.starts_with("//") ? "\n" : " ";
    text += gap;
    blanked += gap;
  }
  std::string cased(const char* word) {
    std::string w = word;
    if (pick(2)) w = upper(w);
    return w;
  }
  void block(int depth, bool active) {
    const int items = pick(6);
    for (int k = 0; k < items; ++k) {
      const int what = depth > 4 ? 0 : pick(8);
      if (what <= 2) {
        code(active);
      } else if (what == 3) {
        const std::string s = symbol();
        const bool def = pick(2);
        directive(std::string(def ? cased("define") : cased("undef")) + " " + s, active);
        if (active) def ? (void)defined.insert(upper(s)) : (void)defined.erase(upper(s));
        text += " ";
        blanked += " ";
      } else {
        conditional(depth, active);
      }
    }
  }
  void conditional(int depth, bool active) {
    const std::string s = symbol();
    bool taken = false;
    const int form = pick(3);
    if (form == 0) {
      directive(cased("ifdef") + " " + s, active);
      taken = is_defined(s);
    } else if (form == 1) {
      directive(cased("ifndef") + " " + s, active);
      taken = !is_defined(s);
    } else {
      const std::string t = symbol();
      directive(cased("if") + " Defined(" + s + ") or not defined(" + t + ")", active);
      taken = is_defined(s) || !is_defined(t);
    }
    block(depth + 1, active && taken);
    bool done = taken;
    if (pick(3) == 0) {
      const std::string e = symbol();
      directive(cased("elseif") + " Defined(" + e + ")", active);
      const bool branch = !done && is_defined(e);
      block(depth + 1, active && branch);
      done = done || branch;
    }
    if (pick(2)) {
      directive(cased("else"), active);
      block(depth + 1, active && !done);
    }
    directive(pick(4) == 0 ? cased("ifend") : cased("endif") + (pick(3) == 0 ? " " + s : ""), active);
    text += " ";
    blanked += " ";
  }
};

void test_random_nestings() {
  int mismatches = 0;
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    Generator g(seed);
    const int start = g.pick(8);
    if (start & 1) g.defined.insert("A");
    if (start & 2) g.defined.insert("B");
    if (start & 4) g.defined.insert("SYM_C");
    PreprocessorSettings settings;
    settings.defines.assign(g.defined.begin(), g.defined.end());
    g.block(0, true);
    Preprocessor p(settings);
    HugeVector<Token> kept;
    p.run(g.text, "", kept);
    std::vector<Token> expected;
    Lexer(g.blanked).run([&](const Token& t) {
      if (t.kind != TokenKind::Comment && t.kind != TokenKind::Directive) expected.push_back(t);
    });
    bool same = kept.size() == expected.size() && p.diagnostics().empty();
    for (std::size_t k = 0; same && k < kept.size(); ++k)
      same = kept[k].kind == expected[k].kind && kept[k].line == expected[k].line &&
             kept[k].column == expected[k].column && kept[k].text(g.text) == expected[k].text(g.blanked);
    // Blanking the inactive ranges (each code point but a line feed a
    // space) gives the model's text.
    std::string ranges_blanked;
    std::size_t r = 0;
    for (std::size_t i = 0; i < g.text.size(); ++i) {
      while (r < p.inactive().size() && p.inactive()[r].end <= i) ++r;
      const bool inside = r < p.inactive().size() && p.inactive()[r].start <= i;
      const auto c = static_cast<unsigned char>(g.text[i]);
      if (!inside || c == '\n') {
        ranges_blanked += g.text[i];
      } else if ((c & 0xC0) != 0x80) {
        ranges_blanked += ' ';
      }
    }
    same = same && ranges_blanked == g.blanked;
    if (!same && ++mismatches <= 3)
      report(false, "random nesting, seed " + std::to_string(seed), __LINE__, "  text: " + g.text);
  }
  CHECK(mismatches == 0);
}

// ---- Random expressions against a reference -------------------------------
//
// Integer and Boolean expression trees, written with the parentheses
// Pascal's precedence needs (and a few more), evaluated here and by the
// evaluator.
struct Names final : ConditionNames {
  Constant seven = Constant::of_integer(7);
  bool defined(std::string_view n) override { return n == "A"; }
  bool declared(std::string_view) override { return false; }
  const Constant* constant(std::string_view n) override { return n == "Seven" ? &seven : nullptr; }
  std::optional<std::uint32_t> size_of(std::string_view) override { return std::nullopt; }
};

struct Expr {
  std::string text;
  int level;  // 0 relation, 1 adding, 2 multiplying, 3 operand
  bool boolean;
  std::int64_t value;
};

Expr random_expr(std::mt19937& rng, int depth, bool boolean) {
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const auto wrap = [&](const Expr& e, int level) {
    return e.level < level || pick(5) == 0 ? "(" + e.text + ")" : e.text;
  };
  if (depth == 0 || pick(4) == 0) {
    if (boolean) {
      const int k = pick(3);
      if (k == 0) return {"Defined(A)", 3, true, 1};
      if (k == 1) return {"Defined(B)", 3, true, 0};
      const bool b = pick(2);
      return {b ? "True" : "False", 3, true, b};
    }
    if (pick(4) == 0) return {"Seven", 3, false, 7};
    const std::int64_t v = pick(20);
    return {std::to_string(v), 3, false, v};
  }
  if (boolean) {
    const int k = pick(5);
    if (k == 0) {
      const Expr a = random_expr(rng, depth - 1, true);
      return {"not " + wrap(a, 3), 3, true, !a.value};
    }
    if (k == 1) {
      const Expr a = random_expr(rng, depth - 1, false), b = random_expr(rng, depth - 1, false);
      static const char* const ops[] = {"=", "<>", "<", ">", "<=", ">="};
      const int o = pick(6);
      const bool r = o == 0 ? a.value == b.value : o == 1 ? a.value != b.value : o == 2 ? a.value < b.value
                     : o == 3 ? a.value > b.value : o == 4 ? a.value <= b.value : a.value >= b.value;
      return {wrap(a, 1) + " " + ops[o] + " " + wrap(b, 1), 0, true, r};
    }
    const Expr a = random_expr(rng, depth - 1, true), b = random_expr(rng, depth - 1, true);
    if (k == 2) return {wrap(a, 2) + " and " + wrap(b, 3), 2, true, a.value && b.value};
    if (k == 3) return {wrap(a, 1) + " or " + wrap(b, 2), 1, true, a.value || b.value};
    return {wrap(a, 1) + " xor " + wrap(b, 2), 1, true, a.value != b.value};
  }
  const Expr a = random_expr(rng, depth - 1, false), b = random_expr(rng, depth - 1, false);
  const int k = pick(5);
  if (k == 0) return {wrap(a, 1) + " + " + wrap(b, 2), 1, false, a.value + b.value};
  if (k == 1) return {wrap(a, 1) + " - " + wrap(b, 2), 1, false, a.value - b.value};
  if (k == 2) return {wrap(a, 2) + " * " + wrap(b, 3), 2, false, a.value * b.value};
  if (b.value == 0) return {wrap(a, 2) + " * " + wrap(b, 3), 2, false, 0};
  if (k == 3) return {wrap(a, 2) + " div " + wrap(b, 3), 2, false, a.value / b.value};
  return {wrap(a, 2) + " mod " + wrap(b, 3), 2, false, a.value % b.value};
}

void test_random_expressions() {
  std::mt19937 rng(25);
  Names names;
  ConditionEvaluator evaluator;
  int mismatches = 0;
  for (int k = 0; k < 20000; ++k) {
    const Expr e = random_expr(rng, 4, true);
    const Condition c = evaluator.evaluate(e.text, names);
    if ((!c.ok || c.value != (e.value != 0)) && ++mismatches <= 3)
      report(false, "expression " + e.text, __LINE__, "  detail: " + c.detail);
  }
  CHECK(mismatches == 0);
  // The value of a macro.
  const std::optional<Constant> v = evaluator.value_of("Seven * 2", names);
  CHECK(v && v->type == Constant::Type::Integer && v->integer == 14);
  CHECK(!evaluator.value_of("Seven *", names));
}

// Preprocessing takes no time worth the name on text without directives:
// one pass over the scanner's tokens, none allocated apart from the list.
void test_plain_text_unchanged() {
  std::string text;
  for (int k = 0; k < 2000; ++k) text += "procedure P" + std::to_string(k) + "; begin x := x + 1 end; { c }\n";
  PreprocessorSettings settings;
  settings.target = find_target("delphi12-win64");
  Preprocessor p(settings);
  HugeVector<Token> kept;
  p.run(text, "a.pas", kept);
  std::vector<Token> plain;
  Lexer(text).run([&](const Token& t) {
    if (t.kind != TokenKind::Comment && t.kind != TokenKind::Directive) plain.push_back(t);
  });
  bool same = kept.size() == plain.size();
  for (std::size_t k = 0; same && k < plain.size(); ++k)
    same = kept[k].start == plain[k].start && kept[k].end == plain[k].end && kept[k].word == plain[k].word;
  CHECK(same);
  CHECK(p.buffer().data() == text.data());  // no copy without includes
  CHECK(p.inactive().empty() && p.diagnostics().empty());
}

// The trees of preprocessed texts: node files, the main text as the source,
// diagnostics of both kinds in the order of the text.
void test_preprocessed_trees() {
  MemoryFiles files;
  files.add("src/decl.inc", "var\n  v: Integer;\n  w: Byte;\n)\n");
  files.add("src/empty.inc", "{$IFDEF X}");
  PreprocessorSettings settings;
  settings.files = &files;
  settings.defines = {"ON"};
  const std::string text =
      "unit U;\ninterface\n{$I decl.inc}\n{$IFDEF ON}const c = 1;{$ELSE}const c = 2;{$ENDIF}\n"
      "{$I missing.inc}{$I empty.inc}\nimplementation\nend.\n";
  const auto tree = parse_to_tree(text, "src/u.pas", Grammar::Complete, &settings);
  CHECK(tree->source() == text);
  CHECK(tree->included_files().size() == 2 && tree->included_files()[0] == "src/decl.inc");
  CHECK(tree->texts().substr(text.size() + 1, 4) == "var\n");
  std::string kinds;
  for (std::uint32_t n = 0; n < tree->node_count(); ++n)
    if (tree->node_file(n) == 1) kinds += std::string(node_kind_names[static_cast<int>(tree->node(n).kind)]) + " ";
  CHECK_EQ(kinds, "ntVariables ntVariable ntName ntType ntVariable ntName ntType ");
  std::string diagnostics;
  for (const Diagnostic& d : tree->diagnostics())
    diagnostics += std::string(diagnostic_names[static_cast<int>(d.kind)]) + " " + std::to_string(d.file) + ":" +
                   std::to_string(d.line) + ":" + std::to_string(d.col) + "; ";
  CHECK_EQ(diagnostics, "SkippedInUnit 1:4:1; IncludeMissing 0:5:1; DirectiveUnclosed 2:1:1; ");
  CHECK(tree->inactive().size() == 1 && tree->inactive()[0].line == 4 && tree->inactive()[0].col == 31);
  // Without includes nothing is copied and no node notes a file.
  settings.files = nullptr;
  const auto plain = parse_to_tree("unit U; interface {$I x} implementation end.", "u.pas", Grammar::Complete, &settings);
  CHECK(plain->texts().data() == plain->source().data() && plain->included_files().empty());
  CHECK(plain->node_file(1) == 0 && plain->diagnostics().size() == 1);
}

}  // namespace

int main() {
  const std::pair<const char*, void (*)()> tests[] = {
      {"directives", test_directives},
      {"expressions", test_expressions},
      {"unbalanced", test_unbalanced},
      {"inactive ranges", test_inactive_ranges},
      {"includes", test_includes},
      {"include limits", test_include_limits},
      {"targets", test_targets},
      {"decode", test_decode},
      {"random nestings", test_random_nestings},
      {"random expressions", test_random_expressions},
      {"plain text", test_plain_text_unchanged},
      {"preprocessed trees", test_preprocessed_trees},
  };
  for (const auto& [name, body] : tests) {
    try {
      body();
    } catch (const std::exception& e) {
      report(false, name, __LINE__, std::string("  unexpected exception: ") + e.what());
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
