// Everything the core asks of the operating system: memory for the large
// stores (util/memory.h) and the grammar's own stack (util/own_stack.h), in
// the three variants util/platform.h describes. Each variant is one section
// below; what they share comes first.
#include "util/platform.h"

#include <array>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

#include "errors.h"
#include "util/memory.h"
#include "util/own_stack.h"
#include "util/sanitizers.h"

#if defined(TARNWICK_PORTABLE_FALLBACK)
#define TARNWICK_PLATFORM_FALLBACK 1
#elif defined(_WIN32)
#define TARNWICK_PLATFORM_WINDOWS 1
#elif defined(__unix__) || defined(__APPLE__)
#define TARNWICK_PLATFORM_POSIX 1
#else
#define TARNWICK_PLATFORM_FALLBACK 1
#endif

#if defined(TARNWICK_PLATFORM_POSIX)
#include <sys/mman.h>
#if defined(__x86_64__) && defined(__ELF__)
// A switch of its own: two short routines below. The system's swapcontext
// would also save and restore the signal mask (two system calls a switch),
// and AddressSanitizer intercepts it with a warning on every run.
#define TARNWICK_STACK_SWITCH_X86_64 1
#else
#include <ucontext.h>
#endif
#endif

#if defined(TARNWICK_PLATFORM_WINDOWS) || (defined(TARNWICK_PLATFORM_FALLBACK) && defined(_WIN32))
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0601
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // IsThreadAFiber and ConvertThreadToFiberEx
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#if defined(TARNWICK_PLATFORM_FALLBACK) && !defined(_WIN32)
#if defined(__linux__) || defined(__FreeBSD__) || defined(__APPLE__)
#define TARNWICK_PTHREAD_STACK_BOUNDS 1
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif
#endif

#if defined(TARNWICK_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace tarnwick {
namespace {

// The lowest part of an own stack is left unused: on POSIX it is never
// readable or writable, so that an overrun faults instead of writing into
// other memory; on Windows it holds the stack's guard pages.
[[maybe_unused]] constexpr std::size_t guard_bytes = std::size_t{64} << 10;
// Own stacks are reserved in whole mebibytes, doubling as they grow.
[[maybe_unused]] constexpr std::size_t region_granule = std::size_t{1} << 20;
// The part of an own stack kept resident between calls; what a deep call
// touched below it is given back when the call ends.
[[maybe_unused]] constexpr std::size_t resident_bytes = std::size_t{1} << 20;

// The length of an own stack that holds `bytes` above its guard.
[[maybe_unused]] std::size_t own_stack_length(std::size_t bytes) {
  std::size_t length = region_granule;
  while (length < bytes + guard_bytes) {
    if (length > (SIZE_MAX >> 2)) throw std::bad_alloc();
    length *= 2;
  }
  return length;
}

// What the code on the own stack runs, and what it threw.
struct Call {
  void (*body)(void*) = nullptr;
  void* context = nullptr;
  std::exception_ptr error;
};

// Runs the body of `call`, with every exception caught on the stack it runs on.
[[maybe_unused]] void run_caught(Call& call) {
  try {
    call.body(call.context);
  } catch (...) {
    call.error = std::current_exception();
  }
}

}  // namespace

// ---- Stores ------------------------------------------------------------------

