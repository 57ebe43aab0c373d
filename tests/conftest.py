import tempfile
from pathlib import Path

import pytest

from support.fakes import Rig
from support.server import FtpServer, FtpView


@pytest.fixture(scope="session")
def ftp_server():
    """One pyftpdlib server process shared by the whole run."""
    with tempfile.TemporaryDirectory(prefix="quorvan-ftp-") as base:
        server = FtpServer(Path(base)).start()
        try:
            yield server
        finally:
            server.stop()


@pytest.fixture
def ftp(ftp_server, request):
    """The shared server as one test sees it: its own folder, its own part
    of the command log, no fault rules left behind."""
    name = "t-" + "".join(ch if ch.isalnum() else "_" for ch in request.node.name)[:80]
    view = FtpView(ftp_server, name)
    try:
        yield view
    finally:
        ftp_server.clear_faults()


@pytest.fixture
def start_server(tmp_path):
    """Starts dedicated servers (for settings the shared one cannot have)."""
    started = []

    def start(**options):
        base = tmp_path / f"server{len(started)}"
        base.mkdir()
        server = FtpServer(base, **options).start()
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def Quorvan():
    import Quorvan

    return Quorvan


@pytest.fixture
def client(Quorvan):
    """A session that is closed again at the end of the test."""
    session = Quorvan.CLASS_FTPClient()
    yield session
    try:
        session.CUF_StopKeepAliveTimer()
        if session.mobj_FTP is not None and not session.mobj_Lock.locked():
            session.CUF_Close()
    except Exception:
        pass


@pytest.fixture
def rig(Quorvan, monkeypatch):
    """A session on recording stand-ins (see support/fakes.py)."""
    return Rig(Quorvan, monkeypatch)
