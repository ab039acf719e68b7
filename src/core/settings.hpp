#pragma once

#include <Python.h>

namespace ivro {

PyObject *cache_set_size(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *cache_get_size(PyObject *self, PyObject *unused);
PyObject *cache_set_callback(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *cache_get_stats(PyObject *self, PyObject *unused);
PyObject *cache_clear(PyObject *self, PyObject *unused);

}  // namespace ivro
