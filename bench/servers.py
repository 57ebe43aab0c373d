"""The FTP servers the benchmarks run against, each in a process of its own
on loopback: vsftpd (Debian's, in the foreground with a generated
configuration) and the test suite's pyftpdlib server.  Both serve a root
whose writable folder `pub/` holds the files; both are ended by PID."""

import os
import pwd
import shutil
import socket
import subprocess
import time
from pathlib import Path

from support.server import FtpServer, stop_process  # tests/ is on the path (scripts/bench)

START_TIMEOUT = 20.0
DATA_DIR = "pub"

VSFTPD_CONFIG = """\
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root={root}
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
pasv_enable=YES
pasv_address=127.0.0.1
connect_from_port_20=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=NO
syslog_enable=NO
dual_log_enable=NO
vsftpd_log_file={log}
max_clients=0
max_per_ip=0
idle_session_timeout=600
data_connection_timeout=300
secure_chroot_dir={empty}
"""


def free_port():
    """An ephemeral port that was free a moment ago (vsftpd wants a number)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, process, timeout=START_TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                return s.recv(64).startswith(b"220")
        except OSError:
            time.sleep(0.05)
    return False


class Vsftpd:
    """vsftpd in the foreground, anonymous access, writable pub/."""

    name = "vsftpd"

    def __init__(self, base: Path):
        self.base = Path(base)
        # Anonymous roots must not be writable by the anonymous user.
        self.root = self.base / "vsftpd-root"
        self.data = self.root / DATA_DIR
        self.process = None
        self.port = None
        self.user = ""
        self.password = ""

    def start(self):
        binary = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
        if not os.path.exists(binary):
            raise RuntimeError("vsftpd is not installed (scripts/bench installs it)")
        ftp_user = pwd.getpwnam("ftp")
        empty = self.base / "vsftpd-empty"
        empty.mkdir(parents=True, exist_ok=True)
        self.data.mkdir(parents=True, exist_ok=True)
        os.chmod(self.root, 0o755)
        os.chmod(empty, 0o755)
        os.chown(self.data, ftp_user.pw_uid, ftp_user.pw_gid)
        for attempt in range(5):  # the port may be taken between probe and bind
            self.port = free_port()
            config = self.base / "vsftpd.conf"
            config.write_text(VSFTPD_CONFIG.format(
                port=self.port, root=self.root, empty=empty, log=self.base / "vsftpd.log"))
            stderr = open(self.base / "vsftpd.stderr", "wb")
            self.process = subprocess.Popen([binary, str(config)], stdin=subprocess.DEVNULL,
                                            stdout=stderr, stderr=stderr)
            stderr.close()
            if wait_listening(self.port, self.process):
                return self
            self.stop()
        errors = (self.base / "vsftpd.stderr").read_text(errors="replace")
        raise RuntimeError(f"vsftpd did not start: {errors}")

    def stop(self):
        stop_process(self.process)


class Pyftpdlib:
    """The test suite's pyftpdlib server (a process of its own)."""

    name = "pyftpdlib"

    def __init__(self, base: Path):
        self.server = FtpServer(Path(base) / "pyftpdlib")
        self.data = self.server.root / DATA_DIR
        self.user = ""
        self.password = ""

    @property
    def port(self):
        return self.server.port

    def start(self):
        self.server.base.mkdir(parents=True, exist_ok=True)
        self.server.start()
        self.data.mkdir(parents=True, exist_ok=True)
        return self

    def stop(self):
        self.server.stop()
