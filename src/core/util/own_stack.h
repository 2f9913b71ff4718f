// A stack of the calling thread's own, for code that recurses as deep as its
// input nests.
//
// The grammar rules call one another as the source nests, and real code nests
// a few hundred levels deep at times (long "else if" chains, include files of
// routine headings that each read the next as a nested routine). The caller's
// thread may have a small stack (512 KiB threads are common), and how deep a
// parse may go must not depend on it. So the grammar runs on a region of its
// own, one per thread, reserved once without committing memory and touched
// only as deep as a call goes; it grows when a larger call needs more. The
// system-specific parts are in util/platform.cpp (see util/platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tarnwick {

// Runs `body(context)` on the calling thread's own stack, which is made to
// hold at least `bytes` bytes first. An exception thrown by `body` is caught
// on that stack and thrown again on the caller's, after the switch back.
// Where the build cannot switch stacks (the fallback variant of
// util/platform.h), `body` runs on the caller's stack.
void run_on_own_stack(std::size_t bytes, void (*body)(void*), void* context);

template <class Body>
void run_on_own_stack(std::size_t bytes, Body&& body) {
  run_on_own_stack(
      bytes, [](void* context) { (*static_cast<std::remove_reference_t<Body>*>(context))(); },
      const_cast<void*>(static_cast<const void*>(&body)));
}

// The lowest address that code run by `run_on_own_stack` may use: the own
// stack's bottom above its guard, or in the fallback variant the bottom of
// the calling thread's stack. 0 outside such a call.
std::uintptr_t own_stack_floor();

// Gives back the memory of the calling thread's own stack that a call
// touched below the part kept resident; `lowest` is the lowest address the
// call reached.
void release_own_stack(std::uintptr_t lowest);

// Under AddressSanitizer, marks the whole own stack addressable again. Code
// that throws from deep on the own stack calls it first: the sanitizer
// clears the marks of frames that an exception unwinds only for stacks of
// up to 64 MiB, and marks left behind would be reported as overflows later.
// Nothing happens in other builds.
void clear_own_stack_marks();

// True when this build can run code on a stack of its own.
bool can_switch_stacks();

}  // namespace tarnwick
