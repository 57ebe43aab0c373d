// Interned names, one table per module instance.
//
// Attribute and global names are interned strings kept in a tuple that every
// function object of the module holds, so a lookup costs no string creation
// and each (sub-)interpreter uses strings it created itself.  The first
// entries are the runtime's own names; a user of the runtime appends its
// names after them and indexes them from kRuntimeNameCount on.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/ref.h"

namespace quorvan {

enum class RuntimeName : int {
  dunder_enter,
  dunder_exit,
  dunder_import,
  dunder_builtins,
  dunder_name,
  dunder_spec,
  initializing,
  count
};

constexpr int kRuntimeNameCount = static_cast<int>(RuntimeName::count);

// Builds the table: the runtime's names followed by `extra` (UTF-8).
Ref make_name_table(const char* const* extra, std::size_t extra_count);

// Borrowed: the table owns its strings.
inline PyObject* name_at(PyObject* table, int index) {
  return PyTuple_GET_ITEM(table, index);
}
inline PyObject* name_at(PyObject* table, RuntimeName n) {
  return name_at(table, static_cast<int>(n));
}

}  // namespace quorvan
