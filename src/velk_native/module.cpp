// velk._native: the compiled part of the velk package. Its functions are
// private; velk.search is the public entry.
#include "similarity/panic.h"
#include "velk_native/search_entry.h"

namespace velk {
namespace {

// The docs start with a signature header, which CPython turns into
// __text_signature__.
PyMethodDef methods[] = {
    {"embeddings_shape", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(embeddings_shape_entry)),
     METH_FASTCALL,
     "embeddings_shape($module, embeddings, /)\n--\n\n"
     "(rows, dim) of a C-contiguous float32 matrix that search_into can read in place."},
    {"search_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_into_entry)), METH_FASTCALL,
     "search_into($module, queries, embeddings, k, threads, scores, indices, /)\n--\n\n"
     "Fills scores and indices with the top k of every query, without the interpreter lock."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "velk._native",  // m_name
    "The compiled part of velk: batch search without the interpreter lock.",
    0,  // m_size
    methods,
    nullptr,  // m_slots
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velk

PyMODINIT_FUNC PyInit__native() {
  velk::prepare_thread_for_failures();
  return PyModuleDef_Init(&velk::definition);
}
