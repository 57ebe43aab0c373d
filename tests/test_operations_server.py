"""Directory, file and transfer operations end to end on the real server."""

import contextlib
import errno
import ftplib
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import pytest

from support.scripted_server import closed_port, unanswered_port
from support.timing import scaled

pytestmark = pytest.mark.core


@pytest.fixture
def session(ftp, client):
    """An open session (alice) whose working directory is the test's folder."""
    client.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password)
    client.CUF_ChangeDir(ftp.dirname)
    return client


def leftovers(folder, *keep):
    return sorted(p.name for p in Path(folder).iterdir() if p.name not in keep)


def answers_in_step(ftp, session):
    """Each command of the session gets its own reply."""
    (ftp.local_dir / "present.txt").write_bytes(b"here")
    assert session.CUF_FileExists("missing.txt") is False
    assert session.CUF_FileExists("present.txt") is True
    with pytest.raises(ftplib.error_perm):
        session.CUF_ChangeDir("no such folder")
    assert session.CUF_GetCurrentDir() == "/" + ftp.dirname
    assert session.CUF_CheckAlive() is True and session.mb_Connected is True


class Deadline(Exception):
    """The caller's own exception, as a deadline's signal handler raises it."""


@contextlib.contextmanager
def raised_after(seconds, error):
    """`error` raised in the main thread by a SIGALRM handler after `seconds`."""
    def handler(signum, frame):
        raise error()

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class TestRoundTrips:
    @pytest.mark.parametrize("size,block", [
        (size, block)
        for size in (0, 1, 8193, 3 * 1024 * 1024 + 17)
        for block in (1, 8192, 1024 * 1024)
        if block > 1 or size < 100_000  # a byte at a time only for the small files
    ])
    def test_bytes_survive_both_ways(self, ftp, session, tmp_path, size, block):
        data = os.urandom(size)
        src, dst = tmp_path / "src", tmp_path / "dst"
        src.write_bytes(data)
        session.CUF_UploadFile(str(src), "blob.bin", block)
        assert (ftp.local_dir / "blob.bin").read_bytes() == data
        session.CUF_DownloadFile("blob.bin", str(dst), block)
        assert dst.read_bytes() == data

    @pytest.mark.parametrize("name", ["with space.txt", " lead and trail ", "ünïcödé 檔案.bin"])
    def test_names(self, ftp, session, tmp_path, name):
        src = tmp_path / "src"
        src.write_bytes(b"named")
        session.CUF_UploadFile(src, name)
        assert (ftp.local_dir / name).read_bytes() == b"named"
        assert name in session.CUF_ListFiles()
        assert session.CUF_FileExists(name) is True
        local = tmp_path / name.strip()
        session.CUF_DownloadFile(name, local)
        assert local.read_bytes() == b"named"

    def test_path_like_and_bytes_destinations(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"abc")
        session.CUF_DownloadFile("r", tmp_path / "p")
        session.CUF_DownloadFile("r", os.fsencode(tmp_path / "b"))
        assert (tmp_path / "p").read_bytes() == (tmp_path / "b").read_bytes() == b"abc"

    def test_file_descriptor_destination(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"via fd")
        fd = os.open(tmp_path / "f", os.O_WRONLY | os.O_CREAT, 0o600)
        session.CUF_DownloadFile("r", fd)
        with pytest.raises(OSError):
            os.fstat(fd)  # open(fd, "wb") closed it, as specified
        assert (tmp_path / "f").read_bytes() == b"via fd"


