// The text model parsers on files spelled out in the tests: columns, line handling,
// rounding, integer ranges, and the line and message of each kind of malformed data.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "model_io/format_error.hpp"
#include "model_io/text_model.hpp"
#include "test_runner.hpp"

using namespace tolv;
using namespace tolv::model_io;
using namespace std::string_literals;

namespace {

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

ByteSpan span(const std::string& text) {
  return ByteSpan{reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

template <class Container, class T>
bool holds(const Container& actual, std::initializer_list<T> expected) {
  return actual.size() == expected.size() &&
         std::equal(actual.begin(), actual.end(), expected.begin(),
                    [](auto a, auto e) { return a == static_cast<decltype(a)>(e); });
}

// Equal bit for bit, so NaN equals NaN and 0 differs from -0.
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool all_nan(const double* values, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    if (!std::isnan(values[k])) return false;
  }
  return true;
}

// "line N: message" of the FormatError that f throws, or "<no error>".
std::string failure_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const FormatError& error) {
    return (error.place == FormatError::Place::Line ? "line " : "byte ") +
           std::to_string(error.where) + ": " + error.message;
  }
  return "<no error>";
}

enum class File { Cameras, Images, Points, Rigs, Frames };

void parse(File file, const std::string& text) {
  switch (file) {
    case File::Cameras: parse_cameras_text(span(text)); break;
    case File::Images: parse_images_text(span(text)); break;
    case File::Points: parse_points3D_text(span(text)); break;
    case File::Rigs: parse_rigs_text(span(text)); break;
    case File::Frames: parse_frames_text(span(text)); break;
  }
}

// The first pass sizes every column exactly: nothing is grown later.
template <class T>
bool exact(const Column<T>& column) {
  return column.capacity() == column.size();
}

}  // namespace

TEST(text_cameras_fields_in_their_columns) {
  const std::string text =
      "# Camera list with one line of data per camera:\n"
      "#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]\n"
      "# Number of cameras: 7\n"
      "4294967295 PINHOLE 1920 1080 500 501.5 960 540\n"
      "2\tEUCM  18446744073709551615 0 1 2 3 4 0.5 0.25\n"
      "2 EQUIRECTANGULAR 4000 2000 4000 2000\n"
      "9 RAD_TAN_THIN_PRISM_FISHEYE 1 1 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n";
  const CameraColumns c = parse_cameras_text(span(text));
  CHECK(holds(c.ids, {4294967295u, 2u, 2u, 9u}));  // file order, repeats kept
  CHECK(holds(c.model_ids, {1, 16, 17, 11}));
  CHECK(holds(c.widths, {uint64_t{1920}, kMax64, uint64_t{4000}, uint64_t{1}}));
  CHECK(holds(c.heights, {1080, 0, 2000, 1}));
  CHECK(holds(c.param_offsets, {0, 4, 10, 12, 28}));
  CHECK_EQ(c.params.size(), size_t{28});
  CHECK(c.params[1] == 501.5 && c.params[8] == 0.5 && c.params[11] == 2000 && c.params[27] == 16);
  CHECK(exact(c.params) && exact(c.param_offsets) && exact(c.ids));
}

TEST(text_images_names_points_and_missing_3D_points) {
  const std::string text =
      "# Image list with two lines of data per image:\n"
      "#   IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME\n"
      "#   POINTS2D[] as (X, Y, POINT3D_ID)\n"
      "7 1 0 0 0 0.5 -1 2 3 my photo 1.jpg  \n"
      "10.5 20.5 42 30.5 40.5 -1 1 2 18446744073709551615 \n"
      "8 0 1 0 0 4 5 6 4294967295 \tcaf\xC3\xA9\tx.png\t\n"
      "\n"
      "# a comment between images, and blank lines\n"
      "\n"
      "7 0 0 1 0 7 8 9 1 a\n"
      "  +1.25 -2 +0  \n";
  const ImageColumns m = parse_images_text(span(text));
  CHECK(holds(m.ids, {7u, 8u, 7u}));
  CHECK(holds(m.quaternions, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}));
  CHECK(holds(m.translations, {0.5, -1.0, 2.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0}));
  CHECK(holds(m.camera_ids, {3u, 4294967295u, 1u}));
  // Names keep inner spaces and tabs; the line's own ends are trimmed.
  const std::string names(m.name_bytes.begin(), m.name_bytes.end());
  CHECK_EQ(names, std::string("my photo 1.jpgcaf\xC3\xA9\tx.pnga"));
  CHECK(holds(m.name_offsets, {0, 14, 25, 26}));
  CHECK(holds(m.points2D_offsets, {0, 3, 3, 4}));
  CHECK(holds(m.xys, {10.5, 20.5, 30.5, 40.5, 1.0, 2.0, 1.25, -2.0}));
  CHECK(holds(m.point3D_ids, {uint64_t{42}, kMax64, kMax64, uint64_t{0}}));
  CHECK(exact(m.xys) && exact(m.point3D_ids) && exact(m.name_bytes) && exact(m.quaternions));
}

