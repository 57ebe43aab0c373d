#include "runtime/module_state.h"

#include "runtime/function.h"

namespace quorvan {

namespace {

ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace

int module_state_init(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module has no state");
    return -1;
  }
  Ref type = new_function_type(module);
  if (!type) return -1;
  Py_XSETREF(state->function_type, reinterpret_cast<PyTypeObject*>(type.release()));
  return 0;
}

// The state may not be there yet: the collector can visit a module before
// its body has run.
int module_state_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (state != nullptr) Py_VISIT(state->function_type);
  return 0;
}

int module_state_clear(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state != nullptr) Py_CLEAR(state->function_type);
  return 0;
}

}  // namespace quorvan
