"""Real FTP daemons for the interop tests: vsftpd, ProFTPD and Pure-FTPd,
each run in the foreground on loopback with a configuration generated here,
plus the pyftpdlib server of server.py behind the same face.

scripts/install-ftp-daemons unpacks the daemons into QUORVAN_DAEMONS
(default /opt/quorvan-daemons) and creates the accounts they serve: `ftp`
for anonymous logins and the named test account NAMED_USER.

Layout of a daemon's folder (its own, searchable by the daemon's users,
unlike pytest's tmp_path, which lies under a 0700 folder):

    named/   the named user's files (owned by that user)
    anon/    the anonymous root (owned by root: vsftpd refuses a root
             the anonymous user can write)
    anon/pub the anonymous user's writable folder
"""

import ftplib
import grp
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .server import FtpServer, PASSWORD as PYFTPDLIB_PASSWORD, USER as PYFTPDLIB_USER

KINDS = ("pyftpdlib", "vsftpd", "proftpd", "pure-ftpd")
DAEMONS = Path(os.environ.get("QUORVAN_DAEMONS", "/opt/quorvan-daemons"))
NAMED_USER = "qvftp"
NAMED_PASSWORD = "qvftp-interop"
ANON_USER = "ftp"
START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0


class Unavailable(Exception):
    """The kind cannot run here (its binary or an account is missing)."""


def binary(name):
    for folder in (DAEMONS / "usr/sbin", Path("/usr/sbin")):
        if (folder / name).is_file() and os.access(folder / name, os.X_OK):
            return folder / name
    raise Unavailable(f"{name} is not installed (run scripts/install-ftp-daemons)")


def account(name):
    try:
        return pwd.getpwnam(name)
    except KeyError:
        raise Unavailable(f"no account {name!r} (run scripts/install-ftp-daemons)") from None


def daemon_environment():
    """The tests' environment without what is meant for the interpreter under
    test: a sanitizer runtime preloaded into a daemon breaks it."""
    drop = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    return {k: v for k, v in os.environ.items() if k not in drop}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_tree():
    """{pid: [child pids]} of every process, from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        # the command name may hold blanks and brackets; the fields after it do not
        fields = stat[stat.rindex(b")") + 2:].split()
        if fields[0] != b"Z":  # a zombie is gone already, only not yet reaped
            children.setdefault(int(fields[1]), []).append(int(entry))
    return children


def descendants_of(pid, depth=None, tree=None):
    """PIDs of the processes below `pid`, down to `depth` levels."""
    tree = process_tree() if tree is None else tree
    found, level = [], [pid]
    while level and (depth is None or depth > 0):
        level = [child for parent in level for child in tree.get(parent, [])]
        found += level
        depth = None if depth is None else depth - 1
    return found


def start_time(pid):
    with open(f"/proc/{pid}/stat", "rb") as f:
        stat = f.read()
    return int(stat[stat.rindex(b")") + 2:].split()[19])


# The first process of a daemon's PID namespace: starts the daemon and reaps
# every process that ends in the namespace; exits when the daemon does.
REAPER = """\
import os, sys
daemon = os.fork()
if daemon == 0:
    os.execvp(sys.argv[1], sys.argv[1:])
while True:
    pid, status = os.wait()
    if pid == daemon:
        sys.exit(os.waitstatus_to_exitcode(status) & 0xFF)
