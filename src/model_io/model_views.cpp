// The consistency check the writers rely on. No Python.h.
#include "model_io/model_views.hpp"

#include <cstring>

#include "model_io/camera_model_table.hpp"

namespace tolv::model_io {
namespace {

std::string at_row(const char* table, const char* field, size_t row, const std::string& what) {
  return std::string(table) + "." + field + " row " + std::to_string(row) + ": " + what;
}

std::string length_error(const char* table, const char* field, size_t size, size_t expected) {
  return std::string(table) + "." + field + " has " + std::to_string(size) + " values, " +
         std::to_string(expected) + " expected";
}

// Checks a fixed-width column of rows * width values; "" when it has them.
template <class T>
std::string fixed(const char* table, const char* field, const ColumnView<T>& column,
                  size_t rows, size_t width) {
  if (column.size / width != rows || column.size % width != 0) {
    return length_error(table, field, column.size, rows * width);
  }
  return "";
}

// Offsets of rows + 1 entries from 0, never falling, ending at the list's length.
std::string offsets_error(const char* table, const char* field,
                          const ColumnView<int64_t>& offsets, size_t rows, size_t elements) {
  if (offsets.size != rows + 1) return length_error(table, field, offsets.size, rows + 1);
  if (offsets[0] != 0) return at_row(table, field, 0, "the first offset is not 0");
  for (size_t k = 0; k < rows; ++k) {
    if (offsets[k + 1] < offsets[k]) return at_row(table, field, k + 1, "an offset falls");
  }
  if (static_cast<uint64_t>(offsets[rows]) != elements) {
    return at_row(table, field, rows,
                  "the last offset is not the list's length " + std::to_string(elements));
  }
  return "";
}

#define TOLV_CHECK(expression)            \
  do {                                    \
    std::string error_ = (expression);    \
    if (!error_.empty()) return error_;   \
  } while (0)

// The reader takes a name from the first character after the camera id's separators
// (spaces, tabs) to the end of the line, which it trims of blanks (spaces, tabs, CRs).
inline bool is_separator(char c) { return c == ' ' || c == '\t'; }
inline bool is_blank(char c) { return is_separator(c) || c == '\r'; }

std::string check_cameras(const CameraViews& c) {
  const size_t rows = c.ids.size;
  TOLV_CHECK(fixed("cameras", "model_ids", c.model_ids, rows, 1));
  TOLV_CHECK(fixed("cameras", "widths", c.widths, rows, 1));
  TOLV_CHECK(fixed("cameras", "heights", c.heights, rows, 1));
  TOLV_CHECK(offsets_error("cameras", "param_offsets", c.param_offsets, rows, c.params.size));
  for (size_t k = 0; k < rows; ++k) {
    const CameraModelInfo* model = camera_model_by_id(c.model_ids[k]);
    if (model == nullptr) {
      return at_row("cameras", "model_ids", k, "not a COLMAP camera model id (0 to 17)");
    }
    if (c.param_offsets[k + 1] - c.param_offsets[k] != model->num_params) {
      return at_row("cameras", "params", k,
                    std::string(model->name) + " takes " + std::to_string(model->num_params) +
                        " parameters");
    }
  }
  return "";
}

std::string check_images(const ImageViews& c, WriteFormat format) {
  const size_t rows = c.ids.size;
  TOLV_CHECK(fixed("images", "quaternions", c.quaternions, rows, 4));
  TOLV_CHECK(fixed("images", "translations", c.translations, rows, 3));
  TOLV_CHECK(fixed("images", "camera_ids", c.camera_ids, rows, 1));
  TOLV_CHECK(offsets_error("images", "name_offsets", c.name_offsets, rows, c.name_bytes.size));
  TOLV_CHECK(offsets_error("images", "points2D_offsets", c.points2D_offsets, rows,
                           c.point3D_ids.size));
  TOLV_CHECK(fixed("images", "xys", c.xys, c.point3D_ids.size, 2));
  for (size_t k = 0; k < rows; ++k) {
    const char* name = c.name_bytes.data + c.name_offsets[k];
    const size_t length = static_cast<size_t>(c.name_offsets[k + 1] - c.name_offsets[k]);
    if (length != 0 && std::memchr(name, 0, length) != nullptr) {
      return at_row("images", "names", k, "a name holds a NUL byte");
    }
    if (format == WriteFormat::Text) {
      if (length == 0) return at_row("images", "names", k, "images.txt cannot hold an empty name");
      if (std::memchr(name, '\n', length) != nullptr) {
        return at_row("images", "names", k, "images.txt cannot hold a name with a newline");
      }
      if (is_separator(name[0]) || is_blank(name[length - 1])) {
        return at_row("images", "names", k,
                      "images.txt cannot hold a name that starts or ends with a blank");
      }
    }
  }
  return "";
}

std::string check_points(const PointViews& c) {
  const size_t rows = c.ids.size;
  TOLV_CHECK(fixed("points", "xyz", c.xyz, rows, 3));
  TOLV_CHECK(fixed("points", "rgb", c.rgb, rows, 3));
  TOLV_CHECK(fixed("points", "error", c.errors, rows, 1));
  TOLV_CHECK(offsets_error("points", "track_offsets", c.track_offsets, rows,
                           c.track_image_ids.size));
  TOLV_CHECK(fixed("points", "track_point2D_idxs", c.track_point2D_idxs,
                   c.track_image_ids.size, 1));
  return "";
}

bool named_sensor_type(int32_t type) { return type >= -1 && type <= 1; }

std::string check_rigs(const RigViews& c, WriteFormat format) {
  const size_t rows = c.ids.size;
  const size_t sensors = c.sensor_ids.size;
  TOLV_CHECK(offsets_error("rigs", "sensor_offsets", c.sensor_offsets, rows, sensors));
  TOLV_CHECK(fixed("rigs", "sensor_types", c.sensor_types, sensors, 1));
  TOLV_CHECK(fixed("rigs", "has_pose", c.has_pose, sensors, 1));
  TOLV_CHECK(fixed("rigs", "sensor_quaternions", c.sensor_quaternions, sensors, 4));
  TOLV_CHECK(fixed("rigs", "sensor_translations", c.sensor_translations, sensors, 3));
  for (size_t k = 0; k < rows; ++k) {
    if (c.sensor_offsets[k + 1] - c.sensor_offsets[k] > int64_t{0xFFFFFFFF}) {
      return at_row("rigs", "sensor_offsets", k, "more sensors than a rig record holds");
    }
    if (c.sensor_offsets[k + 1] != c.sensor_offsets[k] && c.has_pose[c.sensor_offsets[k]] != 0) {
      return at_row("rigs", "has_pose", static_cast<size_t>(c.sensor_offsets[k]),
                    "a rig's reference sensor (its first) has no pose");
    }
  }
  if (format == WriteFormat::Text) {
    for (size_t s = 0; s < sensors; ++s) {
      if (!named_sensor_type(c.sensor_types[s])) {
        return at_row("rigs", "sensor_types", s, "not a sensor type (-1, 0 or 1)");
      }
      if (c.has_pose[s] > 1) return at_row("rigs", "has_pose", s, "rigs.txt holds 0 or 1");
    }
  }
  return "";
}

std::string check_frames(const FrameViews& c, WriteFormat format) {
  const size_t rows = c.ids.size;
  const size_t data = c.data_ids.size;
  TOLV_CHECK(fixed("frames", "rig_ids", c.rig_ids, rows, 1));
  TOLV_CHECK(fixed("frames", "quaternions", c.quaternions, rows, 4));
  TOLV_CHECK(fixed("frames", "translations", c.translations, rows, 3));
  TOLV_CHECK(offsets_error("frames", "data_offsets", c.data_offsets, rows, data));
  TOLV_CHECK(fixed("frames", "data_sensor_types", c.data_sensor_types, data, 1));
  TOLV_CHECK(fixed("frames", "data_sensor_ids", c.data_sensor_ids, data, 1));
  for (size_t k = 0; k < rows; ++k) {
    if (c.data_offsets[k + 1] - c.data_offsets[k] > int64_t{0xFFFFFFFF}) {
      return at_row("frames", "data_offsets", k, "more data ids than a frame record holds");
    }
  }
  if (format == WriteFormat::Text) {
    for (size_t d = 0; d < data; ++d) {
      if (!named_sensor_type(c.data_sensor_types[d])) {
        return at_row("frames", "data_sensor_types", d, "not a sensor type (-1, 0 or 1)");
      }
    }
  }
  return "";
}

}  // namespace

std::string check_views(const ModelViews& model, WriteFormat format) {
  TOLV_CHECK(check_cameras(model.cameras));
  TOLV_CHECK(check_images(model.images, format));
  TOLV_CHECK(check_points(model.points));
  if (model.rigs) TOLV_CHECK(check_rigs(*model.rigs, format));
  if (model.frames) TOLV_CHECK(check_frames(*model.frames, format));
  return "";
}

}  // namespace tolv::model_io
