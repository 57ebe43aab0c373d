// The Quorvan module: its definition, its one exported symbol, and the module
// body that the interpreter runs when the module is imported.
#include <Python.h>

#include "client_class.h"
#include "runtime/globals.h"
#include "runtime/imports.h"
#include "runtime/names.h"
#include "runtime/objects.h"
#include "session/session.h"
#include "session/timer_guard.h"

namespace quorvan {

namespace {

// The builtins the module body runs with: the namespace's own
// __builtins__, set first to the importer's builtins if it is missing.
Ref module_builtins(PyObject* globals, PyObject* names) {
  PyObject* importers = PyEval_GetBuiltins();
  if (importers == nullptr ||
      PyDict_SetDefault(globals, name_at(names, RuntimeName::dunder_builtins), importers) ==
          nullptr) {
    return Ref();
  }
  return builtins_of(globals, names);
}

// from <module_name> import <first>[, <second>]
bool import_names_from(PyObject* globals, PyObject* builtins, PyObject* names,
                       const char* module_name, const char* first, const char* second) {
  Ref fromlist = second != nullptr ? Ref::steal(Py_BuildValue("(ss)", first, second))
                                   : Ref::steal(Py_BuildValue("(s)", first));
  if (!fromlist) return false;
  Ref module = import_name(globals, builtins, names, module_name, fromlist.get());
  if (!module) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
    Ref value = import_from(module.get(), name, names);
    if (!value || PyDict_SetItem(globals, name, value.get()) < 0) return false;
  }
  return true;
}

// The module body.  On failure it stops at once; the import machinery then
// removes the half-made module from sys.modules and re-raises.
int exec_module(PyObject* module) {
  PyObject* globals = PyModule_GetDict(module);
  Ref names = make_name_table(session::kNameTexts, session::kNameCount,
                              session::kKeywordNames, session::kKeywordCount);
  if (!names) return -1;
  Ref builtins = module_builtins(globals, names.get());
  if (!builtins) return -1;

  if (PyDict_SetItemString(globals, "__doc__", Py_None) < 0) return -1;

  if (!import_names_from(globals, builtins.get(), names.get(), "ftplib", "FTP", "error_perm")) {
    return -1;
  }

  Ref threading = import_name(globals, builtins.get(), names.get(), "threading", Py_None);
  if (!threading || PyDict_SetItemString(globals, "threading", threading.get()) < 0) return -1;

  if (!import_names_from(globals, builtins.get(), names.get(), "typing", "List", nullptr)) {
    return -1;
  }

  if (module_state_init(module, names.get()) < 0 || session::init_timer_guard(module) < 0) {
    return -1;
  }
  Ref cls = create_client_class(globals, builtins.get(), names.get());
  if (!cls || PyDict_SetItemString(globals, "CLASS_FTPClient", cls.get()) < 0) return -1;
  return 0;
}

void free_module(void* module) { module_state_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything of a module instance is in its state and its namespace.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Quorvan",                      // m_name
    nullptr,                        // m_doc: the module has no docstring
    sizeof(session::SessionState),  // m_size: module_state.h, timer_guard.h
    nullptr,                        // m_methods: no module-level functions
    module_slots,                   // m_slots
    module_state_traverse,          // m_traverse
    module_state_clear,             // m_clear
    free_module,                    // m_free
};

}  // namespace

}  // namespace quorvan

PyMODINIT_FUNC PyInit_Quorvan(void) { return PyModuleDef_Init(&quorvan::module_def); }
