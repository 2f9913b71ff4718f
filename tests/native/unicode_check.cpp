// Driver for tests/native/unicode_check.py: exercises the unicode module on
// its own (it links unicode.cpp only) and prints what it computes, for the
// script to compare with values taken from the Unicode Character Database and
// from Python.
//
//   unicode_check dump   one line per code point (surrogates skipped):
//                        "CP FLAGS LOWER SIGMA", where CP is hex, FLAGS three
//                        0/1 digits (is_alphabetic, is_numeric,
//                        is_white_space), LOWER the hex code points of
//                        to_lower of the character joined by ".", and SIGMA
//                        three letters, 'f' where a capital sigma lowered to
//                        the final form and 's' where it did not, for the
//                        texts "A" c U+03A3, "A" U+03A3 c and c U+03A3.
//   unicode_check ops    reads requests from standard input, one a line, and
//                        answers each with one line. Texts are written as hex
//                        bytes, "-" for the empty text.
//                          lower T    -> hex of to_lower(T)
//                          decode T   -> "cp:len" items of decoding T from
//                                        start to end, space separated
//                          count T    -> count_code_points(T)
//                          trim T     -> "begin end" byte offsets of
//                                        trim_white_space(T) in T
//                          leq T W    -> 1 or 0, lower_equals(T, W)
//                          aieq A B   -> 1 or 0, ascii_iequals(A, B)
//
// Both modes also check properties that need no outside reference (decode of
// every encoded code point, append_lower appending after existing text,
// trim returning a view into its argument, no character lowering to more
// ASCII bytes than it has) and report failures on standard
// error; the exit status is 1 when any failed.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "unicode/unicode.h"

namespace u = tarnwick::unicode;

namespace {

int failures = 0;

void fail(const std::string& what) {
  if (++failures <= 50) std::cerr << "FAIL: " << what << '\n';
}

std::string encode(char32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

std::string hex_code(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(cp));
  return buf;
}

std::string hex_bytes(std::string_view text) {
  if (text.empty()) return "-";
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : text) {
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

// A copy of a text in a heap block of exactly its size, so that
// AddressSanitizer reports any read past its end (a std::string has spare
// capacity and a terminating zero behind its bytes).
class ExactText {
 public:
  explicit ExactText(std::string_view text) : bytes_(new char[text.size()]), size_(text.size()) {
    if (size_ != 0) std::memcpy(bytes_.get(), text.data(), size_);
  }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

std::string from_hex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// Decodes well-formed text into code points, checking decode's lengths.
std::u32string code_points(std::string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 0;
    out += u::decode(text, i, len);
    i += len;
  }
  return out;
}

// The form a capital sigma took in the lower form of `text`: 'f' for the
// final form, 's' for the other. The sigma is the code point at `index` of the
// lower form, counted from the end when `from_end` is set.
char sigma_form(std::string_view text, std::size_t index, bool from_end) {
  const std::u32string lowered = code_points(u::to_lower(text));
  if (index >= lowered.size()) {
    fail("lower form too short: " + hex_bytes(text));
    return '?';
  }
  const char32_t c = lowered[from_end ? lowered.size() - 1 - index : index];
  if (c != U'\u03C2' && c != U'\u03C3') fail("no sigma in place in the lower form of " + hex_bytes(text));
  return c == U'\u03C2' ? 'f' : 's';
}

int dump() {
  const std::string sigma = encode(0x03A3);
  std::string line;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string c = encode(cp);

    std::size_t len = 0;
    const ExactText exact(c);
    const std::string_view heap = exact.view();
    if (u::decode(heap, 0, len) != cp || len != c.size()) fail("decode of U+" + hex_code(cp));
    if (u::count_code_points(heap) != 1) fail("count_code_points of U+" + hex_code(cp));
    const std::string_view trimmed = u::trim_white_space(heap);
    if (trimmed.empty() != u::is_white_space(cp)) fail("trim_white_space of U+" + hex_code(cp));

    const std::string lower = u::to_lower(heap);
    std::string appended = "Ab";
    u::append_lower(heap, appended);
    if (appended != "Ab" + lower) fail("append_lower after text, U+" + hex_code(cp));
    // lower_equals rejects a text shorter than its ASCII word outright: no
    // character may lower to more ASCII bytes than it is written with.
    if (lower.size() > c.size() &&
        std::all_of(lower.begin(), lower.end(), [](char b) { return static_cast<unsigned char>(b) < 0x80; }))
      fail("lower form is ASCII and longer than the character, U+" + hex_code(cp));

    line = hex_code(cp);
    line += ' ';
    line += u::is_alphabetic(cp) ? '1' : '0';
    line += u::is_numeric(cp) ? '1' : '0';
    line += u::is_white_space(cp) ? '1' : '0';
    line += ' ';
    bool first = true;
    for (char32_t m : code_points(lower)) {
      if (!first) line += '.';
      first = false;
      line += hex_code(m);
    }
    line += ' ';
    line += sigma_form(ExactText("A" + c + sigma).view(), 0, true);
    line += sigma_form(ExactText("A" + sigma + c).view(), 1, false);
    line += sigma_form(ExactText(c + sigma).view(), 0, true);
    line += '\n';
    std::fputs(line.c_str(), stdout);
  }
  return failures ? 1 : 0;
}

int ops() {
  std::string request;
  while (std::getline(std::cin, request)) {
    std::istringstream in(request);
    std::string op, a, b;
    in >> op >> a >> b;
    const ExactText exact(from_hex(a));
    const std::string_view text = exact.view();
    std::string answer;
    if (op == "lower") {
      answer = hex_bytes(u::to_lower(text));
    } else if (op == "decode") {
      for (std::size_t i = 0; i < text.size();) {
        std::size_t len = 0;
        const char32_t cp = u::decode(text, i, len);
        if (len == 0 || i + len > text.size()) {
          fail("decode length " + std::to_string(len) + " at " + std::to_string(i) + " of " + a);
          break;
        }
        if (!answer.empty()) answer += ' ';
        answer += hex_code(cp) + ":" + std::to_string(len);
        i += len;
      }
      if (answer.empty()) answer = "-";
    } else if (op == "count") {
      answer = std::to_string(u::count_code_points(text));
    } else if (op == "trim") {
      const std::string_view view = text;
      const std::string_view t = u::trim_white_space(view);
      if (t.data() < view.data() || t.data() + t.size() > view.data() + view.size()) {
        fail("trim_white_space result outside its argument: " + a);
      }
      const std::size_t begin = static_cast<std::size_t>(t.data() - view.data());
      answer = std::to_string(begin) + " " + std::to_string(begin + t.size());
    } else if (op == "leq") {
      const ExactText word(from_hex(b));
      answer = u::lower_equals(text, word.view()) ? "1" : "0";
    } else if (op == "aieq") {
      const ExactText other(from_hex(b));
      answer = u::ascii_iequals(text, other.view()) ? "1" : "0";
    } else {
      std::cerr << "unknown request: " << request << '\n';
      return 2;
    }
    std::fputs(answer.c_str(), stdout);
    std::fputc('\n', stdout);
  }
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  int status;
  if (mode == "dump") {
    status = dump();
  } else if (mode == "ops") {
    status = ops();
  } else {
    std::cerr << "usage: unicode_check dump|ops\n";
    return 2;
  }
  std::fflush(stdout);
  if (failures) std::cerr << failures << " internal check(s) failed\n";
  return status;
}