"""


class Daemon:
    """One FTP server on loopback as the interop tests see it."""

    kind = None
    user = NAMED_USER
    password = NAMED_PASSWORD
    anon_can_remove = True     # may the anonymous user delete, rename, RMD?
    size_in_ascii = True       # does SIZE work in ASCII type?
    nlst_extras = frozenset()  # names NLST adds to a folder's entries

    def __init__(self, idle_timeout=300):
        self.host = "127.0.0.1"
        self.port = None
        self.idle_timeout = idle_timeout
        self.process = None
        self.base = Path(tempfile.mkdtemp(prefix=f"quorvan-{self.kind}-"))
        os.chmod(self.base, 0o755)
        self.named_local = self.base / "named"
        self.anon_local = self.base / "anon" / "pub"
        self.named_remote = str(self.named_local)  # named users are not chrooted
        self.anon_remote = "/pub"

    # --- folders for one test --------------------------------------------

    def folder(self, name, anonymous=False):
        """A fresh folder for one test: (remote path, local path)."""
        parent_local = self.anon_local if anonymous else self.named_local
        parent_remote = self.anon_remote if anonymous else self.named_remote
        local = parent_local / name
        local.mkdir()
        owner = account(ANON_USER if anonymous else self.user)
        os.chown(local, owner.pw_uid, owner.pw_gid)
        return parent_remote.rstrip("/") + "/" + name, local

    def listing(self, names):
        """The entries of a listing that are files and folders of the test."""
        return sorted(n for n in names if n not in self.nlst_extras)

    # --- running ------------------------------------------------------------

    def prepare(self):
        named, anon = account(self.user), account(ANON_USER)
        self.named_local.mkdir()
        os.chown(self.named_local, named.pw_uid, named.pw_gid)
        self.anon_local.mkdir(parents=True)
        os.chown(self.anon_local, anon.pw_uid, anon.pw_gid)

    def command_line(self):
        """The daemon's own command line, run in the foreground."""
        raise NotImplementedError

    # The daemon runs in a PID namespace of its own, under a small init that
    # reaps every orphan (vsftpd crashes when it is handed one to reap, and
    # this machine's init leaves them as zombies).  Should the test process
    # die, unshare gets SIGKILL (setpriv --pdeathsig) and takes the namespace
    # with it (--kill-child): no daemon outlives its tests.
    namespaces = ("--pid",)

    def wrapped(self, argv):
        for tool in ("setpriv", "unshare"):
            if not shutil.which(tool):
                raise Unavailable(f"{tool} (util-linux) is needed to run the daemons")
        return ["setpriv", "--pdeathsig", "KILL", "unshare", "--fork", "--kill-child",
                *self.namespaces, sys.executable, "-c", REAPER, *argv]

    def start(self):
        try:
            self.prepare()
            for _ in range(3):  # the free port may be taken before the daemon binds it
                self.port = free_port()
                argv = self.wrapped(self.command_line())
                with open(self.base / "daemon.out", "ab") as out:
                    self.process = subprocess.Popen(
                        argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                        cwd=self.base, env=daemon_environment())
                if self._wait_until_serving():
                    return self
                self.stop()
        except BaseException:
            self.close()
            raise
        output = (self.base / "daemon.out").read_text(errors="replace")
        self.close()
        raise RuntimeError(f"{self.kind} did not start on 127.0.0.1:\n{output}")

    def _wait_until_serving(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            probe = ftplib.FTP()
            try:
                probe.connect(self.host, self.port, timeout=2)
                return True
            except (OSError, EOFError, ftplib.Error):
                time.sleep(0.05)
            finally:
                probe.close()
        return False

    def stop(self):
        """Ends the daemon and its sessions (see `namespaces`)."""
        if self.process is None:
            return
        # Killing the namespace's init makes the kernel end and reap everything
        # in it; unshare then reaps the init and exits.  Killing unshare first
        # would leave the init to this machine's init, a zombie.
        for init in process_tree().get(self.process.pid, []):
            os.kill(init, signal.SIGKILL)
        try:
            self.process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=STOP_TIMEOUT)
        self.process = None

    def close(self):
        self.stop()
        shutil.rmtree(self.base, ignore_errors=True)

    def drop_sessions(self):
        """Ends every client session on the server's side, as a crashed
        session process would: each session runs in processes of its own,
        below the daemon's listening process."""
        tree = process_tree()
        (init,) = tree.get(self.process.pid, [])
        listener = min(tree.get(init, []), key=start_time)  # the others are orphans
        sessions = descendants_of(listener, tree=tree)
        if not sessions:
            raise AssertionError(f"{self.kind} has no session process to end")
        for pid in sessions:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def reset(self):
        """Undoes what a test did to the server itself."""

    # --- what the server recorded ------------------------------------------

    def log_mark(self):
        return 0

    def commands(self, since=0):
        """The command verbs the server logged since a mark, in order, or
        None where the daemon keeps no command log."""
        return None


