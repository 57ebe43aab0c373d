// Remote file operations: delete, rename, and the existence test.
#include "session/common.h"

namespace quorvan::session {

PyObject* delete_file(const Call& c) {
  Ref reply;
  if (locked_ftp_call(c, n::delete_, {c.arg(1)}, &reply) == WithResult::Raised) return nullptr;
  Py_RETURN_NONE;
}

PyObject* rename_file(const Call& c) {
  Ref reply;
  if (locked_ftp_call(c, n::rename, {c.arg(1), c.arg(2)}, &reply) == WithResult::Raised) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* file_exists(const Call& c) {
  (void)c;
  PyErr_SetString(PyExc_NotImplementedError, "CUF_FileExists");
  return nullptr;
}

}  // namespace quorvan::session
