// Calling a function: binding arguments to parameters the way the
// interpreter binds them for a Python function whose parameters are all
// positional-or-keyword, with the same TypeError texts, raised before the
// body runs.
#include "runtime/function.h"
#include "runtime/suggestions.h"

namespace quorvan {

namespace {

PyObject* qualname_of(FunctionObject* f) {
  return f->qualname != nullptr ? f->qualname : Py_None;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" of the parameters not bound.
Ref format_missing_names(FunctionObject* f, PyObject* const* bound, Py_ssize_t end) {
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return Ref();
  for (Py_ssize_t i = 0; i < end; ++i) {
    if (bound[i] != nullptr) continue;
    Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->params, i)));
    if (!r || PyList_Append(names.get(), r.get()) < 0) return Ref();
  }
  Py_ssize_t len = PyList_GET_SIZE(names.get());
  if (len == 1) return Ref::borrow(PyList_GET_ITEM(names.get(), 0));
  if (len == 2) {
    return Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                           PyList_GET_ITEM(names.get(), 1)));
  }
  Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U",
                                             PyList_GET_ITEM(names.get(), len - 2),
                                             PyList_GET_ITEM(names.get(), len - 1)));
  if (!tail || PyList_SetSlice(names.get(), len - 2, len, nullptr) < 0) return Ref();
  Ref comma = Ref::steal(PyUnicode_FromString(", "));
  if (!comma) return Ref();
  Ref head = Ref::steal(PyUnicode_Join(comma.get(), names.get()));
  if (!head) return Ref();
  return Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
}

void raise_missing(FunctionObject* f, PyObject* const* bound, Py_ssize_t end,
                   Py_ssize_t missing) {
  Ref text = format_missing_names(f, bound, end);
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
               qualname_of(f), missing, missing == 1 ? "" : "s", text.get());
}

void raise_too_many_positional(FunctionObject* f, Py_ssize_t given, Py_ssize_t defcount) {
  Py_ssize_t argcount = f->spec->param_count;
  Ref sig;
  bool plural;
  if (defcount != 0) {
    plural = true;
    sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
  } else {
    plural = argcount != 1;
    sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
  }
  if (!sig) return;
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
               qualname_of(f), sig.get(), plural ? "s" : "", given,
               given == 1 ? "was" : "were");
}

void raise_unexpected_keyword(FunctionObject* f, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
  // From 3.13 the interpreter names the closest parameter, if one is close.
  Ref suggestion = closest_name(f->params, keyword);
  if (suggestion) {
    PyErr_Format(PyExc_TypeError,
                 "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 qualname_of(f), keyword, suggestion.get());
    return;
  }
#endif
  PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
               qualname_of(f), keyword);
}

// Index of the parameter a keyword names, -1 if none, -2 on error.  Names are
// interned, so identity almost always decides; equality is the fallback.
Py_ssize_t find_parameter(FunctionObject* f, PyObject* keyword) {
  Py_ssize_t n = PyTuple_GET_SIZE(f->params);
  for (Py_ssize_t j = 0; j < n; ++j) {
    if (PyTuple_GET_ITEM(f->params, j) == keyword) return j;
  }
  for (Py_ssize_t j = 0; j < n; ++j) {
    int eq = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(f->params, j), Py_EQ);
    if (eq > 0) return j;
    if (eq < 0) return -2;
  }
  return -1;
}

// Fills `bound` (borrowed pointers, param_count of them).  Defaults are
// borrowed from `defaults`, which the caller keeps alive for the call: the
// body may reassign __defaults__ while it runs.
int bind_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject* defaults, PyObject** bound) {
  const Py_ssize_t argcount = f->spec->param_count;
  Py_ssize_t n = nargs > argcount ? argcount : nargs;
  for (Py_ssize_t i = 0; i < n; ++i) bound[i] = args[i];

  if (kwnames != nullptr) {
    Py_ssize_t kwcount = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < kwcount; ++i) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
      if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", qualname_of(f));
        return -1;
      }
      Py_ssize_t j = find_parameter(f, keyword);
      if (j == -2) return -1;
      if (j == -1) {
        raise_unexpected_keyword(f, keyword);
        return -1;
      }
      if (bound[j] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                     qualname_of(f), keyword);
        return -1;
      }
      bound[j] = args[nargs + i];
    }
  }

  const Py_ssize_t defcount = defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
  if (nargs > argcount) {
    raise_too_many_positional(f, nargs, defcount);
    return -1;
  }
  if (nargs < argcount) {
    const Py_ssize_t m = argcount - defcount;
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = nargs; i < m; ++i) {
      if (bound[i] == nullptr) ++missing;
    }
    if (missing != 0) {
      raise_missing(f, bound, m, missing);
      return -1;
    }
    // The interpreter's own arithmetic, including __defaults__ longer than
    // the parameter list (m negative): the last defaults are the ones used.
    for (Py_ssize_t i = n > m ? n - m : 0; i < defcount; ++i) {
      if (bound[m + i] == nullptr) bound[m + i] = PyTuple_GET_ITEM(defaults, i);
    }
  }
  return 0;
}

PyObject* run_body(FunctionObject* f, PyObject* const* bound) {
  if (f->globals == nullptr) {
    PyErr_Format(PyExc_SystemError, "%U() called after it was cleared", qualname_of(f));
    return nullptr;
  }
  // Bodies call back into Python through instance attributes; a user who
  // makes a method call itself must get RecursionError, not a stack overflow.
  if (Py_EnterRecursiveCall(" while calling a Python object") != 0) return nullptr;
  Call call{f, bound};
  PyObject* result = f->spec->body(call);
  Py_LeaveRecursiveCall();
  return result;
}

// Out of line, so the common call (every parameter given by position, as a
// method taking only self always is) pays for neither the array nor the
// registers this path needs.
__attribute__((noinline)) PyObject* bind_and_run(FunctionObject* f, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kMaxParams] = {};
  Ref defaults = Ref::borrow(f->defaults);
  if (bind_arguments(f, args, nargs, kwnames, defaults.get(), bound) < 0) return nullptr;
  return run_body(f, bound);
}

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* f = reinterpret_cast<FunctionObject*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs == f->spec->param_count &&
      (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) {
    return run_body(f, args);
  }
  return bind_and_run(f, args, nargs, kwnames);
}

}  // namespace quorvan
