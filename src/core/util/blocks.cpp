// The cache of dropped tree blocks (see `allocate_block` in util/memory.h).
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "util/memory.h"
#include "util/sanitizers.h"

namespace tarnwick {
namespace {

constexpr std::size_t smallest_kept = std::size_t{64} << 10;

// `bytes` rounded up to the next of eight sizes per power of two: at most an
// eighth more than asked.
std::size_t block_size(std::size_t bytes) {
  if (bytes < smallest_kept) return bytes;
  const int top = std::bit_width(bytes) - 1;  // 2^top <= bytes
  const std::size_t step = std::size_t{1} << (top - 3);
  return (bytes + step - 1) & ~(step - 1);
}

#if !defined(TARNWICK_ADDRESS_SANITIZER)
class KeptBlocks {
 public:
  // The smallest kept block of `size` bytes up to a quarter more, or null.
  // A larger block is then known by the smaller size: its owner frees it
  // under the size it asked for.
  void* take(std::size_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t s = slots_[i].size;
      if (s >= size && s <= size + size / 4 && (best == count_ || s < slots_[best].size)) best = i;
    }
    if (best == count_) return nullptr;
    void* p = slots_[best].p;
    kept_ -= slots_[best].size;
    slots_[best] = slots_[--count_];
    return p;
  }
  // Keeps the block if there is room; answers whether it did.
  bool keep(void* p, std::size_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (count_ == slots_.size() || kept_ + size > kept_block_bytes) return false;
    slots_[count_++] = Slot{p, size};
    kept_ += size;
    return true;
  }

 private:
  struct Slot {
    void* p;
    std::size_t size;
  };
  std::mutex mutex_;
  std::array<Slot, 32> slots_{};
  std::size_t count_ = 0;
  std::size_t kept_ = 0;
};

// Never destroyed: trees that outlive the static destructors (held by
// objects freed late at exit) still give their blocks back safely.
KeptBlocks& kept() {
  static KeptBlocks* blocks = new KeptBlocks();
  return *blocks;
}
#endif

}  // namespace

void* allocate_block(std::size_t bytes) {
  const std::size_t size = block_size(bytes);
#if !defined(TARNWICK_ADDRESS_SANITIZER)
  if (size >= smallest_kept)
    if (void* p = kept().take(size)) return p;
#endif
  return ::operator new(size);
}

void free_block(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if !defined(TARNWICK_ADDRESS_SANITIZER)
  const std::size_t size = block_size(bytes);
  if (size >= smallest_kept && kept().keep(p, size)) return;
#else
  (void)bytes;
#endif
  ::operator delete(p);
}

}  // namespace tarnwick
