// Remote directory operations: each is one ftplib call made while the
// session lock is held, with the caller's argument passed on unchanged.
#include "session/common.h"

namespace quorvan::session {

namespace {

constexpr int kArgument = 1;

// with self.mobj_Lock: self.mobj_FTP.<method>(argument)  ->  None
PyObject* locked_command(const Call& c, n::Name method, bool with_argument) {
  Ref reply;
  WithResult r = with_argument ? locked_ftp_call(c, method, {c.arg(kArgument)}, &reply)
                               : locked_ftp_call(c, method, {}, &reply);
  if (r == WithResult::Raised) return nullptr;
  Py_RETURN_NONE;
}

// with self.mobj_Lock: return self.mobj_FTP.<method>()
PyObject* locked_query(const Call& c, n::Name method) {
  Ref result;
  WithResult r = locked_ftp_call(c, method, {}, &result);
  if (r == WithResult::Raised) return nullptr;
  if (r == WithResult::Swallowed) Py_RETURN_NONE;  // the return inside the block never ran
  return result.release();
}

}  // namespace

PyObject* change_dir(const Call& c) { return locked_command(c, n::cwd, true); }

PyObject* get_current_dir(const Call& c) { return locked_query(c, n::pwd); }

PyObject* list_files(const Call& c) { return locked_query(c, n::nlst); }

PyObject* make_dir(const Call& c) { return locked_command(c, n::mkd, true); }

PyObject* remove_dir(const Call& c) { return locked_command(c, n::rmd, true); }

}  // namespace quorvan::session
