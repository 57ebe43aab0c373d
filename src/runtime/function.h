// A function type for methods written in C++.
//
// Instances behave as the interpreter's own functions do for binding,
// calling and introspection: they bind to instances as methods, accept
// positional-or-keyword arguments with the running interpreter's argument
// errors (and, from 3.13, its keyword suggestions), read __defaults__ at call
// time, and expose __name__, __qualname__, __module__, __doc__, __defaults__,
// __kwdefaults__, __annotations__, __globals__, __builtins__, __type_params__
// (from 3.12, as functions do), __annotate__ (from 3.14) and a __signature__
// computed from those.
#pragma once

#include <Python.h>

#include "runtime/module_state.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace quorvan {

struct Call;
struct FunctionObject;

// A body returns a new reference, or NULL with an exception set.
using Body = PyObject* (*)(const Call& call);

constexpr int kMaxParams = 16;

// Static description of one function; lives as long as the process.
struct FunctionSpec {
  const char* name;
  Body body;
  int param_count;
  const char* params[kMaxParams];  // UTF-8 parameter names, in order
};

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* params;       // tuple of interned parameter names
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* module;       // any object, may be NULL (reads as None)
  PyObject* doc;          // any object, may be NULL (reads as None)
  PyObject* defaults;     // tuple or NULL
  PyObject* kwdefaults;   // dict or NULL
  PyObject* annotations;  // dict or NULL (made on first read)
  PyObject* annotate;     // callable, None or NULL; exposed from 3.14 on
  PyObject* type_params;  // tuple or NULL (reads as ()); exposed from 3.12 on
  PyObject* globals;      // dict
  PyObject* builtins;     // dict
  PyObject* names;        // name table, see runtime/names.h
  PyObject* data;         // the function's own, for its body; opaque here, may be NULL
  PyObject* dict;         // __dict__, made on demand
  PyObject* weakrefs;
};

// What a body sees: its bound arguments (borrowed, param_count of them) and
// the environment of the function it runs in.
struct Call {
  FunctionObject* function;
  PyObject* const* args;

  PyObject* arg(int index) const { return args[index]; }
  PyObject* globals() const { return function->globals; }
  PyObject* builtins() const { return function->builtins; }
  PyObject* names() const { return function->names; }
  PyObject* name(int index) const { return name_at(function->names, index); }
  PyObject* name(RuntimeName n) const { return name_at(function->names, n); }
  PyObject* data() const { return function->data; }
  // The state of the function's module: its type holds the module.
  ModuleState* module_state() const {
    return static_cast<ModuleState*>(
        PyType_GetModuleState(Py_TYPE(reinterpret_cast<PyObject*>(function))));
  }
};

// The function type of `module`, made from a spec for that module alone.
Ref new_function_type(PyObject* module);

// Makes a function of `type` (one new_function_type made) as the
// interpreter's MAKE_FUNCTION does: __module__ is globals["__name__"],
// builtins come from globals["__builtins__"].  `doc`, `defaults`,
// `annotations`, `annotate` and `data` may be NULL.  `annotate` is the
// __annotate__ of 3.14 on: called with a format, it returns the annotations
// in that format.
Ref new_function(PyTypeObject* type, const FunctionSpec* spec, PyObject* qualname,
                 PyObject* globals, PyObject* names, PyObject* data, PyObject* doc,
                 PyObject* defaults, PyObject* annotations, PyObject* annotate = nullptr);

// Argument binding and the vectorcall entry point (function_call.cpp).
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args,
                              size_t nargsf, PyObject* kwnames);

// The __signature__ getter (function_signature.cpp).
PyObject* function_signature(FunctionObject* f);

}  // namespace quorvan
