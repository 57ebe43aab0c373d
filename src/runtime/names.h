// Interned names, one table per module instance.
//
// Attribute and global names are interned strings kept in a tuple that the
// module's state and its bodies hold, so a lookup costs no string creation
// and each (sub-)interpreter uses strings it created itself.  The bodies'
// built-ins hold it, so it also carries what every body of the module shares:
// the with statement's lookup cache and the link to the module's state.  The first
// entries are the runtime's own names; a user of the runtime appends its
// names after them and indexes them from kRuntimeNameCount on.  After the
// names come keyword tuples: a one-element tuple of one of the names, the
// kwnames of a vectorcall that passes that one argument by keyword, made once
// here instead of at every call.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/ref.h"

namespace quorvan {

enum class RuntimeName : int {
  dunder_enter,
  dunder_exit,
  dunder_aenter,
  dunder_aexit,
  dunder_import,
  dunder_builtins,
  dunder_name,
  dunder_spec,
  initializing,
  special_cache,  // not a name: the with statement's lookup cache (with_block.h)
  module_link,    // not a name: the module's state, while it lasts (module_state.h)
  count
};

constexpr int kRuntimeNameCount = static_cast<int>(RuntimeName::count);

// Builds the table: the runtime's names, then `extra` (UTF-8), then one
// keyword tuple for each table index in `keywords`.
Ref make_name_table(const char* const* extra, std::size_t extra_count, const int* keywords,
                    std::size_t keyword_count);

// Borrowed: the table owns its entries.
inline PyObject* name_at(PyObject* table, int index) {
  return PyTuple_GET_ITEM(table, index);
}
inline PyObject* name_at(PyObject* table, RuntimeName n) {
  return name_at(table, static_cast<int>(n));
}

}  // namespace quorvan
