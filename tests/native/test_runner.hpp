// A minimal test registry and checks for the native tests; no framework needed.
#pragma once

#include <sstream>
#include <string>

namespace tolv_test {

using TestFn = void (*)();
bool register_test(const char* name, TestFn fn);
void report_failure(const char* file, int line, const std::string& what);

// The message of the tolv::Abort that f throws, or "<no abort>"; the abort
// diagnostic on standard error is suppressed while f runs.
std::string abort_message_of(void (*f)(const void*), const void* context);
template <class F>
std::string abort_message(F&& f) {
  return abort_message_of([](const void* c) { (*static_cast<const F*>(c))(); }, &f);
}

inline std::string context() { return ""; }
inline std::string context(const std::string& text) { return " (" + text + ")"; }

template <class T>
std::string show(const T& value) {
  std::ostringstream out;
  out.precision(17);
  out << value;
  return out.str();
}

}  // namespace tolv_test

#define TEST(name)                                                              \
  static void name();                                                           \
  static const bool name##_registered = tolv_test::register_test(#name, &name); \
  static void name()

#define CHECK(cond) \
  ((cond) ? void() : tolv_test::report_failure(__FILE__, __LINE__, "CHECK(" #cond ")"))

// Compares with ==; a failure shows both sides and the case it belongs to.
#define CHECK_EQ(actual, expected, ...)                                                    \
  do {                                                                                     \
    const auto& a_ = (actual);                                                             \
    const auto& e_ = (expected);                                                           \
    if (!(a_ == e_))                                                                       \
      tolv_test::report_failure(__FILE__, __LINE__,                                        \
                                std::string(#actual) + " == " + tolv_test::show(a_) +      \
                                    ", expected " + tolv_test::show(e_) +                  \
                                    tolv_test::context(__VA_ARGS__));                      \
  } while (0)
