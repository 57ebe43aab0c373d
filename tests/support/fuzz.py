"""Seeded random calls into the module from several threads, run as its own
process so that a crash shows as a signal or a non-zero exit:

    python fuzz.py HOST PORT SECONDS SEED

Sessions talk to the (dedicated) test server on loopback.  Arguments come
from pools of wrong kinds; the session attributes and the module globals
are spoiled and restored at random.  Every outcome must be a return value
or an exception; an exception must derive from Exception unless a hostile
object raised it on purpose.  Exit code 0 and an empty stderr mean all
held; the last line of stdout holds the figures.  A watchdog dumps the
threads' stacks and exits if the run hangs.
"""

import collections
import faulthandler
import ftplib
import inspect
import json
import math
import os
import random
import shutil
import sys
import tempfile
import threading
import time
import types
from pathlib import Path

import Quorvan

WORKERS = 4
SESSIONS = 3
WATCHDOG_MARGIN = 60.0
JOIN_BOUND = 30.0


class Hostile(Exception):
    pass


def hostile(*dunders, error=Hostile):
    def raiser(name):
        def method(self, *args):
            raise error(name)
        return method
    return type("Hostile", (), {d: raiser(d) for d in dunders})()


class Raising:
    def __getattribute__(self, name):
        raise Hostile(name)


class Lock:
    """A context manager that misbehaves in a chosen way, or does not lock."""

    def __init__(self, enter=None, exit=None, result=False):
        self.enter_error, self.exit_error, self.result = enter, exit, result

    def __enter__(self):
        if self.enter_error:
            raise self.enter_error

    def __exit__(self, *exc):
        if self.exit_error:
            raise self.exit_error
        return self.result


def stand_in_ftp(*args, **kwargs):
    """An FTP stand-in class: every call answers, or raises at random."""
    rng = random.Random()

    def call(*a, **k):
        r = rng.random()
        if r < 0.2:
            raise rng.choice([ftplib.error_perm("550 x"), ftplib.error_temp("450 x"),
                              EOFError(), OSError("down")])
        return rng.choice(["200 ok", None, 5, ["a", "b"], Raising()])

    return types.SimpleNamespace(**{m: call for m in (
        "connect", "login", "set_pasv", "quit", "close", "voidcmd", "cwd", "pwd", "nlst",
        "mkd", "rmd", "delete", "rename", "size", "retrbinary", "storbinary")})


