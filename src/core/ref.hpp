// Owning handles for interpreter references and a holder for an exception
// that has to wait until an operation has finished.
#pragma once

#include <Python.h>

namespace ivro {

inline PyObject *as_object(PyObject *p) noexcept { return p; }
template <class T>
inline PyObject *as_object(T *p) noexcept {
  return reinterpret_cast<PyObject *>(p);
}

// Owns at most one strong reference and releases it when it goes out of
// scope, so every path out of a routine gives back what it took.
template <class T = PyObject>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  Ref(Ref &&other) noexcept : p_(other.release()) {}
  Ref &operator=(Ref &&other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(as_object(p_)); }

  // Takes over a reference the caller already owns (null allowed).
  static Ref steal(T *p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Takes a new reference of its own (null allowed).
  static Ref borrow(T *p) noexcept {
    Py_XINCREF(as_object(p));
    return steal(p);
  }

  T *get() const noexcept { return p_; }
  PyObject *obj() const noexcept { return as_object(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Hands the reference to the caller.
  T *release() noexcept {
    T *p = p_;
    p_ = nullptr;
    return p;
  }
  // The new object is in place before the old one is released, because
  // releasing can run arbitrary code that may look at this handle.
  void reset(T *p = nullptr) noexcept {
    T *old = p_;
    p_ = p;
    Py_XDECREF(as_object(old));
  }

 private:
  T *p_ = nullptr;
};

// Keeps the first exception raised during an operation aside, so that the
// operation can finish with no exception pending, and raises it at the end.
// Later exceptions go to sys.unraisablehook: nothing is lost silently.
class DeferredError {
 public:
  DeferredError() noexcept = default;
  DeferredError(const DeferredError &) = delete;
  DeferredError &operator=(const DeferredError &) = delete;
  ~DeferredError() { Py_XDECREF(first_); }

  // Takes the exception currently set; `context` names the culprit when the
  // exception has to be reported as unraisable.
  void capture(PyObject *context) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (first_ == nullptr) {
      first_ = exc;
      return;
    }
    PyErr_SetRaisedException(exc);
    PyErr_WriteUnraisable(context);
  }

  bool any() const noexcept { return first_ != nullptr; }

  // 0 when nothing was captured; otherwise sets the exception and gives -1.
  int raise() noexcept {
    if (first_ == nullptr) return 0;
    PyErr_SetRaisedException(first_);
    first_ = nullptr;
    return -1;
  }

 private:
  PyObject *first_ = nullptr;
};

}  // namespace ivro
