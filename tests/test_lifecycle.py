"""__init__, CUF_Open, CUF_Close and CUF_IsConnected, step by step, with
recording stand-ins bound to the module's globals."""

import sys
import threading

import pytest

from bench import peer
from support.fakes import Gate, HandOverLock, RecordingLock
from support.fuzz import Lock
from support.timing import scaled

pytestmark = pytest.mark.core


def ftp_calls(journal):
    return [(e[0], e[1], e[2]) for e in journal if not e[0].startswith(("lock.", "timer."))]


class TestInit:
    def test_new_session(self, Quorvan):
        # The attributes, their order, values and types are the Python class's.
        s, oracle = Quorvan.CLASS_FTPClient(), peer.CLASS_FTPClient()
        ours, theirs = vars(s), vars(oracle)
        assert list(ours) == list(theirs)
        assert all(type(ours[k]) is type(theirs[k]) for k in ours)
        assert {k: v for k, v in ours.items() if k != "mobj_Lock"} == {
            k: v for k, v in theirs.items() if k != "mobj_Lock"}
        assert type(s.mobj_Lock) is type(threading.Lock())
        assert s.CUF_IsConnected() is False

    def test_lock_comes_from_the_threading_global(self, Quorvan, monkeypatch):
        made = []

        class T:
            def Lock(self):
                made.append(1)
                return "a lock"

        monkeypatch.setattr(Quorvan, "threading", T())
        assert Quorvan.CLASS_FTPClient().mobj_Lock == "a lock" and made == [1]

    def test_each_session_has_its_own_lock(self, Quorvan):
        a, b = Quorvan.CLASS_FTPClient(), Quorvan.CLASS_FTPClient()
        assert a.mobj_Lock is not b.mobj_Lock

    def test_is_connected_returns_the_stored_object(self, Quorvan):
        s = Quorvan.CLASS_FTPClient()
        marker = object()
        s.mb_Connected = marker
        assert s.CUF_IsConnected() is marker

    def test_is_connected_follows_the_class_and_instance_between_calls(self, Quorvan):
        """Nothing of an earlier call's lookup is kept: what the class and
        the instance hold at the moment of each call is what it reads."""
        class Session(Quorvan.CLASS_FTPClient):
            pass

        s = Session()
        assert s.CUF_IsConnected() is False
        Session.mb_Connected = property(lambda self: "the class's property")
        assert s.CUF_IsConnected() == "the class's property"
        del Session.mb_Connected
        assert s.CUF_IsConnected() is False
        del s.mb_Connected
        Session.__getattr__ = lambda self, name: f"missing {name}"
        assert s.CUF_IsConnected() == "missing mb_Connected"
        s.mb_Connected = True
        assert s.CUF_IsConnected() is True


