// What the core asks of the operating system, and which variant of it a build
// uses.
//
// The core needs two things from the system: memory for the large stores of a
// call (util/memory.h) and a stack of its own for the grammar
// (util/own_stack.h). Both are implemented in util/platform.cpp alone, in one
// of three variants:
//
//   posix     Linux and other Unix systems. A store of a huge page or more
//             is a mapping of whole huge pages (Linux); the own stack is a
//             mapping with an inaccessible guard at its low end, entered
//             through a switch of its own on x86-64 ELF and through
//             ucontext elsewhere.
//   windows   Stores come from operator new; the own stack is a fiber whose
//             stack is reserved large and committed as it is touched.
//   fallback  Any other system, or any system when the build defines
//             TARNWICK_PORTABLE_FALLBACK (the CMake option of that name).
//             Stores come from operator new and there is no stack switch:
//             the grammar runs on the caller's stack. `own_stack_floor()`
//             then answers the calling thread's own stack bottom (as the
//             system reports it), so the depth guard still ends a nest too
//             deep for that stack with an InternalError instead of an
//             overflow; how deep a parse may go then depends on the
//             caller's stack.
#pragma once

#include <cstddef>

namespace tarnwick {

enum class PlatformVariant { Posix, Windows, Fallback };

// The variant this build of the core uses.
PlatformVariant platform_variant();

// Where the fallback cannot learn the bounds of the calling thread's stack,
// it takes the stack to hold this much below the point where the grammar is
// entered.
inline constexpr std::size_t assumed_stack_bytes = std::size_t{1} << 20;

}  // namespace tarnwick
