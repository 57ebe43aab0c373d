"""Repeated calls leave nothing behind: every method on success and on each
of its error paths (with stand-ins), operations against the real server, and
open/close cycles.  Objects, traced and resident memory stay flat after a
warm-up; descriptors and threads come back to their baseline; reference
counts of arguments and results are unchanged by a call.

QUORVAN_LEAK_REPEATS sets the calls per stand-in case (default 2000) and
QUORVAN_LEAK_SERVER_OPS the operations against the server (default 2000);
the long form is e.g. QUORVAN_LEAK_REPEATS=30000 QUORVAN_LEAK_SERVER_OPS=20000.
"""

import _weakrefset
import ftplib
import os
import socket
import sys
import tracemalloc
from types import SimpleNamespace

import pytest

from support.probes import Footprint, settle, under_asan

REPEATS = int(os.environ.get("QUORVAN_LEAK_REPEATS", "2000"))
SERVER_OPS = int(os.environ.get("QUORVAN_LEAK_SERVER_OPS", "2000"))

# A call that leaks one reference to a new object leaks at least one object
# (when the collector tracks it) or one allocation of 16 bytes or more per
# call.  What a warm run still moves (free lists, dict resizes) stays far
# below these bounds: at most 1 object and 3.3 KiB over 2000 calls of any
# stand-in case, 8 KiB over 20000 operations against the server, as measured.
def object_bound(calls):
    return max(calls // 10, 50)


def traced_bound(calls):
    return 2 * calls + 8 * 1024


RESIDENT_BOUND = 1024 * 1024  # against the server: 60 KiB seen over 20000 operations


def at(e, name):
    return os.path.join(e.tmp, name)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def fresh(text):
    """A string object no one else holds."""
    return (text + "!")[:-1]


def A(*args, **kwargs):
    return args, kwargs


class Case:
    def __init__(self, id, method, args=lambda e: A(), prep=None, each=None, outcome=None):
        self.id = id
        self.method = method
        self.args = args
        self.prep = prep  # once, before the first call
        self.each = each  # before every call
        self.outcome = outcome  # the exception the call raises, or its result

    def raises(self):
        return isinstance(self.outcome, type) and issubclass(self.outcome, BaseException)


ANY = object()


# --- steps that put a session into a state ------------------------------------

def connected(e):
    e.s.mobj_FTP = e.rig.ftp_class()


def failing(**errors):
    """The stand-in's methods raise these (classes: a new exception each time)."""

    def prep(e):
        connected(e)
        e.rig.fail.update(errors)

    return prep


def no_global(name, then=None):
    def prep(e):
        e.monkeypatch.delattr(e.Quorvan, name)
        if then:
            then(e)

    return prep


def with_lock(kind, then=connected):
    def prep(e):
        then(e)
        e.s.mobj_Lock = kind()

    return prep


class ExitRaises:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        raise ValueError("exit")


class ExitSwallows:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return True


class EnterRaises:
    def __enter__(self):
        raise ValueError("enter")

    def __exit__(self, *exc):
        return False


def running_timer(e):
    e.s.mb_TimerRunning = True
    e.s.mb_Connected = True
    connected(e)


def armed(e):
    e.s.mobj_KeepAliveTimer = e.rig.threading.Timer(30, print)
    e.s.mobj_KeepAliveTimer.start()


def local(name, data=b"data"):
    def prep(e):
        connected(e)
        write(at(e, name), data)

    return prep


def new_fd(e):
    e.fd = os.open(at(e, "fd.bin"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)


def dir_appears_before_commit(e):
    """The stand-in's RETR puts a folder where the download would go, so the
    final rename fails."""
    connected(e)

    def retrbinary(self, command, callback, blocksize):
        os.mkdir(at(e, "later"))

    e.rig.ftp_class.retrbinary = retrbinary


def remove_later(e):
    if os.path.exists(at(e, "later")):
        os.rmdir(at(e, "later"))


def loop(e):
    connected(e)
    os.symlink("loop", at(e, "loop"))


def path(name):
    return lambda e: A(fresh("remote"), fresh(at(e, name)))


OPS = [  # (method, arguments, stand-in method)
    ("CUF_ChangeDir", lambda e: A(fresh("sub")), "cwd"),
    ("CUF_GetCurrentDir", lambda e: A(), "pwd"),
    ("CUF_ListFiles", lambda e: A(), "nlst"),
    ("CUF_MakeDir", lambda e: A(fresh("new")), "mkd"),
    ("CUF_RemoveDir", lambda e: A(fresh("old")), "rmd"),
    ("CUF_DeleteFile", lambda e: A(fresh("f")), "delete"),
    ("CUF_RenameFile", lambda e: A(fresh("a"), fresh("b")), "rename"),
]

def texted(cls, *args):
    """cls, raised as a class (a new exception each time) with a message."""
    return type(cls.__name__, (cls,), {"__init__": lambda self: cls.__init__(self, *args)})


E = texted(ftplib.error_perm, "550 refused by the stand-in")
Refused = texted(ConnectionRefusedError, 111, "refused by the stand-in")
Eof = texted(EOFError, "connection closed by the stand-in")
Broken = texted(OSError, 32, "broken by the stand-in")
Busy = texted(ftplib.error_temp, "450 busy")

CASES = [
    Case("init", "__init__", outcome=None),
    Case("init no threading", "__init__", prep=no_global("threading"), outcome=NameError),
    Case("open", "CUF_Open", lambda e: A(fresh("h"), 10**20, fresh("u"), fresh("p"),
                                         Pmi_KeepAliveInterval=10**9 + 1), outcome=True),
    Case("open bad interval", "CUF_Open", lambda e: A(fresh("h"), Pmi_KeepAliveInterval=fresh("1")),
         outcome=RuntimeError),
    Case("re-open", "CUF_Open", lambda e: A(fresh("h")), each=connected, outcome=True),
    Case("open fails", "CUF_Open", lambda e: A(fresh("h")),
         prep=failing(connect=Refused), outcome=RuntimeError),
    Case("open FTP fails", "CUF_Open", lambda e: A(fresh("h")), prep=failing(FTP=Broken),
         outcome=RuntimeError),
    Case("open no FTP", "CUF_Open", lambda e: A(fresh("h")), prep=no_global("FTP"),
         outcome=RuntimeError),
    Case("open interrupted", "CUF_Open", lambda e: A(fresh("h")),
         prep=failing(login=KeyboardInterrupt), outcome=KeyboardInterrupt),
    Case("open bad keyword", "CUF_Open", lambda e: A(fresh("h"), Bogus=fresh("x")),
         outcome=TypeError),
    Case("open nothing", "CUF_Open", outcome=TypeError),
    Case("close", "CUF_Close", each=connected, outcome=None),
    Case("close quit fails", "CUF_Close", prep=failing(quit=Eof), each=connected,
         outcome=None),
    Case("close both fail", "CUF_Close", prep=failing(quit=Eof, close=Broken),
         each=connected, outcome=OSError),
    Case("close idle", "CUF_Close", outcome=None),
    Case("keep-alive", "CUF_KeepAlive", prep=connected, outcome=True),
    Case("keep-alive fails", "CUF_KeepAlive", prep=failing(voidcmd=Broken),
         outcome=False),
    Case("keep-alive interrupted", "CUF_KeepAlive", prep=failing(voidcmd=KeyboardInterrupt),
         outcome=KeyboardInterrupt),
    Case("keep-alive idle", "CUF_KeepAlive", outcome=False),
    Case("check-alive", "CUF_CheckAlive", prep=connected, outcome=True),
    Case("check-alive fails", "CUF_CheckAlive", prep=failing(voidcmd=Eof), outcome=False),
    Case("timer fires", "CUF__OnKeepAliveTimer", prep=running_timer, outcome=None),
    Case("timer fires, stopped", "CUF__OnKeepAliveTimer", outcome=None),
    Case("timer fires, no threading", "CUF__OnKeepAliveTimer",
         prep=no_global("threading", running_timer), outcome=NameError),
    Case("start timer", "CUF_StartKeepAliveTimer", lambda e: A(10**9 + 2), outcome=None),
    Case("start timer, too many", "CUF_StartKeepAliveTimer", lambda e: A(1, fresh("x")),
         outcome=TypeError),
    Case("stop timer", "CUF_StopKeepAliveTimer", each=armed, outcome=None),
    Case("stop timer idle", "CUF_StopKeepAliveTimer", outcome=None),
    Case("is connected", "CUF_IsConnected", outcome=False),
]
for method, args, name in OPS:
    query = name in ("pwd", "nlst")
    CASES += [
        Case(method, method, args, prep=connected, outcome=ANY if query else None),
        Case(f"{method} refused", method, args, prep=failing(**{name: E}), outcome=E),
        Case(f"{method} idle", method, args, outcome=AttributeError),
    ]
CASES += [
    Case("CUF_ChangeDir too many", "CUF_ChangeDir", lambda e: A(fresh("a"), fresh("b")),
         outcome=TypeError),
    Case("CUF_RenameFile missing", "CUF_RenameFile", lambda e: A(fresh("a")),
         outcome=TypeError),
    Case("query, exit raises", "CUF_GetCurrentDir", prep=with_lock(ExitRaises),
         outcome=ValueError),
    Case("query fails, exit raises", "CUF_GetCurrentDir",
         prep=with_lock(ExitRaises, failing(pwd=Eof)), outcome=ValueError),
    Case("query fails, exit swallows", "CUF_GetCurrentDir",
         prep=with_lock(ExitSwallows, failing(pwd=Eof)), outcome=None),
    Case("enter raises", "CUF_MakeDir", lambda e: A(fresh("d")), prep=with_lock(EnterRaises),
         outcome=ValueError),
    Case("exists", "CUF_FileExists", lambda e: A(fresh("f")), prep=connected, outcome=True),
    Case("exists refused", "CUF_FileExists", lambda e: A(fresh("f")), prep=failing(size=E),
         outcome=False),
    Case("exists TYPE refused", "CUF_FileExists", lambda e: A(fresh("f")),
         prep=failing(voidcmd=E), outcome=False),
    Case("exists other error", "CUF_FileExists", lambda e: A(fresh("f")),
         prep=failing(size=Busy), outcome=Busy),
    Case("exists no error_perm", "CUF_FileExists", lambda e: A(fresh("f")),
         prep=no_global("error_perm", failing(size=E)), outcome=NameError),
    Case("exists idle", "CUF_FileExists", lambda e: A(fresh("f")), outcome=AttributeError),
    Case("exists, exit swallows", "CUF_FileExists", lambda e: A(fresh("f")),
         prep=with_lock(ExitSwallows, failing(size=Eof)), outcome=True),
    Case("download", "CUF_DownloadFile", path("d.bin"), prep=connected, outcome=None),
    Case("download block size", "CUF_DownloadFile",
         lambda e: A(fresh("r"), fresh(at(e, "d.bin")), Pmi_BlockSize=10**20),
         prep=connected, outcome=None),
    Case("download refused", "CUF_DownloadFile", path("d.bin"), prep=failing(retrbinary=E),
         outcome=E),
    Case("download idle", "CUF_DownloadFile", path("d.bin"), outcome=AttributeError),
    Case("download, exit swallows", "CUF_DownloadFile", path("d.bin"),
         prep=with_lock(ExitSwallows, failing(retrbinary=Eof)), outcome=None),
    Case("download to fd", "CUF_DownloadFile", lambda e: A(fresh("r"), e.fd),
         prep=connected, each=new_fd, outcome=None),
    Case("download to fd refused", "CUF_DownloadFile", lambda e: A(fresh("r"), e.fd),
         prep=failing(retrbinary=E), each=new_fd, outcome=E),
    Case("download no folder", "CUF_DownloadFile", path("none/d.bin"), prep=connected,
         outcome=FileNotFoundError),
    Case("download link loop", "CUF_DownloadFile", path("loop"), prep=loop, outcome=OSError),
    Case("download onto a folder", "CUF_DownloadFile", path(""), prep=connected,
         outcome=IsADirectoryError),
    Case("download rename fails", "CUF_DownloadFile", path("later"),
         prep=dir_appears_before_commit, each=remove_later, outcome=IsADirectoryError),
    Case("download to None", "CUF_DownloadFile", lambda e: A(fresh("r"), None),
         prep=connected, outcome=TypeError),
    Case("download NUL", "CUF_DownloadFile", lambda e: A(fresh("r"), fresh("a\0b")),
         prep=connected, outcome=ValueError),
    Case("download twice named", "CUF_DownloadFile",
         lambda e: A(fresh("r"), fresh("l"), Pms_RemoteFile=fresh("x")), outcome=TypeError),
    Case("upload", "CUF_UploadFile", lambda e: A(fresh(at(e, "u.bin")), fresh("r"), 10**20),
         prep=local("u.bin"), outcome=None),
    Case("upload refused", "CUF_UploadFile", lambda e: A(fresh(at(e, "u.bin")), fresh("r")),
         prep=lambda e: (local("u.bin")(e), e.rig.fail.update(storbinary=E)), outcome=E),
    Case("upload no local file", "CUF_UploadFile",
         lambda e: A(fresh(at(e, "none")), fresh("r")), prep=connected,
         outcome=FileNotFoundError),
    Case("upload idle", "CUF_UploadFile", lambda e: A(fresh(at(e, "u.bin")), fresh("r")),
         prep=lambda e: write(at(e, "u.bin"), b"x"), outcome=AttributeError),
]


@pytest.fixture
def env(rig, tmp_path, monkeypatch, Quorvan):
    rig.results.update(pwd=["a result no one else holds"], nlst=["another"])
    # Paths as plain strings: joining pathlib paths interns their parts (3.13),
    # and the interned-string table's growth would count as ours.
    return SimpleNamespace(rig=rig, s=rig.session, tmp=str(tmp_path), monkeypatch=monkeypatch,
                           Quorvan=Quorvan, fd=None)


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def call(case, e, args, kwargs):
    fn = getattr(e.s, case.method)
    if case.raises():
        try:
            fn(*args, **kwargs)
        except case.outcome:
            return None
        raise AssertionError(f"{case.id}: no {case.outcome.__name__}")
    result = fn(*args, **kwargs)
    assert case.outcome is ANY or result == case.outcome, (case.id, result)
    return result


def run(case, e, times):
    for _ in range(times):
        if case.each:
            case.each(e)
        args, kwargs = case.args(e)
        call(case, e, args, kwargs)
        # the stand-ins' own records
        e.rig.journal.clear()
        e.rig.threading.created.clear()


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_repeated_calls_stay_flat(env, traced, case):
    if case.prep:
        case.prep(env)
    run(case, env, max(REPEATS // 10, 20))  # warm-up
    before = Footprint()
    run(case, env, REPEATS)
    growth = before.growth(Footprint())
    assert growth["objects"] < object_bound(REPEATS), growth
    assert growth["traced"] < traced_bound(REPEATS), growth
    assert growth["fds"] <= 0, growth


def counted_iteration(case, e):
    """One iteration; returns the reference counts of the arguments and
    results before and after the call, and of None, True and False before
    and after the whole iteration.  (No assert here: pytest's rewritten
    asserts leave None in the frame.)"""
    singletons = (None, True, False)
    iteration_before = [sys.getrefcount(o) for o in singletons]
    if case.each:
        case.each(e)
    args, kwargs = case.args(e)
    watched = [*args, *kwargs.values(), *e.rig.results.values()]
    before = [sys.getrefcount(o) for o in watched]
    result = call(case, e, args, kwargs)
    del result
    e.rig.journal.clear()  # holds what the stand-ins were given
    e.rig.threading.created.clear()
    after = [sys.getrefcount(o) for o in watched]
    del args, kwargs, watched
    return before, after, iteration_before, [sys.getrefcount(o) for o in singletons]


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_reference_counts_unchanged(env, case):
    """Arguments and results exactly as before a call; None, True and False
    as before a whole iteration (a call may change the session's state, each
    iteration starts from the same one)."""
    if case.prep:
        case.prep(env)
    run(case, env, 3)  # lazily made attributes and caches
    before, after, singletons_before, singletons_after = counted_iteration(case, env)
    assert after == before
    assert singletons_after == singletons_before


def server_round(s, tmp, i):
    """One round of operations on an open session; returns how many."""
    src, dst = tmp / "src.bin", tmp / "dst.bin"
    folder = f"d{i}"
    s.CUF_GetCurrentDir()
    s.CUF_MakeDir(folder)
    s.CUF_ChangeDir(folder)
    s.CUF_UploadFile(str(src), "f")
    s.CUF_ListFiles()
    s.CUF_FileExists("f")
    s.CUF_FileExists("missing")
    s.CUF_DownloadFile("f", str(dst), 1024)
    try:
        s.CUF_DownloadFile("missing", str(dst))
    except ftplib.error_perm:
        pass
    s.CUF_RenameFile("f", "g")
    s.CUF_DeleteFile("g")
    s.CUF_ChangeDir("..")
    s.CUF_RemoveDir(folder)
    s.CUF_CheckAlive()
    s.CUF_IsConnected()
    return 15


# Left out of the traced memory, as the interpreter's own: with
# PYTHONMALLOC=malloc (the sanitizer run) socket.makefile keeps about one
# block per connection made (plain ftplib does the same), and the table of
# threading's set of live threads grows to the most timer threads ever alive
# at once (16 KiB when a slow run lets cancelled timers pile up).  A leaked
# thread still shows in the object and thread counts.
INTERPRETER_OWN = (socket.__file__, _weakrefset.__file__)


def check_flat(growth, calls):
    assert growth["objects"] < object_bound(calls), growth
    assert growth["traced"] < traced_bound(calls), growth
    if not under_asan():
        assert growth["resident"] < RESIDENT_BOUND, growth


def test_server_operations_stay_flat(ftp, client, tmp_path, traced):
    (tmp_path / "src.bin").write_bytes(os.urandom(20_000))
    baseline = Footprint(INTERPRETER_OWN)
    client.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password, Pmi_KeepAliveInterval=0.05)
    client.CUF_ChangeDir(ftp.dirname)
    done, i = 0, 0
    while done < SERVER_OPS // 5:  # warm-up
        done += server_round(client, tmp_path, i)
        i += 1
    before = Footprint(INTERPRETER_OWN)
    done = 0
    while done < SERVER_OPS:
        done += server_round(client, tmp_path, i)
        i += 1
    check_flat(before.growth(Footprint(INTERPRETER_OWN)), done)
    client.CUF_Close()
    after = settle(baseline).growth(baseline)
    assert after["fds"] <= 0 and after["threads"] <= 0, after


def test_open_close_cycles_stay_flat(ftp, client, traced, request):
    refusing = socket.socket()  # bound, never listening: connections are refused
    refusing.bind(("127.0.0.1", 0))
    refused_port = refusing.getsockname()[1]
    request.addfinalizer(refusing.close)

    def cycles(n):
        for k in range(n):
            client.CUF_Open(ftp.host, ftp.port, Pmi_KeepAliveInterval=0.01)
            client.CUF_CheckAlive()
            if k % 5 == 0:  # and a failed open on the same session
                with pytest.raises(RuntimeError):
                    client.CUF_Open(ftp.host, refused_port, Pmi_Timeout=5)
            client.CUF_Close()

    def settled():
        # A firing already past its check when the close stopped the chain
        # arms one last timer, which ends at its own firing but stays in the
        # session's attribute until the next start: one timer's objects,
        # there or not by timing, and no growth.
        now = settle(baseline)
        timer = client.mobj_KeepAliveTimer
        if timer is not None and not timer.is_alive():
            client.mobj_KeepAliveTimer = None
            now = Footprint(INTERPRETER_OWN)
        return now

    count = max(SERVER_OPS // 10, 20)
    baseline = Footprint(INTERPRETER_OWN)
    cycles(count // 5)
    warm = settled()
    cycles(count)
    after = settled()
    check_flat(warm.growth(after), count)
    growth = baseline.growth(after)
    assert growth["fds"] <= 0 and growth["threads"] <= 0, growth
