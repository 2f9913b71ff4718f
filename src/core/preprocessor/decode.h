// Source files to text, as Delphi reads them: the one decoder of the command
// line, of `tarnwick_tree.parse_file` and of include files.
//
// A file that starts with a byte-order mark (UTF-8, UTF-16 LE or BE, UTF-32
// LE or BE) is read in the encoding it marks, and the mark is dropped. A file
// without one is read as UTF-8 when it is valid UTF-8, else as Windows-1252,
// where the five bytes that code page leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) stand for the code points of the same number, so that every
// unmarked file decodes. A text holding U+0000 is refused as binary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

// How the bytes after a byte-order mark, or of a file without one, are read.
enum class Unmarked : unsigned char {
  Utf8OrWindows1252,  // UTF-8 when valid, else Windows-1252
  Windows1252,        // Windows-1252 whatever they are
  Utf8,               // UTF-8, or the file is refused
};

struct DecodedSource {
  enum class Status : unsigned char { Ok, Binary, Undecodable };
  Status status = Status::Ok;
  bool windows_1252 = false;  // read as Windows-1252
  // For `Undecodable`: the encoding tried ("utf-16-le"), whether a mark
  // chose it, why it failed and at which byte of the file.
  std::string_view encoding;
  bool marked = false;
  std::string reason;
  std::size_t offset = 0;

  bool ok() const { return status == Status::Ok; }
  // "binary file", or "cannot decode as ENCODING[ (byte-order mark)]: WHY at
  // offset N": the command line's report of a file it cannot read.
  std::string message() const;
};

// Decodes `bytes` into UTF-8 in `text` (replacing what it held). `text` is
// left empty when the file is refused.
DecodedSource decode_source(std::string_view bytes, std::string& text,
                            Unmarked unmarked = Unmarked::Utf8OrWindows1252);

// The byte-order mark `bytes` start with: its length (0 when none) and the
// name of its encoding.
struct ByteOrderMark {
  std::size_t length = 0;
  std::string_view encoding;
};
ByteOrderMark byte_order_mark(std::string_view bytes);

// The length of the longest prefix of `bytes` that is well-formed UTF-8 (no
// overlong forms, no surrogates, nothing above U+10FFFF): `bytes.size()` when
// all of it is.
std::size_t valid_utf8_prefix(std::string_view bytes);

}  // namespace tarnwick
