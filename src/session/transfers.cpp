// Whole-file binary transfers.  The local file is prepared before the session
// lock is taken; the lock is held for the one ftplib call, the whole data
// transfer included, and for bringing the connection back in step when the
// call fails.
#include "session/common.h"
#include "session/download_target.h"

namespace quorvan::session {

namespace {

constexpr Param kDownloadParams[] = {
    kSelfParam,
    {"Pms_RemoteFile", Annotation::str},
    {"Pms_LocalFile", Annotation::str},
    {"Pmi_BlockSize", Annotation::int_, int_default(8192)},
};
constexpr Param kUploadParams[] = {
    kSelfParam,
    {"Pms_LocalFile", Annotation::str},
    {"Pms_RemoteFile", Annotation::str},
    {"Pmi_BlockSize", Annotation::int_, int_default(8192)},
};
static_assert(well_formed(kDownloadParams) && well_formed(kUploadParams), "transfer parameters");

// Both transfers name their source first and their destination second.
constexpr int kSource = param_index(kDownloadParams, "Pms_RemoteFile");
constexpr int kDestination = param_index(kDownloadParams, "Pms_LocalFile");
constexpr int kBlockSize = param_index(kDownloadParams, "Pmi_BlockSize");
static_assert(kSource > 0 && kDestination > 0 && kBlockSize > 0 &&
                  kSource == param_index(kUploadParams, "Pms_LocalFile") &&
                  kDestination == param_index(kUploadParams, "Pms_RemoteFile") &&
                  kBlockSize == param_index(kUploadParams, "Pmi_BlockSize"),
              "the transfers' arguments stand at the same indices");

// What the ftplib call is given to move the data: the local file's write
// method (a download) or the file itself (an upload).
enum class Data { file_write, file };

// self.mobj_FTP.<method>(<verb> + format(remote, ""), data, blocksize=...),
// evaluated in that order.  A failing ftplib call is followed by bringing
// the connection back in step, or marking the session Lost, before the lock
// is released (see resync.h).
bool transfer(const Call& c, name::Id method, name::Id verb, PyObject* remote, PyObject* f,
              Data data_kind) {
  Ref ftp = self_get(c, name::mobj_FTP);
  if (!ftp) return false;
  Ref bound = get_attr(ftp.get(), c.name(method));
  if (!bound) return false;
  Ref command = prefixed_text(c.name(verb), remote);
  if (!command) return false;
  Ref data = data_kind == Data::file_write ? get_attr(f, c.name(name::write)) : Ref::borrow(f);
  if (!data) return false;
  Ref reply = call(bound.get(), {command.get(), data.get(), c.arg(kBlockSize)},
                   c.name(name::kw_blocksize));
  if (reply) return true;
  keep_in_step(c, ftp.get());
  return false;
}

PyObject* download_file(const Call& c) {
  PyObject* remote = c.arg(kSource);
  DownloadTarget target;
  if (!target.prepare(c, c.arg(kDestination))) return nullptr;
  bool transferred = false;
  WithResult outer = with_block_as(target.file(), c.names(), [&](PyObject* f) {
    WithResult inner = with_session_lock(c, [&] {
      return transfer(c, name::retrbinary, name::text_RETR, remote, f, Data::file_write);
    });
    transferred = inner == WithResult::Completed;
    return inner != WithResult::Raised;
  });
  if (outer == WithResult::Raised) {
    target.discard();
    return nullptr;
  }
  // A transfer that did not complete (an exception some __exit__ swallowed)
  // never replaces the caller's file.
  if (outer == WithResult::Swallowed || !transferred) {
    target.discard();
    Py_RETURN_NONE;
  }
  if (!target.commit()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* upload_file(const Call& c) {
  PyObject* remote = c.arg(kDestination);
  Ref open = global(c, name::open);
  if (!open) return nullptr;
  Ref file = call(open.get(), {c.arg(kSource), c.name(name::mode_rb)});
  if (!file) return nullptr;
  WithResult outer = with_block_as(file.get(), c.names(), [&](PyObject* f) {
    return with_session_lock(c, [&] {
             return transfer(c, name::storbinary, name::text_STOR, remote, f, Data::file);
           }) != WithResult::Raised;
  });
  if (outer == WithResult::Raised) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

constexpr Method kDownloadFile = make_method("CUF_DownloadFile", download_file, kDownloadParams,
                                             Annotation::none, "下載檔案\uFF08binary\uFF09");
constexpr Method kUploadFile = make_method("CUF_UploadFile", upload_file, kUploadParams,
                                           Annotation::none, "上傳檔案\uFF08binary\uFF09");

}  // namespace quorvan::session
