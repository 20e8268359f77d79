// Texts of the numeric core that callers see and match, gathered in one place.
//
// Some of them read like mistakes ("attempt to divide by zero" for a row width
// of 0, a pool that "has not been initialized" when it could not start). They
// are deliberate: callers match these exact strings in their error handling,
// and the tests pin them. Do not reword them.
#pragma once

namespace velk {

// A row width of 0 in the flat functions: there is no row to divide into.
inline constexpr char kDivideByZero[] = "attempt to divide by zero";

// A scoring range that would write past its window of the output: a broken
// split, which a correct pool never produces.
inline constexpr char kTooManyValues[] = "too many values pushed to consumer";

// The worker pool could not be started. The first call reports the system's
// error after this prefix ("IOError: ... (os error N)"); every later call that
// needs the pool reports kPoolAlreadyFailed after it, because creation is not
// tried again.
inline constexpr char kPoolNotInitialized[] = "The global thread pool has not been initialized.: ";
inline constexpr char kPoolAlreadyFailed[] = "GlobalPoolAlreadyInitialized";

// The two environment variables that set the worker count, read once when the
// pool is created. Their names are shared with other thread pools in the same
// process, which is why one setting governs them all.
inline constexpr char kNumThreadsVariable[] = "RAYON_NUM_THREADS";
inline constexpr char kNumCpusVariable[] = "RAYON_RS_NUM_CPUS";

}  // namespace velk
