"""A demo session: starts a throw-away FTP server on loopback, walks one
Quorvan session through its life, prints what each step did and which
commands the server received for it, and stops the server.
"""

import hashlib
import importlib
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Protocol

import Quorvan

# The test suite's throw-away server (tests/support/server.py; scripts/demo puts
# tests/ on the path), untyped, so the demo says what it uses of it.
test_server = importlib.import_module("support.server")
USER: str = test_server.USER
PASSWORD: str = test_server.PASSWORD


class FtpServer(Protocol):
    host: str
    port: int
    root: Path
    process: "subprocess.Popen[bytes]"

    def log_mark(self) -> int: ...
    def commands(self, since: int = 0) -> list[tuple[int, str, str]]: ...
    def stop(self) -> None: ...


def start_server(base: Path) -> FtpServer:
    server: FtpServer = test_server.FtpServer(base).start()
    return server


class Narrator:
    """Numbers the steps and shows the commands the server saw for each
    (the keep-alive's NOOPs only where the step is about them)."""

    def __init__(self, server: FtpServer) -> None:
        self.server = server
        self.mark = server.log_mark()
        self.number = 0

    def step(self, text: str, *details: str, noops: bool = False) -> None:
        self.number += 1
        time.sleep(0.05)  # let the server's log catch up with the last reply
        seen = [c for c in self.server.commands(self.mark) if noops or c[1] != "NOOP"]
        self.mark = self.server.log_mark()
        print(f"{self.number:2}. {text}")
        for line in details:
            print(f"      {line}")
        if seen:
            wire = " ".join(f"{c[1]} {c[2]}".strip() if c[1] != "PASS" else "PASS ***"
                            for c in seen)
            print(f"      server saw: {wire}")


def digest(path: Path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()[:16]


def run_session(server: FtpServer, folder: Path, say: Narrator) -> None:
    session = Quorvan.CLASS_FTPClient()
    say.step("A new session holds no connection and has sent nothing.",
             f"CUF_IsConnected() -> {session.CUF_IsConnected()}")

    try:
        session.CUF_Open(server.host, server.port, USER, "wrong password")
    except RuntimeError as e:
        say.step("Opening with a wrong password raises RuntimeError.",
                 f"{e}", f"CUF_IsConnected() -> {session.CUF_IsConnected()}")

    session.CUF_Open(server.host, server.port, USER, PASSWORD, Pmi_KeepAliveInterval=0.2)
    say.step("Opening again closes what the failed open left, then logs in.",
             f"CUF_Open(...) -> True, CUF_IsConnected() -> {session.CUF_IsConnected()}, "
             f"keep-alive every {session.mi_KeepAliveInterval} s")

    time.sleep(0.7)
    say.step("Meanwhile the keep-alive timer sends NOOP in the background.", noops=True)
    session.CUF_StopKeepAliveTimer()
    say.step("CUF_CheckAlive() asks the server now (the timer is stopped, so only its NOOP).",
             f"CUF_CheckAlive() -> {session.CUF_CheckAlive()}", noops=True)
    session.CUF_StartKeepAliveTimer(30)

    session.CUF_MakeDir("demo")
    session.CUF_ChangeDir("demo")
    say.step("Made a directory and changed into it.",
             f"CUF_GetCurrentDir() -> {session.CUF_GetCurrentDir()!r}")

    local = folder / "report.bin"
    local.write_bytes(os.urandom(1024 * 1024 + 3))
    session.CUF_UploadFile(str(local), "report.bin")
    say.step(f"Uploaded report.bin in binary mode ({local.stat().st_size} bytes).",
             f"sha256 {digest(local)}")

    copy = folder / "copy.bin"
    session.CUF_DownloadFile("report.bin", str(copy), 65536)
    say.step("Downloaded it again, in blocks of 64 KiB.",
             f"sha256 {digest(copy)}, identical: {copy.read_bytes() == local.read_bytes()}")

    try:
        session.CUF_DownloadFile("no-such-file", str(copy))
    except Quorvan.error_perm as e:
        say.step("A download of a missing file raises error_perm and leaves the local copy "
                 "as it was.", f"{e}", f"copy.bin still sha256 {digest(copy)}")

    def worker(n: int) -> None:
        part = folder / f"part{n}.bin"
        part.write_bytes(os.urandom(200_000))
        session.CUF_UploadFile(str(part), f"part{n}.bin")

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    say.step("Three threads uploaded through the one session; its lock let one command "
             "through at a time.", f"CUF_ListFiles() -> {sorted(session.CUF_ListFiles())}")

    session.CUF_RenameFile("report.bin", "final.bin")
    say.step("Renamed report.bin to final.bin.",
             f"CUF_FileExists('report.bin') -> {session.CUF_FileExists('report.bin')}, "
             f"CUF_FileExists('final.bin') -> {session.CUF_FileExists('final.bin')}")

    for name in session.CUF_ListFiles():
        session.CUF_DeleteFile(name)
    session.CUF_ChangeDir("..")
    session.CUF_RemoveDir("demo")
    say.step("Deleted the files and removed the directory.",
             f"CUF_ListFiles() -> {session.CUF_ListFiles()}")

    session.CUF_Close()
    say.step("Closed: the keep-alive stopped, QUIT sent.",
             f"CUF_IsConnected() -> {session.CUF_IsConnected()}, "
             f"mobj_FTP -> {session.mobj_FTP}")


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="quorvan-demo-") as base:
        server = start_server(Path(base))
        try:
            print(f"Quorvan demo: a pyftpdlib server (process {server.process.pid}) on "
                  f"{server.host}:{server.port}, serving {server.root}\n")
            run_session(server, Path(base), Narrator(server))
        finally:
            server.stop()
        ended = server.process.poll() is not None
        print(f"\nServer process {server.process.pid} "
              f"{'has ended: nothing is left running' if ended else 'is STILL RUNNING'}.")
        return 0 if ended else 1


if __name__ == "__main__":
    sys.exit(main())
