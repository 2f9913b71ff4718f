// Memory for the large, short-lived stores of one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarnwick {

inline constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// The most memory of one store that is advised to use huge pages.
inline constexpr std::size_t huge_page_budget = std::size_t{256} << 20;

// `bytes` rounded up to a whole number of huge pages (`bytes` is at most
// SIZE_MAX / 2, which every size that can be allocated is).
inline std::size_t whole_huge_pages(std::size_t bytes) {
  return (bytes + huge_page_bytes - 1) & ~(huge_page_bytes - 1);
}

// The most memory of dropped stores that is kept for the next ones, its
// pages left to the system (see `allocate_store`).
inline constexpr std::size_t lazily_kept_bytes = std::size_t{256} << 20;

// Memory for a store of `bytes` (implemented in util/platform.cpp). On Linux,
// from one huge page on, a store is a mapping of its own whose length is a
// whole number of huge pages and which starts on a huge-page boundary, so all
// of it can be huge pages. A dropped mapping is not unmapped at once: up to
// `lazily_kept_bytes` of them are kept, their pages marked free (MADV_FREE),
// which the kernel takes back only when it runs short of memory, and the
// next store of about that size reuses one; where the kernel has not taken
// its pages, they need no fresh mapping and clearing. The stores of a call
// on a text of a few megabytes take a few hundred megabytes, and faulting
// them in afresh costs as much as the parse. Through malloc a large block starts and ends
// between those boundaries (or lies in the heap, where the advice may not
// hold), and those parts fault in 4 KiB at a time: about 13,000 faults a call
// on a text of a few megabytes. Smaller stores, and every store on other
// systems, come from operator new.
void* allocate_store(std::size_t bytes);
// Frees what `allocate_store(bytes)` returned.
void free_store(void* p, std::size_t bytes) noexcept;
// The memory a store of `bytes` takes, its mapping rounded up.
std::size_t store_footprint(std::size_t bytes);

// A standard allocator over a pair of functions: `Allocate(bytes)` and
// `Free(p, bytes)`, which is told the size it was asked for.
template <class T, void* (*Allocate)(std::size_t), void (*Free)(void*, std::size_t) noexcept>
struct FunctionAllocator {
  using value_type = T;
  static_assert(alignof(T) <= alignof(std::max_align_t));
  template <class U>
  struct rebind {
    using other = FunctionAllocator<U, Allocate, Free>;
  };

  FunctionAllocator() = default;
  template <class U>
  FunctionAllocator(const FunctionAllocator<U, Allocate, Free>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / 2 / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(Allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { Free(p, n * sizeof(T)); }

  friend bool operator==(const FunctionAllocator&, const FunctionAllocator&) { return true; }
};

template <class T>
using HugePageAllocator = FunctionAllocator<T, allocate_store, free_store>;

// A growable store of a call.
template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

// The memory a store holds, in bytes: its capacity, as mapped for a
// `HugeVector`.
template <class T>
std::size_t store_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}
template <class T>
std::size_t store_bytes(const HugeVector<T>& v) {
  return store_footprint(v.capacity() * sizeof(T));
}
inline std::size_t store_bytes(const std::string& s) { return s.capacity(); }

// Frees the memory of a store, which is left empty.
template <class Store>
void release_store(Store& s) {
  Store().swap(s);
}


// Memory for the arrays of finished trees, which a program reading file
// after file makes and drops in turn, often from several threads. A block of
// 64 KiB or more is rounded up to one of eight sizes per power of two, and
// when a tree drops it, it goes to a small cache shared by the process (at
// most `kept_block_bytes` in all) instead of back to the system: the next
// tree of about that size takes it already mapped, where fresh memory would
// fault in 4 KiB at a time, and would be cleared and unmapped again by the
// kernel for every tree. A fresh block of 2 MiB or more is a store of its
// own (see `allocate_store`), on huge pages. Under AddressSanitizer nothing
// is kept, so that a read of a dropped tree's memory is caught.
void* allocate_block(std::size_t bytes);
// Frees what `allocate_block(bytes)` returned.
void free_block(void* p, std::size_t bytes) noexcept;
inline constexpr std::size_t kept_block_bytes = std::size_t{64} << 20;

template <class T>
using BlockAllocator = FunctionAllocator<T, allocate_block, free_block>;

template <class T>
using BlockVector = std::vector<T, BlockAllocator<T>>;

// The same memory, for arrays that are sized first and then written element
// by element: growing one leaves new elements of trivial types unwritten
// instead of clearing them.
template <class T>
struct UnclearedBlockAllocator : BlockAllocator<T> {
  template <class U>
  struct rebind {
    using other = UnclearedBlockAllocator<U>;
  };
  UnclearedBlockAllocator() = default;
  template <class U>
  UnclearedBlockAllocator(const UnclearedBlockAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UnclearedBlockVector = std::vector<T, UnclearedBlockAllocator<T>>;

}  // namespace tarnwick