class TestOpen:
    def test_defaults_and_order(self, rig):
        assert rig.session.CUF_Open("example.org") is True
        assert ftp_calls(rig.journal) == [
            ("FTP", (), {}),
            ("connect", ("example.org", 21), {"timeout": 10}),
            ("login", (), {}),
            ("set_pasv", (True,), {}),
            ("set encoding", ("utf-8",), {}),
        ]
        s = rig.session
        assert s.mb_Connected is True and s.ms_Encoding == "utf-8"
        assert s.mi_KeepAliveInterval == 30 and s.mb_TimerRunning is True
        timer = s.mobj_KeepAliveTimer
        assert timer.interval == 30 and timer.started and timer.started_daemon is True
        assert s.CUF_IsConnected() is True

    def test_connection_is_set_up_under_the_lock(self, rig):
        rig.session.CUF_Open("h")
        held = {e[0]: e[3] for e in rig.journal if not e[0].startswith(("lock.", "timer."))}
        assert held == {"FTP": True, "connect": True, "login": True, "set_pasv": True,
                        "set encoding": True}
        assert not rig.session.mobj_Lock.locked()

    def test_every_argument_is_passed_on(self, rig):
        rig.session.CUF_Open("host", 2121, "bob", "pw", 3, False, "latin-1", 7)
        assert ftp_calls(rig.journal)[1:] == [
            ("connect", ("host", 2121), {"timeout": 3}),
            ("login", ("bob", "pw"), {}),
            ("set_pasv", (False,), {}),
            ("set encoding", ("latin-1",), {}),
        ]
        assert rig.session.mobj_FTP.encoding == rig.session.ms_Encoding == "latin-1"
        assert rig.session.mobj_KeepAliveTimer.interval == 7

    def test_password_without_user_is_never_sent(self, rig):
        rig.session.CUF_Open("h", Pms_Password="secret")
        assert ("login", (), {}) in ftp_calls(rig.journal)

    def test_keep_alive_interval_alone_by_keyword(self, rig):
        rig.session.CUF_Open("h", Pmi_KeepAliveInterval=0.5)
        assert rig.session.mi_KeepAliveInterval == 0.5

    def test_refused_login(self, rig, Quorvan):
        error = Quorvan.error_perm("530 Login incorrect.")
        rig.fail["login"] = error
        with pytest.raises(RuntimeError) as info:
            rig.session.CUF_Open("h", Pms_User="bob", Pms_Password="bad")
        assert info.value.args == ("FTP Open failed: 530 Login incorrect.",)
        assert info.value.__context__ is error and info.value.__cause__ is None
        assert not info.value.__suppress_context__
        s = rig.session
        assert s.mb_Connected is False and s.mobj_FTP is not None
        assert s.ms_Encoding == "utf-8" and s.mobj_KeepAliveTimer is None
        assert not s.mobj_Lock.locked()
        assert [c[0] for c in ftp_calls(rig.journal)] == ["FTP", "connect", "login"]

    def test_failure_to_create_keeps_the_previous_object(self, rig):
        rig.fail["FTP"] = ValueError("no object")
        with pytest.raises(RuntimeError, match="^FTP Open failed: no object$"):
            rig.session.CUF_Open("h")
        assert rig.session.mobj_FTP is None

    def test_keep_alive_start_failure_fails_the_open(self, rig):
        def broken(interval, function):
            raise OSError("can't start new thread")

        rig.threading.Timer = broken
        with pytest.raises(RuntimeError, match="^FTP Open failed: can't start new thread$"):
            rig.session.CUF_Open("h")
        assert rig.session.mb_Connected is False
        assert rig.session.mb_TimerRunning is True  # what the start wrote stays written

    def test_unbound_ftp_global(self, rig, Quorvan, monkeypatch):
        monkeypatch.delattr(Quorvan, "FTP")
        with pytest.raises(RuntimeError) as info:
            rig.session.CUF_Open("h")
        assert str(info.value) == "FTP Open failed: name 'FTP' is not defined"
        assert type(info.value.__context__) is NameError

    def test_ftp_global_found_in_builtins(self, rig, Quorvan, monkeypatch):
        cls = Quorvan.FTP
        monkeypatch.delattr(Quorvan, "FTP")
        monkeypatch.setitem(vars(Quorvan)["__builtins__"], "FTP", cls)
        assert rig.session.CUF_Open("h") is True

    def test_base_exceptions_pass_untouched(self, rig):
        rig.session.mb_Connected = "unchanged"
        rig.fail["connect"] = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt):
            rig.session.CUF_Open("h")
        assert rig.session.mb_Connected == "unchanged"
        assert not rig.session.mobj_Lock.locked()

    def test_exception_text_is_formatted_not_repr(self, rig):
        class Odd(Exception):
            def __str__(self):
                return "odd text"

        rig.fail["set_pasv"] = Odd()
        with pytest.raises(RuntimeError, match="^FTP Open failed: odd text$"):
            rig.session.CUF_Open("h")

    def test_failing_str_of_the_error_propagates_chained(self, rig):
        class Unprintable(Exception):
            def __str__(self):
                raise ValueError("cannot print")

        original = Unprintable()
        rig.fail["connect"] = original
        with pytest.raises(ValueError, match="cannot print") as info:
            rig.session.CUF_Open("h")
        assert info.value.__context__ is original

    def test_reopen_closes_first(self, rig):
        s = rig.session
        s.CUF_Open("first")
        first_timer = s.mobj_KeepAliveTimer
        first_ftp = s.mobj_FTP
        del rig.journal[:]
        s.CUF_Open("second")
        assert [c[0] for c in ftp_calls(rig.journal)] == [
            "quit", "FTP", "connect", "login", "set_pasv", "set encoding"]
        assert first_timer.cancelled and s.mobj_FTP is not first_ftp
        assert len(rig.threading.pending()) == 1  # one chain, not two

    def test_reopen_after_failed_open_closes_the_failed_object(self, rig, Quorvan):
        rig.fail["login"] = Quorvan.error_perm("530 no")
        with pytest.raises(RuntimeError):
            rig.session.CUF_Open("h")
        del rig.fail["login"]
        del rig.journal[:]
        rig.session.CUF_Open("h")
        assert [c[0] for c in ftp_calls(rig.journal)][:2] == ["quit", "FTP"]

    def test_reopen_whose_close_fails_fails_the_open(self, rig):
        rig.session.CUF_Open("h")
        rig.fail["quit"] = EOFError()
        rig.fail["close"] = OSError("close failed")
        with pytest.raises(RuntimeError, match="^FTP Open failed: close failed$"):
            rig.session.CUF_Open("h")
        assert rig.session.mb_Connected is False

    def test_new_session_open_does_not_close(self, rig):
        rig.session.CUF_Open("h")
        assert "quit" not in [c[0] for c in ftp_calls(rig.journal)]

    def test_lock_failing_after_the_set_up_leaves_no_chain(self, rig):
        rig.session.mobj_Lock = Lock(exit=OSError("exit failed"))
        with pytest.raises(RuntimeError, match="^FTP Open failed: exit failed$"):
            rig.session.CUF_Open("h")
        assert rig.threading.pending() == [] and rig.session.mb_TimerRunning is False
        assert rig.session.mb_Connected is False

    def test_lock_swallowing_the_error_continues_after_the_block(self, rig):
        rig.session.mobj_Lock = Lock(result=True)  # swallows what the block raises
        rig.fail["connect"] = OSError("refused")
        assert rig.session.CUF_Open("h") is True
        assert rig.session.mb_Connected is True