class TestDirectoriesAndFiles:
    def test_directory_lifecycle(self, ftp, session):
        base = "/" + ftp.dirname
        assert session.CUF_GetCurrentDir() == base
        assert session.CUF_ListFiles() == []
        assert session.CUF_MakeDir("sub dir") is None
        assert (ftp.local_dir / "sub dir").is_dir()
        assert session.CUF_ChangeDir("sub dir") is None
        assert session.CUF_GetCurrentDir() == base + "/sub dir"
        session.CUF_ChangeDir("..")
        assert session.CUF_ListFiles() == ["sub dir"]
        assert session.CUF_RemoveDir("sub dir") is None
        assert not (ftp.local_dir / "sub dir").exists()

    @pytest.mark.parametrize("method,args", [
        ("CUF_ChangeDir", ("missing",)), ("CUF_RemoveDir", ("missing",)),
        ("CUF_DeleteFile", ("missing",)), ("CUF_RenameFile", ("missing", "x"))])
    def test_refusals(self, session, method, args):
        session.mb_Connected = "kept"
        with pytest.raises(ftplib.error_perm) as info:
            getattr(session, method)(*args)
        assert str(info.value).startswith("550")
        assert session.mb_Connected == "kept" and not session.mobj_Lock.locked()

    def test_make_existing_dir_is_refused(self, ftp, session):
        (ftp.local_dir / "d").mkdir()
        with pytest.raises(ftplib.error_perm):
            session.CUF_MakeDir("d")

    def test_delete_and_rename(self, ftp, session):
        (ftp.local_dir / "a").write_bytes(b"1")
        session.CUF_RenameFile("a", "b")
        assert not (ftp.local_dir / "a").exists() and (ftp.local_dir / "b").read_bytes() == b"1"
        assert [c[1] for c in ftp.commands()][-2:] == ["RNFR", "RNTO"]
        session.CUF_DeleteFile("b")
        assert not (ftp.local_dir / "b").exists()

    def test_file_exists(self, ftp, session):
        (ftp.local_dir / "there").write_bytes(b"x")
        (ftp.local_dir / "empty").write_bytes(b"")
        (ftp.local_dir / "folder").mkdir()
        # right after login the connection is in ASCII type
        assert session.CUF_FileExists("there") is True
        assert session.CUF_FileExists("missing") is False
        session.CUF_ListFiles()  # leaves the connection in ASCII type again
        assert session.CUF_FileExists("there") is True
        assert session.CUF_FileExists("missing") is False
        assert session.CUF_FileExists("empty") is True
        assert session.CUF_FileExists("folder") is False

    def test_file_exists_raises_on_a_4xx_reply(self, ftp, session):
        (ftp.local_dir / "there").write_bytes(b"x")
        ftp.set_faults([{"cmd": "SIZE", "action": "reply", "text": "450 try later"}])
        with pytest.raises(ftplib.error_temp, match="^450 try later$"):
            session.CUF_FileExists("there")
        assert not session.mobj_Lock.locked()


