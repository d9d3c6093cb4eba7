// The text encoders: rows appended to a block that is handed to the sink whenever the
// next row's largest text might not fit, so the appends themselves check nothing.
#include "model_io/text_writer.hpp"

#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "model_io/camera_model_table.hpp"

namespace tolv::model_io {

char* write_number(char* out, double value) {
  // %.17g: 17 significant digits, trailing zeros dropped, exponent form below 1e-4 and
  // from 1e17, at least two exponent digits. std::to_chars' general form is defined as
  // printf's, without the locale.
  return std::to_chars(out, out + kMaxNumberChars, value, std::chars_format::general, 17).ptr;
}

namespace {

constexpr uint64_t kNoPoint3D = ~uint64_t{0};
constexpr size_t kMaxIntegerChars = 21;  // a sign and 20 digits
constexpr size_t kField = kMaxNumberChars + 1;  // a number and its separator

class TextOut {
 public:
  explicit TextOut(ByteSink& sink) : sink_(sink) {
    block_.resize(kFirstBlock);
    p_ = block_.data();
  }

  // Makes room for more bytes after the end, handing what is there to the sink first.
  void reserve(size_t more) {
    size_t used = static_cast<size_t>(p_ - block_.data());
    if (more > block_.size() - used) {
      if (used != 0) sink_.write(block_.data(), used);
      used = 0;
      grow(more);
    }
    p_ = block_.data() + used;
  }

  void text(std::string_view s) {
    reserve(s.size());
    raw(s.data(), s.size());
  }
  // The appends below need the room reserve made.
  void raw(const char* s, size_t n) {
    if (n != 0) std::memcpy(p_, s, n);
    p_ += n;
  }
  void c(char ch) { *p_++ = static_cast<uint8_t>(ch); }
  void number(double v) { p_ = reinterpret_cast<uint8_t*>(write_number(chars(), v)); }
  template <class T>
  void integer(T v) {
    p_ = reinterpret_cast<uint8_t*>(std::to_chars(chars(), chars() + kMaxIntegerChars, v).ptr);
  }
  void numbers(const double* values, size_t n) {
    for (size_t k = 0; k < n; ++k) {
      c(' ');
      number(values[k]);
    }
  }

  void finish() {
    const size_t used = static_cast<size_t>(p_ - block_.data());
    if (used != 0) sink_.write(block_.data(), used);
    p_ = block_.data();
  }

 private:
  // Small for small files; it grows to kBlock, large enough that each write costs
  // little, small enough to stay in the caches.
  static constexpr size_t kFirstBlock = size_t{1} << 12;
  static constexpr size_t kBlock = size_t{1} << 20;

  // After a flush, before the next row: a larger block, and one the row fits in.
  void grow(size_t bytes) {
    size_t size = block_.size();
    if (size < kBlock) size = size * 2 < kBlock ? size * 2 : kBlock;
    if (bytes > size) size = bytes;
    if (size != block_.size()) block_.resize(size);
  }
  char* chars() { return reinterpret_cast<char*>(p_); }
  ByteSink& sink_;
  // Not prefaulted: a small file uses little of it.
  std::vector<uint8_t, DefaultInitAllocator<uint8_t>> block_;
  uint8_t* p_ = nullptr;
};

class MemorySink final : public ByteSink {
 public:
  void write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
  }
  FileBytes bytes;
};

template <class Views>
FileBytes in_memory(const Views& views, void (*encode)(const Views&, ByteSink&)) {
  MemorySink sink;
  encode(views, sink);
  return std::move(sink.bytes);
}

// "# Number of images: 3, mean observations per image: 2.5" and its line end.
void count_line(TextOut& out, const char* what, size_t rows, const char* mean_text,
                size_t total) {
  out.text(what);
  out.reserve(2 * kField + 64);
  out.integer(static_cast<uint64_t>(rows));
  if (mean_text != nullptr) {
    out.raw(mean_text, std::strlen(mean_text));
    out.number(rows == 0 ? 0.0 : static_cast<double>(total) / static_cast<double>(rows));
  }
  out.c('\n');
}

size_t list_length(const ColumnView<int64_t>& offsets, size_t k) {
  return static_cast<size_t>(offsets[k + 1] - offsets[k]);
}

void sensor_type(TextOut& out, int32_t type) {
  if (type == 0) {
    out.raw("CAMERA", 6);
  } else if (type == 1) {
    out.raw("IMU", 3);
  } else {
    out.raw("INVALID", 7);
  }
}

}  // namespace

