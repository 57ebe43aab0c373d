// The function type object: attributes, binding, garbage collection.
// Setters apply the same checks and messages as the interpreter's function
// type, so code that assigns __defaults__ or __annotations__ behaves alike.
#include "runtime/function.h"
#include "runtime/globals.h"

#include <structmember.h>

#include <cstddef>

namespace quorvan {

namespace {

FunctionObject* as_function(PyObject* self) {
  return reinterpret_cast<FunctionObject*>(self);
}

PyObject* none_if_null(PyObject* value) {
  return Py_NewRef(value != nullptr ? value : Py_None);
}

// Swaps in a new value (new reference taken) and drops the old one last, so
// a destructor run by the drop sees a consistent object.
void replace(PyObject** slot, PyObject* value) {
  PyObject* old = *slot;
  Py_XINCREF(value);
  *slot = value;
  Py_XDECREF(old);
}

// --- attribute getters and setters -----------------------------------------

PyObject* get_name(PyObject* self, void*) { return none_if_null(as_function(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  replace(&as_function(self)->name, value);
  return 0;
}

PyObject* get_qualname(PyObject* self, void*) {
  return none_if_null(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  replace(&as_function(self)->qualname, value);
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  return none_if_null(as_function(self)->defaults);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  if (PySys_Audit("object.__setattr__", "OsO", self, "__defaults__",
                  value != nullptr ? value : Py_None) < 0) {
    return -1;
  }
  replace(&as_function(self)->defaults, value);
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  return none_if_null(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  if (PySys_Audit("object.__setattr__", "OsO", self, "__kwdefaults__",
                  value != nullptr ? value : Py_None) < 0) {
    return -1;
  }
  replace(&as_function(self)->kwdefaults, value);
  return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 annotations come from __annotate__(VALUE) on first read, then
// stay cached until __annotations__ or a new __annotate__ is assigned.
PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (f->annotations == nullptr) {
    if (f->annotate != nullptr && PyCallable_Check(f->annotate)) {
      Ref annotate = Ref::borrow(f->annotate);  // the call may replace it
      Ref format = Ref::steal(PyLong_FromLong(1));  // annotationlib.Format.VALUE
      if (!format) return nullptr;
      Ref dict = Ref::steal(PyObject_CallOneArg(annotate.get(), format.get()));
      if (!dict) return nullptr;
      if (!PyDict_Check(dict.get())) {
#if PY_VERSION_HEX >= 0x030F0000
        PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T", dict.get());
#else
        PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                     Py_TYPE(dict.get())->tp_name);
#endif
        return nullptr;
      }
      replace(&f->annotations, dict.get());
    } else {
      f->annotations = PyDict_New();
      if (f->annotations == nullptr) return nullptr;
    }
  }
  return Py_NewRef(f->annotations);
}

PyObject* get_annotate(PyObject* self, void*) { return none_if_null(as_function(self)->annotate); }

int set_annotate(PyObject* self, PyObject* value, void*) {
  FunctionObject* f = as_function(self);
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
    return -1;
  }
  if (value != Py_None && !PyCallable_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
    return -1;
  }
  replace(&f->annotate, value);
  // A new annotate function makes the cached annotations stale.
  if (value != Py_None) Py_CLEAR(f->annotations);
  return 0;
}
#else
PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (f->annotations == nullptr) {
    f->annotations = PyDict_New();
    if (f->annotations == nullptr) return nullptr;
  }
  return Py_NewRef(f->annotations);
}
#endif

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  replace(&as_function(self)->annotations, value);
  // Assigned annotations replace what __annotate__ would give (from 3.14).
  Py_CLEAR(as_function(self)->annotate);
  return 0;
}

// A Python function has no __signature__ of its own; an assigned one lives in
// its __dict__ and wins.  We compute ours from the live attributes, and an
// assignment is stored in __dict__ the same way.
PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (f->dict != nullptr) {
    PyObject* stored =
        PyDict_GetItemWithError(f->dict, name_at(f->names, RuntimeName::dunder_signature));
    if (stored != nullptr) return Py_NewRef(stored);
    if (PyErr_Occurred()) return nullptr;
  }
  return function_signature(f);
}

int set_signature(PyObject* self, PyObject* value, void*) {
  FunctionObject* f = as_function(self);
  if (f->dict == nullptr) {
    f->dict = PyDict_New();
    if (f->dict == nullptr) return -1;
  }
  PyObject* key = name_at(f->names, RuntimeName::dunder_signature);
  if (value != nullptr) return PyDict_SetItem(f->dict, key, value);
  if (PyDict_DelItem(f->dict, key) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    PyErr_SetString(PyExc_AttributeError, "__signature__");
    return -1;
  }
  return 0;
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

#if PY_VERSION_HEX >= 0x030C0000
// Functions gained __type_params__ in 3.12: () unless assigned, never deletable.
PyObject* get_type_params(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  if (f->type_params == nullptr) return PyTuple_New(0);
  return Py_NewRef(f->type_params);
}

int set_type_params(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
    return -1;
  }
  replace(&as_function(self)->type_params, value);
  return 0;
}
#endif

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030C0000
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
#endif
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Offsets named __...offset__ tell the type maker where the fields are.
PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(FunctionObject, builtins), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    // hash and == stay identity
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// __module__ of an instance.  It is no member: a heap type's own __module__
// is the entry of that name in its dict, which must stay the module's name.
bool is_module_attribute(FunctionObject* f, PyObject* name) {
  PyObject* key = name_at(f->names, RuntimeName::dunder_module);
  return name == key || (PyUnicode_Check(name) &&
                         PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
                         PyUnicode_Compare(name, key) == 0);
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
  FunctionObject* f = as_function(self);
  if (is_module_attribute(f, name)) return none_if_null(f->module);
  return PyObject_GenericGetAttr(self, name);
}

// As a T_OBJECT member: any value, and deleting reads as None afterwards.
int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
  FunctionObject* f = as_function(self);
  if (is_module_attribute(f, name)) {
    replace(&f->module, value);
    return 0;
  }
  return PyObject_GenericSetAttr(self, name, value);
}

