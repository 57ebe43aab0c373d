#include "session/download_target.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "session/common.h"

namespace quorvan::session {

namespace {

constexpr int kMaxLinkHops = 40;        // as the kernel's own limit
constexpr Py_ssize_t kMaxTempBase = 96;  // keeps the temporary name under NAME_MAX
constexpr int kTempAttempts = 100;

const char* path_of(const Ref& bytes) { return PyBytes_AS_STRING(bytes.get()); }

struct Piece {
  const char* data;
  Py_ssize_t size;
};

Ref concat(std::initializer_list<Piece> pieces) {
  Py_ssize_t total = 0;
  for (const Piece& p : pieces) total += p.size;
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
  if (!out) return out;
  char* at = PyBytes_AS_STRING(out.get());
  for (const Piece& p : pieces) {
    std::memcpy(at, p.data, static_cast<size_t>(p.size));
    at += p.size;
  }
  return out;
}

Piece piece(PyObject* bytes) { return {PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes)}; }

// The directory part of a path ("." when there is none) and its last part.
void split_path(PyObject* path, Ref* dir, Ref* base) {
  const char* p = PyBytes_AS_STRING(path);
  const char* slash = std::strrchr(p, '/');
  if (slash == nullptr) {
    *dir = Ref::steal(PyBytes_FromString("."));
    *base = Ref::borrow(path);
  } else {
    *dir = Ref::steal(PyBytes_FromStringAndSize(p, slash == p ? 1 : slash - p));
    *base = Ref::steal(PyBytes_FromString(slash + 1));
  }
}

// Follows symbolic links in the last component of `path`, so the temporary
// file is made beside the file the data really lands in, and the link itself
// stays a link.  The final name need not exist yet (a dangling link).
Ref resolve_links(PyObject* path, int* error) {
  Ref current = Ref::borrow(path);
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st;
    char link[4096];
    ssize_t n = -1;
    int r;
    Py_BEGIN_ALLOW_THREADS
    r = lstat(path_of(current), &st);
    if (r == 0 && S_ISLNK(st.st_mode)) n = readlink(path_of(current), link, sizeof link);
    Py_END_ALLOW_THREADS
    if (r != 0 || !S_ISLNK(st.st_mode)) return current;
    if (n < 0 || n == static_cast<ssize_t>(sizeof link)) {
      *error = n < 0 ? errno : ENAMETOOLONG;
      return Ref();
    }
    if (link[0] == '/' || std::strchr(path_of(current), '/') == nullptr) {
      current = Ref::steal(PyBytes_FromStringAndSize(link, n));
    } else {
      Ref dir, base;
      split_path(current.get(), &dir, &base);
      if (!dir) return Ref();
      current = concat({piece(dir.get()), {"/", 1}, {link, n}});
    }
    if (!current) return Ref();
  }
  *error = ELOOP;
  return Ref();
}

Ref temporary_name(PyObject* dir, PyObject* base) {
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
  Py_ssize_t base_len = PyBytes_GET_SIZE(base);
  if (base_len > kMaxTempBase) base_len = kMaxTempBase;
  return concat({piece(dir), {"/.", 2}, {PyBytes_AS_STRING(base), base_len}, {".", 1},
                 {hex, 2 * static_cast<Py_ssize_t>(sizeof random)}, {".part", 5}});
}

// False for "" and for a path ending in "/".
bool names_a_file(PyObject* path) {
  Py_ssize_t length = PyBytes_GET_SIZE(path);
  return length > 0 && PyBytes_AS_STRING(path)[length - 1] != '/';
}

}  // namespace

DownloadTarget::~DownloadTarget() {
  // Normally commit() or discard() has run; this covers an early return.
  if (temporary_) ::unlink(path_of(temporary_));
}

bool DownloadTarget::prepare(const Call& c, PyObject* destination) {
  destination_ = Ref::borrow(destination);
  if (PyLong_Check(destination)) return open_directly(c);  // a file descriptor

  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(destination, &encoded)) return false;  // open()'s errors
  Ref path = Ref::steal(encoded);
  if (!names_a_file(path.get())) return open_directly(c);
  // lstat alone decides for a regular file and for a new name (the usual
  // cases); only a symbolic link needs the stat of what it points to.
  struct stat st;
  int r;
  bool link = false;
  Py_BEGIN_ALLOW_THREADS
  r = lstat(path_of(path), &st);
  if (r == 0 && S_ISLNK(st.st_mode)) {
    link = true;
    r = stat(path_of(path), &st);
  }
  Py_END_ALLOW_THREADS
  if (r != 0 && errno != ENOENT) return raise_os_error();
  bool exists = r == 0;
  // A device or FIFO: renaming over it would replace it instead of writing to it.
  if (exists && !S_ISREG(st.st_mode)) return open_directly(c);
  if (exists) {
    // Replacing goes through the directory, which would get past a file the
    // caller may not write: refuse as open(path, "wb") would.
    Py_BEGIN_ALLOW_THREADS
    r = faccessat(AT_FDCWD, path_of(path), W_OK, AT_EACCESS);
    Py_END_ALLOW_THREADS
    if (r != 0) return raise_os_error();
    keep_mode_ = true;
    mode_ = static_cast<unsigned>(st.st_mode & 07777);
  }
  int error = 0;
  target_ = link ? resolve_links(path.get(), &error) : std::move(path);
  if (!target_) {
    if (error == 0) return false;
    errno = error;
    return raise_os_error();
  }
  return open_temporary();
}

// Renaming over a device or FIFO would replace it, and a file descriptor has
// no name: these are written as open(destination, "wb") gives them.  So are
// "" and "dir/", which name no file: open() refuses them with its own error,
// before anything is sent.
bool DownloadTarget::open_directly(const Call& c) {
  Ref open = global(c, n::open);
  if (!open) return false;
  file_ = call(open.get(), {destination_.get(), c.name(n::mode_wb)});
  return static_cast<bool>(file_);
}

bool DownloadTarget::raise_os_error() {
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, destination_.get());
  return false;
}

bool DownloadTarget::open_temporary() {
  Ref dir, base;
  split_path(target_.get(), &dir, &base);
  if (!dir || !base) return false;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < kTempAttempts; ++attempt) {
    Ref name = temporary_name(dir.get(), base.get());
    if (!name) return false;
    // O_EXCL: a name planted in advance (a symlink included) is never followed.
    // Mode 0666 less the umask: what open(path, "wb") gives a new file.
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(path_of(name), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    Py_END_ALLOW_THREADS
    if (fd >= 0) {
      temporary_ = std::move(name);
    } else if (errno != EEXIST) {
      return raise_os_error();
    }
  }
  if (fd < 0) return raise_os_error();
  file_ = Ref::steal(PyFile_FromFd(fd, nullptr, "wb", -1, nullptr, nullptr, nullptr, 1));
  if (!file_) {
    ::close(fd);
    discard();
    return false;
  }
  return true;
}

bool DownloadTarget::commit() {
  if (!temporary_) return true;
  int r = 0;
  Py_BEGIN_ALLOW_THREADS
  if (keep_mode_) r = chmod(path_of(temporary_), mode_);
  if (r == 0) r = rename(path_of(temporary_), path_of(target_));
  Py_END_ALLOW_THREADS
  if (r != 0) {
    int error = errno;
    discard();
    errno = error;
    return raise_os_error();
  }
  temporary_.reset();
  return true;
}

void DownloadTarget::discard() {
  if (!temporary_) return;
  Py_BEGIN_ALLOW_THREADS
  unlink(path_of(temporary_));
  Py_END_ALLOW_THREADS
  temporary_.reset();
}

}  // namespace quorvan::session
