#pragma once

#include <Python.h>

namespace ivro {

PyObject *cache_set_size(PyObject *self, PyObject *args);
PyObject *cache_get_size(PyObject *self, PyObject *unused);
PyObject *cache_set_callback(PyObject *self, PyObject *args);
PyObject *cache_get_stats(PyObject *self, PyObject *unused);
PyObject *cache_clear(PyObject *self, PyObject *unused);

}  // namespace ivro