TEST(text_points3D_tracks_colours_and_errors) {
  const std::string text =
      "# 3D point list with one line of data per point:\n"
      "18446744073709551615 1 2.5 -3 0 128 255 0.75 1 0 2 7 4294967295 4294967295\n"
      "9 4 5 6 1 2 3 0\n"
      "9 0 0 0 9 8 7 1.5 3 10\n";
  const PointColumns p = parse_points3D_text(span(text));
  CHECK(holds(p.ids, {kMax64, uint64_t{9}, uint64_t{9}}));
  CHECK(holds(p.xyz, {1.0, 2.5, -3.0, 4.0, 5.0, 6.0, 0.0, 0.0, 0.0}));
  CHECK(holds(p.rgb, {0, 128, 255, 1, 2, 3, 9, 8, 7}));
  CHECK(holds(p.errors, {0.75, 0.0, 1.5}));
  CHECK(holds(p.track_offsets, {0, 3, 3, 4}));
  CHECK(holds(p.track_image_ids, {1u, 2u, 4294967295u, 3u}));
  CHECK(holds(p.track_point2D_idxs, {0u, 7u, 4294967295u, 10u}));
  CHECK(exact(p.track_image_ids) && exact(p.track_point2D_idxs) && exact(p.xyz));
}

TEST(text_rigs_reference_sensors_and_sensors_without_pose) {
  // As COLMAP writes them: the reference sensor without a pose flag, then each other
  // sensor with its flag and, when the flag is 1, its pose; a rig of no sensors is "ID 0".
  const std::string text =
      "# Rig calib list with one line of data per calib:\n"
      "1 3 CAMERA 1 CAMERA 2 0 IMU 5 1 1 0 0 0 0.5 0.25 -1\n"
      "7 0\n"
      "3 2 IMU 4294967295 INVALID 6 0\n"
      "4 1 CAMERA 3\n";
  const RigColumns r = parse_rigs_text(span(text));
  CHECK(holds(r.ids, {1u, 7u, 3u, 4u}));
  CHECK(holds(r.sensor_offsets, {0, 3, 3, 5, 6}));
  CHECK(holds(r.sensor_types, {0, 0, 1, 1, -1, 0}));
  CHECK(holds(r.sensor_ids, {1u, 2u, 5u, 4294967295u, 6u, 3u}));
  CHECK(holds(r.has_pose, {0, 0, 1, 0, 0, 0}));
  CHECK_EQ(r.sensor_quaternions.size(), size_t{24});
  CHECK_EQ(r.sensor_translations.size(), size_t{18});
  for (size_t k = 0; k < 6; ++k) {
    const bool posed = k == 2;
    CHECK_EQ(all_nan(&r.sensor_quaternions[4 * k], 4), !posed, "sensor " + std::to_string(k));
    CHECK_EQ(all_nan(&r.sensor_translations[3 * k], 3), !posed, "sensor " + std::to_string(k));
  }
  CHECK(r.sensor_quaternions[8] == 1 && r.sensor_quaternions[9] == 0);
  CHECK(r.sensor_translations[6] == 0.5 && r.sensor_translations[8] == -1);
}

