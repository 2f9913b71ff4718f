#include "tree/writer.h"

#include "tree/syntax_tree.h"
#include "unicode/unicode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

namespace tarnwick {
namespace {

constexpr std::string_view header = "# file_name=";

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
// way). Tested eight bytes at a time.
inline bool may_need_escape(std::string_view text) {
  return unicode::any_eight_bytes(text, [](std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t high = 0x8080808080808080u;
    const std::uint64_t b = w ^ (ones * '\\');
    return ((((w - ones * 0x20) & ~w) | ((b - ones) & ~b)) & high) != 0;
  });
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

// ---- Room for one line -------------------------------------------------------
//
// A node line is written with unchecked stores into room made for it first.
// The room is the most bytes each piece can take, plus what the fixed-size
// copies above may write past the end of the last piece.

constexpr std::size_t max_u32_digits = 10;
constexpr std::size_t max_kind_name_bytes = [] {
  std::size_t m = 0;
  for (std::string_view n : node_kind_names) m = std::max(m, n.size());
  return m;
}();
constexpr std::size_t max_key_name_bytes = [] {
  std::size_t m = 0;
  for (std::string_view n : attribute_key_names) m = std::max(m, n.size());
  return m;
}();
// Every byte of a text is written as itself or as a backslash and a letter.
constexpr std::size_t escaped_bytes(std::size_t n) { return 2 * n; }
// The line feed, the kind and the four numbered fields at their longest.
constexpr std::size_t fields_bytes = 1 + max_kind_name_bytes +
                                     std::string_view(" line= col= end_line= end_col=").size() +
                                     4 * max_u32_digits;
// " key=" and the escaped value.
constexpr std::size_t attribute_bytes(std::size_t value_size) {
  return 2 + max_key_name_bytes + escaped_bytes(value_size);
}
constexpr std::string_view positions_item = " source_positions=";
// ",line:col" (the first entry has no comma).
constexpr std::size_t position_entry_bytes = 1 + max_u32_digits + 1 + max_u32_digits;
constexpr std::string_view value_item = "value=";
// The line feed, the indentation one level deeper, "value=" and the value.
constexpr std::size_t value_line_bytes(std::size_t depth, std::size_t value_size) {
  return 1 + 2 * (depth + 1) + value_item.size() + escaped_bytes(value_size);
}
// The widest fixed-size copy: indentation (64 bytes), names (PaddedNames::width),
// line digits and ",line:" prefixes (16), columns (8). Each starts at the
// current end of the line, so none reaches further past it than this.
constexpr std::size_t copy_overshoot = 64;
static_assert(PaddedNames::width >= max_kind_name_bytes);
static_assert(PaddedNames::width >= max_key_name_bytes + 2);
static_assert(copy_overshoot >= PaddedNames::width);
static_assert(copy_overshoot >= 16 + 8);  // a ",line:" prefix copy, then a column copy
static_assert(position_entry_bytes >= 1 + max_u32_digits + 1 + 3);

struct AttributeItem {
  AttributeKey key;
  std::string_view value;
};

// The fields of one node line.
struct NodeLine {
  NodeKind kind;
  std::uint32_t line, col, end_line, end_col;
  std::span<AttributeItem> attributes;
  bool has_value;
  std::string_view value;
  // Source positions: a run of `run_count` columns from (run_line, run_col),
  // or the explicit `list` when it is set.
  std::uint32_t run_line, run_col, run_count;
  bool is_list;
  std::span<const SourcePosition> list;
};

// The room a line needs: every piece at its longest, and the overshoot.
std::size_t line_room(const NodeLine& n, std::size_t depth) {
  const std::size_t positions = n.is_list ? n.list.size() : n.run_count;
  std::size_t room = fields_bytes + 2 * depth + copy_overshoot;
  for (const AttributeItem& a : n.attributes) room += attribute_bytes(a.value.size());
  if (positions > 0) room += positions_item.size() + positions * position_entry_bytes;
  if (n.has_value) room += value_line_bytes(depth, n.value.size());
  return room;
}

// Writes one node line (and its value line) into room of `line_room` bytes;
// answers its end.
char* write_line(const NodeLine& n, std::size_t depth, LineDigits& lines, char* p) {
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
  const std::size_t positions = n.is_list ? n.list.size() : n.run_count;
  *p++ = '\n';
  p = put_indent(p, 2 * depth);
  const auto kind = static_cast<std::size_t>(n.kind);
  std::memcpy(p, padded.kind[kind], PaddedNames::width);
  p += padded.kind_length[kind];
  p = put(p, " line=");
  p = lines.put(p, n.line);
  p = put(p, " col=");
  p = put_column(p, n.col);
  p = put(p, " end_line=");
  p = lines.put(p, n.end_line);
  p = put(p, " end_col=");
  p = put_column(p, n.end_col);
  for (const AttributeItem& a : attrs) {
    const auto key = static_cast<std::size_t>(a.key);
    std::memcpy(p, padded.key[key], PaddedNames::width);
    p += padded.key_length[key];
    p = put_escaped(p, a.value);
  }
  if (positions > 0) {
    p = put(p, positions_item);
    if (n.is_list) {
      for (std::size_t k = 0; k < positions; ++k) {
        if (k) *p++ = ',';
        p = lines.put(p, n.list[k].line);
        *p++ = ':';
        p = put_column(p, n.list[k].col);
      }
    } else {
      // One line, consecutive columns: every entry is the same ",line:"
      // prefix and a column, written with two fixed-size copies (counting
      // digits up in a buffer instead would read each buffer back right
      // after a byte of it was changed, which stalls).
      // The prefix is copied to a local first: the stores into the line
      // could alias the buffer it lives in, so it would be read again for
      // every entry.
      std::size_t prefix_len = 0;
      char prefix[16];
      std::memcpy(prefix, lines.prefix(n.run_line, prefix_len), sizeof prefix);
      std::uint32_t col = n.run_col;
      std::memcpy(p, prefix + 1, 15);
      p = put_column(p + prefix_len - 1, col);
      if (std::uint64_t{col} + positions <= ColumnTexts::count) {
        // Every column of the run has its text in the table.
        for (std::size_t k = 1; k < positions; ++k) {
          std::memcpy(p, prefix, 16);
          p += prefix_len;
          ++col;
          std::memcpy(p, column_texts.slot[col], 8);
          p += column_texts.slot[col][7];
        }
      } else {
        for (std::size_t k = 1; k < positions; ++k) {
          std::memcpy(p, prefix, 16);
          p = put_column(p + prefix_len, ++col);
        }
      }
    }
  }
  if (n.has_value) {
    *p++ = '\n';
    p = put_indent(p, 2 * depth + 2);
    p = put(p, value_item);
    p = put_escaped(p, n.value);
  }
  return p;
}

// ---- Lengths -----------------------------------------------------------------

// Saturating sums: a length past `saturated` stands for "too long", which
// every limit below it refuses.
constexpr std::uint64_t saturated = std::uint64_t{1} << 62;
inline std::uint64_t add(std::uint64_t a, std::uint64_t b) { return std::min(saturated, a + b); }

// The decimal digits of the numbers below 1024, most lines and columns.
struct SmallDigits {
  static constexpr std::uint32_t count = 1024;
  std::uint8_t of[count];
  constexpr SmallDigits() : of{} {
    for (std::uint32_t v = 0; v < count; ++v) of[v] = v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : 4;
  }
};
constexpr SmallDigits small_digits{};

// The decimal digits of a 32-bit number.
inline std::uint64_t digits(std::uint32_t v) {
  if (v < SmallDigits::count) return small_digits.of[v];
  constexpr std::uint32_t powers[] = {1,      10,      100,      1000,      10000,
                                      100000, 1000000, 10000000, 100000000, 1000000000};
  // bit_width * 1233 / 4096 is floor(log10) or one more.
  const std::uint32_t t = (static_cast<std::uint32_t>(std::bit_width(v)) * 1233) >> 12;
  return t + (v >= powers[t]);
}

// The digits written for the numbers 0 .. n - 1 in all, from a table for the
// columns of ordinary lines.
struct DigitsBelow {
  static constexpr std::uint32_t count = 1024;
  std::uint32_t total[count + 1];
  constexpr DigitsBelow() : total{} {
    for (std::uint32_t n = 1; n <= count; ++n)
      total[n] = total[n - 1] + (n - 1 < 10 ? 1 : n - 1 < 100 ? 2 : n - 1 < 1000 ? 3 : 4);
  }
};
constexpr DigitsBelow digits_below_table{};

std::uint64_t digits_below(std::uint64_t n) {
  if (n <= DigitsBelow::count) return digits_below_table.total[n];
  std::uint64_t total = 1;           // "0"
  std::uint64_t band = 1, width = 1;  // [band, 10 * band) has `width` digits
  while (band < n) {
    const std::uint64_t end = std::min(n, band * 10);
    total += (end - band) * width;
    band *= 10;
    ++width;
  }
  return total;
}

// The room a line needs, bounded more closely than `line_room`: values that
// hold nothing to escape at their own length, a run of columns at the digits
// of its last column. Used for the long lines that do not fit `line_room`
// near the end of the text; like `line_room` it depends on the line alone,
// never on the measure.
std::size_t close_line_room(const NodeLine& n, std::size_t depth) {
  const auto value_bytes = [](std::string_view v) {
    return may_need_escape(v) ? escaped_bytes(v.size()) : v.size();
  };
  std::size_t room = fields_bytes + 2 * depth + copy_overshoot;
  for (const AttributeItem& a : n.attributes) room += 2 + max_key_name_bytes + value_bytes(a.value);
  if (n.is_list) {
    if (!n.list.empty()) room += positions_item.size() + n.list.size() * position_entry_bytes;
  } else if (n.run_count > 0) {
    const std::uint64_t last = std::uint64_t{n.run_col} + n.run_count - 1;
    const std::uint64_t col_digits =
        last > std::numeric_limits<std::uint32_t>::max() ? max_u32_digits : digits(static_cast<std::uint32_t>(last));
    room += positions_item.size() + n.run_count * (2 + digits(n.run_line) + col_digits);
  }
  if (n.has_value) room += 1 + 2 * (depth + 1) + value_item.size() + value_bytes(n.value);
  return room;
}

// The length of `text` escaped.
std::uint64_t escaped_length(std::string_view text) {
  std::uint64_t n = text.size();
  if (!may_need_escape(text)) return n;
  for (char c : text) n += escapes.letter[static_cast<unsigned char>(c)] != 0;
  return n;
}

// A subtree's text written at depth 0, and its line count: at depth d the
// same subtree takes `length + 2 * d * lines` bytes.
struct Measure {
  std::uint64_t length = 0;
  std::uint64_t lines = 0;
};

// The fixed part of each node line: the line feed, the kind and the names
// of the four numbered fields.
struct FixedLengths {
  std::uint8_t kind[std::size(node_kind_names)];
  std::uint8_t key[attribute_key_count];  // " key="
  constexpr FixedLengths() : kind{}, key{} {
    for (std::size_t k = 0; k < std::size(node_kind_names); ++k)
      kind[k] = static_cast<std::uint8_t>(1 + node_kind_names[k].size() +
                                          std::string_view(" line= col= end_line= end_col=").size());
    for (std::size_t k = 0; k < attribute_key_count; ++k)
      key[k] = static_cast<std::uint8_t>(2 + attribute_key_names[k].size());
  }
};
constexpr FixedLengths fixed_lengths{};

// ---- The two stores a tree text is written from ------------------------------
//
// The measure and the writer read a tree through one small interface: a
// node's fields, its attributes, its value, its source positions and a
// cursor over its children. The arena, while the grammar builds in it, and
// the finished `SyntaxTree` both provide it, so both write the same text.

// Source positions as the writer takes them.
struct PositionsView {
  bool is_list;
  std::uint32_t line, col, count;  // a run
  std::span<const SourcePosition> list;
};

class ArenaTree {
 public:
  explicit ArenaTree(const NodeArena& arena) : a_(arena) {}
  using Cursor = std::uint32_t;  // a child entry, or none
  using Record = NodeArena::Record;

  const Record& record(std::uint32_t n) const { return a_.record(n); }
  std::size_t size() const { return a_.size(); }
  std::uint64_t output_limit() const { return tarnwick::output_limit(a_.source().size()); }
  static bool shared(const Record& r) { return r.shared; }
  static bool has_children(const Record& r) { return r.first_child != NodeArena::none; }
  static Cursor first_child(std::uint32_t, const Record& r) { return r.first_child; }
  static bool at_end(Cursor c) { return c == NodeArena::none; }
  // The child at `c`; moves `c` to the next.
  std::uint32_t take_child(Cursor& c) const {
    const NodeArena::ChildEntry& e = a_.child_entry(c);
    c = e.next;
    return e.child;
  }
  template <class Each>
  void for_each_attribute(const Record& r, Each&& each) const {
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none;) {
      const NodeArena::AttributeEntry& entry = a_.attribute_entry(e);
      each(entry.key, a_.text(entry.value));
      e = entry.next;
    }
  }
  static bool has_value(const Record& r) { return r.has_value; }
  std::string_view value(std::uint32_t, const Record& r) const { return a_.text(r.value); }
  PositionsView positions(const Record& r) const {
    const NodeArena::Positions& ps = r.positions;
    if (ps.pool == NodeArena::none) return {false, ps.line, ps.col, ps.count, {}};
    const std::vector<SourcePosition>& list = a_.position_list(ps.pool);
    return {true, 0, 0, static_cast<std::uint32_t>(list.size()), list};
  }

 private:
  const NodeArena& a_;
};

class FrozenTree {
 public:
  explicit FrozenTree(const SyntaxTree& tree) : t_(tree) {}
  struct Cursor {
    std::uint32_t at, end;
  };
  using Record = SyntaxTree::Node;

