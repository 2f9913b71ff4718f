#include "util/own_stack.h"

#include <exception>
#include <new>

#include "errors.h"
#include "util/sanitizers.h"

#if defined(__unix__) || defined(__APPLE__)
#define TARNWICK_UCONTEXT 1
#include <sys/mman.h>
#include <ucontext.h>
#endif

#if defined(TARNWICK_ADDRESS_SANITIZER)
#include <sanitizer/common_interface_defs.h>
#endif

namespace tarnwick {

#if defined(TARNWICK_UCONTEXT)
namespace {

// The lowest part of the region is never readable or writable, so that an
// overrun faults instead of writing into other memory.
constexpr std::size_t guard_bytes = std::size_t{64} << 10;
// Regions are reserved in whole mebibytes, doubling as they grow.
constexpr std::size_t region_granule = std::size_t{1} << 20;
// The part of the stack kept resident between calls; what a deep call
// touched below it is given back when the call ends.
constexpr std::size_t resident_bytes = std::size_t{1} << 20;

#if !defined(MAP_STACK)
#define MAP_STACK 0
#endif
#if !defined(MAP_NORESERVE)
#define MAP_NORESERVE 0
#endif

// The calling thread's region: reserved, not committed, until the calls touch it.
class Region {
 public:
  Region() = default;
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  ~Region() { unmap(); }

  // Makes the usable part hold at least `bytes`.
  void reserve(std::size_t bytes) {
    if (bytes <= usable() && mapping_ != nullptr) return;
    std::size_t length = region_granule;
    while (length < bytes + guard_bytes) {
      if (length > (SIZE_MAX >> 2)) throw std::bad_alloc();
      length *= 2;
    }
    unmap();
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    mapping_ = static_cast<char*>(p);
    length_ = length;
    if (mprotect(mapping_, guard_bytes, PROT_NONE) != 0) {
      unmap();
      throw std::bad_alloc();
    }
  }

  char* bottom() const { return mapping_ + guard_bytes; }
  std::size_t usable() const { return length_ > guard_bytes ? length_ - guard_bytes : 0; }
  char* top() const { return mapping_ + length_; }

  // Gives back the pages from the bottom up to `resident_bytes` below the
  // top, when a call used more than that (`lowest` is the lowest address it
  // reached).
  void release_below(std::uintptr_t lowest) {
    if (mapping_ == nullptr || in_use) return;
    const auto keep_from = reinterpret_cast<std::uintptr_t>(top()) - resident_bytes;
    if (lowest >= keep_from) return;
    const auto from = reinterpret_cast<std::uintptr_t>(bottom());
    madvise(bottom(), keep_from - from, MADV_DONTNEED);
  }

  bool in_use = false;

 private:
  void unmap() {
    if (mapping_ != nullptr) munmap(mapping_, length_);
    mapping_ = nullptr;
    length_ = 0;
  }

  char* mapping_ = nullptr;
  std::size_t length_ = 0;
};

thread_local Region region;
thread_local std::uintptr_t floor_address = 0;

// What the code on the own stack runs, and how it gets back.
struct Switch {
  void (*body)(void*);
  void* context;
  std::exception_ptr error;
  ucontext_t caller;
  ucontext_t callee;
  const void* caller_bottom = nullptr;
  std::size_t caller_size = 0;
};
thread_local Switch* current = nullptr;

void entry() {
  Switch* s = current;
#if defined(TARNWICK_ADDRESS_SANITIZER)
  __sanitizer_finish_switch_fiber(nullptr, &s->caller_bottom, &s->caller_size);
#endif
  try {
    s->body(s->context);
  } catch (...) {
    s->error = std::current_exception();
  }
#if defined(TARNWICK_ADDRESS_SANITIZER)
  // The own stack's frame ends here: no fake stack to keep.
  __sanitizer_start_switch_fiber(nullptr, s->caller_bottom, s->caller_size);
#endif
  // Returning resumes `uc_link`, the caller's context.
}

}  // namespace

void run_on_own_stack(std::size_t bytes, void (*body)(void*), void* context) {
  if (region.in_use) {
    // A call from code that already runs on the own stack stays on it.
    body(context);
    return;
  }
  region.reserve(bytes);
  Switch s{body, context, nullptr, {}, {}};
  if (getcontext(&s.callee) != 0) throw InternalError("could not set up the grammar's stack");
  s.callee.uc_stack.ss_sp = region.bottom();
  s.callee.uc_stack.ss_size = region.usable();
  s.callee.uc_link = &s.caller;
  makecontext(&s.callee, entry, 0);
  region.in_use = true;
  floor_address = reinterpret_cast<std::uintptr_t>(region.bottom());
  current = &s;
#if defined(TARNWICK_ADDRESS_SANITIZER)
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, region.bottom(), region.usable());
#endif
  const int switched = swapcontext(&s.caller, &s.callee);
#if defined(TARNWICK_ADDRESS_SANITIZER)
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
  current = nullptr;
  floor_address = 0;
  region.in_use = false;
  if (switched != 0) throw InternalError("could not switch to the grammar's stack");
  if (s.error) std::rethrow_exception(s.error);
}

void release_own_stack(std::uintptr_t lowest) { region.release_below(lowest); }

std::uintptr_t own_stack_floor() { return floor_address; }

bool can_switch_stacks() { return true; }

#else

void run_on_own_stack(std::size_t, void (*body)(void*), void* context) { body(context); }

void release_own_stack(std::uintptr_t) {}

std::uintptr_t own_stack_floor() { return 0; }

bool can_switch_stacks() { return false; }

#endif

}  // namespace tarnwick
