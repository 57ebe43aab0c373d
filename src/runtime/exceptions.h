// Exceptions as the interpreter's try/except and with statements see them.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace quorvan {

// An exception taken out of the error indicator, normalised, with its
// traceback attached to the value.
struct Caught {
  Ref type;
  Ref value;
  Ref traceback;  // may be empty
};

// Takes the pending exception (one must be set).
Caught take_exception();

// Puts the exception back as the pending one, traceback included.
void restore_exception(Caught&& caught);

// While alive, `caught` is the exception being handled: sys.exc_info()
// reports it, and an exception raised meanwhile gets it as __context__, as
// inside an except clause.  The previous state comes back at the end.
class Handling {
 public:
  explicit Handling(const Caught& caught);
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* saved_type_ = nullptr;
  PyObject* saved_value_ = nullptr;
  PyObject* saved_traceback_ = nullptr;
};

// `except cls:` for the caught exception: 1 if it matches, 0 if not, -1 with
// the interpreter's TypeError when `cls` is not an exception class (or a
// tuple of them).  Call it inside a Handling scope, so that TypeError chains.
int except_clause_matches(const Caught& caught, PyObject* cls);

// `except Exception:`.  KeyboardInterrupt, SystemExit and the other
// exceptions that do not derive from Exception never match.
inline bool is_exception(const Caught& caught) {
  return PyErr_GivenExceptionMatches(caught.value.get(), PyExc_Exception) != 0;
}

}  // namespace quorvan
