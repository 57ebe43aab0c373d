// Thin owned-reference wrappers over the object protocol, so session code
// reads as the Python it stands for.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/ref.h"

namespace quorvan {

// obj.name.  `name` is a str, as every name of the module's table is: then
// the type's slot is all PyObject_GetAttr would call, after checking that.
inline Ref get_attr(PyObject* obj, PyObject* name) {
  getattrofunc get = Py_TYPE(obj)->tp_getattro;
  return Ref::steal(get != nullptr ? get(obj, name) : PyObject_GetAttr(obj, name));
}

// obj.name = value; false with an exception set on failure.  `name` must be
// an interned str, as every name of the module's table is: then the type's
// slot is all PyObject_SetAttr would call, after checking and interning the
// name once more.
inline bool set_attr(PyObject* obj, PyObject* name, PyObject* value) {
  setattrofunc set = Py_TYPE(obj)->tp_setattro;
  return (set != nullptr ? set(obj, name, value) : PyObject_SetAttr(obj, name, value)) == 0;
}

// getattr(obj, name, <absent>): 1 found, 0 absent (AttributeError), -1 error.
inline int optional_attr(PyObject* obj, PyObject* name, Ref* out) {
  *out = get_attr(obj, name);
  if (*out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// An empty argument list: `{}` where a call's arguments stand.
struct NoArgs {};

// The most arguments one call passes.  Each call's stack is sized by its
// argument count, known when it is compiled, so none can overflow; the bound
// keeps those stacks small.
constexpr std::size_t kMaxCallArgs = 8;

// obj.name(args...) as the interpreter's method-call opcodes make it: no
// bound method is built when the attribute is a plain method of the type.
// The last PyTuple_GET_SIZE(kwnames) arguments are passed by keyword.
template <std::size_t N>
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* const (&args)[N],
                       PyObject* kwnames = nullptr) {
  static_assert(N <= kMaxCallArgs, "more arguments than kMaxCallArgs");
  PyObject* stack[N + 1];
  stack[0] = obj;
  for (std::size_t i = 0; i < N; ++i) stack[i + 1] = args[i];
  size_t positional = N + 1 - (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  return Ref::steal(PyObject_VectorcallMethod(
      name, stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline Ref call_method(PyObject* obj, PyObject* name, NoArgs = {}) {
  PyObject* stack[1] = {obj};
  return Ref::steal(
      PyObject_VectorcallMethod(name, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(args...)
template <std::size_t N>
inline Ref call(PyObject* callable, PyObject* const (&args)[N], PyObject* kwnames = nullptr) {
  static_assert(N <= kMaxCallArgs, "more arguments than kMaxCallArgs");
  PyObject* stack[N + 1];  // stack[0] is the spare slot PY_VECTORCALL_ARGUMENTS_OFFSET offers
  for (std::size_t i = 0; i < N; ++i) stack[i + 1] = args[i];
  size_t positional = N - (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                        positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline Ref call(PyObject* callable, NoArgs = {}) {
  return Ref::steal(PyObject_Vectorcall(callable, nullptr, 0, nullptr));
}

// Truth test: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj) { return PyObject_IsTrue(obj); }

}  // namespace quorvan
