// The state a module built on the runtime keeps in its module object
// (m_size), as an isolated extension module does: nothing of a module
// instance lives in a static, so each (sub-)interpreter, with its own GIL
// or not, has its own.
//
// A module's state starts with it: the first member of a standard-layout
// struct whose size is the module's m_size, which the interpreter allocates
// zero-filled.  Every function reaches the state through its type
// (Call::module_state), which holds the module.
#pragma once

#include <Python.h>

namespace quorvan {

struct ModuleState {
  PyTypeObject* function_type;  // owned; made for this module
};

// Fills the runtime's part of `module`'s state: 0, or -1 with an exception.
int module_state_init(PyObject* module);

// The module's m_traverse and m_clear for the runtime's part.
int module_state_traverse(PyObject* module, visitproc visit, void* arg);
int module_state_clear(PyObject* module);

}  // namespace quorvan