class TestFailedDownloads:
    """A download that fails leaves the local file as it was."""

    @pytest.fixture(params=["missing remote", "cut part-way"])
    def failure(self, request, ftp):
        (ftp.local_dir / "big").write_bytes(os.urandom(2 * 1024 * 1024))
        if request.param == "missing remote":
            return "nothing here", ftplib.error_perm
        ftp.set_faults([{"cmd": "RETR", "action": "cut", "after": 300_000}])
        return "big", (ftplib.error_temp, EOFError, ConnectionError)

    def test_existing_file_is_untouched(self, session, tmp_path, failure):
        remote, errors = failure
        local = tmp_path / "local.bin"
        local.write_bytes(b"the old content")
        os.chmod(local, 0o640)
        with pytest.raises(errors):
            session.CUF_DownloadFile(remote, str(local))
        assert local.read_bytes() == b"the old content"
        assert stat.S_IMODE(local.stat().st_mode) == 0o640
        assert leftovers(tmp_path, "local.bin") == []

    def test_no_file_is_created(self, session, tmp_path, failure):
        remote, errors = failure
        with pytest.raises(errors):
            session.CUF_DownloadFile(remote, str(tmp_path / "new.bin"))
        assert leftovers(tmp_path) == []

    def test_session_goes_on_after_a_cut(self, ftp, session, tmp_path):
        (ftp.local_dir / "big").write_bytes(os.urandom(1024 * 1024))
        ftp.set_faults([{"cmd": "RETR", "action": "cut", "after": 100_000, "times": 1}])
        with pytest.raises(Exception):
            session.CUF_DownloadFile("big", str(tmp_path / "x"))
        session.CUF_DownloadFile("big", str(tmp_path / "x"))
        assert (tmp_path / "x").read_bytes() == (ftp.local_dir / "big").read_bytes()


    T = 2  # the session's time-out in the broken-transfer tests

    @pytest.mark.parametrize("final, in_step", [
        (0.5, True), ("226 Transfer complete.", True), (None, True), ("never", True),
        ("silent", False),
    ], ids=["late", "226 at once", "426 at once", "never", "silent"])
    def test_data_connection_timing_out(self, ftp, session, tmp_path, final, in_step):
        """The data stops flowing; whatever the server says once the client
        gives up is read and dropped, a final reply that never comes is not
        waited for, and when the server says nothing more the session is Lost
        and every later call fails at once."""
        T = self.T
        session.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password, T)
        session.CUF_ChangeDir(ftp.dirname)
        (ftp.local_dir / "big").write_bytes(os.urandom(1 << 20))
        rule = {"cmd": "RETR", "action": "freeze", "after": 100_000, "times": 1}
        if final is not None:
            rule["final"] = final
        ftp.set_faults([rule])
        local = tmp_path / "local.bin"
        local.write_bytes(b"the old content")
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            session.CUF_DownloadFile("big", str(local))
        took = time.monotonic() - started
        assert local.read_bytes() == b"the old content" and leftovers(tmp_path, "local.bin") == []
        assert not session.mobj_Lock.locked()
        # T for the data, then what the server owes: the late reply, or a
        # time-out of silence; a round trip otherwise.
        assert took <= (2 * T if final in (0.5, "silent") else T) + scaled(1)
        if in_step:
            answers_in_step(ftp, session)
            return
        assert session.mb_Connected is False
        for call in (session.CUF_GetCurrentDir, lambda: session.CUF_FileExists("big")):
            started = time.monotonic()
            with pytest.raises(ftplib.all_errors):
                call()
            assert time.monotonic() - started < scaled(1)
        session.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password, T)
        session.CUF_ChangeDir(ftp.dirname)
        answers_in_step(ftp, session)

    @pytest.mark.parametrize("side", ["download", "upload"])
    def test_local_file_failing_part_way(self, ftp, session, tmp_path, side):
        """A full disk under a download, a failing read under an upload: the
        server's final reply is read and dropped."""
        (ftp.local_dir / "big").write_bytes(os.urandom(1 << 20))
        if side == "download":
            node = tmp_path / "full"
            try:  # a private node of the full device, never the machine's /dev/full
                os.mknod(node, 0o600 | stat.S_IFCHR, os.makedev(1, 7))
            except PermissionError:
                pytest.skip("creating device nodes needs privileges")
            with pytest.raises(OSError) as info:
                session.CUF_DownloadFile("big", str(node))
            assert info.value.errno == errno.ENOSPC
        else:
            fd = os.open(tmp_path / "source", os.O_WRONLY | os.O_CREAT, 0o600)
            with pytest.raises(OSError) as info:
                session.CUF_UploadFile(fd, "up")  # open(fd, "rb") reads a write-only descriptor
            assert info.value.errno == errno.EBADF
        answers_in_step(ftp, session)


