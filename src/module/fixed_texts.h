// Texts of _velk that Python code sees and matches, gathered so that nobody
// "fixes" one. (The error mechanism's own texts are in binding/fixed_texts.h.)
//
// Each text here reaches callers as an exception message, a class name or a
// docstring. Callers match them (an `except` that tests str(e), a doctest, a
// log filter), the README quotes most of them, and the tests pin every one that
// a call can reach. Several read like slips to a newcomer: Rust type names
// ("Vec", "f32"), "PyString" and "PyList" for str and list, "null" for a missing
// field, a period before a colon. They are kept on purpose, letter for letter:
// changing one breaks whoever matches it, so it is a change of the module's
// interface, never a tidy-up. The function docstrings and signatures are fixed
// in the same way; they stay in the method table in module.cpp.
//
// A "{name}" in a pattern is a field, filled by fill_text (binding/message_text.h).
#pragma once

namespace velk {

// Conversions.

// A str passed as a vector or as a row: refused by name, in Rust's words.
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
// The {target} of the shared type-mismatch message, as the message shows it.
inline constexpr char kSequenceTarget[] = "Sequence";
inline constexpr char kStrTarget[] = "PyString";
inline constexpr char kListTarget[] = "PyList";

// Binding: CPython's own words for its built-in functions. {call} is
// "top_k()" and the like.
inline constexpr char kTooManyPositional[] = "{call} takes {count} positional arguments but {given} {verb} given";
inline constexpr char kUnexpectedKeyword[] = "{call} got an unexpected keyword argument '{keyword}'";
inline constexpr char kMultipleValues[] = "{call} got multiple values for argument '{keyword}'";
// {noun} is "argument" or "arguments".
inline constexpr char kMissingArguments[] = "{call} missing {count} required positional {noun}: {names}";
// A conversion's TypeError, raised again under the argument's name.
inline constexpr char kArgumentError[] = "argument '{name}': {text}";
// {text} when str() of that TypeError fails.
inline constexpr char kUnprintableError[] = "<unprintable {type} object>";
inline constexpr char kUnprintableErrorOfUnknownType[] = "<unprintable object>";

// Buffers: "null" for a field the export left out, Rust's "f32" for float32.
inline constexpr char kShapeIsNull[] = "shape is null";
inline constexpr char kStridesIsNull[] = "strides is null";
inline constexpr char kNotFloat32[] = "buffer contents are not compatible with f32";
inline constexpr char kNotFloat32Aligned[] = "buffer contents are insufficiently aligned for f32";

// Errors and panics.

// The panic class: callers test __module__ and __name__, since the class is not
// an attribute of the module. Its docstring is fixed as well.
inline constexpr char kPanicExceptionName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicExceptionDoc[] =
    "\n"
    "The exception raised when the native code of _velk, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
// Making the panic class failed; ": " and the error follow.
inline constexpr char kPanicClassFailed[] = "Failed to initialize new exception type.";
// Module creation could not extend __all__; ": " and the error follow.
inline constexpr char kAppendToAllFailed[] = "could not append __name__ to __all__";

}  // namespace velk
