// Parsers of cameras.bin, images.bin and points3D.bin on byte buffers built in the tests.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "colmap_io.hpp"
#include "test_runner.hpp"

using namespace tolv;

namespace {

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

std::string range_message(uint64_t end, uint64_t length) {
  return "range end index " + std::to_string(end) + " out of range for slice of length " +
         std::to_string(length);
}

// Appends little-endian fields and remembers where each ends, so the message for a
// file cut short follows from the layout alone.
struct FileBuilder {
  std::vector<uint8_t> bytes;
  std::vector<std::pair<size_t, bool>> field_ends;  // end offset; true for a 0-terminated name

  FileBuilder& put(uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    field_ends.push_back({bytes.size(), false});
    return *this;
  }
  FileBuilder& u8(uint8_t v) { return put(v, 1); }
  FileBuilder& u32(uint32_t v) { return put(v, 4); }
  FileBuilder& u64(uint64_t v) { return put(v, 8); }
  FileBuilder& f64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return put(bits, 8);
  }
  FileBuilder& name(const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
    field_ends.push_back({bytes.size(), true});
    return *this;
  }

  ByteSpan all() const { return ByteSpan{bytes.data(), bytes.size()}; }
  std::string cut_message(size_t length) const {
    for (const auto& [end, is_name] : field_ends) {
      if (end <= length) continue;
      if (!is_name) return range_message(end, length);
      const std::string n = std::to_string(length);
      return "index out of bounds: the len is " + n + " but the index is " + n;
    }
    return "<no abort>";
  }
};

// Element-wise, whatever the container's allocator.
template <class Container, class T>
bool holds(const Container& actual, std::initializer_list<T> expected) {
  return std::equal(actual.begin(), actual.end(), expected.begin(), expected.end());
}

template <class Parse>
void check_every_cut(const FileBuilder& file, Parse parse) {
  SilentLineSink sink;
  for (size_t length = 0; length < file.bytes.size(); ++length) {
    CHECK_EQ(tolv_test::abort_message([&] { parse(ByteSpan{file.bytes.data(), length}, sink); }),
             file.cut_message(length), "cut at " + std::to_string(length));
  }
}

}  // namespace

TEST(cameras_decode_and_every_cut_names_its_field) {
  FileBuilder f;  // the third camera repeats the first id
  f.u64(3).u32(1).u32(0).u64(1920).u64(1080).f64(500.0).f64(320.0).f64(240.0);
  f.u32(7).u32(6).u64(kMax64).u64(0);
  for (int k = 1; k <= 12; ++k) f.f64(k);
  f.u32(1).u32(1).u64(640).u64(480).f64(1.5).f64(2.5).f64(3.5).f64(4.5);
  check_every_cut(f, [](ByteSpan b, LineSink& s) { parse_cameras(b, s); });
  f.u64(99).u32(3);  // trailing bytes are ignored
  SilentLineSink sink;
  CameraMap cameras = parse_cameras(f.all(), sink);
  CHECK_EQ(cameras.size(), 2u);
  const Camera& first = cameras.at(1);
  CHECK(first.model_id == CameraModelId::Pinhole && first.width == 640 && first.height == 480);
  CHECK(holds(first.params, {1.5, 2.5, 3.5, 4.5}));
  const Camera& seventh = cameras.at(7);
  CHECK(seventh.model_id == CameraModelId::FullOpenCV && seventh.width == kMax64);
  CHECK(seventh.params.size() == 12 && seventh.params[11] == 12.0);
}

TEST(camera_file_spelled_out_in_bytes) {
  // count 1; id 1, model 0, 1920 x 1080, params 500, 320, 240.
  const std::vector<uint8_t> bytes = {
      1, 0, 0, 0, 0, 0, 0, 0,  1, 0, 0, 0,  0, 0, 0, 0,  0x80, 7, 0, 0, 0, 0, 0, 0,
      0x38, 4, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0x40, 0x7f, 0x40,
      0, 0, 0, 0, 0, 0, 0x74, 0x40,  0, 0, 0, 0, 0, 0, 0x6e, 0x40};
  SilentLineSink sink;
  CameraMap cameras = parse_cameras(ByteSpan{bytes.data(), bytes.size()}, sink);
  CHECK(cameras.at(1).width == 1920 && cameras.at(1).height == 1080);
  CHECK(holds(cameras.at(1).params, {500.0, 320.0, 240.0}));
  CHECK_EQ(tolv_test::abort_message([&] { parse_cameras(ByteSpan{bytes.data(), 55}, sink); }),
           range_message(56, 55));
}

TEST(bad_camera_model_codes) {
  const struct {
    int32_t code;
    int sizes_present;  // how many of width, height follow the code
    std::string expected;
  } cases[] = {
      {11, 0, "Invalid enum value"},
      {-2, 0, "Invalid enum value"},
      {std::numeric_limits<int32_t>::min(), 2, "Invalid enum value"},
      {std::numeric_limits<int32_t>::max(), 2, "Invalid enum value"},
      {-1, 2, "Cannot get params for invalid camera"},
      {-1, 1, range_message(32, 24)},
  };
  SilentLineSink sink;
  for (const auto& c : cases) {
    FileBuilder f;
    f.u64(1).u32(1).u32(static_cast<uint32_t>(c.code));
    for (int k = 0; k < c.sizes_present; ++k) f.u64(100);
    CHECK_EQ(tolv_test::abort_message([&] { parse_cameras(f.all(), sink); }), c.expected,
             "code " + std::to_string(c.code));
  }
}

