// The one entry of velk._native (METH_FASTCALL, positional only), which
// velk.search calls once per call after converting its queries with numpy.
#pragma once

#include "binding/owned_ref.h"

namespace velk {

// What the entry needs from numpy to make its result arrays, imported once
// when the module is made (the module's state).
struct NumpyArrayMaker {
  PyObject* empty;    // numpy.empty
  PyObject* float32;  // numpy.float32
  PyObject* int64;    // numpy.int64
};

// search(queries, embeddings, k, threads, where, rows, offsets, storage, /)
//   -> (scores, indices)
//
// queries: a C-contiguous float32 (nq, dim) array; embeddings: a C-contiguous
// (rows, dim) array of float32, float16, int8 or uint8 (by its buffer format),
// or of bfloat16 bits as uint16 when storage is "bfloat16" (else None), read in
// place, never copied; k: an int of 0 or more; threads:
// None for the whole pool, or a worker cap of 1 or more. Returns new float32
// and int64 arrays of shape (nq, min(k, rows)). Every check, the one
// acquisition of each buffer and the conversions of k and threads happen first,
// with the interpreter lock held; the core runs without it.
PyObject* search_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velk
