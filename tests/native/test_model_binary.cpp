// The binary model parsers into columns, on byte buffers built in the tests. No Python.h.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "model_io/binary_model.hpp"
#include "model_io/format_error.hpp"
#include "test_runner.hpp"

using namespace tolv;
using namespace tolv::model_io;

namespace {

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

// Appends little-endian fields; mark() is the offset the next field starts at.
struct FileBuilder {
  std::vector<uint8_t> bytes;

  FileBuilder& put(uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  FileBuilder& u8(uint8_t v) { return put(v, 1); }
  FileBuilder& u32(uint32_t v) { return put(v, 4); }
  FileBuilder& i32(int32_t v) { return put(static_cast<uint32_t>(v), 4); }
  FileBuilder& u64(uint64_t v) { return put(v, 8); }
  FileBuilder& f64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return put(bits, 8);
  }
  FileBuilder& f64s(std::initializer_list<double> values) {
    for (double v : values) f64(v);
    return *this;
  }
  FileBuilder& text(const std::string& s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  FileBuilder& name(const std::string& s) { return text(s).u8(0); }
  FileBuilder& zeros(size_t n) {
    bytes.resize(bytes.size() + n, 0);
    return *this;
  }
  size_t mark() const { return bytes.size(); }
  ByteSpan span(size_t length) const { return ByteSpan{bytes.data(), length}; }
  ByteSpan all() const { return span(bytes.size()); }
};

template <class Container, class T>
bool holds(const Container& actual, std::initializer_list<T> expected) {
  return std::equal(actual.begin(), actual.end(), expected.begin(), expected.end());
}

bool all_nan(const double* values, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    if (!std::isnan(values[k])) return false;
  }
  return true;
}

enum Parser { Cameras, Images, Points, Rigs, Frames };
const char* const kParserNames[] = {"cameras", "images", "points3D", "rigs", "frames"};

// How a parse ended: returned, FormatError, or some other exception (always a fault).
struct Outcome {
  enum Kind { Parsed, Format, Other } kind = Parsed;
  uint64_t where = 0;
  std::string message;
};

Outcome parse_with(Parser parser, ByteSpan bytes) {
  Outcome outcome;
  try {
    switch (parser) {
      case Cameras: parse_cameras_binary(bytes); break;
      case Images: parse_images_binary(bytes); break;
      case Points: parse_points3D_binary(bytes); break;
      case Rigs: parse_rigs_binary(bytes); break;
      case Frames: parse_frames_binary(bytes); break;
    }
  } catch (const FormatError& error) {
    outcome.kind = Outcome::Format;
    outcome.where = error.where;
    outcome.message = error.message;
    CHECK(error.place == FormatError::Place::Byte);
  } catch (...) {
    outcome.kind = Outcome::Other;
  }
  return outcome;
}

// Three cameras: the third repeats the first id; ends at byte 248.
FileBuilder camera_file() {
  FileBuilder f;
  f.u64(3).u32(1).i32(0).u64(1920).u64(1080).f64s({500, 320, 240});  // 8..56
  f.u32(7).i32(11).u64(kMax64).u64(0);                                // 56..208
  for (int k = 1; k <= 16; ++k) f.f64(k);
  f.u32(1).i32(17).u64(640).u64(480).f64s({2.5, -1});  // 208..248
  return f;
}

// Three images: two 2D points (one without a 3D point), none with an empty name, one.
FileBuilder image_file() {
  FileBuilder f;
  f.u64(3).u32(51).f64s({1, 0, 0, 0}).f64s({0.5, -1, 2}).u32(1).name("a.jpg").u64(2);
  f.f64s({10.5, 20.5}).u64(42).f64s({30.5, 40.5}).u64(kMax64);
  f.u32(2).f64s({0, 1, 0, 0}).f64s({0, 0, 0}).u32(3).name("").u64(0);
  f.u32(51).f64s({0, 0, 1, 0}).f64s({3, 2, 1}).u32(1).name("\xE5\x86\x99/\xC3\xA9").u64(1);
  f.f64s({-1.25, 7}).u64(3);
  return f;
}

// Three points: track lengths 2, 0 and 1, the third repeating the second id.
FileBuilder point_file() {
  FileBuilder f;
  f.u64(3).u64(kMax64).f64s({1, 2.5, -3}).u8(0).u8(128).u8(255).f64(0.75).u64(2);
  f.u32(1).u32(0).u32(2).u32(7);
  f.u64(9).f64s({0, 0, 0}).u8(1).u8(2).u8(3).f64(0).u64(0);
  f.u64(9).f64s({4, 5, 6}).u8(9).u8(8).u8(7).f64(1.5).u64(1).u32(3).u32(10);
  return f;
}

// As COLMAP writes them: rig 5 with reference camera 1, camera 2 with a pose, camera 3
// without one and IMU 42 with a flag byte of 7; rig 9 without sensors.
FileBuilder rig_file() {
  FileBuilder f;
  f.u64(2).u32(5).u32(4).i32(0).u32(1);
  f.i32(0).u32(2).u8(1).f64s({0.9, 0.1, 0.2, 0.3}).f64s({7, 8, 9});
  f.i32(0).u32(3).u8(0);
  f.i32(1).u32(42).u8(7).f64s({1, 0, 0, 0}).f64s({-1, -2, -3});
  f.u32(9).u32(0);
  return f;
}

// Frame 3 with a camera and an IMU data id, frame 4 with none.
FileBuilder frame_file() {
  FileBuilder f;
  f.u64(2).u32(3).u32(5).f64s({1, 0, 0, 0}).f64s({1, 2, 3}).u32(2);
  f.i32(0).u32(1).u64(11).i32(1).u32(42).u64(kMax64);
  f.u32(4).u32(9).f64s({0, 0, 0, 1}).f64s({-4, -5, -6}).u32(0);
  return f;
}

FileBuilder valid_file(Parser parser) {
  switch (parser) {
    case Cameras: return camera_file();
    case Images: return image_file();
    case Points: return point_file();
    case Rigs: return rig_file();
    case Frames: return frame_file();
  }
  return {};
}

}  // namespace