TEST(images_decode_and_every_cut_names_its_field) {
  FileBuilder f;  // the third image repeats the first id
  f.u64(3).u32(5).f64(1).f64(0).f64(0).f64(0).f64(0.5).f64(-1).f64(2).u32(1).name("a.jpg");
  f.u64(2).f64(10.5).f64(20.5).u64(42).f64(30.5).f64(40.5).u64(kMax64);
  f.u32(6).f64(0).f64(1).f64(0).f64(0).f64(0).f64(0).f64(0).u32(9).name("").u64(0);
  f.u32(5).f64(0).f64(0).f64(1).f64(0).f64(3).f64(2).f64(1).u32(2).name("\xC3\xA9");
  f.u64(1).f64(-1.25).f64(7).u64(3);
  check_every_cut(f, [](ByteSpan b, LineSink& s) { parse_images(b, s); });
  SilentLineSink sink;
  ImageMap images = parse_images(f.all(), sink);
  CHECK_EQ(images.size(), 2u);
  const Image& fifth = images.at(5);
  CHECK_EQ(fifth.name, std::string("\xC3\xA9"));  // raw bytes; Latin-1 decoding comes later
  CHECK(fifth.rot.y == 1.0 && fifth.trans[0] == 3.0 && fifth.camera_id == 2);
  CHECK(holds(fifth.xys, {std::array<double, 2>{-1.25, 7.0}}));
  CHECK(holds(fifth.point3D_ids, {point3D_t{3}}));
  const Image& sixth = images.at(6);
  CHECK(sixth.name.empty() && sixth.camera_id == 9 && sixth.xys.empty() && sixth.point3D_ids.empty());
  // The sink sees every record in file order, the replaced one included.
  std::vector<Image> all;
  parse_images(f.all(), sink, [&](Image&& image) { all.push_back(std::move(image)); });
  CHECK(all.size() == 3 && all[0].name == "a.jpg");
  CHECK(holds(all[0].point3D_ids, {point3D_t{42}, kMax64}));
  CHECK(holds(all[0].xys, {std::array<double, 2>{10.5, 20.5}, std::array<double, 2>{30.5, 40.5}}));
}

TEST(points_decode_and_every_cut_names_its_field) {
  FileBuilder f;  // the third point repeats the second id
  f.u64(3).u64(kMax64).f64(1).f64(2.5).f64(-3).u8(0).u8(128).u8(255).f64(0.75).u64(2);
  f.u32(1).u32(0).u32(2).u32(7);
  f.u64(9).f64(0).f64(0).f64(0).u8(1).u8(2).u8(3).f64(0).u64(0);
  f.u64(9).f64(4).f64(5).f64(6).u8(9).u8(8).u8(7).f64(1.5).u64(1).u32(3).u32(10);
  check_every_cut(f, [](ByteSpan b, LineSink& s) { parse_points3D(b, s); });
  SilentLineSink sink;
  Point3DMap points = parse_points3D(f.all(), sink);
  CHECK_EQ(points.size(), 2u);
  const Point3D& far = points.at(kMax64);
  CHECK(far.xyz[1] == 2.5 && far.color.r == 0 && far.color.g == 128 && far.color.b == 255);
  CHECK(far.error == 0.75 && far.track.size() == 2);
  CHECK(far.track[1].image_id == 2 && far.track[1].point2D_idx == 7);
  const Point3D& ninth = points.at(9);
  CHECK(ninth.xyz[0] == 4.0 && ninth.color.r == 9 && ninth.track.size() == 1);
  CHECK(ninth.track[0].image_id == 3 && ninth.track[0].point2D_idx == 10);
}

TEST(huge_counts_end_at_the_first_missing_field) {
  // A per-record count far beyond the data, followed by a few bytes: the message names
  // the end of the first field that does not fit, counted from the end of the count.
  const struct {
    bool image;  // Q of an images.bin record, else T of a points3D.bin record
    uint64_t count;
    size_t bytes_after;
    uint64_t expected_end;
  } cases[] = {
      {true, kMax64, 0, 8},  {true, kMax64, 23, 24},      {true, kMax64, 24, 32},
      {true, 2, 47, 48},     {false, kMax64, 0, 4},       {false, kMax64, 5, 8},
      {false, 3, 23, 24},    {false, uint64_t{1} << 61, 8, 12},
  };
  SilentLineSink sink;
  for (const auto& c : cases) {
    FileBuilder f;
    if (c.image) {
      f.u64(1).u32(1).f64(0).f64(0).f64(0).f64(0).f64(0).f64(0).f64(0).u32(1).name("x");
    } else {
      f.u64(1).u64(1).f64(0).f64(0).f64(0).u8(0).u8(0).u8(0).f64(0);
    }
    const size_t count_end = f.u64(c.count).bytes.size();
    f.bytes.resize(count_end + c.bytes_after, 0);
    const std::string message = tolv_test::abort_message([&] {
      c.image ? (void)parse_images(f.all(), sink) : (void)parse_points3D(f.all(), sink);
    });
    CHECK_EQ(message, range_message(count_end + c.expected_end, f.bytes.size()),
             "count " + std::to_string(c.count));
  }
}

TEST(empty_files_and_progress_lines) {
  struct Recorder final : LineSink {
    std::string text;
    void write_line(std::string_view line) override { text.append(line); }
  } recorder;
  FileBuilder f;
  f.u64(0);
  CHECK(parse_cameras(f.all(), recorder).empty() && parse_images(f.all(), recorder).empty());
  f.bytes[0] = 2;  // the header's count is shown, not the records found
  f.u64(1).f64(0).f64(0).f64(0).u8(0).u8(0).u8(0).f64(0).u64(0);
  CHECK_EQ(tolv_test::abort_message([&] { parse_points3D(f.all(), recorder); }),
           range_message(67, 59));
  CHECK_EQ(recorder.text,
           std::string("Found 0 cameras\nFound 0 registered images.\nFound 2 3D points.\n"));
}
