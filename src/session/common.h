// Shorthands for session bodies, so each reads like the Python it stands for.
#pragma once

#include <Python.h>

#include "runtime/exceptions.h"
#include "runtime/function.h"
#include "runtime/globals.h"
#include "runtime/objects.h"
#include "runtime/with_block.h"
#include "session/session.h"

namespace quorvan::session {

inline PyObject* self_of(const Call& c) { return c.arg(kSelf); }

// self.<name>
inline Ref self_get(const Call& c, n::Name name) {
  return get_attr(self_of(c), c.name(name));
}

// self.<name> = value
inline bool self_set(const Call& c, n::Name name, PyObject* value) {
  return set_attr(self_of(c), c.name(name), value);
}

// self.<name>(args...)
template <std::size_t N>
inline Ref self_call(const Call& c, n::Name name, PyObject* const (&args)[N]) {
  return call_method(self_of(c), c.name(name), args);
}

inline Ref self_call(const Call& c, n::Name name) {
  return call_method(self_of(c), c.name(name));
}

// A module global, or a builtin.
inline Ref global(const Call& c, n::Name name) {
  return load_global(c.globals(), c.builtins(), c.name(name));
}

// `with self.mobj_Lock: body()`
template <class Body>
WithResult with_session_lock(const Call& c, Body&& body) {
  Ref lock = self_get(c, n::mobj_Lock);
  if (!lock) return WithResult::Raised;
  return with_block(lock.get(), c.names(), body);
}

// `with self.mobj_Lock: result = self.mobj_FTP.<method>(args...)`: the one
// locked ftplib call of an operation.  *result is left empty when the block
// ends without it (Raised, or Swallowed by the lock's __exit__).
// `args` is `{}` or a list of arguments, as for call_method.
template <class Args>
inline WithResult locked_ftp_call_with(const Call& c, n::Name method, const Args& args,
                                       Ref* result) {
  return with_session_lock(c, [&] {
    Ref ftp = self_get(c, n::mobj_FTP);
    if (!ftp) return false;
    *result = call_method(ftp.get(), c.name(method), args);
    return static_cast<bool>(*result);
  });
}

template <std::size_t N>
inline WithResult locked_ftp_call(const Call& c, n::Name method, PyObject* const (&args)[N],
                                  Ref* result) {
  return locked_ftp_call_with(c, method, args, result);
}

inline WithResult locked_ftp_call(const Call& c, n::Name method, NoArgs, Ref* result) {
  return locked_ftp_call_with(c, method, NoArgs(), result);
}

}  // namespace quorvan::session
