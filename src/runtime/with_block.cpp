#include "runtime/with_block.h"

#include "runtime/exceptions.h"
#include "runtime/names.h"

namespace quorvan {

namespace {

// A special method of obj: *callable is either a plain method to call with
// obj prepended (*unbound true), or the descriptor's bound result.
int lookup_special(PyObject* obj, PyObject* name, Ref* callable, bool* unbound) {
  // The interpreter's own special-method lookup: type(obj)'s MRO through the
  // type attribute cache (a hit costs no dict lookup).  Borrowed result; it
  // never sets an exception.  Declared for every supported version (3.10 on).
  Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
  if (!descr) return 0;
  PyTypeObject* descr_type = Py_TYPE(descr.get());
  // Binding a method descriptor only to call it once is waste; the call with
  // obj prepended is the same call.
  if (PyType_HasFeature(descr_type, Py_TPFLAGS_METHOD_DESCRIPTOR)) {
    *callable = std::move(descr);
    *unbound = true;
    return 1;
  }
  *unbound = false;
  if (descr_type->tp_descr_get != nullptr) {
    *callable = Ref::steal(descr_type->tp_descr_get(
        descr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return *callable ? 1 : -1;
  }
  *callable = std::move(descr);
  return 1;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 the interpreter names the missing method, and suggests `async
// with` for a type that has both asynchronous methods.
void raise_not_a_context_manager(PyObject* manager, PyObject* names, bool exit_missing) {
  PyTypeObject* type = Py_TYPE(manager);
  const bool async_manager =
      _PyType_Lookup(type, name_at(names, RuntimeName::dunder_aenter)) != nullptr &&
      _PyType_Lookup(type, name_at(names, RuntimeName::dunder_aexit)) != nullptr;
  PyErr_Format(PyExc_TypeError,
               "'%T' object does not support the context manager protocol (missed %s method)%s",
               manager, exit_missing ? "__exit__" : "__enter__",
               async_manager ? " but it supports the asynchronous context manager protocol. "
                               "Did you mean to use 'async with'?"
                             : "");
}
#elif PY_VERSION_HEX >= 0x030B0000
void raise_not_a_context_manager(PyObject* manager, PyObject*, bool exit_missing) {
  PyErr_Format(PyExc_TypeError,
               exit_missing ? "'%.200s' object does not support the context manager "
                              "protocol (missed __exit__ method)"
                            : "'%.200s' object does not support the context manager protocol",
               Py_TYPE(manager)->tp_name);
}
#else
void raise_not_a_context_manager(PyObject*, PyObject* names, bool exit_missing) {
  PyErr_SetObject(PyExc_AttributeError,
                  name_at(names, exit_missing ? RuntimeName::dunder_exit
                                              : RuntimeName::dunder_enter));
}
#endif

PyObject* call_special(PyObject* callable, bool unbound, PyObject* self, PyObject* a,
                       PyObject* b, PyObject* c, Py_ssize_t nargs) {
  // One spare slot in front, so the unbound call can prepend self in place.
  PyObject* stack[5] = {nullptr, self, a, b, c};
  if (unbound) return PyObject_Vectorcall(callable, stack + 1, 1 + nargs, nullptr);
  return PyObject_Vectorcall(callable, stack + 2, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             nullptr);
}

}  // namespace

bool WithBlock::enter(PyObject* manager, PyObject* names, Ref* entered) {
  PyObject* enter_name = name_at(names, RuntimeName::dunder_enter);
  PyObject* exit_name = name_at(names, RuntimeName::dunder_exit);
  manager_ = Ref::borrow(manager);
  Ref enter;
  bool enter_unbound = false;
#if PY_VERSION_HEX >= 0x030E0000
  // From 3.14 the interpreter looks __exit__ up first.
  int r = lookup_special(manager, exit_name, &exit_, &exit_unbound_);
  if (r == 0) raise_not_a_context_manager(manager, names, true);
  if (r <= 0) return false;
  r = lookup_special(manager, enter_name, &enter, &enter_unbound);
  if (r == 0) raise_not_a_context_manager(manager, names, false);
  if (r <= 0) {
    exit_.reset();
    return false;
  }
#else
  int r = lookup_special(manager, enter_name, &enter, &enter_unbound);
  if (r == 0) raise_not_a_context_manager(manager, names, false);
  if (r <= 0) return false;
  r = lookup_special(manager, exit_name, &exit_, &exit_unbound_);
  if (r == 0) raise_not_a_context_manager(manager, names, true);
  if (r <= 0) return false;
#endif
  Ref value = Ref::steal(
      call_special(enter.get(), enter_unbound, manager, nullptr, nullptr, nullptr, 0));
  if (!value) {
    exit_.reset();
    return false;
  }
  if (entered != nullptr) *entered = std::move(value);
  return true;
}

bool WithBlock::exit_normally() {
  Ref result = Ref::steal(
      call_special(exit_.get(), exit_unbound_, manager_.get(), Py_None, Py_None, Py_None, 3));
  return static_cast<bool>(result);
}

bool WithBlock::exit_with_exception() {
  Caught caught = take_exception();
  PyObject* tb = caught.traceback ? caught.traceback.get() : Py_None;
  int swallow;
  {
    Handling handling(caught);
    Ref result = Ref::steal(call_special(exit_.get(), exit_unbound_, manager_.get(),
                                         caught.type.get(), caught.value.get(), tb, 3));
    swallow = result ? PyObject_IsTrue(result.get()) : -1;
  }
  if (swallow < 0) return false;  // __exit__'s own exception replaces ours
  if (swallow > 0) return true;
  restore_exception(std::move(caught));
  return false;
}

}  // namespace quorvan
