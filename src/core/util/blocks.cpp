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

#if !defined(TARNWICK_ADDRESS_SANITIZER)
constexpr std::size_t smallest_kept = std::size_t{64} << 10;

// `bytes` rounded up to the next of eight sizes per power of two: at most an
// eighth more than asked.
std::size_t block_size(std::size_t bytes) {
  if (bytes < smallest_kept) return bytes;
  const int top = std::bit_width(bytes) - 1;  // 2^top <= bytes
  const std::size_t step = std::size_t{1} << (top - 3);
  return (bytes + step - 1) & ~(step - 1);
}

class KeptBlocks {
 public:
  // The smallest kept block of `size` bytes up to a quarter more, or null;
  // `size` becomes the block's own size.
  void* take(std::size_t& size) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t s = slots_[i].size;
      if (s >= size && s <= size + size / 4 && (best == count_ || s < slots_[best].size)) best = i;
    }
    if (best == count_) return nullptr;
    void* p = slots_[best].p;
    size = slots_[best].size;
    kept_ -= size;
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

// A kept block starts with a header that holds its size, so that a block
// taken for a smaller need is still freed whole.
constexpr std::size_t header_bytes = alignof(std::max_align_t);

void* allocate_block(std::size_t bytes) {
#if !defined(TARNWICK_ADDRESS_SANITIZER)
  if (bytes + header_bytes >= smallest_kept && bytes <= SIZE_MAX / 2) {
    std::size_t size = block_size(bytes + header_bytes);
    void* raw = kept().take(size);
    if (raw == nullptr) raw = allocate_store(size);  // huge pages from 2 MiB on
    static_cast<std::size_t*>(raw)[0] = size;
    return static_cast<char*>(raw) + header_bytes;
  }
#endif
  return ::operator new(bytes);
}

void free_block(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if !defined(TARNWICK_ADDRESS_SANITIZER)
  if (bytes + header_bytes >= smallest_kept && bytes <= SIZE_MAX / 2) {
    void* raw = static_cast<char*>(p) - header_bytes;
    const std::size_t size = static_cast<std::size_t*>(raw)[0];
    if (!kept().keep(raw, size)) free_store(raw, size);
    return;
  }
#else
  (void)bytes;
#endif
  ::operator delete(p);
}

}  // namespace tarnwick
