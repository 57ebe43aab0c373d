// Whole-file binary transfers.
#include "session/common.h"

namespace quorvan::session {

PyObject* download_file(const Call& c) {
  (void)c;
  PyErr_SetString(PyExc_NotImplementedError, "CUF_DownloadFile");
  return nullptr;
}

PyObject* upload_file(const Call& c) {
  (void)c;
  PyErr_SetString(PyExc_NotImplementedError, "CUF_UploadFile");
  return nullptr;
}

}  // namespace quorvan::session
