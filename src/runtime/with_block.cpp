#include "runtime/with_block.h"

#include "runtime/exceptions.h"
#include "runtime/names.h"

namespace quorvan {

namespace {

// __enter__ and __exit__ as type(manager)'s MRO last gave them, for a few
// types, each valid while the type keeps the version tag it had then.  The
// interpreter changes a type's tag whenever the type or a base changes
// (attributes, __bases__), and from 3.11 never hands a tag out twice within
// one interpreter, so a matching tag means the same, unchanged type: its MRO
// still holds both descriptors, which is why they can be kept borrowed.
// On 3.10 clearing the type cache (sys._clear_type_cache(), which test
// runners call) restarts the numbering, so a changed type may get its old
// tag back while the descriptors it held are freed: there is no cache.  A
// module instance, and so its cache, lives in one interpreter (the name table
// is made per instance), and is used only with that interpreter's GIL held;
// the descriptors of a static type shared by interpreters come from this
// interpreter's own dict of it.
struct SpecialEntry {
  PyTypeObject* type;
  unsigned int tag;
  PyObject* enter;
  PyObject* exit;
  bool plain;  // both are method descriptors: called with the manager prepended
};

struct SpecialCache {
  SpecialEntry entries[4];  // a lock and a file, as a transfer nests them, and more
  unsigned int next;        // the entry a new type takes, round robin
};

// Unnamed: the capsule never leaves the name table, and an unnamed one is
// found without comparing names at every with statement.
constexpr const char* kCacheName = nullptr;

void free_cache(PyObject* capsule) {
  PyMem_Free(PyCapsule_GetPointer(capsule, kCacheName));
}

// The type's tag, or 0 when it has no valid one.
unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030C0000
  // Before 3.12 a change clears this flag but may leave the old tag.
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
  return type->tp_version_tag;
}

SpecialEntry* cache_entry(PyObject* names, PyTypeObject* type) {
#if defined(Py_GIL_DISABLED) || PY_VERSION_HEX < 0x030B0000
  // Without the GIL the entries could be torn; on 3.10 tags repeat.
  (void)names;
  (void)type;
  return nullptr;
#else
  PyObject* capsule = name_at(names, RuntimeName::special_cache);
  auto* cache = static_cast<SpecialCache*>(PyCapsule_GetPointer(capsule, kCacheName));
  if (cache == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  for (SpecialEntry& entry : cache->entries) {
    if (entry.type == type) return &entry;
  }
  return &cache->entries[cache->next++ % 4];
#endif
}

// The interpreter's own special-method lookup: type(obj)'s MRO through the
// type attribute cache.  Borrowed result; it never sets an exception.
// Declared for every supported version (3.10 on).
PyObject* find_special(PyObject* obj, PyObject* name) {
  return _PyType_Lookup(Py_TYPE(obj), name);
}

// Fills the entry with type's __enter__ and __exit__ as its MRO holds them
// now, if its tag is the same before and after both lookups (a lookup
// compares keys, which may run code) and is a valid one.
void remember_specials(SpecialEntry* entry, PyTypeObject* type, PyObject* enter_name,
                       PyObject* exit_name) {
  unsigned int tag = version_tag(type);
  PyObject* enter = _PyType_Lookup(type, enter_name);
  PyObject* exit = _PyType_Lookup(type, exit_name);
  if (tag != 0 && enter != nullptr && exit != nullptr && version_tag(type) == tag) {
    bool plain = PyType_HasFeature(Py_TYPE(enter), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
                 PyType_HasFeature(Py_TYPE(exit), Py_TPFLAGS_METHOD_DESCRIPTOR);
    *entry = SpecialEntry{type, tag, enter, exit, plain};
  }
}

// A special method of obj from its descriptor: *callable is either a plain
// method to call with obj prepended (*unbound true), or the descriptor's
// bound result.
int bind_special(PyObject* obj, PyObject* found, Ref* callable, bool* unbound) {
  Ref descr = Ref::borrow(found);
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

Ref make_special_cache() {
  auto* cache = static_cast<SpecialCache*>(PyMem_Malloc(sizeof(SpecialCache)));
  if (cache == nullptr) {
    PyErr_NoMemory();
    return Ref();
  }
  *cache = SpecialCache();
  Ref capsule = Ref::steal(PyCapsule_New(cache, kCacheName, free_cache));
  if (!capsule) PyMem_Free(cache);
  return capsule;
}

bool WithBlock::enter(PyObject* manager, PyObject* names, Ref* entered) {
  // From 3.14 the interpreter looks __exit__ up first.
  constexpr bool kExitFirst = PY_VERSION_HEX >= 0x030E0000;
  PyObject* enter_name = name_at(names, RuntimeName::dunder_enter);
  PyObject* exit_name = name_at(names, RuntimeName::dunder_exit);
  manager_ = Ref::borrow(manager);
  PyTypeObject* type = Py_TYPE(manager);
  SpecialEntry* cached = cache_entry(names, type);
  unsigned int tag = version_tag(type);
  bool hit = cached != nullptr && tag != 0 && cached->type == type && cached->tag == tag;
  if (hit && cached->plain) {
    // Neither binding runs code, so the order of the two cannot show: both
    // are called with the manager prepended.
    exit_ = Ref::borrow(cached->exit);
    exit_unbound_ = true;
    Ref enter = Ref::borrow(cached->enter);
    PyObject* stack[1] = {manager};
    Ref value = Ref::steal(PyObject_Vectorcall(enter.get(), stack, 1, nullptr));
    if (!value) {
      exit_.reset();
      return false;
    }
    if (entered != nullptr) *entered = std::move(value);
    return true;
  }
  Ref enter;
  bool enter_unbound = false;
  Ref& first = kExitFirst ? exit_ : enter;
  bool& first_unbound = kExitFirst ? exit_unbound_ : enter_unbound;
  Ref& second = kExitFirst ? enter : exit_;
  bool& second_unbound = kExitFirst ? enter_unbound : exit_unbound_;
  PyObject* first_name = kExitFirst ? exit_name : enter_name;
  PyObject* second_name = kExitFirst ? enter_name : exit_name;

  PyObject* first_found = hit ? (kExitFirst ? cached->exit : cached->enter)
                              : find_special(manager, first_name);
  int bound = bind_special(manager, first_found, &first, &first_unbound);
  if (bound == 0) raise_not_a_context_manager(manager, names, kExitFirst);
  if (bound <= 0) return false;
  // Binding the first may have run a __get__ that changed the type.
  PyObject* second_found = hit && version_tag(type) == tag
                               ? (kExitFirst ? cached->enter : cached->exit)
                               : find_special(manager, second_name);
  if (!hit && second_found != nullptr && cached != nullptr) {
    remember_specials(cached, type, enter_name, exit_name);
  }
  bound = bind_special(manager, second_found, &second, &second_unbound);
  if (bound == 0) raise_not_a_context_manager(manager, names, !kExitFirst);
  if (bound <= 0) {
    exit_.reset();
    return false;
  }
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
