// The binary encoders: each file's exact size first, then one pass of stores into it.
#include "model_io/binary_writer.hpp"

#include <cstring>
#include <new>

namespace tolv::model_io {

size_t add_size(size_t a, size_t b) {
  if (b > SIZE_MAX - a) throw std::bad_alloc();
  return a + b;
}

size_t mul_size(size_t a, size_t b) {
  if (a != 0 && b > SIZE_MAX / a) throw std::bad_alloc();
  return a * b;
}

namespace {

// Little-endian stores through memcpy: fields sit at any byte offset.
template <class T>
inline uint8_t* store(uint8_t* p, T value) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 4 || sizeof(T) == 8, "field width");
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(p, &value, sizeof value);
#else
  uint64_t bits = 0;
  if constexpr (sizeof(T) == 8) {
    std::memcpy(&bits, &value, 8);
  } else if constexpr (sizeof(T) == 4) {
    uint32_t narrow;
    std::memcpy(&narrow, &value, 4);
    bits = narrow;
  } else {
    bits = static_cast<uint8_t>(value);
  }
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
#endif
  return p + sizeof(T);
}

inline uint8_t* store_doubles(uint8_t* p, const double* values, size_t n) {
  for (size_t k = 0; k < n; ++k) p = store(p, values[k]);
  return p;
}

FileBytes sized(size_t bytes) {
  FileBytes out;
  out.resize(bytes);
  return out;
}

size_t list_length(const ColumnView<int64_t>& offsets, size_t k) {
  return static_cast<size_t>(offsets[k + 1] - offsets[k]);
}

}  // namespace

FileBytes encode_cameras_binary(const CameraViews& c) {
  const size_t rows = c.ids.size;
  FileBytes out = sized(add_size(add_size(8, mul_size(rows, 24)), mul_size(c.params.size, 8)));
  uint8_t* p = store<uint64_t>(out.data(), rows);
  for (size_t k = 0; k < rows; ++k) {
    p = store(p, c.ids[k]);
    p = store(p, c.model_ids[k]);
    p = store(p, c.widths[k]);
    p = store(p, c.heights[k]);
    p = store_doubles(p, c.params.data + c.param_offsets[k], list_length(c.param_offsets, k));
  }
  return out;
}

FileBytes encode_images_binary(const ImageViews& c) {
  const size_t rows = c.ids.size;
  const size_t fixed = 4 + 32 + 24 + 4 + 1 + 8;  // through the name's NUL and the count
  size_t bytes = add_size(8, mul_size(rows, fixed));
  bytes = add_size(bytes, c.name_bytes.size);
  bytes = add_size(bytes, mul_size(c.point3D_ids.size, 24));
  FileBytes out = sized(bytes);
  uint8_t* p = store<uint64_t>(out.data(), rows);
  for (size_t k = 0; k < rows; ++k) {
    p = store(p, c.ids[k]);
    p = store_doubles(p, c.quaternions.data + 4 * k, 4);
    p = store_doubles(p, c.translations.data + 3 * k, 3);
    p = store(p, c.camera_ids[k]);
    const size_t name_length = list_length(c.name_offsets, k);
    if (name_length != 0) std::memcpy(p, c.name_bytes.data + c.name_offsets[k], name_length);
    p += name_length;
    *p++ = 0;
    const size_t n = list_length(c.points2D_offsets, k);
    p = store<uint64_t>(p, n);
    const size_t first = static_cast<size_t>(c.points2D_offsets[k]);
    for (size_t j = first; j < first + n; ++j) {
      p = store(p, c.xys[2 * j]);
      p = store(p, c.xys[2 * j + 1]);
      p = store(p, c.point3D_ids[j]);
    }
  }
  return out;
}

FileBytes encode_points3D_binary(const PointViews& c) {
  const size_t rows = c.ids.size;
  const size_t fixed = 8 + 24 + 3 + 8 + 8;
  FileBytes out = sized(add_size(add_size(8, mul_size(rows, fixed)),
                                 mul_size(c.track_image_ids.size, 8)));
  uint8_t* p = store<uint64_t>(out.data(), rows);
  for (size_t k = 0; k < rows; ++k) {
    p = store(p, c.ids[k]);
    p = store_doubles(p, c.xyz.data + 3 * k, 3);
    std::memcpy(p, c.rgb.data + 3 * k, 3);
    p += 3;
    p = store(p, c.errors[k]);
    const size_t n = list_length(c.track_offsets, k);
    p = store<uint64_t>(p, n);
    const size_t first = static_cast<size_t>(c.track_offsets[k]);
    for (size_t j = first; j < first + n; ++j) {
      p = store(p, c.track_image_ids[j]);
      p = store(p, c.track_point2D_idxs[j]);
    }
  }
  return out;
}

FileBytes encode_rigs_binary(const RigViews& c) {
  const size_t rows = c.ids.size;
  // Every sensor at its largest (a pose), then less the flag and pose of each reference.
  size_t bytes = add_size(8, mul_size(rows, 8));
  bytes = add_size(bytes, mul_size(c.sensor_ids.size, 4 + 4 + 1 + 56));
  FileBytes out = sized(bytes);
  uint8_t* p = store<uint64_t>(out.data(), rows);
  for (size_t k = 0; k < rows; ++k) {
    p = store(p, c.ids[k]);
    const size_t n = list_length(c.sensor_offsets, k);
    p = store<uint32_t>(p, static_cast<uint32_t>(n));
    const size_t first = static_cast<size_t>(c.sensor_offsets[k]);
    for (size_t s = first; s < first + n; ++s) {
      p = store(p, c.sensor_types[s]);
      p = store(p, c.sensor_ids[s]);
      if (s == first) continue;  // the reference sensor stores no pose flag
      p = store(p, c.has_pose[s]);
      if (c.has_pose[s] != 0) {
        p = store_doubles(p, c.sensor_quaternions.data + 4 * s, 4);
        p = store_doubles(p, c.sensor_translations.data + 3 * s, 3);
      }
    }
  }
  out.resize(static_cast<size_t>(p - out.data()));
  return out;
}

FileBytes encode_frames_binary(const FrameViews& c) {
  const size_t rows = c.ids.size;
  const size_t fixed = 4 + 4 + 32 + 24 + 4;
  FileBytes out = sized(add_size(add_size(8, mul_size(rows, fixed)),
                                 mul_size(c.data_ids.size, 16)));
  uint8_t* p = store<uint64_t>(out.data(), rows);
  for (size_t k = 0; k < rows; ++k) {
    p = store(p, c.ids[k]);
    p = store(p, c.rig_ids[k]);
    p = store_doubles(p, c.quaternions.data + 4 * k, 4);
    p = store_doubles(p, c.translations.data + 3 * k, 3);
    const size_t n = list_length(c.data_offsets, k);
    p = store<uint32_t>(p, static_cast<uint32_t>(n));
    const size_t first = static_cast<size_t>(c.data_offsets[k]);
    for (size_t d = first; d < first + n; ++d) {
      p = store(p, c.data_sensor_types[d]);
      p = store(p, c.data_sensor_ids[d]);
      p = store(p, c.data_ids[d]);
    }
  }
  return out;
}

}  // namespace tolv::model_io
