// Planted entry points, for checking the checks of the fuzz targets. Linked
// into the fuzz_*_planted programs in place of the core's own api.cpp: their
// output is taken from TARNWICK_FAKE_OUTPUT, and "THROW" (or no value) throws
// as an internal fault would.
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "api.h"

namespace tarnwick {
namespace {

std::string planted_output() {
  const char* out = std::getenv("TARNWICK_FAKE_OUTPUT");
  if (out == nullptr || std::string_view(out) == "THROW") throw std::logic_error("planted fault");
  return out;
}

}  // namespace

std::string lex_to_serialized(std::string_view) { return planted_output(); }

std::string parse_to_serialized(std::string_view, std::string_view) { return planted_output(); }

}  // namespace tarnwick
