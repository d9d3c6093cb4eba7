// FileReader against ByteReader: the same files, read through windows of a few bytes,
// give the same records and the same abort messages at every cut.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "colmap_io.hpp"
#include "test_runner.hpp"

using namespace tolv;

namespace {

// A record summary, or the abort message, from one parser over one reader.
template <class Reader>
std::string outcome(int kind, Reader& reader) {
  SilentLineSink sink;
  std::string out;
  const std::string message = tolv_test::abort_message([&] {
    if (kind == 0) {
      parse_cameras_from(reader, sink, [&](Camera&& c) {
        out += std::to_string(c.camera_id) + ":" + std::to_string(c.params.size()) + ";";
      });
    } else if (kind == 1) {
      parse_images_from(reader, sink, [&](Image&& i) {
        out += std::to_string(i.image_id) + ":" + i.name + ":";
        out += std::to_string(i.point3D_ids.size());
        for (point3D_t id : i.point3D_ids) out += "," + std::to_string(id);
        out += ";";
      });
    } else {
      parse_points3D_from(reader, sink, [&](const Point3DView& p) {
        out += std::to_string(p.id) + ":" + std::to_string(p.color.b);
        for (size_t k = 0; k < p.track_length; ++k) {
          out += "," + std::to_string(p.track_element(k).image_id);
        }
        out += ";";
      });
    }
  });
  return out + "|" + message;
}

std::vector<uint8_t> random_file(int kind, std::mt19937& rng) {
  std::vector<uint8_t> bytes;
  auto put = [&](uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  const int records = 3;
  put(records, 8);
  for (int r = 0; r < records; ++r) {
    if (kind == 0) {
      put(r, 4), put(static_cast<uint64_t>(r % 3), 4), put(640, 8), put(480, 8);
      for (int p = 0; p < 3 + (r % 3 == 1) + (r % 3 == 2); ++p) put(rng(), 8);
    } else if (kind == 1) {
      put(r, 4);
      for (int f = 0; f < 7; ++f) put(rng(), 8);
      put(r, 4);
      for (unsigned k = rng() % 6; k > 0; --k) bytes.push_back(static_cast<uint8_t>('a' + k));
      bytes.push_back(0);
      const unsigned q = rng() % 4;
      put(q, 8);
      for (unsigned k = 0; k < q; ++k) put(rng(), 8), put(rng(), 8), put(rng(), 8);
    } else {
      put(r, 8), put(rng(), 8), put(rng(), 8), put(rng(), 8), put(r, 1), put(2, 1), put(r + 7, 1);
      put(rng(), 8);
      const unsigned t = rng() % 5;
      put(t, 8);
      for (unsigned k = 0; k < t; ++k) put(rng(), 4), put(k, 4);
    }
  }
  return bytes;
}

}  // namespace

TEST(file_reader_matches_byte_reader_through_tiny_windows) {
  char path[] = "/tmp/tolv-native-XXXXXX";
  const int fd = mkstemp(path);
  CHECK(fd >= 0);
  std::mt19937 rng(11);
  for (int kind = 0; kind < 3; ++kind) {
    const std::vector<uint8_t> file = random_file(kind, rng);
    for (size_t cut = 0; cut <= file.size(); ++cut) {
      CHECK(ftruncate(fd, 0) == 0 && pwrite(fd, file.data(), cut, 0) == static_cast<ssize_t>(cut));
      ByteReader bytes(ByteSpan{file.data(), cut});
      const std::string expected = outcome(kind, bytes);
      for (size_t window : {1, 2, 3, 7, 8, 13, 64}) {
        IoResult<std::unique_ptr<FileReader>> reader = FileReader::open(path, window);
        CHECK(static_cast<bool>(reader));
        CHECK_EQ(outcome(kind, *reader.value()), expected,
                 "kind " + std::to_string(kind) + ", cut " + std::to_string(cut) + ", window " +
                     std::to_string(window));
      }
    }
  }
  close(fd);
  std::remove(path);
}

namespace {

// A read(2) that fails with EIO once fail_after bytes have been delivered, and counts
// what it delivered.
size_t fail_after = 0;
size_t delivered = 0;
ssize_t failing_read(int fd, void* buffer, size_t count) {
  if (delivered >= fail_after) {
    errno = EIO;
    return -1;
  }
  if (count > fail_after - delivered) count = fail_after - delivered;
  const ssize_t got = ::read(fd, buffer, count);
  if (got > 0) delivered += static_cast<size_t>(got);
  return got;
}

// Progress lines go to standard error too, so that their order against an abort's
// diagnostic shows in one stream.
struct StderrLineSink final : LineSink {
  void write_line(std::string_view line) override { write_stderr(line); }
};

// What a reader call shows from outside: its result or error, and everything written
// to standard error (progress lines included) while it ran.
std::string observed_read(const std::string& path, size_t window, size_t fail_at) {
  fail_after = fail_at;
  delivered = 0;
  const int saved = dup(2);
  FILE* captured = std::tmpfile();
  dup2(fileno(captured), 2);
  std::string result;
  try {
    IoResult<std::unique_ptr<FileReader>> reader = FileReader::open(path, window, &failing_read);
    StderrLineSink sink;
    IoResult<size_t> cameras = parse_file<size_t>(
        *reader.value(), sink, [](FileReader& file, LineSink& progress) {
          size_t count = 0;
          parse_cameras_from(file, progress, [&](Camera&&) { ++count; });
          return count;
        });
    result = cameras ? "cameras " + std::to_string(cameras.value()) : cameras.error().display();
  } catch (const Abort& abort) {
    result = "abort " + abort.message;
  }
  dup2(saved, 2);
  close(saved);
  std::string err;
  std::rewind(captured);
  for (int c; (c = std::fgetc(captured)) != EOF;) err += static_cast<char>(c);
  std::fclose(captured);
  const std::string tail = "delivered " + std::to_string(delivered);
  return result + "|" + err + "|" + tail;
}

}  // namespace

TEST(files_are_read_to_their_end_and_read_errors_win_over_everything) {
  // Two cameras, then a record with an unknown model (malformed), then more bytes.
  std::vector<uint8_t> file;
  auto put = [&](uint64_t v, int width) {
    for (int i = 0; i < width; ++i) file.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(3, 8);
  for (int r = 0; r < 2; ++r) {
    put(r, 4), put(0, 4), put(640, 8), put(480, 8);
    for (int p = 0; p < 3; ++p) put(p, 8);
  }
  const size_t valid_end = file.size();
  put(9, 4), put(11, 4);
  const size_t malformed_end = file.size();
  for (int i = 0; i < 300; ++i) put(i, 1);

  char path[] = "/tmp/tolv-native-XXXXXX";
  const int fd = mkstemp(path);
  CHECK(fd >= 0);
  struct Case {
    uint8_t record_count;
    size_t length;
    size_t fail_at;
    std::string expected;  // "%" stands for the diagnostic's location line
  };
  const std::string eio = "Input/output error (os error 5)||delivered ";
  const Case cases[] = {
      // The data abort waits for the end of the file; a read error anywhere before
      // the end wins, with no progress line and no diagnostic.
      {3, file.size(), SIZE_MAX,
       "abort Invalid enum value|Found 3 cameras\n%Invalid enum value\n|delivered " +
           std::to_string(file.size())},
      {3, file.size(), malformed_end, eio + std::to_string(malformed_end)},
      {3, file.size(), malformed_end + 100, eio + std::to_string(malformed_end + 100)},
      {3, file.size(), file.size(), eio + std::to_string(file.size())},
      {3, file.size(), 20, eio + "20"},
      // Two records and bytes after them: the line appears once the end is
      // read, and a failure while reading those bytes is still the call's error.
      {2, valid_end + 40, SIZE_MAX, "cameras 2|Found 2 cameras\n|delivered " + std::to_string(valid_end + 40)},
      {2, valid_end + 40, valid_end + 10, eio + std::to_string(valid_end + 10)},
      {2, valid_end + 40, valid_end + 40, eio + std::to_string(valid_end + 40)},
      // Cut inside the header: a range abort and no line, unless the read fails first.
      {3, 5, SIZE_MAX, "abort range end index 8 out of range for slice of length 5|%range end index "
                    "8 out of range for slice of length 5\n|delivered 5"},
      {3, 5, 5, eio + "5"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes(file.begin(), file.begin() + static_cast<long>(c.length));
    bytes[0] = c.record_count;
    CHECK(ftruncate(fd, 0) == 0 &&
          pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    for (size_t window : {size_t{1}, size_t{16}, size_t{4096}, FileReader::kDefaultWindowBytes}) {
      std::string got = observed_read(path, window, c.fail_at);
      const size_t location = got.find("thread '<unnamed>' panicked at src/");
      if (location != std::string::npos) {
        got.replace(location, got.find('\n', location) + 1 - location, "%");
      }
      CHECK_EQ(got, c.expected,
               "length " + std::to_string(c.length) + ", failing at " + std::to_string(c.fail_at) +
                   ", window " + std::to_string(window));
    }
  }
  close(fd);
  std::remove(path);
}

TEST(aborts_behind_a_barrier_leave_the_installed_preamble_alone) {
  // As a finalizer's call into the module would, in the middle of a parse.
  struct CountingPreamble final : AbortPreamble {
    int runs = 0;
    void run() override { ++runs; }
  } preamble;
  {
    AbortPreambleBarrier barrier;
    CHECK_EQ(tolv_test::abort_message([] { abort_call("another call"); }),
             std::string("another call"));
    struct InnerPreamble final : AbortPreamble {
      void run() override {}
    } inner;  // installed and uninstalled behind the barrier
  }
  CHECK_EQ(preamble.runs, 0);
  CHECK_EQ(tolv_test::abort_message([] { abort_call("this parse"); }), std::string("this parse"));
  CHECK_EQ(preamble.runs, 1);
}