def main():
    host, port, seconds, seed = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    faulthandler.dump_traceback_later(seconds + WATCHDOG_MARGIN, exit=True)
    rng = random.Random(seed)
    work = Path(tempfile.mkdtemp(prefix="quorvan-fuzz-"))
    os.chdir(work)  # relative local names land here
    (work / "dir").mkdir()
    (work / "src").write_bytes(os.urandom(20000))

    counts = collections.Counter()
    problems = []
    lock = threading.Lock()

    def note(key):
        with lock:
            counts[key] += 1

    def problem(text):
        with lock:
            problems.append(text)

    def thread_hook(args):
        note(f"timer thread ended by {type(args.exc_value).__name__}")
        if not isinstance(args.exc_value, (Exception, KeyboardInterrupt)):
            problem(f"thread ended by {args.exc_type.__name__}: {args.exc_value}")

    def unraisable_hook(u):
        problem(f"unraisable {type(u.exc_value).__name__}: {u.exc_value} in {u.object!r}")

    threading.excepthook = thread_hook
    sys.unraisablehook = unraisable_hook

    # Value pools, by the role of the argument.  Local names never include
    # small integers: open() would take them for this process's own files.
    wrong = [None, -1, 2 ** 100, 1.5, math.nan, b"bytes", "", "x" * 5000, "a\0b",
             "a\r\nNOOP", Path("p"), hostile("__format__", "__str__"), hostile("__fspath__"),
             hostile("__bool__"), hostile("__bool__", error=KeyboardInterrupt),
             hostile("__index__", "__int__", "__float__", "__eq__", "__ne__", "__gt__")]
    pools = {
        "host": [host, host, None, 5, "x" * 300, Path("p"), hostile("__ne__", "__eq__")],
        "port": [port, port, port, 9, -1, 2 ** 100, "x", None],
        "user": ["alice", "", "", None, "x\r\nDELE f1", hostile("__bool__")],
        "password": ["secret", "", None, hostile("__bool__")],
        "timeout": [1, 2, 0.5, 0, -1, "x", math.nan],
        "passive": [True, True, False, None, hostile("__bool__")],
        "encoding": ["utf-8", "latin-1", None, "no-such-codec", 5],
        "interval": [0.01, 0.05, 3600, None, "x", 2 ** 100, hostile("__gt__")],
        "remote": ["f1", "f2", "/f3", "d1", "/d2", "dir/f4", "f1"] + wrong,
        "local": [str(work / "l1"), str(work / "l2"), "l3", str(work / "src"), "src",
                  str(work / "dir"), str(work / "nodir/x"), "dir/", "", Path("l4"), b"l5",
                  -1, 2 ** 100, None, "a\0b", hostile("__fspath__"), 1.5],
        "block": [8192, 8192, 1, 100000, 0, -1, None, 2 ** 100, 1.5, "x"],
    }
    # The pool each parameter draws from, by its name; the methods and their
    # parameters are the class's own.
    roles = {"Pms_Host": "host", "Pmi_Port": "port", "Pms_User": "user",
             "Pms_Password": "password", "Pmi_Timeout": "timeout", "Pmb_Passive": "passive",
             "Pms_Encoding": "encoding", "Pmi_KeepAliveInterval": "interval",
             "Pmi_Interval": "interval", "Pms_Path": "remote", "Pms_DirName": "remote",
             "Pms_FileName": "remote", "Pms_OldName": "remote", "Pms_NewName": "remote",
             "Pms_RemoteFile": "remote", "Pms_LocalFile": "local", "Pmi_BlockSize": "block"}
    signatures = {name: [roles[p] for p in list(inspect.signature(f).parameters)[1:]]
                  for name, f in vars(Quorvan.CLASS_FTPClient).items() if inspect.isroutine(f)}
    attribute_pool = {
        "mobj_Lock": [None, Lock(), Lock(enter=Hostile("enter")), Lock(exit=Hostile("exit")),
                      Lock(result=True), Lock(result=hostile("__bool__")), threading.RLock()],
        "mobj_FTP": [None, 5, Raising(), hostile("__bool__"), stand_in_ftp()],
        "mb_Connected": [True, False, None, hostile("__bool__")],
        "mb_TimerRunning": [True, False, hostile("__bool__")],
        "mobj_KeepAliveTimer": [None, object(), hostile("__bool__")],
        "mi_KeepAliveInterval": [0.01, 3600, None, "x"],
    }
    real = {name: getattr(Quorvan, name) for name in ("FTP", "error_perm", "threading")}
    global_pool = {
        "FTP": [real["FTP"], real["FTP"], stand_in_ftp, hostile("__call__"), 5],
        "error_perm": [real["error_perm"], 5, Exception, KeyError, (ftplib.error_perm, 5)],
        "threading": [real["threading"], Raising(),
                      types.SimpleNamespace(Lock=threading.Lock, Timer=lambda *a: object())],
        "open": [open, lambda *a: object(), hostile("__call__")],
    }

    sessions = [Quorvan.CLASS_FTPClient() for _ in range(SESSIONS)]
    locks = [s.mobj_Lock for s in sessions]
    deadline = time.monotonic() + seconds

    def spoil(r):
        if r.random() < 0.5:
            s = r.choice(sessions)
            name = r.choice(list(attribute_pool))
            if r.random() < 0.1:
                try:
                    delattr(s, name)
                except AttributeError:
                    pass
            else:
                setattr(s, name, r.choice(attribute_pool[name]))
            note("attribute spoiled")
        else:
            name = r.choice(list(global_pool))
            if r.random() < 0.1:
                vars(Quorvan).pop(name, None)
            else:
                setattr(Quorvan, name, r.choice(global_pool[name]))
            note("global spoiled")

    def restore(r):
        for name, value in real.items():
            setattr(Quorvan, name, value)
        vars(Quorvan).pop("open", None)
        for s, original in zip(sessions, locks):
            if r.random() < 0.5:
                s.mobj_Lock = original
            for name, value in (("mb_TimerRunning", False), ("mi_KeepAliveInterval", 0.01)):
                if not isinstance(getattr(s, name, None), (bool, int, float)):
                    setattr(s, name, value)
        note("restored")

    def one_call(r):
        method = r.choice(list(signatures))
        roles = signatures[method]
        args = [r.choice(pools[role]) for role in roles]
        if method == "CUF_Open" and r.random() < 0.7:
            args[:4] = [host, port, *r.choice([("alice", "secret"), ("", "")])]
        shape = r.random()
        if shape < 0.05:
            args.append(None)  # one too many
        elif shape < 0.1 and args:
            args.pop()  # a default, or a missing argument; the others keep their roles
        target = r.choice(sessions)
        if r.random() < 0.03:
            target = r.choice([None, 5, object()])
        function = getattr(Quorvan.CLASS_FTPClient, method)
        note("calls")
        try:
            if shape > 0.97:
                function(target, *args, Pms_Bogus=1)
            else:
                function(target, *args)
            note("returned")
        except Exception as e:
            note(f"raised {type(e).__name__}")
        except KeyboardInterrupt as e:
            if str(e) != "__bool__":  # only the hostile object raises it
                problem(f"{method}: KeyboardInterrupt {e}")
            note("raised KeyboardInterrupt")

    def worker(index):
        r = random.Random(seed * 31 + index)
        while time.monotonic() < deadline:
            x = r.random()
            if x < 0.04:
                spoil(r)
            elif x < 0.12:
                restore(r)
            else:
                one_call(r)

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(WORKERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()) + JOIN_BOUND)
    stuck = [t.name for t in threads if t.is_alive()]
    if stuck:
        problem(f"workers still running (deadlock?): {stuck}")
        faulthandler.dump_traceback(all_threads=True)

    restore(random.Random(0))
    for s, original in zip(sessions, locks):
        s.mobj_Lock = original
        s.mobj_KeepAliveTimer = None
        for attempt in range(2):
            try:
                s.CUF_Close()
                break
            except Exception:  # a spoiled connection object: drop it
                s.mobj_FTP = None
        if not original.acquire(timeout=JOIN_BOUND):
            problem("a session lock is still held at the end")
        else:
            original.release()
    for t in threading.enumerate():
        if isinstance(t, threading.Timer):
            t.cancel()
            t.join(JOIN_BOUND)
    shutil.rmtree(work, ignore_errors=True)

    for text in problems:
        print("PROBLEM:", text, file=sys.stderr)
    print(json.dumps({"seed": seed, "seconds": seconds,
                      "calls": counts["calls"],
                      "outcomes": dict(sorted(counts.items()))}))
    sys.stdout.flush()
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
