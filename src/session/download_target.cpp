#include "session/download_target.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/stat.h>  // struct statx, which glibc declares only from 2.28
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/common.h"

// statx reports a mount root from Linux 5.8 on; older headers lack the bit.
#if defined(SYS_statx) && !defined(STATX_ATTR_MOUNT_ROOT)
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

namespace quorvan::session {

namespace {

constexpr int kMaxLinkHops = 40;       // as the kernel's own limit
constexpr size_t kMaxTempBase = 96;    // keeps the temporary name under NAME_MAX
constexpr int kTempAttempts = 100;
constexpr int kCommitAttempts = 3;     // fresh temporary files when its name is taken over
constexpr int kTakenOver = -1;         // finish(): that happened once more
constexpr int kChanged = -2;           // check_writable(): another file came meanwhile
constexpr int kKept = -3;              // check_replaceable(): the file may not be replaced
constexpr size_t kCopyBlock = 64 * 1024;

// A folder descriptor for the later *at() calls.  Without read permission on
// the folder, an O_PATH descriptor still serves them, all but the fsync.
int open_folder(int at, const char* path) {
  int fd = openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = openat(at, path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// Opens the folder of `path` (`length` bytes), relative to `at`, and copies
// its last component into `name`.  False with errno set.
bool open_parent(int at, const char* path, size_t length, int* folder,
                 char (&name)[NAME_MAX + 1]) {
  const char* slash = static_cast<const char*>(memrchr(path, '/', length));
  const char* last = slash ? slash + 1 : path;
  size_t last_length = static_cast<size_t>(path + length - last);
  if (last_length == 0) {  // "dir/" names no file to replace
    errno = EISDIR;
    return false;
  }
  if (last_length > NAME_MAX || length > PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  char dir[PATH_MAX + 1];
  size_t dir_length = slash == nullptr ? 0 : slash == path ? 1 : static_cast<size_t>(slash - path);
  if (dir_length == 0) {
    std::strcpy(dir, ".");
  } else {
    std::memcpy(dir, path, dir_length);
    dir[dir_length] = '\0';
  }
  int fd = open_folder(at, dir);
  if (fd < 0) return false;
  *folder = fd;
  std::memcpy(name, last, last_length);
  name[last_length] = '\0';
  return true;
}

// Names the file that the symbolic link `name` in `*folder` leads to: on
// true, *folder and `name` are the folder and the name that the last link
// gives.  This only finds a name; whether a link may be followed, and what
// it reaches, is the kernel's answer, which the caller compares this with.
bool name_link_target(int* folder, char (&name)[NAME_MAX + 1]) {
  char link[PATH_MAX + 1];
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    if (fstatat(*folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
      return true;  // the caller's comparison tells whether this is the file
    }
    ssize_t n = readlinkat(*folder, name, link, sizeof link);
    if (n < 0) return false;
    if (n == static_cast<ssize_t>(sizeof link)) {
      errno = ENAMETOOLONG;
      return false;
    }
    link[n] = '\0';
    int next = -1;
    if (!open_parent(*folder, link, static_cast<size_t>(n), &next, name)) return false;
    ::close(*folder);
    *folder = next;
  }
  errno = ELOOP;
  return false;
}

bool names_file(int folder, const char* name, dev_t dev, ino_t ino) {
  struct stat st;
  return fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev &&
         st.st_ino == ino;
}

// True when `name` is the root of a mount (a bind-mounted file): rename()
// cannot replace it.
bool is_mount_root(int folder, const char* name, const struct stat& st) {
#ifdef SYS_statx
  // The system call, not glibc's statx(), which the wheels' glibc 2.17 lacks.
  struct statx sx;
  if (syscall(SYS_statx, folder, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) == 0 &&
      (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
#endif
  // Without that attribute, a file on another device than its folder is a
  // mount root; a bind mount within one file system goes unnoticed here, and
  // its rename fails with EBUSY after the transfer, the file untouched.
  struct stat folder_st;
  return fstat(folder, &folder_st) == 0 && folder_st.st_dev != st.st_dev;
}

// The process's umask, read without changing it (umask() would, for every
// thread at once).  False when /proc does not tell.
bool read_umask(mode_t* mask) {
  int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];  // "Umask:" is the second line, after the short "Name:"
  ssize_t n = read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* at = std::strstr(text, "\nUmask:\t");
  if (at == nullptr) return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(at + 8, &end, 8);
  if (end == at + 8) return false;
  *mask = static_cast<mode_t>(value & 0777);
  return true;
}

void temporary_name(const char* base, char (&out)[NAME_MAX + 1]) {
  unsigned char random[8];
  // The system call, not glibc's getrandom(): that wrapper came with glibc 2.25,
  // and the wheels run on glibc 2.17.  A kernel without it answers ENOSYS.
  if (syscall(SYS_getrandom, random, sizeof random, 0) != static_cast<long>(sizeof random)) {
    // Uniqueness comes from O_EXCL; the random part only avoids retries.  The
    // counter is the process's, shared by interpreters that may hold no common GIL.
    static std::atomic<unsigned long> counter{0};
    unsigned long v = static_cast<unsigned long>(getpid()) * 1000003UL + ++counter;
    std::memcpy(random, &v, sizeof random < sizeof v ? sizeof random : sizeof v);
  }
  char hex[2 * sizeof random + 1];
  for (size_t i = 0; i < sizeof random; ++i) {
    static const char digits[] = "0123456789abcdef";
    hex[2 * i] = digits[random[i] >> 4];
    hex[2 * i + 1] = digits[random[i] & 15];
  }
  hex[sizeof hex - 1] = '\0';
  snprintf(out, sizeof out, ".%.*s.%s.part", static_cast<int>(kMaxTempBase), base, hex);
}

// make(name) under fresh temporary names beside `base`, until it succeeds or
// fails for another reason than the name being taken: its result (-1 with
// errno set on failure), the name it was given in `name`.
template <class Make>
int under_fresh_name(const char* base, char (&name)[NAME_MAX + 1], Make make) {
  int result = -1;
  for (int attempt = 0; result < 0 && attempt < kTempAttempts; ++attempt) {
    temporary_name(base, name);
    result = make(name);
    if (result < 0 && errno != EEXIST) break;
  }
  return result;
}

// Copies all of `from` into `to`; 0 or an errno value.
int copy_file(int from, int to) {
  static_assert(kCopyBlock <= 1024 * 1024, "a stack buffer");
  char block[kCopyBlock];
  for (off_t offset = 0;;) {
    ssize_t n = pread(from, block, sizeof block, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, block + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return errno;
      done += w;
    }
    offset += n;
  }
}

// False for "" and for a path ending in "/".
bool names_a_file(PyObject* path) {
  Py_ssize_t length = PyBytes_GET_SIZE(path);
  return length > 0 && PyBytes_AS_STRING(path)[length - 1] != '/';
}

}  // namespace

DownloadTarget::~DownloadTarget() {
  // Normally commit() or discard() has run; this covers an early return.
  release();
}

// Opens the folder of `path` and looks its last component up.  A symbolic
// link there is the kernel's to follow: see follow_link().  On Place,
// folder_ and name_ hold where the file goes, *exists says whether a file is
// there to replace and *st is its status.  On Error, errno is set.
DownloadTarget::Found DownloadTarget::locate(const char* path, struct stat* st, bool* exists) {
  if (!open_parent(AT_FDCWD, path, std::strlen(path), &folder_, name_)) return Found::Error;
  if (fstatat(folder_, name_, st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return Found::Error;
    *exists = false;
    return Found::Place;
  }
  *exists = true;
  return S_ISLNK(st->st_mode) ? follow_link(st, exists) : Found::Place;
}

// The link is followed by the kernel, as open(path, "wb") would follow it,
// so its rules apply: a nosymfollow mount, protected_symlinks in sticky
// folders, search permission, the limit on links.  An existing file is
// opened with O_PATH (nothing of a device or FIFO runs); for a dangling link,
// the kernel creates the file it leads to, empty and with no permission
// bits, which the download then replaces, or removes if it fails.  Finding
// the folder needs the link's text, but only as a name to check: the file
// found under it must be the very file the kernel reached (device and inode
// of a descriptor still open), or the download is refused.  The text alone
// never decides where the data goes.
DownloadTarget::Found DownloadTarget::follow_link(struct stat* st, bool* exists) {
  bool create = false;
  target_ = openat(folder_, name_, O_PATH | O_CLOEXEC);
  if (target_ < 0 && errno == ENOENT) {
    create = true;
    target_ = openat(folder_, name_, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  }
  if (target_ < 0 || fstat(target_, st) != 0) return Found::Error;
  if (!S_ISREG(st->st_mode)) return Found::Direct;
  // Empty and without permission bits: the file this open made (if another
  // process made the same file meanwhile, it was equally empty).
  created_ = create && st->st_size == 0 && (st->st_mode & 07777) == 0;
  if (!name_link_target(&folder_, name_) || !names_file(folder_, name_, st->st_dev, st->st_ino)) {
    created_ = false;  // nothing to remove it by
    return Found::Unnamed;
  }
  *exists = !created_;
  return Found::Place;
}

// Replacing goes through the folder, which would get past the rules for
// writing the file itself: its permission bits, and fs.protected_regular,
// which keeps a process from opening another user's file in a sticky,
// world-writable folder with O_CREAT.  The kernel applies them to an open as
// open(path, "wb") makes it, without truncating; a program running from the
// file (ETXTBSY) passes, since the file is not written in place.  The
// descriptor stays open in in_place_, for a file that is written in place
// after all (-1 after ETXTBSY).  0, an errno value or kChanged.
int DownloadTarget::check_writable(const struct stat& st) {
  int fd = openat(folder_, name_, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                      O_CLOEXEC, 0);
  if (fd < 0) return errno == ETXTBSY ? 0 : errno;
  struct stat now;
  int error = fstat(fd, &now) != 0 ? errno : 0;
  if (error == 0 && (now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
    // Another file meanwhile; if the name was gone, this open made an empty
    // one, which goes again.
    if (now.st_size == 0 && (now.st_mode & 07777) == 0 &&
        names_file(folder_, name_, now.st_dev, now.st_ino)) {
      unlinkat(folder_, name_, 0);
    }
    error = kChanged;
  }
  if (error != 0) {
    ::close(fd);
    return error;
  }
  in_place_ = fd;
  return 0;
}

// Whether the kernel lets the file be replaced: 0, kKept, kChanged or an
// errno value.  A rename over a file needs what removing it needs.  Of a
// process that may write the file and the folder, only a sticky folder asks
// more (the file's owner, the folder's owner, or a privilege over the file),
// so only there is the kernel asked, and without a change: a rename of the
// file onto a new, empty folder of our own first checks that the file may
// leave its name (EPERM or EACCES when not), and only then finds that a file
// cannot replace a folder (EISDIR); nothing has moved either way.  (A link to
// the file would be a probe too, but one that the same rule may forbid us to
// remove again.)  A folder the process may not write to gets no probe folder
// either: kKept.  Where the probe cannot be made for another reason (no room
// for a folder), the file is replaced as elsewhere: that keeps it intact
// whatever happens, and a rename refused after all fails as any failed
// download does.
int DownloadTarget::check_replaceable() {
  struct stat folder_st;
  if (fstat(folder_, &folder_st) != 0) return errno;
  if ((folder_st.st_mode & S_ISVTX) == 0) return 0;
  char probe[NAME_MAX + 1];
  int made = under_fresh_name(name_, probe, [&](const char* name) {
    return mkdirat(folder_, name, 0700);
  });
  if (made != 0) return errno == EACCES || errno == EPERM ? kKept : 0;
  struct stat probe_st;
  if (fstatat(folder_, probe, &probe_st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (renameat(folder_, name_, folder_, probe) == 0) {
    // Only the folder's owner or root can have put a file in our folder's
    // place: the destination went there, and goes back.
    renameat(folder_, probe, folder_, name_);
    return kChanged;
  }
  int result = errno == EPERM || errno == EACCES ? kKept : errno == ENOENT ? kChanged : 0;
  if (names_file(folder_, probe, probe_st.st_dev, probe_st.st_ino)) {
    unlinkat(folder_, probe, AT_REMOVEDIR);
  }
  return result;
}

bool DownloadTarget::prepare(const Call& c, PyObject* destination) {
  destination_ = Ref::borrow(destination);
  if (PyLong_Check(destination)) return open_directly(c);  // a file descriptor

  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(destination, &encoded)) return false;  // open()'s errors
  Ref path = Ref::steal(encoded);
  if (!names_a_file(path.get())) return open_directly(c);
  struct stat st;
  bool exists = false;
  Found found;
  int error = 0;
  bool mount_root = false;
  Py_BEGIN_ALLOW_THREADS
  found = locate(PyBytes_AS_STRING(path.get()), &st, &exists);
  error = errno;
  // A device, a FIFO or a mount point: renaming over it would replace it, or
  // fail, instead of writing to it.
  if (found == Found::Place && exists) {
    mount_root = S_ISREG(st.st_mode) && is_mount_root(folder_, name_, st);
    if (!S_ISREG(st.st_mode) || mount_root) found = Found::Direct;
  }
  if (found == Found::Place && exists) {
    error = check_writable(st);
    if (error == 0) error = check_replaceable();
    if (error == kKept) {
      found = Found::InPlace;
    } else if (error != 0) {
      found = Found::Error;
    }
  }
  Py_END_ALLOW_THREADS
  if (found == Found::InPlace) return write_in_place();
  if (found != Found::Place) {
    release();
    if (found == Found::Direct) return open_directly(c);
    if (found == Found::Unnamed) {
      return raise_message(ENOENT, "The file this link leads to has no name to replace it by",
                           destination_.get());
    }
    if (error == kChanged) {
      return raise_message(EAGAIN, "The file was replaced while the download was being "
                           "prepared; nothing was written", destination_.get());
    }
    return raise_os_error(error);
  }
  if (exists) {
    replaces_ = true;
    mode_ = st.st_mode & 07777;
    uid_ = st.st_uid;
    gid_ = st.st_gid;
  } else {
    // What open(path, "wb") gives a new file; without the umask, only the
    // owner's bits, the safe side.
    mode_t mask = 0;
    mode_ = read_umask(&mask) ? 0666 & ~mask : 0600;
  }
  return open_temporary();
}

// Renaming over a device or FIFO would replace it, a mount point cannot be
// renamed over, and a file descriptor has no name: these are written as
// open(destination, "wb") gives them.  So are "" and "dir/", which name no
// file: open() refuses them with its own error, before anything is sent.
bool DownloadTarget::open_directly(const Call& c) {
  Ref open = global(c, name::open);
  if (!open) return false;
  file_ = call(open.get(), {destination_.get(), c.name(name::mode_wb)});
  return static_cast<bool>(file_);
}

// A file the kernel lets the process write but not replace is written as
// open(path, "wb") writes it: emptied before anything is sent, then written
// through the descriptor check_writable() opened, so that the data goes to
// the file that was checked, whatever the name leads to meanwhile.  Without
// that descriptor the file is a running program's, which open() refuses.
bool DownloadTarget::write_in_place() {
  int error = 0;
  if (in_place_ < 0) error = ETXTBSY;
  Py_BEGIN_ALLOW_THREADS
  if (error == 0) {
    int flags = fcntl(in_place_, F_GETFL);
    if (flags < 0 || fcntl(in_place_, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ftruncate(in_place_, 0) != 0) {
      error = errno;
    }
  }
  if (error != 0) release();
  Py_END_ALLOW_THREADS
  if (error != 0) return raise_os_error(error);
  // closefd=0, as for the temporary file: the descriptor is this object's.
  file_ = Ref::steal(PyFile_FromFd(in_place_, nullptr, "wb", -1, nullptr, nullptr, nullptr, 0));
  if (!file_) {
    discard();
    return false;
  }
  return true;
}

bool DownloadTarget::raise_os_error(int error) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, destination_.get());
  return false;
}

bool DownloadTarget::raise_message(int error, const char* text, PyObject* filename) {
  Ref exception = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", error, text, filename));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())),
                                 exception.get());
  return false;
}

// Owner-only while the data arrives: others get to read it, if the final
// mode lets them, only once it is complete and in place.  O_EXCL never
// follows a name planted in advance, a symbolic link included.
int DownloadTarget::create_temporary() {
  int fd = under_fresh_name(name_, temporary_, [&](const char* name) {
    return openat(folder_, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  });
  if (fd < 0) {
    int error = errno;
    temporary_[0] = '\0';
    return error;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    unlinkat(folder_, temporary_, 0);
    temporary_[0] = '\0';
    ::close(fd);
    return error;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  temp_uid_ = st.st_uid;
  temp_gid_ = st.st_gid;
  return 0;
}

bool DownloadTarget::open_temporary() {
  int error;
  Py_BEGIN_ALLOW_THREADS
  error = create_temporary();
  if (error == 0 && in_place_ >= 0) {
    // Not written to: held open, it would keep the old file from being run.
    ::close(in_place_);
    in_place_ = -1;
  }
  Py_END_ALLOW_THREADS
  // No temporary file beside a file in a folder the process may not write
  // to: the file is written in place, where open() writes it.  A new file
  // could not be made there either: open()'s own error.
  if ((error == EACCES || error == EPERM) && replaces_) return write_in_place();
  if (error != 0) {
    release();
    return raise_os_error(error);
  }
  // closefd=0: the descriptor stays this object's to close, exactly once,
  // even when io.open fails after it took it.
  file_ = Ref::steal(PyFile_FromFd(fd_, nullptr, "wb", -1, nullptr, nullptr, nullptr, 0));
  if (!file_) {
    discard();
    return false;
  }
  return true;
}

bool DownloadTarget::names_temporary() const {
  return names_file(folder_, temporary_, dev_, ino_);
}

// Owner and group before the mode: a change of owner clears set-id bits.
// What the process may not set stays its own: the owner alone when it may
// not give the file away, although it may keep the group (a member of it),
// or both.  A set-id bit is not handed on to an owner or group other than
// the old file's.
int DownloadTarget::set_attributes() {
  mode_t mode = mode_;
  if (replaces_) {
    bool owner = uid_ == temp_uid_;
    bool group = gid_ == temp_gid_;
    if (!(owner && group)) {
      if (fchown(fd_, uid_, gid_) == 0) {
        owner = group = true;
      } else if (errno != EPERM && errno != EINVAL) {
        return errno;
      } else if (!group) {
        if (fchown(fd_, static_cast<uid_t>(-1), gid_) == 0) {
          group = true;
        } else if (errno != EPERM && errno != EINVAL) {
          return errno;
        }
      }
    }
    if (!owner) mode &= ~S_ISUID;
    if (!group) mode &= ~S_ISGID;
  }
  if (fchmod(fd_, mode) != 0) return errno;
  if ((mode & (S_ISUID | S_ISGID)) != 0) {
    // Writing over the old file would have cleared its set-id bits unless
    // the process may keep them (CAP_FSETID); which ones go is the kernel's
    // rule.  A truncation to the same size is such a write: the kernel
    // applies the rule to the new file.  Failing that, none are kept.
    struct stat st;
    if (fstat(fd_, &st) != 0 || ftruncate(fd_, st.st_size) != 0) {
      if (fchmod(fd_, mode & ~(S_ISUID | S_ISGID)) != 0) return errno;
    }
  }
  return fsync(fd_) != 0 ? errno : 0;
}

// Someone who may write to the folder put another file under the temporary
// name.  What they put there is theirs, and stays; the data, still held by
// fd_, goes into a new temporary file.
int DownloadTarget::replace_taken_name() {
  int old = fd_;
  fd_ = -1;
  int error = create_temporary();
  if (error == 0) error = copy_file(old, fd_);
  ::close(old);
  return error;
}

int DownloadTarget::finish() {
  for (int attempt = 0;; ++attempt) {
    if (int error = set_attributes()) return error;
    if (names_temporary()) break;
    if (attempt == kCommitAttempts) {
      // Named for the message; the folder is not used by this name.
      char fd_path[32];
      snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", folder_);
      ssize_t n = readlink(fd_path, taken_in_, sizeof taken_in_ - 1);
      taken_in_[n > 0 ? n : 0] = '\0';
      return kTakenOver;
    }
    if (int error = replace_taken_name()) return error;
  }
  if (renameat(folder_, temporary_, folder_, name_) != 0) return errno;
  temporary_[0] = '\0';
  created_ = false;  // replaced
  // The rename itself is durable only once the folder is.  Folders that
  // cannot be flushed (EINVAL), or that were opened without read permission
  // (EBADF), are left to the file system.
  if (fsync(folder_) != 0 && errno != EINVAL && errno != EBADF) return errno;
  return 0;
}

bool DownloadTarget::commit() {
  if (fd_ < 0) {  // written directly: only descriptors to close
    discard();
    return true;
  }
  int error;
  Py_BEGIN_ALLOW_THREADS
  error = finish();
  release();
  Py_END_ALLOW_THREADS
  if (error == kTakenOver) {
    // Someone who may write to the folder keeps putting files under the
    // temporary file's name: the destination is left as it was.
    Ref folder;
    if (taken_in_[0] != '\0') folder = Ref::steal(PyUnicode_DecodeFSDefault(taken_in_));
    if (!folder) {
      PyErr_Clear();
      folder = Ref::borrow(destination_.get());
    }
    char text[160];
    snprintf(text, sizeof text,
             "Another file took the temporary file's name %d times in the destination's "
             "folder; the download was not put in place",
             kCommitAttempts + 1);
    return raise_message(EEXIST, text, folder.get());
  }
  return error == 0 || raise_os_error(error);
}

void DownloadTarget::discard() {
  if (fd_ < 0 && !created_ && in_place_ < 0 && folder_ < 0) return;
  Py_BEGIN_ALLOW_THREADS
  release();
  Py_END_ALLOW_THREADS
}

void DownloadTarget::release() {
  if (temporary_[0] != '\0' && fd_ >= 0 && names_temporary()) unlinkat(folder_, temporary_, 0);
  temporary_[0] = '\0';
  struct stat st;
  if (created_ && fstat(target_, &st) == 0 && names_file(folder_, name_, st.st_dev, st.st_ino)) {
    unlinkat(folder_, name_, 0);  // the empty file a dangling link led to
  }
  created_ = false;
  if (fd_ >= 0) ::close(fd_);
  if (folder_ >= 0) ::close(folder_);
  if (target_ >= 0) ::close(target_);
  if (in_place_ >= 0) ::close(in_place_);
  fd_ = folder_ = target_ = in_place_ = -1;
}

}  // namespace quorvan::session
