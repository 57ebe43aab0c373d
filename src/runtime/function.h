// Methods whose bodies are written in C++.
//
// Each method is one of the interpreter's own functions, made from source at
// import, whose code hands its arguments, positionally, to a built-in that
// runs the C++ body.  The built-in is a constant of the function's code
// object: it shows up as no parameter, default, global or closure.  The
// interpreter binds the arguments and raises their errors, and the body gets
// exactly the parameters, in order.
#pragma once

#include <Python.h>

#include "runtime/module_state.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace quorvan {

struct Call;

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

// What a body sees: its arguments (borrowed, param_count of them), the
// module's name table, and the globals and builtins of the function it runs
// for, which are those of the running frame: the function's own.
struct Call {
  PyObject* name_table;
  PyObject* const* args;

  PyObject* arg(int index) const { return args[index]; }
  PyObject* globals() const { return PyEval_GetGlobals(); }
  PyObject* builtins() const { return PyEval_GetBuiltins(); }
  PyObject* names() const { return name_table; }
  PyObject* name(int index) const { return name_at(name_table, index); }
  PyObject* name(RuntimeName n) const { return name_at(name_table, n); }
  // The state of the module that made the function, or null once that
  // module is gone (the class may outlive it).
  ModuleState* module_state() const { return module_state_of(name_table); }
};

// The local that holds a function's body, and the constant the source
// assigns it before link_body puts the body in its place.
constexpr const char kBodyLocal[] = "body";
constexpr const char kBodyPlaceholder[] = "body not linked";

// The C entry of a body built-in (METH_FASTCALL, its self the name table):
// the function's code passes exactly spec.param_count arguments.
PyObject* call_body(const FunctionSpec& spec, PyObject* name_table, PyObject* const* args,
                    Py_ssize_t nargs);

// Runs `source`, a class statement defining `class_name`, with `globals` as
// globals and a namespace of its own as locals, as the module body would run
// it, and returns that class's namespace (a mapping).  The class itself is
// not kept.
Ref run_class_statement(PyObject* source, const char* class_name, PyObject* globals);

// Replaces kBodyPlaceholder among the constants of `function`'s code with
// the built-in of `def` bound to the name table: true, or false with an
// exception set.
bool link_body(PyObject* function, PyMethodDef* def, PyObject* name_table);

}  // namespace quorvan
