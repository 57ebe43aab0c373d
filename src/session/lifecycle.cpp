// Session state and connection lifecycle: __init__, CUF_Open, CUF_Close,
// CUF_IsConnected.
#include "session/common.h"
#include "session/timer_guard.h"

namespace quorvan::session {

namespace {

constexpr Param kOpenParams[] = {
    kSelfParam,
    {"Pms_Host", Annotation::str},
    {"Pmi_Port", Annotation::int_, int_default(21)},
    {"Pms_User", Annotation::str, str_default("")},
    {"Pms_Password", Annotation::str, str_default("")},
    {"Pmi_Timeout", Annotation::int_, int_default(10)},
    {"Pmb_Passive", Annotation::bool_, bool_default(true)},
    {"Pms_Encoding", Annotation::str, str_default("utf-8")},
    {"Pmi_KeepAliveInterval", Annotation::int_, int_default(kDefaultKeepAliveInterval)},
};
static_assert(well_formed(kOpenParams), "CUF_Open's parameters");

constexpr int kHost = param_index(kOpenParams, "Pms_Host");
constexpr int kPort = param_index(kOpenParams, "Pmi_Port");
constexpr int kUser = param_index(kOpenParams, "Pms_User");
constexpr int kPassword = param_index(kOpenParams, "Pms_Password");
constexpr int kTimeout = param_index(kOpenParams, "Pmi_Timeout");
constexpr int kPassive = param_index(kOpenParams, "Pmb_Passive");
constexpr int kEncoding = param_index(kOpenParams, "Pms_Encoding");
constexpr int kKeepAliveInterval = param_index(kOpenParams, "Pmi_KeepAliveInterval");
static_assert(kHost > 0 && kPort > 0 && kUser > 0 && kPassword > 0 && kTimeout > 0 &&
                  kPassive > 0 && kEncoding > 0 && kKeepAliveInterval > 0,
              "every argument CUF_Open reads is one of its parameters");

// Steps 1 to 5 of an open, run while the session lock is held so that no
// other thread's command reaches the new connection before it is logged in
// and in passive mode.
bool set_up_connection(const Call& c) {
  Ref ftp_class = global(c, name::FTP);
  if (!ftp_class) return false;
  Ref ftp = call(ftp_class.get());
  if (!ftp || !self_set(c, name::mobj_FTP, ftp.get())) return false;
  ftp.reset();  // each step below looks self.mobj_FTP up afresh

  ftp = self_get(c, name::mobj_FTP);
  if (!ftp) return false;
  Ref reply =
      call_method(ftp.get(), c.name(name::connect), {c.arg(kHost), c.arg(kPort), c.arg(kTimeout)},
                  c.name(name::kw_timeout));
  if (!reply) return false;

  int named_user = truth(c.arg(kUser));
  if (named_user < 0) return false;
  ftp = self_get(c, name::mobj_FTP);
  if (!ftp) return false;
  reply = named_user ? call_method(ftp.get(), c.name(name::login), {c.arg(kUser), c.arg(kPassword)})
                     : call_method(ftp.get(), c.name(name::login));
  if (!reply) return false;

  ftp = self_get(c, name::mobj_FTP);
  if (!ftp) return false;
  reply = call_method(ftp.get(), c.name(name::set_pasv), {c.arg(kPassive)});
  if (!reply) return false;

  ftp = self_get(c, name::mobj_FTP);
  return ftp && set_attr(ftp.get(), c.name(name::encoding), c.arg(kEncoding));
}

// Ends whatever chain runs on a session that is being cleared, by the flag
// alone: its next firing finds mb_TimerRunning false and arms nothing.  Run
// under the lock, where no method of the session is called.
bool end_chain(const Call& c) {
  int running = self_truth(c, name::mb_TimerRunning);
  return running == 0 || (running > 0 && self_set(c, name::mb_TimerRunning, Py_False));
}

// The session's connection gets QUIT and the session is cleared: run under
// the lock by a close, and by an open that finds a connection which another
// thread's open installed after this one's close.  A chain that an open
// started after the close's own stop ends with it.  *quitting tells a
// failing QUIT (which the caller absorbs) from a failing flag write (which
// it does not).
bool quit_and_clear(const Call& c, PyObject* target, bool* quitting) {
  if (!end_chain(c)) return false;
  *quitting = true;
  if (!call_method(target, c.name(name::quit))) return false;
  return self_set(c, name::mobj_FTP, Py_None) && self_set(c, name::mb_Connected, Py_False);
}

// Steps 6 and 7: the session is marked open.
bool mark_open(const Call& c) {
  return self_set(c, name::ms_Encoding, c.arg(kEncoding)) &&
         self_set(c, name::mb_Connected, Py_True);
}

// Under the lock, so that an open is one step against other threads' opens
// and closes: a connection left by an open that overtook this one is ended
// (as closing first would have), the new one is set up, and the session is
// marked open.  *mine is the connection installed.  A failure marks the
// session not connected here too, before a later open can mark it open;
// *marked says so.
bool open_under_lock(const Call& c, bool* marked, Ref* mine) {
  Ref previous = self_get(c, name::mobj_FTP);
  bool done = static_cast<bool>(previous);
  if (done) {
    int held = truth(previous.get());
    bool quitting = false;
    done = held >= 0;
    if (held > 0 && !quit_and_clear(c, previous.get(), &quitting)) {
      done = false;
      if (quitting && PyErr_ExceptionMatches(PyExc_Exception)) {
        Caught failure = take_exception();
        Handling handling(failure);
        done = call_method(previous.get(), c.name(name::close)) &&
               self_set(c, name::mobj_FTP, Py_None) && self_set(c, name::mb_Connected, Py_False);
      }
    }
  }
  if (done && set_up_connection(c) && mark_open(c)) {
    *mine = self_get(c, name::mobj_FTP);
    if (*mine) return true;
  }
  Caught failure = take_exception();
  if (is_exception(failure)) {
    if (!self_set(c, name::mb_Connected, Py_False)) return false;
    *marked = true;
  }
  restore_exception(std::move(failure));
  return false;
}

// Step 8 runs after the lock is released, since no method of the session is
// called while it is held (an override may well use the session).  A close
// may therefore clear the session between the release and the start; its
// hold ended the chains running then, and this one, started after it, is
// ended here.  Nothing runs Python between the test and the write, so no
// other open can slip its own chain in between.  An open that replaced the
// connection meanwhile starts a chain of its own, which supersedes this one
// or is superseded by it: one chain runs either way.
bool start_chain(const Call& c, const Ref& mine, bool* marked) {
  if (!self_call(c, name::CUF_StartKeepAliveTimer, {c.arg(kKeepAliveInterval)})) {
    // A failing start fails this open; a session that another call has
    // taken over since keeps the flags that call gave it.
    Caught failure = take_exception();
    Ref current = self_get(c, name::mobj_FTP);
    if (!current) PyErr_Clear();
    *marked = !current || current.get() != mine.get();
    restore_exception(std::move(failure));
    return false;
  }
  Ref current = self_get(c, name::mobj_FTP);
  if (!current) return false;
  return current.get() != Py_None || self_set(c, name::mb_TimerRunning, Py_False);
}

// The body of CUF_Open's try statement.  A session that still holds a
// connection object is closed first, so its keep-alive chain stops and its
// connection is ended instead of leaked.
bool try_open(const Call& c, bool* marked) {
  int held = self_truth(c, name::mobj_FTP);
  if (held < 0) return false;
  if (held && !self_call(c, name::CUF_Close)) return false;

  Ref mine;
  switch (with_session_lock(c, [&] { return open_under_lock(c, marked, &mine); })) {
    case WithResult::Raised:
      return false;
    case WithResult::Swallowed:  // a lock that swallows errors: go on after the block
      *marked = false;
      if (!mark_open(c)) return false;
      mine = self_get(c, name::mobj_FTP);
      if (!mine) return false;
      break;
    case WithResult::Completed:
      break;
  }
  return start_chain(c, mine, marked);
}

// mobj_FTP = None; mb_Connected = False
bool clear(const Call& c) {
  return self_set(c, name::mobj_FTP, Py_None) && self_set(c, name::mb_Connected, Py_False);
}

// A close while the interpreter finalises (from a __del__, say).  Daemon
// threads never run again by then, so a lock that one of them holds (a
// keep-alive inside its NOOP) is never released, and the connection it uses
// must not be touched either: closing its file would wait for the buffer
// lock that the frozen thread holds, which the interpreter treats as fatal.
// So QUIT goes out only if the lock is free now; otherwise the session is
// just cleared and the process's exit closes the socket.
bool close_at_exit(const Call& c) {
  Ref lock = self_get(c, name::mobj_Lock);
  Ref taken = lock ? call_method(lock.get(), c.name(name::acquire), {Py_False}) : Ref();
  if (!taken || !PyBool_Check(taken.get())) {
    PyErr_Clear();  // not a lock that can be tried: do not wait on it
    return clear(c);
  }
  if (taken.get() == Py_True) {
    Ref target = self_get(c, name::mobj_FTP);
    bool quit = target && target.get() != Py_None && call_method(target.get(), c.name(name::quit));
    if (!quit && target && target.get() != Py_None) {
      PyErr_Clear();
      if (!call_method(target.get(), c.name(name::close))) PyErr_Clear();
    }
    PyErr_Clear();
    if (!call_method(lock.get(), c.name(name::release))) PyErr_Clear();
  }
  return clear(c);
}

// QUIT failed (or the lock did): close the sockets without a word to the
// server.  An error from close() chains to the QUIT failure, as in an except
// clause.  A session that another thread cleared meanwhile is closed
// already, and one that another thread re-opened had its open end this
// connection: neither is touched.
PyObject* after_failed_quit(const Call& c, const Caught& failure, PyObject* target) {
  Handling handling(failure);
  Ref current = self_get(c, name::mobj_FTP);
  if (!current) return nullptr;
  if (target == nullptr || target == Py_None) target = current.get();  // the lock failed
  if (current.get() == Py_None) return clear(c) ? Py_NewRef(Py_None) : nullptr;
  if (current.get() != target) Py_RETURN_NONE;
  if (!call_method(target, c.name(name::close))) return nullptr;
  Ref now = self_get(c, name::mobj_FTP);
  if (!now) return nullptr;
  if (now.get() != target && now.get() != Py_None) Py_RETURN_NONE;
  return clear(c) ? Py_NewRef(Py_None) : nullptr;
}

// except Exception as e:
//     self.mb_Connected = False
//     raise RuntimeError("FTP Open failed: " + format(e, ""))
PyObject* open_failed(const Call& c, const Caught& e, bool marked) {
  Handling handling(e);
  if (!marked && !self_set(c, name::mb_Connected, Py_False)) return nullptr;
  Ref message = prefixed_text(c.name(name::text_open_failed), e.value.get());
  if (!message) return nullptr;
  // Raised while e is being handled, so e becomes its __context__.
  PyErr_SetObject(PyExc_RuntimeError, message.get());
  return nullptr;
}

PyObject* init(const Call& c) {
  Ref interval = Ref::steal(PyLong_FromLong(kDefaultKeepAliveInterval));
  if (!interval) return nullptr;
  if (!self_set(c, name::mobj_FTP, Py_None) || !self_set(c, name::mb_Connected, Py_False) ||
      !self_set(c, name::ms_Encoding, c.name(name::text_utf8)) ||
      !self_set(c, name::mobj_KeepAliveTimer, Py_None) ||
      !self_set(c, name::mi_KeepAliveInterval, interval.get()) ||
      !self_set(c, name::mb_TimerRunning, Py_False)) {
    return nullptr;
  }
  Ref threading = global(c, name::threading);
  if (!threading) return nullptr;
  Ref lock = call_method(threading.get(), c.name(name::Lock));
  if (!lock || !self_set(c, name::mobj_Lock, lock.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* open(const Call& c) {
  bool marked = false;
  if (try_open(c, &marked)) Py_RETURN_TRUE;
  Caught e = take_exception();
  if (!is_exception(e)) {
    restore_exception(std::move(e));  // KeyboardInterrupt and friends pass untouched
    return nullptr;
  }
  return open_failed(c, e, marked);
}

PyObject* close(const Call& c) {
  if (!self_call(c, name::CUF_StopKeepAliveTimer)) return nullptr;
  int held = self_truth(c, name::mobj_FTP);
  if (held < 0) return nullptr;
  if (!held) return clear(c) ? Py_NewRef(Py_None) : nullptr;
  if (interpreter_finalizing()) return close_at_exit(c) ? Py_NewRef(Py_None) : nullptr;

  // Another thread's close may clear the session while this one waits for
  // the lock, and another thread's open may replace the connection once the
  // lock is free again: only the connection found under the lock is ended,
  // and it is cleared from the session before the lock is released.
  Ref target;
  bool quitting = false;
  WithResult outcome = with_session_lock(c, [&] {
    target = self_get(c, name::mobj_FTP);
    if (!target) return false;
    if (target.get() == Py_None) return clear(c);
    return quit_and_clear(c, target.get(), &quitting);
  });
  if (outcome == WithResult::Completed) Py_RETURN_NONE;
  if (outcome == WithResult::Swallowed) {  // a lock that swallows errors: go on after the block
    Ref current = self_get(c, name::mobj_FTP);
    if (!current) return nullptr;
    bool ours = current.get() == Py_None || !target || current.get() == target.get();
    return !ours || clear(c) ? Py_NewRef(Py_None) : nullptr;
  }
  Caught failure = take_exception();
  if (!is_exception(failure) || (target && target.get() != Py_None && !quitting)) {
    restore_exception(std::move(failure));  // the stop failed: nothing else is done
    return nullptr;
  }
  return after_failed_quit(c, failure, target.get());
}

PyObject* is_connected(const Call& c) { return self_get(c, name::mb_Connected).release(); }

}  // namespace

constexpr Method kInit = make_method("__init__", init, Annotation::absent);
constexpr Method kOpen = make_method("CUF_Open", open, kOpenParams, Annotation::bool_,
                                     "開啟 FTP 連線並啟動 KeepAlive Timer");
constexpr Method kClose =
    make_method("CUF_Close", close, Annotation::none, "關閉 FTP 連線並停止 KeepAlive");
constexpr Method kIsConnected = make_method("CUF_IsConnected", is_connected, Annotation::bool_);

}  // namespace quorvan::session
