// A driver of the core for profiling: reads the files named one per line on
// standard input and writes the token list or the tree text of each, over
// and over, timing the passes.
//
//   profile_driver tree|tokens|objects|complete|both ROUNDS < list
//
// `objects` builds the finished trees that Python's tree objects read, `complete`
// the same with the complete grammar. Prints
// the source megabytes per second of the best pass and the outputs' total
// length (for `objects`, the node count), so that a profile of one build can
// be compared with another's on the same inputs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "api.h"
#include "parser/parser.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

template <class Pass>
void time_passes(const char* name, const std::vector<std::string>& texts, int rounds,
                 Pass&& pass) {
  std::size_t bytes = 0;
  for (const auto& t : texts) bytes += t.size();
  double best = 1e30;
  std::size_t out_total = 0;
  for (int r = 0; r < rounds; ++r) {
    out_total = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto& t : texts) out_total += pass(t);
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count());
  }
  std::printf("%-7s %8.1f MB/s of source  %6.2f GB/s of output  %zu bytes out\n", name,
              bytes / best / 1e6, out_total / best / 1e9, out_total);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s tree|tokens|objects|complete|both ROUNDS < list\n", argv[0]);
    return 2;
  }
  const std::string what = argv[1];
  const int rounds = std::atoi(argv[2]);
  std::vector<std::string> texts;
  for (std::string path; std::getline(std::cin, path);)
    if (!path.empty()) texts.push_back(read_file(path));
  // Each call leases the thread's workspace itself, as the module's calls do.
  if (what == "tree" || what == "both")
    time_passes("tree", texts, rounds, [&](const std::string& t) {
      try {
        return tarnwick::with_tree_text(t, "", [](std::string_view s) { return s.size(); });
      } catch (const std::exception&) {
        return std::size_t{0};
      }
    });
  if (what == "objects" || what == "complete") {
    const tarnwick::Grammar grammar =
        what == "complete" ? tarnwick::Grammar::Complete : tarnwick::Grammar::Specified;
    time_passes(what.c_str(), texts, rounds, [&](const std::string& t) {
      return tarnwick::parse_to_tree(t, "", grammar)->node_count();
    });
    // The share of packing the arena into the finished tree.
    double parse_s = 0, pack_s = 0;
    for (const auto& t : texts) {
      tarnwick::WorkspaceLease lease;
      const auto t0 = std::chrono::steady_clock::now();
      tarnwick::Parser p(t, &lease.get().parser);
      const tarnwick::NodeId root = tarnwick::parse_tree(p, grammar);
      const auto t1 = std::chrono::steady_clock::now();
      auto tree = tarnwick::SyntaxTree::from_arena(p.arena, root, "");
      const auto t2 = std::chrono::steady_clock::now();
      parse_s += std::chrono::duration<double>(t1 - t0).count();
      pack_s += std::chrono::duration<double>(t2 - t1).count();
    }
    std::printf("packing %.1f%% of one pass (%.1f ms of %.1f ms)\n", 100 * pack_s / (parse_s + pack_s),
                1000 * pack_s, 1000 * (parse_s + pack_s));
  }
  if (what == "tokens" || what == "both")
    time_passes("tokens", texts, rounds, [&](const std::string& t) {
      return tarnwick::with_token_list(t, [](std::string_view s) { return s.size(); });
    });
  return 0;
}
