// Progress lines: where the readers and the overlap counting announce what they do. No Python.h.
#pragma once

#include <string>
#include <string_view>

namespace tolv {

// Receives whole progress lines, newline included.
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void write_line(std::string_view line) = 0;
};

// Writes each line straight to file descriptor 1 (not Python's sys.stdout);
// a failed write aborts with "failed printing to stdout: <error>".
class StdoutLineSink final : public LineSink {
 public:
  void write_line(std::string_view line) override;
};

// Keeps lines until release() passes them on to the target, in order.
class HeldLineSink final : public LineSink {
 public:
  explicit HeldLineSink(LineSink& target) : target_(target) {}
  void write_line(std::string_view line) override { held_.append(line); }
  void release() {
    std::string lines;
    lines.swap(held_);
    if (!lines.empty()) target_.write_line(lines);
  }

 private:
  LineSink& target_;
  std::string held_;
};

// Swallows every line: for tests and fuzzers.
class SilentLineSink final : public LineSink {
 public:
  void write_line(std::string_view) override {}
};

}  // namespace tolv
