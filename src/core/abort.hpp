// Abort: the one failure kind for conditions native code does not handle. No Python.h.
#pragma once

#include <string>
#include <string_view>

#if defined(__has_builtin)
#if __has_builtin(__builtin_COLUMN)
#define TOLV_CALLER_COLUMN __builtin_COLUMN()
#endif
#endif
#ifndef TOLV_CALLER_COLUMN
#define TOLV_CALLER_COLUMN 0  // g++ does not expose the caller's column
#endif

namespace tolv {

// Unwinds to the call boundary, which turns it into a Python exception.
// Deliberately not derived from std::exception: only the boundary catches it.
struct Abort {
  std::string message;
};

// Writes all of text to standard error; errors are ignored, since there is nowhere left
// to report them.
void write_stderr(std::string_view text);

// Writes the diagnostic (thread, source location, message) to standard error,
// then throws Abort. The defaults capture the caller's location.
[[noreturn]] void abort_call(std::string message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE(), int column = TOLV_CALLER_COLUMN);

}  // namespace tolv
