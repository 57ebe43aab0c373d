// The local side of a download.
//
// A download never writes into the caller's file directly: it writes into a
// new temporary file beside it, and only a transfer that succeeded replaces
// the destination with it, atomically and durably.  A failed download leaves
// the destination exactly as it was, or absent.  Written directly are only
// destinations that cannot be replaced that way: an existing file that is not
// a regular file (a device, a FIFO), a file that is a mount point, a file
// descriptor, and a path that names no file ("" or one ending in "/"), which
// open() refuses.
//
// Where the data lands is decided once, before the transfer: symbolic links
// in the last component are followed then, and the folder that holds the
// file is kept open.  From then on every step goes through that folder's
// descriptor or the temporary file's own, never through a path that someone
// could have swapped meanwhile.
#pragma once

#include <Python.h>
#include <limits.h>
#include <sys/types.h>

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
  bool raise_os_error(int error);  // naming the destination; returns false
  int create_temporary();          // 0 or an errno value
  int finish();                    // commit()'s system calls: 0 or an errno value
  int set_attributes();
  int replace_taken_name();
  bool names_temporary() const;
  void release();  // removes the temporary file if still ours; closes both descriptors

  Ref file_;  // over fd_, which it does not close
  Ref destination_;  // the caller's argument, named in error messages
  int folder_ = -1;  // the folder the destination's final name lives in
  int fd_ = -1;      // the temporary file
  char name_[NAME_MAX + 1] = "";       // the final name, in folder_
  char temporary_[NAME_MAX + 1] = "";  // the temporary file's name, in folder_; "" when none
  dev_t dev_ = 0;  // the temporary file, to recognise its name
  ino_t ino_ = 0;
  uid_t temp_uid_ = 0;
  gid_t temp_gid_ = 0;
  bool replaces_ = false;  // an existing file: it gives its owner, group and mode
  mode_t mode_ = 0600;     // the mode the file ends with
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

}  // namespace quorvan::session
