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

Node *new_blank_node() noexcept {
  Node *n = PyObject_New(Node, &NodeType);
  if (n == nullptr) return nullptr;
  n->value = nullptr;
  set_node_key(n, nullptr);
  n->newer = nullptr;
  n->older = nullptr;
  return n;
}

}  // namespace ivro
