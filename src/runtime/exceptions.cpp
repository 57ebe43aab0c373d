#include "runtime/exceptions.h"

namespace quorvan {

#if PY_VERSION_HEX >= 0x030C0000

Caught take_exception() {
  Caught c;
  c.value = Ref::steal(PyErr_GetRaisedException());
  if (c.value) {
    c.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(c.value.get())));
    c.traceback = Ref::steal(PyException_GetTraceback(c.value.get()));
  }
  return c;
}

void restore_exception(Caught&& caught) {
  PyErr_SetRaisedException(caught.value.release());
  caught.type.reset();
  caught.traceback.reset();
}

#else

Caught take_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Caught c;
  c.type = Ref::steal(type);
  c.value = Ref::steal(value);
  c.traceback = Ref::steal(traceback);
  return c;
}

void restore_exception(Caught&& caught) {
  PyErr_Restore(caught.type.release(), caught.value.release(), caught.traceback.release());
}

#endif

Handling::Handling(const Caught& caught) {
  PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
  PyErr_SetExcInfo(Py_XNewRef(caught.type.get()), Py_XNewRef(caught.value.get()),
                   Py_XNewRef(caught.traceback.get()));
}

Handling::~Handling() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_); }

int except_clause_matches(const Caught& caught, PyObject* cls) {
  static const char kCannotCatch[] =
      "catching classes that do not inherit from BaseException is not allowed";
  if (PyTuple_Check(cls)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) {
      if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i))) {
        PyErr_SetString(PyExc_TypeError, kCannotCatch);
        return -1;
      }
    }
  } else if (!PyExceptionClass_Check(cls)) {
    PyErr_SetString(PyExc_TypeError, kCannotCatch);
    return -1;
  }
  return PyErr_GivenExceptionMatches(caught.value.get(), cls) ? 1 : 0;
}

}  // namespace quorvan
