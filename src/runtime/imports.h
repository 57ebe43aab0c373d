// The import statements of a module body.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace quorvan {

// `import name` / the first half of `from name import ...`: calls the
// builtins' __import__(name, globals, None, fromlist, 0).  `fromlist` may be
// None.
Ref import_name(PyObject* globals, PyObject* builtins, PyObject* names,
                const char* module_name, PyObject* fromlist);

// One name of `from module import name`: the attribute, else the submodule
// module.name from sys.modules, else the interpreter's ImportError.
Ref import_from(PyObject* module, PyObject* name, PyObject* names);

}  // namespace quorvan
