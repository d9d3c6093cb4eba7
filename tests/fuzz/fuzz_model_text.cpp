// Fuzzes the text model parsers: the first byte picks the file, the rest is its text.
// Only FormatError may escape a parser, with a line inside the text; parsed columns
// must have their shapes and the values their ranges.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "fuzz_model_columns.hpp"
#include "model_io/camera_model_table.hpp"
#include "model_io/format_error.hpp"
#include "model_io/text_model.hpp"

namespace {

using namespace tolv::model_io;

using fuzz::broken;
using fuzz::check_offsets;
using fuzz::expect;

void check(const CameraColumns& c) {
  const size_t rows = c.ids.size();
  expect(c.model_ids.size() == rows && c.widths.size() == rows && c.heights.size() == rows,
          "camera rows");
  check_offsets(c.param_offsets, rows, c.params.size(), "camera param offsets");
  for (size_t k = 0; k < rows; ++k) {
    const CameraModelInfo* model = camera_model_by_id(c.model_ids[k]);
    expect(model != nullptr, "camera model id");
    expect(c.param_offsets[k + 1] - c.param_offsets[k] == model->num_params, "param count");
  }
}

void check(const ImageColumns& m) {
  const size_t rows = m.ids.size();
  expect(m.quaternions.size() == 4 * rows && m.translations.size() == 3 * rows, "image poses");
  expect(m.camera_ids.size() == rows, "image camera ids");
  check_offsets(m.name_offsets, rows, m.name_bytes.size(), "name offsets");
  check_offsets(m.points2D_offsets, rows, m.point3D_ids.size(), "2D point offsets");
  expect(m.xys.size() == 2 * m.point3D_ids.size(), "xys");
  for (size_t k = 0; k < rows; ++k) {
    expect(m.name_offsets[k] < m.name_offsets[k + 1], "names are not empty");
  }
  if (!m.name_bytes.empty()) {
    expect(std::memchr(m.name_bytes.data(), 0, m.name_bytes.size()) == nullptr, "NUL in a name");
  }
}

void check(const PointColumns& p) {
  const size_t rows = p.ids.size();
  expect(p.xyz.size() == 3 * rows && p.rgb.size() == 3 * rows && p.errors.size() == rows,
          "point rows");
  check_offsets(p.track_offsets, rows, p.track_image_ids.size(), "track offsets");
  expect(p.track_point2D_idxs.size() == p.track_image_ids.size(), "track columns");
}

void check(const RigColumns& r) {
  const size_t rows = r.ids.size();
  const size_t sensors = r.sensor_ids.size();
  check_offsets(r.sensor_offsets, rows, sensors, "sensor offsets");
  expect(r.sensor_types.size() == sensors && r.has_pose.size() == sensors, "sensor columns");
  expect(r.sensor_quaternions.size() == 4 * sensors, "sensor quaternions");
  expect(r.sensor_translations.size() == 3 * sensors, "sensor translations");
  for (size_t k = 0; k < sensors; ++k) {
    expect(r.sensor_types[k] >= -1 && r.sensor_types[k] <= 1, "sensor type");
    expect(r.has_pose[k] <= 1, "pose flag");
    if (!r.has_pose[k]) {
      for (int i = 0; i < 4; ++i) expect(std::isnan(r.sensor_quaternions[4 * k + i]), "NaN pose");
      for (int i = 0; i < 3; ++i) expect(std::isnan(r.sensor_translations[3 * k + i]), "NaN pose");
    }
  }
  for (size_t k = 0; k < rows; ++k) {
    if (r.sensor_offsets[k] != r.sensor_offsets[k + 1]) {
      expect(r.has_pose[static_cast<size_t>(r.sensor_offsets[k])] == 0, "reference sensor pose");
    }
  }
}

void check(const FrameColumns& f) {
  const size_t rows = f.ids.size();
  const size_t data = f.data_ids.size();
  expect(f.rig_ids.size() == rows, "frame rig ids");
  expect(f.quaternions.size() == 4 * rows && f.translations.size() == 3 * rows, "frame poses");
  check_offsets(f.data_offsets, rows, data, "data offsets");
  expect(f.data_sensor_types.size() == data && f.data_sensor_ids.size() == data, "data columns");
  for (size_t k = 0; k < data; ++k) {
    expect(f.data_sensor_types[k] >= -1 && f.data_sensor_types[k] <= 1, "data sensor type");
  }
}

// Equal columns, doubles bit for bit but any NaN equal to any NaN: the text has no
// NaN payloads.
template <class T>
bool same(const Column<T>& a, const Column<T>& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if constexpr (std::is_same_v<T, double>) {
      if (std::isnan(a[k]) && std::isnan(b[k])) continue;
      if (std::memcmp(&a[k], &b[k], sizeof(double)) != 0) return false;
    } else if (a[k] != b[k]) {
      return false;
    }
  }
  return true;
}