// --- methods ----------------------------------------------------------------

// Pickle and copy treat a function as a global named by its qualified name;
// returning that name gives the same behaviour here.
PyObject* function_reduce(PyObject* self, PyObject*) {
  FunctionObject* f = as_function(self);
  return none_if_null(f->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- slots -------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));  // an instance of a heap type holds its type
  Py_VISIT(f->params);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->annotate);
  Py_VISIT(f->type_params);
  Py_VISIT(f->globals);
  Py_VISIT(f->builtins);
  Py_VISIT(f->names);
  Py_VISIT(f->data);
  Py_VISIT(f->dict);
  return 0;
}

// Drops everything that can take part in a cycle.  The names stay so repr and
// error messages keep working; a call after clearing raises (function_call.cpp).
int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->annotate);
  Py_CLEAR(f->type_params);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->builtins);
  Py_CLEAR(f->data);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->params);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->names);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  FunctionObject* f = as_function(self);
  return PyUnicode_FromFormat("<function %S at %p>",
                              f->qualname != nullptr ? f->qualname : Py_None, self);
}

// Same rule as the interpreter's functions: looked up on the class (or with
// no instance) a function is itself, looked up on an instance a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Each slot with the type it has in a PyTypeObject; a spec takes them untyped.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    // No descr_set: a non-data descriptor, as functions are.
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};
#pragma GCC diagnostic pop

// A type for each module instance, so that each (sub-)interpreter has its own.
PyType_Spec function_spec = {
    "Quorvan.function",  // __name__ reads "function", as for help(); __module__ "Quorvan"
    sizeof(FunctionObject),
    0,
    // METHOD_DESCRIPTOR lets the interpreter call obj.method(...) without
    // making a bound method first, exactly as it does for its own
    // functions.  Functions are made only by the module, through
    // new_function; the type cannot be changed or subclassed.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

Ref new_function_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
  if (!type) return type;
  // The type maker keeps __vectorcalloffset__ as an attribute, which a
  // function has not; nothing reads it after the type is made.
  PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
  if (PyDict_DelItemString(dict, "__vectorcalloffset__") < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Ref();
    PyErr_Clear();
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return type;
}

Ref new_function(PyTypeObject* type, const FunctionSpec* spec, PyObject* qualname,
                 PyObject* globals, PyObject* names, PyObject* data, PyObject* doc,
                 PyObject* defaults, PyObject* annotations, PyObject* annotate) {
  if (spec->param_count > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many parameters");
    return Ref();
  }
  Ref params = Ref::steal(PyTuple_New(spec->param_count));
  if (!params) return Ref();
  for (int i = 0; i < spec->param_count; ++i) {
    PyObject* p = PyUnicode_InternFromString(spec->params[i]);
    if (p == nullptr) return Ref();
    PyTuple_SET_ITEM(params.get(), i, p);
  }
  Ref name = Ref::steal(PyUnicode_InternFromString(spec->name));
  if (!name) return Ref();
  PyObject* module = PyDict_GetItemWithError(globals, name_at(names, RuntimeName::dunder_name));
  if (module == nullptr && PyErr_Occurred()) return Ref();
  Ref builtins = builtins_of(globals, names);
  if (!builtins) return Ref();
  Ref owned_annotations =
      annotations != nullptr ? Ref::borrow(annotations) : Ref::steal(PyDict_New());
  if (!owned_annotations) return Ref();

  FunctionObject* f = PyObject_GC_New(FunctionObject, type);
  if (f == nullptr) return Ref();
  f->vectorcall = function_vectorcall;
  f->spec = spec;
  f->params = params.release();
  f->name = name.release();
  f->qualname = Py_NewRef(qualname);
  f->module = Py_XNewRef(module);
  f->doc = Py_NewRef(doc != nullptr ? doc : Py_None);
  f->defaults = (defaults == nullptr || defaults == Py_None) ? nullptr : Py_NewRef(defaults);
  f->kwdefaults = nullptr;
  f->annotations = owned_annotations.release();
  f->annotate = Py_XNewRef(annotate);
  f->type_params = nullptr;
  f->globals = Py_NewRef(globals);
  f->builtins = builtins.release();
  f->names = Py_NewRef(names);
  f->data = Py_XNewRef(data);
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace quorvan