  const Record& record(std::uint32_t n) const {
    if (n >= t_.node_count()) throw InternalError("node id names no node of the tree");
    return t_.node(n);
  }
  std::size_t size() const { return t_.node_count(); }
  std::uint64_t output_limit() const { return t_.output_limit(); }
  static bool shared(const Record& r) { return r.flags & SyntaxTree::shared_flag; }
  static bool has_children(const Record& r) { return (&r)[1].first_child != r.first_child; }
  static Cursor first_child(std::uint32_t, const Record& r) {
    return Cursor{r.first_child, (&r)[1].first_child};
  }
  static bool at_end(Cursor c) { return c.at == c.end; }
  std::uint32_t take_child(Cursor& c) const { return t_.child_id(c.at++); }
  template <class Each>
  void for_each_attribute(const Record& r, Each&& each) const {
    const std::uint32_t end =
        (&r)[1].first_item - ((r.flags & SyntaxTree::has_value_flag) ? 1 : 0);
    for (std::uint32_t i = r.first_item; i < end; ++i) {
      const SyntaxTree::Item& item = t_.item(i);
      each(static_cast<AttributeKey>(item.key), t_.text(item));
    }
  }
  static bool has_value(const Record& r) { return r.flags & SyntaxTree::has_value_flag; }
  std::string_view value(std::uint32_t, const Record& r) const {
    return t_.text(t_.item((&r)[1].first_item - 1));
  }
  PositionsView positions(const Record& r) const {
    if (!(r.flags & SyntaxTree::position_list_flag))
      return {false, r.position_a, r.position_b, r.position_count, {}};
    return {true, 0, 0, r.position_count, t_.position_list(r)};
  }

