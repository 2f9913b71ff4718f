#include "tree/writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

namespace tarnwick {
namespace {

constexpr std::string_view header = "# file_name=";

// Longest fixed part of a node line: line feed, kind name and the four
// numbered fields with 10 digits each.
constexpr std::size_t fixed_line_bytes = 1 + 40 + 6 + 5 + 10 + 9 + 4 * 10;
constexpr std::size_t position_bytes = 10 + 1 + 10 + 1;

struct EscapeTable {
  // 0: copied as is; otherwise the letter written after the backslash.
  char letter[256];
  constexpr EscapeTable() : letter{} {
    letter[static_cast<unsigned char>('\\')] = '\\';
    letter[static_cast<unsigned char>('\t')] = 't';
    letter[static_cast<unsigned char>('\n')] = 'n';
    letter[static_cast<unsigned char>('\r')] = 'r';
  }
};
constexpr EscapeTable escapes{};

// True when `text` may hold a byte that is escaped: a byte below 0x20 or a
// backslash (no false negatives; other control bytes only take the slower
// way). Tested eight bytes at a time, the last word padded with letters.
inline bool may_need_escape(std::string_view text) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  constexpr std::uint64_t high = 0x8080808080808080u;
  const auto flagged = [](std::uint64_t w) {
    const std::uint64_t b = w ^ (ones * '\\');
    return ((((w - ones * 0x20) & ~w) | ((b - ones) & ~b)) & high) != 0;
  };
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (flagged(w)) return true;
  }
  if (i == n) return false;
  std::uint64_t w = ones * 'a';
  std::memcpy(&w, s + i, n - i);
  return flagged(w);
}

// Escapes `text` into room of at least 2 * text.size() bytes.
inline char* put_escaped(char* p, std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  if (!may_need_escape(text)) {
    if (n > 0) std::memcpy(p, s, n);
    return p + n;
  }
  std::size_t run = 0;
  for (std::size_t i = 0; i < n; ++i) {
    char e = escapes.letter[static_cast<unsigned char>(s[i])];
    if (e == 0) continue;
    std::memcpy(p, s + run, i - run);
    p += i - run;
    *p++ = '\\';
    *p++ = e;
    run = i + 1;
  }
  std::memcpy(p, s + run, n - run);
  return p + (n - run);
}

// Node kind names ("nt" + name) and attribute items (" " + key + "="), each
// padded so that one fixed-size copy writes any of them.
struct PaddedNames {
  static constexpr std::size_t width = 32;
  char kind[std::size(node_kind_names)][width];
  std::uint8_t kind_length[std::size(node_kind_names)];
  char key[attribute_key_count][width];
  std::uint8_t key_length[attribute_key_count];
  constexpr PaddedNames() : kind{}, kind_length{}, key{}, key_length{} {
    for (std::size_t k = 0; k < std::size(node_kind_names); ++k) {
      std::string_view n = node_kind_names[k];
      for (std::size_t i = 0; i < n.size(); ++i) kind[k][i] = n[i];
      kind_length[k] = static_cast<std::uint8_t>(n.size());
    }
    for (std::size_t k = 0; k < attribute_key_count; ++k) {
      std::string_view n = attribute_key_names[k];
      key[k][0] = ' ';
      for (std::size_t i = 0; i < n.size(); ++i) key[k][i + 1] = n[i];
      key[k][n.size() + 1] = '=';
      key_length[k] = static_cast<std::uint8_t>(n.size() + 2);
    }
  }
};
constexpr PaddedNames padded{};
static_assert([] {
  for (std::string_view n : node_kind_names)
    if (n.size() > PaddedNames::width) return false;
  return true;
}());

// The decimal digits of the line number written last, and the ",line:"
// prefix of its source positions; consecutive nodes and positions mostly
// share a line. Both are made when the line changes, so that the copies
// read bytes written long before (reading a buffer back right after writing
// part of it stalls).
class LineDigits {
 public:
  char* put(char* p, std::uint32_t line) {
    update(line);
    std::memcpy(p, digits_, sizeof digits_);
    return p + length_;
  }
  // The ",line:" prefix (16 bytes readable) and its length.
  const char* prefix(std::uint32_t line, std::size_t& length) {
    update(line);
    length = length_ + 2;
    return prefix_;
  }

 private:
  void update(std::uint32_t line) {
    if (line == line_ && length_ != 0) return;
    line_ = line;
    length_ = static_cast<std::size_t>(put_u32(digits_, line) - digits_);
    prefix_[0] = ',';
    std::memcpy(prefix_ + 1, digits_, length_);
    prefix_[length_ + 1] = ':';
  }

  std::uint32_t line_ = 0;
  char digits_[16] = {};
  char prefix_[16] = {};
  std::size_t length_ = 0;
};