#if defined(TARNWICK_PLATFORM_POSIX) && defined(__linux__) && !defined(TARNWICK_ADDRESS_SANITIZER)
// Under AddressSanitizer every store comes from operator new, where reads
// past its end are caught; a mapping would hide them in its rounding.
namespace {

bool is_mapped(std::size_t bytes) { return bytes >= huge_page_bytes; }

// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with
// transparent huge pages. The stores are filled once, front to back, so a few
// large pages fault in much faster than many small ones. Only a hint: nothing
// changes where it is not supported.
void advise_huge_pages(void* p, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  // Past a few hundred megabytes free huge pages run short and the kernel
  // would stall compacting memory for more; the rest stays on small pages.
  if (bytes > huge_page_budget) bytes = huge_page_budget;
  madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

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

// The mappings that stores dropped, kept for the next stores of about their
// size (see `lazily_kept_bytes`), and the kept mappings lent out longer
// than asked for, whose whole length is given back when they are freed.
class LazyMappings {
 public:
  // A kept mapping of `length` bytes up to twice that, the smallest there
  // is, or null.
  void* take(std::size_t length) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t l = slots_[i].length;
      if (l >= length && l / 2 <= length && (best == count_ || l < slots_[best].length)) best = i;
    }
    if (best == count_) return nullptr;
    const Slot slot = slots_[best];
    if (slot.length != length) lent_.push_back(slot);  // may throw, before anything changed
    for (std::size_t i = best + 1; i < count_; ++i) slots_[i - 1] = slots_[i];
    --count_;
    kept_ -= slot.length;
    return slot.p;
  }
  // Gives back the mapping at `p` that a store of `length` bytes took (more,
  // when it was lent longer): kept, its pages left to the system to take
  // whenever it needs memory, or else unmapped. The oldest kept mappings
  // make room for it.
  void give_back(void* p, std::size_t length) noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t i = 0; i < lent_.size(); ++i) {
      if (lent_[i].p == p) {
        length = lent_[i].length;
        lent_[i] = lent_.back();
        lent_.pop_back();
        break;
      }
    }
#if defined(MADV_FREE)
    if (length <= lazily_kept_bytes && madvise(p, length, MADV_FREE) == 0) {
      while (count_ > 0 && (count_ == slots_.size() || kept_ + length > lazily_kept_bytes)) {
        munmap(slots_[0].p, slots_[0].length);
        kept_ -= slots_[0].length;
        for (std::size_t i = 1; i < count_; ++i) slots_[i - 1] = slots_[i];
        --count_;
      }
      slots_[count_++] = Slot{p, length};
      kept_ += length;
      return;
    }
#endif
    munmap(p, length);
  }

 private:
  struct Slot {
    void* p;
    std::size_t length;
  };
  std::mutex mutex_;
  std::array<Slot, 16> slots_{};  // oldest first
  std::size_t count_ = 0;
  std::size_t kept_ = 0;
  std::vector<Slot> lent_;
};

// Never destroyed, like the kept tree blocks: stores freed late at exit
// still find it.
LazyMappings& lazy_mappings() {
  static LazyMappings* mappings = new LazyMappings();
  return *mappings;
}

}  // namespace

void* allocate_store(std::size_t bytes) {
  if (is_mapped(bytes)) {
    if (bytes > SIZE_MAX / 2) throw std::bad_alloc();
    const std::size_t length = whole_huge_pages(bytes);
    void* p = lazy_mappings().take(length);
    if (p == nullptr) p = map_on_huge_page_boundary(length);
    // Only the whole huge pages within what was asked for: the rest of the
    // last one stays on small pages, which fault in only where written.
    advise_huge_pages(p, bytes & ~(huge_page_bytes - 1));
    return p;
  }
  return ::operator new(bytes);
}

void free_store(void* p, std::size_t bytes) noexcept {
  if (is_mapped(bytes)) {
    lazy_mappings().give_back(p, whole_huge_pages(bytes));
    return;
  }
  ::operator delete(p);
}

std::size_t store_footprint(std::size_t bytes) {
  return is_mapped(bytes) ? whole_huge_pages(bytes) : bytes;
}

#else
// Elsewhere the allocator's own large blocks serve as well: there are no
// transparent huge pages to ask for.

void* allocate_store(std::size_t bytes) { return ::operator new(bytes); }

void free_store(void* p, std::size_t) noexcept { ::operator delete(p); }

std::size_t store_footprint(std::size_t bytes) { return bytes; }

#endif

// ---- POSIX: a mapped stack and a switch to it ----------------------------------

#if defined(TARNWICK_PLATFORM_POSIX)

}  // namespace tarnwick

