// Vectorcall entry points for the methods called in hot loops. The common
// shapes (positional arguments only, in range) are unpacked directly; any
// other call is repacked into a tuple and dict and parsed by the ordinary
// argument parser, so keywords and every error message are exactly those of
// PyArg_ParseTupleAndKeywords.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace ivro {

using TupleMethod = PyObject *(*)(PyObject *self, PyObject *args, PyObject *kwds);

// Calls `slow` with the arguments as a tuple and a keyword dict (or null).
inline PyObject *call_with_tuple(TupleMethod slow, PyObject *self, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames) {
  Ref<> tuple = Ref<>::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref<> kwds;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    kwds = Ref<>::steal(PyDict_New());
    if (!kwds) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(kwds.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
        return nullptr;
      }
    }
  }
  return slow(self, tuple.get(), kwds.get());
}

}  // namespace ivro