TEST(text_frames_poses_and_data_ids) {
  const std::string text =
      "# Frame list with one line of data per frame:\n"
      "1 1 0.5 0.5 0.5 0.5 1 2 3 3 CAMERA 1 1 CAMERA 6 18446744073709551615 IMU 2 9\n"
      "4294967295 7 1 0 0 0 -1 -2 -3 0\n"
      "2 1 1 0 0 0 0 0 0 1 INVALID 4294967295 0\n";
  const FrameColumns f = parse_frames_text(span(text));
  CHECK(holds(f.ids, {1u, 4294967295u, 2u}));
  CHECK(holds(f.rig_ids, {1u, 7u, 1u}));
  CHECK(holds(f.quaternions, {0.5, 0.5, 0.5, 0.5, 1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0}));
  CHECK(holds(f.translations, {1, 2, 3, -1, -2, -3, 0, 0, 0}));
  CHECK(holds(f.data_offsets, {0, 3, 3, 4}));
  CHECK(holds(f.data_sensor_types, {0, 0, 1, -1}));
  CHECK(holds(f.data_sensor_ids, {1u, 6u, 2u, 4294967295u}));
  CHECK(holds(f.data_ids, {uint64_t{1}, kMax64, uint64_t{9}, uint64_t{0}}));
}

TEST(text_line_ends_comments_and_blank_lines_do_not_change_the_data) {
  // One images file in several spellings: each must give the first one's columns.
  const std::string plain = "5 1 0 0 0 1 2 3 1 a b.jpg\n1 2 3 4 5 -1\n6 1 0 0 0 0 0 0 2 c\n7 8 9\n";
  auto crlf = [](std::string text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
  };
  const std::string variants[] = {
      crlf(plain),
      plain.substr(0, plain.size() - 1),  // no final newline
      plain + " ",                        // a blank last line without one
      "# header\n\n  \t\r\n5 1 0 0 0 1 2 3 1 a b.jpg\n1 2 3 4 5 -1\n#\n6 1 0 0 0 0 0 0 2 c\n7 8 9\n\n",
      "\t5  1\t0 0 0 1 2 3   1  a b.jpg \r\n 1\t2 3  4 5 -1\t\r\n6 1 0 0 0 0 0 0 2 c \r\n7 8 9\r",
      "5 1 0 0 0 1 2 3 1 a b.jpg\r\n1 2 3 4 5 -1 \n6 1 0 0 0 0 0 0 2 c\r\n 7 8 9 \t \r\n# end",
  };
  const ImageColumns expected = parse_images_text(span(plain));
  CHECK(holds(expected.point3D_ids, {uint64_t{3}, kMax64, uint64_t{9}}));
  for (size_t v = 0; v < std::size(variants); ++v) {
    const ImageColumns m = parse_images_text(span(variants[v]));
    const std::string label = "variant " + std::to_string(v);
    CHECK_EQ(m.ids == expected.ids && m.camera_ids == expected.camera_ids, true, label);
    CHECK_EQ(m.name_bytes == expected.name_bytes && m.name_offsets == expected.name_offsets, true,
             label);
    CHECK_EQ(m.xys == expected.xys && m.point3D_ids == expected.point3D_ids, true, label);
    CHECK_EQ(m.points2D_offsets == expected.points2D_offsets, true, label);
    CHECK_EQ(m.translations == expected.translations, true, label);
  }
  // An image line that ends the file, its empty 2D points line trimmed away, has none.
  for (const std::string text : {"6 1 0 0 0 0 0 0 2 c", "6 1 0 0 0 0 0 0 2 c\n"}) {
    const ImageColumns m = parse_images_text(span(text));
    CHECK(m.ids.size() == 1 && m.points2D_offsets.size() == 2 && m.points2D_offsets[1] == 0);
  }
  // Files of comments and blank lines alone, or nothing, are empty models.
  for (const std::string text : {"", "\n", "# only a header\r\n\r\n", " \t "}) {
    CHECK(parse_images_text(span(text)).name_offsets.size() == 1);
    CHECK(parse_cameras_text(span(text)).ids.empty());
    CHECK(parse_points3D_text(span(text)).track_offsets.size() == 1);
    CHECK(parse_rigs_text(span(text)).sensor_offsets.size() == 1);
    CHECK(parse_frames_text(span(text)).data_offsets.size() == 1);
  }
}

