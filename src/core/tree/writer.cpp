#include "tree/writer.h"

#include "tree/cursor.h"
#include "tree/syntax_tree.h"
#include "unicode/unicode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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

// ---- The size of a node line -------------------------------------------------
//
// A node line is written with unchecked stores into room made for it first.
// One function sizes a line from its pieces: with the exact lengths of its
// numbers and texts it is the line's length, which the measure sums; with
// their longest lengths it is room for any line of that shape, found without
// reading its texts, which the writer makes for most lines. Either room also
// holds what the fixed-size copies above may write past the end of the last
// piece.

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
constexpr std::string_view fields_text = " line= col= end_line= end_col=";
constexpr std::string_view positions_item = " source_positions=";
constexpr std::string_view value_item = "value=";
// The widest fixed-size copy: indentation (64 bytes), names (PaddedNames::width),
// line digits and ",line:" prefixes (16), columns (8). Each starts at the
// current end of the line, so none reaches further past it than this.
constexpr std::size_t copy_overshoot = 64;
static_assert(PaddedNames::width >= max_kind_name_bytes);
static_assert(PaddedNames::width >= max_key_name_bytes + 2);
static_assert(copy_overshoot >= PaddedNames::width);
static_assert(copy_overshoot >= 16 + 8);  // a ",line:" prefix copy, then a column copy

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

// The length of `text` escaped.
std::uint64_t escaped_length_of_escaped(std::string_view text) {
  std::uint64_t n = text.size();
  for (char c : text) n += escapes.letter[static_cast<unsigned char>(c)] != 0;
  return n;
}
inline std::uint64_t escaped_length(std::string_view text) {
  return may_need_escape(text) ? escaped_length_of_escaped(text) : text.size();
}

// The lengths of the kind and key names.
struct NameLengths {
  std::uint8_t kind[std::size(node_kind_names)];
  std::uint8_t key[attribute_key_count];
  constexpr NameLengths() : kind{}, key{} {
    for (std::size_t k = 0; k < std::size(node_kind_names); ++k)
      kind[k] = static_cast<std::uint8_t>(node_kind_names[k].size());
    for (std::size_t k = 0; k < attribute_key_count; ++k)
      key[k] = static_cast<std::uint8_t>(attribute_key_names[k].size());
  }
};
constexpr NameLengths name_lengths{};

// Source positions as the writer takes them.
struct PositionsView {
  bool is_list;
  std::uint32_t line, col, count;  // a run of `count` columns from (line, col)
  std::span<const SourcePosition> list;
};

// The fields of one node line, but its attributes.
struct LineFields {
  NodeKind kind;
  std::uint32_t line, col, end_line, end_col;
  PositionsView positions;
  bool has_value;
  std::string_view value;
};

// The pieces of a line at their length as written.
struct ExactSize {
  static std::uint64_t kind(NodeKind k) { return name_lengths.kind[static_cast<std::size_t>(k)]; }
  static std::uint64_t key(AttributeKey k) { return name_lengths.key[static_cast<std::size_t>(k)]; }
  static std::uint64_t number(std::uint32_t v) { return digits(v); }
  static std::uint64_t text(std::string_view t) { return escaped_length(t); }
  // The digits of a run's line and columns.
  static std::uint64_t run_digits(std::uint32_t line, std::uint32_t col, std::uint32_t count) {
    const std::uint64_t first = col;
    return count * digits(line) + digits_below(first + count) - digits_below(first);
  }
  static std::uint64_t list_digits(std::span<const SourcePosition> list) {
    // Lists mostly keep to one line: its digits are counted once.
    std::uint64_t n = 0;
    std::uint32_t line = 0;
    std::uint64_t line_digits = 1;
    for (const SourcePosition& pos : list) {
      if (pos.line != line) {
        line = pos.line;
        line_digits = digits(line);
      }
      n += line_digits + digits(pos.col);
    }
    return n;
  }
};