#if defined(TARNWICK_STACK_SWITCH_X86_64)
// tarnwick_switch_stack(save, load): saves the callee-saved registers and the
// floating-point control words on the current stack, stores the stack
// pointer in *save, and resumes the context whose stack pointer is `load`.
//
// tarnwick_stack_start: where a fresh own stack begins (its initial frame
// is laid out by `enter` below): calls r13(r12), then resumes the context
// whose stack pointer is the first field of the struct r12 points to.
asm(R"(
  .text
  .p2align 4
  .globl tarnwick_switch_stack
  .hidden tarnwick_switch_stack
  .type tarnwick_switch_stack, @function
tarnwick_switch_stack:
  .cfi_startproc
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
.Ltarnwick_resume:
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .cfi_endproc
  .size tarnwick_switch_stack, .-tarnwick_switch_stack

  .p2align 4
  .globl tarnwick_stack_start
  .hidden tarnwick_stack_start
  .type tarnwick_stack_start, @function
tarnwick_stack_start:
  .cfi_startproc
  .cfi_undefined rip
  movq %r12, %rdi
  callq *%r13
  movq (%r12), %rsp
  jmp .Ltarnwick_resume
  .cfi_endproc
  .size tarnwick_stack_start, .-tarnwick_stack_start
)");
extern "C" void tarnwick_switch_stack(void** save, void* load);
extern "C" void tarnwick_stack_start();
#endif

namespace tarnwick {
namespace {

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
    const std::size_t length = own_stack_length(bytes);
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

// A call on the own stack, and how it gets back.
struct Switch {
  void* caller_sp = nullptr;  // first: tarnwick_stack_start reads it at this offset
  Call* call = nullptr;
  const void* caller_bottom = nullptr;
  std::size_t caller_size = 0;
#if !defined(TARNWICK_STACK_SWITCH_X86_64)
  ucontext_t caller;
  ucontext_t callee;
#endif
};

static_assert(std::is_standard_layout_v<Switch>);

// Runs on the own stack: the body, with every exception caught there.
void run_switch(Switch* s) {
#if defined(TARNWICK_ADDRESS_SANITIZER)
  __sanitizer_finish_switch_fiber(nullptr, &s->caller_bottom, &s->caller_size);
#endif
  run_caught(*s->call);
#if defined(TARNWICK_ADDRESS_SANITIZER)
  // The own stack's frames end here: there is no fake stack to keep.
  __sanitizer_start_switch_fiber(nullptr, s->caller_bottom, s->caller_size);
#endif
}

#if defined(TARNWICK_STACK_SWITCH_X86_64)

// Switches to a fresh own stack whose top is `top` and runs `s` there. The
// initial frame is what tarnwick_switch_stack pops: the floating-point
// control words (as the caller has them), r15, r14, r13 (the function to
// run), r12 (its argument), rbx, rbp, and the address `ret` goes to. It lies
// just below the top, so that the function is called with the stack aligned
// as the ABI wants.
void enter(Switch& s, char* top) {
  auto* frame = reinterpret_cast<std::uint64_t*>(top) - 8;
  std::uint32_t mxcsr = 0;
  std::uint16_t fpu_control = 0;
  asm volatile("stmxcsr %0\n\tfnstcw %1" : "=m"(mxcsr), "=m"(fpu_control));
  frame[0] = mxcsr | (std::uint64_t{fpu_control} << 32);
  frame[1] = 0;
  frame[2] = 0;
  frame[3] = reinterpret_cast<std::uint64_t>(&run_switch);
  frame[4] = reinterpret_cast<std::uint64_t>(&s);
  frame[5] = 0;
  frame[6] = 0;
  frame[7] = reinterpret_cast<std::uint64_t>(&tarnwick_stack_start);
  tarnwick_switch_stack(&s.caller_sp, frame);
}

#else

thread_local Switch* current = nullptr;

void run_current_switch() { run_switch(current); }

void enter(Switch& s, char*) {
  if (getcontext(&s.callee) != 0) throw InternalError("could not set up the grammar's stack");
  s.callee.uc_stack.ss_sp = region.bottom();
  s.callee.uc_stack.ss_size = region.usable();
  s.callee.uc_link = &s.caller;
  makecontext(&s.callee, run_current_switch, 0);
  current = &s;
  const int switched = swapcontext(&s.caller, &s.callee);
  current = nullptr;
  if (switched != 0) throw InternalError("could not switch to the grammar's stack");
}

#endif

}  // namespace

PlatformVariant platform_variant() { return PlatformVariant::Posix; }

void run_on_own_stack(std::size_t bytes, void (*body)(void*), void* context) {
  if (region.in_use) {
    // A call from code that already runs on the own stack stays on it.
    body(context);
    return;
  }
  region.reserve(bytes);
  Call call{body, context, {}};
  Switch s;
  s.call = &call;
  region.in_use = true;
  floor_address = reinterpret_cast<std::uintptr_t>(region.bottom());
  struct Done {
    ~Done() {
      floor_address = 0;
      region.in_use = false;
    }
  } done;
#if defined(TARNWICK_ADDRESS_SANITIZER)
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, region.bottom(), region.usable());
#endif
  enter(s, region.top());
#if defined(TARNWICK_ADDRESS_SANITIZER)
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
  if (call.error) {
    clear_own_stack_marks();
    std::rethrow_exception(call.error);
  }
}

