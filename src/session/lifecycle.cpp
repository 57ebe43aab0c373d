// Session state and connection lifecycle: __init__, CUF_Open, CUF_Close,
// CUF_IsConnected.
#include "session/common.h"

namespace quorvan::session {

namespace {

enum OpenParam {
  kHost = 1,
  kPort,
  kUser,
  kPassword,
  kTimeout,
  kPassive,
  kEncoding,
  kKeepAliveInterval,
};

// Steps 1 to 5 of an open, run while the session lock is held so that no
// other thread's command reaches the new connection before it is logged in
// and in passive mode.
bool set_up_connection(const Call& c) {
  Ref ftp_class = global(c, n::FTP);
  if (!ftp_class) return false;
  Ref ftp = call(ftp_class.get());
  if (!ftp || !self_set(c, n::mobj_FTP, ftp.get())) return false;
  ftp.reset();  // each step below looks self.mobj_FTP up afresh

  ftp = self_get(c, n::mobj_FTP);
  if (!ftp) return false;
  Ref reply =
      call_method(ftp.get(), c.name(n::connect), {c.arg(kHost), c.arg(kPort), c.arg(kTimeout)},
                  c.name(n::kw_timeout));
  if (!reply) return false;

  int named_user = truth(c.arg(kUser));
  if (named_user < 0) return false;
  ftp = self_get(c, n::mobj_FTP);
  if (!ftp) return false;
  reply = named_user ? call_method(ftp.get(), c.name(n::login), {c.arg(kUser), c.arg(kPassword)})
                     : call_method(ftp.get(), c.name(n::login));
  if (!reply) return false;

  ftp = self_get(c, n::mobj_FTP);
  if (!ftp) return false;
  reply = call_method(ftp.get(), c.name(n::set_pasv), {c.arg(kPassive)});
  if (!reply) return false;

  ftp = self_get(c, n::mobj_FTP);
  return ftp && set_attr(ftp.get(), c.name(n::encoding), c.arg(kEncoding));
}

// The body of CUF_Open's try statement.  A session that still holds a
// connection object is closed first, so its keep-alive chain stops and its
// connection is ended instead of leaked.
bool try_open(const Call& c) {
  Ref previous = self_get(c, n::mobj_FTP);
  if (!previous) return false;
  int held = truth(previous.get());
  previous.reset();
  if (held < 0) return false;
  if (held && !self_call(c, n::CUF_Close)) return false;

  if (with_session_lock(c, [&] { return set_up_connection(c); }) == WithResult::Raised) {
    return false;
  }
  if (!self_set(c, n::ms_Encoding, c.arg(kEncoding))) return false;
  if (!self_set(c, n::mb_Connected, Py_True)) return false;
  return static_cast<bool>(self_call(c, n::CUF_StartKeepAliveTimer, {c.arg(kKeepAliveInterval)}));
}

// except Exception as e:
//     self.mb_Connected = False
//     raise RuntimeError("FTP Open failed: " + format(e, ""))
PyObject* open_failed(const Call& c, const Caught& e) {
  Handling handling(e);
  if (!self_set(c, n::mb_Connected, Py_False)) return nullptr;
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return nullptr;
  Ref text = Ref::steal(PyObject_Format(e.value.get(), empty.get()));
  if (!text) return nullptr;
  Ref message = Ref::steal(PyUnicode_Concat(c.name(n::text_open_failed), text.get()));
  if (!message) return nullptr;
  // Raised while e is being handled, so e becomes its __context__.
  PyErr_SetObject(PyExc_RuntimeError, message.get());
  return nullptr;
}

}  // namespace

PyObject* init(const Call& c) {
  Ref interval = Ref::steal(PyLong_FromLong(30));
  if (!interval) return nullptr;
  if (!self_set(c, n::mobj_FTP, Py_None) || !self_set(c, n::mb_Connected, Py_False) ||
      !self_set(c, n::ms_Encoding, c.name(n::text_utf8)) ||
      !self_set(c, n::mobj_KeepAliveTimer, Py_None) ||
      !self_set(c, n::mi_KeepAliveInterval, interval.get()) ||
      !self_set(c, n::mb_TimerRunning, Py_False)) {
    return nullptr;
  }
  Ref threading = global(c, n::threading);
  if (!threading) return nullptr;
  Ref lock = call_method(threading.get(), c.name(n::Lock));
  if (!lock || !self_set(c, n::mobj_Lock, lock.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* open(const Call& c) {
  if (try_open(c)) Py_RETURN_TRUE;
  Caught e = take_exception();
  if (!is_exception(e)) {
    restore_exception(std::move(e));  // KeyboardInterrupt and friends pass untouched
    return nullptr;
  }
  return open_failed(c, e);
}

PyObject* close(const Call& c) {
  if (!self_call(c, n::CUF_StopKeepAliveTimer)) return nullptr;
  Ref ftp = self_get(c, n::mobj_FTP);
  if (!ftp) return nullptr;
  int held = truth(ftp.get());
  ftp.reset();
  if (held < 0) return nullptr;
  if (held) {
    // Another thread's close may clear the session while this one waits for
    // the lock, or between a failed QUIT and the fallback: a session found
    // cleared is closed already, and neither QUIT nor close() is attempted on
    // the None left in its place.
    WithResult r = with_session_lock(c, [&] {
      Ref current = self_get(c, n::mobj_FTP);
      if (!current) return false;
      return current.get() == Py_None ||
             static_cast<bool>(call_method(current.get(), c.name(n::quit)));
    });
    if (r == WithResult::Raised) {
      Caught failure = take_exception();
      if (!is_exception(failure)) {
        restore_exception(std::move(failure));
        return nullptr;
      }
      // QUIT failed: close the sockets without a word to the server.  An
      // error from close() chains to the QUIT failure, as in an except clause.
      Handling handling(failure);
      ftp = self_get(c, n::mobj_FTP);
      if (!ftp) return nullptr;
      if (ftp.get() != Py_None && !call_method(ftp.get(), c.name(n::close))) return nullptr;
    }
  }
  if (!self_set(c, n::mobj_FTP, Py_None) || !self_set(c, n::mb_Connected, Py_False)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* is_connected(const Call& c) { return self_get(c, n::mb_Connected).release(); }

}  // namespace quorvan::session
