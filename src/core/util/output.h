// The output text of a call: one block, taken from the same allocator as the
// other stores of a call (util/memory.h), so that a text of 2 MiB or more
// lies on huge pages and, under AddressSanitizer, every overrun is caught.
// A tree text is measured before it is written and gets a block of its exact
// size (plus the few bytes that fixed-size copies may overshoot); a token
// list gets room for six times its text up front and grows by doubling
// past that.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "util/memory.h"
#include "util/sanitizers.h"

namespace tarnwick {

class OutputBuffer {
 public:
  OutputBuffer() = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  OutputBuffer(OutputBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  ~OutputBuffer() { free_store(data_, capacity_); }

  // Room for at least `n` bytes in all, doubling as it grows.
  void reserve(std::size_t n) {
    if (n > capacity_) grow_to(n);
  }
  // Room for `n` bytes in all, unless there is that much already: exactly
  // `n` under AddressSanitizer, so that a write past them is caught, and
  // otherwise as `reserve` makes it, so that a thread that writes texts of
  // growing size does not take fresh memory for each.
  void reserve_exact(std::size_t n) {
#if defined(TARNWICK_ADDRESS_SANITIZER)
    if (n > capacity_) reallocate(n);
#else
    reserve(n);
#endif
  }
  // A pointer at which `n` more bytes may be written, the block growing as
  // needed; `commit` then sets the end of what was written.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow_to(size_ + n);
    return data_ + size_;
  }
  // The same without growing: null when fewer than `n` bytes are left.
  char* room_within(std::size_t n) {
    return capacity_ - size_ < n ? nullptr : data_ + size_;
  }
  void commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }

  void append(std::string_view s) {
    char* p = room(s.size());
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    size_ += s.size();
  }
  void push_back(char c) { *room(1) = c; ++size_; }

  // Empties the text; the memory stays for the next one.
  void clear() { size_ = 0; }
  // Gives the memory back.
  void free_memory() {
    free_store(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const { return std::string_view(data_ ? data_ : "", size_); }
  std::string str() const { return std::string(view()); }

 private:
  void grow_to(std::size_t needed) {
    std::size_t cap = capacity_ < 64 ? 64 : capacity_;
    while (cap < needed) {
      if (cap > (SIZE_MAX >> 2)) throw std::bad_alloc();
      cap *= 2;
    }
    reallocate(cap);
  }

  void reallocate(std::size_t cap) {
    char* p = static_cast<char*>(allocate_store(cap));
    if (size_ > 0) std::memcpy(p, data_, size_);
    free_store(data_, capacity_);
    data_ = p;
    capacity_ = cap;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Raw writers for a pointer into room already made.
inline char* put(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}
inline char* put_uint(char* p, std::uint64_t v) { return std::to_chars(p, p + 20, v).ptr; }

// The decimal digits of 0 to 99, two characters each.
inline constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// A 32-bit number in decimal, two digits at a time.
inline char* put_u32(char* p, std::uint32_t v) {
  const char* pairs = digit_pairs;
  if (v < 10) {
    *p = static_cast<char>('0' + v);
    return p + 1;
  }
  std::size_t digits = v < 100 ? 2 : v < 1000 ? 3 : v < 10000 ? 4 : v < 100000 ? 5
                     : v < 1000000 ? 6 : v < 10000000 ? 7 : v < 100000000 ? 8
                     : v < 1000000000 ? 9 : 10;
  char* end = p + digits;
  char* q = end;
  while (v >= 100) {
    const std::uint32_t r = v % 100;
    v /= 100;
    q -= 2;
    std::memcpy(q, pairs + 2 * r, 2);
  }
  if (v >= 10) {
    q -= 2;
    std::memcpy(q, pairs + 2 * v, 2);
  } else {
    *--q = static_cast<char>('0' + v);
  }
  return end;
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
inline constexpr ColumnTexts column_texts{};

// Writes a column (or any number): the room must allow 8 bytes, and 10
// past 999.
inline char* put_column(char* p, std::uint32_t col) {
  if (col >= ColumnTexts::count) return put_u32(p, col);
  std::memcpy(p, column_texts.slot[col], 8);
  return p + column_texts.slot[col][7];
}

}  // namespace tarnwick