TEST(binary_cameras_land_in_their_columns) {
  FileBuilder f = camera_file();
  f.u64(99).u32(3);  // trailing bytes are ignored
  const CameraColumns c = parse_cameras_binary(f.all());
  CHECK(holds(c.ids, {1u, 7u, 1u}));  // a repeated id stays
  CHECK(holds(c.model_ids, {0, 11, 17}));
  CHECK(holds(c.widths, {uint64_t{1920}, kMax64, uint64_t{640}}));
  CHECK(holds(c.heights, {uint64_t{1080}, uint64_t{0}, uint64_t{480}}));
  CHECK(holds(c.param_offsets, {int64_t{0}, int64_t{3}, int64_t{19}, int64_t{21}}));
  CHECK_EQ(c.params.size(), size_t{21});
  CHECK(c.params[0] == 500 && c.params[2] == 240 && c.params[3] == 1 && c.params[18] == 16);
  CHECK(c.params[19] == 2.5 && c.params[20] == -1);
}

TEST(binary_images_land_in_their_columns) {
  const ImageColumns c = parse_images_binary(image_file().all());
  CHECK(holds(c.ids, {51u, 2u, 51u}));
  CHECK(holds(c.camera_ids, {1u, 3u, 1u}));
  CHECK(holds(c.quaternions, {1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0}));
  CHECK(holds(c.translations, {0.5, -1.0, 2.0, 0.0, 0.0, 0.0, 3.0, 2.0, 1.0}));
  CHECK(holds(c.name_offsets, {int64_t{0}, int64_t{5}, int64_t{5}, int64_t{11}}));
  CHECK_EQ(std::string(c.name_bytes.begin(), c.name_bytes.end()),
           std::string("a.jpg\xE5\x86\x99/\xC3\xA9"));
  CHECK(holds(c.points2D_offsets, {int64_t{0}, int64_t{2}, int64_t{2}, int64_t{3}}));
  CHECK(holds(c.xys, {10.5, 20.5, 30.5, 40.5, -1.25, 7.0}));
  CHECK(holds(c.point3D_ids, {uint64_t{42}, kMax64, uint64_t{3}}));
}

TEST(binary_points_land_in_their_columns) {
  const PointColumns c = parse_points3D_binary(point_file().all());
  CHECK(holds(c.ids, {kMax64, uint64_t{9}, uint64_t{9}}));
  CHECK(holds(c.xyz, {1.0, 2.5, -3.0, 0.0, 0.0, 0.0, 4.0, 5.0, 6.0}));
  CHECK(holds(c.rgb, {0, 128, 255, 1, 2, 3, 9, 8, 7}));
  CHECK(holds(c.errors, {0.75, 0.0, 1.5}));
  CHECK(holds(c.track_offsets, {int64_t{0}, int64_t{2}, int64_t{2}, int64_t{3}}));
  CHECK(holds(c.track_image_ids, {1u, 2u, 3u}));
  CHECK(holds(c.track_point2D_idxs, {0u, 7u, 10u}));
}