TEST(text_numbers_round_as_strtod_does) {
  const char* const texts[] = {
      "0.1", "-0.1", "+1.5", "742.58478977490938", "0.30000000000000004",
      "9007199254740993",          // 2^53 + 1: halfway, to even
      "1.7976931348623157e308", "2.2250738585072011e-308", "1e-320", "4.9e-324",
      "2.4703282292062328e-324",   // just above half the smallest subnormal: rounds up
      "2.4703282292062327e-324",   // just below: rounds to 0
      "1e400", "-1e400", "1e-400", "-1e-400", "1e99999999999999999999", "0.0000001e-330",
      "inf", "-inf", "Infinity", "nan", "-0", "1E5", ".5", "5.", "0012.50",
      "123456789012345678901234567890", "-2.5e-3",
  };
  std::string text;
  for (const char* t : texts) text += std::string("1 ") + t + " 0 0 0 0 0 " + t + "\n";
  const PointColumns p = parse_points3D_text(span(text));
  CHECK_EQ(p.ids.size(), std::size(texts));
  for (size_t k = 0; k < std::size(texts); ++k) {
    const double expected = std::strtod(texts[k], nullptr);
    const bool both_nan = std::isnan(expected) && std::isnan(p.xyz[3 * k]);
    CHECK_EQ(same_bits(p.xyz[3 * k], expected) || both_nan, true, texts[k]);
    CHECK_EQ(same_bits(p.errors[k], p.xyz[3 * k]), true, texts[k]);
  }
  // Values written out: the table above must not be only strtod against itself.
  CHECK(same_bits(p.xyz[0], 0.1) && same_bits(p.xyz[3 * 2], 1.5));
  CHECK(same_bits(p.xyz[3 * 5], 9007199254740992.0));
  CHECK(same_bits(p.xyz[3 * 8], 1e-320) && p.xyz[3 * 8] != 0);
  CHECK(same_bits(p.xyz[3 * 10], 4.9406564584124654e-324) && same_bits(p.xyz[3 * 11], 0.0));
  CHECK(p.xyz[3 * 12] == std::numeric_limits<double>::infinity() && p.xyz[3 * 13] < 0);
  CHECK(same_bits(p.xyz[3 * 15], -0.0) && std::isinf(p.xyz[3 * 16]));
  CHECK(std::isnan(p.xyz[3 * 21]));
}

TEST(text_integers_at_the_ends_of_their_ranges) {
  const struct {
    File file;
    std::string text;
    bool ok;
  } cases[] = {
      {File::Points, "18446744073709551615 0 0 0 255 255 255 0\n", true},
      {File::Points, "18446744073709551616 0 0 0 0 0 0 0\n", false},
      {File::Points, "99999999999999999999 0 0 0 0 0 0 0\n", false},
      {File::Points, "000000000000000000000000018446744073709551615 0 0 0 0 0 0 0\n", true},
      {File::Points, "+7 0 0 0 +0 0 0 0 +1 +2\n", true},
      {File::Points, "7 0 0 0 256 0 0 0\n", false},
      {File::Points, "7 0 0 0 0 0 1000 0\n", false},
      {File::Points, "7 0 0 0 0 0 0255 0\n", true},
      {File::Points, "7 0 0 0 0 0 0 0 4294967295 4294967295\n", true},
      {File::Points, "7 0 0 0 0 0 0 0 4294967296 1\n", false},
      {File::Points, "7 0 0 0 0 0 0 0 1 4294967296\n", false},
      {File::Points, "-1 0 0 0 0 0 0 0\n", false},  // -1 only for a 2D point's 3D point
      {File::Images, "4294967295 1 0 0 0 0 0 0 4294967295 a\n1 2 18446744073709551615\n", true},
      {File::Images, "4294967296 1 0 0 0 0 0 0 1 a\n\n", false},
      {File::Images, "1 1 0 0 0 0 0 0 1 a\n1 2 18446744073709551616\n", false},
      {File::Images, "1 1 0 0 0 0 0 0 1 a\n1 2 +-1\n", false},
      {File::Images, "1 1 0 0 0 0 0 0 1 a\n1 2 -01\n", false},
      {File::Cameras, "1 PINHOLE 18446744073709551615 18446744073709551616 1 2 3 4\n", false},
      {File::Rigs, "1 2 CAMERA 1 CAMERA 2 1 1 0 0 0 0 0 0\n", true},
      {File::Rigs, "1 2 CAMERA 1 CAMERA 2 2 1 0 0 0 0 0 0\n", false},  // flags are 0 or 1
      {File::Rigs, "1 4294967296\n", false},
      {File::Frames, "1 1 1 0 0 0 0 0 0 1 CAMERA 4294967296 1\n", false},
      {File::Frames, "1 1 1 0 0 0 0 0 0 1 CAMERA 1 18446744073709551615\n", true},
  };
  for (const auto& c : cases) {
    const std::string failure = failure_of([&] { parse(c.file, c.text); });
    CHECK_EQ(failure == "<no error>", c.ok, c.text + " -> " + failure);
  }
}