void clear_own_stack_marks() {
#if defined(TARNWICK_ADDRESS_SANITIZER)
  if (region.usable() > 0) __asan_unpoison_memory_region(region.bottom(), region.usable());
#endif
}

void release_own_stack(std::uintptr_t lowest) { region.release_below(lowest); }

std::uintptr_t own_stack_floor() { return floor_address; }

bool can_switch_stacks() { return true; }

#endif  // TARNWICK_PLATFORM_POSIX

// ---- Windows: a fiber ------------------------------------------------------------
//
// The own stack is a fiber whose stack is reserved as large as the call
// asks and committed page by page as it is touched. The calling thread
// becomes a fiber for the length of a call (unless it already is one, which
// stays as it is), switches to the own fiber, and is switched back to when
// the body has run. The fiber never returns: it waits for the next call of
// its thread, and is deleted when a larger stack is needed, when a call
// touched more than `resident_bytes` of it (that memory goes back to the
// system with it), or when the thread ends.

#if defined(TARNWICK_PLATFORM_WINDOWS)

namespace {

void WINAPI fiber_main(void* parameter);

class OwnFiber {
 public:
  OwnFiber() = default;
  OwnFiber(const OwnFiber&) = delete;
  OwnFiber& operator=(const OwnFiber&) = delete;
  ~OwnFiber() { drop(); }

  // Makes the fiber's stack hold at least `bytes` above its guard.
  void reserve(std::size_t bytes) {
    if (fiber_ != nullptr && bytes <= usable_) return;
    const std::size_t length = own_stack_length(bytes);
    drop();
    // A small first commit: the system commits further pages as the stack
    // grows into them.
    fiber_ = CreateFiberEx(std::size_t{64} << 10, length, FIBER_FLAG_FLOAT_SWITCH, fiber_main, this);
    if (fiber_ == nullptr) throw std::bad_alloc();
    usable_ = length - guard_bytes;
  }

  // Deletes the fiber and its stack; the next call makes a new one.
  void drop() {
    if (fiber_ != nullptr) DeleteFiber(fiber_);
    fiber_ = nullptr;
    usable_ = 0;
    floor = 0;
    top = 0;
  }

  void* fiber() const { return fiber_; }

  Call* call = nullptr;     // what the fiber runs next
  void* caller = nullptr;   // the fiber it switches back to
  bool in_use = false;
  // The fiber's stack: learned on the fiber itself when it first runs.
  std::uintptr_t floor = 0;
  std::uintptr_t top = 0;

