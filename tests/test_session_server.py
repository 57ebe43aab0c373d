"""Opening, keeping alive and closing sessions against a real FTP server
process on loopback."""

import socket
import threading
import time

import pytest

pytestmark = pytest.mark.core


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cmds(view, sid=None):
    return [c[1] for c in view.commands(sid)]


class TestLogin:
    def test_anonymous_login(self, ftp, client):
        assert client.CUF_Open(ftp.host, ftp.port) is True
        assert client.CUF_IsConnected() is True
        assert client.CUF_GetCurrentDir() == "/"
        (sid,) = ftp.sessions()
        assert [c for c in ftp.commands(sid) if c[1] == "USER"] == [(sid, "USER", "anonymous")]
        client.CUF_Close()
        assert client.mobj_FTP is None and client.CUF_IsConnected() is False
        ftp.wait_for(lambda ev: any(e["ev"] == "cmd" and e["cmd"] == "QUIT" for e in ev))

    def test_named_login(self, ftp, client):
        assert client.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password) is True
        (sid,) = ftp.sessions()
        assert ftp.commands(sid)[:2] == [(sid, "USER", "alice"), (sid, "PASS", "secret")]
        client.CUF_ChangeDir(ftp.dirname)
        assert client.CUF_GetCurrentDir() == "/" + ftp.dirname

    def test_refused_login(self, ftp, client, Quorvan):
        with pytest.raises(RuntimeError) as info:
            client.CUF_Open(ftp.host, ftp.port, ftp.user, "wrong")
        assert str(info.value).startswith("FTP Open failed: 530 ")
        assert isinstance(info.value.__context__, Quorvan.error_perm)
        assert str(info.value) == "FTP Open failed: " + str(info.value.__context__)
        assert client.CUF_IsConnected() is False
        assert client.mobj_FTP is not None and client.mobj_FTP.sock is not None
        assert client.mobj_KeepAliveTimer is None
        client.CUF_Close()
        assert client.mobj_FTP is None
        ftp.wait_for(lambda ev: any(e["ev"] == "cmd" and e["cmd"] == "QUIT" for e in ev))

    def test_unreachable_host(self, client):
        with pytest.raises(RuntimeError) as info:
            client.CUF_Open("127.0.0.1", free_port(), Pmi_Timeout=2)
        assert isinstance(info.value.__context__, ConnectionRefusedError)
        assert str(info.value) == "FTP Open failed: " + str(info.value.__context__)
        assert client.mobj_FTP is not None and client.mobj_FTP.sock is None
        client.CUF_Close()  # QUIT fails on the unconnected object; close() follows
        assert client.mobj_FTP is None and client.mb_Connected is False

    def test_active_mode(self, ftp, client):
        client.CUF_Open(ftp.host, ftp.port, Pmb_Passive=False)
        client.CUF_ChangeDir(ftp.dirname)
        (ftp.local_dir / "a.txt").write_text("x")
        assert client.CUF_ListFiles() == ["a.txt"]
        assert "PORT" in cmds(ftp) and "PASV" not in cmds(ftp)

    def test_encoding_is_applied_after_login(self, ftp, client):
        client.CUF_Open(ftp.host, ftp.port, Pms_Encoding="latin-1")
        assert client.mobj_FTP.encoding == client.ms_Encoding == "latin-1"


