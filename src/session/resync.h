// Keeping the control connection in step after a data command failed.
#pragma once

#include <Python.h>

#include "session/common.h"

namespace quorvan::session {

// Run under the session lock, with the exception of a data command
// (RETR, STOR, NLST) made on `ftp` pending.  A failure that came with a
// reply, or before the command went out, leaves the connection in step.  A
// connection or local file failing part-way (OSError, EOFError) may have
// left the command's final reply unread, to be taken by the next command as
// its own:
// that reply is read (within the connection's time-out) and dropped, and
// where it cannot be, the session is marked Lost and its connection ended,
// so that later commands fail at once.  The failure stays pending,
// unchanged; only an exception that is not an Exception (a
// KeyboardInterrupt during the wait) replaces it, chained to it.
void keep_in_step(const Call& c, PyObject* ftp);

}  // namespace quorvan::session
