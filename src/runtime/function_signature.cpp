// __signature__, built from the live __defaults__ and __annotations__ the way
// inspect builds one for a Python function, so inspect.signature, help() and
// anything that reads them report what a call would actually do.
#include "runtime/function.h"

namespace quorvan {

namespace {

Ref attr(PyObject* obj, const char* name) {
  return Ref::steal(PyObject_GetAttrString(obj, name));
}

// Python slice arithmetic for positional[:count] with a count that may be
// negative, as inspect computes "parameters without a default".
Py_ssize_t slice_end(Py_ssize_t count, Py_ssize_t length) {
  if (count < 0) count += length;
  if (count < 0) return 0;
  return count > length ? length : count;
}

Ref make_parameter(PyObject* parameter_cls, PyObject* name, PyObject* kind,
                   PyObject* default_value, PyObject* annotation) {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return Ref();
  if (PyDict_SetItemString(kwargs.get(), "default", default_value) < 0 ||
      PyDict_SetItemString(kwargs.get(), "annotation", annotation) < 0) {
    return Ref();
  }
  Ref args = Ref::steal(PyTuple_Pack(2, name, kind));
  if (!args) return Ref();
  return Ref::steal(PyObject_Call(parameter_cls, args.get(), kwargs.get()));
}

// Borrowed annotation for `key`, or `empty`; NULL with an error set.
PyObject* annotation_for(PyObject* annotations, PyObject* key, PyObject* empty) {
  if (annotations == nullptr) return empty;
  PyObject* value = PyDict_GetItemWithError(annotations, key);
  if (value == nullptr) return PyErr_Occurred() ? nullptr : empty;
  return value;
}

}  // namespace

PyObject* function_signature(FunctionObject* f) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter_cls = attr(inspect.get(), "Parameter");
  if (!parameter_cls) return nullptr;
  Ref signature_cls = attr(inspect.get(), "Signature");
  if (!signature_cls) return nullptr;
  Ref kind = attr(parameter_cls.get(), "POSITIONAL_OR_KEYWORD");
  if (!kind) return nullptr;
  Ref empty = attr(parameter_cls.get(), "empty");
  if (!empty) return nullptr;

  // Hold both for the whole build: reading annotations can run Python code.
  Ref annotations = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(f),
                                                      "__annotations__"));
  if (!annotations) return nullptr;
  Ref defaults = Ref::borrow(f->defaults);
  const Py_ssize_t count = PyTuple_GET_SIZE(f->params);
  const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  const Py_ssize_t first_default = slice_end(count - defcount, count);

  Ref parameters = Ref::steal(PyList_New(0));
  if (!parameters) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyTuple_GET_ITEM(f->params, i);
    PyObject* default_value =
        i < first_default ? empty.get() : PyTuple_GET_ITEM(defaults.get(), i - first_default);
    PyObject* annotation = annotation_for(annotations.get(), name, empty.get());
    if (annotation == nullptr) return nullptr;
    Ref p = make_parameter(parameter_cls.get(), name, kind.get(), default_value, annotation);
    if (!p || PyList_Append(parameters.get(), p.get()) < 0) return nullptr;
  }

  Ref return_key = Ref::steal(PyUnicode_InternFromString("return"));
  if (!return_key) return nullptr;
  PyObject* return_annotation = annotation_for(annotations.get(), return_key.get(), empty.get());
  if (return_annotation == nullptr) return nullptr;
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "return_annotation", return_annotation) < 0) {
    return nullptr;
  }
  // Like inspect for a real function: the parameters come from a well-formed
  // function, so they are not validated again.
  if (PyDict_SetItemString(kwargs.get(), "__validate_parameters__", Py_False) < 0) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(1, parameters.get()));
  if (!args) return nullptr;
  return PyObject_Call(signature_cls.get(), args.get(), kwargs.get());
}

}  // namespace quorvan
