"""One session through every method and its main failure paths, against the
test FTP server in a separate process; meant to run under a memory checker
(scripts/memcheck).  Exits 0 when every step behaved as expected.

    PYTHONPATH=tests python tests/support/smoke_session.py [ROUNDS]
"""

import os
import sys
import tempfile
import time
from pathlib import Path

import Quorvan
from support.server import PASSWORD, USER, FtpServer

WAIT = 30.0  # seconds; generous, the checker slows everything down


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def raises(kind, call, *args):
    try:
        call(*args)
    except kind as e:
        return e
    raise AssertionError(f"{call.__name__}{args!r} did not raise {kind.__name__}")


def wait_for(server, mark, command):
    server.wait_for(lambda ev: any(e["ev"] == "cmd" and e["cmd"] == command for e in ev),
                    timeout=WAIT, since=mark)


def one_round(server, work: Path, n: int):
    payload = os.urandom(50_000 + n)
    source = work / f"up{n}.bin"
    source.write_bytes(payload)
    target = work / f"down{n}.bin"
    target.write_bytes(b"keep me")

    s = Quorvan.CLASS_FTPClient()
    raises(AttributeError, s.CUF_GetCurrentDir)  # no session yet
    mark = server.log_mark()
    expect(s.CUF_Open(server.host, server.port, USER, PASSWORD, Pmi_KeepAliveInterval=0.05),
           "open")
    wait_for(server, mark, "NOOP")  # a keep-alive firing
    expect(s.CUF_IsConnected() and s.CUF_KeepAlive() and s.CUF_CheckAlive(), "alive")

    folder = f"r{n}"
    s.CUF_MakeDir(folder)
    s.CUF_ChangeDir(folder)
    expect(s.CUF_GetCurrentDir() == "/" + folder, "cwd")
    s.CUF_UploadFile(str(source), "a.bin", 4096)
    expect(s.CUF_ListFiles() == ["a.bin"], "list")
    expect(s.CUF_FileExists("a.bin") is True, "exists")
    expect(s.CUF_FileExists("missing") is False, "missing")
    s.CUF_DownloadFile("a.bin", str(target))
    expect(target.read_bytes() == payload, "download")
    fd = os.open(work / f"fd{n}.bin", os.O_WRONLY | os.O_CREAT)  # written directly, closed
    s.CUF_DownloadFile("a.bin", fd, 1000)
    expect((work / f"fd{n}.bin").read_bytes() == payload, "download to fd")

    # a refused and a cut download leave the local file as it was
    raises(Quorvan.error_perm, s.CUF_DownloadFile, "missing", str(target))
    server.set_faults([{"cmd": "RETR", "action": "cut", "after": 1000}])
    raises(Exception, s.CUF_DownloadFile, "a.bin", str(target))
    server.clear_faults()
    expect(target.read_bytes() == payload, "target kept")
    raises(FileNotFoundError, s.CUF_UploadFile, str(work / "nothing"), "b.bin")
    raises(TypeError, s.CUF_RenameFile, "a.bin")

    s.CUF_RenameFile("a.bin", "b.bin")
    s.CUF_DeleteFile("b.bin")
    raises(Quorvan.error_perm, s.CUF_DeleteFile, "b.bin")
    s.CUF_ChangeDir("/")
    s.CUF_RemoveDir(folder)

    # a NOOP the server hangs up on: the session is lost, then re-opened
    s.CUF_StopKeepAliveTimer()
    server.set_faults([{"cmd": "NOOP", "action": "hangup"}])
    expect(s.CUF_KeepAlive() is False and s.CUF_IsConnected() is False, "lost")
    server.clear_faults()
    expect(s.CUF_Open(server.host, server.port), "re-open")
    s.CUF_StartKeepAliveTimer(0.02)
    time.sleep(0.1)

    # a QUIT that fails falls back to closing the sockets
    server.set_faults([{"cmd": "QUIT", "action": "hangup"}])
    s.CUF_Close()
    server.clear_faults()
    expect(s.mobj_FTP is None and not s.CUF_IsConnected(), "closed")
    s.CUF_Close()

    # open failures are wrapped
    e = raises(RuntimeError, s.CUF_Open, server.host, server.port, USER, "wrong")
    expect(str(e).startswith("FTP Open failed: 530"), "refused login")
    s.CUF_Close()
    del s


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    with tempfile.TemporaryDirectory(prefix="quorvan-smoke-") as base:
        base = Path(base)
        (base / "server").mkdir()
        work = base / "work"
        work.mkdir()
        server = FtpServer(base / "server").start()
        try:
            for n in range(rounds):
                one_round(server, work, n)
        finally:
            server.stop()
    print(f"smoke session: {rounds} rounds passed")


if __name__ == "__main__":
    main()
