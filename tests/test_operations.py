"""The ten operations with recording stand-ins: what is called, in which
order, with the lock held for exactly the one ftplib call."""

import ftplib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

from support.fakes import RecordingLock
from support.fuzz import Lock

pytestmark = pytest.mark.core

# method -> (arguments after self, ftplib method, arguments it receives, result)
PLAIN = {
    "CUF_ChangeDir": (("sub",), "cwd", ("sub",), None),
    "CUF_MakeDir": (("new",), "mkd", ("new",), None),
    "CUF_RemoveDir": (("old",), "rmd", ("old",), None),
    "CUF_DeleteFile": (("f",), "delete", ("f",), None),
    "CUF_RenameFile": (("a", "b"), "rename", ("a", "b"), None),
}


# For scripts run in a subprocess: `s`, a session whose connection is a
# stand-in delivering b"new".
STAND_IN_SESSION = textwrap.dedent("""
    import os, subprocess, sys, Quorvan
    class Ftp:
        def retrbinary(self, command, callback, blocksize):
            callback(b"new")
    s = Quorvan.CLASS_FTPClient()
    s.mobj_FTP = Ftp()
""")


@pytest.fixture
def rig(rig):
    """The stand-in session, already holding a connection object, with a
    lock that records its use."""
    rig.session.mobj_FTP = rig.ftp_class()
    rig.session.mobj_Lock = RecordingLock(rig.journal)
    del rig.journal[:]
    return rig


def shape(journal):
    return [e[0] for e in journal]


class TestLockedCalls:
    @pytest.mark.parametrize("method", list(PLAIN))
    def test_one_call_under_the_lock(self, rig, method):
        args, ftp_method, ftp_args, result = PLAIN[method]
        assert getattr(rig.session, method)(*args) is result
        assert shape(rig.journal) == ["lock.enter", ftp_method, "lock.exit"]
        assert rig.journal[1][1:] == (ftp_args, {}, True)

    @pytest.mark.parametrize("method,ftp_method", [("CUF_GetCurrentDir", "pwd"),
                                                   ("CUF_ListFiles", "nlst")])
    def test_queries_return_the_ftplib_object_itself(self, rig, method, ftp_method):
        marker = ["a", "b"] if ftp_method == "nlst" else "/x"
        rig.results[ftp_method] = marker
        assert getattr(rig.session, method)() is marker
        assert rig.journal[1][1:] == ((), {}, True)

    def test_make_dir_drops_the_path(self, rig):
        rig.results["mkd"] = "/new"
        assert rig.session.CUF_MakeDir("new") is None

    @pytest.mark.parametrize("method", list(PLAIN) + ["CUF_GetCurrentDir", "CUF_ListFiles"])
    def test_failure_propagates_with_the_lock_released(self, rig, method):
        ftp_method = PLAIN[method][1] if method in PLAIN else {
            "CUF_GetCurrentDir": "pwd", "CUF_ListFiles": "nlst"}[method]
        args = PLAIN[method][0] if method in PLAIN else ()
        error = ftplib.error_perm("550 refused")
        rig.fail[ftp_method] = error
        with pytest.raises(ftplib.error_perm) as info:
            getattr(rig.session, method)(*args)
        assert info.value is error
        assert rig.session.mobj_Lock.exits[-1][1] is error
        assert not rig.session.mobj_Lock.locked()

    @pytest.mark.parametrize("method,args,name", [
        ("CUF_ChangeDir", ("x",), "cwd"), ("CUF_GetCurrentDir", (), "pwd"),
        ("CUF_ListFiles", (), "nlst"), ("CUF_MakeDir", ("x",), "mkd"),
        ("CUF_RemoveDir", ("x",), "rmd"), ("CUF_DeleteFile", ("x",), "delete"),
        ("CUF_RenameFile", ("x", "y"), "rename"), ("CUF_FileExists", ("x",), "size"),
        ("CUF_DownloadFile", ("x", None), "retrbinary"),
        ("CUF_UploadFile", (None, "x"), "storbinary")])
    def test_no_session(self, Quorvan, tmp_path, method, args, name):
        s = Quorvan.CLASS_FTPClient()
        local = tmp_path / "local"
        local.write_bytes(b"old")
        args = tuple(str(local) if a is None else a for a in args)
        for _ in range(2):  # the second call must not block on the lock
            with pytest.raises(AttributeError) as info:
                getattr(s, method)(*args)
            assert str(info.value) == f"'NoneType' object has no attribute '{name}'"
            assert not s.mobj_Lock.locked()
        assert local.read_bytes() == b"old"
        assert list(tmp_path.iterdir()) == [local]

    def test_arguments_are_passed_unchanged(self, rig):
        odd = object()
        rig.session.CUF_DeleteFile(odd)
        assert rig.journal[1][1] == (odd,)

    def test_swallowing_lock_makes_queries_return_none(self, rig):
        rig.session.mobj_Lock = Lock(result=True)  # swallows what the block raises
        rig.results["pwd"] = "/x"
        rig.fail["pwd"] = EOFError()
        assert rig.session.CUF_GetCurrentDir() is None

    def test_waits_for_the_lock(self, rig):
        s = rig.session
        s.mobj_Lock = threading.Lock()
        s.mobj_Lock.acquire()
        done = threading.Event()
        t = threading.Thread(target=lambda: (s.CUF_GetCurrentDir(), done.set()), daemon=True)
        t.start()
        assert not done.wait(0.2)
        s.mobj_Lock.release()
        assert done.wait(10)
        t.join(10)