class TestClose:
    def test_close_of_a_new_session(self, rig):
        s = rig.session
        stops = []
        s.CUF_StopKeepAliveTimer = lambda: stops.append(1)
        assert s.CUF_Close() is None
        assert s.CUF_Close() is None
        assert stops == [1, 1] and ftp_calls(rig.journal) == []
        assert s.mobj_FTP is None and s.mb_Connected is False

    def test_close_sends_quit_under_the_lock(self, rig):
        s = rig.session
        s.CUF_Open("h")
        timer = s.mobj_KeepAliveTimer
        del rig.journal[:]
        assert s.CUF_Close() is None
        assert [e[0] for e in rig.journal] == ["timer.cancel", "lock.enter", "quit", "lock.exit"] or \
            [e for e in ftp_calls(rig.journal)] == [("quit", (), {})]
        assert [e for e in rig.journal if e[0] == "quit"][0][3] is True
        assert timer.cancelled and s.mobj_KeepAliveTimer is None and s.mb_TimerRunning is False
        assert s.mobj_FTP is None and s.mb_Connected is False

    def test_failing_quit_falls_back_to_close(self, rig):
        s = rig.session
        s.CUF_Open("h")
        rig.fail["quit"] = EOFError()
        del rig.journal[:]
        assert s.CUF_Close() is None
        calls = [(e[0], e[3]) for e in rig.journal if e[0] in ("quit", "close")]
        assert calls == [("quit", True), ("close", False)]  # close() without the lock
        assert s.mobj_FTP is None and s.mb_Connected is False

    def test_failing_close_propagates_chained_and_keeps_the_session(self, rig):
        s = rig.session
        s.CUF_Open("h")
        quit_error, close_error = EOFError(), OSError("bad fd")
        rig.fail["quit"], rig.fail["close"] = quit_error, close_error
        ftp = s.mobj_FTP
        with pytest.raises(OSError) as info:
            s.CUF_Close()
        assert info.value is close_error and info.value.__context__ is quit_error
        assert s.mobj_FTP is ftp and s.mb_Connected is True
        assert not s.mobj_Lock.locked()

    def test_failing_stop_propagates_before_anything_else(self, rig):
        s = rig.session
        s.CUF_Open("h")

        def stop():
            raise ValueError("stop failed")

        s.CUF_StopKeepAliveTimer = stop
        del rig.journal[:]
        with pytest.raises(ValueError):
            s.CUF_Close()
        assert ftp_calls(rig.journal) == [] and s.mb_Connected is True

    def test_base_exception_from_quit_is_not_absorbed(self, rig):
        s = rig.session
        s.CUF_Open("h")
        rig.fail["quit"] = SystemExit(3)
        with pytest.raises(SystemExit):
            s.CUF_Close()
        assert "close" not in [e[0] for e in rig.journal]
        assert not s.mobj_Lock.locked()

    def test_lock_swallowing_the_quit_error_clears_the_session(self, rig):
        s = rig.session
        s.CUF_Open("h")
        s.mobj_Lock = Lock(result=True)  # swallows what the block raises
        rig.fail["quit"] = EOFError()
        assert s.CUF_Close() is None
        assert s.mobj_FTP is None and s.mb_Connected is False

    def test_missing_lock_counts_as_a_failed_quit(self, rig):
        s = rig.session
        s.CUF_Open("h")
        del s.mobj_Lock
        s.CUF_Close()
        assert [e[0] for e in ftp_calls(rig.journal)][-1] == "close"
        assert s.mobj_FTP is None

    def test_close_waits_for_the_lock(self, rig):
        s = rig.session
        s.CUF_Open("h")
        s.mobj_Lock.acquire()
        done = threading.Event()
        t = threading.Thread(target=lambda: (s.CUF_Close(), done.set()), daemon=True)
        t.start()
        assert not done.wait(0.2)
        assert s.mb_TimerRunning is False  # the chain is stopped before the wait
        assert "quit" not in [e[0] for e in rig.journal]
        s.mobj_Lock.release()
        assert done.wait(10)
        t.join(10)
        assert "quit" in [e[0] for e in rig.journal]

    @pytest.mark.parametrize("cleared_in", ["__enter__", "__exit__"])
    def test_session_closed_meanwhile_by_another_thread(self, rig, cleared_in):
        """Another thread's close completes while this one waits for the lock,
        or after this one's QUIT failed: there is nothing left to do, and the
        None in the session is neither quit nor closed."""
        s = rig.session
        s.CUF_Open("h")
        rig.fail["quit"] = EOFError()

        class OtherClose:
            def __enter__(self):
                if cleared_in == "__enter__":
                    s.mobj_FTP = None

            def __exit__(self, *exc):
                if cleared_in == "__exit__":
                    s.mobj_FTP = None

        s.mobj_Lock = OtherClose()
        del rig.journal[:]
        assert s.CUF_Close() is None
        assert [e[0] for e in ftp_calls(rig.journal)] == ([] if cleared_in == "__enter__"
                                                          else ["quit"])
        assert s.mobj_FTP is None and s.mb_Connected is False


