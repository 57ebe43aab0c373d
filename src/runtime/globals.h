// Global names as the interpreter resolves them in a function body.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace quorvan {

// The module's globals first, then the builtins; an unbound name raises the
// interpreter's NameError ("name 'x' is not defined", with .name set).
Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name);

// The builtins code running in `globals` sees, resolved as the interpreter
// resolves them for a new function or a module body: globals["__builtins__"]
// (a module stands for its dict), else the builtins of the running code.
// `names` is the module's name table.
Ref builtins_of(PyObject* globals, PyObject* names);

// Raises that NameError.
void raise_name_error(PyObject* name);

}  // namespace quorvan
