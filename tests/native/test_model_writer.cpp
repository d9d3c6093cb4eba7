// The model writers: number text as %.17g, the column checks, and binary files that
// parse back into the columns they were written from. No Python.h.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "model_io/binary_model.hpp"
#include "model_io/binary_writer.hpp"
#include "model_io/model_views.hpp"
#include "model_io/text_writer.hpp"
#include "test_runner.hpp"

using namespace tolv;
using namespace tolv::model_io;

namespace {

template <class T>
ColumnView<T> view(const std::vector<T>& values) {
  return ColumnView<T>{values.data(), values.size()};
}

TEST(numbers_are_written_as_printf_writes_17_significant_digits) {
  const double inf = std::numeric_limits<double>::infinity();
  const double values[] = {0.0, -0.0, 1.0, 100.0, 0.1, 1.0 / 3, 1e16, 1e17, 1.5e17, 1e-4,
                           9.9999999999999991e-05, 1e-5, 5e-324, 2.2250738585072014e-308,
                           1.7976931348623157e308, -1e300, 123456789012345678.0, inf, -inf,
                           std::nan(""), -std::nan(""), 4294967295.0, 0.30000000000000004};
  for (double value : values) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.17g", value);
    char out[kMaxNumberChars];
    const std::string written(out, write_number(out, value));
    CHECK_EQ(written, std::string(expected), expected);
  }
}

struct Sample {
  std::vector<uint32_t> camera_ids{3, 1};
  std::vector<int32_t> model_ids{0, 17};
  std::vector<uint64_t> sizes{640, 1};
  std::vector<int64_t> param_offsets{0, 3, 5};
  std::vector<double> params{1.0, -0.0, 2.5, 3.0, 4.0};
  std::vector<uint32_t> image_ids{8, 2};
  std::vector<double> quaternions{1, 0, 0, 0, 0.5, 0.5, 0.5, 0.5};
  std::vector<double> translations{1, 2, 3, 4, 5, 6};
  std::vector<int64_t> name_offsets{0, 3, 4};
  std::vector<char> names{'a', ' ', 'b', 'c'};
  std::vector<int64_t> points2D_offsets{0, 0, 2};
  std::vector<double> xys{1.5, 2.5, 3.5, 4.5};
  std::vector<uint64_t> point3D_ids{~uint64_t{0}, 7};

  ModelViews views() const {
    ModelViews m;
    m.cameras = {view(camera_ids), view(model_ids), view(sizes), view(sizes),
                 view(param_offsets), view(params)};
    m.images = {view(image_ids), view(quaternions), view(translations), view(image_ids),
                view(name_offsets), view(names), view(points2D_offsets), view(xys),
                view(point3D_ids)};
    m.points.track_offsets = view(zero);
    return m;
  }
  std::vector<int64_t> zero{0};
};

struct Broken {
  const char* what;
  void (*change)(Sample&);
  WriteFormat format;
  const char* message;
};

const Broken kBroken[] = {
    {"offsets from 1", [](Sample& s) { s.param_offsets[0] = 1; }, WriteFormat::Binary,
     "cameras.param_offsets row 0: the first offset is not 0"},
    {"falling offsets", [](Sample& s) { s.points2D_offsets = {0, 2, 1}; }, WriteFormat::Binary,
     "images.points2D_offsets row 2: an offset falls"},
    {"offsets past the end", [](Sample& s) { s.name_offsets[2] = 5; }, WriteFormat::Binary,
     "images.name_offsets row 2: the last offset is not the list's length 4"},
    {"parameter count", [](Sample& s) { s.model_ids[1] = 1; }, WriteFormat::Binary,
     "cameras.params row 1: PINHOLE takes 4 parameters"},
    {"model id", [](Sample& s) { s.model_ids[0] = 18; }, WriteFormat::Binary,
     "cameras.model_ids row 0: not a COLMAP camera model id (0 to 17)"},
    {"NUL in a name", [](Sample& s) { s.names[3] = '\0'; }, WriteFormat::Binary,
     "images.names row 1: a name holds a NUL byte"},
    {"blank name end", [](Sample& s) { s.names = {'a', 'b', ' ', 'c'}; }, WriteFormat::Text,
     "images.names row 0: images.txt cannot hold a name that starts or ends with a blank"},
    {"newline", [](Sample& s) { s.names[1] = '\n'; }, WriteFormat::Text,
     "images.names row 0: images.txt cannot hold a name with a newline"},
    {"short xys", [](Sample& s) { s.xys.pop_back(); }, WriteFormat::Binary,
     "images.xys has 3 values, 4 expected"},
};

TEST(views_that_disagree_are_refused_naming_field_and_row) {
  CHECK_EQ(check_views(Sample().views(), WriteFormat::Text), std::string());
  for (const Broken& broken : kBroken) {
    Sample sample;
    broken.change(sample);
    CHECK_EQ(check_views(sample.views(), broken.format), std::string(broken.message),
             broken.what);
  }
}

TEST(binary_files_parse_back_into_their_columns) {
  const Sample s;
  const ModelViews m = s.views();
  const FileBytes cameras = encode_cameras_binary(m.cameras);
  const CameraColumns c = parse_cameras_binary(ByteSpan{cameras.data(), cameras.size()});
  CHECK(std::vector<uint32_t>(c.ids.begin(), c.ids.end()) == s.camera_ids);
  CHECK(std::vector<int64_t>(c.param_offsets.begin(), c.param_offsets.end()) == s.param_offsets);
  CHECK(std::signbit(c.params[1]));
  const FileBytes images = encode_images_binary(m.images);
  const ImageColumns i = parse_images_binary(ByteSpan{images.data(), images.size()});
  CHECK(std::vector<char>(i.name_bytes.begin(), i.name_bytes.end()) == s.names);
  CHECK(std::vector<uint64_t>(i.point3D_ids.begin(), i.point3D_ids.end()) == s.point3D_ids);
  CHECK(std::vector<double>(i.xys.begin(), i.xys.end()) == s.xys);
}

TEST(text_lines_end_as_colmap_ends_them) {
  const Sample s;
  const FileBytes images = encode_images_text(s.views().images);
  const std::string text(images.begin(), images.end());
  // An image without 2D points has an empty line; every triple ends with a space.
  CHECK(text.find("\n8 1 0 0 0 1 2 3 8 a b\n\n2 ") != std::string::npos);
  CHECK(text.find("\n1.5 2.5 -1 3.5 4.5 7 \n") != std::string::npos);
  CHECK(text.find("mean observations per image: 0.5\n") != std::string::npos);
}

}  // namespace