class TestInStepAfterAnyFailure:
    """Whatever a command fails with, and wherever, the next command gets its
    own reply: the session asks the server where the conversation stands
    instead of guessing from what was raised."""

    T = 2

    @staticmethod
    def pasv_to(port):
        return {"cmd": "PASV", "action": "reply", "times": 1,
                "text": f"227 Entering Passive Mode (127,0,0,1,{port >> 8},{port & 255})."}

    # case -> (the failing call, what it raises, seconds it may take)
    CASES = {
        "undecodable name in a listing": ("list", UnicodeDecodeError, 1),
        "handler exception during a download": ("download", Deadline, 1.5),
        "KeyboardInterrupt while CheckAlive waits": ("check", KeyboardInterrupt, 1.5),
        "KeyboardInterrupt while PWD waits": ("pwd", KeyboardInterrupt, 1.5),
        "handler exception while MKD waits": ("mkd", Deadline, 1.5),
        "data connection refused": ("refused", ConnectionRefusedError, 1),
        "data connection never answered": ("unanswered", TimeoutError, 2 + 1),
    }

    @pytest.mark.parametrize("case", list(CASES))
    def test_next_command_gets_its_own_reply(self, ftp, session, tmp_path, case):
        kind, raised, bound = self.CASES[case]
        session.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password, self.T)
        session.CUF_ChangeDir(ftp.dirname)
        (ftp.local_dir / "f").write_bytes(os.urandom(200_000))
        interrupt = contextlib.nullcontext()
        held = []
        if kind == "list":
            os.close(os.open(os.fsencode(ftp.local_dir) + b"/caf\xe9.txt", os.O_CREAT, 0o600))
            call = session.CUF_ListFiles
        elif kind == "download":
            ftp.set_faults([{"cmd": "RETR", "action": "freeze", "after": 100_000, "times": 1}])
            interrupt = raised_after(0.3, Deadline)
            call = lambda: session.CUF_DownloadFile("f", str(tmp_path / "f"))
        elif kind in ("check", "pwd", "mkd"):
            command = {"check": "NOOP", "pwd": "PWD", "mkd": "MKD"}[kind]
            ftp.set_faults([{"cmd": command, "action": "delay", "seconds": 0.5, "times": 1}])
            interrupt = raised_after(0.2, raised)
            call = {"check": session.CUF_CheckAlive, "pwd": session.CUF_GetCurrentDir,
                    "mkd": lambda: session.CUF_MakeDir("new")}[kind]
        else:
            port = (closed_port(ftp.host) if kind == "refused"
                    else unanswered_port(ftp.host, held))
            ftp.set_faults([self.pasv_to(port)])
            call = lambda: session.CUF_DownloadFile("f", str(tmp_path / "f"))
        try:
            started = time.monotonic()
            with pytest.raises(raised), interrupt:
                call()
            assert time.monotonic() - started < scaled(bound)
        finally:
            for s in held:
                s.close()
        assert not session.mobj_Lock.locked()
        answers_in_step(ftp, session)
        if kind == "mkd":  # the server made it; its late reply was dropped
            assert (ftp.local_dir / "new").is_dir()


