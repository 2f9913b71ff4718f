// The decoder of source files (see decode.h). Its reports of files it cannot
// read name the failure as CPython's codecs do, so that the command line
// reads the same whatever decodes its files.
#include "preprocessor/decode.h"

#include <cstdint>
#include <cstdio>
#include <cstring>


namespace tarnwick {
namespace {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// Windows-1252's row 0x80 to 0x9F; the rest of the code page is Latin-1. The
// five bytes the code page leaves undefined stand for themselves.
constexpr char16_t windows_1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

void windows_1252_to_utf8(std::string_view bytes, std::string& out) {
  out.reserve(bytes.size() + bytes.size() / 2);
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    // ASCII runs are copied whole.
    std::size_t j = i;
    while (j < n && static_cast<unsigned char>(bytes[j]) < 0x80) ++j;
    out.append(bytes.data() + i, j - i);
    if (j == n) break;
    const auto b = static_cast<unsigned char>(bytes[j]);
    append_utf8(out, b < 0xA0 ? char32_t{windows_1252_high[b - 0x80]} : char32_t{b});
    i = j + 1;
  }
}

struct WideFailure {
  std::string reason;
  std::size_t offset = 0;  // in the bytes decoded
  bool failed = false;
};

WideFailure utf16_to_utf8(std::string_view bytes, bool big_endian, std::string& out) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  const auto unit = [&](std::size_t i) -> char32_t {
    return big_endian ? char32_t(b[i] << 8 | b[i + 1]) : char32_t(b[i + 1] << 8 | b[i]);
  };
  out.reserve(n / 2 + n / 4);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const char32_t u = unit(i);
    if (u < 0xD800 || u > 0xDFFF) {
      append_utf8(out, u);
      continue;
    }
    if (u >= 0xDC00) return {"illegal encoding", i, true};
    if (n - (i + 2) < 2) return {"unexpected end of data", i, true};
    const char32_t low = unit(i + 2);
    if (low < 0xDC00 || low > 0xDFFF) return {"illegal UTF-16 surrogate", i, true};
    append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
    i += 2;
  }
  if (i < n) return {"truncated data", i, true};
  return {};
}

WideFailure utf32_to_utf8(std::string_view bytes, bool big_endian, std::string& out) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  out.reserve(n / 4 + n / 8);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::uint32_t u =
        big_endian ? std::uint32_t{b[i]} << 24 | std::uint32_t{b[i + 1]} << 16 | std::uint32_t{b[i + 2]} << 8 | b[i + 3]
                   : std::uint32_t{b[i + 3]} << 24 | std::uint32_t{b[i + 2]} << 16 | std::uint32_t{b[i + 1]} << 8 | b[i];
    if (u > 0x10FFFF) return {"code point not in range(0x110000)", i, true};
    if (u >= 0xD800 && u <= 0xDFFF) return {"code point in surrogate code point range(0xd800, 0xe000)", i, true};
    append_utf8(out, u);
  }
  if (i < n) return {"truncated data", i, true};
  return {};
}

}  // namespace

std::size_t valid_utf8_prefix(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = s[i];
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
      return i;
    }
    if (n - i - 1 < need) return i;
    for (std::size_t k = 1; k <= need; ++k) {
      const unsigned char b = s[i + k];
      if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return i;
    }
    i += need + 1;
  }
  return n;
}

ByteOrderMark byte_order_mark(std::string_view bytes) {
  // Longest first: the UTF-32 LE mark starts with the UTF-16 LE one.
  static constexpr struct {
    std::string_view mark;
    std::string_view encoding;
  } marks[] = {
      {std::string_view("\xFF\xFE\x00\x00", 4), "utf-32-le"},
      {std::string_view("\x00\x00\xFE\xFF", 4), "utf-32-be"},
      {"\xEF\xBB\xBF", "utf-8"},
      {"\xFF\xFE", "utf-16-le"},
      {"\xFE\xFF", "utf-16-be"},
  };
  for (const auto& m : marks)
    if (bytes.substr(0, m.mark.size()) == m.mark) return {m.mark.size(), m.encoding};
  return {};
}

std::string DecodedSource::message() const {
  if (status == Status::Binary) return "binary file";
  std::string text = "cannot decode as ";
  text.append(encoding);
  if (marked) text.append(" (byte-order mark)");
  text.append(": ");
  text.append(reason);
  text.append(" at offset ");
  text.append(std::to_string(offset));
  return text;
}

DecodedSource decode_source(std::string_view bytes, std::string& text, Unmarked unmarked) {
  DecodedSource result;
  text.clear();
  const ByteOrderMark mark = byte_order_mark(bytes);
  const std::string_view body = bytes.substr(mark.length);
  const auto refuse = [&](DecodedSource::Status status) {
    text.clear();
    result.status = status;
    return result;
  };
  if (mark.length != 0 && mark.encoding != "utf-8") {
    const bool utf16 = mark.encoding.starts_with("utf-16");
    const bool big_endian = mark.encoding.ends_with("be");
    const WideFailure failure =
        utf16 ? utf16_to_utf8(body, big_endian, text) : utf32_to_utf8(body, big_endian, text);
    if (failure.failed) {
      result.encoding = mark.encoding;
      result.marked = true;
      result.reason = failure.reason;
      result.offset = mark.length + failure.offset;
      return refuse(DecodedSource::Status::Undecodable);
    }
  } else {
    const bool try_utf8 = mark.length != 0 || unmarked != Unmarked::Windows1252;
    const std::size_t valid = try_utf8 ? valid_utf8_prefix(body) : 0;
    if (try_utf8 && valid == body.size()) {
      text.assign(body);
    } else if (mark.length != 0 || unmarked == Unmarked::Utf8) {
      // A text that is not UTF-8 where only UTF-8 will do: binary when it
      // holds a NUL byte (a file of another kind), else undecodable.
      if (std::memchr(bytes.data(), 0, bytes.size()) != nullptr) return refuse(DecodedSource::Status::Binary);
      char what[16];
      std::snprintf(what, sizeof what, "byte 0x%02x", static_cast<unsigned char>(body[valid]));
      result.encoding = "utf-8";
      result.marked = mark.length != 0;
      result.reason = what;
      result.offset = mark.length + valid;
      return refuse(DecodedSource::Status::Undecodable);
    } else {
      windows_1252_to_utf8(body, text);
      result.windows_1252 = true;
    }
  }
  if (std::memchr(text.data(), 0, text.size()) != nullptr) return refuse(DecodedSource::Status::Binary);
  // A second mark after the first is dropped too.
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  return result;
}

}  // namespace tarnwick
