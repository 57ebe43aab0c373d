"""Every operation against four real FTP servers: pyftpdlib, vsftpd, ProFTPD
and Pure-FTPd, each started on loopback with a generated configuration
(support/daemons.py).  Replies are matched by their codes; the texts differ
from server to server.

A daemon that is not installed is skipped, unless QUORVAN_INTEROP=required
(CI), where it fails the run.  scripts/install-ftp-daemons installs them."""

import ftplib
import os
import threading
import time

import pytest

from support import daemons

pytestmark = pytest.mark.interop

REQUIRED = os.environ.get("QUORVAN_INTEROP") == "required"
SIZES = (0, 1, 70_001, 1024 * 1024 + 3)


def start(kind, **options):
    try:
        return daemons.make(kind, **options)
    except daemons.Unavailable as e:
        if REQUIRED:
            pytest.fail(f"{kind}: {e}")
        pytest.skip(f"{kind}: {e}")


@pytest.fixture(scope="module", params=daemons.KINDS)
def server(request):
    server = start(request.param)
    yield server
    server.close()


@pytest.fixture
def folders(server, request):
    """folders(anonymous=False) -> (remote path, local path), fresh for the test."""
    name = "".join(ch if ch.isalnum() else "_" for ch in request.node.name)[:60]
    made = []

    def make(anonymous=False):
        made.append(1)
        return server.folder(f"{name}-{len(made)}", anonymous)

    yield make
    server.reset()


@pytest.fixture
def named(server, folders, client):
    """A session of the named user, working in a fresh folder of its own."""
    remote, local = folders()
    assert client.CUF_Open(server.host, server.port, server.user, server.password) is True
    client.CUF_ChangeDir(remote)
    return client, remote, local


def assert_refused(call, *args):
    with pytest.raises(ftplib.error_perm) as info:
        call(*args)
    assert str(info.value)[:1] == "5", info.value


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"not reached within {timeout}s")
        time.sleep(0.02)


class TestLogins:
    def test_named_login(self, server, named):
        client, remote, _ = named
        assert client.CUF_IsConnected() is True
        assert client.CUF_GetCurrentDir() == remote

    def test_anonymous_login(self, server, folders, client):
        remote, _ = folders(anonymous=True)
        assert client.CUF_Open(server.host, server.port) is True
        assert client.CUF_GetCurrentDir() == "/"
        client.CUF_ChangeDir(remote)
        assert client.CUF_GetCurrentDir() == remote

    def test_refused_login(self, server, client, Quorvan):
        # Pure-FTPd answers a wrong password only after several seconds
        with pytest.raises(RuntimeError) as info:
            client.CUF_Open(server.host, server.port, server.user, "wrong", Pmi_Timeout=20)
        assert str(info.value).startswith("FTP Open failed: 530")
        assert isinstance(info.value.__context__, Quorvan.error_perm)
        assert client.CUF_IsConnected() is False and client.mobj_KeepAliveTimer is None
        client.CUF_Close()
        assert client.mobj_FTP is None


