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

// Work that has to come before an abort's diagnostic (reading the file being parsed to
// its end, writing held progress lines), installed on the calling thread for the
// lifetime of the object. abort_call runs it once, after uninstalling it, and it may
// throw in place of the Abort.
class AbortPreamble {
 public:
  AbortPreamble();
  virtual ~AbortPreamble();
  AbortPreamble(const AbortPreamble&) = delete;
  AbortPreamble& operator=(const AbortPreamble&) = delete;

  // Uninstalls it and runs it, unless that has happened already.
  void run_once();

 protected:
  virtual void run() = 0;

 private:
  void uninstall();
  AbortPreamble* previous_;
  bool pending_ = true;
};

// Hides the preambles installed on the calling thread for its lifetime. Where the
// interpreter may run Python code in the middle of a parse (a finalizer during garbage
// collection), that code may call into this module again; an abort in that other call
// must not run the preamble of the file being parsed here.
class AbortPreambleBarrier {
 public:
  AbortPreambleBarrier();
  ~AbortPreambleBarrier();
  AbortPreambleBarrier(const AbortPreambleBarrier&) = delete;
  AbortPreambleBarrier& operator=(const AbortPreambleBarrier&) = delete;

 private:
  AbortPreamble* hidden_;
};

// Writes all of text to standard error; errors are ignored, since there is nowhere left
// to report them.
void write_stderr(std::string_view text);

// Runs the installed preamble, writes the diagnostic (thread, source location,
// message) to standard error, then throws Abort. The defaults capture the caller's location.
[[noreturn]] void abort_call(std::string message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE(), int column = TOLV_CALLER_COLUMN);

}  // namespace tolv
