// Keep-alive: a chain of one-shot (daemon) threading.Timer objects, each
// firing sending NOOP under the session lock and arming its successor until
// mb_TimerRunning is found false.
#include <cmath>

#include "session/common.h"
#include "session/timer_guard.h"

namespace quorvan::session {

namespace {

// t = threading.Timer(self.mi_KeepAliveInterval, self.CUF__OnKeepAliveTimer)
// self.mobj_KeepAliveTimer = t; t.daemon = True; t.start()
//
// t.daemon is False instead where the interpreter refuses daemon threads
// (see timer_guard.h).
//
// The new timer stays in a local: a stop on another thread may set
// mobj_KeepAliveTimer to None between these statements, and looking the
// attribute up again would then fail on the timer thread and end the chain
// with a traceback.  A timer armed that way still ends the chain when it
// fires, since it finds mb_TimerRunning false.
bool build_and_start_timer(const Call& c) {
  Ref threading = global(c, n::threading);
  if (!threading) return false;
  Ref timer_class = get_attr(threading.get(), c.name(n::Timer));
  if (!timer_class) return false;
  Ref interval = self_get(c, n::mi_KeepAliveInterval);
  if (!interval) return false;
  Ref callback = self_get(c, n::CUF__OnKeepAliveTimer);
  if (!callback) return false;
  Ref timer = call(timer_class.get(), {interval.get(), callback.get()});
  if (!timer) return false;
  if (!self_set(c, n::mobj_KeepAliveTimer, timer.get())) return false;
  if (!set_attr(timer.get(), c.name(n::daemon), daemon_timers(c) ? Py_True : Py_False)) {
    return false;
  }
  return static_cast<bool>(call_method(timer.get(), c.name(n::start)));
}

// Arms the next timer.  Once the interpreter is shutting down (see
// timer_guard.h) no timer is armed: a firing then ends its chain quietly, as
// at exit it would anyway, and a start fails, since its caller would
// otherwise believe a keep-alive runs.  Either way the session no longer
// counts its chain as running.
bool arm_timer(const Call& c, bool firing) {
  TimerGuard* guard;
  int go = begin_arming(c, &guard);
  if (go < 0) return false;
  bool armed = go > 0 && build_and_start_timer(c);
  if (go > 0) end_arming(guard);
  if (armed) return true;
  if (go > 0 && !refused_at_shutdown(guard)) return false;
  if (!self_set(c, n::mb_TimerRunning, Py_False)) return false;
  if (firing) return true;
  raise_shutting_down();
  return false;
}

// Whether a positive interval converts to a lock's time-out as the timer's
// wait would convert it: an int (or an object with __index__) or a float,
// (from 3.15 any real number), in nanoseconds as a 64-bit count, and no more
// than PY_TIMEOUT_MAX.
bool convertible_time_out(PyObject* interval) {
  double seconds;
  if (PyFloat_Check(interval)) {
    seconds = PyFloat_AS_DOUBLE(interval);
#if PY_VERSION_HEX >= 0x030F0000
  } else if (!PyIndex_Check(interval)) {
    // From 3.15 a wait takes any real number (Decimal, Fraction) by its __float__.
    seconds = PyFloat_AsDouble(interval);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
#endif
  } else {
    long long whole = PyLong_AsLongLong(interval);  // TypeError, or OverflowError
    if (whole == -1 && PyErr_Occurred()) return false;
    seconds = static_cast<double>(whole);
  }
  if (seconds * 1e9 >= 9.2e18 || seconds * 1e6 > static_cast<double>(PY_TIMEOUT_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "keep-alive interval is too large");
    return false;
  }
  return true;
}

// threading.Timer waits with Event.wait(interval): a comparison with 0, then,
// for a positive interval, a lock's acquire(True, interval).  The comparison
// is made and the conversion checked here, so that the caller's thread
// refuses what would otherwise fail on the timer's, where nobody sees it and
// no NOOP is ever sent.
bool check_interval(PyObject* interval) {
#if PY_VERSION_HEX >= 0x030E0000
  // From 3.14 the wait refuses NaN before it compares.
  if (PyFloat_Check(interval) && std::isnan(PyFloat_AS_DOUBLE(interval))) {
    PyErr_SetString(PyExc_ValueError, "Invalid value NaN (not a number)");
    return false;
  }
#endif
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return false;
  int positive = PyObject_RichCompareBool(interval, zero.get(), Py_GT);
  bool waitable = positive == 0 || (positive > 0 && convertible_time_out(interval));
  if (!waitable && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "keep-alive interval must be a number of seconds, not '%.200s'",
                 _PyType_Name(Py_TYPE(interval)));
  }
  return waitable;
}

// The threading module as sys.modules holds it, imported only if it is not
// there: what `import threading` finds, without a trip through the import
// machinery at every firing.
Ref real_threading(const Call& c) {
  Ref threading = Ref::steal(PyImport_GetModule(c.name(n::threading)));
  if (threading || PyErr_Occurred()) return threading;
  return Ref::steal(PyImport_Import(c.name(n::threading)));
}

// Whether a firing belongs to the chain that the session keeps: 1 yes, 0 no,
// -1 error.  A chain's firing runs on its timer's thread, and while the
// chain is the session's, that timer is the one in mobj_KeepAliveTimer.  A
// timer found replaced belongs to a chain that a stop (which may still let
// one more timer be armed) or a newer start has superseded; were it to go
// on, every re-open or concurrent open overlapping a firing would leave one
// more chain running for the life of the session.  A call that is not on a
// timer thread is not a firing of any chain and goes on as before.  The
// real threading module answers which thread runs; the module global may
// be a stand-in.
int belongs_to_current_chain(const Call& c) {
  Ref threading = real_threading(c);
  if (!threading) return -1;
  Ref current = call_method(threading.get(), c.name(n::current_thread));
  if (!current) return -1;
  Ref timer_class = get_attr(threading.get(), c.name(n::Timer));
  if (!timer_class) return -1;
  int on_timer = PyObject_IsInstance(current.get(), timer_class.get());
  if (on_timer <= 0) return on_timer < 0 ? -1 : 1;
  Ref stored = self_get(c, n::mobj_KeepAliveTimer);
  if (!stored) return -1;
  return stored.get() == current.get() ? 1 : 0;
}

}  // namespace