TEST(binary_rigs_put_the_reference_sensor_first_without_pose) {
  const RigColumns c = parse_rigs_binary(rig_file().all());
  CHECK(holds(c.ids, {5u, 9u}));
  CHECK(holds(c.sensor_offsets, {int64_t{0}, int64_t{4}, int64_t{4}}));  // rig 9 has none
  CHECK(holds(c.sensor_types, {0, 0, 0, 1}));
  CHECK(holds(c.sensor_ids, {1u, 2u, 3u, 42u}));
  CHECK(holds(c.has_pose, {0, 1, 0, 7}));  // the flag byte as stored
  CHECK(c.sensor_quaternions.size() == 16 && c.sensor_translations.size() == 12);
  CHECK(all_nan(&c.sensor_quaternions[0], 4) && all_nan(&c.sensor_translations[0], 3));
  CHECK(c.sensor_quaternions[4] == 0.9 && c.sensor_quaternions[7] == 0.3);
  CHECK(c.sensor_translations[3] == 7 && c.sensor_translations[5] == 9);
  CHECK(all_nan(&c.sensor_quaternions[8], 4) && all_nan(&c.sensor_translations[6], 3));
  CHECK(c.sensor_quaternions[12] == 1 && c.sensor_translations[11] == -3);
}

TEST(binary_frames_land_in_their_columns) {
  const FrameColumns c = parse_frames_binary(frame_file().all());
  CHECK(holds(c.ids, {3u, 4u}));
  CHECK(holds(c.rig_ids, {5u, 9u}));
  CHECK(holds(c.quaternions, {1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0}));
  CHECK(holds(c.translations, {1.0, 2.0, 3.0, -4.0, -5.0, -6.0}));
  CHECK(holds(c.data_offsets, {int64_t{0}, int64_t{2}, int64_t{2}}));
  CHECK(holds(c.data_sensor_types, {0, 1}));
  CHECK(holds(c.data_sensor_ids, {1u, 42u}));
  CHECK(holds(c.data_ids, {uint64_t{11}, kMax64}));
}

TEST(binary_empty_files_have_no_rows) {
  FileBuilder f;
  f.u64(0);
  CHECK(parse_cameras_binary(f.all()).param_offsets.size() == 1);
  CHECK(parse_images_binary(f.all()).points2D_offsets.size() == 1);
  CHECK(parse_points3D_binary(f.all()).track_offsets.size() == 1);
  CHECK(parse_rigs_binary(f.all()).sensor_offsets.size() == 1);
  CHECK(parse_frames_binary(f.all()).data_offsets.size() == 1);
}

TEST(binary_every_cut_fails_with_a_place_inside_the_bytes) {
  for (Parser parser : {Cameras, Images, Points, Rigs, Frames}) {
    const FileBuilder f = valid_file(parser);
    CHECK_EQ(parse_with(parser, f.all()).kind, Outcome::Parsed, kParserNames[parser]);
    for (size_t length = 0; length < f.bytes.size(); ++length) {
      // A copy of exactly the cut length, so ASan sees any read past it.
      const std::vector<uint8_t> cut(f.bytes.begin(), f.bytes.begin() + length);
      const Outcome outcome = parse_with(parser, ByteSpan{cut.data(), cut.size()});
      const std::string where = std::string(kParserNames[parser]) + " cut at " +
                                std::to_string(length) + ": " + outcome.message;
      CHECK_EQ(outcome.kind, Outcome::Format, where);
      CHECK(outcome.where <= length);
      CHECK(!outcome.message.empty());
    }
  }
}