// The pieces of a line at the longest they can be.
struct LongestSize {
  static std::uint64_t kind(NodeKind) { return max_kind_name_bytes; }
  static std::uint64_t key(AttributeKey) { return max_key_name_bytes; }
  static std::uint64_t number(std::uint32_t) { return max_u32_digits; }
  // Every byte of a text is written as itself or as a backslash and a letter.
  static std::uint64_t text(std::string_view t) { return 2 * std::uint64_t{t.size()}; }
  static std::uint64_t run_digits(std::uint32_t, std::uint32_t, std::uint32_t count) {
    return count * (2 * max_u32_digits);
  }
  static std::uint64_t list_digits(std::span<const SourcePosition> list) {
    return list.size() * (2 * max_u32_digits);
  }
};

struct AttributeItem {
  AttributeKey key;
  std::string_view value;
};

// The fields of one node line, its attributes gathered.
struct NodeLine : LineFields {
  std::span<AttributeItem> attributes;
};

// The bytes of a node line and its value line at `depth`, from the line
// feed before it: its pieces sized by `Size`. `f` holds the kind and the
// four numbered fields (a store's record, or a gathered line), and `l`
// reads the other pieces where they are: attributes(each) (calls
// `each(key, value)` for each), positions(), has_value() and value().
template <class Size, class Fields, class Line>
inline std::uint64_t line_bytes(const Fields& f, const Line& l, std::size_t depth) {
  // The line feed, the indentation, the kind and the four numbered fields.
  std::uint64_t n = 1 + 2 * std::uint64_t{depth} + Size::kind(f.kind) + fields_text.size() +
                    Size::number(f.line) + Size::number(f.col) + Size::number(f.end_line) +
                    Size::number(f.end_col);
  // " key=" and the value.
  l.attributes([&n](AttributeKey key, std::string_view value) {
    n += 2 + Size::key(key) + Size::text(value);
  });
  const PositionsView ps = l.positions();
  if (ps.count > 0) {
    // "line:col" entries, with a comma between two.
    const std::uint64_t count = ps.count;
    n += positions_item.size() + (count - 1) + count +
         (ps.is_list ? Size::list_digits(ps.list) : Size::run_digits(ps.line, ps.col, ps.count));
  }
  // The line feed, the indentation one level deeper, "value=" and the value.
  if (l.has_value()) n += 1 + 2 * (std::uint64_t{depth} + 1) + value_item.size() + Size::text(l.value());
  return n;
}

// The pieces of a gathered line, for line_bytes.
struct GatheredLine {
  const NodeLine& n;
  template <class Each>
  void attributes(Each&& each) const {
    for (const AttributeItem& a : n.attributes) each(a.key, a.value);
  }
  const PositionsView& positions() const { return n.positions; }
  bool has_value() const { return n.has_value; }
  std::string_view value() const { return n.value; }
};