// Writes `n` spaces of indentation. Most lines are indented less than 64
// spaces: one fixed-size copy writes them (the room of every line allows
// it), where a call to memset would cost more than the copy.
inline char* put_indent(char* p, std::size_t n) {
  static constexpr char spaces[64] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                      ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                      ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                      ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                      ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  if (n <= sizeof spaces) {
    std::memcpy(p, spaces, sizeof spaces);
  } else {
    std::memset(p, ' ', n);
  }
  return p + n;
}

// Columns below 1000 as text, one 8-byte slot each (digits, then the digit
// count in the last byte), so that a column is one fixed-size copy.
struct ColumnTexts {
  static constexpr std::uint32_t count = 1000;
  char slot[count][8];
  constexpr ColumnTexts() : slot{} {
    for (std::uint32_t c = 0; c < count; ++c) {
      const std::uint32_t digits = c < 10 ? 1 : c < 100 ? 2 : 3;
      std::uint32_t v = c;
      for (std::uint32_t i = digits; i-- > 0; v /= 10) slot[c][i] = static_cast<char>('0' + v % 10);
      slot[c][7] = static_cast<char>(digits);
    }
  }
};
constexpr ColumnTexts column_texts{};

// Writes a column; the room must allow 8 bytes.
inline char* put_column(char* p, std::uint32_t col) {
  if (col >= ColumnTexts::count) return put_u32(p, col);
  std::memcpy(p, column_texts.slot[col], 8);
  return p + column_texts.slot[col][7];
}

struct AttributeItem {
  AttributeKey key;
  std::string_view value;
};

// The fields of one node line, whichever store they come from.
struct NodeLine {
  NodeKind kind;
  std::uint32_t line, col, end_line, end_col;
  std::span<AttributeItem> attributes;
  std::string_view file_name;
  bool has_value;
  std::string_view value;
  // Source positions: a run of `run_count` columns from (run_line, run_col),
  // or the explicit `list` when it is set.
  std::uint32_t run_line, run_col, run_count;
  const std::vector<SourcePosition>* list;
};

void write_line(const NodeLine& n, std::size_t depth, std::string_view call_file_name,
                LineDigits& lines, OutputBuffer& out) {
  // Attributes in key-name order (a key occurs at most once per node, and
  // nodes hold few, so an insertion sort is fastest).
  std::span<AttributeItem> attrs = n.attributes;
  for (std::size_t i = 1; i < attrs.size(); ++i) {
    AttributeItem item = attrs[i];
    const auto rank = attribute_order.rank[static_cast<std::uint32_t>(item.key)];
    std::size_t j = i;
    for (; j > 0 && attribute_order.rank[static_cast<std::uint32_t>(attrs[j - 1].key)] > rank; --j)
      attrs[j] = attrs[j - 1];
    attrs[j] = item;
  }
  const bool write_file_name = !n.file_name.empty() && n.file_name != call_file_name;
  const std::size_t positions = n.list ? n.list->size() : n.run_count;
  // Room for every field at its longest, plus the overshoot of the
  // fixed-size copies (indentation, names, digits).
  std::size_t bound = fixed_line_bytes + 2 * depth + 64 + 18 + (positions + 1) * position_bytes;
  for (const AttributeItem& a : attrs) bound += PaddedNames::width + 2 * a.value.size();
  if (write_file_name) bound += 11 + 2 * n.file_name.size();
  if (n.has_value) bound += 8 + 2 * depth + 64 + 2 * n.value.size();

  char* p = out.room(bound);
  *p++ = '\n';
  p = put_indent(p, 2 * depth);
  const auto kind = static_cast<std::size_t>(n.kind);
  std::memcpy(p, padded.kind[kind], PaddedNames::width);
  p += padded.kind_length[kind];
  p = put(p, " line=");
  p = lines.put(p, n.line);
  p = put(p, " col=");
  p = put_u32(p, n.col);
  p = put(p, " end_line=");
  p = lines.put(p, n.end_line);
  p = put(p, " end_col=");
  p = put_u32(p, n.end_col);
  for (const AttributeItem& a : attrs) {
    const auto key = static_cast<std::size_t>(a.key);
    std::memcpy(p, padded.key[key], PaddedNames::width);
    p += padded.key_length[key];
    p = put_escaped(p, a.value);
  }
  if (write_file_name) {
    p = put(p, " file_name=");
    p = put_escaped(p, n.file_name);
  }
  if (positions > 0) {
    p = put(p, " source_positions=");
    if (n.list) {
      for (std::size_t k = 0; k < positions; ++k) {
        if (k) *p++ = ',';
        p = lines.put(p, (*n.list)[k].line);
        *p++ = ':';
        p = put_u32(p, (*n.list)[k].col);
      }
    } else {
      // One line, consecutive columns: every entry is the same ",line:"
      // prefix and a column, written with two fixed-size copies (counting
      // digits up in a buffer instead would read each buffer back right
      // after a byte of it was changed, which stalls).
      std::size_t prefix_len = 0;
      const char* prefix = lines.prefix(n.run_line, prefix_len);
      std::uint32_t col = n.run_col;
      std::memcpy(p, prefix + 1, 15);
      p = put_column(p + prefix_len - 1, col);
      for (std::size_t k = 1; k < positions; ++k) {
        std::memcpy(p, prefix, 16);
        p = put_column(p + prefix_len, ++col);
      }
    }
  }
  if (n.has_value) {
    *p++ = '\n';
    p = put_indent(p, 2 * depth + 2);
    p = put(p, "value=");
    p = put_escaped(p, n.value);
  }
  out.commit(p);
}

