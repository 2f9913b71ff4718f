// The output text of a call: one malloc'd block that grows with realloc. For
// large blocks the C library moves pages instead of copying them, and only
// the pages written become resident, so growing never holds two copies.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

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
  ~OutputBuffer() { std::free(data_); }

  void reserve(std::size_t n) {
    if (n > capacity_) grow_to(n);
  }
  // A pointer at which `n` more bytes may be written; `commit` then sets the
  // end of what was written.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow_to(size_ + n);
    return data_ + size_;
  }
  void commit(char* end) { size_ = static_cast<std::size_t>(end - data_); }

  void append(std::string_view s) {
    char* p = room(s.size());
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    size_ += s.size();
  }
  void push_back(char c) { *room(1) = c; ++size_; }

  std::size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_ ? data_ : "", size_); }
  std::string str() const { return std::string(view()); }

 private:
  void grow_to(std::size_t needed) {
    std::size_t cap = capacity_ < 64 ? 64 : capacity_;
    while (cap < needed) {
      if (cap > (SIZE_MAX >> 1)) throw std::bad_alloc();
      cap *= 2;
    }
    void* p = std::realloc(data_, cap);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
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

// Decimal digits of a counter that is written many times in a row and grows
// by one each time (the columns of a run of source positions).
class DecimalCounter {
 public:
  explicit DecimalCounter(std::uint64_t v) {
    len_ = static_cast<std::size_t>(std::to_chars(digits_, digits_ + sizeof digits_, v).ptr - digits_);
  }
  char* put(char* p) const {
    std::memcpy(p, digits_, len_);
    return p + len_;
  }
  void increment() {
    std::size_t i = len_;
    while (i > 0) {
      --i;
      if (digits_[i] != '9') {
        ++digits_[i];
        return;
      }
      digits_[i] = '0';
    }
    std::memmove(digits_ + 1, digits_, len_);
    digits_[0] = '1';
    ++len_;
  }

 private:
  char digits_[24];
  std::size_t len_ = 0;
};

}  // namespace tarnwick