void encode_cameras_text(const CameraViews& c, ByteSink& sink) {
  TextOut out(sink);
  const size_t rows = c.ids.size;
  out.text("# Camera list with one line of data per camera:\n"
           "#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]\n");
  count_line(out, "# Number of cameras: ", rows, nullptr, 0);
  for (size_t k = 0; k < rows; ++k) {
    const CameraModelInfo& model = *camera_model_by_id(c.model_ids[k]);
    const size_t n = list_length(c.param_offsets, k);
    out.reserve(add_size(4 * kField + 32, mul_size(n, kField)));
    out.integer(c.ids[k]);
    out.c(' ');
    out.raw(model.name, std::strlen(model.name));
    out.c(' ');
    out.integer(c.widths[k]);
    out.c(' ');
    out.integer(c.heights[k]);
    out.numbers(c.params.data + c.param_offsets[k], n);
    out.c('\n');
  }
  out.finish();
}

void encode_images_text(const ImageViews& c, ByteSink& sink) {
  TextOut out(sink);
  const size_t rows = c.ids.size;
  size_t observations = 0;
  for (size_t j = 0; j < c.point3D_ids.size; ++j) observations += c.point3D_ids[j] != kNoPoint3D;
  out.text("# Image list with two lines of data per image:\n"
           "#   IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME\n"
           "#   POINTS2D[] as (X, Y, POINT3D_ID)\n");
  count_line(out, "# Number of images: ", rows, ", mean observations per image: ", observations);
  for (size_t k = 0; k < rows; ++k) {
    const size_t name_length = list_length(c.name_offsets, k);
    const size_t n = list_length(c.points2D_offsets, k);
    out.reserve(add_size(add_size(10 * kField + 2, name_length), mul_size(n, 3 * kField)));
    out.integer(c.ids[k]);
    out.numbers(c.quaternions.data + 4 * k, 4);
    out.numbers(c.translations.data + 3 * k, 3);
    out.c(' ');
    out.integer(c.camera_ids[k]);
    out.c(' ');
    out.raw(c.name_bytes.data + c.name_offsets[k], name_length);
    out.c('\n');
    const size_t first = static_cast<size_t>(c.points2D_offsets[k]);
    for (size_t j = first; j < first + n; ++j) {
      out.number(c.xys[2 * j]);
      out.c(' ');
      out.number(c.xys[2 * j + 1]);
      out.c(' ');
      if (c.point3D_ids[j] == kNoPoint3D) {
        out.raw("-1", 2);
      } else {
        out.integer(c.point3D_ids[j]);
      }
      out.c(' ');  // COLMAP ends each triple with a space, the last one too
    }
    out.c('\n');
  }
  out.finish();
}

void encode_points3D_text(const PointViews& c, ByteSink& sink) {
  TextOut out(sink);
  const size_t rows = c.ids.size;
  out.text("# 3D point list with one line of data per point:\n"
           "#   POINT3D_ID, X, Y, Z, R, G, B, ERROR, TRACK[] as (IMAGE_ID, POINT2D_IDX)\n");
  count_line(out, "# Number of points: ", rows, ", mean track length: ", c.track_image_ids.size);
  for (size_t k = 0; k < rows; ++k) {
    const size_t n = list_length(c.track_offsets, k);
    out.reserve(add_size(8 * kField + 2, mul_size(n, 2 * kField)));
    out.integer(c.ids[k]);
    out.numbers(c.xyz.data + 3 * k, 3);
    for (size_t j = 0; j < 3; ++j) {
      out.c(' ');
      out.integer(unsigned{c.rgb[3 * k + j]});
    }
    out.numbers(c.errors.data + k, 1);
    // The error is followed by a space even when no track element follows it.
    out.c(' ');
    const size_t first = static_cast<size_t>(c.track_offsets[k]);
    for (size_t j = first; j < first + n; ++j) {
      if (j != first) out.c(' ');
      out.integer(c.track_image_ids[j]);
      out.c(' ');
      out.integer(c.track_point2D_idxs[j]);
    }
    out.c('\n');
  }
  out.finish();
}

