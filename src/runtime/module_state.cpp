#include "runtime/module_state.h"

#include "runtime/names.h"

namespace quorvan {

namespace {

ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The link in a name table: the capsule's pointer, which the table owns.
ModuleState** link_of(PyObject* names) {
  return static_cast<ModuleState**>(
      PyCapsule_GetPointer(name_at(names, RuntimeName::module_link), nullptr));
}

}  // namespace

int module_state_init(PyObject* module, PyObject* names) {
  ModuleState* state = state_of(module);
  if (state == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module has no state");
    return -1;
  }
  ModuleState** link = link_of(names);
  if (link == nullptr) return -1;
  *link = state;
  Py_XSETREF(state->names, Py_NewRef(names));
  return 0;
}

ModuleState* module_state_of(PyObject* names) {
  ModuleState** link = link_of(names);
  return link != nullptr ? *link : nullptr;
}

// The state may not be there yet: the collector can visit a module before
// its body has run.
int module_state_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  if (state != nullptr) Py_VISIT(state->names);
  return 0;
}

int module_state_clear(PyObject* module) {
  ModuleState* state = state_of(module);
  if (state == nullptr || state->names == nullptr) return 0;
  ModuleState** link = link_of(state->names);
  if (link != nullptr && *link == state) *link = nullptr;
  Py_CLEAR(state->names);
  return 0;
}

}  // namespace quorvan