 private:
  void* fiber_ = nullptr;
  std::size_t usable_ = 0;
};

thread_local OwnFiber own;

// The fiber the calling thread runs. GCC 12 takes the segment-register read
// inside the system's inline GetCurrentFiber for an access out of bounds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
[[gnu::noinline]] void* current_fiber() { return GetCurrentFiber(); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void WINAPI fiber_main(void* parameter) {
  auto* f = static_cast<OwnFiber*>(parameter);
  // The stack this runs on is one reservation: its base is the bottom, and
  // the committed block that holds this frame reaches up to the top.
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(&info, &info, sizeof info);
  f->floor = reinterpret_cast<std::uintptr_t>(info.AllocationBase) + guard_bytes;
  f->top = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
  for (;;) {
    run_caught(*f->call);
    SwitchToFiber(f->caller);
  }
}

}  // namespace

PlatformVariant platform_variant() { return PlatformVariant::Windows; }

void run_on_own_stack(std::size_t bytes, void (*body)(void*), void* context) {
  if (own.in_use) {
    // A call from code that already runs on the own stack stays on it.
    body(context);
    return;
  }
  own.reserve(bytes);
  Call call{body, context, {}};
  struct Caller {
    void* fiber = nullptr;
    bool converted = false;
    ~Caller() {
      own.in_use = false;
      own.call = nullptr;
      if (converted) ConvertFiberToThread();
    }
  } caller;
  if (IsThreadAFiber()) {
    caller.fiber = current_fiber();
  } else {
    caller.fiber = ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
    if (caller.fiber == nullptr) throw InternalError("could not switch to the grammar's stack");
    caller.converted = true;
  }
  own.call = &call;
  own.caller = caller.fiber;
  own.in_use = true;
  SwitchToFiber(own.fiber());
  if (call.error) std::rethrow_exception(call.error);
}

void clear_own_stack_marks() {}

void release_own_stack(std::uintptr_t lowest) {
  if (own.in_use || own.fiber() == nullptr || own.top == 0) return;
  if (lowest < own.top - resident_bytes) own.drop();
}

std::uintptr_t own_stack_floor() { return own.in_use ? own.floor : 0; }

bool can_switch_stacks() { return true; }

#endif  // TARNWICK_PLATFORM_WINDOWS

// ---- Fallback: the caller's stack ----------------------------------------------
//
// No stack switch: the body runs where it is called. The floor it is given
// is the bottom of the calling thread's stack (above the room its system
// keeps there), so the depth guard refuses a nest too deep for that stack.
// Where the system does not tell the bounds, or the caller runs on a stack
// other than the thread's own (a coroutine's), the stack is taken to hold
// `assumed_stack_bytes` below the call.

#if defined(TARNWICK_PLATFORM_FALLBACK)

namespace {

// The address range of a stack; both 0 where the system does not tell.
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
};

#if defined(_WIN32)

// The stack the caller runs on (a fiber's, where it runs on one): one
// reservation, whose committed block holding this frame reaches its top.
StackBounds stack_bounds() {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(&info, &info, sizeof info) == 0) return {};
  return {reinterpret_cast<std::uintptr_t>(info.AllocationBase),
          reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize};
}

#else

// The calling thread's stack as its thread library reports it.
StackBounds thread_stack_bounds() {
#if defined(TARNWICK_PTHREAD_STACK_BOUNDS) && defined(__APPLE__)
  pthread_t self = pthread_self();
  const auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
  return {high - pthread_get_stacksize_np(self), high};
#elif defined(TARNWICK_PTHREAD_STACK_BOUNDS)
  pthread_attr_t attr;
#if defined(__linux__)
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return {};
#else
  if (pthread_attr_init(&attr) != 0) return {};
  if (pthread_attr_get_np(pthread_self(), &attr) != 0) {
    pthread_attr_destroy(&attr);
    return {};
  }
#endif
  void* low = nullptr;
  std::size_t size = 0;
  const int got = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (got != 0) return {};
  return {reinterpret_cast<std::uintptr_t>(low), reinterpret_cast<std::uintptr_t>(low) + size};
#else
  return {};
#endif
}

// Learned on a thread's first call: its stack does not move (and reading
// the main thread's bounds can mean reading /proc/self/maps).
thread_local StackBounds known_bounds;
thread_local bool bounds_known = false;

StackBounds stack_bounds() {
  if (!bounds_known) {
    known_bounds = thread_stack_bounds();
    bounds_known = true;
  }
  return known_bounds;
}

#endif

thread_local std::uintptr_t floor_address = 0;

}  // namespace

PlatformVariant platform_variant() { return PlatformVariant::Fallback; }

void run_on_own_stack(std::size_t, void (*body)(void*), void* context) {
  if (floor_address != 0) {
    body(context);
    return;
  }
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const StackBounds stack = stack_bounds();
  // The lowest part may be the system's own guard.
  std::uintptr_t floor = stack.low + guard_bytes;
  if (stack.low == 0 || here <= stack.low || here > stack.high)
    floor = here > assumed_stack_bytes ? here - assumed_stack_bytes : 1;
  floor_address = floor;
  struct Done {
    ~Done() { floor_address = 0; }
  } done;
  body(context);
}

void clear_own_stack_marks() {}

void release_own_stack(std::uintptr_t) {}

std::uintptr_t own_stack_floor() { return floor_address; }

bool can_switch_stacks() { return false; }

#endif  // TARNWICK_PLATFORM_FALLBACK

}  // namespace tarnwick
