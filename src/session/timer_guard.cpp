#include "session/timer_guard.h"

#include <time.h>

#include "runtime/objects.h"
#include "session/session.h"

namespace quorvan::session {

namespace {

constexpr const char kShutdownText[] = "can't create new thread at interpreter shutdown";

// `state` is the module's state, or the runtime's part at its start.
TimerGuard* guard_of(void* state) {
  return state != nullptr ? &static_cast<SessionState*>(state)->timer_guard : nullptr;
}

// The object a weak reference refers to; empty, without an error, once it is gone.
Ref referent(PyObject* weak) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* object;
  if (PyWeakref_GetRef(weak, &object) <= 0) return Ref();
  return Ref::steal(object);
#else
  PyObject* object = PyWeakref_GetObject(weak);
  if (object == nullptr || object == Py_None) return Ref();
  return Ref::borrow(object);
#endif
}

// The guard of the module that a hook holds weakly, kept alive in *module:
// null once the module is gone, with an error set if finding it failed.
TimerGuard* guard_of_hook(PyObject* weak_module, Ref* module) {
  *module = referent(weak_module);
  return *module ? guard_of(PyModule_GetState(module->get())) : nullptr;
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
// keep-alive timer thread, cancelled or firing, is waited for, without a
// deadline: giving up would abort the process however briefly it had waited.
// A cancelled timer ends at once; a firing ends once its NOOP returns, which
// the session's time-out bounds, and arms nothing more.  The main interpreter
// does not wait for daemon threads.
bool end_timer_threads(PyObject* threading) {
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
    if (!Ref::steal(PyObject_CallMethod(PyList_GET_ITEM(timers.get(), i), "join", nullptr))) {
      return false;
    }
  }
  return true;
}

// Runs among the atexit callbacks, on the main thread, once the non-daemon
// threads have ended and before finalisation; where timers are not daemons,
// also among threading's, before those threads are joined.  It holds its
// module weakly, so that a dropped module can be collected; a module gone
// has no function left to arm a timer.
PyObject* shutdown_hook(PyObject* weak_module, PyObject*) {
  Ref module;
  TimerGuard* guard = guard_of_hook(weak_module, &module);
  if (guard == nullptr) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
  guard->stopping = true;
  // Waiting with the GIL released lets each new timer thread run its
  // start-up and signal that it has started; only then is it safe to go on.
  // The wait has no deadline, since a loaded machine outwaits any: a start
  // is counted only around Thread.start(), which waits for nothing but its
  // new thread's start-up, and this thread holds nothing that start-up needs.
  while (guard->arming > 0) {
    Py_BEGIN_ALLOW_THREADS
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
    Py_END_ALLOW_THREADS
  }
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading || !end_timer_threads(threading.get())) return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef shutdown_hook_def = {"_keep_alive_shutdown", shutdown_hook, METH_NOARGS, nullptr};

// Runs in a forked child, under the GIL, on the thread that forked (the
// child's only thread), before the child runs code of its own.  The starts
// that the parent's other threads had under way never end here, so the count
// forgets them; one under way on this very thread (a fork from inside a
// start) is not counted down again when it returns.  Otherwise the exit would
// wait for them forever.  Whether arming has stopped is kept: only a parent
// that was exiting had stopped, and a child copied from it mid-exit starts no
// timers either.  Only the main interpreter's hooks ever run in a child: a
// fork from a sub-interpreter ends its child, and a fork from the main one
// leaves no sub-interpreter in it.
PyObject* fork_hook(PyObject* weak_module, PyObject*) {
  Ref module;
  TimerGuard* guard = guard_of_hook(weak_module, &module);
  if (guard == nullptr) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
  guard->arming = 0;
  ++guard->forks;
  Py_RETURN_NONE;
}

PyMethodDef fork_hook_def = {"_keep_alive_after_fork", fork_hook, METH_NOARGS, nullptr};

// Whether this interpreter allows daemon threads: 1, 0, or -1.  An
// isolated one refuses them from 3.12 on.
int daemon_threads_allowed() {
#if PY_VERSION_HEX >= 0x030C0000
  Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
  if (!thread) return -1;
  Ref allowed = Ref::steal(PyObject_CallMethod(thread.get(), "daemon_threads_allowed", nullptr));
  return allowed ? PyObject_IsTrue(allowed.get()) : -1;
#else
  return 1;
#endif
}

// os.register_at_fork(after_in_child=<fork_hook>), with the real os module,
// as threading registers its own.  Returns 0, or -1.
int register_fork_hook(PyObject* weak_module) {
  Ref hook = Ref::steal(PyCFunction_New(&fork_hook_def, weak_module));
  if (!hook) return -1;
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  if (!os) return -1;
  Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  if (!register_at_fork) return -1;
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "after_in_child", hook.get()));
  if (!no_args || !kwargs) return -1;
  return Ref::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get())) ? 0 : -1;
}

// Registers the hooks: the exit's with the real atexit module and, where
// timers are not daemons, with the real threading module's hooks that run
// before its threads are joined; the fork's with os.  Each holds the module
// weakly.  Returns 0, or -1.
int register_hook(PyObject* module, bool daemon_timers) {
  Ref weak_module = Ref::steal(PyWeakref_NewRef(module, nullptr));
  if (!weak_module) return -1;
  if (register_fork_hook(weak_module.get()) < 0) return -1;
  Ref hook = Ref::steal(PyCFunction_New(&shutdown_hook_def, weak_module.get()));
  if (!hook) return -1;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit ||
      !Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()))) {
    return -1;
  }
  if (daemon_timers) return 0;
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  if (!threading) return -1;
  return Ref::steal(PyObject_CallMethod(threading.get(), "_register_atexit", "O", hook.get()))
             ? 0
             : -1;
}

}  // namespace

int init_timer_guard(PyObject* module) {
  TimerGuard* guard = guard_of(PyModule_GetState(module));
  if (guard == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module has no state");
    return -1;
  }
  int allowed = daemon_threads_allowed();
  if (allowed < 0) return -1;
  *guard = TimerGuard{false, 0, 0, allowed > 0};
  return register_hook(module, guard->daemon_timers);
}

bool daemon_timers(const Call& c) {
  TimerGuard* guard = guard_of(c.module_state());
  return guard == nullptr || guard->daemon_timers;
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

int may_arm(const Call& c) {
  TimerGuard* guard = guard_of(c.module_state());
  if (guard == nullptr) return PyErr_Occurred() ? -1 : 1;
  if (interpreter_finalizing()) guard->stopping = true;
  return guard->stopping ? 0 : 1;
}

int begin_start(const Call& c, StartTicket* ticket) {
  int allowed = may_arm(c);
  TimerGuard* guard = allowed > 0 ? guard_of(c.module_state()) : nullptr;
  // Checked and counted under the GIL, before any Python code runs.
  if (guard != nullptr) ++guard->arming;
  *ticket = StartTicket{guard, guard != nullptr ? guard->forks : 0};
  return allowed;
}

void end_start(const StartTicket& ticket) {
  // A fork since the count began has forgotten it (fork_hook).
  if (ticket.guard != nullptr && ticket.guard->forks == ticket.forks) --ticket.guard->arming;
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