TEST(binary_chosen_failures_name_the_record_and_the_field) {
  const uint64_t k62 = uint64_t{1} << 62;
  const uint64_t k40 = uint64_t{1} << 40;
  const struct Case {
    Parser parser;
    std::function<FileBuilder()> build;
    size_t length;  // the bytes given to the parser; 0 for all of them
    uint64_t where;
    std::string message;
  } cases[] = {
      {Cameras, camera_file, 3, 0,
       "the file is cut off at its number of cameras: 8 bytes needed, 3 remain"},
      {Cameras, camera_file, 100, 0,
       "the file declares 3 cameras, but its 92 remaining bytes hold at most 2"},
      {Cameras, camera_file, 150, 80,
       "camera 7 is cut off at its parameters: 128 bytes needed, 70 remain"},
      {Cameras, camera_file, 210, 208,
       "camera record 3 of 3 is cut off at its id: 4 bytes needed, 2 remain"},
      {Cameras, camera_file, 245, 232,
       "camera 1 is cut off at its parameters: 16 bytes needed, 13 remain"},
      {Cameras, [] { return FileBuilder().u64(kMax64).zeros(9); }, 0, 0,
       "the file declares 18,446,744,073,709,551,615 cameras, but its 9 remaining bytes hold "
       "at most 0"},
      {Images, [] { return FileBuilder().u64(k62).zeros(1000); }, 0, 0,
       "the file declares 4,611,686,018,427,387,904 images, but its 1,000 remaining bytes hold "
       "at most 13"},
      {Images, [] { return FileBuilder().u64(2).zeros(1); }, 0, 0,
       "the file declares 2 images, but its 1 remaining byte holds at most 0"},
      {Images,
       [] { return FileBuilder().u64(1).u32(51).zeros(60).name("a").u64(5000).zeros(3112); }, 0, 74,
       "image 51 declares 5,000 2D points, but 3,112 bytes remain"},
      {Images, [] { return FileBuilder().u64(1).u32(51).zeros(60).name("a").u64(kMax64).zeros(1); },
       0, 74, "image 51 declares 18,446,744,073,709,551,615 2D points, but 1 byte remains"},
      {Images, [] { return FileBuilder().u64(1).u32(51).zeros(60).text("abcdefghijklm"); }, 0, 72,
       "image 51 is cut off: its name has no terminating NUL byte"},
      {Images, [] { return FileBuilder().u64(1).u32(51).zeros(60).name("abcdefgh").zeros(3); }, 0,
       81, "image 51 is cut off at its number of 2D points: 8 bytes needed, 3 remain"},
      {Points, [] { return FileBuilder().u64(1).u64(8).zeros(35).u64(k40).zeros(100); }, 0, 51,
       "point 8 declares 1,099,511,627,776 track elements, but 100 bytes remain"},
      {Points,
       [] { return FileBuilder().u64(2).u64(1).zeros(35).u64(10).zeros(80).u64(8).zeros(38); }, 0,
       182, "point 8 is cut off at its track length: 8 bytes needed, 3 remain"},
      {Points, [] { return FileBuilder().u64(2).u64(1).zeros(35).u64(10).zeros(80).u32(8); }, 0,
       139, "point record 2 of 2 is cut off at its id: 8 bytes needed, 4 remain"},
      {Rigs, [] { return FileBuilder().u64(1).u32(5).u32(4).zeros(20); }, 0, 12,
       "rig 5 declares 4 sensors, but 20 bytes remain"},
      {Rigs, [] { return FileBuilder().u64(1).u32(5).u32(0xffffffff).zeros(7); }, 0, 12,
       "rig 5 declares 4,294,967,295 sensors, but 7 bytes remain"},
      {Rigs, rig_file, 30, 12, "rig 5 declares 4 sensors, but 14 bytes remain"},
      {Rigs, rig_file, 60, 33,
       "rig 5 is cut off at the quaternion of its sensor 2: 32 bytes needed, 27 remain"},
      {Rigs, rig_file, 140, 139,
       "rig 5 is cut off at the translation of its sensor 4: 24 bytes needed, 1 remains"},
      {Rigs, rig_file, 106, 106,
       "rig 5 is cut off at the pose flag of its sensor 4: 1 byte needed, 0 remain"},
      {Rigs, [] { return FileBuilder().u64(2).u32(5).u32(0).u32(9).u32(1).zeros(3); }, 0, 20,
       "rig 9 declares 1 sensor, but 3 bytes remain"},
      {Frames, [] { return FileBuilder().u64(1).u32(3).u32(5).zeros(56).u32(2).zeros(20); }, 0, 72,
       "frame 3 declares 2 data ids, but 20 bytes remain"},
      {Frames, frame_file, 140, 0,
       "the file declares 2 frames, but its 132 remaining bytes hold at most 1"},
      {Frames, frame_file, 156, 148,
       "frame 4 is cut off at its translation: 24 bytes needed, 8 remain"},
  };
  for (const Case& c : cases) {
    const FileBuilder f = c.build();
    const size_t length = c.length == 0 ? f.bytes.size() : c.length;
    const Outcome outcome = parse_with(c.parser, f.span(length));
    CHECK_EQ(outcome.kind, Outcome::Format, c.message);
    CHECK_EQ(outcome.message, c.message);
    CHECK_EQ(outcome.where, c.where, c.message);
  }
}

TEST(binary_unknown_camera_models_name_the_id_and_the_camera) {
  for (int32_t model_id : {18, 99, -1, std::numeric_limits<int32_t>::min()}) {
    FileBuilder f;  // a valid camera first, the unknown model in the second
    f.u64(2).u32(1).i32(17).u64(1).u64(1).f64s({1, 2});
    f.u32(7).i32(model_id).u64(640).u64(480).zeros(40);
    const Outcome outcome = parse_with(Cameras, f.all());
    CHECK_EQ(outcome.message, "camera 7 has camera model id " + std::to_string(model_id) +
                                  ", which is not a COLMAP camera model (0 to 17)");
    CHECK_EQ(outcome.where, uint64_t{52});
  }
  // Every model id the table knows reads its parameter count.
  for (int32_t model_id = 0; model_id <= 17; ++model_id) {
    FileBuilder f;
    f.u64(1).u32(1).i32(model_id).u64(1).u64(1).zeros(8 * 16);
    const CameraColumns c = parse_cameras_binary(f.all());
    CHECK(c.param_offsets[1] >= 2 && c.param_offsets[1] <= 16);
    CHECK_EQ(c.params.size(), static_cast<size_t>(c.param_offsets[1]));
  }
}
