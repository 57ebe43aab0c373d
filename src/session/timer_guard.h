// Keeps the keep-alive chain from starting threads while the interpreter
// shuts down, and no earlier.
//
// CPython 3.10 crashes when a thread that was created just before
// finalisation begins runs its start-up code after the interpreter has been
// freed.  A keep-alive chain creates a thread at every firing, so with short
// intervals an exit can land in that window.  The guard closes it: a hook
// registered with atexit when the module is created stops further arming
// and waits until every timer already being started has started, however
// long that takes: a thread scheduled late on a busy machine would otherwise
// start after the interpreter is gone.
//
// The moment is chosen so that the keep-alive lasts as long as the program's
// threads run: on 3.10 to 3.13 the interpreter's exit first runs threading's
// own shutdown hooks and then waits for every non-daemon thread, and only
// after that runs the atexit callbacks (the latest registered first, so ours
// comes after the program's later ones) and begins finalisation.  A program
// whose main thread returns while its workers go on keeps its keep-alive
// until the last worker ends.  An arming found after finalisation has begun
// (from a __del__, say) is refused too.
//
// 3.12.0 and 3.12.1 refuse new threads from the start of the exit, before
// the non-daemon threads are waited for; 3.12.2 and later from finalisation
// on.  A firing refused that way ends its chain quietly instead of failing
// on its thread.
//
// A sub-interpreter, unlike the main one, cannot end while a daemon thread
// of its own runs (CPython aborts the process).  There the hook also cancels
// the keep-alive timers and waits for their threads to end: a firing inside
// its NOOP ends when the command returns, within the session's time-out.
//
// An interpreter made with the isolated configuration (its own GIL, from
// 3.12) refuses daemon threads.  There the timers are not daemons, and the
// interpreter's end waits for them before anything else, so the hook is also
// registered with threading to run first, before those threads are joined:
// otherwise a chain would go on re-arming and the end would never come.
//
// A forked child has only the thread that forked: the starts that other
// threads had under way are not its own, and its exit must not wait for them.
// A second hook, registered with os.register_at_fork to run in the child,
// forgets them (see timer_guard.cpp).
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

#include "runtime/function.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"

namespace quorvan::session {

struct TimerGuard {
  bool stopping;        // no more arming
  long arming;          // timers being started right now, in this process
  unsigned long forks;  // forks this state has gone through: tells a start counted before one
  bool daemon_timers;   // the interpreter allows daemon threads
};

// A start counted by begin_start(), for end_start().
struct StartTicket {
  TimerGuard* guard;    // null when nothing was counted
  unsigned long forks;  // guard->forks when it was counted
};

// The module's state: the runtime's part, then the guard of its keep-alive
// chains.  The interpreter hands it over zero-filled.
struct SessionState {
  ModuleState runtime;  // first, where the runtime looks for it
  TimerGuard timer_guard;
};

static_assert(std::is_standard_layout<SessionState>::value &&
                  offsetof(SessionState, runtime) == 0,
              "the runtime finds its part at the start of the module's state");

// Sets the guard of `module` up and registers its shutdown hook: 0, or -1.
int init_timer_guard(PyObject* module);

// Whether a keep-alive timer is made a daemon thread: wherever the
// interpreter allows daemon threads (always in the main one).
bool daemon_timers(const Call& c);

// Whether the interpreter has begun finalisation.
bool interpreter_finalizing();

// The error of a start refused because the interpreter is shutting down.
void raise_shutting_down();

// Before a timer is built: 1 to go ahead, 0 when the interpreter is
// shutting down (arm nothing), -1 on error.
int may_arm(const Call& c);

// The same, right before the timer's start(): on 1, the start is counted as
// under way until end_start(*ticket), which must follow it.
int begin_start(const Call& c, StartTicket* ticket);
void end_start(const StartTicket& ticket);

// After arming failed: true (error cleared, no further arming) when the
// failure is the interpreter refusing a new thread because it is shutting
// down; false, the error kept, otherwise.
bool refused_at_shutdown(TimerGuard* guard);

}  // namespace quorvan::session
