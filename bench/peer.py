"""The session written as a plain Python class with the same methods and
the same steps: the peer a user would otherwise write, against which the
call overhead of the extension is measured.  It does the extension's work
too where the extension does more than a first draft would: a keep-alive
firing ends a chain that a stop or newer start replaced, arming stops while
the interpreter shuts down, and the existence test sends TYPE I before SIZE.
`CLASS_FTPClient` downloads by writing the local file directly
(open(name, "wb")); `AtomicDownload` replaces it atomically, as the
extension does."""

import os
import stat
import threading
from ftplib import FTP, error_perm
from typing import List

UMASK = os.umask(0o022)  # read once, at import, while one thread runs
os.umask(UMASK)

SHUTDOWN_REFUSAL = "can't create new thread at interpreter shutdown"


class TimerGuard:
    """No timer is armed once threading's shutdown hook has run, and the hook
    waits (boundedly) for timers being armed to have started."""

    stopping = False
    hook_registered = False
    arming = 0

    def shutdown(self):
        self.stopping = True
        import time
        deadline = time.monotonic() + 5
        while self.arming > 0 and time.monotonic() < deadline:
            time.sleep(0.001)


_guard = TimerGuard()


def _register_guard(guard):
    guard.hook_registered = True
    import threading as real
    register = getattr(real, "_register_atexit", None)
    if register is None:
        return
    try:
        register(guard.shutdown)
    except RuntimeError:
        guard.stopping = True


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
        try:
            if self.mobj_FTP:
                self.CUF_Close()
            with self.mobj_Lock:
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
            return True
        except Exception as e:
            self.mb_Connected = False
            raise RuntimeError(f"FTP Open failed: {e}")

    def CUF_Close(self) -> None:
        """
        關閉 FTP 連線並停止 KeepAlive
        """
        self.CUF_StopKeepAliveTimer()
        if self.mobj_FTP:
            try:
                with self.mobj_Lock:
                    self.mobj_FTP.quit()
            except Exception:
                self.mobj_FTP.close()
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

    def _arm_timer(self):
        guard = _guard
        if not guard.hook_registered:
            _register_guard(guard)
        if guard.stopping:
            return
        guard.arming += 1
        try:
            t = threading.Timer(self.mi_KeepAliveInterval, self.CUF__OnKeepAliveTimer)
            self.mobj_KeepAliveTimer = t
            t.daemon = True
            t.start()
        except RuntimeError as e:
            if str(e) != SHUTDOWN_REFUSAL:
                raise
            guard.stopping = True
        finally:
            guard.arming -= 1

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
        self._arm_timer()

    def CUF_StartKeepAliveTimer(self, Pmi_Interval: int = 30) -> None:
        self.mi_KeepAliveInterval = Pmi_Interval
        self.mb_TimerRunning = True
        self._arm_timer()

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
    flushed after.  (It leaves out the extension's handling of links,
    devices, FIFOs and mount points, so it does no more system calls than the
    extension for a plain file.)  `durable = False` leaves out both fsync
    calls: what they cost is the difference."""

    durable = True

    def CUF_DownloadFile(self, Pms_RemoteFile: str, Pms_LocalFile: str,
                         Pmi_BlockSize: int = 8192) -> None:
        folder, base = os.path.split(Pms_LocalFile)
        dir_fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            try:
                mode = stat.S_IMODE(os.stat(base, dir_fd=dir_fd, follow_symlinks=False).st_mode)
            except FileNotFoundError:
                mode = 0o666 & ~UMASK
            temporary = f".{base}.{os.urandom(8).hex()}.part"
            fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                         | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
            try:
                with open(fd, "wb", closefd=False) as f:
                    with self.mobj_Lock:
                        self.mobj_FTP.retrbinary(f"RETR {Pms_RemoteFile}", f.write,
                                                 blocksize=Pmi_BlockSize)
                os.fchmod(fd, mode)
                if self.durable:
                    os.fsync(fd)
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