 private:
  const SyntaxTree& t_;
};

// The node's own line, and its value line, at depth 0.
template <class Tree>
inline Measure own_measure(const Tree& tree, std::uint32_t id, const typename Tree::Record& r) {
  std::uint64_t n = fixed_lengths.kind[static_cast<std::size_t>(r.kind)] + digits(r.line) +
                    digits(r.col) + digits(r.end_line) + digits(r.end_col);
  tree.for_each_attribute(r, [&n](AttributeKey key, std::string_view text) {
    n += fixed_lengths.key[static_cast<std::size_t>(key)] + escaped_length(text);
  });
  const PositionsView ps = tree.positions(r);
  if (ps.count > 0) {
    n += positions_item.size() + (ps.count - 1);  // the commas
    if (!ps.is_list) {
      const std::uint64_t first = ps.col;
      n += ps.count * (digits(ps.line) + 1) + digits_below(first + ps.count) - digits_below(first);
    } else {
      // Lists mostly keep to one line: its digits are counted once.
      std::uint32_t line = 0;
      std::uint64_t line_digits = 1;
      for (const SourcePosition& pos : ps.list) {
        if (pos.line != line) {
          line = pos.line;
          line_digits = digits(line);
        }
        n += line_digits + 1 + digits(pos.col);
      }
    }
  }
  Measure m{n, 1};
  if (Tree::has_value(r)) {
    m.length += 1 + 2 + value_item.size() + escaped_length(tree.value(id, r));
    m.lines += 1;
  }
  return m;
}

template <class Tree>
std::uint64_t measure_text(const Tree& tree, std::uint32_t root, std::string_view file_name) {
  // Post-order walk with an explicit stack. A node attached in several places
  // is measured once; its measure is kept and added at every other place, so
  // the walk is linear in the arena even where the text is exponential in it.
  struct Frame {
    std::uint32_t node;
    typename Tree::Cursor next_child;  // the next child to measure
    Measure sum;
  };
  std::unordered_map<std::uint32_t, Measure> shared;
  std::vector<Frame> stack;
  auto open = [&](std::uint32_t id) {
    const auto& r = tree.record(id);
    // Deeper than the arena has nodes: the children form a cycle.
    if (stack.size() > tree.size()) throw InternalError("the node arena holds a cycle");
    stack.push_back(Frame{id, Tree::first_child(id, r), own_measure(tree, id, r)});
  };
  open(root);
  Measure total;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (!Tree::at_end(f.next_child)) {
      const std::uint32_t child_id = tree.take_child(f.next_child);
      const auto& child = tree.record(child_id);
      if (!Tree::has_children(child)) {
        // A leaf, most nodes: its own lines, one level deeper.
        const Measure m = own_measure(tree, child_id, child);
        f.sum.length = add(f.sum.length, m.length + 2 * m.lines);
        f.sum.lines = add(f.sum.lines, m.lines);
        continue;
      }
      if (Tree::shared(child)) {
        auto it = shared.find(child_id);
        if (it != shared.end()) {
          f.sum.length = add(f.sum.length, add(it->second.length, 2 * it->second.lines));
          f.sum.lines = add(f.sum.lines, it->second.lines);
          continue;
        }
      }
      open(child_id);
      continue;
    }
    const Frame done = f;
    stack.pop_back();
    if (Tree::shared(tree.record(done.node))) shared.emplace(done.node, done.sum);
    if (stack.empty()) {
      total = done.sum;
    } else {
      // One level deeper than its parent: two more spaces on each line.
      Measure& parent = stack.back().sum;
      parent.length = add(parent.length, add(done.sum.length, 2 * done.sum.lines));
      parent.lines = add(parent.lines, done.sum.lines);
    }
  }
  return add(header.size() + escaped_length(file_name), total.length);
}

template <class Tree>
void write_text(const Tree& tree, std::uint32_t root, std::string_view file_name,
                std::uint64_t size, OutputBuffer& out) {
  if (size > tree.output_limit()) throw OutputTooLarge();
  out.clear();
  out.reserve_exact(static_cast<std::size_t>(size) + copy_overshoot);
  {
    char* p = out.room_within(header.size() + escaped_length(file_name));
    if (p == nullptr) throw InternalError("the tree text is longer than measured");
    p = put(p, header);
    out.commit(put_escaped(p, file_name));
  }
  std::array<AttributeItem, attribute_key_count> attrs;
  LineDigits lines;
  // A line whose room at its longest does not fit what is left (near the end
  // of the text) is written here first, and copied when it fits.
  OutputBuffer spill;
  // Depth-first walk with an explicit stack: each frame is a node whose
  // children are being written and the cursor of the next child to write.
  std::vector<typename Tree::Cursor> next_child;
  auto write = [&](std::uint32_t id) {
    const auto& r = tree.record(id);
    std::size_t n_attrs = 0;
    tree.for_each_attribute(r, [&](AttributeKey key, std::string_view text) {
      if (n_attrs == attrs.size()) throw InternalError("a node holds one attribute key twice");
      attrs[n_attrs++] = AttributeItem{key, text};
    });
    const PositionsView ps = tree.positions(r);
    // Filled field by field: an aggregate initialisation first clears the
    // whole struct with a string store, which costs more than the fields.
    NodeLine line;
    line.kind = r.kind;
    line.line = r.line;
    line.col = r.col;
    line.end_line = r.end_line;
    line.end_col = r.end_col;
    line.attributes = std::span<AttributeItem>(attrs.data(), n_attrs);
    line.has_value = Tree::has_value(r);
    line.value = line.has_value ? tree.value(id, r) : std::string_view();
    line.run_line = ps.line;
    line.run_col = ps.col;
    line.run_count = ps.count;
    line.is_list = ps.is_list;
    line.list = ps.list;
    const std::size_t depth = next_child.size();
    const std::size_t room = line_room(line, depth);
    if (char* p = out.room_within(room)) {
      out.commit(write_line(line, depth, lines, p));
    } else if (char* c = out.room_within(close_line_room(line, depth))) {
      out.commit(write_line(line, depth, lines, c));
    } else {
      spill.clear();
      spill.commit(write_line(line, depth, lines, spill.room(room)));
      char* q = out.room_within(spill.size());
      if (q == nullptr) throw InternalError("the tree text is longer than measured");
      std::memcpy(q, spill.view().data(), spill.size());
      out.commit(q + spill.size());
    }
    if (Tree::has_children(r)) next_child.push_back(Tree::first_child(id, r));
  };
  write(root);
  while (!next_child.empty()) {
    typename Tree::Cursor& c = next_child.back();
    if (Tree::at_end(c)) {
      next_child.pop_back();
      continue;
    }
    write(tree.take_child(c));
  }
  if (out.size() != size) throw InternalError("the tree text is not as long as measured");
}

}  // namespace

std::uint64_t measure_tree_text(const NodeArena& arena, NodeId root, std::string_view file_name) {
  arena.record(root);  // a root that names no node faults here
  return measure_text(ArenaTree(arena), static_cast<std::uint32_t>(root), file_name);
}

void serialize_arena(const NodeArena& arena, NodeId root, std::string_view file_name,
                     OutputBuffer& out) {
  const ArenaTree tree(arena);
  const auto id = static_cast<std::uint32_t>(root);
  arena.record(root);  // a root that names no node faults here
  write_text(tree, id, file_name, measure_text(tree, id, file_name), out);
}

std::uint64_t measure_tree_text(const SyntaxTree& tree) {
  return measure_text(FrozenTree(tree), 0, tree.file_name());
}

void serialize_tree(const SyntaxTree& tree, OutputBuffer& out) {
  const FrozenTree frozen(tree);
  write_text(frozen, 0, tree.file_name(), measure_text(frozen, 0, tree.file_name()), out);
}

}  // namespace tarnwick
