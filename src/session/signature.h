// A method's signature as one table: each parameter's name, annotation and
// default, in order, self first.  The class (client_class.cpp) writes each
// method's def statement and its __doc__ from it, and a body reads its
// arguments at indices the compiler finds in it.
#pragma once

#include <cstddef>

#include "runtime/function.h"

namespace quorvan::session {

// An annotation as written in the class body.
enum class Annotation { absent, str, int_, bool_, none, list_str };

// A default as written in the class body.
struct Default {
  enum class Kind { absent, int_, bool_, str };
  Kind kind;
  long integer;      // int_, bool_
  const char* text;  // str
};

constexpr Default int_default(long value) { return {Default::Kind::int_, value, nullptr}; }
constexpr Default bool_default(bool value) { return {Default::Kind::bool_, value, nullptr}; }
constexpr Default str_default(const char* value) { return {Default::Kind::str, 0, value}; }

struct Param {
  const char* name;
  Annotation annotation = Annotation::absent;
  Default default_value = {Default::Kind::absent, 0, nullptr};
};

// Every method's first parameter, at index kSelf.
constexpr Param kSelfParam{"self"};
constexpr int kSelf = 0;

struct Method {
  FunctionSpec spec;
  Annotation annotations[kMaxParams];  // by parameter
  Default defaults[kMaxParams];        // by parameter; absent before the first default
  Annotation returns;
  const char* doc;  // the docstring's text within its indentation, or null
};

constexpr bool same_text(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// Where `name` stands among `params`, or -1: a body's argument index, which a
// static_assert then checks is >= 0.
template <std::size_t N>
constexpr int param_index(const Param (&params)[N], const char* name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (same_text(params[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

// Whether the parameters could be a def statement's: self first, every
// parameter after one with a default has one too, no name twice.
template <std::size_t N>
constexpr bool well_formed(const Param (&params)[N]) {
  if (N == 0 || N > kMaxParams || !same_text(params[kSelf].name, kSelfParam.name)) return false;
  bool defaulted = false;
  for (std::size_t i = 0; i < N; ++i) {
    bool has_default = params[i].default_value.kind != Default::Kind::absent;
    if (defaulted && !has_default) return false;
    defaulted = has_default;
    if (param_index(params, params[i].name) != static_cast<int>(i)) return false;
  }
  return true;
}

template <std::size_t N>
constexpr Method make_method(const char* name, Body body, const Param (&params)[N],
                             Annotation returns, const char* doc = nullptr) {
  Method m{{name, body, static_cast<int>(N), {}}, {}, {}, returns, doc};
  for (std::size_t i = 0; i < N; ++i) {
    m.spec.params[i] = params[i].name;
    m.annotations[i] = params[i].annotation;
    m.defaults[i] = params[i].default_value;
  }
  return m;
}

// A method taking self alone.
constexpr Method make_method(const char* name, Body body, Annotation returns,
                             const char* doc = nullptr) {
  return make_method(name, body, {kSelfParam}, returns, doc);
}

}  // namespace quorvan::session
