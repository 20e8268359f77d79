// The entries of velk._native (METH_FASTCALL, positional only). The public
// velk.search checks and converts its arguments in Python and calls these;
// they check again whatever memory safety depends on.
#pragma once

#include "module/py_ref.h"

namespace velk {

// embeddings_shape(embeddings, /) -> (rows, dim): refuses what search_into
// cannot read in place, with a message that says how to fix it.
PyObject* embeddings_shape_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// search_into(queries, embeddings, k, threads, scores, indices, /) -> None:
// fills the (query count, min(k, rows)) float32 scores and int64 indices.
// threads = 0 uses the whole pool. The interpreter lock is released while the
// core runs.
PyObject* search_into_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velk
