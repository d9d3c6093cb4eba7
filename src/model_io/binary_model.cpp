// The binary model parsers: cameras.bin, images.bin, points3D.bin, rigs.bin and frames.bin
// into columns, in two passes over the records. No Python.h.
//
// Pass 1 walks the records with a check before every field, fills the one-row-per-record
// columns and the offsets, and so learns the length of every flat column. Each flat column
// is then sized once, and pass 2 fills it with unchecked loads: pass 1 proved the bytes
// are there, and the offsets give each record's layout.
#include "model_io/binary_model.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "core/byte_reader.hpp"
#include "model_io/camera_model_table.hpp"
#include "model_io/format_error.hpp"

namespace tolv::model_io {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bytes of the parts of each record; the minimal record bounds the record count.
constexpr size_t kCountBytes = 8;
constexpr size_t kCameraFixedBytes = 4 + 4 + 8 + 8;          // id, model id, width, height
constexpr size_t kImageFixedBytes = 4 + 32 + 24 + 4;         // id, quaternion, translation, camera
constexpr size_t kImageMinBytes = kImageFixedBytes + 1 + 8;  // an empty name's NUL, the count
constexpr size_t kPoint2DBytes = 8 + 8 + 8;                  // x, y, point3D id
constexpr size_t kPointMinBytes = 8 + 24 + 3 + 8 + 8;        // id, xyz, rgb, error, track length
constexpr size_t kTrackElementBytes = 4 + 4;                 // image id, point2D index
constexpr size_t kRigMinBytes = 4 + 4;                       // id, number of sensors
constexpr size_t kRefSensorBytes = 4 + 4;                    // type, id
constexpr size_t kSensorMinBytes = 4 + 4 + 1;                // type, id, pose flag
constexpr size_t kFrameMinBytes = 4 + 4 + 32 + 24 + 4;       // id, rig id, pose, 4-byte count
constexpr size_t kDataIdBytes = 4 + 4 + 8;                   // sensor type, sensor id, data id

// One kind of record and the list it may carry, as the messages name them.
struct RecordKind {
  const char* one;         // "image"
  const char* many;        // "images"
  const char* item_one;    // "2D point", or nullptr for records without a list
  const char* item_many;   // "2D points"
};

constexpr RecordKind kCameraKind = {"camera", "cameras", nullptr, nullptr};
constexpr RecordKind kImageKind = {"image", "images", "2D point", "2D points"};
constexpr RecordKind kPointKind = {"point", "points", "track element", "track elements"};
constexpr RecordKind kRigKind = {"rig", "rigs", "sensor", "sensors"};
constexpr RecordKind kFrameKind = {"frame", "frames", "data id", "data ids"};

std::string count_of(uint64_t n, const char* one, const char* many) {
  return grouped(n) + " " + (n == 1 ? one : many);
}

const char* remain_verb(uint64_t n) { return n == 1 ? " remains" : " remain"; }

// The record a check belongs to, for its message: "image 51" once the id is read,
// "image record 3 of 5" before, "the file" for the record count.
struct RecordRef {
  const RecordKind* kind = nullptr;  // nullptr for the file's header
  uint64_t index = 0;                // from 0, in file order
  uint64_t count = 0;
  bool id_known = false;
  uint64_t id = 0;
  uint32_t sensor = 0;  // from 1 while a rig's sensor is read; 1 is the reference sensor

  std::string text() const {
    if (kind == nullptr) return "the file";
    if (id_known) return std::string(kind->one) + " " + std::to_string(id);
    return std::string(kind->one) + " record " + grouped(index + 1) + " of " + grouped(count);
  }

