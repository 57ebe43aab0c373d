"""Faults on the wire: the server runs in a network namespace of its own, the
session in another, joined by a veth pair (192.0.2.1 and 192.0.2.2, private to
those two namespaces), so the test can cut the link silently (link down:
packets vanish, nobody answers with a reset) and slow it to a trickle (tbf).

Needs root, `ip` and `tc`; otherwise skipped with the reason, unless
QUORVAN_INTEROP=required (CI), where that fails the run.  The figures are
printed (pytest -s or -rP) and summed up in docs/robustness.md."""

import ctypes
import errno
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from support.server import FtpServer, FtpView

pytestmark = [pytest.mark.slow, pytest.mark.timeout(120)]

REQUIRED = os.environ.get("QUORVAN_INTEROP") == "required"
T = 2  # Pmi_Timeout
K = 1  # Pmi_KeepAliveInterval
CLIENT, SERVER = "192.0.2.1", "192.0.2.2"
PREFIX = "quorvan-part-"
CLONE_NEWNET = 0x40000000
SLOW_RATE, SLOW_SIZE = "1mbit", 300_000  # about 2.5 s for each transfer
JOIN = 30.0  # a backstop for thread joins; the asserted bounds are far lower


def ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True,
                          timeout=30)


def tc(*args):
    subprocess.run(["tc", *args], check=True, capture_output=True, text=True, timeout=30)


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def remove_leftovers():
    """Namespaces of a run that was killed before its finalizer ran."""
    for line in ip("netns", "list").stdout.splitlines():
        m = re.match(rf"({re.escape(PREFIX)}(\d+)-[cs])\b", line)
        if m and (int(m.group(2)) == os.getpid() or not pid_alive(int(m.group(2)))):
            ip("netns", "del", m.group(1), check=False)


def setns(fd):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


class Wire:
    """Two namespaces and the veth pair between them; the server's end is the
    one cut and slowed.  The calling thread enters the client's namespace for
    the test, and every thread it starts (keep-alive timers included) is born
    there too."""

    def __init__(self, tag):
        self.client_ns = f"{PREFIX}{tag}-c"
        self.server_ns = f"{PREFIX}{tag}-s"
        self._home = None

    def build(self):
        c, s = self.client_ns, self.server_ns
        ip("netns", "add", c)
        ip("netns", "add", s)
        ip("-n", c, "link", "add", "qv-c", "type", "veth", "peer", "name", "qv-s", "netns", s)
        ip("-n", c, "addr", "add", f"{CLIENT}/30", "dev", "qv-c")
        ip("-n", s, "addr", "add", f"{SERVER}/30", "dev", "qv-s")
        for ns, dev in ((c, "qv-c"), (s, "qv-s"), (c, "lo"), (s, "lo")):
            ip("-n", ns, "link", "set", dev, "up")

    def remove(self):
        ip("-n", self.client_ns, "link", "del", "qv-c", check=False)
        for ns in (self.client_ns, self.server_ns):
            ip("netns", "del", ns, check=False)

    def enter(self):
        self._home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        fd = os.open(f"/run/netns/{self.client_ns}", os.O_RDONLY)
        try:
            setns(fd)
        finally:
            os.close(fd)

    def leave(self):
        if self._home is not None:
            setns(self._home)
            os.close(self._home)
            self._home = None

    def cut(self):
        ip("-n", self.server_ns, "link", "set", "qv-s", "down")
        return time.monotonic()

    def restore(self):
        """Brings the link back; returns once both ends report it up."""
        ip("-n", self.server_ns, "link", "set", "qv-s", "up")
        ends = ((self.server_ns, "qv-s"), (self.client_ns, "qv-c"))
        assert wait_until(lambda: all(" state UP " in ip("-n", ns, "-o", "link", "show", dev).stdout
                                      for ns, dev in ends), 10), "the link did not come back"

    def slow(self, rate):
        for ns, dev in ((self.server_ns, "qv-s"), (self.client_ns, "qv-c")):
            tc("-n", ns, "qdisc", "replace", "dev", dev, "root", "tbf", "rate", rate,
               "burst", "4kb", "latency", "100ms")

    def unslow(self):
        for ns, dev in ((self.server_ns, "qv-s"), (self.client_ns, "qv-c")):
            subprocess.run(["tc", "-n", ns, "qdisc", "del", "dev", dev, "root"],
                           capture_output=True, timeout=30)


def unavailable():
    if os.geteuid() != 0:
        return "network namespaces need root"
    for tool in ("ip", "tc"):
        if shutil.which(tool) is None:
            return f"`{tool}` is not installed (Debian: iproute2)"
    return None


