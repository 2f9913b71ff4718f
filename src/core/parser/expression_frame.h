// One entry of the expression parser's stack of open bracket lists.
#pragma once

#include <cstdint>

namespace tarnwick {

// A bracket list whose groups are being parsed: the arguments of a call, the
// indexes of an index or the elements of a set, with where the expression
// that holds it goes on once the list is done. The expression parser keeps
// one such frame per bracket level it is inside of, on a stack that lives as
// long as the `Parser`, so that nesting of any depth costs no C++ recursion.
// A set, and the outermost list of a nest (whose caller goes on by itself),
// leave `operand`, `expression` and `run_end` unused. Node ids and token
// indices both fit 32 bits (the arena links children by 32-bit ids, the
// bracket index refuses longer token lists).
struct ExpressionFrame {
  enum class List : std::uint8_t { Arguments, Indexes, Set };
  std::uint32_t list;         // the Arguments, Expressions or Set node
  std::uint32_t operand;      // the Call or Indexed node that holds the list
  std::uint32_t expression;   // the Expression that takes that operand
  std::uint32_t run_end;      // the end of that expression's run
  std::uint32_t close;        // the list's closing bracket: the end of its last group
  std::uint32_t group_begin;  // the group being parsed, [group_begin, group_end)
  std::uint32_t group_end;
  List kind;
};

}  // namespace tarnwick
