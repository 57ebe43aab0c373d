// The with statement, for any context manager.
//
// __enter__ and __exit__ are looked up on the type, as the interpreter looks
// up special methods; __exit__ gets (None, None, None) on a normal exit and
// the exception's type, value and traceback when one leaves the block, with
// that exception being handled meanwhile (so an exception from __exit__
// chains to it); a true result swallows the exception.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace quorvan {

// The cache of __enter__ / __exit__ lookups that every with statement of a
// module instance shares: an object for the module's name table.
Ref make_special_cache();

enum class WithResult {
  Raised,     // an exception is pending
  Completed,  // the statements finished and __exit__ returned
  Swallowed,  // the statements raised and __exit__ swallowed it: go on after the block
};

class WithBlock {
 public:
  // Looks __enter__ and __exit__ up and calls __enter__; false with an
  // exception set when that fails (then there is nothing to exit).
  bool enter(PyObject* manager, PyObject* names, Ref* entered = nullptr);
  // __exit__(None, None, None); false with an exception set if it raised.
  bool exit_normally();
  // For the pending exception; true if __exit__ swallowed it, false with
  // the same exception, or the one __exit__ raised, pending.
  bool exit_with_exception();

 private:
  Ref manager_;
  Ref exit_;
  bool exit_unbound_ = false;  // exit_ wants manager_ as its first argument
};

// `with manager: statements()`, where statements returns false with an
// exception set on failure.
template <class Statements>
WithResult with_block(PyObject* manager, PyObject* names, Statements&& statements) {
  WithBlock block;
  if (!block.enter(manager, names)) return WithResult::Raised;
  if (statements()) return block.exit_normally() ? WithResult::Completed : WithResult::Raised;
  return block.exit_with_exception() ? WithResult::Swallowed : WithResult::Raised;
}

// `with manager as entered: statements(entered)`
template <class Statements>
WithResult with_block_as(PyObject* manager, PyObject* names, Statements&& statements) {
  WithBlock block;
  Ref entered;
  if (!block.enter(manager, names, &entered)) return WithResult::Raised;
  if (statements(entered.get())) {
    return block.exit_normally() ? WithResult::Completed : WithResult::Raised;
  }
  return block.exit_with_exception() ? WithResult::Swallowed : WithResult::Raised;
}

}  // namespace quorvan
