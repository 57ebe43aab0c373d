// Keep-alive: a chain of one-shot (daemon) threading.Timer objects, each
// firing sending NOOP under the session lock and arming its successor until
// mb_TimerRunning is found false.

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
//
// Only the start() is counted by the exit guard, so that the exit waits for
// nothing but a thread's start-up; the guard is asked again right before it,
// since the statements before it may have let the exit begin.
enum class Armed { started, refused, failed };

Armed build_and_start_timer(const Call& c) {
  Ref threading = global(c, name::threading);
  if (!threading) return Armed::failed;
  Ref timer_class = get_attr(threading.get(), c.name(name::Timer));
  if (!timer_class) return Armed::failed;
  Ref interval = self_get(c, name::mi_KeepAliveInterval);
  if (!interval) return Armed::failed;
  Ref callback = self_get(c, name::CUF__OnKeepAliveTimer);
  if (!callback) return Armed::failed;
  Ref timer = call(timer_class.get(), {interval.get(), callback.get()});
  if (!timer) return Armed::failed;
  if (!self_set(c, name::mobj_KeepAliveTimer, timer.get())) return Armed::failed;
  if (!set_attr(timer.get(), c.name(name::daemon), daemon_timers(c) ? Py_True : Py_False)) {
    return Armed::failed;
  }
  StartTicket ticket;
  int allowed = begin_start(c, &ticket);
  if (allowed <= 0) return allowed < 0 ? Armed::failed : Armed::refused;
  bool started = static_cast<bool>(call_method(timer.get(), c.name(name::start)));
  end_start(ticket);
  if (started) return Armed::started;
  return refused_at_shutdown(ticket.guard) ? Armed::refused : Armed::failed;
}

// Who arms a timer: a start, or a firing arming its successor.
enum class ArmedBy { start, firing };

// Arms the next timer.  Once the interpreter is shutting down (see
// timer_guard.h) no timer is armed: a firing then ends its chain quietly, as
// at exit it would anyway, and a start fails, since its caller would
// otherwise believe a keep-alive runs.  Either way the session no longer
// counts its chain as running.
bool arm_timer(const Call& c, ArmedBy armed_by) {
  int allowed = may_arm(c);
  if (allowed < 0) return false;
  Armed armed = allowed > 0 ? build_and_start_timer(c) : Armed::refused;
  if (armed == Armed::started) return true;
  if (armed == Armed::failed) return false;
  if (!self_set(c, name::mb_TimerRunning, Py_False)) return false;
  if (armed_by == ArmedBy::firing) return true;
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
// no NOOP is ever sent.  An interval that is not positive (0, negative, NaN)
// would not wait at all: the chain would fire in a busy loop, a new thread
// and a NOOP each time, so it is refused too.
bool check_interval(PyObject* interval) {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return false;
  int positive = PyObject_RichCompareBool(interval, zero.get(), Py_GT);
  if (positive == 0) {
    PyErr_Format(PyExc_ValueError,
                 "keep-alive interval must be a positive number of seconds, not %R", interval);
    return false;
  }
  bool waitable = positive > 0 && convertible_time_out(interval);
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
  Ref threading = Ref::steal(PyImport_GetModule(c.name(name::threading)));
  if (threading || PyErr_Occurred()) return threading;
  return Ref::steal(PyImport_Import(c.name(name::threading)));
}

constexpr Param kStartParams[] = {
    kSelfParam,
    {"Pmi_Interval", Annotation::int_, int_default(kDefaultKeepAliveInterval)},
};
static_assert(well_formed(kStartParams), "CUF_StartKeepAliveTimer's parameters");
constexpr int kInterval = param_index(kStartParams, "Pmi_Interval");
static_assert(kInterval > 0, "the interval is a parameter");

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
  Ref current = call_method(threading.get(), c.name(name::current_thread));
  if (!current) return -1;
  Ref timer_class = get_attr(threading.get(), c.name(name::Timer));
  if (!timer_class) return -1;
  int on_timer = PyObject_IsInstance(current.get(), timer_class.get());
  if (on_timer <= 0) return on_timer < 0 ? -1 : 1;
  Ref stored = self_get(c, name::mobj_KeepAliveTimer);
  if (!stored) return -1;
  return stored.get() == current.get() ? 1 : 0;
}

PyObject* keep_alive(const Call& c) {
  int held = self_truth(c, name::mobj_FTP);
  if (held < 0) return nullptr;
  if (!held) Py_RETURN_FALSE;

  Ref reply;
  WithResult outcome = locked_ftp_call(c, name::voidcmd, {c.name(name::text_NOOP)}, &reply);
  if (outcome != WithResult::Raised) Py_RETURN_TRUE;
  Caught failure = take_exception();
  if (!is_exception(failure)) {
    restore_exception(std::move(failure));
    return nullptr;
  }
  Handling handling(failure);
  if (!self_set(c, name::mb_Connected, Py_False)) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* check_alive(const Call& c) { return self_call(c, name::CUF_KeepAlive).release(); }

PyObject* start_keep_alive_timer(const Call& c) {
  if (!check_interval(c.arg(kInterval)) ||
      !self_set(c, name::mi_KeepAliveInterval, c.arg(kInterval)) ||
      !self_set(c, name::mb_TimerRunning, Py_True) || !arm_timer(c, ArmedBy::start)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* on_keep_alive_timer(const Call& c) {
  int running = self_truth(c, name::mb_TimerRunning);
  if (running < 0) return nullptr;
  if (!running) Py_RETURN_NONE;  // a stopped chain ends here
  int current = belongs_to_current_chain(c);
  if (current < 0) return nullptr;
  if (!current) Py_RETURN_NONE;  // and so does a superseded one

  int connected = self_truth(c, name::mb_Connected);
  if (connected < 0) return nullptr;
  if (connected && !self_call(c, name::CUF_KeepAlive)) return nullptr;

  if (!arm_timer(c, ArmedBy::firing)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stop_keep_alive_timer(const Call& c) {
  if (!self_set(c, name::mb_TimerRunning, Py_False)) return nullptr;
  int armed = self_truth(c, name::mobj_KeepAliveTimer);
  if (armed < 0) return nullptr;
  if (armed) {
    Ref timer = self_get(c, name::mobj_KeepAliveTimer);
    if (!timer || !call_method(timer.get(), c.name(name::cancel))) return nullptr;
    if (!self_set(c, name::mobj_KeepAliveTimer, Py_None)) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

constexpr Method kKeepAlive = make_method("CUF_KeepAlive", keep_alive, Annotation::bool_,
                                          "傳送 NOOP\uFF0C避免 FTP Server timeout");
constexpr Method kCheckAlive =
    make_method("CUF_CheckAlive", check_alive, Annotation::bool_, "檢查連線是否仍然存在");
constexpr Method kOnKeepAliveTimer =
    make_method("CUF__OnKeepAliveTimer", on_keep_alive_timer, Annotation::none);
constexpr Method kStartKeepAliveTimer = make_method(
    "CUF_StartKeepAliveTimer", start_keep_alive_timer, kStartParams, Annotation::none);
constexpr Method kStopKeepAliveTimer =
    make_method("CUF_StopKeepAliveTimer", stop_keep_alive_timer, Annotation::none);

}  // namespace quorvan::session
