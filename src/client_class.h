// The class statement that creates CLASS_FTPClient.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace quorvan {

// Runs the class statement in the module namespace `globals` and returns the
// class; the caller binds it.  `names` is the module's name table,
// whose bodies' built-ins hold it.
Ref create_client_class(PyObject* globals, PyObject* builtins, PyObject* names);

}  // namespace quorvan
