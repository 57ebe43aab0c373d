#include "runtime/names.h"

namespace quorvan {

namespace {

const char* const kRuntimeNames[kRuntimeNameCount] = {
    "__enter__", "__exit__",  "__import__",    "__builtins__",
    "__name__",  "__spec__",  "_initializing",
};

}  // namespace

Ref make_name_table(const char* const* extra, std::size_t extra_count) {
  Py_ssize_t total = kRuntimeNameCount + static_cast<Py_ssize_t>(extra_count);
  Ref table = Ref::steal(PyTuple_New(total));
  if (!table) return table;
  for (Py_ssize_t i = 0; i < total; ++i) {
    const char* text = i < kRuntimeNameCount ? kRuntimeNames[i] : extra[i - kRuntimeNameCount];
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) return Ref();
    PyTuple_SET_ITEM(table.get(), i, s);  // steals s
  }
  return table;
}

}  // namespace quorvan