  std::string field_text(const char* field) const {
    if (sensor == 0) return std::string("its ") + field;
    if (sensor == 1) return std::string("the ") + field + " of its reference sensor";
    return std::string("the ") + field + " of its sensor " + std::to_string(sensor);
  }
};

// "image 51 is cut off at its camera id: 4 bytes needed, 3 remain"
[[noreturn]] void fail_cut(uint64_t offset, const RecordRef& record, const char* field,
                           size_t needed, size_t remaining) {
  fail_at_byte(offset, record.text() + " is cut off at " + record.field_text(field) + ": " +
                           count_of(needed, "byte", "bytes") + " needed, " +
                           grouped(remaining) + remain_verb(remaining));
}

// "image 51 declares 5,000 2D points, but 3,112 bytes remain"
[[noreturn]] void fail_list(uint64_t offset, const RecordRef& record, uint64_t declared,
                            size_t remaining) {
  fail_at_byte(offset, record.text() + " declares " +
                           count_of(declared, record.kind->item_one, record.kind->item_many) +
                           ", but " + count_of(remaining, "byte", "bytes") +
                           remain_verb(remaining));
}

// The checked cursor of pass 1: every field is checked against the bytes that remain,
// in a form that cannot overflow, before it is read.
class Cursor {
 public:
  explicit Cursor(ByteSpan bytes) : data_(bytes.data), size_(bytes.size) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return size_ - pos_; }

  // The width bytes of a field, stepped over; fails naming the field when they are not there.
  const uint8_t* take(size_t width, const RecordRef& record, const char* field) {
    if (width > size_ - pos_) fail_cut(pos_, record, field, width, size_ - pos_);
    const uint8_t* field_start = data_ + pos_;
    pos_ += width;
    return field_start;
  }

  template <class T>
  T load(const RecordRef& record, const char* field) {
    return load_le<T>(take(sizeof(T), record, field));
  }

  // Steps over count list items of item_bytes each; the count field, of count_bytes,
  // has just been read.
  void take_list(uint64_t count, size_t item_bytes, const RecordRef& record,
                 size_t count_bytes = kCountBytes) {
    if (count > remaining() / item_bytes) fail_list(pos_ - count_bytes, record, count, remaining());
    pos_ += static_cast<size_t>(count) * item_bytes;
  }

  // Reads the 8-byte record count and checks that the bytes after it can hold that many
  // records of at least min_record_bytes each, so the count is safe to size columns by.
  size_t record_count(const RecordKind& kind, size_t min_record_bytes) {
    const RecordRef file;
    const std::string field = std::string("number of ") + kind.many;
    const uint64_t count = load<uint64_t>(file, field.c_str());
    const size_t most = remaining() / min_record_bytes;
    if (count > most) {
      fail_at_byte(0, "the file declares " + count_of(count, kind.one, kind.many) + ", but its " +
                          count_of(remaining(), "remaining byte", "remaining bytes") +
                          (remaining() == 1 ? " holds" : " hold") + " at most " + grouped(most));
    }
    return static_cast<size_t>(count);
  }

  // The bytes of a NUL-terminated name, the NUL stepped over; fails when there is no NUL.
  size_t take_name(const RecordRef& record) {
    const void* nul = std::memchr(data_ + pos_, 0, size_ - pos_);
    if (nul == nullptr) {
      fail_at_byte(pos_, record.text() + " is cut off: its name has no terminating NUL byte");
    }
    const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (data_ + pos_));
    pos_ += length + 1;
    return length;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Copies n doubles from p to out, unchecked; returns the byte after them.
inline const uint8_t* copy_doubles(const uint8_t* p, size_t n, double* out) {
  for (size_t k = 0; k < n; ++k) out[k] = load_le<double>(p + 8 * k);
  return p + 8 * n;
}

size_t min_camera_record_bytes() {
  size_t fewest = 255;
  for (size_t k = 0; k < kNumCameraModels; ++k) {
    if (camera_model_table()[k].num_params < fewest) fewest = camera_model_table()[k].num_params;
  }
  return kCameraFixedBytes + 8 * fewest;
}

}  // namespace