def end_state(rig):
    """'open' or 'closed', checking that the session is wholly one of them and
    that every connection it let go of was ended once."""
    s = rig.session
    current = s.mobj_FTP
    for ftp in rig.ftp_class.instances:
        assert ftp.calls.count("quit") <= 1, ftp.calls
        if ftp is not current:
            assert "quit" in ftp.calls or "close" in ftp.calls, ftp.calls
    if current is None:
        assert s.mb_Connected is False and s.mb_TimerRunning is False
        return "closed"
    assert current.calls[-2:] == ["login", "set_pasv"]
    assert s.mb_Connected is True and s.mb_TimerRunning is True
    assert s.mobj_KeepAliveTimer in rig.threading.pending()  # others end at their next firing
    return "open"


class TestOverlap:
    """Opens and closes on two threads, the first held inside a call on the
    connection until the second has got as far as it can, and the lock
    handed to a waiting thread as soon as it is released."""

    CASES = {  # first call, where it is held, second call, session open before
        "close during connect": ("open", "connect", "close", False),
        "close during login": ("open", "login", "close", False),
        "close during re-open": ("open", "connect", "close", True),
        "open during close": ("close", "quit", "open", True),
        "two opens": ("open", "login", "open", False),
        "two re-opens": ("open", "connect", "open", True),
        "two closes": ("close", "quit", "close", True),
    }

    @pytest.mark.parametrize("first, held_in, second, opened", CASES.values(), ids=list(CASES))
    def test_ends_as_some_order_of_the_calls(self, rig, first, held_in, second, opened):
        s = rig.session
        s.mobj_Lock = HandOverLock()
        rig.ftp_class.instances = []
        if opened:
            s.CUF_Open("h")
        calls = {"open": lambda: s.CUF_Open("h"), "close": s.CUF_Close}
        gate = rig.gates[held_in] = Gate()
        results = []
        threads = [threading.Thread(target=lambda c=call: results.append(calls[c]()), daemon=True)
                   for call in (first, second)]
        threads[0].start()
        gate.wait_for_arrival()
        threads[1].start()
        threads[1].join(scaled(0.3))
        gate.open()
        for t in threads:
            t.join(10)
        assert not any(t.is_alive() for t in threads) and len(results) == 2
        assert end_state(rig) == {"open": "open", "close": "closed"}[second]

    def test_overrides_may_use_the_session(self, rig, Quorvan):
        """The keep-alive methods run outside the lock, so overrides that use
        the session (a NOOP at once, a probe for a log) never deadlock."""
        used = []

        class Session(Quorvan.CLASS_FTPClient):
            def CUF_StartKeepAliveTimer(self, Pmi_Interval=30):
                super().CUF_StartKeepAliveTimer(Pmi_Interval)
                used.append(("start", self.CUF_KeepAlive()))

            def CUF_StopKeepAliveTimer(self):
                used.append(("stop", self.CUF_CheckAlive()))
                super().CUF_StopKeepAliveTimer()

        s = rig.box[0] = Session()
        done = threading.Event()

        def run():
            s.CUF_Open("h")
            s.CUF_Open("h")  # closes first
            s.CUF_Close()
            done.set()

        threading.Thread(target=run, daemon=True).start()
        assert done.wait(10), "an override waited for the session lock"
        assert used == [("start", True), ("stop", True), ("start", True), ("stop", True)]
        assert s.mobj_FTP is None and s.mb_TimerRunning is False and s.mb_Connected is False


