// The entry record: one object per entry serves both as the dictionary's
// value and as the cell of the recency list.
#pragma once

#include <Python.h>

namespace ivro {

struct Node {
  PyObject_HEAD
  PyObject *value;  // owned
  PyObject *key;    // owned; never changes while the node is in a cache
  Node *newer;      // not a reference; null for the newest entry
  Node *older;      // not a reference; null for the oldest entry
};

// The whole record must stay at 48 bytes on 64-bit builds: it is the only
// memory an entry costs beyond the dictionary's own slot.
static_assert(sizeof(void *) != 8 || sizeof(Node) == 48, "Node grew");

extern PyTypeObject NodeType;

void node_dealloc(PyObject *self);
PyObject *node_repr(PyObject *self);

}  // namespace ivro
