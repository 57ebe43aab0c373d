#include "runtime/globals.h"

namespace quorvan {

void raise_name_error(PyObject* name) {
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("name '%.200s' is not defined", text));
  if (!message) return;
  Ref error = Ref::steal(PyObject_CallOneArg(PyExc_NameError, message.get()));
  if (!error) return;
  // The interpreter records the name for its "Did you mean" suggestions.
  if (PyObject_SetAttrString(error.get(), "name", name) < 0) PyErr_Clear();
  PyErr_SetObject(PyExc_NameError, error.get());
}

Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value != nullptr) return Ref::borrow(value);
  if (PyErr_Occurred()) return Ref();
  value = PyDict_GetItemWithError(builtins, name);
  if (value != nullptr) return Ref::borrow(value);
  if (!PyErr_Occurred()) raise_name_error(name);
  return Ref();
}

}  // namespace quorvan
