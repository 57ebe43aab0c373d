// Remote file operations: delete, rename, and the existence test.
#include "session/common.h"

namespace quorvan::session {

namespace {

constexpr Param kFileNameParams[] = {kSelfParam, {"Pms_FileName", Annotation::str}};
constexpr Param kRenameParams[] = {
    kSelfParam,
    {"Pms_OldName", Annotation::str},
    {"Pms_NewName", Annotation::str},
};
static_assert(well_formed(kFileNameParams) && well_formed(kRenameParams), "file parameters");

constexpr int kFileName = param_index(kFileNameParams, "Pms_FileName");
constexpr int kOldName = param_index(kRenameParams, "Pms_OldName");
constexpr int kNewName = param_index(kRenameParams, "Pms_NewName");
static_assert(kFileName > 0 && kOldName > 0 && kNewName > 0,
              "every argument read is a parameter");

// Whether the reply ftplib last read (its own record, `lastresp`) was a
// preliminary one: 1, 0, or -1 with an exception set.  size() takes any
// reply that is not an error for its answer, a 1xx too, which leaves the
// final reply, the real answer, owed.
int answered_preliminary(const Call& c, PyObject* ftp) {
  Ref code;
  int found = optional_attr(ftp, c.name(name::lastresp), &code);
  if (found <= 0) return found;
  return PyUnicode_Check(code.get()) && PyUnicode_GET_LENGTH(code.get()) > 0 &&
         PyUnicode_READ_CHAR(code.get(), 0) == '1';
}

// with self.mobj_Lock:
//     ftp = self.mobj_FTP
//     ftp.voidcmd("TYPE I"); ftp.size(name)
//
// Some servers refuse SIZE while the connection is in ASCII type (the type
// after login and after every listing), which would make an existing file
// look missing; TYPE I first makes the answer depend on the file alone.
// `size` is looked up before TYPE I is sent, so a session without a
// connection still fails naming `size`.  When SIZE was answered with a
// preliminary reply, the final one is read with ftplib's own voidresp(): a
// 5xx there means False, as it would have for SIZE.
bool ask_size(const Call& c) {
  Ref ftp = self_get(c, name::mobj_FTP);
  if (!ftp) return false;
  Ref size = get_attr(ftp.get(), c.name(name::size));
  if (!size) return false;
  if (!ftp_command(c, ftp.get(), name::voidcmd, {c.name(name::text_TYPE_I)})) return false;
  if (!call(size.get(), {c.arg(kFileName)})) {
    keep_in_step(c, ftp.get());
    return false;
  }
  int preliminary = answered_preliminary(c, ftp.get());
  if (preliminary <= 0) return preliminary == 0;
  return static_cast<bool>(ftp_command(c, ftp.get(), name::voidresp, NoArgs()));
}

PyObject* delete_file(const Call& c) {
  Ref reply;
  if (locked_ftp_call(c, name::delete_, {c.arg(kFileName)}, &reply) == WithResult::Raised) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* rename_file(const Call& c) {
  Ref reply;
  WithResult outcome =
      locked_ftp_call(c, name::rename, {c.arg(kOldName), c.arg(kNewName)}, &reply);
  if (outcome == WithResult::Raised) return nullptr;
  Py_RETURN_NONE;
}

PyObject* file_exists(const Call& c) {
  if (with_session_lock(c, [&] { return ask_size(c); }) != WithResult::Raised) Py_RETURN_TRUE;
  // except error_perm: return False -- the name is resolved now, while the
  // exception is being handled, as the interpreter resolves it.
  Caught caught = take_exception();
  int matched;
  {
    Handling handling(caught);
    Ref error_perm = global(c, name::error_perm);
    matched = error_perm ? except_clause_matches(caught, error_perm.get()) : -1;
  }
  if (matched < 0) return nullptr;
  if (matched) Py_RETURN_FALSE;
  restore_exception(std::move(caught));
  return nullptr;
}

}  // namespace

constexpr Method kDeleteFile =
    make_method("CUF_DeleteFile", delete_file, kFileNameParams, Annotation::none);
constexpr Method kRenameFile =
    make_method("CUF_RenameFile", rename_file, kRenameParams, Annotation::none);
constexpr Method kFileExists =
    make_method("CUF_FileExists", file_exists, kFileNameParams, Annotation::bool_);

}  // namespace quorvan::session
