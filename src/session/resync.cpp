// After a failed command: the control connection brought back in step, or
// given up.
//
// Where the conversation stands after a failure is not told by what was
// raised: a refused reply, a line too long, bytes the encoding cannot read,
// a data connection that broke, or the caller's own exception from a signal
// handler can each come with nothing owed, with replies owed, or with part
// of a reply read.  So the server is asked.  ABOR and SYST go out together,
// and lines are read until SYST's reply:
//
// - ABOR ends a transfer the server may still think under way (its final
//   reply comes first, then ABOR's own), and answers 225 or 226 when there
//   is none.  Without it, a server that answers commands during a transfer
//   (as some do) could answer SYST before it has noticed the data connection
//   close, and the transfer's final reply would come after.
// - SYST is answered 215, its own code, which no command the session sends
//   is ever answered with: whatever comes before it is what the failed
//   command left behind, or ABOR's reply, and is dropped.
//
// The first line read may be the rest of a line that the failure cut short
// (a read interrupted part-way loses what it had taken, a line over ftplib's
// limit leaves its tail), so it never counts, whatever it looks like; ABOR's
// reply, which always comes before SYST's, makes sure SYST's is not that
// line.  A 215 found anywhere else but at the start of a line read whole
// does not count either.
#include "session/resync.h"

#include <time.h>

#include <utility>

#include "session/common.h"

namespace quorvan::session {

namespace {

// The most characters one read takes: ftplib's own limit for a line.  A
// longer line is read in pieces, none of them at the start of a line.
constexpr long kLineLimit = 8192;

// socket.SHUT_RDWR, the same number on every platform.
constexpr long kShutBoth = 2;

double monotonic_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// What reading the server's replies came to.  With lost, an exception may
// be pending: the read's own error, or one that interrupted the wait.
enum class Resync {
  in_step,  // SYST's reply has been read: nothing more is owed
  lost,     // no reply within the time-out, the connection gone, or a read that failed
};

// Where SYST's reply has got to, line by line.
class ReplyScanner {
 public:
  // Takes one piece of text as a read returned it; true once SYST's reply
  // has ended.
  bool take(PyObject* piece) {
    bool starts_line = at_line_start_;
    Py_ssize_t length = PyUnicode_GET_LENGTH(piece);
    at_line_start_ = length > 0 && PyUnicode_READ_CHAR(piece, length - 1) == '\n';
    if (!starts_line || !is_syst_reply(piece, length)) return false;
    // ftplib's rule: "215-" opens a reply of several lines, which ends at a
    // line of the same code not followed by "-".
    return !(length > 3 && PyUnicode_READ_CHAR(piece, 3) == '-');
  }

 private:
  static bool is_syst_reply(PyObject* piece, Py_ssize_t length) {
    return length >= 3 && PyUnicode_READ_CHAR(piece, 0) == '2' &&
           PyUnicode_READ_CHAR(piece, 1) == '1' && PyUnicode_READ_CHAR(piece, 2) == '5';
  }

