"""The keep-alive chain and CUF_KeepAlive / CUF_CheckAlive, with timers
that fire only when the test says so."""

import builtins
import sys
import threading
import types
from decimal import Decimal

import pytest

from support.fakes import RecordingLock

pytestmark = pytest.mark.core


def noops(journal):
    return [e for e in journal if e[0] == "voidcmd"]


class TestStartAndStop:
    def test_start_arms_one_daemon_timer(self, rig):
        s = rig.session
        assert s.CUF_StartKeepAliveTimer(12) is None
        (timer,) = rig.threading.created
        assert s.mobj_KeepAliveTimer is timer
        assert timer.interval == 12 and timer.started_daemon is True
        assert timer.extra == ((), {})  # exactly two positional arguments
        f = timer.function
        assert f.__self__ is s and f.__func__ is type(s).__dict__["CUF__OnKeepAliveTimer"]
        assert s.mi_KeepAliveInterval == 12 and s.mb_TimerRunning is True
        assert noops(rig.journal) == []

    def test_start_default_interval(self, rig):
        rig.session.CUF_StartKeepAliveTimer()
        assert rig.session.mobj_KeepAliveTimer.interval == 30

    def test_interval_is_stored_unchanged(self, rig):
        marker = 0.25
        rig.session.CUF_StartKeepAliveTimer(marker)
        assert rig.session.mi_KeepAliveInterval is marker

    def test_second_start_leaves_the_first_timer_armed(self, rig):
        s = rig.session
        s.CUF_StartKeepAliveTimer(1)
        s.CUF_StartKeepAliveTimer(2)
        first, second = rig.threading.created
        assert not first.cancelled and s.mobj_KeepAliveTimer is second
        s.CUF_StopKeepAliveTimer()
        assert second.cancelled and not first.cancelled
        first.fire()  # the other chain ends at its next firing
        assert len(rig.threading.created) == 2

    def test_stop_cancels_and_forgets_the_timer(self, rig):
        s = rig.session
        s.CUF_StartKeepAliveTimer(1)
        timer = s.mobj_KeepAliveTimer
        assert s.CUF_StopKeepAliveTimer() is None
        assert timer.cancelled and s.mobj_KeepAliveTimer is None and s.mb_TimerRunning is False

    def test_stop_without_a_timer(self, rig):
        s = rig.session
        s.mb_TimerRunning = True
        assert s.CUF_StopKeepAliveTimer() is None
        assert s.CUF_StopKeepAliveTimer() is None
        assert s.mb_TimerRunning is False and s.mobj_KeepAliveTimer is None

    @pytest.mark.parametrize("interval", ["1", Decimal("0.01"), 10**20, 1e300, float("inf"),
                                          float("nan"), 0, -1, -0.5, float("-inf"), 0.01],
                             ids=repr)
    def test_interval_that_a_timer_cannot_wait_on_is_refused_by_the_call(self, rig, interval):
        """Refused in the caller's thread, before anything is written or armed,
        exactly when a real timer would fail on its own thread, or would not
        wait at all and so fire in a busy loop."""
        try:
            busy = not interval > 0
        except TypeError:
            busy = False
        try:
            threading.Timer(interval, lambda: None).run()
            error = ValueError if busy else None
        except Exception as e:
            error = type(e)
        s = rig.session
        if error is None:
            assert s.CUF_StartKeepAliveTimer(interval) is None
            assert len(rig.threading.pending()) == 1
            return
        with pytest.raises(error) as info:
            s.CUF_StartKeepAliveTimer(interval)
        if error is TypeError:
            assert str(info.value) == ("keep-alive interval must be a number of seconds, not "
                                       f"'{type(interval).__name__}'")
        if busy:
            assert str(info.value) == ("keep-alive interval must be a positive number of "
                                       f"seconds, not {interval!r}")
        assert rig.threading.created == []
        assert s.mb_TimerRunning is False and s.mi_KeepAliveInterval == 30
        with pytest.raises(RuntimeError, match="^FTP Open failed: ") as info:
            s.CUF_Open("h", Pmi_KeepAliveInterval=interval)
        assert type(info.value.__context__) is error
        assert s.mb_Connected is False and rig.threading.created == []

    def test_start_failure_leaves_earlier_writes(self, rig):
        def broken(interval, function):
            raise RuntimeError("no threads")

        rig.threading.Timer = broken
        with pytest.raises(RuntimeError, match="no threads"):
            rig.session.CUF_StartKeepAliveTimer(5)
        assert rig.session.mb_TimerRunning is True and rig.session.mi_KeepAliveInterval == 5


