"""Call overhead: each method of the extension against the same lines
written inline (the floor: no call at all) and against a plain Python class
with the same methods (bench/peer.py), all on an in-process FTP stand-in
whose methods return at once and a threading stand-in whose timers never
start a thread.  Per-call medians of the thread's CPU time over interleaved
rounds."""

import gc
import os
import stat
import textwrap
import threading
import time
from ftplib import error_perm

import Quorvan

from bench import peer
from bench.common import median, paired_ratio, rotated

# Extension / Python class doing the same work: never slower, and the
# methods that take the lock around ftplib commands clearly faster.
PEER_TARGET = 1.0
LOCKED_COMMAND_TARGET = 0.9
LOCKED_COMMANDS = {"CUF_ChangeDir", "CUF_GetCurrentDir", "CUF_ListFiles", "CUF_MakeDir",
                   "CUF_RemoveDir", "CUF_DeleteFile", "CUF_RenameFile", "CUF_FileExists"}
# The peer that writes in place does less than the extension's atomic
# download: shown, not judged.
UNEQUAL_WORK = {"CUF_DownloadFile, peers write in place"}
MAX_ITERATIONS = 500_000


class StandInFTP:
    """ftplib.FTP's surface; every method returns at once."""

    def __init__(self, *args, **kwargs):
        self.encoding = "latin-1"

    def connect(self, host="", port=0, timeout=None, source_address=None):
        return "220 ready"

    def login(self, user="", passwd="", acct=""):
        return "230 in"

    def set_pasv(self, val):
        pass

    def quit(self):
        return "221 bye"

    def close(self):
        pass

    def voidcmd(self, cmd):
        return "200 ok"

    def cwd(self, dirname):
        return "250 ok"

    def pwd(self):
        return "/"

    def nlst(self, *args):
        return []

    def mkd(self, dirname):
        return dirname

    def rmd(self, dirname):
        return "250 ok"

    def delete(self, filename):
        return "250 ok"

    def rename(self, fromname, toname):
        return "250 ok"

    def size(self, filename):
        return 0

    def retrbinary(self, cmd, callback, blocksize=8192, rest=None):
        return "226 done"

    def storbinary(self, cmd, fp, blocksize=8192, callback=None, rest=None):
        return "226 done"


class StandInTimer:
    """threading.Timer that is never started for real."""

    def __init__(self, interval, function, args=None, kwargs=None):
        self.interval = interval
        self.function = function
        self.daemon = False

    def start(self):
        pass

    def cancel(self):
        pass


class StandInThreading:
    Lock = staticmethod(threading.Lock)
    Timer = StandInTimer


# The keep-alive steps as the extension takes them: a stop, the interval's
# check, and the arming of a timer through the shutdown guard.
STOP = """
s.mb_TimerRunning = False
if s.mobj_KeepAliveTimer:
    s.mobj_KeepAliveTimer.cancel()
    s.mobj_KeepAliveTimer = None
"""
ARM = """
if is_finalizing():
    guard.stopping = True
if not guard.stopping:
    guard.arming += 1
    try:
        t = threading.Timer(s.mi_KeepAliveInterval, s.CUF__OnKeepAliveTimer)
        s.mobj_KeepAliveTimer = t
        t.daemon = True
        t.start()
    except RuntimeError as e:
        if str(e) != REFUSAL:
            raise
        guard.stopping = True
    finally:
        guard.arming -= 1
"""
START = """
i = 30
floating = isinstance(i, float)
if floating and NAN_REFUSED and i != i:
    raise ValueError
if i > 0:
    seconds = i if floating else index(i)
    if seconds * 1e9 >= 9.2e18 or seconds * 1e6 > TIMEOUT_MAX_US:
        raise OverflowError
s.mi_KeepAliveInterval = i
s.mb_TimerRunning = True
""" + ARM


def indented(lines, columns):
    return textwrap.indent(textwrap.dedent(lines), " " * columns)


