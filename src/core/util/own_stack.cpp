#include "util/own_stack.h"

#include <exception>
#include <new>
#include <type_traits>

#include "errors.h"
#include "util/sanitizers.h"

#if defined(__unix__) || defined(__APPLE__)
#define TARNWICK_OWN_STACK 1
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

#if defined(TARNWICK_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

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

#if defined(TARNWICK_OWN_STACK)
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
  void* caller_sp = nullptr;  // first: tarnwick_stack_start reads it at this offset
  void (*body)(void*) = nullptr;
  void* context = nullptr;
  std::exception_ptr error;
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
  try {
    s->body(s->context);
  } catch (...) {
    s->error = std::current_exception();
  }
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

void run_on_own_stack(std::size_t bytes, void (*body)(void*), void* context) {
  if (region.in_use) {
    // A call from code that already runs on the own stack stays on it.
    body(context);
    return;
  }
  region.reserve(bytes);
  Switch s;
  s.body = body;
  s.context = context;
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
  if (s.error) {
    clear_own_stack_marks();
    std::rethrow_exception(s.error);
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

#else

void run_on_own_stack(std::size_t, void (*body)(void*), void* context) { body(context); }

void clear_own_stack_marks() {}

void release_own_stack(std::uintptr_t) {}

std::uintptr_t own_stack_floor() { return 0; }

bool can_switch_stacks() { return false; }

#endif

}  // namespace tarnwick