CameraColumns parse_cameras_binary(ByteSpan bytes) {
  Cursor cursor(bytes);
  const size_t rows = cursor.record_count(kCameraKind, min_camera_record_bytes());
  CameraColumns out;
  out.ids.resize(rows);
  out.model_ids.resize(rows);
  out.widths.resize(rows);
  out.heights.resize(rows);
  out.param_offsets.resize(rows + 1);
  out.param_offsets[0] = 0;
  size_t total_params = 0;
  RecordRef record{&kCameraKind, 0, rows};
  for (size_t k = 0; k < rows; ++k) {
    record.index = k;
    record.id_known = false;
    const uint32_t id = cursor.load<uint32_t>(record, "id");
    record.id = id;
    record.id_known = true;
    const size_t model_offset = cursor.position();
    const int32_t model_id = cursor.load<int32_t>(record, "model id");
    const CameraModelInfo* model = camera_model_by_id(model_id);
    if (model == nullptr) {
      fail_at_byte(model_offset, record.text() + " has camera model id " +
                                     std::to_string(model_id) +
                                     ", which is not a COLMAP camera model (0 to " +
                                     std::to_string(kNumCameraModels - 1) + ")");
    }
    out.ids[k] = id;
    out.model_ids[k] = model_id;
    out.widths[k] = cursor.load<uint64_t>(record, "width");
    out.heights[k] = cursor.load<uint64_t>(record, "height");
    cursor.take(8 * size_t{model->num_params}, record, "parameters");
    total_params += model->num_params;
    out.param_offsets[k + 1] = static_cast<int64_t>(total_params);
  }

  out.params.resize(total_params);
  const uint8_t* p = bytes.data + kCountBytes;
  double* params = out.params.data();
  for (size_t k = 0; k < rows; ++k) {
    const size_t n = static_cast<size_t>(out.param_offsets[k + 1] - out.param_offsets[k]);
    p = copy_doubles(p + kCameraFixedBytes, n, params);
    params += n;
  }
  return out;
}

ImageColumns parse_images_binary(ByteSpan bytes) {
  Cursor cursor(bytes);
  const size_t rows = cursor.record_count(kImageKind, kImageMinBytes);
  ImageColumns out;
  out.ids.resize(rows);
  out.quaternions.resize(4 * rows);
  out.translations.resize(3 * rows);
  out.camera_ids.resize(rows);
  out.name_offsets.resize(rows + 1);
  out.points2D_offsets.resize(rows + 1);
  out.name_offsets[0] = 0;
  out.points2D_offsets[0] = 0;
  size_t total_name_bytes = 0;
  size_t total_points2D = 0;
  RecordRef record{&kImageKind, 0, rows};
  for (size_t k = 0; k < rows; ++k) {
    record.index = k;
    record.id_known = false;
    const uint32_t id = cursor.load<uint32_t>(record, "id");
    record.id = id;
    record.id_known = true;
    out.ids[k] = id;
    copy_doubles(cursor.take(32, record, "quaternion"), 4, &out.quaternions[4 * k]);
    copy_doubles(cursor.take(24, record, "translation"), 3, &out.translations[3 * k]);
    out.camera_ids[k] = cursor.load<uint32_t>(record, "camera id");
    total_name_bytes += cursor.take_name(record);
    out.name_offsets[k + 1] = static_cast<int64_t>(total_name_bytes);
    const uint64_t count = cursor.load<uint64_t>(record, "number of 2D points");
    cursor.take_list(count, kPoint2DBytes, record);
    total_points2D += static_cast<size_t>(count);
    out.points2D_offsets[k + 1] = static_cast<int64_t>(total_points2D);
  }

  out.name_bytes.resize(total_name_bytes);
  out.xys.resize(2 * total_points2D);
  out.point3D_ids.resize(total_points2D);
  const uint8_t* p = bytes.data + kCountBytes;
  char* names = out.name_bytes.data();
  double* xys = out.xys.data();
  uint64_t* point3D_ids = out.point3D_ids.data();
  for (size_t k = 0; k < rows; ++k) {
    const size_t name_length = static_cast<size_t>(out.name_offsets[k + 1] - out.name_offsets[k]);
    p += kImageFixedBytes;
    if (name_length != 0) std::memcpy(names, p, name_length);  // memcpy: no null pointers
    names += name_length;
    p += name_length + 1 + kCountBytes;
    const size_t n = static_cast<size_t>(out.points2D_offsets[k + 1] - out.points2D_offsets[k]);
    for (size_t j = 0; j < n; ++j) {
      xys[0] = load_le<double>(p);
      xys[1] = load_le<double>(p + 8);
      *point3D_ids = load_le<uint64_t>(p + 16);
      xys += 2;
      ++point3D_ids;
      p += kPoint2DBytes;
    }
  }
  return out;
}