// Writes one node line (and its value line) into room of at least its
// longest size and the overshoot; answers its end.
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
  const PositionsView& ps = n.positions;
  const std::size_t positions = ps.count;
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
    if (ps.is_list) {
      for (std::size_t k = 0; k < positions; ++k) {
        if (k) *p++ = ',';
        p = lines.put(p, ps.list[k].line);
        *p++ = ':';
        p = put_column(p, ps.list[k].col);
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
      std::memcpy(prefix, lines.prefix(ps.line, prefix_len), sizeof prefix);
      std::uint32_t col = ps.col;
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

// ---- The two stores a tree text is written from ------------------------------
//
// The measure and the writer read a tree through one small interface: the
// shape the cursor walks (tree/cursor.h), and a node's fields, attributes,
// value and source positions. The arena, while the grammar builds in it,
// and the finished `SyntaxTree` both provide it, so both write the same text.

class ArenaTree : public ArenaShape {
 public:
  explicit ArenaTree(const NodeArena& arena) : ArenaShape(arena), a_(arena) {}
  using Record = NodeArena::Record;

  const Record& record(std::uint32_t n) const { return a_.record(n); }
  std::uint64_t output_limit() const { return tarnwick::output_limit(a_.source().size()); }
  static bool shared(const Record& r) { return r.shared; }
  static bool has_children(const Record& r) { return r.first_child != NodeArena::none; }
  static Siblings children(const Record& r) { return Siblings{r.first_child}; }
  using ArenaShape::children;
  template <class Each>
  void for_each_attribute(const Record& r, Each&& each) const {
    for (std::uint32_t e = r.first_attribute; e != NodeArena::none;) {
      const NodeArena::AttributeEntry& entry = a_.attribute_entry(e);
      each(entry.key, a_.text(entry.value));
      e = entry.next;
    }
  }
  static bool has_value(const Record& r) { return r.has_value; }
  std::string_view value(const Record& r) const { return a_.text(r.value); }
  PositionsView positions(const Record& r) const {
    const NodeArena::Positions& ps = r.positions;
    if (ps.pool == NodeArena::none) return {false, ps.line, ps.col, ps.count, {}};
    const std::vector<SourcePosition>& list = a_.position_list(ps.pool);
    return {true, 0, 0, static_cast<std::uint32_t>(list.size()), list};
  }

 private:
  const NodeArena& a_;
};

class FrozenTree : public TreeShape {
 public:
  explicit FrozenTree(const SyntaxTree& tree) : TreeShape(tree), t_(tree) {}
  using Record = SyntaxTree::Node;

  const Record& record(std::uint32_t n) const {
    if (n >= t_.node_count()) throw InternalError("node id names no node of the tree");
    return t_.node(n);
  }
  std::uint64_t output_limit() const { return t_.output_limit(); }
  static bool shared(const Record& r) { return r.flags & SyntaxTree::shared_flag; }
  static bool has_children(const Record& r) { return (&r)[1].first_child != r.first_child; }
  static Siblings children(const Record& r) { return Siblings{r.first_child, (&r)[1].first_child}; }
  using TreeShape::children;
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
  std::string_view value(const Record& r) const {
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

// The fields of a node's line, filled field by field: an aggregate
// initialisation first clears the whole struct with a string store, which
// costs more than the fields.
template <class Tree>
inline void fill_fields(const Tree& tree, const typename Tree::Record& r, LineFields& f) {
  f.kind = r.kind;
  f.line = r.line;
  f.col = r.col;
  f.end_line = r.end_line;
  f.end_col = r.end_col;
  f.positions = tree.positions(r);
  f.has_value = Tree::has_value(r);
  f.value = f.has_value ? tree.value(r) : std::string_view();
}

// The fields of a node's line, its attributes gathered into `attrs`.
template <class Tree>
inline void gather_line(const Tree& tree, const typename Tree::Record& r,
                        std::array<AttributeItem, attribute_key_count>& attrs, NodeLine& line) {
  std::size_t n_attrs = 0;
  tree.for_each_attribute(r, [&](AttributeKey key, std::string_view text) {
    if (n_attrs == attrs.size()) throw InternalError("a node holds one attribute key twice");
    attrs[n_attrs++] = AttributeItem{key, text};
  });
  fill_fields(tree, r, line);
  line.attributes = std::span<AttributeItem>(attrs.data(), n_attrs);
}

// A subtree's text written at depth 0, and its line count: at depth d the
// same subtree takes `length + 2 * d * lines` bytes.
struct Measure {
  std::uint64_t length = 0;
  std::uint64_t lines = 0;
};

// The pieces of a node's line as its store holds them, for line_bytes.
template <class Tree>
struct RecordLine {
  const Tree& tree;
  const typename Tree::Record& r;
  template <class Each>
  void attributes(Each&& each) const {
    tree.for_each_attribute(r, each);
  }
  PositionsView positions() const { return tree.positions(r); }
  bool has_value() const { return Tree::has_value(r); }
  std::string_view value() const { return tree.value(r); }
};

// The node's own line, and its value line, at depth 0.
template <class Tree>
inline Measure own_measure(const Tree& tree, const typename Tree::Record& r) {
  const std::uint64_t length = line_bytes<ExactSize>(r, RecordLine<Tree>{tree, r}, 0);
  return Measure{length, Tree::has_value(r) ? 2u : 1u};
}

template <class Tree>
std::uint64_t measure_text(const Tree& tree, std::uint32_t root, std::string_view file_name) {
  // A node attached in several places is measured once; its measure is kept
  // and added at every other place, so the walk is linear in the store even
  // where the text is exponential in it.
  std::unordered_map<std::uint32_t, Measure> shared;
  // The nodes whose subtrees are being measured, the deepest last.
  struct Open {
    std::uint32_t node;
    Measure sum;
  };
  std::vector<Open> open;
  // The node met last was added to its parent at once, so its subtree needs
  // nothing more when it is left.
  bool added = false;
  Measure total;
  // A subtree's measure added to its parent's, one level deeper: two more
  // spaces on each line.
  const auto add_to_parent = [&](const Measure& m) {
    if (open.empty()) {
      total = m;
      return;
    }
    Measure& parent = open.back().sum;
    parent.length = add(parent.length, add(m.length, 2 * m.lines));
    parent.lines = add(parent.lines, m.lines);
  };
  TreeCursor<Tree> cursor(tree, root);
  // A leaf (most nodes) or a shared subtree measured before is added to its
  // parent at once; any other node is opened. Answers the children to go
  // into (none for the first two).
  using Siblings = typename Tree::Siblings;
  const auto arrive = [&]() -> Siblings {
    const std::uint32_t id = cursor.node();
    const auto& r = tree.record(id);
    if (!Tree::has_children(r)) {
      add_to_parent(own_measure(tree, r));
      added = true;
      return Siblings{};
    }
    if (Tree::shared(r)) {
      auto it = shared.find(id);
      if (it != shared.end()) {
        add_to_parent(it->second);
        added = true;
        return Siblings{};
      }
    }
    open.push_back(Open{id, own_measure(tree, r)});
    return Tree::children(r);
  };
  const auto leave = [&](const TreeCursor<Tree>&) {
    if (added) {
      added = false;
      return;
    }
    const Open done = open.back();
    open.pop_back();
    if (Tree::shared(tree.record(done.node))) shared.emplace(done.node, done.sum);
    add_to_parent(done.sum);
  };
  Siblings children;
  do {
    children = arrive();
  } while (cursor.goto_next(children, leave));
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
  TreeCursor<Tree> cursor(tree, root);
  // Writes the line of the node the cursor is at; answers its children.
  const auto write = [&]() -> typename Tree::Siblings {
    const auto& r = tree.record(cursor.node());
    NodeLine line;
    gather_line(tree, r, attrs, line);
    const std::size_t depth = cursor.depth();
    // Room for the longest line of its shape; where that passes the end of
    // the block (near the end of the text), the line's own size, which the
    // measure counted.
    std::uint64_t room = line_bytes<LongestSize>(line, GatheredLine{line}, depth) + copy_overshoot;
    char* p = out.room_within(room);
    if (p == nullptr) {
      room = line_bytes<ExactSize>(line, GatheredLine{line}, depth) + copy_overshoot;
      p = out.room_within(room);
      if (p == nullptr) throw InternalError("the tree text is longer than measured");
    }
    char* end = write_line(line, depth, lines, p);
    if (static_cast<std::uint64_t>(end - p) + copy_overshoot > room)
      throw InternalError("a node line is longer than its room");
    out.commit(end);
    return Tree::children(r);
  };
  typename Tree::Siblings children;
  do {
    children = write();
  } while (cursor.goto_next(children));
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

LineRoom line_room(const SyntaxTree& tree, std::uint32_t node, std::size_t depth) {
  const FrozenTree frozen(tree);
  std::array<AttributeItem, attribute_key_count> attrs;
  NodeLine line;
  gather_line(frozen, frozen.record(node), attrs, line);
  return LineRoom{line_bytes<ExactSize>(line, GatheredLine{line}, depth),
                  line_bytes<LongestSize>(line, GatheredLine{line}, depth)};
}

void serialize_tree(const SyntaxTree& tree, OutputBuffer& out) {
  const FrozenTree frozen(tree);
  write_text(frozen, 0, tree.file_name(), measure_text(frozen, 0, tree.file_name()), out);
}

}  // namespace tarnwick