void write_header(std::string_view file_name, OutputBuffer& out) {
  char* p = out.room(header.size() + 2 * file_name.size());
  p = put(p, header);
  out.commit(put_escaped(p, file_name));
}

}  // namespace

void escape_text(std::string_view text, OutputBuffer& out) {
  out.commit(put_escaped(out.room(2 * text.size()), text));
}

void escape_text(std::string_view text, std::string& out) {
  OutputBuffer b;
  escape_text(text, b);
  out.append(b.view());
}

void write_node(const Node& n, std::size_t depth, std::string_view file_name, OutputBuffer& out) {
  LineDigits lines;
  std::vector<AttributeItem> attrs;
  attrs.reserve(n.attributes.size());
  for (const Attribute& a : n.attributes) attrs.push_back(AttributeItem{a.key, a.value});
  NodeLine line{n.kind,  n.line,     n.col,       n.end_line, n.end_col, attrs,
                n.file_name, n.has_value, n.value, 0, 0, 0, &n.source_positions};
  write_line(line, depth, file_name, lines, out);
}

std::string serialize_tree(const Node& root, std::string_view file_name) {
  OutputBuffer out;
  write_header(file_name, out);
  struct Pending {
    const Node* node;
    std::size_t depth;
  };
  std::vector<Pending> stack{{&root, 0}};
  while (!stack.empty()) {
    Pending p = stack.back();
    stack.pop_back();
    write_node(*p.node, p.depth, file_name, out);
    for (auto it = p.node->children.rbegin(); it != p.node->children.rend(); ++it)
      stack.push_back(Pending{&*it, p.depth + 1});
  }
  return out.str();
}

void serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                     OutputBuffer& out) {
  const std::size_t limit = output_limit(arena.source().size());
  write_header(file_name, out);
  std::array<AttributeItem, attribute_key_count> attrs;
  LineDigits lines;
  // Depth-first walk with an explicit stack: each frame is a node whose
  // children are being written and the entry of the next child to write.
  std::vector<std::uint32_t> next_child;
  auto write = [&](NodeId id) {
    const NodeArena::Record& r = arena.record(id);
    std::size_t n_attrs = 0;
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none;) {
      const auto& entry = arena.attribute_entry(e);
      if (n_attrs == attrs.size()) throw InternalError("a node holds one attribute key twice");
      attrs[n_attrs++] = AttributeItem{entry.key, arena.text(entry.value)};
      e = entry.next;
    }
    const bool is_run = r.positions.pool == NodeArena::none;
    // Filled field by field: an aggregate initialisation first clears the
    // whole struct with a string store, which costs more than the fields.
    NodeLine line;
    line.kind = r.kind;
    line.line = r.line;
    line.col = r.col;
    line.end_line = r.end_line;
    line.end_col = r.end_col;
    line.attributes = std::span<AttributeItem>(attrs.data(), n_attrs);
    line.file_name = std::string_view();
    line.has_value = r.has_value;
    line.value = r.has_value ? arena.text(r.value) : std::string_view();
    line.run_line = r.positions.line;
    line.run_col = r.positions.col;
    line.run_count = r.positions.count;
    line.list = is_run ? nullptr : &arena.position_list(r.positions.pool);
    write_line(line, next_child.size(), file_name, lines, out);
    if (out.size() > limit) throw OutputTooLarge();
    if (r.first_child != NodeArena::none) next_child.push_back(r.first_child);
  };
  write(root);
  while (!next_child.empty()) {
    std::uint32_t entry = next_child.back();
    if (entry == NodeArena::none) {
      next_child.pop_back();
      continue;
    }
    const NodeArena::ChildEntry& e = arena.child_entry(entry);
    next_child.back() = e.next;
    write(e.child);
  }
}

std::string serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                            std::size_t reserve) {
  OutputBuffer out;
  out.reserve(std::max(reserve, header.size()));
  serialize_arena(arena, root, file_name, out);
  return out.str();
}

}  // namespace tarnwick
