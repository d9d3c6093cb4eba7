// Fuzzes the binary model parsers: the first byte picks the file kind, the rest is the
// file. Only FormatError may escape a parse; a parse that succeeds must give consistent
// columns that encode back into the very bytes they came from. No Python.h.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.hpp"
#include "fuzz_model_columns.hpp"
#include "model_io/binary_model.hpp"
#include "model_io/binary_writer.hpp"
#include "model_io/model_views.hpp"
#include "model_io/format_error.hpp"

using namespace tolv::model_io;

namespace {

using fuzz::broken;
using fuzz::check_offsets;
using fuzz::expect;

void put_doubles(std::string& out, const double* values, size_t n) {
  for (size_t k = 0; k < n; ++k) fuzz::put_f64(out, values[k]);
}

std::string encode(const CameraColumns& c) {
  const size_t rows = c.ids.size();
  expect(c.model_ids.size() == rows && c.widths.size() == rows && c.heights.size() == rows,
         "camera rows");
  check_offsets(c.param_offsets, rows, c.params.size(), "camera param offsets");
  std::string out;
  fuzz::put(out, rows, 8);
  for (size_t k = 0; k < rows; ++k) {
    expect(c.model_ids[k] >= 0 && c.model_ids[k] <= 17, "camera model id");
    fuzz::put(out, c.ids[k], 4);
    fuzz::put(out, static_cast<uint32_t>(c.model_ids[k]), 4);
    fuzz::put(out, c.widths[k], 8);
    fuzz::put(out, c.heights[k], 8);
    const size_t first = static_cast<size_t>(c.param_offsets[k]);
    put_doubles(out, c.params.data() + first, static_cast<size_t>(c.param_offsets[k + 1]) - first);
  }
  return out;
}

std::string encode(const ImageColumns& c) {
  const size_t rows = c.ids.size();
  expect(c.quaternions.size() == 4 * rows && c.translations.size() == 3 * rows &&
             c.camera_ids.size() == rows,
         "image rows");
  check_offsets(c.name_offsets, rows, c.name_bytes.size(), "image name offsets");
  check_offsets(c.points2D_offsets, rows, c.point3D_ids.size(), "image 2D point offsets");
  expect(c.xys.size() == 2 * c.point3D_ids.size(), "image 2D points");
  std::string out;
  fuzz::put(out, rows, 8);
  for (size_t k = 0; k < rows; ++k) {
    fuzz::put(out, c.ids[k], 4);
    put_doubles(out, &c.quaternions[4 * k], 4);
    put_doubles(out, &c.translations[3 * k], 3);
    fuzz::put(out, c.camera_ids[k], 4);
    for (int64_t b = c.name_offsets[k]; b < c.name_offsets[k + 1]; ++b) {
      expect(c.name_bytes[static_cast<size_t>(b)] != 0, "NUL inside a name");
      out += c.name_bytes[static_cast<size_t>(b)];
    }
    out += '\0';
    fuzz::put(out, static_cast<uint64_t>(c.points2D_offsets[k + 1] - c.points2D_offsets[k]), 8);
    for (int64_t j = c.points2D_offsets[k]; j < c.points2D_offsets[k + 1]; ++j) {
      put_doubles(out, &c.xys[2 * static_cast<size_t>(j)], 2);
      fuzz::put(out, c.point3D_ids[static_cast<size_t>(j)], 8);
    }
  }
  return out;
}

std::string encode(const PointColumns& c) {
  const size_t rows = c.ids.size();
  expect(c.xyz.size() == 3 * rows && c.rgb.size() == 3 * rows && c.errors.size() == rows,
         "point rows");
  check_offsets(c.track_offsets, rows, c.track_image_ids.size(), "point track offsets");
  expect(c.track_point2D_idxs.size() == c.track_image_ids.size(), "point tracks");
  std::string out;
  fuzz::put(out, rows, 8);
  for (size_t k = 0; k < rows; ++k) {
    fuzz::put(out, c.ids[k], 8);
    put_doubles(out, &c.xyz[3 * k], 3);
    for (size_t j = 0; j < 3; ++j) fuzz::put(out, c.rgb[3 * k + j], 1);
    fuzz::put_f64(out, c.errors[k]);
    fuzz::put(out, static_cast<uint64_t>(c.track_offsets[k + 1] - c.track_offsets[k]), 8);
    for (int64_t j = c.track_offsets[k]; j < c.track_offsets[k + 1]; ++j) {
      fuzz::put(out, c.track_image_ids[static_cast<size_t>(j)], 4);
      fuzz::put(out, c.track_point2D_idxs[static_cast<size_t>(j)], 4);
    }
  }
  return out;
}

bool no_pose(const RigColumns& c, size_t s) {
  for (size_t j = 0; j < 4; ++j) {
    if (!std::isnan(c.sensor_quaternions[4 * s + j])) return false;
  }
  for (size_t j = 0; j < 3; ++j) {
    if (!std::isnan(c.sensor_translations[3 * s + j])) return false;
  }
  return true;
}

std::string encode(const RigColumns& c) {
  const size_t rows = c.ids.size();
  const size_t sensors = c.sensor_types.size();
  check_offsets(c.sensor_offsets, rows, sensors, "rig sensor offsets");
  expect(c.sensor_ids.size() == sensors && c.has_pose.size() == sensors &&
             c.sensor_quaternions.size() == 4 * sensors &&
             c.sensor_translations.size() == 3 * sensors,
         "rig sensors");
  std::string out;
  fuzz::put(out, rows, 8);
  for (size_t k = 0; k < rows; ++k) {
    fuzz::put(out, c.ids[k], 4);
    fuzz::put(out, static_cast<uint64_t>(c.sensor_offsets[k + 1] - c.sensor_offsets[k]), 4);
    for (int64_t i = c.sensor_offsets[k]; i < c.sensor_offsets[k + 1]; ++i) {
      const size_t s = static_cast<size_t>(i);
      const bool reference = i == c.sensor_offsets[k];
      fuzz::put(out, static_cast<uint32_t>(c.sensor_types[s]), 4);
      fuzz::put(out, c.sensor_ids[s], 4);
      if (reference) {
        expect(c.has_pose[s] == 0 && no_pose(c, s), "reference sensor with a pose");
        continue;
      }
      fuzz::put(out, c.has_pose[s], 1);
      if (c.has_pose[s] == 0) {
        expect(no_pose(c, s), "sensor without pose flag has a pose");
        continue;
      }
      put_doubles(out, &c.sensor_quaternions[4 * s], 4);
      put_doubles(out, &c.sensor_translations[3 * s], 3);
    }
  }
  return out;
}

std::string encode(const FrameColumns& c) {
  const size_t rows = c.ids.size();
  expect(c.rig_ids.size() == rows && c.quaternions.size() == 4 * rows &&
             c.translations.size() == 3 * rows,
         "frame rows");
  check_offsets(c.data_offsets, rows, c.data_ids.size(), "frame data offsets");
  expect(c.data_sensor_types.size() == c.data_ids.size() &&
             c.data_sensor_ids.size() == c.data_ids.size(),
         "frame data ids");
  std::string out;
  fuzz::put(out, rows, 8);
  for (size_t k = 0; k < rows; ++k) {
    fuzz::put(out, c.ids[k], 4);
    fuzz::put(out, c.rig_ids[k], 4);
    put_doubles(out, &c.quaternions[4 * k], 4);
    put_doubles(out, &c.translations[3 * k], 3);
    fuzz::put(out, static_cast<uint64_t>(c.data_offsets[k + 1] - c.data_offsets[k]), 4);
    for (int64_t i = c.data_offsets[k]; i < c.data_offsets[k + 1]; ++i) {
      const size_t d = static_cast<size_t>(i);
      fuzz::put(out, static_cast<uint32_t>(c.data_sensor_types[d]), 4);
      fuzz::put(out, c.data_sensor_ids[d], 4);
      fuzz::put(out, c.data_ids[d], 8);
    }
  }
  return out;
}

// The columns, encoded again, are the file's first bytes (what follows is ignored); the
// writer takes every model the parser gives and writes those same bytes.
template <class Parse>
void check(Parse parse, const uint8_t* data, size_t size) {
  std::string encoded;
  FileBytes written;
  try {
    const auto columns = parse(tolv::ByteSpan{data, size});
    encoded = encode(columns);
    ModelViews model = fuzz::empty_model();
    written = fuzz::write_binary(columns, model);
    expect(check_views(model, WriteFormat::Binary).empty(), "the writer takes a parsed model");
  } catch (const FormatError& error) {
    expect(error.place == FormatError::Place::Byte && error.where <= size, "error place");
    expect(!error.message.empty(), "error message");
    return;
  }
  expect(encoded.size() <= size &&
             std::memcmp(encoded.data(), data, encoded.size()) == 0,
         "columns encode back into the file's bytes");
  expect(written.size() == encoded.size() &&
             (encoded.empty() || std::memcmp(written.data(), encoded.data(), encoded.size()) == 0),
         "the writer writes the file's bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* file = data + 1;
  const size_t length = size - 1;
  switch (data[0] % 5) {
    case 0: check(parse_cameras_binary, file, length); break;
    case 1: check(parse_images_binary, file, length); break;
    case 2: check(parse_points3D_binary, file, length); break;
    case 3: check(parse_rigs_binary, file, length); break;
    default: check(parse_frames_binary, file, length); break;
  }
  return 0;
}
