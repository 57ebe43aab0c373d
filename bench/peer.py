"""The session written as a plain Python class with the same methods and
the same steps: the peer a user would otherwise write, against which the
call overhead of the extension is measured.  It does the extension's work
too where the extension does more than a first draft would: an open and a
close are one step under the lock against other threads' opens and closes,
a start checks its interval as the timer's wait would, a keep-alive firing
ends a chain that a stop or newer start replaced, arming stops while the
interpreter shuts down (a hook registered with atexit at import, a flag and
a count, finalisation checked at every arming), and the existence test
sends TYPE I before SIZE.
`CLASS_FTPClient` downloads by writing the local file directly
(open(name, "wb")); `AtomicDownload` replaces it atomically, as the
extension does."""

import atexit
import builtins
import errno
import os
import stat
import sys
import threading
from operator import index
from sys import is_finalizing
from ftplib import FTP, error_perm
from typing import List

UMASK = os.umask(0o022)  # read once, at import, while one thread runs
os.umask(UMASK)

SHUTDOWN_REFUSAL = "can't create new thread at interpreter shutdown"
# From 3.14 a timer's wait refuses NaN before it compares; from 3.15 it takes
# any real number by its __float__.
NAN_REFUSED = sys.version_info >= (3, 14)
REAL_WAIT = sys.version_info >= (3, 15)
TIMEOUT_MAX_US = threading.TIMEOUT_MAX * 1e6
ShuttingDown = getattr(builtins, "PythonFinalizationError", RuntimeError)


class TimerGuard:
    """No timer is armed once the shutdown hook has run or finalisation has
    begun, and the hook waits (boundedly) for timers being armed to have
    started.  The hook is registered with atexit once, at import."""

    stopping = False
    arming = 0

    def shutdown(self):
        self.stopping = True
        import time
        deadline = time.monotonic() + 5
        while self.arming > 0 and time.monotonic() < deadline:
            time.sleep(0.001)


_guard = TimerGuard()
atexit.register(_guard.shutdown)


def _check_interval(interval):
    """Refuses on the caller's thread what the timer's wait would refuse on
    its own: a comparison with 0, then, for a positive interval, its
    conversion to a lock's time-out."""
    floating = isinstance(interval, float)
    if floating and NAN_REFUSED and interval != interval:
        raise ValueError("Invalid value NaN (not a number)")
    try:
        if interval > 0:
            if floating:
                seconds = interval
            elif REAL_WAIT and not hasattr(type(interval), "__index__"):
                seconds = float(interval)
            else:
                seconds = index(interval)
            if seconds * 1e9 >= 9.2e18 or seconds * 1e6 > TIMEOUT_MAX_US:
                raise OverflowError("keep-alive interval is too large")
    except TypeError:
        raise TypeError("keep-alive interval must be a number of seconds, "
                        f"not '{type(interval).__name__}'") from None


def _arm_timer(s, firing):
    """Arms the next timer unless the interpreter is shutting down; then the
    chain is no longer running, and a start (not a firing) fails."""
    guard = _guard
    if is_finalizing():
        guard.stopping = True
    if not guard.stopping:
        guard.arming += 1
        try:
            t = threading.Timer(s.mi_KeepAliveInterval, s.CUF__OnKeepAliveTimer)
            s.mobj_KeepAliveTimer = t
            t.daemon = True
            t.start()
            return
        except RuntimeError as e:
            if str(e) != SHUTDOWN_REFUSAL:
                raise
            guard.stopping = True
        finally:
            guard.arming -= 1
    s.mb_TimerRunning = False
    if not firing:
        raise ShuttingDown(SHUTDOWN_REFUSAL)


def _close_at_exit(s):
    """A close at finalisation, when a daemon thread may hold the lock for
    good: QUIT only if the lock is free now."""
    lock = s.mobj_Lock
    if lock.acquire(False):
        try:
            target = s.mobj_FTP
            if target is not None:
                try:
                    target.quit()
                except Exception:
                    target.close()
        finally:
            lock.release()
    s.mobj_FTP = None
    s.mb_Connected = False