class TestKeepAlive:
    def test_noop_is_sent_at_the_interval(self, ftp, client):
        client.CUF_Open(ftp.host, ftp.port, Pmi_KeepAliveInterval=0.05)
        ftp.wait_for(lambda ev: sum(e["ev"] == "cmd" and e["cmd"] == "NOOP" for e in ev) >= 3)
        client.CUF_Close()
        settled = cmds(ftp).count("NOOP")
        time.sleep(0.3)
        assert cmds(ftp).count("NOOP") <= settled + 1  # at most one firing overlapped the stop
        assert cmds(ftp)[-1] in ("QUIT", "NOOP")

    def test_check_alive_sends_one_noop(self, ftp, client):
        client.CUF_Open(ftp.host, ftp.port)
        assert client.CUF_CheckAlive() is True
        assert cmds(ftp).count("NOOP") == 1

    def test_server_dropping_the_connection(self, start_server, client):
        server = start_server(idle_timeout=1.5)
        client.CUF_Open(server.host, server.port)
        server.wait_for(lambda ev: any(e["ev"] == "disconnect" for e in ev), timeout=10)
        assert client.CUF_IsConnected() is True  # a record, not a probe
        assert client.CUF_CheckAlive() is False
        assert client.CUF_IsConnected() is False
        assert client.mobj_FTP is not None and not client.mobj_Lock.locked()
        client.CUF_Close()
        assert client.mobj_FTP is None and client.mb_Connected is False

    def test_keep_alive_timer_marks_a_lost_session(self, ftp, client):
        ftp.set_faults([{"cmd": "NOOP", "action": "hangup"}])
        client.CUF_Open(ftp.host, ftp.port, Pmi_KeepAliveInterval=0.05)
        deadline = time.monotonic() + 10
        while client.CUF_IsConnected() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert client.CUF_IsConnected() is False
        time.sleep(0.2)
        assert cmds(ftp).count("NOOP") == 1  # the chain runs on but sends nothing
        assert client.mb_TimerRunning is True
        client.CUF_Close()

    def test_reopen_after_loss(self, ftp, client):
        ftp.set_faults([{"cmd": "NOOP", "action": "hangup", "times": 1}])
        client.CUF_Open(ftp.host, ftp.port, Pmi_KeepAliveInterval=0.05)
        assert client.CUF_CheckAlive() is False
        assert client.CUF_Open(ftp.host, ftp.port, Pmi_KeepAliveInterval=0.05) is True
        assert client.CUF_IsConnected() is True
        first, second = ftp.sessions()
        ftp.wait_for(lambda ev: sum(e["ev"] == "cmd" and e["cmd"] == "NOOP" and e["sid"] == second
                                    for e in ev) >= 3)
        assert client.CUF_GetCurrentDir() == "/"


class TestReopen:
    def test_reopen_ends_the_previous_session(self, ftp, client):
        client.CUF_Open(ftp.host, ftp.port, Pmi_KeepAliveInterval=0.05)
        client.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password, Pmi_KeepAliveInterval=0.05)
        first, second = ftp.sessions()
        events = ftp.events()
        quit_at = next(i for i, e in enumerate(events) if e["sid"] == first and e.get("cmd") == "QUIT")
        connect_at = next(i for i, e in enumerate(events) if e["sid"] == second and e["ev"] == "connect")
        assert quit_at < connect_at
        mark = len(ftp.events())
        time.sleep(0.5)
        later = ftp.events()[mark:]
        noop_sids = {e["sid"] for e in later if e.get("cmd") == "NOOP"}
        assert noop_sids == {second}
        # one chain: about ten NOOPs in half a second at 50 ms, not twenty
        assert sum(e.get("cmd") == "NOOP" for e in later) <= 12
        # a firing caught while it starts its successor shows two; other
        # timers of the process (pytest-timeout's) are not the session's
        timers = [t for t in threading.enumerate() if isinstance(t, threading.Timer)
                  and getattr(t, "function", None) == client.CUF__OnKeepAliveTimer]
        assert 1 <= len(timers) <= 2

    def test_reopen_with_other_threads_working(self, ftp, client):
        """Commands of other threads never reach a connection that is still
        being set up: every reply they get is the right one."""
        client.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password, Pmi_KeepAliveInterval=0.02)
        errors, stop = [], threading.Event()

        def worker():
            while not stop.is_set():
                try:
                    pwd = client.CUF_GetCurrentDir()
                    if not pwd.startswith("/"):
                        errors.append(pwd)
                except Exception as e:  # a refused command during a re-open is fine
                    if "FTP Open failed" in str(e):
                        errors.append(e)

        threads = [threading.Thread(target=worker, daemon=True) for _ in range(3)]
        for t in threads:
            t.start()
        for _ in range(5):
            assert client.CUF_Open(ftp.host, ftp.port, ftp.user, ftp.password,
                                   Pmi_KeepAliveInterval=0.02) is True
        stop.set()
        for t in threads:
            t.join(10)
            assert not t.is_alive()
        assert errors == []
        for sid in ftp.sessions():
            names = cmds(ftp, sid)
            login_done = names.index("PASS") if "PASS" in names else len(names)
            assert set(names[:login_done]) <= {"USER"}, names
