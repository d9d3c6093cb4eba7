// The binary encoders: rows stored into a block that is handed to the sink whenever the
// next row might not fit, so the stores themselves check nothing.
#include "model_io/binary_writer.hpp"

#include <cstring>
#include <new>
#include <vector>

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

// The block rows are stored into; room(n) gives n free bytes, done(p) marks where the
// stores ended.
class BlockOut {
 public:
  explicit BlockOut(ByteSink& sink) : sink_(sink) {
    block_.resize(kFirstBlock);
    end_ = block_.data();
  }
  uint8_t* room(size_t bytes) {
    const size_t used = static_cast<size_t>(end_ - block_.data());
    if (bytes > block_.size() - used) {
      if (used != 0) sink_.write(block_.data(), used);
      grow(bytes);
      end_ = block_.data();
    }
    return end_;
  }
  void done(uint8_t* end) { end_ = end; }
  void finish() {
    const size_t used = static_cast<size_t>(end_ - block_.data());
    if (used != 0) sink_.write(block_.data(), used);
    end_ = block_.data();
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
  ByteSink& sink_;
  // Not prefaulted: a small file uses little of it.
  std::vector<uint8_t, DefaultInitAllocator<uint8_t>> block_;
  uint8_t* end_ = nullptr;
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

size_t list_length(const ColumnView<int64_t>& offsets, size_t k) {
  return static_cast<size_t>(offsets[k + 1] - offsets[k]);
}

}  // namespace

void encode_cameras_binary(const CameraViews& c, ByteSink& sink) {
  const size_t rows = c.ids.size;
  BlockOut out(sink);
  out.done(store<uint64_t>(out.room(8), rows));
  for (size_t k = 0; k < rows; ++k) {
    uint8_t* p = out.room(add_size(24, mul_size(list_length(c.param_offsets, k), 8)));
    p = store(p, c.ids[k]);
    p = store(p, c.model_ids[k]);
    p = store(p, c.widths[k]);
    p = store(p, c.heights[k]);
    p = store_doubles(p, c.params.data + c.param_offsets[k], list_length(c.param_offsets, k));
    out.done(p);
  }
  out.finish();
}

void encode_images_binary(const ImageViews& c, ByteSink& sink) {
  const size_t rows = c.ids.size;
  const size_t fixed = 4 + 32 + 24 + 4 + 1 + 8;  // through the name's NUL and the count
  BlockOut out(sink);
  out.done(store<uint64_t>(out.room(8), rows));
  for (size_t k = 0; k < rows; ++k) {
    uint8_t* p = out.room(add_size(add_size(fixed, list_length(c.name_offsets, k)),
                                   mul_size(list_length(c.points2D_offsets, k), 24)));
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
    out.done(p);
  }
  out.finish();
}

void encode_points3D_binary(const PointViews& c, ByteSink& sink) {
  const size_t rows = c.ids.size;
  const size_t fixed = 8 + 24 + 3 + 8 + 8;
  BlockOut out(sink);
  out.done(store<uint64_t>(out.room(8), rows));
  for (size_t k = 0; k < rows; ++k) {
    uint8_t* p = out.room(add_size(fixed, mul_size(list_length(c.track_offsets, k), 8)));
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
    out.done(p);
  }
  out.finish();
}

void encode_rigs_binary(const RigViews& c, ByteSink& sink) {
  const size_t rows = c.ids.size;
  BlockOut out(sink);
  out.done(store<uint64_t>(out.room(8), rows));
  for (size_t k = 0; k < rows; ++k) {
    const size_t n = list_length(c.sensor_offsets, k);
    // Room for every sensor at its largest, with a pose.
    uint8_t* p = out.room(add_size(8, mul_size(n, 4 + 4 + 1 + 56)));
    p = store(p, c.ids[k]);
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
    out.done(p);
  }
  out.finish();
}

void encode_frames_binary(const FrameViews& c, ByteSink& sink) {
  const size_t rows = c.ids.size;
  const size_t fixed = 4 + 4 + 32 + 24 + 4;
  BlockOut out(sink);
  out.done(store<uint64_t>(out.room(8), rows));
  for (size_t k = 0; k < rows; ++k) {
    uint8_t* p = out.room(add_size(fixed, mul_size(list_length(c.data_offsets, k), 16)));
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
    out.done(p);
  }
  out.finish();
}

FileBytes encode_cameras_binary(const CameraViews& c) {
  return in_memory<CameraViews>(c, &encode_cameras_binary);
}
FileBytes encode_images_binary(const ImageViews& c) {
  return in_memory<ImageViews>(c, &encode_images_binary);
}
FileBytes encode_points3D_binary(const PointViews& c) {
  return in_memory<PointViews>(c, &encode_points3D_binary);
}
FileBytes encode_rigs_binary(const RigViews& c) {
  return in_memory<RigViews>(c, &encode_rigs_binary);
}
FileBytes encode_frames_binary(const FrameViews& c) {
  return in_memory<FrameViews>(c, &encode_frames_binary);
}

}  // namespace tolv::model_io
