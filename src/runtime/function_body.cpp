// The functions' link to their C++ bodies (see function.h).
#include "runtime/function.h"

namespace quorvan {

PyObject* call_body(const FunctionSpec& spec, PyObject* name_table, PyObject* const* args,
                    Py_ssize_t nargs) {
  // The built-in can be reached through the code's constants and called by
  // anyone: it checks what its function's code guarantees.
  if (nargs != spec.param_count) {
    PyErr_Format(PyExc_TypeError, "body of %s() takes %d arguments (%zd given)", spec.name,
                 spec.param_count, nargs);
    return nullptr;
  }
  if (PyEval_GetGlobals() == nullptr) {
    PyErr_Format(PyExc_SystemError, "body of %s() called with no frame running", spec.name);
    return nullptr;
  }
  // No recursion check of its own: a method that calls itself through
  // self runs its function's frame at every level, and the interpreter
  // counts those.
  Call call{name_table, args};
  return spec.body(call);
}

Ref run_class_statement(PyObject* source, const char* class_name, PyObject* globals) {
  Ref filename = Ref::steal(PyUnicode_FromFormat("<%s>", class_name));
  if (!filename) return Ref();
  const char* text = PyUnicode_AsUTF8(source);
  if (text == nullptr) return Ref();
  // No flags: nothing of the importer's (its __future__ imports) applies.
  PyCompilerFlags flags = {0, PY_MINOR_VERSION};
  Ref code = Ref::steal(Py_CompileStringObject(text, filename.get(), Py_file_input, &flags, -1));
  if (!code) return Ref();
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return Ref();
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals, locals.get()));
  if (!done) return Ref();
  PyObject* cls = PyDict_GetItemString(locals.get(), class_name);
  if (cls == nullptr) {
    PyErr_Format(PyExc_SystemError, "the class statement made no %s", class_name);
    return Ref();
  }
  return Ref::steal(PyObject_GetAttrString(cls, "__dict__"));
}

bool link_body(PyObject* function, PyMethodDef* def, PyObject* name_table) {
  Ref code = Ref::steal(PyObject_GetAttrString(function, "__code__"));
  if (!code) return false;
  Ref consts = Ref::steal(PyObject_GetAttrString(code.get(), "co_consts"));
  if (!consts) return false;
  if (!PyTuple_Check(consts.get())) {
    PyErr_SetString(PyExc_SystemError, "co_consts is not a tuple");
    return false;
  }
  Ref linked = Ref::steal(PySequence_List(consts.get()));
  if (!linked) return false;
  Ref body = Ref::steal(PyCFunction_NewEx(def, name_table, nullptr));
  if (!body) return false;
  bool found = false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(linked.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(linked.get(), i);
    if (PyUnicode_Check(item) && PyUnicode_CompareWithASCIIString(item, kBodyPlaceholder) == 0) {
      if (PyList_SetItem(linked.get(), i, Ref::borrow(body.get()).release()) < 0) return false;
      found = true;
    }
  }
  if (!found) {
    PyErr_Format(PyExc_SystemError, "%s() has no body to link", def->ml_name);
    return false;
  }
  Ref tuple = Ref::steal(PyList_AsTuple(linked.get()));
  if (!tuple) return false;
  Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
  if (!replace) return false;
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "co_consts", tuple.get()));
  if (!no_args || !kwargs) return false;
  Ref new_code = Ref::steal(PyObject_Call(replace.get(), no_args.get(), kwargs.get()));
  return new_code && PyObject_SetAttrString(function, "__code__", new_code.get()) == 0;
}

}  // namespace quorvan
