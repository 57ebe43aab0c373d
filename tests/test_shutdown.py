"""Interpreter exit while keep-alive timers are armed, firing, or blocked
inside the module: the process must end with code 0 and a clean stderr.

QUORVAN_SHUTDOWN_RUNS sets how many exits each scenario makes (default 50,
some 300 exits in all).  QUORVAN_SHUTDOWN_LOAD=N oversubscribes the machine
on purpose: N busy-looping processes share one core with the exiting
interpreters, which then take seconds to be scheduled.  Each interpreter runs
with faulthandler on and prints its seed first, so that a crash shows its stack
and can be run again.
"""

import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from support.probes import under_asan

RUNS = int(os.environ.get("QUORVAN_SHUTDOWN_RUNS", "50"))
LOAD = int(os.environ.get("QUORVAN_SHUTDOWN_LOAD", "0"))
EXIT_BOUND = 30 if not LOAD else 600  # seconds one interpreter may take to exit

PRELUDE = """
import os, sys, threading, time
import Quorvan
HOST, PORT, FOLDER = sys.argv[1], int(sys.argv[2]), sys.argv[3]
SEED = int(sys.argv[4])
print("seed", SEED, flush=True)
pause = (SEED % 7) * 0.003
"""

SCENARIOS = {
    # a 1 ms chain, still running when the main thread returns
    "armed": """
        c = Quorvan.CLASS_FTPClient()
        c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.001)
        time.sleep(pause)
    """,
    # timers armed at 1 ms on sessions that never connected
    "bare timers": """
        for _ in range(5):
            c = Quorvan.CLASS_FTPClient()
            c.mb_Connected = True
            c.CUF_StartKeepAliveTimer(0.001)
        time.sleep(pause)
    """,
    # a firing blocked on the lock, which a daemon thread holds
    "blocked on the lock": """
        c = Quorvan.CLASS_FTPClient()
        c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.001)
        threading.Thread(target=lambda: (c.mobj_Lock.acquire(), time.sleep(60)), daemon=True).start()
        time.sleep(pause + 0.01)
    """,
    # a firing waiting for its NOOP reply when the main thread returns
    "firing": """
        c = Quorvan.CLASS_FTPClient()
        c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.001)
        time.sleep(pause)
    """,
    # another thread inside a download whose data arrives only after the main
    # thread has returned: a daemon thread is ended during finalisation, an
    # ordinary one is waited for
    "inside a transfer": """
        c = Quorvan.CLASS_FTPClient()
        c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.001)
        local = os.path.join(sys.argv[5], "copy%d" % SEED)
        t = threading.Thread(target=c.CUF_DownloadFile, args=("/" + FOLDER + "/big", local),
                             daemon=SEED % 2 == 0)
        t.start()
        time.sleep(pause + 0.01)
    """,
    # firings waiting inside the module for a late NOOP reply when the
    # interpreter finalises; a slow __del__ during finalisation lets them wake
    # up then and be ended by the interpreter in the middle of our frames
    "woken during finalisation": """
        class SlowDel:
            def __del__(self):
                time.sleep(0.15)
        keep = SlowDel()
        sessions = []
        for _ in range(3):
            c = Quorvan.CLASS_FTPClient()
            c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.001)
            sessions.append(c)
        time.sleep(0.02 + pause)
    """,
    # a __del__ that closes the session during finalisation, while a
    # keep-alive firing waits for its late NOOP reply holding the session's
    # lock (it will never run again) on every other run, and with no firing
    # (the lock free) on the rest
    "closed by __del__ during finalisation": """
        class Closer:
            def __init__(self, session):
                self.session = session
            def __del__(self):
                self.session.CUF_Close()
        c = Quorvan.CLASS_FTPClient()
        c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.001 if SEED % 2 else 30)
        time.sleep(pause + 0.05)
        closer = Closer(c)
    """,
}


# the server's misbehaviour that each scenario needs
FAULTS = {
    "firing": [{"cmd": "NOOP", "action": "delay", "seconds": 0.01}],
    "inside a transfer": [{"cmd": "RETR", "action": "slow", "seconds": 0.05}],
    "woken during finalisation": [{"cmd": "NOOP", "action": "delay", "seconds": 0.05}],
    "closed by __del__ during finalisation": [{"cmd": "NOOP", "action": "delay", "seconds": 2}],
}


@pytest.fixture
def busy_core():
    """The last core, shared by LOAD busy loops started here and ended by
    their PIDs; None without LOAD."""
    if not LOAD:
        yield None
        return
    core = max(os.sched_getaffinity(0))
    spin = f"import os; os.sched_setaffinity(0, {{{core}}})\nwhile True: pass"
    loops = [subprocess.Popen([sys.executable, "-c", spin]) for _ in range(LOAD)]
    try:
        yield core
    finally:
        for p in loops:
            p.kill()
        for p in loops:
            p.wait(10)


