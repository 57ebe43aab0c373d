#include "session/timer_guard.h"

#include <time.h>

#include "runtime/objects.h"
#include "session/session.h"

namespace quorvan::session {

struct TimerGuard {
  bool stopping = false;
  long arming = 0;  // timers being armed right now
};

namespace {

constexpr const char kCapsuleName[] = "Quorvan.session_state";
constexpr const char kShutdownText[] = "can't create new thread at interpreter shutdown";
constexpr int kDrainLimitMs = 5000;  // a thread that never starts must not hang the exit

void free_guard(PyObject* capsule) {
  PyMem_Free(PyCapsule_GetPointer(capsule, kCapsuleName));
}

TimerGuard* guard_of(PyObject* state) {
  if (state == nullptr) return nullptr;  // the function was cleared
  return static_cast<TimerGuard*>(PyCapsule_GetPointer(state, kCapsuleName));
}

double monotonic_seconds() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A timer of a keep-alive chain: a threading.Timer whose function is the
// bound CUF__OnKeepAliveTimer that the chain hands it.  1, 0, or -1.
int is_keep_alive_timer(PyObject* thread, PyObject* timer_class) {
  int is_timer = PyObject_IsInstance(thread, timer_class);
  if (is_timer <= 0) return is_timer;
  Ref function = Ref::steal(PyObject_GetAttrString(thread, "function"));
  if (!function) return -1;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!PyUnicode_Check(name.get())) return 0;
  return PyUnicode_CompareWithASCIIString(name.get(), "CUF__OnKeepAliveTimer") == 0;
}

// A sub-interpreter cannot end while any thread of its own still runs,
// daemon or not: CPython aborts the process ("not the last thread").  So
// there, at shutdown, pending keep-alive timers are cancelled and every
// keep-alive timer thread, cancelled or firing, is waited for, within a
// bound.  The main interpreter does not wait for daemon threads.
bool end_timer_threads(PyObject* threading, double deadline) {
  Ref timer_class = Ref::steal(PyObject_GetAttrString(threading, "Timer"));
  if (!timer_class) return false;
  Ref threads = Ref::steal(PyObject_CallMethod(threading, "enumerate", nullptr));
  if (!threads) return false;
  Ref timers = Ref::steal(PyList_New(0));
  if (!timers) return false;
  Ref iterator = Ref::steal(PyObject_GetIter(threads.get()));
  if (!iterator) return false;
  while (Ref thread = Ref::steal(PyIter_Next(iterator.get()))) {
    int ours = is_keep_alive_timer(thread.get(), timer_class.get());
    if (ours < 0) return false;
    if (!ours) continue;
    if (!Ref::steal(PyObject_CallMethod(thread.get(), "cancel", nullptr)) ||
        PyList_Append(timers.get(), thread.get()) < 0) {
      return false;
    }
  }
  if (PyErr_Occurred()) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(timers.get()); ++i) {
    double left = deadline - monotonic_seconds();
    if (left <= 0) break;
    if (!Ref::steal(PyObject_CallMethod(PyList_GET_ITEM(timers.get(), i), "join", "d", left))) {
      return false;
    }
  }
  return true;
}

// Runs among the atexit callbacks, on the main thread, once the non-daemon
// threads have ended and before finalisation.
PyObject* shutdown_hook(PyObject* capsule, PyObject*) {
  TimerGuard* guard = guard_of(capsule);
  if (guard == nullptr) return nullptr;
  guard->stopping = true;
  double deadline = monotonic_seconds() + kDrainLimitMs / 1000.0;
  // Waiting with the GIL released lets each new timer thread run its
  // start-up and signal that it has started; only then is it safe to go on.
  while (guard->arming > 0 && monotonic_seconds() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
    Py_END_ALLOW_THREADS
  }
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading || !end_timer_threads(threading.get(), deadline)) return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef shutdown_hook_def = {"_keep_alive_shutdown", shutdown_hook, METH_NOARGS, nullptr};

// Registers the hook with the real atexit module.  Returns 0, or -1.
int register_hook(PyObject* state) {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Ref hook = Ref::steal(PyCFunction_New(&shutdown_hook_def, state));
  if (!hook) return -1;
  return Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())) ? 0 : -1;
}

}  // namespace

Ref make_session_state() {
  TimerGuard* guard = static_cast<TimerGuard*>(PyMem_Malloc(sizeof(TimerGuard)));
  if (guard == nullptr) {
    PyErr_NoMemory();
    return Ref();
  }
  *guard = TimerGuard();
  Ref capsule = Ref::steal(PyCapsule_New(guard, kCapsuleName, free_guard));
  if (!capsule) {
    PyMem_Free(guard);
    return capsule;
  }
  if (register_hook(capsule.get()) < 0) return Ref();
  return capsule;
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

void raise_shutting_down() {
#if PY_VERSION_HEX >= 0x030D0000
  PyErr_SetString(PyExc_PythonFinalizationError, kShutdownText);
#else
  PyErr_SetString(PyExc_RuntimeError, kShutdownText);
#endif
}

int begin_arming(const Call& c, TimerGuard** out) {
  TimerGuard* guard = guard_of(c.state());
  *out = guard;
  if (guard == nullptr) return PyErr_Occurred() ? -1 : 1;
  if (interpreter_finalizing()) guard->stopping = true;
  if (guard->stopping) return 0;
  ++guard->arming;  // checked and counted under the GIL, before any Python code runs
  return 1;
}

void end_arming(TimerGuard* guard) {
  if (guard != nullptr) --guard->arming;
}

bool refused_at_shutdown(TimerGuard* guard) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return false;
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyObject_Str(error.get()));
  if (text && PyUnicode_Check(text.get()) &&
      PyUnicode_CompareWithASCIIString(text.get(), kShutdownText) == 0) {
    if (guard != nullptr) guard->stopping = true;
    return true;
  }
  PyErr_Clear();
  PyErr_SetRaisedException(error.release());
  return false;
#else
  (void)guard;
  return false;
#endif
}

}  // namespace quorvan::session
