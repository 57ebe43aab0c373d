// The state a module built on the runtime keeps in its module object
// (m_size), as an isolated extension module does: nothing of a module
// instance lives in a static, so each (sub-)interpreter, with its own GIL
// or not, has its own.
//
// A module's state starts with it: the first member of a standard-layout
// struct whose size is the module's m_size, which the interpreter allocates
// zero-filled.  The bodies reach the state through the module's name table,
// which their built-ins hold; the table holds no reference to the module (a
// code object's constants are invisible to the collector, so a reference
// back would make a cycle it can never free), only a link that the module
// clears when it goes.
#pragma once

#include <Python.h>

namespace quorvan {

struct ModuleState {
  PyObject* names;  // owned: the name table (runtime/names.h)
};

// Fills the runtime's part of `module`'s state, taking `names`, a table
// make_name_table made: 0, or -1 with an exception.
int module_state_init(PyObject* module, PyObject* names);

// The state a name table links to, or null once its module is gone.
ModuleState* module_state_of(PyObject* names);

// The module's m_traverse and m_clear for the runtime's part.
int module_state_traverse(PyObject* module, visitproc visit, void* arg);
int module_state_clear(PyObject* module);

}  // namespace quorvan
