// The errors the core raises. Each reaches Python as its own exception type
// (see the binding); nothing else leaves a call.
#pragma once

#include <new>
#include <stdexcept>

namespace tarnwick {

// A broken internal invariant (an id or index that does not exist). Never a
// property of the input; reaches Python as PanicException.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A text whose tree text would pass the output limit (see limits.h), found
// before any of it is written. Reaches Python as MemoryError with this
// message.
class OutputTooLarge : public std::bad_alloc {
 public:
  const char* what() const noexcept override {
    return "the syntax tree text of this input would exceed the output limit";
  }
};

// A text too long for 32-bit lines and columns. Reaches Python as ValueError.
class TextTooLarge : public std::length_error {
 public:
  TextTooLarge()
      : std::length_error("text too large: tarnwick accepts texts of at most 4294967294 bytes "
                          "of UTF-8") {}
};

// A text given to the tree reader that is not a tree text as the writer
// writes it. Reaches Python as ValueError with this message.
class TreeTextError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tarnwick
