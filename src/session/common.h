// Shorthands for session bodies, so each reads like the Python it stands for.
#pragma once

#include <Python.h>

#include "runtime/exceptions.h"
#include "runtime/function.h"
#include "runtime/globals.h"
#include "runtime/objects.h"
#include "runtime/with_block.h"
#include "session/resync.h"
#include "session/session.h"

namespace quorvan::session {

inline PyObject* self_of(const Call& c) { return c.arg(kSelf); }

// self.<name>
inline Ref self_get(const Call& c, name::Id name) {
  return get_attr(self_of(c), c.name(name));
}

// `if self.<name>:`: 1, 0, or -1 with an exception set.  The value is
// dropped once tested, as the interpreter drops it.
inline int self_truth(const Call& c, name::Id name) {
  Ref value = self_get(c, name);
  return value ? truth(value.get()) : -1;
}

// self.<name> = value
inline bool self_set(const Call& c, name::Id name, PyObject* value) {
  return set_attr(self_of(c), c.name(name), value);
}

// self.<name>(args...)
template <std::size_t N>
inline Ref self_call(const Call& c, name::Id name, PyObject* const (&args)[N]) {
  return call_method(self_of(c), c.name(name), args);
}

inline Ref self_call(const Call& c, name::Id name) {
  return call_method(self_of(c), c.name(name));
}

// f"{prefix}{value}" for a str prefix: value as format(value, "") gives it.
inline Ref prefixed_text(PyObject* prefix, PyObject* value) {
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return Ref();
  Ref text = Ref::steal(PyObject_Format(value, empty.get()));
  if (!text) return Ref();
  return Ref::steal(PyUnicode_Concat(prefix, text.get()));
}

// A module global, or a builtin.
inline Ref global(const Call& c, name::Id name) {
  return load_global(c.globals(), c.builtins(), c.name(name));
}

// `with self.mobj_Lock: statements()`
template <class Statements>
WithResult with_session_lock(const Call& c, Statements&& statements) {
  Ref lock = self_get(c, name::mobj_Lock);
  if (!lock) return WithResult::Raised;
  return with_block(lock.get(), c.names(), statements);
}

// `ftp.<method>(args...)`, made under the session lock: when it fails, the
// control connection is brought back in step before the failure goes on
// (resync.h).
template <std::size_t N>
inline Ref ftp_command(const Call& c, PyObject* ftp, name::Id method,
                       PyObject* const (&args)[N]) {
  Ref result = call_method(ftp, c.name(method), args);
  if (!result) keep_in_step(c, ftp);
  return result;
}

inline Ref ftp_command(const Call& c, PyObject* ftp, name::Id method, NoArgs) {
  Ref result = call_method(ftp, c.name(method));
  if (!result) keep_in_step(c, ftp);
  return result;
}

// `with self.mobj_Lock: result = self.mobj_FTP.<method>(args...)`: the one
// locked ftplib call of an operation.  *result is left empty when the block
// ends without it (Raised, or Swallowed by the lock's __exit__).
// `args` is `{}` or a list of arguments, as for call_method.
template <class Args>
inline WithResult locked_ftp_call_with(const Call& c, name::Id method, const Args& args,
                                       Ref* result) {
  return with_session_lock(c, [&] {
    Ref ftp = self_get(c, name::mobj_FTP);
    if (!ftp) return false;
    *result = ftp_command(c, ftp.get(), method, args);
    return static_cast<bool>(*result);
  });
}

template <std::size_t N>
inline WithResult locked_ftp_call(const Call& c, name::Id method, PyObject* const (&args)[N],
                                  Ref* result) {
  return locked_ftp_call_with(c, method, args, result);
}

inline WithResult locked_ftp_call(const Call& c, name::Id method, NoArgs, Ref* result) {
  return locked_ftp_call_with(c, method, NoArgs(), result);
}

}  // namespace quorvan::session