# (method, the call made on a session `s`, the same work as inline lines).
# Inline lines use locals: `lock` and `ftp` stand for the session's lock and
# connection, `s` for an object whose attributes the method reads or writes.
OPERATIONS = [
    ("__init__", "cls()", """
        o = Plain()
        o.mobj_FTP = None
        o.mb_Connected = False
        o.ms_Encoding = "utf-8"
        o.mobj_KeepAliveTimer = None
        o.mi_KeepAliveInterval = 30
        o.mb_TimerRunning = False
        o.mobj_Lock = threading.Lock()
     """),
    ("CUF_Close + CUF_Open", "s.CUF_Close(); s.CUF_Open(a)", indented(STOP, 8) + """
        if s.mobj_FTP:
            if not is_finalizing():
                with lock:
                    target = s.mobj_FTP
                    if target is not None:
                        if s.mb_TimerRunning:
                            pass
                        target.quit()
                    s.mobj_FTP = None
                    s.mb_Connected = False
        with lock:
            if s.mobj_FTP:
                pass
            s.mobj_FTP = FTP()
            s.mobj_FTP.connect(a, 21, timeout=10)
            if "":
                pass
            s.mobj_FTP.login()
            s.mobj_FTP.set_pasv(True)
            s.mobj_FTP.encoding = "utf-8"
            s.ms_Encoding = "utf-8"
            s.mb_Connected = True
     """ + indented(START, 12)),
    ("CUF_KeepAlive", "s.CUF_KeepAlive()", """
        if ftp:
            try:
                with lock:
                    ftp.voidcmd("NOOP")
                r = True
            except Exception:
                r = False
     """),
    ("CUF_CheckAlive", "s.CUF_CheckAlive()", """
        if ftp:
            try:
                with lock:
                    ftp.voidcmd("NOOP")
                r = True
            except Exception:
                r = False
     """),
    ("CUF__OnKeepAliveTimer", "s.CUF__OnKeepAliveTimer()", """
        if s.mb_TimerRunning:
            import threading as real
            current = real.current_thread()
            if not isinstance(current, real.Timer) or s.mobj_KeepAliveTimer is current:
                if s.mb_Connected:
                    try:
                        with lock:
                            ftp.voidcmd("NOOP")
                    except Exception:
                        pass
     """ + indented(ARM, 16)),
    ("CUF_Stop + CUF_StartKeepAliveTimer",
     "s.CUF_StopKeepAliveTimer(); s.CUF_StartKeepAliveTimer(30)", STOP + START),
    ("CUF_ChangeDir", "s.CUF_ChangeDir(a)", """
        with lock:
            ftp.cwd(a)
     """),
    ("CUF_GetCurrentDir", "s.CUF_GetCurrentDir()", """
        with lock:
            r = ftp.pwd()
     """),
    ("CUF_ListFiles", "s.CUF_ListFiles()", """
        with lock:
            r = ftp.nlst()
     """),
    ("CUF_MakeDir", "s.CUF_MakeDir(a)", """
        with lock:
            ftp.mkd(a)
     """),
    ("CUF_RemoveDir", "s.CUF_RemoveDir(a)", """
        with lock:
            ftp.rmd(a)
     """),
    ("CUF_DeleteFile", "s.CUF_DeleteFile(a)", """
        with lock:
            ftp.delete(a)
     """),
    ("CUF_RenameFile", "s.CUF_RenameFile(a, b)", """
        with lock:
            ftp.rename(a, b)
     """),
    ("CUF_FileExists", "s.CUF_FileExists(a)", """
        try:
            with lock:
                ftp.voidcmd("TYPE I")
                ftp.size(a)
            r = True
        except error_perm:
            r = False
     """),
    ("CUF_IsConnected", "s.CUF_IsConnected()", """
        r = s.mb_Connected
     """),
    ("CUF_DownloadFile, peers write in place", "s.CUF_DownloadFile(a, local)", """
        with open(local, "wb") as f:
            with lock:
                ftp.retrbinary("RETR " + a, f.write, blocksize=8192)
     """),
    ("CUF_DownloadFile, atomic peers", "s.CUF_DownloadFile(a, local)", """
        folder, base = os.path.split(local)
        dir_fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            try:
                found = os.stat(base, dir_fd=dir_fd, follow_symlinks=False)
                mode = S_IMODE(found.st_mode)
                if os.fstat(dir_fd).st_dev != found.st_dev:
                    raise OSError
                if not os.access(base, os.W_OK, dir_fd=dir_fd, effective_ids=True):
                    raise PermissionError
            except FileNotFoundError:
                mode = 0o644
            temporary = f".{base}.{os.urandom(8).hex()}.part"
            fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                         | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
            try:
                made = os.fstat(fd)
                with open(fd, "wb", closefd=False) as f:
                    with lock:
                        ftp.retrbinary("RETR " + a, f.write, blocksize=8192)
                os.fchmod(fd, mode)
                os.fsync(fd)
                now = os.stat(temporary, dir_fd=dir_fd, follow_symlinks=False)
                if now.st_dev != made.st_dev or now.st_ino != made.st_ino:
                    raise OSError
                os.replace(temporary, base, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
                os.fsync(dir_fd)
            except BaseException:
                os.unlink(temporary, dir_fd=dir_fd)
                raise
            finally:
                os.close(fd)
        finally:
            os.close(dir_fd)
     """),
    ("CUF_UploadFile", "s.CUF_UploadFile(local, a)", """
        with open(local, "rb") as f:
            with lock:
                ftp.storbinary("STOR " + a, f, blocksize=8192)
     """),
]

LOOP_ARGS = "n, s, cls, lock, ftp, a, b, local, FTP, Plain, threading, error_perm"


