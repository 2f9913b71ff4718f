#include "workspace.h"

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "util/memory.h"

namespace tarnwick {
namespace {

template <class T>
std::size_t bytes_of(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

template <class T>
std::size_t bytes_of(const HugeVector<T>& v) {
  return store_footprint(v.capacity() * sizeof(T));
}

template <class Vector>
void free_vector(Vector& v) {
  Vector().swap(v);
}

struct ThreadWorkspace {
  Workspace workspace;
  bool lent = false;
};

ThreadWorkspace& thread_workspace() {
  thread_local ThreadWorkspace w;
  return w;
}

// Every store of the workspace: its size in bytes and how to free it.
struct Store {
  std::size_t bytes;
  std::function<void()> free;
};
constexpr std::size_t store_count = 10;

std::array<Store, store_count> stores_of(Workspace& w) {
  ParserStores& s = w.parser;
  NodeArena::Stores& a = s.arena;
  BracketIndex& b = s.brackets;
  return {{
      {bytes_of(s.tokens), [&s] { free_vector(s.tokens); }},
      {bytes_of(a.records), [&a] { free_vector(a.records); }},
      {bytes_of(a.attributes), [&a] { free_vector(a.attributes); }},
      {bytes_of(a.children), [&a] { free_vector(a.children); }},
      {bytes_of(a.position_lists), [&a] { free_vector(a.position_lists); }},
      {a.pool.capacity(), [&a] { std::string().swap(a.pool); }},
      {bytes_of(b.partner), [&b] { free_vector(b.partner); }},
      {bytes_of(b.pair_slot) + bytes_of(b.pair_effects),
       [&b] {
         free_vector(b.pair_slot);
         free_vector(b.pair_effects);
       }},
      {bytes_of(s.heading_angle_close), [&s] { free_vector(s.heading_angle_close); }},
      {store_footprint(w.out.capacity()), [&w] { w.out.free_memory(); }},  // the output buffer comes last
  }};
}

}  // namespace

std::size_t Workspace::bytes() {
  std::size_t total = 0;
  for (const Store& st : stores_of(*this)) total += st.bytes;
  return total;
}

void Workspace::trim(bool output_in_use) {
  std::array<Store, store_count> stores = stores_of(*this);
  const Store* output = &stores.back();
  std::size_t total = 0;
  for (const Store& st : stores) total += st.bytes;
  if (total <= retained_bytes) return;
  // Largest first: one large call leaves a few large stores, and freeing
  // them keeps the many small ones that typical calls reuse.
  std::array<Store*, store_count> order;
  for (std::size_t i = 0; i < store_count; ++i) order[i] = &stores[i];
  std::sort(order.begin(), order.end(),
            [](const Store* x, const Store* y) { return x->bytes > y->bytes; });
  for (Store* st : order) {
    if (total <= retained_bytes) break;
    if (output_in_use && st == output) continue;
    st->free();
    total -= st->bytes;
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
