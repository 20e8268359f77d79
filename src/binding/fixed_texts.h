// Texts of the error mechanism that Python code sees and matches, gathered so
// that nobody "fixes" one. Each reaches callers as an exception message or on
// standard error; callers match them (an `except` that tests str(e), a log
// filter) and the tests pin every one that a call can reach. Some read like
// slips ("null", a period before a colon); they are kept letter for letter,
// since changing one is a change of the interface, never a tidy-up.
//
// A "{name}" in a pattern is a field, filled by fill_text (message_text.h).
#pragma once

namespace velk {

// An object that fails a type test: {type} is its type's qualified name,
// {target} the kind of object that was wanted.
inline constexpr char kTypeMismatch[] = "'{type}' object cannot be converted to '{target}'";
// {type} when the qualified name cannot be had.
inline constexpr char kTypeNameUnknown[] = "<failed to extract type name>";
// A requested capacity too large to represent: a panic, not a MemoryError.
inline constexpr char kCapacityOverflow[] = "capacity overflow";
// The interpreter could not make a str, int, float, list or tuple (memory
// aside, which is a MemoryError).
inline constexpr char kPythonApiCallFailed[] = "Python API call failed";
// A CPython call signalled failure but left no exception.
inline constexpr char kNothingToFetch[] = "attempted to fetch exception but none was set";
// A lazy error whose type is not an exception class.
inline constexpr char kNotAnExceptionClass[] = "exceptions must derive from BaseException";
// A C++ exception that carries no text.
inline constexpr char kPanicWithoutText[] = "native code panicked with a payload that is not text";
// A panic class instance that came back through Python code and whose str() fails.
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
// The lines before the traceback of such a panic on standard error.
inline constexpr char kResumingPanic[] =
    "--- _velk is resuming a panic after fetching a PanicException from Python. ---";
inline constexpr char kPythonStackTraceBelow[] = "Python stack trace below:";
// A panic that escaped an entry's own catch; the process ends after it.
inline constexpr char kUncaughtPanicAtBoundary[] = "uncaught panic at ffi boundary";

}  // namespace velk
