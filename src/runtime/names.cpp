#include "runtime/names.h"

#include "runtime/module_state.h"
#include "runtime/with_block.h"

namespace quorvan {

namespace {

const char* const kRuntimeNames[kRuntimeNameCount] = {
    "__enter__",  "__exit__",      "__aenter__", "__aexit__",     "__import__", "__builtins__",
    "__name__",   "__spec__",      "_initializing", nullptr,      nullptr,
};

void free_link(PyObject* capsule) { PyMem_Free(PyCapsule_GetPointer(capsule, nullptr)); }

// The module_link entry: a pointer to the module's state, null until the
// module fills it in and again once the module is cleared.
Ref make_module_link() {
  auto* link = static_cast<ModuleState**>(PyMem_Malloc(sizeof(ModuleState*)));
  if (link == nullptr) {
    PyErr_NoMemory();
    return Ref();
  }
  *link = nullptr;
  Ref capsule = Ref::steal(PyCapsule_New(link, nullptr, free_link));
  if (!capsule) PyMem_Free(link);
  return capsule;
}

PyObject* make_entry(Py_ssize_t index, const char* text) {
  if (text != nullptr) return PyUnicode_InternFromString(text);
  if (index == static_cast<Py_ssize_t>(RuntimeName::special_cache)) {
    return make_special_cache().release();
  }
  return make_module_link().release();
}

}  // namespace

Ref make_name_table(const char* const* extra, std::size_t extra_count, const int* keywords,
                    std::size_t keyword_count) {
  Py_ssize_t names = kRuntimeNameCount + static_cast<Py_ssize_t>(extra_count);
  Ref table = Ref::steal(PyTuple_New(names + static_cast<Py_ssize_t>(keyword_count)));
  if (!table) return table;
  for (Py_ssize_t i = 0; i < names; ++i) {
    const char* text = i < kRuntimeNameCount ? kRuntimeNames[i] : extra[i - kRuntimeNameCount];
    PyObject* s = make_entry(i, text);
    if (s == nullptr) return Ref();
    PyTuple_SET_ITEM(table.get(), i, s);  // steals s
  }
  for (std::size_t k = 0; k < keyword_count; ++k) {
    if (keywords[k] < 0 || keywords[k] >= names) {
      PyErr_SetString(PyExc_SystemError, "keyword tuple names no string of the table");
      return Ref();
    }
    PyObject* tuple = PyTuple_Pack(1, PyTuple_GET_ITEM(table.get(), keywords[k]));
    if (tuple == nullptr) return Ref();
    PyTuple_SET_ITEM(table.get(), names + static_cast<Py_ssize_t>(k), tuple);  // steals
  }
  return table;
}

}  // namespace quorvan