class CLASS_FTPClient:
    def __init__(self):
        self.mobj_FTP = None
        self.mb_Connected = False
        self.ms_Encoding = "utf-8"
        self.mobj_KeepAliveTimer = None
        self.mi_KeepAliveInterval = 30
        self.mb_TimerRunning = False
        self.mobj_Lock = threading.Lock()

    def CUF_Open(self, Pms_Host: str, Pmi_Port: int = 21, Pms_User: str = "",
                 Pms_Password: str = "", Pmi_Timeout: int = 10, Pmb_Passive: bool = True,
                 Pms_Encoding: str = "utf-8", Pmi_KeepAliveInterval: int = 30) -> bool:
        """
        開啟 FTP 連線並啟動 KeepAlive Timer
        """
        marked = False
        try:
            if self.mobj_FTP:
                self.CUF_Close()
            # One step against other threads' opens and closes: a connection
            # that another open installed meanwhile is ended first, and the
            # session is marked open, its chain running, before the lock is
            # released.
            with self.mobj_Lock:
                try:
                    previous = self.mobj_FTP
                    if previous:
                        if self.mb_TimerRunning:
                            self.CUF_StopKeepAliveTimer()
                        try:
                            previous.quit()
                            self.mobj_FTP = None
                            self.mb_Connected = False
                        except Exception:
                            previous.close()
                            self.mobj_FTP = None
                            self.mb_Connected = False
                    self.mobj_FTP = FTP()
                    self.mobj_FTP.connect(Pms_Host, Pmi_Port, timeout=Pmi_Timeout)
                    if Pms_User:
                        self.mobj_FTP.login(Pms_User, Pms_Password)
                    else:
                        self.mobj_FTP.login()
                    self.mobj_FTP.set_pasv(Pmb_Passive)
                    self.mobj_FTP.encoding = Pms_Encoding
                    self.ms_Encoding = Pms_Encoding
                    self.mb_Connected = True
                    self.CUF_StartKeepAliveTimer(Pmi_KeepAliveInterval)
                except Exception:
                    self.mb_Connected = False
                    marked = True
                    raise
            return True
        except Exception as e:
            if not marked:
                self.mb_Connected = False
            raise RuntimeError(f"FTP Open failed: {e}")

    def CUF_Close(self) -> None:
        """
        關閉 FTP 連線並停止 KeepAlive
        """
        self.CUF_StopKeepAliveTimer()
        if not self.mobj_FTP:
            self.mobj_FTP = None
            self.mb_Connected = False
            return
        if is_finalizing():
            _close_at_exit(self)
            return
        # Only the connection found under the lock is ended, and cleared
        # before the lock is released.
        target = None
        quitting = False
        try:
            with self.mobj_Lock:
                target = self.mobj_FTP
                if target is not None:
                    if self.mb_TimerRunning:
                        self.CUF_StopKeepAliveTimer()
                    quitting = True
                    target.quit()
                self.mobj_FTP = None
                self.mb_Connected = False
        except Exception:
            if target is not None and not quitting:
                raise
            current = self.mobj_FTP
            if target is None:
                target = current
            if current is not None:
                if current is not target:
                    return
                target.close()
                now = self.mobj_FTP
                if now is not target and now is not None:
                    return
            self.mobj_FTP = None
            self.mb_Connected = False

    def CUF_KeepAlive(self) -> bool:
        """
        傳送 NOOP，避免 FTP Server timeout
        """
        if not self.mobj_FTP:
            return False
        try:
            with self.mobj_Lock:
                self.mobj_FTP.voidcmd("NOOP")
            return True
        except Exception:
            self.mb_Connected = False
            return False

    def CUF_CheckAlive(self) -> bool:
        """
        檢查連線是否仍然存在
        """
        return self.CUF_KeepAlive()

    def CUF__OnKeepAliveTimer(self) -> None:
        if not self.mb_TimerRunning:
            return
        # A firing of a chain that a stop or a newer start replaced ends it.
        # The real threading module says which thread runs (the module
        # global may be a stand-in).
        import threading as real
        current = real.current_thread()
        if isinstance(current, real.Timer) and self.mobj_KeepAliveTimer is not current:
            return
        if self.mb_Connected:
            self.CUF_KeepAlive()
        _arm_timer(self, True)

    def CUF_StartKeepAliveTimer(self, Pmi_Interval: int = 30) -> None:
        _check_interval(Pmi_Interval)
        self.mi_KeepAliveInterval = Pmi_Interval
        self.mb_TimerRunning = True
        _arm_timer(self, False)

    def CUF_StopKeepAliveTimer(self) -> None:
        self.mb_TimerRunning = False
        if self.mobj_KeepAliveTimer:
            self.mobj_KeepAliveTimer.cancel()
            self.mobj_KeepAliveTimer = None

    def CUF_ChangeDir(self, Pms_Path: str) -> None:
        with self.mobj_Lock:
            self.mobj_FTP.cwd(Pms_Path)

    def CUF_GetCurrentDir(self) -> str:
        with self.mobj_Lock:
            return self.mobj_FTP.pwd()

    def CUF_ListFiles(self) -> List[str]:
        with self.mobj_Lock:
            return self.mobj_FTP.nlst()

    def CUF_MakeDir(self, Pms_DirName: str) -> None:
        with self.mobj_Lock:
            self.mobj_FTP.mkd(Pms_DirName)

    def CUF_RemoveDir(self, Pms_DirName: str) -> None:
        with self.mobj_Lock:
            self.mobj_FTP.rmd(Pms_DirName)

    def CUF_DeleteFile(self, Pms_FileName: str) -> None:
        with self.mobj_Lock:
            self.mobj_FTP.delete(Pms_FileName)

    def CUF_RenameFile(self, Pms_OldName: str, Pms_NewName: str) -> None:
        with self.mobj_Lock:
            self.mobj_FTP.rename(Pms_OldName, Pms_NewName)

    def CUF_FileExists(self, Pms_FileName: str) -> bool:
        try:
            with self.mobj_Lock:
                ftp = self.mobj_FTP
                size = ftp.size
                ftp.voidcmd("TYPE I")
                size(Pms_FileName)
            return True
        except error_perm:
            return False

    def CUF_DownloadFile(self, Pms_RemoteFile: str, Pms_LocalFile: str,
                         Pmi_BlockSize: int = 8192) -> None:
        """
        下載檔案（binary）
        """
        with open(Pms_LocalFile, "wb") as f:
            with self.mobj_Lock:
                self.mobj_FTP.retrbinary(f"RETR {Pms_RemoteFile}", f.write,
                                         blocksize=Pmi_BlockSize)

    def CUF_UploadFile(self, Pms_LocalFile: str, Pms_RemoteFile: str,
                       Pmi_BlockSize: int = 8192) -> None:
        """
        上傳檔案（binary）
        """
        with open(Pms_LocalFile, "rb") as f:
            with self.mobj_Lock:
                self.mobj_FTP.storbinary(f"STOR {Pms_RemoteFile}", f, blocksize=Pmi_BlockSize)

    def CUF_IsConnected(self) -> bool:
        return self.mb_Connected


