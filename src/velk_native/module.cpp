// velk._native: the compiled part of the velk package. Its entry is private;
// velk.search is the public one.
#include "similarity/panic.h"
#include "velk_native/search_entry.h"

namespace velk {
namespace {

NumpyArrayMaker& state_of(PyObject* module) { return *static_cast<NumpyArrayMaker*>(PyModule_GetState(module)); }

int import_numpy(PyObject* module) {
  OwnedRef numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  NumpyArrayMaker& state = state_of(module);
  state.empty = PyObject_GetAttrString(numpy.get(), "empty");
  state.float32 = PyObject_GetAttrString(numpy.get(), "float32");
  state.int64 = PyObject_GetAttrString(numpy.get(), "int64");
  return state.empty != nullptr && state.float32 != nullptr && state.int64 != nullptr ? 0 : -1;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  NumpyArrayMaker& state = state_of(module);
  Py_VISIT(state.empty);
  Py_VISIT(state.float32);
  Py_VISIT(state.int64);
  return 0;
}

int clear(PyObject* module) {
  NumpyArrayMaker& state = state_of(module);
  Py_CLEAR(state.empty);
  Py_CLEAR(state.float32);
  Py_CLEAR(state.int64);
  return 0;
}

void free_state(void* module) { clear(static_cast<PyObject*>(module)); }

// The docs start with a signature header, which CPython turns into
// __text_signature__.
PyMethodDef methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_entry)), METH_FASTCALL,
     "search($module, queries, embeddings, k, threads, where, rows, offsets, storage, /)\n--\n\n"
     "(scores, indices) of the top k of every query; the core runs without the interpreter lock."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(import_numpy)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "velk._native",  // m_name
    "The compiled part of velk: batch search without the interpreter lock.",
    sizeof(NumpyArrayMaker),  // m_size: zeroed before the exec slot runs
    methods,
    slots,
    traverse,
    clear,
    free_state,
};

}  // namespace
}  // namespace velk

PyMODINIT_FUNC PyInit__native() {
  velk::prepare_thread_for_failures();
  return PyModuleDef_Init(&velk::definition);
}