class TestWithStatement:
    """How the lock's context-manager protocol is driven."""

    def test_exit_receives_the_exception(self, rig):
        s = rig.session
        s.CUF_Open("h")
        s.mobj_Lock = lock = RecordingLock(rig.journal)
        error = EOFError("gone")
        rig.fail["quit"] = error
        s.CUF_Close()
        exc_type, exc, tb = lock.exits[0]
        assert exc_type is EOFError and exc is error and tb is not None

    def test_special_methods_are_looked_up_on_the_type(self, rig):
        class Lock:
            def __enter__(self):
                rig.journal.append(("type enter",))

            def __exit__(self, *exc):
                rig.journal.append(("type exit", exc))

        lock = Lock()
        lock.__enter__ = lambda: rig.journal.append(("instance enter",))
        rig.session.mobj_Lock = lock
        rig.session.CUF_Open("h")
        names = [e[0] for e in rig.journal]
        assert "type enter" in names and "instance enter" not in names
        assert ("type exit", (None, None, None)) in rig.journal

    def test_special_methods_changed_between_calls(self, rig):
        """Whatever the lock's class, or a base of it, holds at each with
        statement is what runs, however often the class was used before."""
        class Base:
            def __exit__(self, *exc):
                rig.journal.append(("exit", 1))

        class Lock(Base):
            def __enter__(self):
                rig.journal.append(("enter", 1))

        s = rig.session
        s.CUF_Open("h")
        s.mobj_Lock = Lock()

        def run():
            getattr(s.mobj_Lock, "__exit__", None)  # the class is used elsewhere too
            del rig.journal[:]
            s.CUF_GetCurrentDir()
            return [e for e in rig.journal if e[0] in ("enter", "exit")]

        assert run() == run() == [("enter", 1), ("exit", 1)]
        Lock.__enter__ = lambda self: rig.journal.append(("enter", 2))
        assert run() == run() == [("enter", 2), ("exit", 1)]
        Base.__exit__ = lambda self, *exc: rig.journal.append(("exit", 2))
        assert run() == [("enter", 2), ("exit", 2)]

        class OtherBase:
            def __exit__(self, *exc):
                rig.journal.append(("exit", 3))

        Lock.__bases__ = (OtherBase,)
        assert run() == [("enter", 2), ("exit", 3)]
        s.mobj_Lock = Base()  # no __enter__
        with pytest.raises((AttributeError, TypeError)):
            s.CUF_GetCurrentDir()
        s.mobj_Lock = Lock()
        assert run() == [("enter", 2), ("exit", 3)]

        def enter_replacing_exit(self):
            rig.journal.append(("enter", 4))
            Lock.__exit__ = lambda self, *exc: rig.journal.append(("exit", 9))

        Lock.__enter__ = enter_replacing_exit  # __exit__ was looked up before the call
        assert [run(), run()] == [[("enter", 4), ("exit", 3)], [("enter", 4), ("exit", 9)]]
        del Lock.__exit__

        # Binding __enter__ runs a __get__ that gives the class a new __exit__.
        made = []

        class Rebinding:
            def __get__(self, obj, cls):
                made.append(len(made) + 4)
                Lock.__exit__ = lambda self, *exc, n=made[-1]: rig.journal.append(("exit", n))
                return lambda: rig.journal.append(("enter", 3))

        Lock.__enter__ = Rebinding()
        # from 3.14 __exit__ is bound first, so it is the one from before the __get__
        exits = (3, 4, 5) if sys.version_info >= (3, 14) else (4, 5, 6)
        assert [run(), run(), run()] == [[("enter", 3), ("exit", n)] for n in exits]

        # On 3.10 clearing the type cache restarts the numbering of version
        # tags, so the class, changed after each clear, gets the same tag back
        # every time; the __exit__ it held is freed by the change.
        Lock.__enter__ = lambda self: rig.journal.append(("enter", 5))
        clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
        for n in range(10, 14):
            clear()
            Lock.__exit__ = lambda self, *exc, n=n: rig.journal.append(("exit", n))
            assert run() == [("enter", 5), ("exit", n)]

    def test_not_a_context_manager(self, rig):
        # The interpreter's wording and exception type changed in 3.11; the
        # reference is a real with statement on the running interpreter.
        entered = []

        class EnterOnly:
            def __enter__(self):
                entered.append(self)

        class ExitOnly:
            def __exit__(self, *exc):
                pass

        class AsyncOnly:  # from 3.14 the message suggests `async with`
            async def __aenter__(self):
                pass

            async def __aexit__(self, *exc):
                pass

        def python_with(manager):
            try:
                with manager:
                    pass
            except Exception as e:
                return e

        for lock in (object(), EnterOnly(), ExitOnly(), AsyncOnly()):
            rig.session.mobj_Lock = lock
            with pytest.raises(RuntimeError) as info:
                rig.session.CUF_Open("h")
            expected = python_with(lock)
            assert type(info.value.__context__) is type(expected)
            assert str(info.value) == "FTP Open failed: " + str(expected)
        assert entered == []

    def test_lookup_order_is_the_interpreters(self, rig):
        # From 3.14 the interpreter looks __exit__ up before __enter__.
        looked_up = []

        class Special:
            def __init__(self, name):
                self.name = name

            def __get__(self, obj, cls):
                looked_up.append(self.name)
                return lambda *args: None

        class Lock:
            __enter__ = Special("__enter__")
            __exit__ = Special("__exit__")

        with Lock():
            pass
        expected, looked_up[:] = looked_up[:], []
        rig.session.mobj_Lock = Lock()
        rig.session.CUF_Open("h")
        assert looked_up[:2] == expected

    def test_exception_from_exit_chains_to_the_body_error(self, rig):
        class Lock:
            def __enter__(self):
                pass

            def __exit__(self, *exc):
                import sys
                rig.journal.append(("exc_info in exit", sys.exc_info()[1]))
                raise KeyError("exit failed")

        body_error = OSError("refused")
        rig.fail["connect"] = body_error
        rig.session.mobj_Lock = Lock()
        with pytest.raises(RuntimeError) as info:
            rig.session.CUF_Open("h")
        exit_error = info.value.__context__
        assert type(exit_error) is KeyError and exit_error.__context__ is body_error
        assert ("exc_info in exit", body_error) in rig.journal

    def test_staticmethod_and_callable_attributes_as_special_methods(self, rig):
        calls = []

        class Callable:
            def __call__(self, *args):
                calls.append(len(args))

        class Lock:
            __enter__ = staticmethod(lambda: calls.append("enter"))
            __exit__ = Callable()

        rig.session.mobj_Lock = Lock()
        rig.session.CUF_Open("h")
        assert calls == ["enter", 3]