@pytest.fixture(scope="module")
def wire_server():
    reason = unavailable()
    if reason:
        (pytest.fail if REQUIRED else pytest.skip)(reason)
    remove_leftovers()
    wire = Wire(os.getpid())
    with tempfile.TemporaryDirectory(prefix="quorvan-part-") as base:
        try:
            try:
                wire.build()
            except subprocess.CalledProcessError as e:
                (pytest.fail if REQUIRED else pytest.skip)(
                    f"cannot make a network namespace: {e.stderr.strip()}")
            server = FtpServer(Path(base), host=SERVER,
                               wrapper=["ip", "netns", "exec", wire.server_ns]).start()
            try:
                yield wire, server
            finally:
                server.stop()
        finally:
            wire.remove()


@pytest.fixture
def wire(wire_server, request, Quorvan):
    """(wire, view of the server, a new session); the test's thread is in the
    client's namespace until the end, the link up and at full speed again."""
    wire, server = wire_server
    name = "p-" + "".join(ch if ch.isalnum() else "_" for ch in request.node.name)[:60]
    view = FtpView(server, name)
    session = Quorvan.CLASS_FTPClient()
    wire.enter()
    try:
        yield wire, view, session
    finally:
        wire.restore()
        wire.unslow()
        try:
            session.CUF_StopKeepAliveTimer()
            if not session.mobj_Lock.locked():
                session.CUF_Close()
        except Exception:
            pass
        wire.leave()


def open_session(session, view):
    t0 = time.monotonic()
    assert session.CUF_Open(view.host, view.port, view.user, view.password, T, True, "utf-8",
                            K) is True
    session.CUF_ChangeDir("/" + view.dirname)
    return time.monotonic() - t0


def reopen(session, view):
    """CUF_Open once the link is back.  For about a second after it returns,
    a neighbour lookup that failed during the cut may still refuse a new
    connection with EHOSTUNREACH, as on any real network: such an open is
    tried again; any other failure fails the test.  Returns the seconds it
    took and the attempts."""
    t0 = time.monotonic()
    for attempt in range(1, 11):
        try:
            open_session(session, view)
            return time.monotonic() - t0, attempt
        except RuntimeError as e:
            cause = e.__context__
            if not (isinstance(cause, OSError) and cause.errno == errno.EHOSTUNREACH):
                raise
        time.sleep(0.3)
    raise AssertionError("no open succeeded within 10 attempts after the link returned")


def round_trip(session, view, tmp, name, size):
    """Uploads and downloads `size` random bytes; both must arrive intact."""
    data = os.urandom(size)
    src = tmp / f"{name}.up"
    src.write_bytes(data)
    try:
        session.CUF_UploadFile(str(src), name)
    except Exception as e:
        raise AssertionError(f"upload of {name}: {e!r}") from e
    assert (view.local_dir / name).read_bytes() == data
    back = tmp / f"{name}.down"
    try:
        session.CUF_DownloadFile(name, str(back))
    except Exception as e:
        raise AssertionError(f"download of {name}: {e!r}") from e
    assert back.read_bytes() == data


