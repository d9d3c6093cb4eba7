// FileReader against ByteReader: the same files, read through windows of a few bytes,
// give the same records and the same abort messages at every cut.
#include <unistd.h>

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