PointColumns parse_points3D_binary(ByteSpan bytes) {
  Cursor cursor(bytes);
  const size_t rows = cursor.record_count(kPointKind, kPointMinBytes);
  PointColumns out;
  out.ids.resize(rows);
  out.xyz.resize(3 * rows);
  out.rgb.resize(3 * rows);
  out.errors.resize(rows);
  out.track_offsets.resize(rows + 1);
  out.track_offsets[0] = 0;
  size_t total_track = 0;
  RecordRef record{&kPointKind, 0, rows};
  double* xyz = out.xyz.data();
  uint8_t* rgb = out.rgb.data();
  for (size_t k = 0; k < rows; ++k) {
    record.index = k;
    record.id_known = false;
    const uint64_t id = cursor.load<uint64_t>(record, "id");
    record.id = id;
    record.id_known = true;
    out.ids[k] = id;
    copy_doubles(cursor.take(24, record, "position"), 3, xyz);
    xyz += 3;
    std::memcpy(rgb, cursor.take(3, record, "color"), 3);
    rgb += 3;
    out.errors[k] = cursor.load<double>(record, "error");
    const uint64_t length = cursor.load<uint64_t>(record, "track length");
    cursor.take_list(length, kTrackElementBytes, record);
    total_track += static_cast<size_t>(length);
    out.track_offsets[k + 1] = static_cast<int64_t>(total_track);
  }

  out.track_image_ids.resize(total_track);
  out.track_point2D_idxs.resize(total_track);
  const uint8_t* p = bytes.data + kCountBytes;
  uint32_t* image_ids = out.track_image_ids.data();
  uint32_t* point2D_idxs = out.track_point2D_idxs.data();
  for (size_t k = 0; k < rows; ++k) {
    p += kPointMinBytes;
    const size_t n = static_cast<size_t>(out.track_offsets[k + 1] - out.track_offsets[k]);
    for (size_t j = 0; j < n; ++j) {
      *image_ids++ = load_le<uint32_t>(p);
      *point2D_idxs++ = load_le<uint32_t>(p + 4);
      p += kTrackElementBytes;
    }
  }
  return out;
}