class TestFileExists:
    def test_type_i_then_size_in_one_hold(self, rig):
        assert rig.session.CUF_FileExists("f") is True
        assert shape(rig.journal) == ["lock.enter", "voidcmd", "size", "lock.exit"]
        assert rig.journal[1][1] == ("TYPE I",) and rig.journal[2][1] == ("f",)

    @pytest.mark.parametrize("value", [None, 0, "213 odd"])
    def test_any_result_means_true(self, rig, value):
        rig.results["size"] = value
        assert rig.session.CUF_FileExists("f") is True

    @pytest.mark.parametrize("failing", ["size", "voidcmd"])
    def test_error_perm_means_false(self, rig, failing):
        rig.fail[failing] = ftplib.error_perm("550 no")
        assert rig.session.CUF_FileExists("f") is False
        assert not rig.session.mobj_Lock.locked()

    @pytest.mark.parametrize("error", [ftplib.error_temp("450 busy"), EOFError(),
                                       TimeoutError(), KeyboardInterrupt()])
    def test_other_errors_propagate(self, rig, error):
        rig.fail["size"] = error
        with pytest.raises(type(error)) as info:
            rig.session.CUF_FileExists("f")
        assert info.value is error and not rig.session.mobj_Lock.locked()

    def test_error_perm_is_looked_up_when_matching(self, rig, Quorvan, monkeypatch):
        monkeypatch.setattr(Quorvan, "error_perm", KeyError)
        rig.fail["size"] = KeyError("k")
        assert rig.session.CUF_FileExists("f") is False
        rig.fail["size"] = ftplib.error_perm("550")
        with pytest.raises(ftplib.error_perm):
            rig.session.CUF_FileExists("f")
        monkeypatch.setattr(Quorvan, "error_perm", (ValueError, ftplib.error_perm))
        assert rig.session.CUF_FileExists("f") is False

    def test_unbound_error_perm(self, rig, Quorvan, monkeypatch):
        monkeypatch.delattr(Quorvan, "error_perm")
        original = ftplib.error_perm("550")
        rig.fail["size"] = original
        with pytest.raises(NameError, match="^name 'error_perm' is not defined$") as info:
            rig.session.CUF_FileExists("f")
        assert info.value.__context__ is original and info.value.name == "error_perm"

    def test_error_perm_bound_to_a_non_exception(self, rig, Quorvan, monkeypatch):
        monkeypatch.setattr(Quorvan, "error_perm", 42)
        rig.fail["size"] = EOFError()
        with pytest.raises(TypeError, match="catching classes that do not inherit"):
            rig.session.CUF_FileExists("f")

    def test_success_does_not_consult_error_perm(self, rig, Quorvan, monkeypatch):
        monkeypatch.delattr(Quorvan, "error_perm")
        assert rig.session.CUF_FileExists("f") is True


