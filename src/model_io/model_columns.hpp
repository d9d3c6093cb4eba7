// A whole COLMAP model as flat columns, one per array the Python side returns, rows in
// the order the records are stored in the files. No Python.h.
//
// Variable-length lists (an image's 2D points, a point's track, a rig's sensors, a
// frame's data ids) are compressed: offsets of length rows + 1, row k's entries in
// [offsets[k], offsets[k + 1]) of the flat columns. Fixed-width rows are row-major.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/default_init.hpp"

namespace tolv::model_io {

// Asks the kernel for all pages of a fresh block of memory at once, which costs less
// than taking a fault on each as the block is first written; a no-op where the kernel
// cannot (before Linux 5.14, other systems).
void prefault(void* data, size_t bytes) noexcept;

// DefaultInitAllocator whose large blocks are prefaulted: the columns are written
// whole right after they are sized.
template <class T>
struct ColumnAllocator : DefaultInitAllocator<T> {
  template <class U>
  struct rebind {
    using other = ColumnAllocator<U>;
  };
  ColumnAllocator() = default;
  template <class U>
  ColumnAllocator(const ColumnAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    T* data = DefaultInitAllocator<T>::allocate(n);
    prefault(data, n * sizeof(T));
    return data;
  }
};

// A column filled right after it is sized: no zero-fill before the real values.
template <class T>
using Column = std::vector<T, ColumnAllocator<T>>;

struct CameraColumns {
  Column<uint32_t> ids;         // camera id
  Column<int32_t> model_ids;    // COLMAP's model id, 0 to 17
  Column<uint64_t> widths;      // image width in pixels
  Column<uint64_t> heights;     // image height in pixels
  Column<int64_t> param_offsets;  // rows + 1: camera k's params in [k], [k + 1])
  Column<double> params;        // each camera's parameters in stored order
};

struct ImageColumns {
  Column<uint32_t> ids;            // image id
  Column<double> quaternions;      // 4 per image: world-to-camera w, x, y, z as stored
  Column<double> translations;     // 3 per image: world-to-camera translation as stored
  Column<uint32_t> camera_ids;     // the image's camera
  Column<int64_t> name_offsets;    // rows + 1, into name_bytes
  Column<char> name_bytes;         // the names' stored bytes, concatenated, no NULs
  Column<int64_t> points2D_offsets;  // rows + 1, into xys and point3D_ids
  Column<double> xys;              // 2 per 2D point: x, y in pixels
  Column<uint64_t> point3D_ids;    // per 2D point; all ones for "no 3D point"
};

struct PointColumns {
  Column<uint64_t> ids;                // point id
  Column<double> xyz;                  // 3 per point: world coordinates
  Column<uint8_t> rgb;                 // 3 per point: red, green, blue
  Column<double> errors;               // reprojection error in pixels
  Column<int64_t> track_offsets;       // rows + 1, into the two track columns
  Column<uint32_t> track_image_ids;    // per track element: the observing image
  Column<uint32_t> track_point2D_idxs; // per track element: the 2D point in that image
};

// A rig's sensors, the reference sensor first (a rig may have none). The reference
// sensor has no pose (has_pose 0, NaN pose); every other sensor stores has_pose as
// read, and its sensor_from_rig pose when has_pose is not 0.
struct RigColumns {
  Column<uint32_t> ids;                  // rig id
  Column<int64_t> sensor_offsets;        // rows + 1, into the sensor columns
  Column<int32_t> sensor_types;          // COLMAP's sensor type: -1 invalid, 0 camera, 1 IMU
  Column<uint32_t> sensor_ids;           // the sensor's id (a camera id for cameras)
  Column<uint8_t> has_pose;              // the stored flag byte; 0 for reference sensors
  Column<double> sensor_quaternions;     // 4 per sensor: sensor_from_rig w, x, y, z; NaN if none
  Column<double> sensor_translations;    // 3 per sensor: sensor_from_rig translation; NaN if none
};

struct FrameColumns {
  Column<uint32_t> ids;                  // frame id
  Column<uint32_t> rig_ids;              // the frame's rig
  Column<double> quaternions;            // 4 per frame: rig_from_world w, x, y, z
  Column<double> translations;           // 3 per frame: rig_from_world translation
  Column<int64_t> data_offsets;          // rows + 1, into the data columns
  Column<int32_t> data_sensor_types;     // per data id: sensor type as in RigColumns
  Column<uint32_t> data_sensor_ids;      // per data id: the sensor
  Column<uint64_t> data_ids;             // per data id: the image id for a camera
};

struct ModelColumns {
  CameraColumns cameras;
  ImageColumns images;
  PointColumns points;
  std::optional<RigColumns> rigs;      // absent when the folder has no rigs file
  std::optional<FrameColumns> frames;  // absent when the folder has no frames file
};

}  // namespace tolv::model_io