class TestFiring:
    def test_firing_while_connected_sends_noop_then_rearms(self, rig):
        s = rig.session
        s.CUF_Open("h", Pmi_KeepAliveInterval=3)
        first = s.mobj_KeepAliveTimer
        s.mi_KeepAliveInterval = 4  # read again by every arming
        del rig.journal[:]
        assert first.fire() is None
        assert [e[0] for e in rig.journal] == ["voidcmd", "timer.start"]
        assert noops(rig.journal)[0][1:] == (("NOOP",), {}, True)  # under the lock
        second = s.mobj_KeepAliveTimer
        assert second is not first and second.interval == 4 and second.started_daemon

    def test_firing_while_not_connected_only_rearms(self, rig):
        s = rig.session
        s.CUF_Open("h")
        s.mb_Connected = False
        s.mobj_KeepAliveTimer.fire()
        assert noops(rig.journal) == [] and len(rig.threading.pending()) == 1

    def test_firing_after_stop_ends_the_chain(self, rig):
        s = rig.session
        s.CUF_StartKeepAliveTimer(1)
        timer = s.mobj_KeepAliveTimer
        s.mb_TimerRunning = False
        timer.fire()
        assert s.mobj_KeepAliveTimer is timer and len(rig.threading.created) == 1

    def test_a_superseded_chain_ends_at_its_next_firing(self, rig):
        """On a timer's own thread, a firing whose timer is no longer the
        session's stored one belongs to a chain that a stop or a newer start
        (a re-open, an open on another thread) has replaced: it sends nothing
        and arms nothing, so such chains do not pile up."""
        s = rig.session
        s.CUF_Open("h")
        for stored in (True, False):
            del rig.journal[:]
            before = len(rig.threading.created)
            timer = threading.Timer(0, s.CUF__OnKeepAliveTimer)
            if stored:
                s.mobj_KeepAliveTimer = timer
            timer.start()
            timer.join(10)
            assert not timer.is_alive()
            assert len(noops(rig.journal)) == len(rig.threading.created) - before == stored

    def test_the_running_thread_is_asked_of_threading_in_sys_modules(self, rig, monkeypatch):
        """The threading module that answers which thread fires is the one
        sys.modules holds at that firing, not one found at an earlier one."""
        s = rig.session
        s.CUF_Open("h")
        s.CUF__OnKeepAliveTimer()

        class OtherTimer:
            pass

        replaced = types.SimpleNamespace(Timer=OtherTimer, current_thread=OtherTimer)
        monkeypatch.setitem(sys.modules, "threading", replaced)
        del rig.journal[:]
        before = len(rig.threading.created)
        s.CUF__OnKeepAliveTimer()  # "on" a timer that is not the stored one
        assert noops(rig.journal) == [] and len(rig.threading.created) == before
        # Absent from sys.modules, it is imported, as `import threading` would.
        monkeypatch.delitem(sys.modules, "threading")
        imported, real_import = [], builtins.__import__

        def import_(name, *args, **kwargs):
            if name == "threading":
                imported.append(name)
                sys.modules[name] = threading
                return threading
            return real_import(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", import_)
        s.CUF__OnKeepAliveTimer()
        s.CUF__OnKeepAliveTimer()
        assert imported == ["threading"]
        assert len(noops(rig.journal)) == 2 and len(rig.threading.created) == before + 2

    def test_failed_noop_keeps_the_chain_running(self, rig):
        s = rig.session
        s.CUF_Open("h")
        rig.fail["voidcmd"] = EOFError()
        s.mobj_KeepAliveTimer.fire()
        assert s.mb_Connected is False and len(rig.threading.pending()) == 1
        s.mobj_KeepAliveTimer.fire()
        assert len(noops(rig.journal)) == 1  # the second firing sent nothing

    def test_stop_during_a_firing(self, rig, Quorvan):
        s = rig.session
        s.CUF_Open("h")
        timer = s.mobj_KeepAliveTimer

        def noop_then_stop(self):
            s.CUF_StopKeepAliveTimer()  # another thread's stop, mid-firing
            return True

        s.CUF_KeepAlive = types.MethodType(noop_then_stop, s)
        timer.fire()
        last = s.mobj_KeepAliveTimer
        assert last is not None and last.started  # one more timer, stored after the stop
        last.fire()
        assert s.mobj_KeepAliveTimer is last and len(rig.threading.created) == 2

    def test_stop_between_storing_and_starting_the_next_timer(self, rig):
        s = rig.session
        s.CUF_StartKeepAliveTimer(1)
        first = s.mobj_KeepAliveTimer

        class RacingTimer(type(first)):
            @property
            def daemon(self):
                return self._daemon

            @daemon.setter
            def daemon(self, value):
                self._daemon = value
                if value:
                    s.CUF_StopKeepAliveTimer()  # lands between the statements

        rig.threading.Timer = lambda i, f: RacingTimer(rig.threading, i, f)
        s.mb_TimerRunning = True
        first.fire()  # must not fail on a None timer
        armed = rig.threading.created[-1]
        assert armed.started and armed.started_daemon is True and armed.cancelled

    def test_error_in_a_firing_ends_that_firing(self, rig, Quorvan, monkeypatch):
        s = rig.session
        s.CUF_StartKeepAliveTimer(1)
        timer = s.mobj_KeepAliveTimer
        monkeypatch.delattr(Quorvan, "threading")
        with pytest.raises(NameError, match="^name 'threading' is not defined$"):
            timer.fire()
        assert s.mb_TimerRunning is True


class TestKeepAlive:
    def test_no_connection_object(self, rig):
        s = rig.session
        s.mobj_Lock = RecordingLock(rig.journal)
        s.mb_Connected = "untouched"
        assert s.CUF_KeepAlive() is False and s.CUF_CheckAlive() is False
        assert rig.journal == [] and s.mb_Connected == "untouched"

    def test_success(self, rig):
        s = rig.session
        s.CUF_Open("h")
        s.mobj_Lock = RecordingLock(rig.journal)
        del rig.journal[:]
        assert s.CUF_KeepAlive() is True
        assert [e[0] for e in rig.journal] == ["lock.enter", "voidcmd", "lock.exit"]

    def test_failure_marks_the_session_lost(self, rig, Quorvan):
        s = rig.session
        s.CUF_Open("h")
        ftp = s.mobj_FTP
        for error in (Quorvan.error_perm("500 no"), EOFError(), TimeoutError()):
            s.mb_Connected = True
            rig.fail["voidcmd"] = error
            assert s.CUF_KeepAlive() is False
            assert s.mb_Connected is False and s.mobj_FTP is ftp
            assert not s.mobj_Lock.locked()

    def test_success_after_failure_does_not_reconnect(self, rig):
        s = rig.session
        s.CUF_Open("h")
        rig.fail["voidcmd"] = EOFError()
        assert s.CUF_CheckAlive() is False
        del rig.fail["voidcmd"]
        assert s.CUF_CheckAlive() is True
        assert s.CUF_IsConnected() is False

    def test_base_exception_passes(self, rig):
        s = rig.session
        s.CUF_Open("h")
        rig.fail["voidcmd"] = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt):
            s.CUF_KeepAlive()
        assert s.mb_Connected is True and not s.mobj_Lock.locked()

    def test_lock_failure_counts_as_a_failed_exchange(self, rig):
        s = rig.session
        s.CUF_Open("h")
        s.mobj_Lock = None
        assert s.CUF_KeepAlive() is False and s.mb_Connected is False

    def test_connection_dropped_between_test_and_call(self, rig):
        s = rig.session
        s.CUF_Open("h")

        class ClearingLock:
            def __enter__(self):
                s.mobj_FTP = None

            def __exit__(self, *exc):
                return False

        s.mobj_Lock = ClearingLock()
        assert s.CUF_KeepAlive() is False and s.mb_Connected is False

    def test_truth_test_error_propagates(self, rig):
        class Falsy:
            def __bool__(self):
                raise ValueError("no truth")

        rig.session.mobj_FTP = Falsy()
        with pytest.raises(ValueError, match="no truth"):
            rig.session.CUF_KeepAlive()

    def test_check_alive_returns_what_keep_alive_returns(self, Quorvan):
        marker = object()

        class Sub(Quorvan.CLASS_FTPClient):
            def CUF_KeepAlive(self):
                return marker

        assert Sub().CUF_CheckAlive() is marker