def run_exits(ftp, scenario, runs, work, core=None):
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(SCENARIOS[scenario])
    if core is not None:
        script = f"import os; os.sched_setaffinity(0, {{{core}}})\n" + script

    def one(seed):
        started = time.monotonic()
        # The sessions are left open on purpose: their sockets are the
        # program's to close, and a debug interpreter would report them.
        result = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-W", "ignore::ResourceWarning", "-c", script,
             ftp.host, str(ftp.port), ftp.dirname, str(seed), str(work)],
            capture_output=True, text=True, timeout=EXIT_BOUND)
        result.seconds = time.monotonic() - started
        return result

    with ThreadPoolExecutor(max_workers=4 if core is None else 8) as pool:
        return list(pool.map(one, range(runs)))


@pytest.mark.slow
@pytest.mark.timeout(60 + RUNS * EXIT_BOUND // 4)
@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_exit_is_clean(ftp, tmp_path, scenario, busy_core):
    (ftp.local_dir / "big").write_bytes(os.urandom(1 << 20))
    ftp.set_faults(FAULTS.get(scenario, []))
    results = run_exits(ftp, scenario, RUNS, tmp_path, busy_core)
    times = sorted(r.seconds for r in results)
    print(f"\n{scenario}: {len(results)} exits, median {times[len(times) // 2]:.2f} s, "
          f"slowest {times[-1]:.2f} s, load average {os.getloadavg()[0]:.0f}")
    failures = [(r.stdout, r.returncode, r.stderr) for r in results
                if r.returncode != 0 or r.stderr]
    assert failures == []
    if scenario == "inside a transfer":  # the ordinary threads were waited for
        big = (ftp.local_dir / "big").read_bytes()
        assert all((tmp_path / f"copy{seed}").read_bytes() == big for seed in range(1, RUNS, 2))


def test_shutdown_hook_stops_arming():
    """The hook the exit runs once the program's threads have ended (with the
    atexit callbacks) ends every chain at its next firing, and a start after
    it says that it cannot arm."""
    script = textwrap.dedent("""
        import atexit, threading, time, Quorvan
        c = Quorvan.CLASS_FTPClient()
        c.mb_Connected = False
        c.CUF_StartKeepAliveTimer(0.005)
        atexit._run_exitfuncs()
        deadline = time.monotonic() + 10
        while c.mb_TimerRunning and time.monotonic() < deadline:
            time.sleep(0.01)
        c.mobj_KeepAliveTimer.join(10)
        timers = [t for t in threading.enumerate() if isinstance(t, threading.Timer)]
        print(len(timers), c.mb_TimerRunning)
        try:
            c.CUF_StartKeepAliveTimer(0.005)
        except RuntimeError as e:
            print(repr(str(e)))
        print(c.mb_TimerRunning, c.mobj_KeepAliveTimer.is_alive())
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=EXIT_BOUND)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "0 False", repr("can't create new thread at interpreter shutdown"), "False False"]


@pytest.mark.skipif((3, 12) <= sys.version_info < (3, 12, 2),
                    reason="3.12.0 and 3.12.1 refuse new threads once the main thread has returned")
def test_exit_waits_for_a_start_under_way():
    """A timer's start still under way when the hook runs is waited for to its
    end, however late (here later than a 5 s bound would allow): a thread
    that runs its start-up once the interpreter is freed crashes 3.10."""
    script = textwrap.dedent("""
        import threading, time, types, Quorvan
        entered = threading.Event()
        class LateTimer(threading.Timer):
            def start(self):
                entered.set()
                time.sleep(5.5)  # as on a core too busy to run the new thread
                super().start()
                print("started", flush=True)
        c = Quorvan.CLASS_FTPClient()
        c.mb_Connected = False
        Quorvan.threading = types.SimpleNamespace(Timer=LateTimer)
        threading.Thread(target=c.CUF_StartKeepAliveTimer, args=(0.001,), daemon=True).start()
        entered.wait(10)
    """)
    result = subprocess.run([sys.executable, "-X", "faulthandler", "-c", script],
                            capture_output=True, text=True, timeout=EXIT_BOUND)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout.split() == ["started"]


CHILD_BOUND = 20  # seconds a forked child may take to exit

# For scripts that fork: reap(children) waits up to CHILD_BOUND seconds for
# the children (pid -> when forked) to end, kills those still there by their
# PIDs, and prints how many ended with code 0, how many hung, and the slowest.
REAP = """
import os, sys, time
CHILD_BOUND = float(sys.argv[1])
def reap(children):
    ended, took = 0, []
    deadline = time.monotonic() + CHILD_BOUND
    while children and time.monotonic() < deadline:
        for pid in list(children):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                took.append(time.monotonic() - children.pop(pid))
                ended += os.waitstatus_to_exitcode(status) == 0
        time.sleep(0.002)
    for pid in children:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    print("ended", ended, "hung", len(children), "slowest %.2f s" % max(took, default=0),
          flush=True)
"""


def run_forks(script, *args):
    """Runs `script` in a process group of its own, which is killed (by its
    PID) with every child left in it if the script does not end in time.
    3.12 on warns of a fork in a process that has threads."""
    process = subprocess.Popen(
        [sys.executable, "-X", "faulthandler", "-W", "ignore::DeprecationWarning", "-W",
         "ignore::ResourceWarning", "-c", REAP + textwrap.dedent(script), str(CHILD_BOUND),
         *map(str, args)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = process.communicate(timeout=CHILD_BOUND + 60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
    assert process.returncode == 0 and err == "", err
    return out.splitlines()


@pytest.mark.skipif((3, 12) <= sys.version_info < (3, 12, 2),
                    reason="3.12.0 and 3.12.1 refuse new threads once the main thread has returned")
@pytest.mark.parametrize("forked_by", ["main thread", "thread inside start()"])
def test_forked_child_exits_while_a_start_is_under_way(forked_by):
    """A child forked while a timer thread is inside Thread.start() has no
    such thread: its exit does not wait for it, and still waits for a start
    of its own (made late here).  The fork comes from the main thread while
    another thread is held in start(), or from inside start() itself."""
    lines = run_forks("""
        import threading, types, Quorvan
        FORKED_BY = sys.argv[2]
        parent, entered, release = os.getpid(), threading.Event(), threading.Event()
        children, forked = {}, []
        class HeldTimer(threading.Timer):
            def start(self):
                if os.getpid() != parent:
                    time.sleep(0.5)
                    super().start()
                    print("started in the child", flush=True)
                    return
                if FORKED_BY == "main thread":
                    entered.set()
                    release.wait(CHILD_BOUND)
                elif not forked:
                    fork()
                super().start()
        def fork():
            forked.append(True)
            pid = os.fork()
            if pid:
                children[pid] = time.monotonic()
                return
            c = Quorvan.CLASS_FTPClient()
            c.mb_Connected = False
            threading.Thread(target=c.CUF_StartKeepAliveTimer, args=(0.001,), daemon=True).start()
            sys.exit(0)
        Quorvan.threading = types.SimpleNamespace(Timer=HeldTimer, Lock=threading.Lock)
        c = Quorvan.CLASS_FTPClient()
        c.mb_Connected = False
        if FORKED_BY == "main thread":
            threading.Thread(target=c.CUF_StartKeepAliveTimer, args=(0.001,), daemon=True).start()
            entered.wait(CHILD_BOUND)
            fork()
            release.set()
        else:
            c.CUF_StartKeepAliveTimer(0.001)
        reap(children)
    """, forked_by)
    assert lines[0] == "started in the child" and lines[1].startswith("ended 1 hung 0")


FORKS = 60


@pytest.mark.skipif(under_asan(), reason="ASan's allocator is not fork-safe: a child may wait "
                    "forever in malloc for a lock that a timer thread held at the fork")
def test_forks_against_a_fast_keep_alive(ftp):
    """Sixty forks at varied moments of a 1 ms keep-alive chain: every child exits."""
    lines = run_forks("""
        import Quorvan
        HOST, PORT, FORKS = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
        c = Quorvan.CLASS_FTPClient()
        c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.001)
        children = {}
        for i in range(FORKS):
            time.sleep(0.0005 * (i % 5))
            pid = os.fork()
            if pid == 0:
                sys.exit(0)
            children[pid] = time.monotonic()
        reap(children)
        c.CUF_Close()
    """, ftp.host, ftp.port, FORKS)
    print("\n" + lines[0])
    assert lines[0].startswith(f"ended {FORKS} hung 0")


@pytest.mark.skipif((3, 12) <= sys.version_info < (3, 12, 2),
                    reason="3.12.0 and 3.12.1 refuse new threads once the main thread has returned")
def test_keep_alive_outlives_the_main_thread(ftp):
    """A program whose main thread returns while a worker goes on keeps its
    keep-alive until the worker ends, and can still open sessions."""
    script = textwrap.dedent("""
        import sys, threading, time, Quorvan
        HOST, PORT = sys.argv[1], int(sys.argv[2])
        c = Quorvan.CLASS_FTPClient()
        c.CUF_Open(HOST, PORT, Pmi_KeepAliveInterval=0.05)
        def worker():
            main = threading.main_thread()
            deadline = time.monotonic() + 10
            while main.is_alive() and time.monotonic() < deadline:
                time.sleep(0.01)
            c.CUF_FileExists("after-main")
            time.sleep(0.6)
            c.CUF_FileExists("later")
            late = Quorvan.CLASS_FTPClient()
            late.CUF_Open(HOST, PORT)
            print(main.is_alive(), late.mb_TimerRunning, late.mobj_KeepAliveTimer.is_alive())
            late.CUF_Close()
            c.CUF_Close()
        threading.Thread(target=worker).start()
    """)
    result = subprocess.run([sys.executable, "-c", script, ftp.host, str(ftp.port)],
                            capture_output=True, text=True, timeout=EXIT_BOUND)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert result.stdout.split() == ["False", "True", "True"]
    first = ftp.sessions()[0]
    commands = [(cmd, arg) for cmd, arg in
                ((c[1], c[2]) for c in ftp.commands(first)) if cmd in ("NOOP", "SIZE")]
    between = commands[commands.index(("SIZE", "after-main")) + 1:
                       commands.index(("SIZE", "later"))]
    assert len(between) >= 3 and set(between) == {("NOOP", "")}