TEST(text_malformed_lines_name_the_line_and_what_was_expected) {
  const std::string image = "1 1 0 0 0 0 0 0 1 a.jpg\n";
  const std::string u32 = "an integer from 0 to 4,294,967,295";
  const std::string u64 = "an integer from 0 to 18,446,744,073,709,551,615";
  const struct {
    File file;
    std::string text;
    std::string expected;
  } cases[] = {
      // cameras.txt
      {File::Cameras, "# c\n3 FOO 1 1 1\n", "line 2: camera 3 has camera model 'FOO', which is not a COLMAP camera model"},
      {File::Cameras, "3 pinhole 1 1 1 2 3 4\n", "line 1: camera 3 has camera model 'pinhole', which is not a COLMAP camera model"},
      {File::Cameras, "3 1 1 1 1 2 3 4\n", "line 1: camera 3 has camera model '1', which is not a COLMAP camera model"},
      {File::Cameras, "1 PINHOLE 1 1 1 2 3 4\n\n3 PINHOLE 640 480 1 2 3\n", "line 3: camera 3 (PINHOLE) needs 4 parameters, found 3"},
      {File::Cameras, "3 SIMPLE_PINHOLE 640 480 1 2 3 4\n", "line 1: camera 3 (SIMPLE_PINHOLE) needs 3 parameters, found 4"},
      {File::Cameras, "3 PINHOLE 640 480 1 2 x 4\n", "line 1: expected a number for cx, found 'x'"},
      {File::Cameras, "3 PINHOLE 640\n", "line 1: expected " + u64 + " for HEIGHT, found the end of the line"},
      {File::Cameras, "3 PINHOLE -640 480 1 2 3 4\n", "line 1: expected " + u64 + " for WIDTH, found '-640'"},
      {File::Cameras, "3\n", "line 1: expected a camera model name for MODEL, found the end of the line"},
      {File::Cameras, "x PINHOLE\n", "line 1: expected " + u32 + " for CAMERA_ID, found 'x'"},
      // images.txt
      {File::Images, "1 1 0 abc 0 0 0 0 1 a.jpg\n\n", "line 1: expected a number for QY, found 'abc'"},
      {File::Images, "1 1 0 0 0 0 0 0 1\n\n", "line 1: expected an image name for NAME, found the end of the line"},
      {File::Images, "1 1 0 0 0 0 0 0 1x a.jpg\n\n", "line 1: expected " + u32 + " for CAMERA_ID, found '1x'"},
      {File::Images, "1 1 0 0 0 0 0 0x1 1 a.jpg\n\n", "line 1: expected a number for TZ, found '0x1'"},
      {File::Images, "1 1 0 0 0 0 0 1e 1 a.jpg\n\n", "line 1: expected a number for TZ, found '1e'"},
      {File::Images, "1 1 0 0 0 0 0 ++1 1 a.jpg\n\n", "line 1: expected a number for TZ, found '++1'"},
      {File::Images, "1 1 0 0 0 0 0 +-1 1 a.jpg\n\n", "line 1: expected a number for TZ, found '+-1'"},
      {File::Images, "1 1 0 0 0 0 0 + 1 a.jpg\n\n", "line 1: expected a number for TZ, found '+'"},
      {File::Images, image + "1 2 -1 3\n", "line 2: expected X Y POINT3D_ID triples on the 2D points line of image 1, found 4 values"},
      {File::Images, image + "1 2 -1 3 4\n", "line 2: expected X Y POINT3D_ID triples on the 2D points line of image 1, found 5 values"},
      {File::Images, image + "1 2 -2\n", "line 2: expected -1 or " + u64 + " for POINT3D_ID, found '-2'"},
      {File::Images, image + "1 2 1.5\n", "line 2: expected -1 or " + u64 + " for POINT3D_ID, found '1.5'"},
      {File::Images, image + "1 y 3\n", "line 2: expected a number for Y, found 'y'"},
      {File::Images, image + "# not a comment here\n", "line 2: expected a number for X, found '#'"},
      {File::Images, "1 1 0 0 0 0 0 0 1 a b\0c\n\n"s, "line 1: expected an image name without NUL bytes for NAME, found 'a b\\x00c'"},
      {File::Images, "1 1 0 0 0 0 0 0 1 a\n1 2\0 3\n"s, "line 2: expected a number for Y, found '2\\x00'"},
      {File::Images, "1 1 0 0 0 0 0 0 1 a\n1 2 3\r4 5 6\n", "line 2: expected -1 or " + u64 + " for POINT3D_ID, found '3\\x0d4'"},
      // points3D.txt
      {File::Points, "1 0 0 0 1 2 3 0.5 1\n", "line 1: expected IMAGE_ID POINT2D_IDX pairs in the track of point 1, found 1 values"},
      {File::Points, "# h\n8 0 0 0 1 2 3 0.5 1 2 3\n", "line 2: expected IMAGE_ID POINT2D_IDX pairs in the track of point 8, found 3 values"},
      {File::Points, "1 0 0 0 1 2 256 0.5\n", "line 1: expected an integer from 0 to 255 for B, found '256'"},
      {File::Points, "1 0 0 0 1 2 3\n", "line 1: expected a number for ERROR, found the end of the line"},
      {File::Points, "1 0 0 0 1 2 3 0.5 1 -1\n", "line 1: expected " + u32 + " for POINT2D_IDX, found '-1'"},
      {File::Points, "1 0 nan? 0 1 2 3 0.5\n", "line 1: expected a number for Y, found 'nan?'"},
      {File::Points, "1 0 0 0 1 2 3 0.5 " + std::string(60, '7') + "\n", "line 1: expected " + u32 + " for IMAGE_ID, found '" + std::string(40, '7') + "...'"},
      // rigs.txt
      {File::Rigs, "1 2 CAMERA 1 camera 2 0\n", "line 1: expected a sensor type (CAMERA, IMU or INVALID) for SENSOR_TYPE, found 'camera'"},
      {File::Rigs, "1 2 0 1 CAMERA 2 0\n", "line 1: expected a sensor type (CAMERA, IMU or INVALID) for REF_SENSOR_TYPE, found '0'"},
      {File::Rigs, "1 2 CAMERA 1\n", "line 1: expected a sensor type (CAMERA, IMU or INVALID) for SENSOR_TYPE, found the end of the line"},
      {File::Rigs, "1 2 CAMERA 1 CAMERA 2 2\n", "line 1: expected an integer from 0 to 1 for HAS_POSE, found '2'"},
      {File::Rigs, "1 2 CAMERA 1 CAMERA 2 1 1 0 0 0 0 0\n", "line 1: expected a number for TZ, found the end of the line"},
      {File::Rigs, "1 2 CAMERA 1 CAMERA 2 0 99\n", "line 1: expected the end of the line after the 2 sensors of rig 1, found '99'"},
      {File::Rigs, "7 0 CAMERA 1\n", "line 1: expected the end of the line after the 0 sensors of rig 7, found 'CAMERA'"},
      {File::Rigs, "7\n", "line 1: expected " + u32 + " for NUM_SENSORS, found the end of the line"},
      {File::Rigs, "1 4000000000 CAMERA 1\n", "line 1: expected a sensor type (CAMERA, IMU or INVALID) for SENSOR_TYPE, found the end of the line"},
      // frames.txt
      {File::Frames, "1 1 1 0 0 0 0 0 0 2 CAMERA 1 1\n", "line 1: expected a sensor type (CAMERA, IMU or INVALID) for SENSOR_TYPE, found the end of the line"},
      {File::Frames, "1 1 1 0 0 0 0 0 0 1 CAMERA 1 1 CAMERA 2 2\n", "line 1: expected the end of the line after the 1 data ids of frame 1, found 'CAMERA'"},
      {File::Frames, "1 1 1 0 0 0 0 0 0 1 CAMERA 1 -1\n", "line 1: expected " + u64 + " for DATA_ID, found '-1'"},
      {File::Frames, "1 1 1 0 0 0 0 0\n", "line 1: expected a number for TZ, found the end of the line"},
      {File::Frames, "1 1 1 0 0 0 0 0 0 1 CAMERA\n", "line 1: expected " + u32 + " for SENSOR_ID, found the end of the line"},
  };
  for (const auto& c : cases) {
    CHECK_EQ(failure_of([&] { parse(c.file, c.text); }), c.expected, c.text);
  }
}

