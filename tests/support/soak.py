"""One session shared by worker threads doing random operations while the
server misbehaves at random and two other threads re-open and close it.

Run as a separate process by tests/test_soak.py, so that a crash or a hang
is seen as this process failing, not as a dead test run:

    python soak.py HOST PORT SERVER_ROOT FAULTS_FILE WORK_DIR SECONDS SEED

Every wait is bounded: a watchdog dumps every thread's stack and exits with
code 3 if the run outlives its time by WATCHDOG_MARGIN seconds.  Exit code 0
means every check held; the last line of stdout is a JSON object with the
figures; failed checks are listed on stderr (exit code 1).
"""

import collections
import faulthandler
import ftplib
import gc
import itertools
import json
import os
import random
import sys
import threading
import time
from pathlib import Path

import Quorvan

THREADS = 8
KEEP_ALIVE = 0.02
CLIENT_TIMEOUT = 1.0
WATCHDOG_MARGIN = 90.0
JOIN_BOUND = 30.0
SETTLE_BOUND = 10.0

# What a failed operation may raise: ftplib's errors, socket errors and
# time-outs, a connection closed under it, a session between close and open
# (AttributeError on None), and a failed open.
EXPECTED = ftplib.all_errors + (AttributeError, RuntimeError)


def write_faults(path, rules):
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps(rules), encoding="utf-8")
    os.replace(tmp, path)


def random_fault(rng, serial):
    """One fault rule, armed to fire once."""
    commands = ["PWD", "CWD", "NLST", "MKD", "RMD", "DELE", "RNFR", "RNTO", "SIZE",
                "TYPE", "PASV", "RETR", "STOR", "NOOP"]
    kind = rng.choice(["reply4", "reply5", "hangup", "stall", "delay", "cut", "slow",
                       "freeze", "idle", "login"])
    rule = {"id": serial, "times": 1, "cmd": rng.choice(commands)}
    if kind == "reply4":
        rule.update(action="reply", text="450 injected busy")
    elif kind == "reply5":
        rule.update(action="reply", text="550 injected refusal")
    elif kind == "hangup":
        rule.update(action="hangup")
    elif kind == "stall":
        rule.update(action="stall")
    elif kind == "delay":  # sometimes inside the client's time-out, sometimes past it
        rule.update(action="delay", seconds=rng.choice([0.05, 0.3, CLIENT_TIMEOUT + 0.3]))
    elif kind in ("cut", "freeze"):
        rule.update(cmd="RETR", action=kind, after=rng.choice([0, 1, 5000, 70000]))
    elif kind == "slow":
        rule.update(cmd="RETR", action="slow", seconds=CLIENT_TIMEOUT + 0.5)
    elif kind == "idle":
        rule.update(action="idle", seconds=rng.choice([0.01, 0.05, 0.2]))
    else:  # refuse or drop the login of the next open
        rule.update(cmd=rng.choice(["USER", "PASS"]),
                    action=rng.choice(["hangup", "reply"]), text="530 injected")
    return rule


class Figures:
    def __init__(self):
        self.lock = threading.Lock()
        self.ops = collections.Counter()
        self.failures = collections.Counter()
        self.verified = 0
        self.problems = []

    def op(self, name):
        with self.lock:
            self.ops[name] += 1

    def failed(self, name, error):
        with self.lock:
            self.failures[f"{name}: {type(error).__name__}"] += 1

    def problem(self, text):
        with self.lock:
            self.problems.append(text)