class TestNamedUser:
    def test_directories(self, server, named):
        client, remote, local = named
        assert server.listing(client.CUF_ListFiles()) == []
        assert client.CUF_MakeDir("sub dir") is None
        assert (local / "sub dir").is_dir()
        client.CUF_ChangeDir("sub dir")
        assert client.CUF_GetCurrentDir() == remote + "/sub dir"
        client.CUF_ChangeDir("..")
        assert client.CUF_GetCurrentDir() == remote
        assert server.listing(client.CUF_ListFiles()) == ["sub dir"]
        client.CUF_RemoveDir("sub dir")
        assert not (local / "sub dir").exists()

    def test_transfers_are_byte_exact(self, server, named, tmp_path):
        client, _, local = named
        for size in SIZES:
            data = os.urandom(size)
            src, dst = tmp_path / f"up{size}", tmp_path / f"down{size}"
            src.write_bytes(data)
            client.CUF_UploadFile(str(src), f"f{size}.bin")
            assert (local / f"f{size}.bin").read_bytes() == data, size
            client.CUF_DownloadFile(f"f{size}.bin", str(dst), 4096)
            assert dst.read_bytes() == data, size
        assert server.listing(client.CUF_ListFiles()) == sorted(f"f{n}.bin" for n in SIZES)

    def test_active_mode_and_a_non_ascii_name(self, server, folders, client, tmp_path):
        remote, local = folders()
        client.CUF_Open(server.host, server.port, server.user, server.password, Pmb_Passive=False)
        client.CUF_ChangeDir(remote)
        name = "ünï cödé 檔案.bin"
        (tmp_path / "src").write_bytes(b"active")
        client.CUF_UploadFile(str(tmp_path / "src"), name)
        assert (local / name).read_bytes() == b"active"
        assert server.listing(client.CUF_ListFiles()) == [name]
        assert client.CUF_FileExists(name) is True
        client.CUF_DownloadFile(name, str(tmp_path / "dst"))
        assert (tmp_path / "dst").read_bytes() == b"active"

    def test_rename_and_delete(self, server, named):
        client, _, local = named
        (local / "a").write_bytes(b"renamed")
        client.CUF_RenameFile("a", "b")
        assert not (local / "a").exists() and (local / "b").read_bytes() == b"renamed"
        client.CUF_DeleteFile("b")
        assert not (local / "b").exists()

    def test_file_exists_whatever_the_transfer_type(self, server, named):
        client, _, local = named
        (local / "there").write_bytes(b"12345")
        (local / "empty").write_bytes(b"")
        (local / "folder").mkdir()
        # the connection is in ASCII type right after login and after a listing
        assert client.CUF_FileExists("there") is True
        assert client.CUF_FileExists("missing") is False
        client.CUF_ListFiles()
        assert client.CUF_FileExists("there") is True
        assert client.CUF_FileExists("empty") is True
        assert client.CUF_FileExists("folder") is False
        assert client.CUF_FileExists("missing") is False
        client.mobj_FTP.voidcmd("TYPE A")
        if server.size_in_ascii:
            assert client.mobj_FTP.size("there") == 5
        else:  # what a bare SIZE meets on this server; the method sends TYPE I first
            assert_refused(client.mobj_FTP.size, "there")
        assert client.CUF_FileExists("there") is True

    def test_refusals(self, server, named, tmp_path):
        client, _, _ = named
        assert_refused(client.CUF_ChangeDir, "missing")
        assert_refused(client.CUF_RemoveDir, "missing")
        # Not an existing folder: newer ProFTPD answers 257 for that.
        assert_refused(client.CUF_MakeDir, "missing/d")
        assert_refused(client.CUF_DeleteFile, "missing")
        assert_refused(client.CUF_RenameFile, "missing", "x")
        assert_refused(client.CUF_DownloadFile, "missing", str(tmp_path / "x"))
        assert not (tmp_path / "x").exists()
        assert not client.mobj_Lock.locked() and client.CUF_IsConnected() is True
        assert client.CUF_GetCurrentDir()  # the session goes on

    def test_in_step_after_a_listing_that_cannot_be_decoded(self, server, named):
        """A name that is not UTF-8 (Latin-1, from an older server) fails the
        listing, as ftplib fails it; every later command gets its own reply."""
        client, remote, local = named
        (local / "present").write_bytes(b"x")
        os.close(os.open(os.fsencode(local) + b"/caf\xe9", os.O_CREAT | os.O_WRONLY, 0o644))
        with pytest.raises(UnicodeDecodeError):
            client.CUF_ListFiles()
        assert client.CUF_FileExists("missing.txt") is False
        assert client.CUF_FileExists("present") is True
        assert_refused(client.CUF_ChangeDir, "nodir")
        assert client.CUF_GetCurrentDir() == remote
        assert client.CUF_CheckAlive() is True and client.CUF_IsConnected() is True


class TestAnonymousUser:
    def test_anonymous_work(self, server, folders, client, tmp_path):
        remote, local = folders(anonymous=True)
        client.CUF_Open(server.host, server.port)
        client.CUF_ChangeDir(remote)
        data = os.urandom(300_000)
        (tmp_path / "src").write_bytes(data)
        client.CUF_UploadFile(str(tmp_path / "src"), "up.bin")
        assert (local / "up.bin").read_bytes() == data
        client.CUF_DownloadFile("up.bin", str(tmp_path / "dst"))
        assert (tmp_path / "dst").read_bytes() == data
        client.CUF_MakeDir("d")
        assert server.listing(client.CUF_ListFiles()) == ["d", "up.bin"]
        assert client.CUF_FileExists("up.bin") is True
        if server.anon_can_remove:
            client.CUF_RenameFile("up.bin", "moved.bin")
            client.CUF_DeleteFile("moved.bin")
            client.CUF_RemoveDir("d")
            assert list(local.iterdir()) == []
        else:
            assert_refused(client.CUF_RenameFile, "up.bin", "moved.bin")
            assert_refused(client.CUF_DeleteFile, "up.bin")
            assert_refused(client.CUF_RemoveDir, "d")
            assert sorted(p.name for p in local.iterdir()) == ["d", "up.bin"]