TEST(text_every_cut_of_a_valid_file_parses_or_fails_cleanly) {
  // Cutting a file anywhere leaves a shorter file: each either parses or fails with a
  // line inside the cut file, never past it.
  const struct {
    File file;
    std::string text;
  } files[] = {
      {File::Cameras, "# h\n1 PINHOLE 640 480 500 500 320 240\n2 SIMPLE_RADIAL 1 1 1 2 3 4\n"},
      {File::Images, "1 1 0 0 0 0 0 0 1 a b\n1.5 2.5 -1 3 4 5\n2 1 0 0 0 0 0 0 1 c\n\n"},
      {File::Points, "1 1 2 3 4 5 6 0.5 1 2 3 4\n2 1 2 3 4 5 6 0.5\n"},
      {File::Rigs, "1 3 CAMERA 1 CAMERA 2 0 IMU 5 1 1 0 0 0 0 0 0\n7 0\n"},
      {File::Frames, "1 1 1 0 0 0 0 0 0 2 CAMERA 1 1 CAMERA 2 2\n"},
  };
  for (const auto& f : files) {
    uint64_t lines_so_far = 1;
    for (size_t length = 0; length <= f.text.size(); ++length) {
      if (length > 0 && f.text[length - 1] == '\n') ++lines_so_far;
      try {
        parse(f.file, f.text.substr(0, length));
      } catch (const FormatError& error) {
        const bool inside = error.where >= 1 && error.where <= lines_so_far;
        CHECK_EQ(error.place == FormatError::Place::Line && inside, true,
                 f.text.substr(0, length));
      }
    }
    CHECK_EQ(failure_of([&] { parse(f.file, f.text); }), std::string("<no error>"));
  }
}

TEST(text_images_on_two_workers_read_as_on_one) {
  // Enough 2D points for the second pass to split, with a fault placed in either half.
  std::string text;
  for (int image = 1; image <= 40; ++image) {
    text += std::to_string(image) + " 1 0 0 0 0.5 -1 2 3 img " + std::to_string(image) + "\n";
    for (int k = 0; k < 2000; ++k) text += std::to_string(k) + ".25 7e-3 " + std::to_string(k) + " ";
    text += "\n";
  }
  const ImageColumns one = parse_images_text(span(text), 1);
  const ImageColumns two = parse_images_text(span(text), 2);
  CHECK(one.point3D_ids.size() == 80000);
  CHECK(one.ids == two.ids && one.name_bytes == two.name_bytes && one.xys == two.xys);
  CHECK(one.point3D_ids == two.point3D_ids && one.points2D_offsets == two.points2D_offsets);
  for (const size_t at : {text.find(" 7e-3 ", 1000), text.rfind(" 7e-3 ")}) {
    std::string faulty = text;
    faulty[at + 1] = 'x';
    CHECK_EQ(failure_of([&] { parse_images_text(span(faulty), 2); }),
             failure_of([&] { parse_images_text(span(faulty), 1); }), std::to_string(at));
  }
}
