"""Recording stand-ins bound to the module's globals for exact call-order
tests: an FTP class, a lock, and a threading module whose timers fire only
when a test says so."""

import threading

from support.timing import scaled


class Journal(list):
    """The calls seen, in order, as tuples."""

    def names(self):
        return [entry[0] for entry in self]


class RecordingLock:
    """A real lock that records entering and leaving, and refuses (instead of
    deadlocking) to be taken twice by one thread."""

    def __init__(self, journal):
        self._lock = threading.Lock()
        self._owner = None
        self.journal = journal
        self.exits = []

    def __enter__(self):
        if self._owner == threading.get_ident():
            raise AssertionError("lock taken twice by one thread")
        if not self._lock.acquire(timeout=scaled(10)):
            raise AssertionError("lock not free within 10 s")
        self._owner = threading.get_ident()
        self.journal.append(("lock.enter",))
        return True

    def __exit__(self, exc_type, exc, tb):
        self.journal.append(("lock.exit", exc_type))
        self.exits.append((exc_type, exc, tb))
        self._owner = None
        self._lock.release()
        return False

    def locked(self):
        return self._lock.locked()


class Gate:
    """Holds every call that reaches it until the test opens it; the waits
    on both sides are bounded."""

    def __init__(self):
        self._arrivals = threading.Semaphore(0)
        self._open = threading.Event()

    def __call__(self):
        self._arrivals.release()
        if not self._open.wait(scaled(10)):
            raise AssertionError("gate not opened within 10 s")

    def wait_for_arrival(self):
        assert self._arrivals.acquire(timeout=scaled(10)), "no call reached the gate within 10 s"

    def open(self):
        self._open.set()


class HandOverLock:
    """A real lock that, when released while another thread waits for it,
    lets that thread have it before the releasing one goes on (within 10 s):
    the interleaving that a thread switch at that moment would give."""

    def __init__(self):
        self._lock = threading.Lock()
        self._state = threading.Condition()
        self._waiting = 0
        self._taken = 0

    def __enter__(self):
        with self._state:
            self._waiting += 1
        if not self._lock.acquire(timeout=scaled(10)):
            raise AssertionError("lock not free within 10 s")
        with self._state:
            self._waiting -= 1
            self._taken += 1
            self._state.notify_all()
        return True

    def __exit__(self, *exc):
        with self._state:
            waiting, taken = self._waiting, self._taken
            self._lock.release()
            if waiting:
                self._state.wait_for(lambda: self._taken > taken, timeout=scaled(10))
        return False

    def locked(self):
        return self._lock.locked()


def make_ftp_class(journal, session_box=None, fail=None, results=None, gates=None):
    """An FTP stand-in class.  Each call is journaled as (name, args, kwargs,
    lock_held); `fail` maps a method name to an exception to raise, `results`
    to a value to return, `gates` to a Gate the call passes first.
    session_box[0], when set, is the session whose lock state is recorded.
    Once a test sets the class's `instances` to a list, the class keeps its
    objects there, each with the names of its `calls`."""
    fail = fail if fail is not None else {}
    results = results if results is not None else {}
    gates = gates if gates is not None else {}

    def lock_held():
        session = session_box[0] if session_box else None
        locked = getattr(getattr(session, "mobj_Lock", None), "locked", None)
        return locked() if callable(locked) else None

    def method(name):
        def call(self, *args, **kwargs):
            journal.append((name, args, kwargs, lock_held()))
            if type(self).instances is not None:
                self.calls.append(name)
            if name in gates:
                gates[name]()
            error = fail.get(name)
            if error is not None:
                raise error
            return results.get(name, f"{name} reply")

        call.__name__ = name
        return call

    class FakeFTP:
        instances = None

        def __init__(self, *args, **kwargs):
            journal.append(("FTP", args, kwargs, lock_held()))
            error = fail.get("FTP")
            if error is not None:
                raise error
            object.__setattr__(self, "calls", [])
            object.__setattr__(self, "encoding", "latin-1")
            if FakeFTP.instances is not None:
                FakeFTP.instances.append(self)

        def __setattr__(self, name, value):
            if name == "encoding":
                journal.append(("set encoding", (value,), {}, lock_held()))
            object.__setattr__(self, name, value)

    for name in ("connect", "login", "set_pasv", "quit", "close", "voidcmd", "cwd", "pwd",
                 "nlst", "mkd", "rmd", "delete", "rename", "size", "retrbinary", "storbinary"):
        setattr(FakeFTP, name, method(name))
    return FakeFTP


class ManualTimer:
    """threading.Timer whose firing is in the test's hands."""

    def __init__(self, owner, interval, function, *args, **kwargs):
        self.owner = owner
        self.interval = interval
        self.function = function
        self.extra = (args, kwargs)
        self.daemon = False
        self.started = False
        self.cancelled = False
        self.fired = False
        self.started_daemon = None
        owner.created.append(self)

    def start(self):
        self.started = True
        self.started_daemon = self.daemon
        self.owner.journal.append(("timer.start", self.interval))

    def cancel(self):
        self.cancelled = True
        self.owner.journal.append(("timer.cancel", self.interval))

    def fire(self):
        assert self.started and not self.cancelled and not self.fired
        self.fired = True
        return self.function()


class ManualThreading:
    """Stands in for the threading module: real locks, manual timers."""

    def __init__(self, journal=None):
        self.journal = journal if journal is not None else Journal()
        self.created = []

    def Lock(self):
        return threading.Lock()

    def Timer(self, interval, function, *args, **kwargs):
        return ManualTimer(self, interval, function, *args, **kwargs)

    def pending(self):
        return [t for t in self.created if t.started and not t.cancelled and not t.fired]


class Rig:
    """A session whose FTP class and threading module are stand-ins; `fail`
    and `results` steer the FTP stand-in, `journal` records everything."""

    def __init__(self, Quorvan, monkeypatch):
        self.journal = Journal()
        self.fail = {}
        self.results = {}
        self.gates = {}
        self.box = [None]
        self.threading = ManualThreading(self.journal)
        self.ftp_class = make_ftp_class(self.journal, self.box, self.fail, self.results,
                                        self.gates)
        monkeypatch.setattr(Quorvan, "FTP", self.ftp_class)
        monkeypatch.setattr(Quorvan, "threading", self.threading)
        self.session = Quorvan.CLASS_FTPClient()
        self.box[0] = self.session