class Worker:
    """Works in its own remote and local folders, with absolute remote
    paths (another thread may change the working directory at any time),
    and remembers what each remote file it uploaded holds."""

    def __init__(self, index, session, local, figures, rng):
        self.session = session
        self.remote = f"/soak/w{index}"
        self.local = local
        self.figures = figures
        self.rng = rng
        self.known = {}  # remote path -> the bytes it holds
        self.dirs = []
        self.serial = 0

    def fresh(self, prefix):
        self.serial += 1
        return f"{self.remote}/{prefix}{self.serial}"

    def run(self, deadline):
        ops = [self.list, self.where, self.dirs_op, self.upload, self.download,
               self.download, self.rename, self.exists, self.delete, self.check_alive]
        while time.monotonic() < deadline:
            op = self.rng.choice(ops)
            self.figures.op(op.__name__)
            try:
                op()
            except EXPECTED as e:
                self.figures.failed(op.__name__, e)
                time.sleep(self.rng.uniform(0, 0.02))  # a dead connection fails fast
            except Exception as e:  # a kind of failure no operation should show
                self.figures.problem(f"{op.__name__}: unexpected {type(e).__name__}: {e}")

    def list(self):
        names = self.session.CUF_ListFiles()
        if not (isinstance(names, list) and all(isinstance(n, str) for n in names)):
            self.figures.problem(f"listing is not a list of str: {names!r}")

    def where(self):
        self.session.CUF_ChangeDir(self.rng.choice([self.remote, "/", "/soak"]))
        if not isinstance(self.session.CUF_GetCurrentDir(), str):
            self.figures.problem("working directory is not a str")

    def dirs_op(self):
        if self.dirs and self.rng.random() < 0.5:
            self.session.CUF_RemoveDir(self.dirs.pop())
        else:
            name = self.fresh("d")
            self.session.CUF_MakeDir(name)
            self.dirs.append(name)

    def upload(self):
        data = os.urandom(self.rng.choice([0, 1, 3000, 70000, 300000]))
        src = self.local / "upload"
        src.write_bytes(data)
        name = self.fresh("f")
        self.session.CUF_UploadFile(str(src), name, self.rng.choice([1024, 8192, 65536]))
        self.known[name] = data  # a failed upload leaves the name unknown

    def download(self):
        if not self.known:
            return self.upload()
        name = self.rng.choice(list(self.known))
        dest = self.local / f"copy{self.rng.randrange(4)}"
        before = dest.read_bytes() if dest.exists() else None
        if before is None and self.rng.random() < 0.5:
            dest.write_bytes(b"kept unless the download succeeds")
            before = dest.read_bytes()
        try:
            self.session.CUF_DownloadFile(name, str(dest), self.rng.choice([512, 8192, 65536]))
        except BaseException:
            after = dest.read_bytes() if dest.exists() else None
            if after != before:
                self.figures.problem(f"failed download of {name} changed {dest.name}")
            self.check_no_temporaries()
            raise
        if dest.read_bytes() != self.known[name]:
            self.figures.problem(f"download of {name} reported success with other bytes")
        else:
            with self.figures.lock:
                self.figures.verified += 1
        self.check_no_temporaries()

    def check_no_temporaries(self):
        left = [p.name for p in self.local.iterdir() if p.name.endswith(".part")]
        if left:
            self.figures.problem(f"temporary files left behind: {left}")

    def rename(self):
        if not self.known:
            return self.upload()
        old = self.rng.choice(list(self.known))
        new = self.fresh("r")
        data = self.known.pop(old)  # unknown until the rename is confirmed
        self.session.CUF_RenameFile(old, new)
        self.known[new] = data

    def exists(self):
        name = self.rng.choice(list(self.known) or [self.fresh("missing")])
        if not isinstance(self.session.CUF_FileExists(name), bool):
            self.figures.problem("CUF_FileExists gave a non-bool")

    def delete(self):
        if not self.known:
            return self.upload()
        name = self.rng.choice(list(self.known))
        del self.known[name]
        self.session.CUF_DeleteFile(name)

    def check_alive(self):
        if not isinstance(self.session.CUF_CheckAlive(), bool):
            self.figures.problem("CUF_CheckAlive gave a non-bool")


