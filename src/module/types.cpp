// The two static type objects and the cache type's slot and method tables.
#include "core/cache.hpp"
#include "core/locking.hpp"
#include "core/settings.hpp"
#include "methods/methods.hpp"
#include "module/docs.hpp"

namespace ivro {

namespace {

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef cache_methods[] = {
    {"__contains__", as_cfunction(locked<cache_contains_method>), METH_O | METH_COEXIST,
     docs::contains},
    {"keys", as_cfunction(locked<cache_keys>), METH_NOARGS, docs::keys},
    {"values", as_cfunction(locked<cache_values>), METH_NOARGS, docs::values},
    {"items", as_cfunction(locked<cache_items>), METH_NOARGS, docs::items},
    {"has_key", as_cfunction(locked<cache_has_key>), METH_FASTCALL, docs::has_key},
    {"get", as_cfunction(locked<cache_get>), METH_FASTCALL | METH_KEYWORDS, docs::get},
    {"setdefault", as_cfunction(locked<cache_setdefault>), METH_FASTCALL, docs::setdefault},
    {"pop", as_cfunction(locked<cache_pop>), METH_FASTCALL | METH_KEYWORDS, docs::pop},
    {"popitem", as_cfunction(locked<cache_popitem>), METH_FASTCALL | METH_KEYWORDS, docs::popitem},
    {"set_size", as_cfunction(locked<cache_set_size>), METH_FASTCALL, docs::set_size},
    {"get_size", as_cfunction(locked<cache_get_size>), METH_NOARGS, docs::get_size},
    {"clear", as_cfunction(locked<cache_clear>), METH_NOARGS, docs::clear},
    {"get_stats", as_cfunction(locked<cache_get_stats>), METH_NOARGS, docs::get_stats},
    {"peek_first_item", as_cfunction(locked<cache_peek_first_item>), METH_NOARGS,
     docs::peek_first_item},
    {"peek_last_item", as_cfunction(locked<cache_peek_last_item>), METH_NOARGS,
     docs::peek_last_item},
    {"update", as_cfunction(locked<cache_update>), METH_VARARGS | METH_KEYWORDS, docs::update},
    {"set_callback", as_cfunction(locked<cache_set_callback>), METH_FASTCALL, docs::set_callback},
    {"__reduce__", as_cfunction(locked<cache_reduce>), METH_NOARGS, docs::reduce},
    {"__setstate__", as_cfunction(locked<cache_setstate>), METH_O, docs::setstate},
    // A class method: no cache to lock.
    {"__class_getitem__", as_cfunction(cache_class_getitem), METH_O | METH_CLASS,
     docs::class_getitem},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods cache_as_sequence = {
    .sq_contains = locked<cache_contains>,
};

PyMappingMethods cache_as_mapping = {
    .mp_length = locked<cache_length>,
    .mp_subscript = locked<counted_lookup>,
    .mp_ass_subscript = locked<assign_entry>,
};

}  // namespace

PyTypeObject NodeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_ivro.Node",
    .tp_basicsize = sizeof(Node),
    .tp_itemsize = 0,
    .tp_dealloc = node_dealloc,
    .tp_repr = node_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = docs::node,
};

PyTypeObject CacheType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_ivro.IVRO",
    .tp_basicsize = sizeof(Cache),
    .tp_itemsize = 0,
    .tp_dealloc = cache_dealloc,
    .tp_repr = locked<cache_repr>,
    .tp_as_sequence = &cache_as_sequence,
    .tp_as_mapping = &cache_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = docs::cache,
    .tp_methods = cache_methods,
    // Takes the lock itself, once its arguments are parsed.
    .tp_init = cache_init,
};

}  // namespace ivro