class TestTransfers:
    def test_download_order_and_arguments(self, rig, tmp_path):
        block = object()

        def retrbinary(self, command, callback, blocksize):
            rig.journal.append(("retrbinary", command, blocksize is block, rig.session.mobj_Lock.locked()))
            callback(b"data")

        type(rig.session.mobj_FTP).retrbinary = retrbinary
        target = tmp_path / "out"
        assert rig.session.CUF_DownloadFile("remote name ", str(target), block) is None
        assert shape(rig.journal) == ["lock.enter", "retrbinary", "lock.exit"]
        assert rig.journal[1][1:] == ("RETR remote name ", True, True)
        assert target.read_bytes() == b"data"

    def test_remote_name_goes_through_format(self, rig, tmp_path):
        class Named:
            def __format__(self, spec):
                assert spec == ""
                return "formatted"

        rig.session.CUF_DownloadFile(Named(), str(tmp_path / "a"))
        rig.session.CUF_DownloadFile(12, str(tmp_path / "b"))
        (tmp_path / "up").write_bytes(b"x")
        rig.session.CUF_UploadFile(str(tmp_path / "up"), "")
        commands = [e[1][0] for e in rig.journal if e[0] in ("retrbinary", "storbinary")]
        assert commands == ["RETR formatted", "RETR 12", "STOR "]

    def test_upload_passes_the_file_object(self, rig, tmp_path):
        seen = []

        def storbinary(self, command, f, blocksize):
            seen.append((command, f.mode, f.closed, f.read(), blocksize))

        type(rig.session.mobj_FTP).storbinary = storbinary
        (tmp_path / "up").write_bytes(b"payload")
        rig.session.CUF_UploadFile(str(tmp_path / "up"), "r", 5)
        assert seen == [("STOR r", "rb", False, b"payload", 5)]

    def test_default_block_size(self, rig, tmp_path):
        rig.session.CUF_DownloadFile("r", str(tmp_path / "a"))
        (tmp_path / "up").write_bytes(b"x")
        rig.session.CUF_UploadFile(str(tmp_path / "up"), "r")
        assert [e[2] for e in rig.journal if e[0].endswith("binary")] == [
            {"blocksize": 8192}, {"blocksize": 8192}]

    def test_local_side_is_prepared_before_the_lock(self, rig, tmp_path):
        s = rig.session
        s.mobj_Lock = threading.Lock()
        s.mobj_Lock.acquire()  # held by "another thread" all along
        start = time.monotonic()
        with pytest.raises(FileNotFoundError) as info:
            s.CUF_DownloadFile("r", str(tmp_path / "missing" / "f"))
        assert info.value.filename == str(tmp_path / "missing" / "f")
        with pytest.raises(FileNotFoundError):
            s.CUF_UploadFile(str(tmp_path / "absent"), "r")
        assert time.monotonic() - start < 5
        assert rig.journal == []
        s.mobj_Lock.release()

    def test_failed_download_keeps_the_old_file(self, rig, tmp_path):
        target = tmp_path / "keep"
        target.write_bytes(b"precious")

        def retrbinary(self, command, callback, blocksize):
            callback(b"partial")
            raise EOFError("cut")

        type(rig.session.mobj_FTP).retrbinary = retrbinary
        with pytest.raises(EOFError):
            rig.session.CUF_DownloadFile("r", str(target))
        assert target.read_bytes() == b"precious"
        assert list(tmp_path.iterdir()) == [target]

    def test_swallowed_failure_keeps_the_old_file(self, rig, tmp_path):
        target = tmp_path / "keep"
        target.write_bytes(b"precious")
        rig.fail["retrbinary"] = EOFError()
        rig.session.mobj_Lock = Lock(result=True)  # swallows what the block raises
        assert rig.session.CUF_DownloadFile("r", str(target)) is None
        assert target.read_bytes() == b"precious" and list(tmp_path.iterdir()) == [target]

    def test_relative_destination_is_fixed_before_the_transfer(self, rig, tmp_path, monkeypatch):
        (tmp_path / "here").mkdir()
        (tmp_path / "there").mkdir()
        monkeypatch.chdir(tmp_path / "here")

        def retrbinary(self, command, callback, blocksize):
            os.chdir(tmp_path / "there")  # another thread's, while the data arrives
            callback(b"data")

        type(rig.session.mobj_FTP).retrbinary = retrbinary
        rig.session.CUF_DownloadFile("r", "out")
        assert os.listdir(tmp_path / "here") == ["out"] and os.listdir(tmp_path / "there") == []
        assert (tmp_path / "here" / "out").read_bytes() == b"data"

    def test_failing_io_open_leaves_one_close(self, rig, tmp_path, monkeypatch):
        """io.open closes the raw file it built when it fails afterwards; by
        then the descriptor's number may belong to a file opened meanwhile."""
        import _io  # what the C API's PyFile_FromFd calls
        decoys = []

        def failing_open(fd, mode, buffering, encoding, errors, newline, closefd):
            _io.FileIO(fd, "wb", closefd=closefd).close()  # as io.open undoes its raw file
            decoys.append(os.open(tmp_path / "decoy", os.O_RDONLY | os.O_CREAT, 0o600))
            raise MemoryError

        monkeypatch.setattr(_io, "open", failing_open)
        with pytest.raises(MemoryError):
            rig.session.CUF_DownloadFile("r", str(tmp_path / "out"))
        monkeypatch.undo()
        try:
            os.fstat(decoys[0])  # still open
        finally:
            os.close(decoys[0])
        assert os.listdir(tmp_path) == ["decoy"] and rig.journal == []

    # Scripts run in a private mount namespace, which ends with the
    # subprocess whatever happens: argv[1] is the test's folder, holding
    # "point" (a file or an empty folder) to mount on.  Each prints what
    # open(path, "wb") and the download did.
    MOUNTS = {
        # A bind-mounted file (a container's configuration file) cannot be
        # renamed over: it is written directly, as open(path, "wb") writes it.
        "bind-mounted file": ("""
            source, point = os.path.join(folder, "source"), os.path.join(folder, "point")
            subprocess.run(["mount", "--bind", source, point], check=True)
            s.CUF_DownloadFile("r", point)
            print(open(source, "rb").read(), sorted(os.listdir(folder)))
        """, ["b'new' ['point', 'source']"]),
        # A link on a nosymfollow mount is refused as open() refuses it: its
        # target, outside that mount, stays as it was.
        "nosymfollow": ("""
            point = os.path.join(folder, "point")
            subprocess.run(["mount", "-t", "tmpfs", "-o", "nosymfollow,size=1m", "quorvan", point],
                           check=True)
            link = os.path.join(point, "link")
            os.symlink(os.path.join(folder, "source"), link)
            for attempt in (lambda: open(link, "wb"), lambda: s.CUF_DownloadFile("r", link)):
                try:
                    attempt()
                except OSError as e:
                    print(errno.errorcode[e.errno])
            print(open(os.path.join(folder, "source"), "rb").read(), sorted(os.listdir(point)))
        """, ["ELOOP", "ELOOP", "b'old' ['link']"]),
        # Replacing needs room for both copies where writing in place does
        # not: the download fails cleanly, the old file kept.
        "nearly full": ("""
            point = os.path.join(folder, "point")
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "quorvan", point], check=True)
            path, old = os.path.join(point, "file"), os.urandom(160_000)
            with open(path, "wb") as f:
                f.write(old)
            s.mobj_FTP.retrbinary = lambda command, write, blocksize: write(bytes(160_000))
            try:
                s.CUF_DownloadFile("r", path)
            except OSError as e:
                print(errno.errorcode[e.errno])
            print(open(path, "rb").read() == old, sorted(os.listdir(point)))
            with open(path, "wb") as f:
                f.write(bytes(160_000))
            print(os.path.getsize(path))
        """, ["ENOSPC", "True ['file']", "160000"]),
    }

    @pytest.mark.parametrize("mount", list(MOUNTS))
    def test_mounts_are_met_as_open_meets_them(self, tmp_path, mount):
        if os.geteuid() != 0 or not shutil.which("unshare"):
            pytest.skip("a mount in a private mount namespace needs root and unshare")
        body, expected = self.MOUNTS[mount]
        script = STAND_IN_SESSION + "import errno\nfolder = sys.argv[1]\n" + textwrap.dedent(body)
        (tmp_path / "source").write_bytes(b"old")
        point = tmp_path / "point"
        if mount == "bind-mounted file":
            point.write_bytes(b"")
        else:
            point.mkdir()
        result = subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable,
                                 "-c", script, str(tmp_path)],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == expected
        # Outside the namespace, nothing is mounted there.
        assert (point.read_bytes() == b"" if point.is_file() else os.listdir(point) == [])

    @pytest.mark.parametrize("planted", ["link to a file", "dangling link", "file"])
    def test_what_others_plant_in_sticky_folders_is_refused(self, rig, tmp_path, planted):
        """With fs.protected_symlinks and fs.protected_regular on, a link or a
        file that another user planted in a sticky, world-writable folder is
        neither followed nor written, as open() refuses them."""
        setting = "/proc/sys/fs/protected_" + ("regular" if planted == "file" else "symlinks")
        if os.geteuid() != 0 or not os.access(setting, os.W_OK):
            pytest.skip(f"turning {setting} on needs root and a writable /proc/sys")
        sticky, victim = tmp_path / "sticky", tmp_path / "victim"
        sticky.mkdir()
        sticky.chmod(0o1777)
        path = sticky / "report.csv"
        if planted == "file":
            path.write_bytes(b"theirs")
            path.chmod(0o666)
        else:
            if planted == "link to a file":
                victim.write_bytes(b"not yours")
            path.symlink_to(victim)
        os.lchown(path, 65534, 65534)
        with open(setting) as f:
            old = f.read()
        try:
            with open(setting, "w") as f:
                f.write("1")
            for attempt in (lambda: open(path, "wb"), lambda: rig.session.CUF_DownloadFile("r", str(path))):
                with pytest.raises(PermissionError):
                    attempt()
        finally:
            with open(setting, "w") as f:
                f.write(old)
        if planted == "file":
            assert path.read_bytes() == b"theirs" and path.stat().st_uid == 65534
        else:
            assert path.is_symlink()
            assert victim.read_bytes() == b"not yours" if victim.exists() else planted == "dangling link"
        assert os.listdir(sticky) == ["report.csv"] and rig.journal == []

    # As a user (65534) in group 4242 replaces a file: (owner, group, mode)
    # of the file, and of a twin that open(path, "wb") writes over.
    CO_USER_FILES = [(1, 4242, 0o664), (65534, 65534, 0o4755), (65534, 4242, 0o2755),
                     (65534, 4242, 0o2745)]

    @pytest.mark.parametrize("owner,group,mode", CO_USER_FILES,
                             ids=["group only", "set-user-ID", "set-group-ID", "locking mark"])
    def test_unprivileged_replacement_keeps_what_open_keeps(self, owner, group, mode):
        """Without the privilege to keep them, a write in place clears the
        set-id bits, and the group is kept where the owner cannot be."""
        if os.geteuid() != 0:
            pytest.skip("acting as another user needs root")
        script = STAND_IN_SESSION + textwrap.dedent("""
            os.setgroups([4242])
            os.setgid(65534)
            os.setuid(65534)
            with open(sys.argv[1], "wb") as f:
                f.write(b"new")
            s.CUF_DownloadFile("r", sys.argv[2])
            for path in sys.argv[1:]:
                st = os.stat(path)
                print(open(path, "rb").read(), st.st_uid, st.st_gid, oct(st.st_mode))
        """)
        folder = tempfile.mkdtemp(prefix="quorvan-co-user-")
        try:
            os.chmod(folder, 0o777)
            paths = [os.path.join(folder, name) for name in ("written", "downloaded")]
            for path in paths:
                with open(path, "wb") as f:
                    f.write(b"old")
                os.chown(path, owner, group)
                os.chmod(path, mode)
            result = subprocess.run([sys.executable, "-c", script, *paths], capture_output=True,
                                    text=True, timeout=60)
        finally:
            shutil.rmtree(folder)
        assert result.returncode == 0, result.stderr
        written, downloaded = (line.split() for line in result.stdout.splitlines())
        assert written[:3] == ["b'new'", str(owner), str(group)]
        # The owner goes to the downloading user where it cannot be kept.
        assert downloaded[:3] == ["b'new'", str(owner if owner == 65534 else 65534), str(group)]
        assert downloaded[3] == written[3]

    def test_data_is_on_disk_before_the_rename(self, tmp_path):
        """The temporary file is flushed before it replaces the destination,
        and the folder after, for a new file and for a replaced one."""
        if not shutil.which("strace"):
            pytest.skip("tracing the system calls needs strace")
        path, log = tmp_path / "out", tmp_path / "strace.log"
        script = STAND_IN_SESSION + 's.CUF_DownloadFile("r", sys.argv[1])\n' * 2
        result = subprocess.run(["strace", "-f", "-qq", "-o", str(log), "-e",
                                 "trace=openat,fsync,fdatasync,rename,renameat,renameat2",
                                 sys.executable, "-c", script, str(path)],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        calls = [line.split(None, 1)[1] for line in log.read_text().splitlines()]
        temporaries = [int(c.rsplit("= ", 1)[1]) for c in calls
                       if c.startswith("openat(") and '.part"' in c]
        renames = [i for i, c in enumerate(calls)
                   if c.startswith("rename") and re.search(r'[/"]out"', c)]
        assert len(temporaries) == len(renames) == 2 and path.read_bytes() == b"new"
        for fd, at in zip(temporaries, renames):
            folder = calls[at].split("(", 1)[1].split(",", 1)[0]  # renameat's folder
            before = [c for c in calls[:at] if c.startswith(f"fsync({fd})")]
            after = [c for c in calls[at:at + 4] if c.startswith(f"fsync({folder})")]
            assert before and after, calls[at - 3:at + 4]

    def test_repeated_take_overs_are_reported(self, tmp_path):
        """Someone who keeps putting files under each new temporary name gets
        the download refused, with an error saying so and naming the folder.
        Each flush is slowed (strace) to give them time."""
        if not shutil.which("strace"):
            pytest.skip("slowing the flushes needs strace")
        script = STAND_IN_SESSION + textwrap.dedent("""
            import threading, time
            folder, path = sys.argv[1:]
            with open(path, "wb") as f:
                f.write(b"old")
            done = threading.Event()

            def take_over():
                seen = set()
                for _ in range(3000):  # 30 s at most
                    for name in set(os.listdir(folder)) - seen:
                        if name.endswith(".part"):
                            seen.add(name)
                            with open(os.path.join(folder, "planted"), "wb") as f:
                                f.write(b"theirs")
                            os.rename(os.path.join(folder, "planted"), os.path.join(folder, name))
                    if done.wait(0.01):
                        return

            thread = threading.Thread(target=take_over)
            thread.start()
            try:
                s.CUF_DownloadFile("r", path)
            except OSError as e:
                print(type(e).__name__, e.filename == os.path.realpath(folder), e.strerror)
            done.set()
            thread.join(30)
            print(open(path, "rb").read(), sorted(n.endswith(".part") for n in os.listdir(folder)))
        """)
        folder = tmp_path / "folder"
        folder.mkdir()
        result = subprocess.run(["strace", "-f", "-qq", "-o", str(tmp_path / "strace.log"),
                                 "-e", "trace=fsync", "-e", "inject=fsync:delay_exit=800000",
                                 sys.executable, "-c", script, str(folder), str(folder / "file")],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "FileExistsError True Another file took the temporary file's name 4 times in the "
            "destination's folder; the download was not put in place",
            "b'old' [False, True, True, True, True]"]

    def test_read_only_file_is_refused_like_open(self):
        """Replacing goes through the directory; a file its owner may not write
        must still be refused, as open(path, "wb") refuses it."""
        script = textwrap.dedent("""
            import os, sys, Quorvan
            path = sys.argv[1]
            if os.geteuid() == 0:  # root may write anything: act as nobody
                os.setgid(65534)
                os.setuid(65534)
            class Ftp:
                def retrbinary(self, command, callback, blocksize):
                    callback(b"new")
            s = Quorvan.CLASS_FTPClient()
            s.mobj_FTP = Ftp()
            for attempt in (lambda: open(path, "wb"), lambda: s.CUF_DownloadFile("r", path)):
                try:
                    attempt()
                except PermissionError as e:
                    print("refused", e.filename == path)
            print(open(path, "rb").read(), sorted(os.listdir(os.path.dirname(path))))
        """)
        folder = tempfile.mkdtemp(prefix="quorvan-ro-")
        try:
            os.chmod(folder, 0o777)
            path = os.path.join(folder, "ro")
            with open(path, "wb") as f:
                f.write(b"old")
            os.chmod(path, 0o444)
            if os.geteuid() == 0:
                os.chown(path, 65534, 65534)
            result = subprocess.run([sys.executable, "-c", script, path], capture_output=True,
                                    text=True, timeout=60)
        finally:
            shutil.rmtree(folder)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["refused True", "refused True", "b'old' ['ro']"]

    def test_bad_destinations_raise_like_open(self, rig):
        with pytest.raises(TypeError, match="expected str, bytes or os.PathLike object, not NoneType"):
            rig.session.CUF_DownloadFile("r", None)
        with pytest.raises(ValueError, match="embedded null byte"):
            rig.session.CUF_DownloadFile("r", "a\0b")
        assert rig.journal == []