void encode_rigs_text(const RigViews& c, ByteSink& sink) {
  TextOut out(sink);
  const size_t rows = c.ids.size;
  out.text("# Rig calib list with one line of data per calib:\n"
           "#   RIG_ID, NUM_SENSORS, REF_SENSOR_TYPE, REF_SENSOR_ID, SENSORS[] as (SENSOR_TYPE, "
           "SENSOR_ID, HAS_POSE, [QW, QX, QY, QZ, TX, TY, TZ])\n");
  count_line(out, "# Number of rigs: ", rows, nullptr, 0);
  for (size_t k = 0; k < rows; ++k) {
    const size_t n = list_length(c.sensor_offsets, k);
    out.reserve(add_size(2 * kField + 1, mul_size(n, 10 * kField)));
    out.integer(c.ids[k]);
    out.c(' ');
    out.integer(static_cast<uint64_t>(n));
    const size_t first = static_cast<size_t>(c.sensor_offsets[k]);
    for (size_t s = first; s < first + n; ++s) {
      out.c(' ');
      sensor_type(out, c.sensor_types[s]);
      out.c(' ');
      out.integer(c.sensor_ids[s]);
      if (s == first) continue;  // the reference sensor has no pose flag
      out.c(' ');
      out.integer(unsigned{c.has_pose[s]});
      if (c.has_pose[s] != 0) {
        out.numbers(c.sensor_quaternions.data + 4 * s, 4);
        out.numbers(c.sensor_translations.data + 3 * s, 3);
      }
    }
    out.c('\n');
  }
  out.finish();
}

void encode_frames_text(const FrameViews& c, ByteSink& sink) {
  TextOut out(sink);
  const size_t rows = c.ids.size;
  out.text("# Frame list with one line of data per frame:\n"
           "#   FRAME_ID, RIG_ID, RIG_FROM_WORLD[QW, QX, QY, QZ, TX, TY, TZ], NUM_DATA_IDS, "
           "DATA_IDS[] as (SENSOR_TYPE, SENSOR_ID, DATA_ID)\n");
  count_line(out, "# Number of frames: ", rows, nullptr, 0);
  for (size_t k = 0; k < rows; ++k) {
    const size_t n = list_length(c.data_offsets, k);
    out.reserve(add_size(10 * kField + 1, mul_size(n, 3 * kField)));
    out.integer(c.ids[k]);
    out.c(' ');
    out.integer(c.rig_ids[k]);
    out.numbers(c.quaternions.data + 4 * k, 4);
    out.numbers(c.translations.data + 3 * k, 3);
    out.c(' ');
    out.integer(static_cast<uint64_t>(n));
    const size_t first = static_cast<size_t>(c.data_offsets[k]);
    for (size_t d = first; d < first + n; ++d) {
      out.c(' ');
      sensor_type(out, c.data_sensor_types[d]);
      out.c(' ');
      out.integer(c.data_sensor_ids[d]);
      out.c(' ');
      out.integer(c.data_ids[d]);
    }
    out.c('\n');
  }
  out.finish();
}

FileBytes encode_cameras_text(const CameraViews& c) {
  return in_memory<CameraViews>(c, &encode_cameras_text);
}
FileBytes encode_images_text(const ImageViews& c) {
  return in_memory<ImageViews>(c, &encode_images_text);
}
FileBytes encode_points3D_text(const PointViews& c) {
  return in_memory<PointViews>(c, &encode_points3D_text);
}
FileBytes encode_rigs_text(const RigViews& c) {
  return in_memory<RigViews>(c, &encode_rigs_text);
}
FileBytes encode_frames_text(const FrameViews& c) {
  return in_memory<FrameViews>(c, &encode_frames_text);
}

}  // namespace tolv::model_io
