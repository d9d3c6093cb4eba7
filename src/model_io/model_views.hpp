// Read-only views of a model's columns, as the writers take them: the same layout as
// ModelColumns (model_columns.hpp), borrowed from the caller's memory. No Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tolv::model_io {

template <class T>
struct ColumnView {
  const T* data = nullptr;
  size_t size = 0;
  const T& operator[](size_t k) const { return data[k]; }
};

struct CameraViews {
  ColumnView<uint32_t> ids;
  ColumnView<int32_t> model_ids;
  ColumnView<uint64_t> widths;
  ColumnView<uint64_t> heights;
  ColumnView<int64_t> param_offsets;  // rows + 1
  ColumnView<double> params;
};

struct ImageViews {
  ColumnView<uint32_t> ids;
  ColumnView<double> quaternions;  // 4 per row
  ColumnView<double> translations;  // 3 per row
  ColumnView<uint32_t> camera_ids;
  ColumnView<int64_t> name_offsets;  // rows + 1, into name_bytes
  ColumnView<char> name_bytes;
  ColumnView<int64_t> points2D_offsets;  // rows + 1
  ColumnView<double> xys;  // 2 per 2D point
  ColumnView<uint64_t> point3D_ids;
};

struct PointViews {
  ColumnView<uint64_t> ids;
  ColumnView<double> xyz;  // 3 per row
  ColumnView<uint8_t> rgb;  // 3 per row
  ColumnView<double> errors;
  ColumnView<int64_t> track_offsets;  // rows + 1
  ColumnView<uint32_t> track_image_ids;
  ColumnView<uint32_t> track_point2D_idxs;
};

struct RigViews {
  ColumnView<uint32_t> ids;
  ColumnView<int64_t> sensor_offsets;  // rows + 1
  ColumnView<int32_t> sensor_types;
  ColumnView<uint32_t> sensor_ids;
  ColumnView<uint8_t> has_pose;
  ColumnView<double> sensor_quaternions;  // 4 per sensor
  ColumnView<double> sensor_translations;  // 3 per sensor
};

struct FrameViews {
  ColumnView<uint32_t> ids;
  ColumnView<uint32_t> rig_ids;
  ColumnView<double> quaternions;  // 4 per row
  ColumnView<double> translations;  // 3 per row
  ColumnView<int64_t> data_offsets;  // rows + 1
  ColumnView<int32_t> data_sensor_types;
  ColumnView<uint32_t> data_sensor_ids;
  ColumnView<uint64_t> data_ids;
};

struct ModelViews {
  CameraViews cameras;
  ImageViews images;
  PointViews points;
  std::optional<RigViews> rigs;
  std::optional<FrameViews> frames;
};

enum class WriteFormat : uint8_t { Binary = 0, Text = 1 };

// Why the views cannot be written in the format, or "" when they can: columns whose
// lengths disagree, offsets that do not start at 0, fall or miss the end of their
// list, camera model ids outside the table or parameter counts other than the model's,
// names the format cannot hold (a NUL byte; in text also an empty name, a newline, a
// space or tab first or a blank last, which the reader drops), rig reference sensors
// with a pose, and in text sensor types without a name or pose flags other than 0 and
// 1. The writers assume views that passed.
std::string check_views(const ModelViews& model, WriteFormat format);

}  // namespace tolv::model_io
