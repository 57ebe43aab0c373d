// The local side of a download.
//
// A download never writes into the caller's file directly: it writes into a
// new temporary file beside it, and only a transfer that succeeded replaces
// the destination with it, atomically and durably.  A failed download leaves
// the destination exactly as it was, or absent.  Written directly are only
// destinations that cannot be replaced that way: an existing file that is not
// a regular file (a device, a FIFO), a file that is a mount point, a file
// descriptor, and a path that names no file ("" or one ending in "/"), which
// open() refuses; and, written in place, a file that the kernel lets the
// process write but not replace (in a folder it may not write to, or another
// user's in a sticky folder).  The kernel decides which, before anything is
// sent: replaced where it lets the file be replaced, else written where it
// lets it be written, else refused with open()'s error.
//
// Where the data lands is decided once, before the transfer, and by the
// kernel: a symbolic link in the last component is followed by the kernel's
// own open, under its rules for links, and the folder that holds the file it
// reached is kept open.  From then on every step goes through that folder's
// descriptor or the temporary file's own, never through a path that someone
// could have swapped meanwhile.
#pragma once

#include <Python.h>
#include <limits.h>
#include <sys/stat.h>
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
  // What locate() found: a file to replace or create, one to write directly
  // (by open()), or a file reached through a link whose name was not found;
  // and what prepare() makes of a file the kernel lets the process write but
  // not replace: one to write in place.
  enum class Found { Error, Direct, Place, InPlace, Unnamed };

  Found locate(const char* path, struct stat* st, bool* exists);
  Found follow_link(struct stat* st, bool* exists);
  int check_writable(const struct stat& st);
  int check_replaceable();
  bool open_directly(const Call& c);
  bool write_in_place();
  bool open_temporary();
  bool raise_os_error(int error);  // naming the destination; returns false
  bool raise_message(int error, const char* text, PyObject* filename);  // returns false
  int create_temporary();          // 0 or an errno value
  int finish();                    // commit()'s system calls: 0 or an errno value
  int set_attributes();
  int replace_taken_name();
  bool names_temporary() const;
  void release();  // removes the temporary file (and a placeholder) if still ours; closes all

  Ref file_;  // over fd_, which it does not close
  Ref destination_;  // the caller's argument, named in error messages
  int folder_ = -1;  // the folder the destination's final name lives in
  int fd_ = -1;      // the temporary file
  char name_[NAME_MAX + 1] = "";       // the final name, in folder_
  char temporary_[NAME_MAX + 1] = "";  // the temporary file's name, in folder_; "" when none
  char taken_in_[PATH_MAX + 1] = "";   // after repeated take-overs: the folder, for the message
  int target_ = -1;       // what a link at the destination led to, as the kernel opened it
  int in_place_ = -1;     // the existing file, opened for writing, should it be written in place
  bool created_ = false;  // target_ is an empty file created through a dangling link
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