class TestDestinations:
    def test_replaced_file_keeps_its_mode_and_owner(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"new")
        local = tmp_path / "l"
        local.write_bytes(b"old")
        os.chmod(local, 0o604)
        if os.geteuid() == 0:  # a service's file, replaced by root
            os.chown(local, 65534, 65534)
        before = local.stat()
        session.CUF_DownloadFile("r", str(local))
        after = local.stat()
        assert local.read_bytes() == b"new" and stat.S_IMODE(after.st_mode) == 0o604
        assert (after.st_uid, after.st_gid) == (before.st_uid, before.st_gid)

    # A team folder (group 4242, owned by 4001) holding "report", a colleague's
    # (4002) group-writable file: (folder mode, who downloads over it and to a
    # new name) -> what becomes of each.  In a sticky folder only the file's
    # owner may replace it; a folder the user may not write holds no
    # temporary file.  Where open(path, "wb") would write, the file is written
    # in place; elsewhere the download is refused as open() refuses it.
    TEAM = {"owner": (4002, 4242), "group member": (4003, 4242), "other user": (4004, 4004)}
    SHARED_FOLDERS = {
        "sticky, owner": (0o1775, "owner", "replaced", "created"),
        "sticky, group member": (0o1775, "group member", "in place", "created"),
        "sticky, other user": (0o1775, "other user", "refused", "refused"),
        "sticky set-group-ID, group member": (0o3775, "group member", "in place", "created"),
        "not writable, group member": (0o755, "group member", "in place", "refused"),
    }

    @pytest.mark.parametrize("mode,actor,report,new", SHARED_FOLDERS.values(),
                             ids=list(SHARED_FOLDERS))
    def test_shared_folders(self, ftp, mode, actor, report, new):
        """Whether a file can be replaced is known before anything is sent: a
        refused download sends no RETR, and none is sent for nothing."""
        if os.geteuid() != 0:
            pytest.skip("acting as other users needs root")
        (ftp.local_dir / "r").write_bytes(b"new")
        script = textwrap.dedent("""
            import os, sys, Quorvan
            host, port, user, password, remote_folder, team, uid, gid = sys.argv[1:]
            s = Quorvan.CLASS_FTPClient()
            s.CUF_Open(host, int(port), user, password)  # as root: the interpreter is root's
            s.CUF_ChangeDir(remote_folder)
            os.setgroups([int(gid)])
            os.setgid(int(gid))
            os.setuid(int(uid))
            for name in ("report", "new"):
                path = os.path.join(team, name)
                try:
                    s.CUF_DownloadFile("r", path)
                    print("done")
                except PermissionError as e:
                    try:
                        open(path, "wb")
                    except PermissionError as by_open:
                        print("refused", e.errno == by_open.errno, e.filename == path)
            s.CUF_Close()
        """)
        base = tempfile.mkdtemp(prefix="quorvan-team-")
        try:
            os.chmod(base, 0o755)
            team = Path(base) / "team"
            team.mkdir()
            os.chown(team, 4001, 4242)
            os.chmod(team, mode)
            path = team / "report"
            path.write_bytes(b"old")
            os.chown(path, 4002, 4242)
            os.chmod(path, 0o664)
            before = path.stat()
            result = subprocess.run(
                [sys.executable, "-c", script, ftp.host, str(ftp.port), ftp.user, ftp.password,
                 ftp.dirname, str(team), *map(str, self.TEAM[actor])],
                capture_output=True, text=True, timeout=60)
            after = path.stat()
            became = {(True, b"new"): "replaced", (False, b"new"): "in place",
                      (False, b"old"): "refused"}
            outcome = {"report": became.get((after.st_ino != before.st_ino, path.read_bytes())),
                       "new": "created" if (team / "new").exists() else "refused"}
            left = sorted(os.listdir(team))
        finally:
            shutil.rmtree(base)
        assert result.returncode == 0, result.stderr
        assert outcome == {"report": report, "new": new}
        assert result.stdout.splitlines() == [
            "refused True True" if outcome[name] == "refused" else "done"
            for name in ("report", "new")]
        if report == "replaced":
            assert (after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (4002, 4242, 0o664)
        assert left == (["new", "report"] if new == "created" else ["report"])
        retrieved = [c for c in ftp.commands() if c[1] == "RETR"]
        assert len(retrieved) == 2 - [report, new].count("refused")

    def test_temporary_file_is_private_and_held_by_descriptor(self, ftp, session, tmp_path):
        """While the data arrives, the temporary file is its owner's alone; a
        symbolic link renamed onto its name meanwhile is neither followed nor
        put in place of the destination."""
        local = tmp_path / "l"
        local.write_bytes(b"old")
        os.chmod(local, 0o644)
        victim = tmp_path / "victim"
        victim.write_bytes(b"not yours")
        os.chmod(victim, 0o600)
        t = TestSharing.start_slow_download(ftp, session, local)
        [temporary] = [p for p in tmp_path.iterdir() if p.name.endswith(".part")]
        assert stat.S_IMODE(temporary.stat().st_mode) == 0o600
        (tmp_path / "planted").symlink_to(victim)
        os.rename(tmp_path / "planted", temporary)
        t.join(30)
        assert not t.is_alive()
        assert not local.is_symlink() and local.read_bytes() == (ftp.local_dir / "slow").read_bytes()
        assert stat.S_IMODE(local.stat().st_mode) == 0o644
        assert victim.read_bytes() == b"not yours" and stat.S_IMODE(victim.stat().st_mode) == 0o600

    def test_new_file_gets_the_mode_open_would_give(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"new")
        old_umask = os.umask(0o027)
        try:
            session.CUF_DownloadFile("r", str(tmp_path / "n"))
            with open(tmp_path / "reference", "wb"):
                pass
        finally:
            os.umask(old_umask)
        assert stat.S_IMODE((tmp_path / "n").stat().st_mode) == \
            stat.S_IMODE((tmp_path / "reference").stat().st_mode) == 0o640

    def test_symlink_stays_a_link(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"through the link")
        real_dir = tmp_path / "real"
        real_dir.mkdir()
        target = real_dir / "target"
        target.write_bytes(b"old")
        link = tmp_path / "link"
        link.symlink_to(target)
        session.CUF_DownloadFile("r", str(link))
        assert link.is_symlink() and os.readlink(link) == str(target)
        assert target.read_bytes() == b"through the link"
        with pytest.raises(ftplib.error_perm):
            session.CUF_DownloadFile("missing", str(link))
        assert link.is_symlink() and target.read_bytes() == b"through the link"
        assert leftovers(real_dir) == ["target"] and leftovers(tmp_path) == ["link", "real"]

    def test_dangling_symlink_creates_its_target(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"data")
        link = tmp_path / "link"
        link.symlink_to("target")  # relative, not there yet
        with pytest.raises(ftplib.error_perm):
            session.CUF_DownloadFile("missing", str(link))
        assert leftovers(tmp_path) == ["link"]
        session.CUF_DownloadFile("r", str(link))
        assert link.is_symlink() and (tmp_path / "target").read_bytes() == b"data"

    def test_fifo_is_written_directly(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"to the pipe" * 1000)
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
        reader.start()
        session.CUF_DownloadFile("r", str(fifo))
        reader.join(10)
        assert not reader.is_alive() and received == [b"to the pipe" * 1000]
        assert stat.S_ISFIFO(fifo.stat().st_mode)

    def test_character_device_is_written_directly(self, ftp, session, tmp_path):
        (ftp.local_dir / "r").write_bytes(b"into the void")
        node = tmp_path / "null"
        try:  # a private node of the null device, never the machine's /dev/null
            os.mknod(node, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            pytest.skip("creating device nodes needs privileges")
        session.CUF_DownloadFile("r", str(node))
        assert stat.S_ISCHR(node.stat().st_mode) and leftovers(tmp_path) == ["null"]

    def test_missing_directory_sends_nothing(self, ftp, session, tmp_path):
        before = len(ftp.commands())
        with pytest.raises(FileNotFoundError):
            session.CUF_DownloadFile("r", str(tmp_path / "no" / "such"))
        with pytest.raises(FileNotFoundError):
            session.CUF_UploadFile(str(tmp_path / "absent"), "r")
        assert len(ftp.commands()) == before
        assert session.CUF_GetCurrentDir()  # the lock is free


class TestSharing:
    @staticmethod
    def start_slow_download(ftp, session, local):
        """A download in another thread whose data starts half a second
        late; returns the thread once the RETR has reached the server."""
        (ftp.local_dir / "slow").write_bytes(os.urandom(300_000))
        ftp.set_faults([{"cmd": "RETR", "action": "slow", "seconds": 0.5}])
        t = threading.Thread(target=session.CUF_DownloadFile, args=("slow", str(local)), daemon=True)
        t.start()
        ftp.wait_for(lambda ev: any(e.get("cmd") == "RETR" for e in ev))
        return t

    def test_close_waits_for_a_running_transfer(self, ftp, session, tmp_path):
        t = self.start_slow_download(ftp, session, tmp_path / "s")
        session.CUF_Close()
        t.join(30)
        assert not t.is_alive()
        assert (tmp_path / "s").read_bytes() == (ftp.local_dir / "slow").read_bytes()
        names = [(e["ev"], e.get("cmd") or e.get("code")) for e in ftp.events()
                 if e["ev"] in ("cmd", "reply")]
        assert names.index(("reply", "226")) < names.index(("cmd", "QUIT"))

    def test_file_exists_waits_for_a_transfer(self, ftp, session, tmp_path):
        t = self.start_slow_download(ftp, session, tmp_path / "s")
        started = time.monotonic()
        assert session.CUF_FileExists("slow") is True
        waited = time.monotonic() - started
        t.join(30)
        assert not t.is_alive() and waited > 0.3
