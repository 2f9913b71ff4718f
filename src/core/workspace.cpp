#include "workspace.h"

#include <algorithm>
#include <array>

#include "errors.h"
#include "util/memory.h"

namespace tarnwick {
namespace {

struct ThreadWorkspace {
  Workspace workspace;
  bool lent = false;
};

ThreadWorkspace& thread_workspace() {
  thread_local ThreadWorkspace w;
  return w;
}

// More than any workspace has: its stores are counted in an array.
constexpr std::size_t max_stores = 16;

}  // namespace

std::size_t Workspace::bytes() {
  std::size_t total = 0;
  for_each_store([&total](std::size_t bytes, auto&&) { total += bytes; });
  return total;
}

void Workspace::trim(bool output_in_use) {
  std::array<std::size_t, max_stores> sizes{};
  std::size_t count = 0, total = 0;
  for_each_store([&](std::size_t bytes, auto&&) {
    if (count == max_stores) throw InternalError("the workspace has more stores than it counts");
    sizes[count++] = bytes;
    total += bytes;
  });
  if (total <= retained_bytes) return;
  const std::size_t output = count - 1;  // the output buffer comes last
  // Largest first: one large call leaves a few large stores, and freeing
  // them keeps the many small ones that typical calls reuse.
  std::array<std::size_t, max_stores> order{};
  for (std::size_t i = 0; i < count; ++i) order[i] = i;
  std::sort(order.begin(), order.begin() + count,
            [&sizes](std::size_t x, std::size_t y) { return sizes[x] > sizes[y]; });
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = order[k];
    if (total <= retained_bytes) break;
    if (output_in_use && i == output) continue;
    std::size_t at = 0;
    for_each_store([&](std::size_t, auto&& release) {
      if (at++ == i) release();
    });
    total -= sizes[i];
  }
}

WorkspaceLease::WorkspaceLease() {
  ThreadWorkspace& t = thread_workspace();
  if (t.lent) {
    own_ = std::make_unique<Workspace>();
    workspace_ = own_.get();
  } else {
    t.lent = true;
    workspace_ = &t.workspace;
  }
}

WorkspaceLease::~WorkspaceLease() {
  if (own_) return;
  workspace_->out.clear();
  workspace_->trim(false);
  thread_workspace().lent = false;
}

}  // namespace tarnwick