RigColumns parse_rigs_binary(ByteSpan bytes) {
  Cursor cursor(bytes);
  const size_t rows = cursor.record_count(kRigKind, kRigMinBytes);
  RigColumns out;
  out.ids.resize(rows);
  out.sensor_offsets.resize(rows + 1);
  out.sensor_offsets[0] = 0;
  size_t total_sensors = 0;
  RecordRef record{&kRigKind, 0, rows};
  for (size_t k = 0; k < rows; ++k) {
    record.index = k;
    record.id_known = false;
    record.sensor = 0;
    const uint32_t id = cursor.load<uint32_t>(record, "id");
    record.id = id;
    record.id_known = true;
    out.ids[k] = id;
    const uint32_t sensors = cursor.load<uint32_t>(record, "number of sensors");
    if (sensors != 0) {
      // The reference sensor, then sensors - 1 others of at least kSensorMinBytes each.
      const size_t left = cursor.remaining();
      if (left < kRefSensorBytes || sensors - 1 > (left - kRefSensorBytes) / kSensorMinBytes) {
        fail_list(cursor.position() - 4, record, sensors, left);
      }
      record.sensor = 1;
      cursor.take(4, record, "type");
      cursor.take(4, record, "id");
      for (uint32_t s = 2; s <= sensors; ++s) {
        record.sensor = s;
        cursor.take(4, record, "type");
        cursor.take(4, record, "id");
        if (cursor.load<uint8_t>(record, "pose flag") != 0) {
          cursor.take(32, record, "quaternion");
          cursor.take(24, record, "translation");
        }
      }
    }
    total_sensors += sensors;
    out.sensor_offsets[k + 1] = static_cast<int64_t>(total_sensors);
  }

  out.sensor_types.resize(total_sensors);
  out.sensor_ids.resize(total_sensors);
  out.has_pose.resize(total_sensors);
  out.sensor_quaternions.resize(4 * total_sensors);
  out.sensor_translations.resize(3 * total_sensors);
  const uint8_t* p = bytes.data + kCountBytes;
  size_t s = 0;
  for (size_t k = 0; k < rows; ++k) {
    p += kRigMinBytes;
    const size_t end = static_cast<size_t>(out.sensor_offsets[k + 1]);
    for (bool reference = true; s < end; ++s, reference = false) {
      out.sensor_types[s] = load_le<int32_t>(p);
      out.sensor_ids[s] = load_le<uint32_t>(p + 4);
      p += 8;
      const uint8_t flag = reference ? 0 : *p++;
      out.has_pose[s] = flag;
      double* quaternion = &out.sensor_quaternions[4 * s];
      double* translation = &out.sensor_translations[3 * s];
      if (flag != 0) {
        p = copy_doubles(p, 4, quaternion);
        p = copy_doubles(p, 3, translation);
      } else {
        for (size_t j = 0; j < 4; ++j) quaternion[j] = kNaN;
        for (size_t j = 0; j < 3; ++j) translation[j] = kNaN;
      }
    }
  }
  return out;
}

FrameColumns parse_frames_binary(ByteSpan bytes) {
  Cursor cursor(bytes);
  const size_t rows = cursor.record_count(kFrameKind, kFrameMinBytes);
  FrameColumns out;
  out.ids.resize(rows);
  out.rig_ids.resize(rows);
  out.quaternions.resize(4 * rows);
  out.translations.resize(3 * rows);
  out.data_offsets.resize(rows + 1);
  out.data_offsets[0] = 0;
  size_t total_data = 0;
  RecordRef record{&kFrameKind, 0, rows};
  for (size_t k = 0; k < rows; ++k) {
    record.index = k;
    record.id_known = false;
    const uint32_t id = cursor.load<uint32_t>(record, "id");
    record.id = id;
    record.id_known = true;
    out.ids[k] = id;
    out.rig_ids[k] = cursor.load<uint32_t>(record, "rig id");
    copy_doubles(cursor.take(32, record, "quaternion"), 4, &out.quaternions[4 * k]);
    copy_doubles(cursor.take(24, record, "translation"), 3, &out.translations[3 * k]);
    const uint32_t count = cursor.load<uint32_t>(record, "number of data ids");
    cursor.take_list(count, kDataIdBytes, record, sizeof count);
    total_data += static_cast<size_t>(count);
    out.data_offsets[k + 1] = static_cast<int64_t>(total_data);
  }

  out.data_sensor_types.resize(total_data);
  out.data_sensor_ids.resize(total_data);
  out.data_ids.resize(total_data);
  const uint8_t* p = bytes.data + kCountBytes;
  size_t d = 0;
  for (size_t k = 0; k < rows; ++k) {
    p += kFrameMinBytes;
    const size_t end = static_cast<size_t>(out.data_offsets[k + 1]);
    for (; d < end; ++d, p += kDataIdBytes) {
      out.data_sensor_types[d] = load_le<int32_t>(p);
      out.data_sensor_ids[d] = load_le<uint32_t>(p + 4);
      out.data_ids[d] = load_le<uint64_t>(p + 8);
    }
  }
  return out;
}

}  // namespace tolv::model_io