class Vsftpd(Daemon):
    kind = "vsftpd"

    def command_line(self):
        empty = self.base / "empty"  # vsftpd's secure_chroot_dir must exist
        empty.mkdir(exist_ok=True)
        settings = {
            "listen": "YES", "listen_ipv6": "NO", "background": "NO",
            "listen_address": self.host, "listen_port": self.port,
            "anonymous_enable": "YES", "no_anon_password": "YES",
            "anon_root": self.base / "anon", "anon_umask": "022",
            "anon_upload_enable": "YES", "anon_mkdir_write_enable": "YES",
            "anon_other_write_enable": "YES",
            "local_enable": "YES", "local_root": self.named_local,
            "write_enable": "YES", "local_umask": "022",
            "secure_chroot_dir": empty,
            # containers allow neither the syscall filter nor new namespaces
            "seccomp_sandbox": "NO", "isolate": "NO", "isolate_network": "NO",
            # no such PAM service: PAM uses its default stack (pam_unix)
            "pam_service_name": "quorvan-interop",
            "delay_failed_login": "0",
            "idle_session_timeout": self.idle_timeout,
            "log_ftp_protocol": "YES", "xferlog_enable": "YES",
            "xferlog_std_format": "NO", "syslog_enable": "NO",
            "vsftpd_log_file": self.base / "vsftpd.log",
        }
        config = self.base / "vsftpd.conf"
        config.write_text("".join(f"{k}={v}\n" for k, v in settings.items()))
        return [str(binary("vsftpd")), str(config)]

    def log_mark(self):
        return _size(self.base / "vsftpd.log")

    def commands(self, since=0):
        text = _read(self.base / "vsftpd.log", since)
        return re.findall(r'FTP command: Client "[^"]*", "([A-Za-z]+)', text)


class Proftpd(Daemon):
    kind = "proftpd"
    size_in_ascii = False

    def command_line(self):
        anon = account(ANON_USER)
        proftpd = binary("proftpd")
        # Newer packages build transfers and listings as loadable modules.
        modules = proftpd.parent.parent / "lib/proftpd"
        config = self.base / "proftpd.conf"
        config.write_text(f"""\
<IfModule mod_dso.c>
  ModulePath {modules}
  <IfModule !mod_xfer.c>
    LoadModule mod_xfer.c
  </IfModule>
  <IfModule !mod_ls.c>
    LoadModule mod_ls.c
  </IfModule>
</IfModule>
ServerType standalone
ServerName "quorvan interop"
DefaultServer on
DefaultAddress {self.host}
SocketBindTight on
Port {self.port}
UseIPv6 off
User nobody
Group nogroup
PidFile {self.base}/proftpd.pid
ScoreboardFile {self.base}/proftpd.scoreboard
<IfModule mod_delay.c>
  DelayEngine off
</IfModule>
AuthOrder mod_auth_unix.c
# The named account has no login shell (scripts/install-ftp-daemons).
RequireValidShell off
WtmpLog off
UseReverseDNS off
Umask 022
AllowOverwrite on
TimeoutIdle {self.idle_timeout}
SystemLog {self.base}/proftpd.system.log
LogFormat commands "%P %m"
ExtendedLog {self.base}/proftpd.commands.log ALL commands
<Anonymous {self.base}/anon>
  User {anon.pw_name}
  Group {grp.getgrgid(anon.pw_gid).gr_name}
  UserAlias anonymous {anon.pw_name}
  RequireValidShell off
  AnonRequirePassword off
</Anonymous>
""")
        return [str(proftpd), "--nodaemon", "--config", str(config)]

    def log_mark(self):
        return _size(self.base / "proftpd.commands.log")

    def commands(self, since=0):
        text = _read(self.base / "proftpd.commands.log", since)
        return [line.split()[1] for line in text.splitlines() if len(line.split()) > 1]