def os_threads():
    return len(os.listdir("/proc/self/task"))


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def settle(check, bound):
    """Waits up to `bound` seconds for check() to hold."""
    deadline = time.monotonic() + bound
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def main():
    host, port, root, faults_path, work, seconds, seed = sys.argv[1:8]
    port, seconds, seed = int(port), float(seconds), int(seed)
    faults_path, work = Path(faults_path), Path(work)
    faulthandler.dump_traceback_later(seconds + WATCHDOG_MARGIN, exit=True)
    rng = random.Random(seed)
    figures = Figures()
    opened = collections.Counter()

    gc.collect()
    base_threads, base_fds = os_threads(), open_fds()

    def open_session(session):
        user = rng.choice([("alice", "secret"), ("", "")])
        return session.CUF_Open(host, port, *user, CLIENT_TIMEOUT,
                                Pmi_KeepAliveInterval=KEEP_ALIVE)

    session = Quorvan.CLASS_FTPClient()
    open_session(session)
    session.CUF_MakeDir("/soak")
    workers = []
    for i in range(THREADS):
        local = work / f"w{i}"
        local.mkdir(parents=True)
        w = Worker(i, session, local, figures, random.Random(rng.random()))
        session.CUF_MakeDir(w.remote)
        workers.append(w)

    deadline = time.monotonic() + seconds
    stop = threading.Event()

    peak = {"threads": 0, "timers": 0}

    def inject():
        pending = collections.deque(maxlen=3)  # a rule that already fired stays harmless
        for serial in itertools.count():
            if stop.wait(rng.uniform(0.02, 0.15)):
                break
            pending.append(random_fault(rng, serial))
            write_faults(faults_path, list(pending))
            peak["threads"] = max(peak["threads"], os_threads())
            peak["timers"] = max(peak["timers"], sum(
                isinstance(t, threading.Timer) for t in threading.enumerate()))
        write_faults(faults_path, [])

    def reopen():
        while not stop.wait(rng.uniform(0.1, 0.4)):
            try:
                if rng.random() < 0.3:
                    session.CUF_Close()
                    opened["close"] += 1
                    stop.wait(rng.uniform(0, 0.05))
                open_session(session)
                opened["open"] += 1
            except RuntimeError as e:
                opened["open failed"] += 1
                if not str(e).startswith("FTP Open failed: "):
                    figures.problem(f"open failed without its message: {e}")
            except Exception as e:
                figures.problem(f"re-open/close: unexpected {type(e).__name__}: {e}")

    helpers = [threading.Thread(target=inject, daemon=True),
               threading.Thread(target=reopen, daemon=True),
               threading.Thread(target=reopen, daemon=True)]
    threads = [threading.Thread(target=w.run, args=(deadline,), daemon=True) for w in workers]
    for t in helpers + threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()) + JOIN_BOUND)
    stop.set()
    for t in helpers:
        t.join(JOIN_BOUND)
    stuck = [t.name for t in helpers + threads if t.is_alive()]
    if stuck:
        figures.problem(f"threads still running (deadlock?): {stuck}")
        faulthandler.dump_traceback(all_threads=True)

    session.CUF_Close()
    lock_free = session.mobj_Lock.acquire(timeout=SETTLE_BOUND)
    if lock_free:
        session.mobj_Lock.release()
    else:
        figures.problem("the session lock is still held after close")
    if not settle(lambda: os_threads() <= base_threads, SETTLE_BOUND):
        figures.problem(f"threads: {os_threads()} after close, {base_threads} before")
    gc.collect()
    if not settle(lambda: open_fds() <= base_fds, SETTLE_BOUND):
        figures.problem(f"file descriptors: {open_fds()} after close, {base_fds} before")

    for text in figures.problems:
        print("PROBLEM:", text, file=sys.stderr)
    print(json.dumps({
        "seconds": seconds,
        "seed": seed,
        "operations": sum(figures.ops.values()),
        "by_operation": dict(figures.ops),
        "failures": dict(figures.failures),
        "files_verified": figures.verified,
        "sessions": dict(opened),
        "threads": {"before": base_threads, "peak": peak["threads"]},
        "peak_timer_threads": peak["timers"],
        "problems": len(figures.problems),
    }))
    sys.stdout.flush()
    return 1 if figures.problems else 0


if __name__ == "__main__":
    sys.exit(main())
