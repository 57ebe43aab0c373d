// Global names as the interpreter resolves them in a function body.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace quorvan {

// The module's globals first, then the builtins; an unbound name raises the
// interpreter's NameError ("name 'x' is not defined", with .name set).
Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name);

// Raises that NameError.
void raise_name_error(PyObject* name);

}  // namespace quorvan
