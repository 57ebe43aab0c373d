// "Did you mean ...?" for a misspelt name, by the interpreter's own rule:
// an edit distance over the UTF-8 bytes in which a case flip costs half a
// move, accepting at most a third of the characters involved changed and
// preferring the first of equally close candidates.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace quorvan {

// The candidate from `candidates` (a tuple of str) closest to `name`, or an
// empty Ref when none is close enough.  Never leaves an exception set: a
// name the interpreter could not compare gets no suggestion there either.
Ref closest_name(PyObject* candidates, PyObject* name);

}  // namespace quorvan
