#include "session/download_target.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/stat.h>  // struct statx, which glibc declares only from 2.28
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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
constexpr size_t kCopyBlock = 64 * 1024;

// What locate() found: a file to replace or create, or one to write directly.
enum class Found { Error, Direct, Place };

// A folder descriptor for the later *at() calls.  Without read permission on
// the folder, an O_PATH descriptor still serves them, all but the fsync.
int open_folder(int at, const char* path) {
  int fd = openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = openat(at, path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// Opens the folder of `path` and follows symbolic links in its last
// component, each relative to the folder that holds the link, so the data
// lands where open(path, "wb") would put it while the link itself stays a
// link.  The final name need not exist (a dangling link creates its target).
// On Place: *folder is open, `name` holds the final name, *exists says
// whether it names a file and *st is its lstat.  On Error: errno is set.
Found locate(const char* path, int* folder, char (&name)[NAME_MAX + 1], struct stat* st,
             bool* exists) {
  char link[PATH_MAX + 1];
  char dir[PATH_MAX + 1];
  const char* p = path;
  size_t length = std::strlen(path);
  *folder = -1;
  for (int hop = 0;; ++hop) {
    const char* slash = static_cast<const char*>(memrchr(p, '/', length));
    const char* last = slash ? slash + 1 : p;
    size_t last_length = static_cast<size_t>(p + length - last);
    if (last_length == 0) break;  // a link to "dir/": open() gives the error
    if (last_length > NAME_MAX || length > PATH_MAX) {
      errno = ENAMETOOLONG;
      break;
    }
    size_t dir_length = slash == nullptr ? 0 : slash == p ? 1 : static_cast<size_t>(slash - p);
    if (dir_length == 0) {
      std::strcpy(dir, ".");
    } else {
      std::memcpy(dir, p, dir_length);
      dir[dir_length] = '\0';
    }
    int at = p[0] == '/' || *folder < 0 ? AT_FDCWD : *folder;
    int next = open_folder(at, dir);
    if (next < 0) break;
    if (*folder >= 0) ::close(*folder);
    *folder = next;
    std::memcpy(name, last, last_length);
    name[last_length] = '\0';
    if (fstatat(*folder, name, st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) break;
      *exists = false;
      return Found::Place;
    }
    if (!S_ISLNK(st->st_mode)) {
      *exists = true;
      return Found::Place;
    }
    if (hop == kMaxLinkHops) {
      errno = ELOOP;
      break;
    }
    ssize_t n = readlinkat(*folder, name, link, sizeof link);
    if (n < 0) break;
    if (n == static_cast<ssize_t>(sizeof link)) {
      errno = ENAMETOOLONG;
      break;
    }
    link[n] = '\0';
    p = link;
    length = static_cast<size_t>(n);
  }
  int error = errno;
  bool direct = p[0] != '\0' && p[length - 1] == '/';
  if (*folder >= 0) ::close(*folder);
  *folder = -1;
  errno = error;
  return direct ? Found::Direct : Found::Error;
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
    // Uniqueness comes from O_EXCL; the random part only avoids retries.
    static unsigned long counter = 0;
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
  found = locate(PyBytes_AS_STRING(path.get()), &folder_, name_, &st, &exists);
  error = errno;
  // A device, a FIFO or a mount point: renaming over it would replace it, or
  // fail, instead of writing to it.
  if (found == Found::Place && exists) {
    mount_root = S_ISREG(st.st_mode) && is_mount_root(folder_, name_, st);
    if (!S_ISREG(st.st_mode) || mount_root) found = Found::Direct;
  }
  // Replacing goes through the folder, which would get past a file the
  // caller may not write: refuse as open(path, "wb") would.
  if (found == Found::Place && exists && faccessat(folder_, name_, W_OK, AT_EACCESS) != 0) {
    found = Found::Error;
    error = errno;
  }
  Py_END_ALLOW_THREADS
  if (found != Found::Place) {
    release();
    return found == Found::Direct ? open_directly(c) : raise_os_error(error);
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

bool DownloadTarget::raise_os_error(int error) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, destination_.get());
  return false;
}

// Owner-only while the data arrives: others get to read it, if the final
// mode lets them, only once it is complete and in place.  O_EXCL never
// follows a name planted in advance, a symbolic link included.
int DownloadTarget::create_temporary() {
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < kTempAttempts; ++attempt) {
    temporary_name(name_, temporary_);
    fd = openat(folder_, temporary_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
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
  Py_END_ALLOW_THREADS
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
  struct stat st;
  return fstatat(folder_, temporary_, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev_ &&
         st.st_ino == ino_;
}

// Owner and group before the mode: a change of owner clears set-id bits.
// Where the process may not give the file away, it stays the process's.
int DownloadTarget::set_attributes() {
  if (replaces_ && (uid_ != temp_uid_ || gid_ != temp_gid_) && fchown(fd_, uid_, gid_) != 0 &&
      errno != EPERM && errno != EINVAL) {
    return errno;
  }
  if (fchmod(fd_, mode_) != 0) return errno;
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
    if (attempt == kCommitAttempts) return EAGAIN;
    if (int error = replace_taken_name()) return error;
  }
  if (renameat(folder_, temporary_, folder_, name_) != 0) return errno;
  temporary_[0] = '\0';
  // The rename itself is durable only once the folder is.  Folders that
  // cannot be flushed (EINVAL), or that were opened without read permission
  // (EBADF), are left to the file system.
  if (fsync(folder_) != 0 && errno != EINVAL && errno != EBADF) return errno;
  return 0;
}

bool DownloadTarget::commit() {
  if (fd_ < 0) return true;  // written directly
  int error;
  Py_BEGIN_ALLOW_THREADS
  error = finish();
  release();
  Py_END_ALLOW_THREADS
  return error == 0 || raise_os_error(error);
}

void DownloadTarget::discard() {
  if (fd_ < 0) return;
  Py_BEGIN_ALLOW_THREADS
  release();
  Py_END_ALLOW_THREADS
}

void DownloadTarget::release() {
  if (temporary_[0] != '\0' && fd_ >= 0 && names_temporary()) unlinkat(folder_, temporary_, 0);
  temporary_[0] = '\0';
  if (fd_ >= 0) ::close(fd_);
  if (folder_ >= 0) ::close(folder_);
  fd_ = folder_ = -1;
}

}  // namespace quorvan::session