bool same(const CameraColumns& a, const CameraColumns& b) {
  return same(a.ids, b.ids) && same(a.model_ids, b.model_ids) && same(a.widths, b.widths) &&
         same(a.heights, b.heights) && same(a.param_offsets, b.param_offsets) &&
         same(a.params, b.params);
}
bool same(const ImageColumns& a, const ImageColumns& b) {
  return same(a.ids, b.ids) && same(a.quaternions, b.quaternions) &&
         same(a.translations, b.translations) && same(a.camera_ids, b.camera_ids) &&
         same(a.name_offsets, b.name_offsets) && same(a.name_bytes, b.name_bytes) &&
         same(a.points2D_offsets, b.points2D_offsets) && same(a.xys, b.xys) &&
         same(a.point3D_ids, b.point3D_ids);
}
bool same(const PointColumns& a, const PointColumns& b) {
  return same(a.ids, b.ids) && same(a.xyz, b.xyz) && same(a.rgb, b.rgb) &&
         same(a.errors, b.errors) && same(a.track_offsets, b.track_offsets) &&
         same(a.track_image_ids, b.track_image_ids) &&
         same(a.track_point2D_idxs, b.track_point2D_idxs);
}
bool same(const RigColumns& a, const RigColumns& b) {
  return same(a.ids, b.ids) && same(a.sensor_offsets, b.sensor_offsets) &&
         same(a.sensor_types, b.sensor_types) && same(a.sensor_ids, b.sensor_ids) &&
         same(a.has_pose, b.has_pose) && same(a.sensor_quaternions, b.sensor_quaternions) &&
         same(a.sensor_translations, b.sensor_translations);
}
bool same(const FrameColumns& a, const FrameColumns& b) {
  return same(a.ids, b.ids) && same(a.rig_ids, b.rig_ids) &&
         same(a.quaternions, b.quaternions) && same(a.translations, b.translations) &&
         same(a.data_offsets, b.data_offsets) && same(a.data_sensor_types, b.data_sensor_types) &&
         same(a.data_sensor_ids, b.data_sensor_ids) && same(a.data_ids, b.data_ids);
}

// Whatever the parser takes, the writer takes too, and its text parses back into the
// same columns.
template <class Parse>
void round_trip(const tolv::ByteSpan bytes, Parse parse) {
  const auto columns = parse(bytes);
  check(columns);
  ModelViews model = fuzz::empty_model();
  const FileBytes text = fuzz::write_text(columns, model);
  expect(check_views(model, WriteFormat::Text).empty(), "the writer takes a parsed model");
  bool parsed_back = false;
  try {
    parsed_back = same(parse(tolv::ByteSpan{text.data(), text.size()}), columns);
  } catch (const FormatError&) {
    broken("the written text is refused by the parser");
  }
  expect(parsed_back, "the written text parses back into the same columns");
}

template <class Parse>
void run(const uint8_t* data, size_t size, Parse parse) {
  const tolv::ByteSpan bytes{data, size};
  try {
    round_trip(bytes, parse);
  } catch (const FormatError& error) {
    expect(error.place == FormatError::Place::Line, "a text error names a line");
    uint64_t lines = 1;
    for (size_t k = 0; k < size; ++k) lines += data[k] == '\n';
    expect(error.where >= 1 && error.where <= lines, "the line is inside the text");
    expect(!error.message.empty(), "the message says what was expected");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* text = data + 1;
  const size_t length = size - 1;
  switch (data[0] % 5) {
    case 0: run(text, length, parse_cameras_text); break;
    case 1: run(text, length, [](tolv::ByteSpan bytes) { return parse_images_text(bytes, 2); }); break;
    case 2: run(text, length, parse_points3D_text); break;
    case 3: run(text, length, parse_rigs_text); break;
    default: run(text, length, parse_frames_text); break;
  }
  return 0;
}