PyObject* keep_alive(const Call& c) {
  Ref ftp = self_get(c, n::mobj_FTP);
  if (!ftp) return nullptr;
  int held = truth(ftp.get());
  ftp.reset();
  if (held < 0) return nullptr;
  if (!held) Py_RETURN_FALSE;

  Ref reply;
  if (locked_ftp_call(c, n::voidcmd, {c.name(n::text_NOOP)}, &reply) != WithResult::Raised) {
    Py_RETURN_TRUE;
  }
  Caught failure = take_exception();
  if (!is_exception(failure)) {
    restore_exception(std::move(failure));
    return nullptr;
  }
  Handling handling(failure);
  if (!self_set(c, n::mb_Connected, Py_False)) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* check_alive(const Call& c) { return self_call(c, n::CUF_KeepAlive).release(); }

PyObject* start_keep_alive_timer(const Call& c) {
  constexpr int kInterval = 1;
  if (!check_interval(c.arg(kInterval)) ||
      !self_set(c, n::mi_KeepAliveInterval, c.arg(kInterval)) ||
      !self_set(c, n::mb_TimerRunning, Py_True) || !arm_timer(c, false)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* on_keep_alive_timer(const Call& c) {
  Ref running = self_get(c, n::mb_TimerRunning);
  if (!running) return nullptr;
  int t = truth(running.get());
  if (t < 0) return nullptr;
  if (!t) Py_RETURN_NONE;  // a stopped chain ends here
  int current = belongs_to_current_chain(c);
  if (current < 0) return nullptr;
  if (!current) Py_RETURN_NONE;  // and so does a superseded one

  Ref connected = self_get(c, n::mb_Connected);
  if (!connected) return nullptr;
  t = truth(connected.get());
  if (t < 0) return nullptr;
  if (t && !self_call(c, n::CUF_KeepAlive)) return nullptr;

  if (!arm_timer(c, true)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stop_keep_alive_timer(const Call& c) {
  if (!self_set(c, n::mb_TimerRunning, Py_False)) return nullptr;
  Ref timer = self_get(c, n::mobj_KeepAliveTimer);
  if (!timer) return nullptr;
  int armed = truth(timer.get());
  timer.reset();
  if (armed < 0) return nullptr;
  if (armed) {
    timer = self_get(c, n::mobj_KeepAliveTimer);
    if (!timer || !call_method(timer.get(), c.name(n::cancel))) return nullptr;
    if (!self_set(c, n::mobj_KeepAliveTimer, Py_None)) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace quorvan::session
