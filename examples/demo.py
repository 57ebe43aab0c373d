"""A demo session: starts a throw-away FTP server on loopback, walks one
Quorvan session through its life, prints what happens, and stops the server.
"""

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
            run_session(server)
        finally:
            server.stop()
            print("server stopped")


def run_session(server):
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

    session.CUF_Close()
    step(f"closed: connected={session.CUF_IsConnected()}, FTP object={session.mobj_FTP}")
    step("commands the server saw: " + " ".join(c[1] for c in server.commands()))


if __name__ == "__main__":
    main()
