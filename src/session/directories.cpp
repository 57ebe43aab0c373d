// Remote directory operations: each is one ftplib call made while the
// session lock is held, with the caller's argument passed on unchanged.
#include "session/common.h"

namespace quorvan::session {

namespace {

constexpr int kArgument = 1;

// with self.mobj_Lock: self.mobj_FTP.<method>(argument)  ->  None
PyObject* locked_command(const Call& c, name::Id method) {
  Ref reply;
  if (locked_ftp_call(c, method, {c.arg(kArgument)}, &reply) == WithResult::Raised) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// with self.mobj_Lock: return self.mobj_FTP.<method>()
PyObject* locked_query(const Call& c, name::Id method) {
  Ref result;
  WithResult outcome = locked_ftp_call(c, method, {}, &result);
  if (outcome == WithResult::Raised) return nullptr;
  if (outcome == WithResult::Swallowed) Py_RETURN_NONE;  // the return inside the block never ran
  return result.release();
}

}  // namespace

PyObject* change_dir(const Call& c) { return locked_command(c, name::cwd); }

PyObject* get_current_dir(const Call& c) { return locked_query(c, name::pwd); }

PyObject* list_files(const Call& c) { return locked_query(c, name::nlst); }

PyObject* make_dir(const Call& c) { return locked_command(c, name::mkd); }

PyObject* remove_dir(const Call& c) { return locked_command(c, name::rmd); }

}  // namespace quorvan::session