class PureFtpd(Daemon):
    kind = "pure-ftpd"
    anon_can_remove = False
    nlst_extras = frozenset({".", ".."})

    def command_line(self):
        # The anonymous root is always the home of the `ftp` account: lay ours
        # over it in a mount namespace of the daemon's own.  Its Unix login
        # takes only accounts whose shell /etc/shells lists, and the named one
        # has none: there the daemon sees a list with the named account's shell.
        home = account(ANON_USER).pw_dir
        shells = self.base / "shells"
        listed = Path("/etc/shells").read_text() if Path("/etc/shells").exists() else ""
        shells.write_text(listed + account(self.user).pw_shell + "\n")
        daemon = [
            str(binary("pure-ftpd")), "--bind", f"{self.host},{self.port}",
            "--login", "unix", "--anonymouscancreatedirs", "--dontresolve",
            "--umask", "133:022", "--maxidletime", str(max(1, round(self.idle_timeout / 60))),
        ]
        script = ('mount --bind "$1" "$2" && mount --bind "$3" /etc/shells && shift 3 '
                  '&& exec "$@"')
        return ["sh", "-c", script, "sh", str(self.base / "anon"), home, str(shells), *daemon]

    namespaces = ("--pid", "--mount", "--propagation", "private")


class Pyftpdlib(Daemon):
    """The project's own pyftpdlib server (server.py); one root for both
    logins, all permissions, and a command log of its own."""

    kind = "pyftpdlib"
    size_in_ascii = False
    user = PYFTPDLIB_USER
    password = PYFTPDLIB_PASSWORD

    def __init__(self, idle_timeout=300):
        super().__init__(idle_timeout)
        self.server = FtpServer(self.base, idle_timeout=idle_timeout)
        self.named_local = self.anon_local = self.server.root
        self.named_remote = self.anon_remote = "/"

    def folder(self, name, anonymous=False):
        local = self.server.root / name
        local.mkdir()
        return "/" + name, local

    def start(self):
        try:
            self.server.start()
        except BaseException:
            self.close()
            raise
        self.port = self.server.port
        self.process = self.server.process
        return self

    def stop(self):
        self.server.stop()
        self.process = None

    def reset(self):
        self.server.clear_faults()

    def drop_sessions(self):
        # one process serves every session: hang up at the next command instead
        self.server.set_faults([{"action": "hangup", "cmd": cmd}
                                for cmd in ("NOOP", "PWD", "CWD", "TYPE", "SIZE")])

    def log_mark(self):
        return self.server.log_mark()

    def commands(self, since=0):
        return [c[1] for c in self.server.commands(since)]

    def events(self, since=0):
        """Commands and replies, in order (support/server.py)."""
        return self.server.events(since)


def _size(path):
    try:
        return path.stat().st_size
    except FileNotFoundError:
        return 0


def _read(path, since):
    try:
        with open(path, "rb") as f:
            f.seek(since)
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def make(kind, **options):
    """A started server of that kind; raises Unavailable when it cannot run."""
    cls = {"pyftpdlib": Pyftpdlib, "vsftpd": Vsftpd, "proftpd": Proftpd,
           "pure-ftpd": PureFtpd}[kind]
    if cls is not Pyftpdlib:
        if os.geteuid() != 0:
            raise Unavailable(f"{kind} needs root to switch to its users")
        binary(kind)
        account(ANON_USER), account(NAMED_USER)
    return cls(**options).start()
