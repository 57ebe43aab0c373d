// Owned references.
//
// Ownership rule for the whole module: a function that hands out a new
// reference returns a Ref; a raw PyObject* is always borrowed.  Ref::steal
// takes over a reference the caller already owns (the result of a C API call
// returning a new reference), Ref::borrow adds one, release() hands it back to
// the C API.
#pragma once

#include <Python.h>

#include <utility>

// The module is built without C++ exceptions: a daemon thread that the
// interpreter ends with pthread_exit during finalisation unwinds through our
// frames, and with no exception tables that unwind runs none of our
// destructors, so no reference count is touched without the GIL and no
// noexcept frame turns the unwind into std::terminate.  See CMakeLists.txt.
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
#error "Quorvan must be compiled with -fno-exceptions (see the comment above)"
#endif

namespace quorvan {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Ref& operator=(Ref&& other) {
    if (this != &other) {
      PyObject* old = ptr_;
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  static Ref steal(PyObject* owned) { return Ref(owned); }
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  PyObject* get() const { return ptr_; }
  PyObject* release() { return std::exchange(ptr_, nullptr); }
  void reset() { Py_CLEAR(ptr_); }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  explicit Ref(PyObject* owned) : ptr_(owned) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace quorvan