  bool at_line_start_ = false;  // unknown for the first piece: never counted
};

// The connection's time-out, from its socket: true with *limited false when
// it has none (it then waits without a limit, as every command does).
bool time_out_of(const Call& c, PyObject* sock, double* seconds, bool* limited) {
  Ref value = call_method(sock, c.name(name::gettimeout));
  if (!value) return false;
  *limited = value.get() != Py_None;
  if (!*limited) return true;
  *seconds = PyFloat_AsDouble(value.get());
  return !(*seconds == -1.0 && PyErr_Occurred());
}

bool set_time_out(const Call& c, PyObject* sock, bool limited, double seconds) {
  Ref value = limited ? Ref::steal(PyFloat_FromDouble(seconds)) : Ref::borrow(Py_None);
  return value && call_method(sock, c.name(name::settimeout), {value.get()});
}

// ABOR and SYST, in one write, in the connection's encoding as ftplib
// writes commands.
bool send_probe(const Call& c, PyObject* ftp, PyObject* sock) {
  Ref encoding = get_attr(ftp, c.name(name::encoding));
  if (!encoding) return false;
  Ref probe = call_method(c.name(name::text_probe), c.name(name::encode), {encoding.get()});
  return probe && call_method(sock, c.name(name::sendall), {probe.get()});
}

// Reads until SYST's reply has ended, each read bounded by what is left of
// the connection's time-out, counted from the probe.
Resync read_to_syst_reply(const Call& c, PyObject* file, PyObject* sock, bool limited,
                          double time_out) {
  double deadline = monotonic_seconds() + time_out;
  Ref limit = Ref::steal(PyLong_FromLong(kLineLimit));
  if (!limit) return Resync::lost;
  ReplyScanner scanner;
  for (;;) {
    if (limited) {
      double left = deadline - monotonic_seconds();
      if (left <= 0 || !set_time_out(c, sock, true, left)) return Resync::lost;
    }
    Ref piece = call_method(file, c.name(name::readline), {limit.get()});
    if (!piece) return Resync::lost;
    if (!PyUnicode_Check(piece.get()) || PyUnicode_GET_LENGTH(piece.get()) == 0) {
      return Resync::lost;  // the connection's end, or a file that is not text
    }
    if (scanner.take(piece.get())) return Resync::in_step;
  }
}

Resync ask_the_server(const Call& c, PyObject* ftp, PyObject* sock) {
  Ref file = get_attr(ftp, c.name(name::file));
  if (!file || file.get() == Py_None) return Resync::lost;
  double time_out = 0;
  bool limited = false;
  if (!time_out_of(c, sock, &time_out, &limited)) return Resync::lost;
  if (!send_probe(c, ftp, sock)) return Resync::lost;
  Resync outcome = read_to_syst_reply(c, file.get(), sock, limited, time_out);
  if (outcome == Resync::in_step && !set_time_out(c, sock, limited, time_out)) {
    return Resync::lost;
  }
  return outcome;
}

// The connection is ended without a word: its socket is shut down both ways,
// so that every later command fails at once (a broken pipe, an end of file)
// with the errors ftplib's callers expect, and the socket itself is closed
// by the next close or open.
void end_connection(const Call& c, PyObject* ftp, PyObject* sock) {
  Ref both = Ref::steal(PyLong_FromLong(kShutBoth));
  if (both && call_method(sock, c.name(name::shutdown), {both.get()})) return;
  bool gone = PyErr_ExceptionMatches(PyExc_OSError);  // not connected any more
  PyErr_Clear();
  if (!gone && !call_method(ftp, c.name(name::close))) PyErr_Clear();
}

// Lost, as a failed keep-alive leaves a session: mb_Connected False, and
// the connection ended.  A keep-alive chain runs on and sends nothing, as
// after a failed NOOP, until the session is closed or opened again.  Only
// the session's own flag is written: no method of the session is called
// under the lock.
void mark_lost(const Call& c, PyObject* ftp, PyObject* sock) {
  end_connection(c, ftp, sock);
  if (!self_set(c, name::mb_Connected, Py_False)) PyErr_Clear();
}

}  // namespace

void keep_in_step(const Call& c, PyObject* ftp) {
  Caught failure = take_exception();
  {
    Handling handling(failure);  // what is raised meanwhile chains to the failure
    Ref sock;
    int found = optional_attr(ftp, c.name(name::sock), &sock);
    if (found <= 0 || sock.get() == Py_None) {
      // Not an ftplib connection, or not connected: nothing can be owed.
      PyErr_Clear();
      restore_exception(std::move(failure));
      return;
    }
    Resync outcome = ask_the_server(c, ftp, sock.get());
    if (outcome == Resync::lost && PyErr_Occurred() &&
        !PyErr_ExceptionMatches(PyExc_Exception)) {
      // Interrupted while waiting: that interruption goes on.
      Caught interruption = take_exception();
      mark_lost(c, ftp, sock.get());
      restore_exception(std::move(interruption));
      return;
    }
    PyErr_Clear();
    if (outcome == Resync::lost) mark_lost(c, ftp, sock.get());
  }
  restore_exception(std::move(failure));
}

}  // namespace quorvan::session
