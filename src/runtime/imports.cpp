#include "runtime/imports.h"

#include "runtime/names.h"
#include "runtime/objects.h"

namespace quorvan {

Ref import_name(PyObject* globals, PyObject* builtins, PyObject* names,
                const char* module_name, PyObject* fromlist) {
  PyObject* import_func =
      PyDict_GetItemWithError(builtins, name_at(names, RuntimeName::dunder_import));
  if (import_func == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return Ref();
  }
  Ref hold = Ref::borrow(import_func);  // the call may rebind builtins.__import__
  Ref name = Ref::steal(PyUnicode_FromString(module_name));
  if (!name) return Ref();
  Ref level = Ref::steal(PyLong_FromLong(0));
  if (!level) return Ref();
  return call(import_func, {name.get(), globals, Py_None, fromlist, level.get()});
}

namespace {

// The module's __spec__ marks it as still being imported (an import cycle).
bool is_initializing(PyObject* module, PyObject* names) {
  Ref spec;
  if (optional_attr(module, name_at(names, RuntimeName::dunder_spec), &spec) <= 0) {
    PyErr_Clear();
    return false;
  }
  Ref flag;
  if (optional_attr(spec.get(), name_at(names, RuntimeName::initializing), &flag) <= 0) {
    PyErr_Clear();
    return false;
  }
  int initializing = truth(flag.get());
  if (initializing < 0) PyErr_Clear();
  return initializing > 0;
}

void raise_cannot_import(PyObject* module, PyObject* name, PyObject* names,
                         PyObject* package_name) {
  Ref path = Ref::steal(PyModule_GetFilenameObject(module));
  Ref shown = package_name != nullptr ? Ref::borrow(package_name)
                                      : Ref::steal(PyUnicode_FromString("<unknown module name>"));
  if (!shown) return;
  Ref message;
  if (!path || !PyUnicode_Check(path.get())) {
    PyErr_Clear();
    path.reset();
    message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                              name, shown.get()));
  } else {
    const char* format = is_initializing(module, names)
                             ? "cannot import name %R from partially initialized module %R "
                               "(most likely due to a circular import) (%S)"
                             : "cannot import name %R from %R (%S)";
    message = Ref::steal(PyUnicode_FromFormat(format, name, shown.get(), path.get()));
  }
  if (!message) return;
  PyErr_SetImportError(message.get(), package_name, path.get());
#if PY_VERSION_HEX >= 0x030C0000
  // From 3.12 the interpreter records the missing name, and its traceback
  // display suggests a close one ("Did you mean ...?") from it.
  PyObject* error = PyErr_GetRaisedException();
  if (error != nullptr && PyObject_SetAttrString(error, "name_from", name) < 0) {
    Py_DECREF(error);
    return;
  }
  PyErr_SetRaisedException(error);
#endif
}

}  // namespace

Ref import_from(PyObject* module, PyObject* name, PyObject* names) {
  Ref value;
  int found = optional_attr(module, name, &value);
  if (found != 0) return value;  // the attribute, or an error other than AttributeError

  // A submodule that is still being imported is in sys.modules before it is
  // bound as an attribute of its package.
  Ref package_name;
  if (optional_attr(module, name_at(names, RuntimeName::dunder_name), &package_name) < 0 ||
      (package_name && !PyUnicode_Check(package_name.get()))) {
    PyErr_Clear();
    package_name.reset();
  }
  if (package_name) {
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name.get(), name));
    if (!full) return Ref();
    value = Ref::steal(PyImport_GetModule(full.get()));
    if (value || PyErr_Occurred()) return value;
  }
  raise_cannot_import(module, name, names, package_name.get());
  return Ref();
}

}  // namespace quorvan
