// After a failed data command: read its final reply, or give the connection up.
#include "session/resync.h"

#include <utility>

namespace quorvan::session {

namespace {

// Preliminary (1xx) replies read past before giving up on a final one.
constexpr int kMostPreliminaryReplies = 4;

// socket.SHUT_RDWR, the same number on every platform.
constexpr long kShutBoth = 2;

// The real ftplib, which the connection's errors come from whatever the
// module's globals are bound to.
Ref real_ftplib(const Call& c) {
  Ref ftplib = Ref::steal(PyImport_GetModule(c.name(name::ftplib)));
  if (ftplib || PyErr_Occurred()) return ftplib;
  return Ref::steal(PyImport_Import(c.name(name::ftplib)));
}

// Whether the connection may be waiting with an unread reply, by what was
// raised: 0 when ftplib raised it for a reply it has read (its Error
// classes), or before the command went out (a line break or a character the
// encoding cannot take: ValueError, TypeError); 1 for a connection or a
// local file that failed part-way (OSError, a time-out among them, and
// EOFError); -1 on error.
int may_be_behind(const Call& c, const Caught& failure, PyObject* ftplib) {
  Ref error = get_attr(ftplib, c.name(name::Error));
  if (!error) return -1;
  PyObject* value = failure.value.get();
  if (PyErr_GivenExceptionMatches(value, error.get())) return 0;
  return PyErr_GivenExceptionMatches(value, PyExc_OSError) ||
         PyErr_GivenExceptionMatches(value, PyExc_EOFError);
}

// Reads replies until a final one: 1 once it has come (ftplib returns 2xx
// and 3xx, and raises error_temp and error_perm for 4xx and 5xx, a 426 after
// an aborted transfer among them), 0 when none can be read (a time-out, the
// connection gone, a line that is no reply), -1 with an exception that is
// not an Exception pending.
int read_final_reply(const Call& c, PyObject* ftp, PyObject* ftplib) {
  for (int i = 0; i < kMostPreliminaryReplies; ++i) {
    Ref reply = call_method(ftp, c.name(name::getresp));
    if (!reply) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
      Caught caught = take_exception();
      Ref temp = get_attr(ftplib, c.name(name::error_temp));
      Ref perm = temp ? get_attr(ftplib, c.name(name::error_perm)) : Ref();
      if (!perm) {
        PyErr_Clear();
        return 0;
      }
      return PyErr_GivenExceptionMatches(caught.value.get(), temp.get()) ||
             PyErr_GivenExceptionMatches(caught.value.get(), perm.get());
    }
    if (!PyUnicode_Check(reply.get()) || PyUnicode_GET_LENGTH(reply.get()) == 0) return 0;
    if (PyUnicode_READ_CHAR(reply.get(), 0) != '1') return 1;
  }
  return 0;
}

// The connection is ended without a word: its socket is shut down both ways,
// so that every later command fails at once (a broken pipe, an end of file)
// with the errors ftplib's callers expect, and the socket itself is closed
// by the next close or open.  An object without a socket is closed instead.
void end_connection(const Call& c, PyObject* ftp) {
  Ref sock;
  int found = optional_attr(ftp, c.name(name::sock), &sock);
  if (found > 0 && sock.get() != Py_None) {
    Ref both = Ref::steal(PyLong_FromLong(kShutBoth));
    if (both && call_method(sock.get(), c.name(name::shutdown), {both.get()})) return;
    bool gone = PyErr_ExceptionMatches(PyExc_OSError);  // not connected any more
    PyErr_Clear();
    if (gone) return;
  }
  PyErr_Clear();
  if (!call_method(ftp, c.name(name::close))) PyErr_Clear();
}

// Lost: the connection ended, mb_Connected False, and the chain ended by its
// flag (its next firing arms nothing).  Only the session's own flags are
// written: no method of the session is called under the lock.
void mark_lost(const Call& c, PyObject* ftp) {
  end_connection(c, ftp);
  if (!self_set(c, name::mb_Connected, Py_False)) PyErr_Clear();
  if (!self_set(c, name::mb_TimerRunning, Py_False)) PyErr_Clear();
}

}  // namespace

void keep_in_step(const Call& c, PyObject* ftp) {
  Caught failure = take_exception();
  int in_step = 0;
  {
    Handling handling(failure);  // what is raised meanwhile chains to the failure
    Ref ftplib = real_ftplib(c);
    if (ftplib && is_exception(failure)) {
      int behind = may_be_behind(c, failure, ftplib.get());
      in_step = behind == 0 ? 1 : behind > 0 ? read_final_reply(c, ftp, ftplib.get()) : 0;
    }
    if (in_step < 0 && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
      // Interrupted while waiting for the reply: that interruption goes on.
      Caught interruption = take_exception();
      mark_lost(c, ftp);
      restore_exception(std::move(interruption));
      return;
    }
    PyErr_Clear();
    if (in_step <= 0) mark_lost(c, ftp);
  }
  restore_exception(std::move(failure));
}

}  // namespace quorvan::session
