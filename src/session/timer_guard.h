// Keeps the keep-alive chain from starting threads while the interpreter
// shuts down.
//
// CPython 3.10 crashes when a thread that was created just before
// finalisation begins runs its start-up code after the interpreter has been
// freed.  A keep-alive chain creates a thread at every firing, so with short
// intervals an exit can land in that window.  The guard closes it: a hook
// registered with threading's shutdown (it runs before finalisation) stops
// further arming and waits until every timer already being armed has started.
//
// From 3.12 the interpreter itself refuses new threads from the moment its
// shutdown begins, a little before threading's hook runs; a firing that
// lands in between ends its chain quietly instead of failing on its thread.
//
// A sub-interpreter, unlike the main one, cannot end while a daemon thread
// of its own runs (CPython aborts the process).  There the hook also cancels
// the keep-alive timers and waits, within a bound, for their threads to end.
#pragma once

#include <Python.h>

#include "runtime/function.h"
#include "runtime/ref.h"

namespace quorvan::session {

// The state the guard keeps, one per module instance, shared by its functions.
Ref make_session_state();

struct TimerGuard;

// Before a timer is built: 1 to go ahead (then end_arming(*guard) must
// follow), 0 when the interpreter is shutting down (arm nothing), -1 on error.
int begin_arming(const Call& c, TimerGuard** guard);
void end_arming(TimerGuard* guard);

// After arming failed: true (error cleared, no further arming) when the
// failure is the interpreter refusing a new thread because it is shutting
// down; false, the error kept, otherwise.
bool refused_at_shutdown(TimerGuard* guard);

}  // namespace quorvan::session
