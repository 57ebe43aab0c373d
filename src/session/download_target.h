// The local side of a download.
//
// A download never writes into the caller's file directly: it writes into a
// new temporary file beside it, and only a transfer that succeeded replaces
// the destination with it, atomically.  A failed download leaves the
// destination exactly as it was, or absent.  Written directly are only
// destinations that cannot be replaced that way: an existing file that is not
// a regular file (a device, a FIFO), a file descriptor, and a path that names
// no file ("" or one ending in "/"), which open() refuses.
#pragma once

#include <Python.h>

#include "runtime/function.h"
#include "runtime/ref.h"

namespace quorvan::session {

class DownloadTarget {
 public:
  DownloadTarget() = default;
  DownloadTarget(const DownloadTarget&) = delete;
  DownloadTarget& operator=(const DownloadTarget&) = delete;
  ~DownloadTarget();

  // Opens the file to write into; false with an exception set.
  bool prepare(const Call& c, PyObject* destination);

  // The open file object (borrowed).
  PyObject* file() const { return file_.get(); }

  // After the transfer succeeded and the file was closed: puts the data in
  // place of the destination.  False with an exception set.
  bool commit();

  // After a failure: removes the temporary file.  A pending exception stays.
  void discard();

 private:
  bool open_directly(const Call& c);
  bool open_temporary();
  bool raise_os_error();  // from errno, naming the destination; returns false

  Ref file_;
  Ref destination_;  // the caller's argument, named in error messages
  Ref target_;       // bytes: the path the temporary file replaces
  Ref temporary_;    // bytes: the temporary file; empty when writing directly
  bool keep_mode_ = false;
  unsigned mode_ = 0;
};

}  // namespace quorvan::session
