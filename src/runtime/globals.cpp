#include "runtime/globals.h"

#include "runtime/names.h"

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

Ref builtins_of(PyObject* globals, PyObject* names) {
  PyObject* b = PyDict_GetItemWithError(globals, name_at(names, RuntimeName::dunder_builtins));
  if (b == nullptr && PyErr_Occurred()) return Ref();
  if (b != nullptr && PyModule_Check(b)) b = PyModule_GetDict(b);
  if (b == nullptr || !PyDict_Check(b)) b = PyEval_GetBuiltins();
  if (b == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no builtins available");
    return Ref();
  }
  return Ref::borrow(b);
}

}  // namespace quorvan
