// The module's entry point: readies the two types and publishes IVRO.
#include "core/cache.hpp"
#include "core/dict_access.hpp"
#include "module/docs.hpp"

namespace {

PyModuleDef ivro_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_ivro",
    .m_doc = ivro::docs::cache,
    .m_size = -1,
};

}  // namespace

PyMODINIT_FUNC PyInit__ivro(void) {
  ivro::detect_dict_quirks();
  ivro::NodeType.tp_new = PyType_GenericNew;
  if (PyType_Ready(&ivro::NodeType) < 0) return nullptr;
  ivro::CacheType.tp_new = PyType_GenericNew;
  if (PyType_Ready(&ivro::CacheType) < 0) return nullptr;

  PyObject *module = PyModule_Create2(&ivro_module, PYTHON_API_VERSION);
  if (module == nullptr) return nullptr;
  // A module without its type would be useless: a failure here fails the
  // import.
  if (PyModule_AddObjectRef(module, "IVRO", reinterpret_cast<PyObject *>(&ivro::CacheType)) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
#ifdef Py_GIL_DISABLED
  // Every operation holds its cache's lock (core/locking.hpp), so importing
  // the module need not turn the GIL back on.
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
#endif
  return module;
}
