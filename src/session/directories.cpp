// Remote directory operations: each is one ftplib call made while the
// session lock is held, with the caller's argument passed on unchanged.
#include "session/common.h"

namespace quorvan::session {

namespace {

constexpr Param kPathParams[] = {kSelfParam, {"Pms_Path", Annotation::str}};
constexpr Param kDirNameParams[] = {kSelfParam, {"Pms_DirName", Annotation::str}};
static_assert(well_formed(kPathParams) && well_formed(kDirNameParams), "directory parameters");

// Each command's one argument, whichever table it is read through.
constexpr int kArgument = param_index(kPathParams, "Pms_Path");
static_assert(kArgument > 0 && kArgument == param_index(kDirNameParams, "Pms_DirName"),
              "a directory command's argument stands at one index");

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

PyObject* change_dir(const Call& c) { return locked_command(c, name::cwd); }

PyObject* get_current_dir(const Call& c) { return locked_query(c, name::pwd); }

PyObject* list_files(const Call& c) { return locked_query(c, name::nlst); }

PyObject* make_dir(const Call& c) { return locked_command(c, name::mkd); }

PyObject* remove_dir(const Call& c) { return locked_command(c, name::rmd); }

}  // namespace

constexpr Method kChangeDir =
    make_method("CUF_ChangeDir", change_dir, kPathParams, Annotation::none);
constexpr Method kGetCurrentDir =
    make_method("CUF_GetCurrentDir", get_current_dir, Annotation::str);
constexpr Method kListFiles = make_method("CUF_ListFiles", list_files, Annotation::list_str);
constexpr Method kMakeDir =
    make_method("CUF_MakeDir", make_dir, kDirNameParams, Annotation::none);
constexpr Method kRemoveDir =
    make_method("CUF_RemoveDir", remove_dir, kDirNameParams, Annotation::none);

}  // namespace quorvan::session