class Timed(threading.Thread):
    """Runs fn() on its own thread; records when it returned and what."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn = fn
        self.ended = self.result = None

    def run(self):
        try:
            self.result = self.fn()
        except Exception as e:
            self.result = e
        self.ended = time.monotonic()

    def after(self, t0):
        self.join(JOIN)
        assert not self.is_alive(), f"{self.fn} still waiting {JOIN} s after the cut"
        return self.ended - t0


def start_waiters(session, count=3):
    """Threads that call operations while the session lock is held."""
    assert wait_until(session.mobj_Lock.locked, 5), "the lock was never taken"
    calls = (session.CUF_GetCurrentDir, session.CUF_ListFiles,
             lambda: session.CUF_FileExists("x"))
    threads = [Timed(calls[i % len(calls)]) for i in range(count)]
    for t in threads:
        t.start()
    return threads


def rounded(figures):
    return {k: [round(x, 2) for x in v] if isinstance(v, list) else round(v, 2)
            for k, v in figures.items()}


def wait_until(predicate, bound):
    deadline = time.monotonic() + bound
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


def test_cut_link_is_detected_and_a_new_open_recovers(wire, tmp_path):
    link, view, s = wire
    figures = {"open": open_session(s, view)}
    round_trip(s, view, tmp_path, "before", 200_000)

    # Link up: the chain sends its NOOPs and the session stays connected.
    mark = len(view.commands())
    time.sleep(2 * K + 0.2)
    assert s.mb_Connected is True
    assert sum(1 for _, cmd, _ in view.commands()[mark:] if cmd == "NOOP") >= 1
    t0 = time.monotonic()
    assert s.CUF_CheckAlive() is True
    figures["check_alive_link_up"] = time.monotonic() - t0

    # Cut: only the keep-alive talks to the server; it marks the session Lost.
    cut = link.cut()
    assert wait_until(lambda: s.mb_Connected is False, K + T + 1 + 5)
    figures["lost_by_keep_alive"] = lost = time.monotonic() - cut
    assert T - 0.2 <= lost <= K + T + 1  # a time-out, not a reset; within the bound

    link.restore()
    figures["reopen"], figures["reopen_attempts"] = reopen(s, view)
    round_trip(s, view, tmp_path, "after_lost", 200_000)

    # Cut while several threads share the session: one asks CUF_CheckAlive,
    # three others wait for the lock behind it.
    check = Timed(s.CUF_CheckAlive)
    cut = link.cut()
    check.start()
    others = start_waiters(s)
    figures["check_alive_after_cut"] = check.after(cut)
    figures["lock_waiters_after_cut"] = [t.after(cut) for t in others]
    assert check.result is False
    assert all(isinstance(t.result, Exception) for t in others)
    assert figures["check_alive_after_cut"] <= T + 1
    assert max(figures["lock_waiters_after_cut"]) <= T + 1
    assert s.mb_Connected is False

    link.restore()
    figures["reopen_after_threads"], figures["reopen_attempts_after_threads"] = reopen(s, view)
    round_trip(s, view, tmp_path, "after_threads", 1_000_000)
    print("\ncut figures (s):", rounded(figures))


def test_download_in_flight_fails_cleanly_when_the_link_is_cut(wire, tmp_path):
    link, view, s = wire
    data = os.urandom(4 << 20)
    (view.local_dir / "big").write_bytes(data)
    folder = tmp_path / "into"
    folder.mkdir()
    dest = folder / "big"
    dest.write_bytes(b"the old content")
    open_session(s, view)
    link.slow("8mbit")  # about 1 MB/s: the download is still running at the cut

    download = Timed(lambda: s.CUF_DownloadFile("big", str(dest)))
    download.start()
    assert wait_until(lambda: any(p != dest and p.stat().st_size > 64_000
                                  for p in folder.iterdir()), 10), "no download in flight"
    others = start_waiters(s, 8)
    time.sleep(0.3)  # they now wait for the lock that the download holds
    cut = link.cut()
    figures = {"download_failed": download.after(cut)}
    figures["lock_waiters"] = [t.after(cut) for t in others]
    assert isinstance(download.result, OSError), download.result
    assert dest.read_bytes() == b"the old content"
    assert list(folder.iterdir()) == [dest]
    assert all(isinstance(t.result, Exception) for t in others)
    # The download times out on its data connection, then waits as long
    # again for its final reply, which never comes: the session is Lost and
    # its connection ended, so every waiter's command fails at once.
    assert s.mb_Connected is False
    assert figures["download_failed"] <= 2 * T + 1
    assert max(figures["lock_waiters"]) <= 2 * T + 1

    link.restore()
    link.unslow()
    figures["reopen"], figures["reopen_attempts"] = reopen(s, view)
    assert s.CUF_FileExists("missing.txt") is False
    assert s.CUF_GetCurrentDir() == "/" + view.dirname
    s.CUF_DownloadFile("big", str(dest))
    assert dest.read_bytes() == data
    assert list(folder.iterdir()) == [dest]
    print("\ndownload cut figures (s):", rounded(figures))


def test_slow_link_transfers_complete_without_keep_alive_inside(wire, tmp_path):
    link, view, s = wire
    open_session(s, view)
    link.slow(SLOW_RATE)
    t0 = time.monotonic()
    workers = [Timed(lambda i=i: round_trip(s, view, tmp_path, f"slow{i}", SLOW_SIZE))
               for i in range(2)]
    for w in workers:
        w.start()
    durations = [w.after(t0) for w in workers]
    assert [w.result for w in workers] == [None, None]
    assert s.mb_Connected is True and s.CUF_CheckAlive() is True

    events = view.events()
    sid = view.sessions()[-1]
    inside, noops, transfers = False, 0, 0
    for e in events:
        if e["sid"] != sid:
            continue
        if e["ev"] == "cmd" and e["cmd"] in ("RETR", "STOR"):
            inside, transfers = True, transfers + 1
        elif e["ev"] == "reply" and not e["code"].startswith("1"):
            inside = False  # the transfer's final reply
        elif e["ev"] == "cmd" and e["cmd"] == "NOOP":
            noops += 1
            assert not inside, "a NOOP was sent inside a transfer"
    assert transfers == 4
    assert noops >= 1  # the chain ran, and waited for the transfers
    print(f"\nslow link ({SLOW_RATE}): 4 transfers of {SLOW_SIZE} bytes in "
          f"{max(durations):.1f} s, {noops} NOOPs between them")
