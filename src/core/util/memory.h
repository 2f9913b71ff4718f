// Memory for the large, short-lived stores of one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick {

inline constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// The most memory of one store that is advised to use huge pages.
inline constexpr std::size_t huge_page_budget = std::size_t{256} << 20;

// `bytes` rounded up to a whole number of huge pages (`bytes` is at most
// SIZE_MAX / 2, which every size that can be allocated is).
inline std::size_t whole_huge_pages(std::size_t bytes) {
  return (bytes + huge_page_bytes - 1) & ~(huge_page_bytes - 1);
}

// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with
// transparent huge pages. The stores are filled once, front to back, so a few
// large pages fault in much faster than many small ones. Only a hint: nothing
// changes where it is not supported.
inline void advise_huge_pages(const void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge = huge_page_bytes;
  // Past a few hundred megabytes free huge pages run short and the kernel
  // would stall compacting memory for more; the rest stays on small pages.
  if (bytes > huge_page_budget) bytes = huge_page_budget;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(huge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

// Advice for a whole mapping of `bytes` from `p` (both page-aligned): huge
// pages up to the budget, small pages past it. The advice always covers the
// whole mapping, since advice for a part would split it in two, and mremap
// refuses to move a mapping that has been split.
inline void advise_whole_mapping(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(p, bytes, bytes <= huge_page_budget ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

// Memory for a store of `bytes`. From one huge page on, a store is a mapping
// of its own whose length is a whole number of huge pages and which starts on
// a huge-page boundary, so all of it can be huge pages. Through
// malloc a large block starts and ends between those boundaries (or lies in
// the heap, where the advice may not hold), and those parts fault in 4 KiB at
// a time: about 13,000 faults a call on a text of a few megabytes. Smaller
// stores come from operator new.
void* allocate_store(std::size_t bytes);
// Frees what `allocate_store(bytes)` returned.
void free_store(void* p, std::size_t bytes) noexcept;
// The memory a store of `bytes` takes, its mapping rounded up.
std::size_t store_footprint(std::size_t bytes);

template <class T>
struct HugePageAllocator {
  using value_type = T;
  static_assert(alignof(T) <= alignof(std::max_align_t));

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_store(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { free_store(p, n * sizeof(T)); }

  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

// A growable store of a call.
template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace tarnwick
