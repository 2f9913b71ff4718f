#include "util/memory.h"

#include "util/sanitizers.h"

namespace tarnwick {
namespace {

// Under AddressSanitizer every store comes from operator new, where reads
// past its end are caught; a mapping would hide them in its rounding.
#if defined(__linux__) && !defined(TARNWICK_ADDRESS_SANITIZER)
constexpr bool map_large_stores = true;
#else
constexpr bool map_large_stores = false;
#endif

bool is_mapped(std::size_t bytes) { return map_large_stores && bytes >= huge_page_bytes; }

#if defined(__linux__)
// A mapping of `length` bytes (a whole number of huge pages) that starts on a
// huge-page boundary. Recent kernels place such mappings there by themselves;
// asking for one huge page more and handing back the excess on both sides
// makes sure of it on any kernel.
void* map_on_huge_page_boundary(std::size_t length) {
  const std::size_t padded = length + huge_page_bytes;
  void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto begin = reinterpret_cast<std::uintptr_t>(raw);
  const auto start = (begin + huge_page_bytes - 1) & ~std::uintptr_t{huge_page_bytes - 1};
  const auto end = start + length;
  if (start > begin) munmap(raw, start - begin);
  if (begin + padded > end) munmap(reinterpret_cast<void*>(end), begin + padded - end);
  return reinterpret_cast<void*>(start);
}
#endif

}  // namespace

void* allocate_store(std::size_t bytes) {
#if defined(__linux__)
  if (is_mapped(bytes)) {
    if (bytes > SIZE_MAX / 2) throw std::bad_alloc();
    const std::size_t length = whole_huge_pages(bytes);
    void* p = map_on_huge_page_boundary(length);
    advise_huge_pages(p, length);
    return p;
  }
#endif
  return ::operator new(bytes);
}

void free_store(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
  if (is_mapped(bytes)) {
    munmap(p, whole_huge_pages(bytes));
    return;
  }
#endif
  ::operator delete(p);
}

std::size_t store_footprint(std::size_t bytes) {
  return is_mapped(bytes) ? whole_huge_pages(bytes) : bytes;
}

}  // namespace tarnwick
