"""A demo session: starts a throw-away FTP server on loopback, walks one
Quorvan session through its life, prints what happens, and stops the server.
"""

import hashlib
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import Quorvan  # noqa: E402
from support.server import FtpServer  # noqa: E402


def step(text):
    print(f"  - {text}")


def main():
    with tempfile.TemporaryDirectory(prefix="quorvan-demo-") as base:
        server = FtpServer(Path(base)).start()
        try:
            print(f"FTP server (pyftpdlib) on {server.host}:{server.port}, serving {server.root}")
            run_session(server, Path(base))
        finally:
            server.stop()
            print("server stopped")


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()[:16]


def run_session(server, base):
    session = Quorvan.CLASS_FTPClient()
    step(f"new session: connected={session.CUF_IsConnected()}")

    session.CUF_Open(server.host, server.port, "alice", "secret", Pmi_KeepAliveInterval=0.2)
    step(f"opened as alice: connected={session.CUF_IsConnected()}, "
         f"keep-alive every {session.mi_KeepAliveInterval} s")
    step(f"working directory: {session.CUF_GetCurrentDir()}")

    time.sleep(0.7)
    noops = [c for c in server.commands() if c[1] == "NOOP"]
    step(f"the keep-alive timer sent {len(noops)} NOOP commands in 0.7 s")
    step(f"CUF_CheckAlive() -> {session.CUF_CheckAlive()}")

    session.CUF_MakeDir("demo")
    session.CUF_ChangeDir("demo")
    step(f"made and entered {session.CUF_GetCurrentDir()}")
    local = base / "report.bin"
    local.write_bytes(os.urandom(1024 * 1024 + 3))
    session.CUF_UploadFile(str(local), "report.bin")
    step(f"uploaded report.bin ({local.stat().st_size} bytes, sha256 {digest(local)})")
    step(f"listing: {session.CUF_ListFiles()}")
    copy = base / "copy.bin"
    session.CUF_DownloadFile("report.bin", str(copy), 65536)
    step(f"downloaded it again: sha256 {digest(copy)}, identical={copy.read_bytes() == local.read_bytes()}")
    try:
        session.CUF_DownloadFile("no-such-file", str(copy))
    except Quorvan.error_perm as e:
        step(f"a download of a missing file fails ({e}) and leaves the local copy intact: "
             f"sha256 {digest(copy)}")
    session.CUF_RenameFile("report.bin", "final.bin")
    step(f"renamed: exists(report.bin)={session.CUF_FileExists('report.bin')}, "
         f"exists(final.bin)={session.CUF_FileExists('final.bin')}")
    session.CUF_DeleteFile("final.bin")
    step(f"deleted final.bin: listing {session.CUF_ListFiles()}")
    session.CUF_ChangeDir("..")
    session.CUF_RemoveDir("demo")
    step(f"removed the directory: listing {session.CUF_ListFiles()}")

    session.CUF_Close()
    step(f"closed: connected={session.CUF_IsConnected()}, FTP object={session.mobj_FTP}")
    step("commands the server saw: " + " ".join(c[1] for c in server.commands() if c[1] != "NOOP"))


if __name__ == "__main__":
    main()
