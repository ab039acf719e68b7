// The textual form: the key dictionary's own text, since each node shows as
// its value. The dictionary's repr holds what it prints and guards against a
// cache that contains itself ("{...}").
#include "core/cache.hpp"
#include "methods/methods.hpp"

namespace ivro {

PyObject *cache_repr(PyObject *self) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  // The text of a key or value may empty the cache, replacing its
  // dictionary while the dictionary's own repr walks it.
  MapHold map(c);
  return PyObject_Repr(map.get());
}

}  // namespace ivro
