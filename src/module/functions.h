// The four Python-callable entries (METH_FASTCALL | METH_KEYWORDS).
#pragma once

#include "binding/owned_ref.h"

namespace velk {

PyObject* cosine_similarity_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* top_k_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* top_k_flat_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* top_k_flat_np_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velk
