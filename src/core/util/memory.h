// Memory hints for the large, short-lived stores of one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick {

// The most memory of one store that is advised to use huge pages.
inline constexpr std::size_t huge_page_budget = std::size_t{256} << 20;

// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with
// transparent huge pages. The stores are filled once, front to back, so a few
// large pages fault in much faster than many small ones. Only a hint: nothing
// changes where it is not supported.
inline void advise_huge_pages(const void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
  // Past a few hundred megabytes free huge pages run short and the kernel
  // would stall compacting memory for more; the rest stays on small pages.
  if (bytes > huge_page_budget) bytes = huge_page_budget;
  if (bytes < 2 * huge) return;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(huge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

// Makes room for at least `n` elements in `v`, and when that takes new
// memory, advises huge pages for it before anything is written there. A
// store that outgrows its room grows through here too (doubling), so a text
// denser than expected does not fall back to small pages.
template <class Vector>
void reserve_huge(Vector& v, std::size_t n) {
  if (n <= v.capacity()) return;
  v.reserve(n);
  advise_huge_pages(v.data(), v.capacity() * sizeof(typename Vector::value_type));
}

// Doubles the room of a full `v` through `reserve_huge`.
template <class Vector>
[[gnu::noinline]] void grow_huge(Vector& v) {
  reserve_huge(v, v.capacity() < 64 ? 64 : 2 * v.capacity());
}

// Appends `x` to `v`, growing it through `grow_huge` when full.
template <class Vector, class T>
inline void push_back_huge(Vector& v, T&& x) {
  if (v.size() == v.capacity()) [[unlikely]] grow_huge(v);
  v.push_back(std::forward<T>(x));
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

}  // namespace tarnwick
