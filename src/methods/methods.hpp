// The dictionary-style methods and the textual form.
#pragma once

#include <Python.h>

namespace ivro {

// Lookup and removal.
PyObject *cache_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *cache_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *cache_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *cache_popitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *cache_has_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
PyObject *cache_contains_method(PyObject *self, PyObject *key);
int cache_contains(PyObject *self, PyObject *key);

// Views and peeks, newest first.
PyObject *cache_keys(PyObject *self, PyObject *unused);
PyObject *cache_values(PyObject *self, PyObject *unused);
PyObject *cache_items(PyObject *self, PyObject *unused);
PyObject *cache_peek_first_item(PyObject *self, PyObject *unused);
PyObject *cache_peek_last_item(PyObject *self, PyObject *unused);

PyObject *cache_update(PyObject *self, PyObject *args, PyObject *kwds);

PyObject *cache_repr(PyObject *self);

// copy and pickle, and IVRO[K, V].
PyObject *cache_reduce(PyObject *self, PyObject *unused);
PyObject *cache_setstate(PyObject *self, PyObject *state);
PyObject *cache_class_getitem(PyObject *cls, PyObject *item);

}  // namespace ivro
