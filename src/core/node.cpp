#include "core/cache.hpp"
#include "core/ref.hpp"

namespace ivro {

void node_dealloc(PyObject *self) {
  Node *n = reinterpret_cast<Node *>(self);
  PyObject *key = node_key(n);
  set_node_key(n, nullptr);
  Py_XDECREF(key);
  Py_XDECREF(n->value);
  PyObject_Free(self);
}

// A node shows as its value, so the dictionary's own text reads like a plain
// dict of key to value. The value is held across the call: its text may run
// code that replaces it in this very node.
PyObject *node_repr(PyObject *self) {
  Node *n = reinterpret_cast<Node *>(self);
  if (n->value == nullptr) return PyUnicode_FromString("<empty node>");
  Ref<> value = Ref<>::borrow(n->value);
  return PyObject_Repr(value.get());
}

Node *take_blank_node(Cache *c) noexcept {
  Node *n = c->spare;
  if (n != nullptr) {
    c->spare = nullptr;
    return n;
  }
  n = PyObject_New(Node, &NodeType);
  if (n == nullptr) return nullptr;
  n->value = nullptr;
  set_node_key(n, nullptr);
  n->newer = nullptr;
  n->older = nullptr;
  return n;
}

void park_blank_node(Cache *c, Node *node) noexcept {
  if (c->spare == nullptr) {
    c->spare = node;
  } else {
    Py_DECREF(node);
  }
}

void discard_node(Cache *c, Node *node) noexcept {
  if (Py_REFCNT(node) != 1 || c->spare != nullptr) {
    Py_DECREF(node);
    return;
  }
  // Keep the record for the next insertion. It is parked before the key and
  // value go, since their finalisers may insert into this cache.
  PyObject *key = node_key(node);
  PyObject *value = node->value;
  set_node_key(node, nullptr);
  node->value = nullptr;
  c->spare = node;
  Py_XDECREF(key);
  Py_XDECREF(value);
}

}  // namespace ivro
