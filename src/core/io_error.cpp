// IoError: errno classification and display texts. No Python.h.
#include "core/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace tolv {
namespace {

IoErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EINTR: return IoErrorKind::Interrupted;
    default: return IoErrorKind::Other;
  }
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills buf).
[[maybe_unused]] const char* strerror_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_text(int result, const char* buf) {
  return result == 0 ? buf : nullptr;
}

// The system's description of an errno value, as strerror_r gives it.
std::string os_error_description(int code) {
  char buf[256];
  buf[0] = '\0';
  const char* text = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(code);
}

}  // namespace

IoError IoError::from_errno(int code) { return IoError(kind_of_errno(code), code, nullptr); }

IoError IoError::with_message(IoErrorKind kind, const char* message) {
  return IoError(kind, 0, message);
}

std::string IoError::display() const {
  if (message_ != nullptr) return message_;
  return os_error_description(os_code_) + " (os error " + std::to_string(os_code_) + ")";
}


}  // namespace tolv
