// Runs every registered native test and prints "N passed, N failed"; exits 1 on any failure.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <vector>

#include "core/abort.hpp"
#include "test_runner.hpp"

namespace tolv_test {
namespace {

struct Registered {
  const char* name;
  TestFn fn;
};

std::vector<Registered>& registry() {
  static std::vector<Registered> tests;
  return tests;
}

int failures_in_current_test = 0;

}  // namespace

bool register_test(const char* name, TestFn fn) {
  registry().push_back({name, fn});
  return true;
}

void report_failure(const char* file, int line, const std::string& what) {
  // The first few failures of a test tell enough; long values are cut.
  if (++failures_in_current_test > 10) return;
  std::printf("  %s:%d: %.400s\n", file, line, what.c_str());
}

std::string abort_message_of(void (*f)(const void*), const void* context) {
  std::fflush(stderr);
  const int saved = dup(2);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 2);
  close(null_fd);
  struct RestoreStderr {
    int saved;
    ~RestoreStderr() {
      dup2(saved, 2);
      close(saved);
    }
  } restore{saved};
  try {
    f(context);
  } catch (const tolv::Abort& abort) {
    return abort.message;
  }
  return "<no abort>";
}

}  // namespace tolv_test

int main() {
  int passed = 0, failed = 0;
  for (const auto& test : tolv_test::registry()) {
    tolv_test::failures_in_current_test = 0;
    try {
      test.fn();
    } catch (const tolv::Abort& abort) {
      tolv_test::report_failure(__FILE__, __LINE__, "unexpected abort: " + abort.message);
    } catch (const std::exception& e) {
      tolv_test::report_failure(__FILE__, __LINE__, std::string("exception: ") + e.what());
    }
    const bool ok = tolv_test::failures_in_current_test == 0;
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", test.name);
    ++(ok ? passed : failed);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
