// Abort diagnostics written to standard error. No Python.h.
#include "core/abort.hpp"

#include <unistd.h>

#include <cerrno>

namespace tolv {
namespace {

// Shows "src/colmap_io.cpp" rather than the build machine's absolute path.
const char* source_relative(const char* file) {
  const char* shown = file;
  for (const char* p = file; *p != '\0'; ++p) {
    if (p[0] == 's' && p[1] == 'r' && p[2] == 'c' && p[3] == '/') shown = p;
  }
  return shown;
}

thread_local AbortPreamble* installed_preamble = nullptr;

}  // namespace

AbortPreamble::AbortPreamble() : previous_(installed_preamble) { installed_preamble = this; }

AbortPreamble::~AbortPreamble() { uninstall(); }

void AbortPreamble::uninstall() {
  if (!pending_) return;
  pending_ = false;
  if (installed_preamble == this) installed_preamble = previous_;
}

void AbortPreamble::run_once() {
  if (!pending_) return;
  uninstall();  // an abort inside run() goes straight to its diagnostic
  run();
}

AbortPreambleBarrier::AbortPreambleBarrier() : hidden_(installed_preamble) {
  installed_preamble = nullptr;
}

AbortPreambleBarrier::~AbortPreambleBarrier() { installed_preamble = hidden_; }

void write_stderr(std::string_view text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(2, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    left -= static_cast<size_t>(n);
  }
}

void abort_call(std::string message, const char* file, int line, int column) {
  if (installed_preamble != nullptr) installed_preamble->run_once();
  // The interpreter's threads carry no name of ours, so every thread shows as unnamed.
  std::string diagnostic = "thread '<unnamed>' panicked at ";
  diagnostic += source_relative(file);
  diagnostic += ':';
  diagnostic += std::to_string(line);
  diagnostic += ':';
  diagnostic += std::to_string(column);
  diagnostic += ":\n";
  diagnostic += message;
  diagnostic += '\n';
  write_stderr(diagnostic);
  throw Abort{std::move(message)};
}

}  // namespace tolv
