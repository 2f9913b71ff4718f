// Memory a thread keeps from one call to the next.
//
// A call needs a token list, the stores of the node arena, the bracket index
// and an output buffer: several times the size of its text in all. Taken
// fresh for every call, that memory is mapped and cleared by the kernel each
// time, which costs about a third of a parse of a typical file. Instead each
// thread keeps its stores between calls, emptied, up to `retained_bytes` in
// all; stores that a large text made larger are freed as soon as the call no
// longer needs them (their mappings are kept lazily below, see
// `allocate_store`, where the system can take them back).
#pragma once

#include <cstddef>
#include <memory>

#include "call_limits.h"
#include "parser/parser.h"
#include "util/memory.h"
#include "util/output.h"

namespace tarnwick {

struct Workspace {
  ParserStores parser;
  OutputBuffer out;

  // Frees the largest stores until those kept fit in `retained_bytes`. With
  // `output_in_use`, the output buffer still holds the call's text: it is
  // counted but not freed.
  void trim(bool output_in_use);
  // The memory its stores hold, in bytes.
  std::size_t bytes();

  // Calls `f(bytes, release)` for every store, where `release()` frees it;
  // the output buffer comes last.
  template <class F>
  void for_each_store(F&& f) {
    parser.for_each_store(f);
    f(store_footprint(out.capacity()), [this] { out.free_memory(); });
  }
};

// The calling thread's workspace for the duration of one call. A call made
// while the thread's workspace is already lent out (a call from inside
// another) gets a workspace of its own. Trims the workspace when it ends,
// also when the call fails.
class WorkspaceLease {
 public:
  WorkspaceLease();
  ~WorkspaceLease();
  WorkspaceLease(const WorkspaceLease&) = delete;
  WorkspaceLease& operator=(const WorkspaceLease&) = delete;

  Workspace& get() { return *workspace_; }

 private:
  std::unique_ptr<Workspace> own_;
  Workspace* workspace_;
};

}  // namespace tarnwick
