// The process's standard output as a line sink. No Python.h.
#include "core/line_writer.hpp"

#include <unistd.h>

#include <cerrno>

#include "core/abort.hpp"
#include "core/io_error.hpp"

namespace tolv {

void StdoutLineSink::write_line(std::string_view line) {
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(1, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) abort_call("failed printing to stdout: " + IoError::from_errno(errno).display());
    if (n == 0) abort_call("failed printing to stdout: failed to write whole buffer");
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace tolv