def make_loop(statement):
    body = textwrap.indent(textwrap.dedent(statement).strip(), " " * 8)
    source = f"def loop({LOOP_ARGS}):\n    for _ in range(n):\n{body}\n"
    namespace = {"open": open, "os": os, "S_IMODE": stat.S_IMODE,
                 "guard": peer.TimerGuard(), "REFUSAL": peer.SHUTDOWN_REFUSAL,
                 "is_finalizing": peer.is_finalizing, "index": peer.index,
                 "NAN_REFUSED": peer.NAN_REFUSED, "TIMEOUT_MAX_US": peer.TIMEOUT_MAX_US}
    exec(compile(source, "<bench loop>", "exec"), namespace)
    return namespace["loop"]


class Plain:
    pass


class Variant:
    """One way of doing an operation: a loop and the arguments it runs with."""

    def __init__(self, statement, **env):
        self.loop = make_loop(statement)
        self.env = env

    def per_call_ns(self, n):
        env = self.env
        args = (n, env["s"], env["cls"], env["lock"], env["ftp"], env["a"], env["b"],
                env["local"], StandInFTP, Plain, StandInThreading, error_perm)
        # The thread's CPU time: on a shared machine, time spent preempted by
        # other processes would otherwise land in whichever variant ran then.
        t0 = time.thread_time_ns()
        self.loop(*args)
        return (time.thread_time_ns() - t0) / n


def calibrate(variant, sample_seconds):
    n = 50
    while n < MAX_ITERATIONS:
        if variant.per_call_ns(n) * n >= sample_seconds * 1e9:
            break
        n *= 2
    return min(n, MAX_ITERATIONS)


def bind_stand_ins(module):
    saved = (module.FTP, module.threading)
    module.FTP, module.threading = StandInFTP, StandInThreading
    return saved


def open_session(cls):
    s = cls()
    s.CUF_Open("stand-in")
    return s


def run(report, workdir, rounds, sample_seconds):
    local = os.path.join(workdir, "call-local.bin")
    with open(local, "wb") as f:
        f.write(b"x" * 100)
    saved_q = bind_stand_ins(Quorvan)
    saved_p = bind_stand_ins(peer)
    gc_was_enabled = gc.isenabled()
    try:
        quorvan_session = open_session(Quorvan.CLASS_FTPClient)
        peer_session = open_session(peer.CLASS_FTPClient)
        atomic_session = open_session(peer.AtomicDownload)
        inline_target = open_session(peer.CLASS_FTPClient)
        common = dict(lock=threading.Lock(), ftp=StandInFTP(), a="name", b="other",
                      local=local)
        cases = []
        for name, call, inline in OPERATIONS:
            peer_case = atomic_session if name.endswith("atomic peers") else peer_session
            variants = {
                "ext": Variant(call, s=quorvan_session, cls=Quorvan.CLASS_FTPClient, **common),
                "class": Variant(call, s=peer_case, cls=peer.CLASS_FTPClient, **common),
                "inline": Variant(inline, s=inline_target, cls=None, **common),
            }
            cases.append((name, variants))
        gc.disable()
        # The cost of calling any method at all: a built-in one that only
        # reads a flag, as CUF_IsConnected only reads an attribute.
        reference = Variant("r = lock.locked()", s=None, cls=None, **common)
        counts = {name: calibrate(v["ext"], sample_seconds) for name, v in cases}
        reference_count = calibrate(reference, sample_seconds)
        samples = {(name, k): [] for name, v in cases for k in v}
        reference_samples = []
        for r in range(rounds):
            for name, variants in cases:
                for key in rotated(list(variants), r):
                    samples[(name, key)].append(variants[key].per_call_ns(counts[name]))
            reference_samples.append(reference.per_call_ns(reference_count))
        report.notes.append(
            "calls: a call of a built-in method that only reads a flag "
            f"(threading.Lock().locked()) costs {median(reference_samples):.0f} ns here; "
            "inline lines make no call at all")
        for name, variants in cases:
            ext = median(samples[(name, "ext")])
            cls = median(samples[(name, "class")])
            inl = median(samples[(name, "inline")])
            r_cls = paired_ratio(samples[(name, "ext")], samples[(name, "class")])
            r_inl = paired_ratio(samples[(name, "ext")], samples[(name, "inline")])
            # What no call at all would give: below this the first target
            # cannot be met by any method.
            floor = paired_ratio(samples[(name, "inline")], samples[(name, "class")])
            target = LOCKED_COMMAND_TARGET if name in LOCKED_COMMANDS else PEER_TARGET
            report.add(
                "calls", name,
                f"ext {ext:.0f} ns, class {cls:.0f} ns, inline {inl:.0f} ns",
                f"ext/class {r_cls:.2f} (inline/class {floor:.2f}), ext/inline {r_inl:.2f}",
                "" if name in UNEQUAL_WORK else f"ext/class <= {target:.2f}",
                None if name in UNEQUAL_WORK else r_cls <= target)
        for session in (quorvan_session, peer_session, atomic_session):
            session.CUF_Close()
    finally:
        if gc_was_enabled:
            gc.enable()
        Quorvan.FTP, Quorvan.threading = saved_q
        peer.FTP, peer.threading = saved_p
        os.unlink(local)
