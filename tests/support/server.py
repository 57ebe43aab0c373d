"""Starting, steering and stopping the test FTP server process."""

import json
import os
import selectors
import signal
import subprocess
import sys
import time
from pathlib import Path

from support.timing import scaled

SERVER_SCRIPT = Path(__file__).with_name("ftp_server.py")
START_TIMEOUT = scaled(20.0)
STOP_TIMEOUT = scaled(10.0)

USER = "alice"
PASSWORD = "secret"


def stop_process(process) -> bool:
    """Ends a process we started, by its PID: SIGTERM, then SIGKILL after a
    bounded wait.  False if there was nothing left to stop."""
    if process is None or process.poll() is not None:
        return False
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=STOP_TIMEOUT)
    return True


class FtpServer:
    """One pyftpdlib server process on loopback (or on a test host that
    `wrapper`, a command prefix such as `ip netns exec NAME`, places it on),
    ended by its PID."""

    def __init__(self, base: Path, idle_timeout: float = 300, host: str = "127.0.0.1",
                 tls_cert: Path = None, wrapper=()):
        self.base = Path(base)
        self.wrapper = list(wrapper)
        self.tls_cert = tls_cert  # a PEM file with the chain and the key: FTPS
        self.root = self.base / "root"
        self.log_path = self.base / "server.log"
        self.faults_path = self.base / "faults.json"
        self.host = host
        self.idle_timeout = idle_timeout
        self.port = None
        self.process = None

    def start(self):
        self.root.mkdir(parents=True, exist_ok=True)
        self.log_path.touch()
        stderr = open(self.base / "server.stderr", "wb")
        self.process = subprocess.Popen(
            [
                *self.wrapper,
                sys.executable, str(SERVER_SCRIPT),
                "--root", str(self.root),
                "--log", str(self.log_path),
                "--faults", str(self.faults_path),
                "--host", self.host,
                "--idle-timeout", str(self.idle_timeout),
                *(["--tls", str(self.tls_cert)] if self.tls_cert else []),
            ],
            stdout=subprocess.PIPE,
            stderr=stderr,
            stdin=subprocess.DEVNULL,
        )
        stderr.close()
        self.port = self._read_port()
        return self

    def _read_port(self):
        sel = selectors.DefaultSelector()
        sel.register(self.process.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + START_TIMEOUT
        line = b""
        try:
            while time.monotonic() < deadline:
                if not sel.select(timeout=deadline - time.monotonic()):
                    continue
                chunk = os.read(self.process.stdout.fileno(), 256)
                if not chunk:
                    break
                line += chunk
                if b"\n" in line:
                    words = line.split(b"\n", 1)[0].split()
                    if len(words) == 2 and words[0] == b"PORT":
                        return int(words[1])
                    break
        finally:
            sel.close()
        self.stop()
        errors = (self.base / "server.stderr").read_text(errors="replace")
        raise RuntimeError(f"FTP server did not start: {line!r}\n{errors}")

    def stop(self):
        if stop_process(self.process):
            self.process.stdout.close()

    # --- the command log ----------------------------------------------------

    def events(self, since: int = 0):
        """The log's events from byte offset `since` on."""
        with open(self.log_path, "rb") as f:
            f.seek(since)
            data = f.read()
        lines = data.split(b"\n")
        if lines and lines[-1] != b"":
            lines = lines[:-1]  # a line still being written
        return [json.loads(line) for line in lines if line]

    def log_mark(self) -> int:
        return self.log_path.stat().st_size

    def commands(self, since: int = 0, sid=None):
        """(sid, command, argument) of each command received."""
        return [
            (e["sid"], e["cmd"], e["arg"])
            for e in self.events(since)
            if e["ev"] == "cmd" and (sid is None or e["sid"] == sid)
        ]

    def wait_for(self, predicate, timeout: float = 10.0, since: int = 0):
        """Waits until predicate(events) is true, for `timeout` seconds
        (scaled); returns the events."""
        timeout = scaled(timeout)
        deadline = time.monotonic() + timeout
        while True:
            events = self.events(since)
            if predicate(events):
                return events
            if time.monotonic() > deadline:
                raise AssertionError(f"server log condition not met within {timeout}s")
            time.sleep(0.02)

    # --- fault rules --------------------------------------------------------

    def set_faults(self, rules):
        tmp = self.faults_path.with_suffix(".tmp")
        tmp.write_text(json.dumps(rules), encoding="utf-8")
        os.replace(tmp, self.faults_path)

    def clear_faults(self):
        self.set_faults([])


class FtpView:
    """What one test sees of a shared server: its own folder on the server,
    its own stretch of the log, and fault rules cleared at the end."""

    def __init__(self, server: FtpServer, name: str):
        self.server = server
        self.host = server.host
        self.port = server.port
        self.user = USER
        self.password = PASSWORD
        self.dirname = name
        self.local_dir = server.root / name  # the folder as it lies on disk
        self.local_dir.mkdir(parents=True)
        self.mark = server.log_mark()

    def events(self):
        return self.server.events(self.mark)

    def commands(self, sid=None):
        return self.server.commands(self.mark, sid)

    def wait_for(self, predicate, timeout: float = 10.0):
        return self.server.wait_for(predicate, timeout, self.mark)

    def set_faults(self, rules):
        self.server.set_faults(rules)

    def sessions(self):
        """Session ids seen in this test's stretch of the log, in order."""
        seen = []
        for e in self.events():
            if e["ev"] == "connect" and e["sid"] not in seen:
                seen.append(e["sid"])
        return seen