class TestKeepAlive:
    def test_noops_at_a_short_interval(self, server, folders, client):
        remote, _ = folders()
        mark = server.log_mark()
        client.CUF_Open(server.host, server.port, server.user, server.password,
                        Pmi_KeepAliveInterval=0.05)
        # The server's replies, seen through the connection's own voidcmd
        # (Pure-FTPd keeps no command log of its own).
        replies, voidcmd = [], client.mobj_FTP.voidcmd

        def recording(cmd):
            reply = voidcmd(cmd)
            replies.append((cmd, reply))
            return reply

        client.mobj_FTP.voidcmd = recording
        wait_until(lambda: len(replies) >= 3)
        assert all(cmd == "NOOP" and reply[:1] == "2" for cmd, reply in replies[:3]), replies
        client.CUF_ChangeDir(remote)
        assert client.CUF_GetCurrentDir() == remote
        assert client.CUF_CheckAlive() is True and client.CUF_IsConnected() is True
        logged = server.commands(mark)
        if logged is not None:
            assert logged.count("NOOP") >= 4
        client.CUF_Close()
        settled = len(replies)
        time.sleep(0.3)
        assert len(replies) <= settled + 1  # at most one firing overlapped the stop

    def test_dropped_connection(self, server, folders, client):
        client.CUF_Open(server.host, server.port, server.user, server.password)
        server.drop_sessions()
        assert client.CUF_IsConnected() is True  # a record, not a probe
        wait_until(lambda: client.CUF_CheckAlive() is False)
        assert client.CUF_IsConnected() is False and not client.mobj_Lock.locked()
        client.CUF_Close()
        assert client.mobj_FTP is None and client.CUF_IsConnected() is False

    @pytest.mark.parametrize("kind", ["vsftpd", "proftpd"])  # idle time-outs in seconds
    def test_keep_alive_outlives_the_idle_timeout(self, kind, Quorvan):
        # The time-out leaves room for a login on a loaded machine; the idle
        # session then sits out well over it.
        server = start(kind, idle_timeout=3)
        kept, idle = Quorvan.CLASS_FTPClient(), Quorvan.CLASS_FTPClient()
        try:
            kept.CUF_Open(server.host, server.port, server.user, server.password,
                          Pmi_KeepAliveInterval=0.2)
            idle.CUF_Open(server.host, server.port, server.user, server.password)
            time.sleep(5)
            assert kept.CUF_CheckAlive() is True and kept.CUF_GetCurrentDir()
            assert idle.CUF_CheckAlive() is False
        finally:
            kept.CUF_Close()
            idle.CUF_Close()
            server.close()


def test_threads_share_one_session(server, named, tmp_path):
    """Workers upload, list, download and verify their own files through one
    session while the keep-alive fires every 20 ms.  Where the server logs
    them, NOOPs went out, and never while a transfer ran."""
    client, _, _ = named
    mark = server.log_mark()
    client.CUF_StopKeepAliveTimer()
    client.CUF_StartKeepAliveTimer(0.02)
    errors, rounds = [], 6

    def worker(n):
        try:
            for i in range(rounds):
                data = os.urandom(50_000 + 7919 * n + i)
                src, dst = tmp_path / f"s{n}", tmp_path / f"d{n}"
                src.write_bytes(data)
                name = f"w{n}-{i}.bin"
                client.CUF_UploadFile(str(src), name, 4096)
                assert name in client.CUF_ListFiles()
                assert client.CUF_FileExists(name) is True
                client.CUF_DownloadFile(name, str(dst), 4096)
                assert dst.read_bytes() == data
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,), daemon=True) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a worker is stuck"
    assert errors == []
    assert client.CUF_CheckAlive() is True
    commands = server.commands(mark)
    if commands is not None:
        assert "NOOP" in commands
    if hasattr(server, "events"):
        in_transfer = False
        for e in server.events(mark):
            if e["ev"] == "cmd" and e["cmd"] in ("RETR", "STOR"):
                in_transfer = True
            elif e["ev"] == "reply" and in_transfer and e["code"][0] in "2345":
                in_transfer = False
            elif e["ev"] == "cmd":
                assert not in_transfer, f"{e['cmd']} sent during a transfer"