class AtomicDownload(CLASS_FTPClient):
    """The same class with the extension's atomic download: the folder held
    open, a new owner-only temporary file in it, given the final mode and
    flushed to disk, renamed over the destination on success, the folder
    flushed after.  For a plain file it makes the extension's system calls:
    an existing destination is checked for being a mount point and for
    being writable, the new file's identity is recorded and checked again
    before the rename.  (It leaves out the extension's handling of links,
    devices and FIFOs, which a plain file does not reach.)  `durable = False`
    leaves out both fsync calls: what they cost is the difference."""

    durable = True

    def CUF_DownloadFile(self, Pms_RemoteFile: str, Pms_LocalFile: str,
                         Pmi_BlockSize: int = 8192) -> None:
        folder, base = os.path.split(Pms_LocalFile)
        dir_fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            try:
                found = os.stat(base, dir_fd=dir_fd, follow_symlinks=False)
                mode = stat.S_IMODE(found.st_mode)
                if os.fstat(dir_fd).st_dev != found.st_dev:
                    raise OSError(errno.EBUSY, "a mount point is not replaced", Pms_LocalFile)
                if not os.access(base, os.W_OK, dir_fd=dir_fd, effective_ids=True):
                    raise PermissionError(errno.EACCES, "Permission denied", Pms_LocalFile)
            except FileNotFoundError:
                mode = 0o666 & ~UMASK
            temporary = f".{base}.{os.urandom(8).hex()}.part"
            fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                         | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
            try:
                made = os.fstat(fd)
                with open(fd, "wb", closefd=False) as f:
                    with self.mobj_Lock:
                        self.mobj_FTP.retrbinary(f"RETR {Pms_RemoteFile}", f.write,
                                                 blocksize=Pmi_BlockSize)
                os.fchmod(fd, mode)
                if self.durable:
                    os.fsync(fd)
                now = os.stat(temporary, dir_fd=dir_fd, follow_symlinks=False)
                if now.st_dev != made.st_dev or now.st_ino != made.st_ino:
                    raise OSError(errno.ENOENT, "the temporary file was replaced", temporary)
                os.replace(temporary, base, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
                if self.durable:
                    os.fsync(dir_fd)
            except BaseException:
                os.unlink(temporary, dir_fd=dir_fd)
                raise
            finally:
                os.close(fd)
        finally:
            os.close(dir_fd)
