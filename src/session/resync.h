// Keeping the control connection in step after a command failed.
#pragma once

#include <Python.h>

#include "runtime/function.h"

namespace quorvan::session {

// Run under the session lock, with the failure of an ftplib call made on
// `ftp` pending, whatever it is: a reply the server refused, an error read
// from the data connection, a decode error, a time-out, the caller's own
// exception from a signal handler, KeyboardInterrupt.  Any of them may have
// left replies owed on the control connection, or part of one unread, for
// the next command to take as its own.  The server is asked where the
// conversation stands: ABOR and SYST are sent at once, and every line before
// SYST's reply is dropped, whatever it was.  When that reply does not come
// within the connection's time-out, the session is marked Lost and its
// connection ended, so that later commands fail at once.  An object that is
// not connected (no socket) owes nothing; one that has no `sock` at all is
// not an ftplib connection and is left alone.
//
// The failure stays pending, unchanged; only an exception that is not an
// Exception (a KeyboardInterrupt during the wait) replaces it, chained to it.
void keep_in_step(const Call& c, PyObject* ftp);

}  // namespace quorvan::session
