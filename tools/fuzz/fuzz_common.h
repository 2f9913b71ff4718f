// Shared helpers of the fuzz targets: failure reporting, UTF-8 validation, a
// line table of the input, and the stand-alone driver that replays files
// without libFuzzer (compile with -DTARNWICK_FUZZ_STANDALONE).
//
// A target defines LLVMFuzzerTestOneInput and includes this header once.
// Every broken invariant ends the process through fuzz_fail(), which prints
// what was wrong and calls abort(), so libFuzzer keeps the input as a crash
// file and the stand-alone driver exits abnormally.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Name of the input being replayed by the stand-alone driver (empty under
// libFuzzer, which reports the input itself).
inline std::string current_input;

[[noreturn]] inline void fail(const char* what, std::string_view detail = {},
                              std::size_t line_no = 0) {
  std::fprintf(stderr, "\n*** fuzz invariant broken: %s\n", what);
  if (line_no) std::fprintf(stderr, "*** at output line %zu\n", line_no);
  if (!detail.empty()) {
    // Cut very long lines so the report stays readable.
    std::string_view shown = detail.substr(0, 400);
    std::fprintf(stderr, "*** %.*s%s\n", static_cast<int>(shown.size()), shown.data(),
                 detail.size() > shown.size() ? " [...]" : "");
  }
  if (!current_input.empty()) std::fprintf(stderr, "*** input file: %s\n", current_input.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond, ...)                                              \
  do {                                                                     \
    if (!(cond)) ::fuzz::fail("check failed: " #cond, ##__VA_ARGS__);      \
  } while (0)

// Runs `body` and turns every exception into a finding: the core promises a
// result for every text, so an exception (InternalError or anything else)
// escaping an entry point is always a fault.
template <class Body>
inline void no_exception(const char* where, Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    std::string msg = std::string(where) + " threw: " + e.what();
    fail("exception escaped the core", msg);
  } catch (...) {
    fail("exception escaped the core", std::string(where) + " threw a non-standard exception");
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// This is the text the Python side hands over (str.encode("utf-8")).
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i - 1 < need) return false;  // truncated at the end
    for (std::size_t k = 1; k <= need; ++k) {
      const unsigned char b = static_cast<unsigned char>(s[i + k]);
      const unsigned char l = k == 1 ? lo : 0x80;
      const unsigned char h = k == 1 ? hi : 0xBF;
      if (b < l || b > h) return false;
    }
    i += need + 1;
  }
  return true;
}

// Byte comparisons written out rather than through memcmp: libFuzzer hooks
// memcmp and would take the checks' own comparisons for hints about what the
// core compares, which only dilutes its table of useful input bytes.
inline bool equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}
inline bool starts_with(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && equal(s.substr(0, p.size()), p);
}
inline bool contains(std::string_view s, std::string_view p) {
  for (std::size_t i = 0; i + p.size() <= s.size(); ++i)
    if (equal(s.substr(i, p.size()), p)) return true;
  return false;
}
// Offset of the last occurrence of `p` in `s`, or npos.
inline std::size_t find_last(std::string_view s, std::string_view p) {
  for (std::size_t i = s.size() + 1; i-- > 0;)
    if (i + p.size() <= s.size() && equal(s.substr(i, p.size()), p)) return i;
  return std::string_view::npos;
}

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Lines of the input as the core counts them: only the line feed ends a line,
// lengths are in code points (the line feed not counted).
struct LineTable {
  std::vector<std::uint64_t> length;  // code points of each line, index 0 = line 1
  std::uint64_t code_points = 0;      // of the whole text

  explicit LineTable(std::string_view text) {
    std::uint64_t cur = 0;
    for (unsigned char c : text) {
      if (is_continuation(c)) continue;
      ++code_points;
      if (c == '\n') {
        length.push_back(cur);
        cur = 0;
      } else {
        ++cur;
      }
    }
    length.push_back(cur);
  }
  std::uint64_t lines() const { return length.size(); }
  // A place in the text: a line that exists and a column from 1 to one past
  // the last character of that line.
  bool inside(std::uint64_t line, std::uint64_t col) const {
    return line >= 1 && line <= lines() && col >= 1 && col <= length[line - 1] + 1;
  }
};

// Parses a decimal number written without sign or leading zeros that fits in
// 32 bits; advances `pos`. Answers false when there is none.
inline bool read_u32(std::string_view s, std::size_t& pos, std::uint64_t& value) {
  std::size_t start = pos;
  value = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + static_cast<unsigned>(s[pos] - '0');
    if (value > 0xFFFFFFFFull) return false;
    ++pos;
  }
  if (pos == start) return false;
  if (s[start] == '0' && pos - start > 1) return false;  // leading zero
  return true;
}

inline bool eat(std::string_view s, std::size_t& pos, std::string_view lit) {
  if (!starts_with(s.substr(pos), lit)) return false;
  pos += lit.size();
  return true;
}

// Splits at line feeds; n line feeds give n + 1 lines.
inline std::vector<std::string_view> split_lines(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = s.find('\n', start);
    if (lf == std::string_view::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, lf - start));
    start = lf + 1;
  }
}

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#ifdef TARNWICK_FUZZ_STANDALONE
// Replays inputs without libFuzzer: every argument is a file, or a directory
// whose regular files are replayed in name order. Each input is copied into a
// buffer of exactly its size, as libFuzzer does, so that an over-read is seen
// by AddressSanitizer when the driver is built with it.
#include <filesystem>
#include <fstream>
#include <iterator>

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    fs::path p(argv[i]);
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      std::vector<fs::path> in_dir;
      for (const auto& entry : fs::directory_iterator(p))
        if (entry.is_regular_file()) in_dir.push_back(entry.path());
      std::sort(in_dir.begin(), in_dir.end());
      inputs.insert(inputs.end(), in_dir.begin(), in_dir.end());
    } else if (fs::is_regular_file(p, ec)) {
      inputs.push_back(p);
    } else {
      std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
      return 2;
    }
  }
  for (const fs::path& p : inputs) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "%s: cannot be read\n", p.c_str());
      return 2;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fuzz::current_input = p.string();
    std::vector<std::uint8_t> buf(bytes.begin(), bytes.end());
    // An empty vector has no storage; hand over a valid pointer all the same.
    std::uint8_t dummy = 0;
    LLVMFuzzerTestOneInput(buf.empty() ? &dummy : buf.data(), buf.size());
  }
  std::printf("%zu inputs ran without a finding\n", inputs.size());
  return 0;
}
#endif
