// The module object, made once per process and handed back on every import.
#include <atomic>
#include <cstdint>
#include <string>

#include "binding/binding_error.h"
#include "binding/entry_frame.h"
#include "binding/owned_ref.h"
#include "module/conversions.h"
#include "module/fixed_texts.h"
#include "module/functions.h"
#include "module/panic_exception.h"

namespace velk {
namespace {

struct MethodEntry {
  const char* name;
  PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
  int flags;
  const char* doc;
};

// The docs start with a signature header; CPython turns it into
// __text_signature__ and leaves __doc__ as the rest (None when empty).
constexpr MethodEntry kMethods[] = {
    {"cosine_similarity", cosine_similarity_entry, METH_FASTCALL | METH_KEYWORDS, "cosine_similarity(a, b)\n--\n\n"},
    {"top_k", top_k_entry, METH_FASTCALL | METH_KEYWORDS, "top_k(query, embeddings, k)\n--\n\n"},
    {"top_k_flat", top_k_flat_entry, METH_FASTCALL | METH_KEYWORDS, "top_k_flat(query, embeddings, dim, k)\n--\n\n"},
    {"top_k_flat_np", top_k_flat_np_entry, METH_FASTCALL | METH_KEYWORDS,
     "top_k_flat_np(query, embeddings, dim, k)\n--\n\n"
     "Zero-copy variant \u2014 accepts numpy float32 arrays via the Python buffer protocol.\n"
     "The caller must ensure the arrays are C-contiguous float32."},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_velk",  // m_name
    "",       // m_doc: __doc__ is '' rather than None
    0,        // m_size
    nullptr,  // m_methods: functions are added after creation
    nullptr,  // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// The module keeps global state (the worker pool), so it serves one interpreter.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;  // never released

PyObject* interned(PyObject*& cell, const char* text) {
  if (cell == nullptr) cell = checked_new(PyUnicode_InternFromString(text)).release();
  return cell;
}

PyObject* dunder_name() {
  static PyObject* cell = nullptr;
  return interned(cell, "__name__");
}

PyObject* dunder_all() {
  static PyObject* cell = nullptr;
  return interned(cell, "__all__");
}

OwnedRef module_all_list(PyObject* module) {
  OwnedRef all(PyObject_GetAttr(module, dunder_all()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw BindingError::fetch();
    PyErr_Clear();
    all = checked_new(PyList_New(0));
    if (PyObject_SetAttr(module, dunder_all(), all.get()) == -1) throw BindingError::fetch();
    return all;
  }
  if (!PyList_Check(all.get())) throw type_mismatch_error(all.get(), kListTarget);
  return all;
}

void add_functions(PyObject* module) {
  for (const MethodEntry& row : kMethods) {
    OwnedRef module_name(PyModule_GetNameObject(module));
    if (!module_name) throw BindingError::fetch();
    // Function objects point at their definition for the life of the process.
    auto* method = new PyMethodDef{row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row.entry)),
                                   row.flags, row.doc};
    OwnedRef function(PyCMethod_New(method, module, module_name.get(), nullptr));
    module_name = OwnedRef();
    if (!function) throw BindingError::fetch();

    OwnedRef name(PyObject_GetAttr(function.get(), dunder_name()));
    if (!name) throw BindingError::fetch();
    if (!PyUnicode_Check(name.get())) throw type_mismatch_error(name.get(), kStrTarget);

    {
      OwnedRef all = module_all_list(module);
      if (PyList_Append(all.get(), name.get()) == -1) {
        OwnedRef error(PyErr_GetRaisedException());
        OwnedRef text(error ? PyObject_Str(error.get()) : nullptr);
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 == nullptr) PyErr_Clear();
        panic(std::string(kAppendToAllFailed) + ": " + (utf8 ? utf8 : "<unprintable error>"));
      }
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) == -1) throw BindingError::fetch();
  }
}

OwnedRef make_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw BindingError::fetch();
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw BindingError::lazy(PyExc_ImportError,
                             "_velk does not support subinterpreters: it can only be imported in the "
                             "interpreter that imported it first");
  }
  if (cached_module != nullptr) return OwnedRef::borrow(cached_module);

  OwnedRef module(PyModule_Create2(&definition, PYTHON_API_VERSION));
  if (!module) throw BindingError::fetch();
  add_functions(module.get());
  // The panic class is made here rather than at the first panic: a panic that
  // comes with exhausted memory (a worker that cannot be started) must not need
  // memory to be raised.
  (void)panic_exception_type();
  if (cached_module == nullptr) cached_module = module.release();
  return OwnedRef::borrow(cached_module);
}

}  // namespace
}  // namespace velk

PyMODINIT_FUNC PyInit__velk() { return velk::run_entry(velk::make_module); }