class TestShutdownRefusal:
    """From 3.12 the interpreter refuses new threads once its shutdown has
    begun, a little before threading's own shutdown hooks run."""

    @staticmethod
    def fresh_module(Quorvan):
        # A module instance of its own: the refusal stops all further arming of
        # the module instance it happens in.
        import importlib.util
        spec = importlib.util.spec_from_file_location("Quorvan", Quorvan.__file__)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    @staticmethod
    def refusing_threading(message, created):
        class Timer:
            def __init__(self, interval, function):
                created.append(self)

            def start(self):
                raise RuntimeError(message)

        return types.SimpleNamespace(Timer=Timer, Lock=threading.Lock)

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="refused from 3.12 on")
    def test_refusal_at_shutdown_ends_the_chain_quietly(self, Quorvan):
        """A firing refused ends its chain without an error on its thread; a
        start refused says so instead of reporting a keep-alive that does not
        run, and so does every later one."""
        module = self.fresh_module(Quorvan)
        created = []
        module.threading = self.refusing_threading(
            "can't create new thread at interpreter shutdown", created)
        s = module.CLASS_FTPClient()
        s.mb_TimerRunning = True
        assert s.CUF__OnKeepAliveTimer() is None
        assert s.mb_TimerRunning is False and len(created) == 1
        for _ in range(2):
            with pytest.raises(RuntimeError, match="^can't create new thread at interpreter shutdown$"):
                s.CUF_StartKeepAliveTimer(0.5)
            assert s.mb_TimerRunning is False
        assert len(created) == 1  # nothing more is armed once refused

    def test_other_refusals_are_reported(self, Quorvan):
        module = self.fresh_module(Quorvan)
        module.threading = self.refusing_threading("can't start new thread", [])
        s = module.CLASS_FTPClient()
        with pytest.raises(RuntimeError, match="can't start new thread"):
            s.CUF_StartKeepAliveTimer(0.5)
