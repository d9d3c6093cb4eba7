// Parsers for COLMAP's cameras.bin, images.bin and points3D.bin, and the folder reader.
// No Python.h.
//
// Each parser makes one forward pass over the record data (bytes in memory, or a file
// read in chunks) and hands every record to a sink as soon as it is decoded, so a
// caller can build its own objects without an intermediate map. Malformed data aborts
// (core/abort.hpp); only opening and reading a file produce an IoError.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "camera_models.hpp"
#include "core/abort.hpp"
#include "core/byte_reader.hpp"
#include "core/file_reader.hpp"
#include "core/io_error.hpp"
#include "core/line_writer.hpp"
#include "image.hpp"
#include "point3d.hpp"

namespace tolv {

constexpr size_t kHeaderBytes = 8;
constexpr size_t kTrackEntryBytes = 8;     // image id + 2D point index
constexpr size_t kPoint2DEntryBytes = 24;  // x, y, 3D point id

constexpr size_t kMinCameraRecordBytes = 24 + 3 * 8;
constexpr size_t kMinImageRecordBytes = 73;
constexpr size_t kMinPoint3DRecordBytes = 51;

// How many records the data can hold at most: the header's count, capped by what the
// bytes after the header could contain (0 when the header is not there yet). Safe for
// sizing containers up front.
template <class Reader>
uint64_t plausible_record_count(Reader& reader, size_t min_record_bytes) {
  if (!reader.ensure(kHeaderBytes) || reader.size_hint() < kHeaderBytes) return 0;
  const uint64_t declared = load_le<uint64_t>(reader.cursor());
  const uint64_t possible = (reader.size_hint() - kHeaderBytes) / min_record_bytes;
  return declared < possible ? declared : possible;
}

void write_record_count(LineSink& progress, uint64_t count, const char* tail);

// Checks the 8-byte header, decodes the record count and writes "Found <N><tail>".
template <class Reader>
uint64_t read_record_count(Reader& reader, LineSink& progress, const char* tail) {
  reader.require(kHeaderBytes);
  const uint64_t count = reader.template read<uint64_t>();
  write_record_count(progress, count, tail);
  return count;
}

// A decoded point whose track still lies, little-endian and unaligned, in the reader's
// buffer: valid until the reader moves on.
struct Point3DView {
  point3D_t id = 0;
  double xyz[3] = {0.0, 0.0, 0.0};
  Color color;
  double error = 0.0;
  const uint8_t* track_bytes = nullptr;
  size_t track_length = 0;

  TrackElement track_element(size_t i) const {
    const uint8_t* entry = track_bytes + i * kTrackEntryBytes;
    return TrackElement{load_le<uint32_t>(entry), load_le<uint32_t>(entry + 4)};
  }
  void copy_track(TrackElement* out) const {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The file's entries are two little-endian u32s, exactly TrackElement's layout here.
    static_assert(sizeof(TrackElement) == kTrackEntryBytes, "packed track entries");
    if (track_length != 0) std::memcpy(out, track_bytes, track_length * kTrackEntryBytes);
#else
    for (size_t i = 0; i < track_length; ++i) out[i] = track_element(i);
#endif
  }
  Point3D to_record() const;
};

constexpr size_t kCameraFixedBytes = 24;     // id, model, width, height
constexpr size_t kImageFixedBytes = 64;      // id, quaternion, translation, camera id
constexpr size_t kPoint3DFixedBytes = 51;    // id, xyz, colour, error, track length

// Decoders of each record's fixed-width head. Instantiated unchecked when the whole
// head is known to fit, and checked otherwise so that the message names the exact field.
template <bool kChecked, class Reader>
void decode_camera_head(Reader& reader, Camera& camera) {
  camera.camera_id = reader.template read<uint32_t, kChecked>();
  // The model code is checked before width and height are read.
  camera.model_id = camera_model_from_code(reader.template read<int32_t, kChecked>());
  camera.width = reader.template read<uint64_t, kChecked>();
  camera.height = reader.template read<uint64_t, kChecked>();
}

template <bool kChecked, class Reader>
void decode_image_head(Reader& reader, Image& image) {
  image.image_id = reader.template read<uint32_t, kChecked>();
  image.rot.w = reader.template read<double, kChecked>();
  image.rot.x = reader.template read<double, kChecked>();
  image.rot.y = reader.template read<double, kChecked>();
  image.rot.z = reader.template read<double, kChecked>();
  for (double& t : image.trans) t = reader.template read<double, kChecked>();
  image.camera_id = reader.template read<uint32_t, kChecked>();
}

// Decodes id, xyz, colour and error into point and returns the track length.
template <bool kChecked, class Reader>
uint64_t decode_point3D_head(Reader& reader, Point3DView& point) {
  point.id = reader.template read<uint64_t, kChecked>();
  for (double& coordinate : point.xyz) coordinate = reader.template read<double, kChecked>();
  point.color.r = reader.template read<uint8_t, kChecked>();
  point.color.g = reader.template read<uint8_t, kChecked>();
  point.color.b = reader.template read<uint8_t, kChecked>();
  point.error = reader.template read<double, kChecked>();
  return reader.template read<uint64_t, kChecked>();
}

// on_camera(Camera&&) for each record, in file order.
template <class Reader, class Sink>
void parse_cameras_from(Reader& reader, LineSink& progress, Sink&& on_camera) {
  const uint64_t count = read_record_count(reader, progress, " cameras\n");
  for (uint64_t i = 0; i < count; ++i) {
    Camera camera;
    if (reader.ensure(kCameraFixedBytes)) {
      decode_camera_head<false>(reader, camera);
    } else {
      decode_camera_head<true>(reader, camera);
    }
    const size_t param_count = num_params(camera.model_id);
    reader.require_records(param_count, 8, 8);
    camera.params.resize(param_count);
    for (double& param : camera.params) param = reader.template read<double>();
    on_camera(std::move(camera));
  }
}

// on_image(Image&&) for each record, in file order.
template <class Reader, class Sink>
void parse_images_from(Reader& reader, LineSink& progress, Sink&& on_image) {
  const uint64_t count = read_record_count(reader, progress, " registered images.\n");
  for (uint64_t i = 0; i < count; ++i) {
    Image image;
    if (reader.ensure(kImageFixedBytes)) {
      decode_image_head<false>(reader, image);
    } else {
      decode_image_head<true>(reader, image);
    }
    image.name = reader.read_nul_terminated();
    const uint64_t num_points2D = reader.template read<uint64_t>();
    // Storage is sized only once the entries are known to be in the buffer.
    reader.require_records(num_points2D, kPoint2DEntryBytes, 8);
    const size_t n = static_cast<size_t>(num_points2D);
    image.xys.resize(n);  // left uninitialised: every element is written once, below
    image.point3D_ids.resize(n);
    const uint8_t* entry = reader.cursor();
    for (size_t k = 0; k < n; ++k, entry += kPoint2DEntryBytes) {
      image.xys[k] = {load_le<double>(entry), load_le<double>(entry + 8)};
      image.point3D_ids[k] = load_le<uint64_t>(entry + 16);
    }
    reader.skip(n * kPoint2DEntryBytes);
    on_image(std::move(image));
  }
}

// on_point(const Point3DView&) for each record, in file order; the view's track
// bytes stay valid until the sink returns.
template <class Reader, class Sink>
void parse_points3D_from(Reader& reader, LineSink& progress, Sink&& on_point) {
  const uint64_t count = read_record_count(reader, progress, " 3D points.\n");
  Point3DView point;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t track_length = reader.ensure(kPoint3DFixedBytes)
                                      ? decode_point3D_head<false>(reader, point)
                                      : decode_point3D_head<true>(reader, point);
    reader.require_records(track_length, kTrackEntryBytes, 4);
    point.track_length = static_cast<size_t>(track_length);
    point.track_bytes = reader.cursor();
    reader.skip(point.track_length * kTrackEntryBytes);
    on_point(static_cast<const Point3DView&>(point));
  }
}

// Maps keyed by identifier; a later record with the same identifier replaces the earlier.
using CameraMap = std::unordered_map<camera_t, Camera>;
using ImageMap = std::unordered_map<image_t, Image>;
using Point3DMap = std::unordered_map<point3D_t, Point3D>;

// The same over bytes in memory.
template <class Sink>
void parse_cameras(ByteSpan bytes, LineSink& progress, Sink&& on_camera) {
  ByteReader reader(bytes);
  parse_cameras_from(reader, progress, on_camera);
}
template <class Sink>
void parse_images(ByteSpan bytes, LineSink& progress, Sink&& on_image) {
  ByteReader reader(bytes);
  parse_images_from(reader, progress, on_image);
}
template <class Sink>
void parse_points3D(ByteSpan bytes, LineSink& progress, Sink&& on_point) {
  ByteReader reader(bytes);
  parse_points3D_from(reader, progress, on_point);
}

CameraMap parse_cameras(ByteSpan bytes, LineSink& progress);
ImageMap parse_images(ByteSpan bytes, LineSink& progress);
Point3DMap parse_points3D(ByteSpan bytes, LineSink& progress);

// While a file is parsed chunk by chunk, makes everything seen from outside the same as
// reading the whole file first and parsing it then: progress lines are held until the
// file has been read to its end, and an abort first reads the file to its end (where a
// read error wins over the abort) and writes the held lines before its diagnostic.
class WholeFileOrder final : public AbortPreamble {
 public:
  WholeFileOrder(FileReader& reader, LineSink& progress) : reader_(reader), held_(progress) {}
  LineSink& progress() { return held_; }
  // After a complete parse: reads the rest of the file, then writes the held lines.
  void finish() { run_once(); }

 private:
  void run() override {
    reader_.read_to_end();
    held_.release();
  }
  FileReader& reader_;
  HeldLineSink held_;
};

// Runs parse(FileReader&, LineSink&) over an opened file; a failed read anywhere in the
// file becomes the IoError, with no progress line written and no abort.
template <class Result, class Parse>
IoResult<Result> parse_file(FileReader& reader, LineSink& progress, Parse&& parse) {
  try {
    WholeFileOrder order(reader, progress);
    Result result = parse(reader, order.progress());
    order.finish();
    return IoResult<Result>(std::move(result));
  } catch (const ReadFailure& failure) {
    return failure.error;
  }
}

// Opens path and parses it as parse_file does; a failed open becomes the IoError.
template <class Result, class Parse>
IoResult<Result> read_file(const std::string& path, LineSink& progress, Parse&& parse) {
  IoResult<std::unique_ptr<FileReader>> reader = FileReader::open(path);
  if (!reader) return reader.error();
  return parse_file<Result>(*reader.value(), progress, parse);
}

IoResult<CameraMap> read_cameras_bin(const std::string& path, LineSink& progress);
IoResult<ImageMap> read_images_bin(const std::string& path, LineSink& progress);
IoResult<Point3DMap> read_points3D_bin(const std::string& path, LineSink& progress);

// The three files of a reconstruction folder, formed by appending "/cameras.bin",
// "/images.bin" and "/points3D.bin" to the folder path byte for byte.
struct ReconstructionPaths {
  std::string cameras, images, points3D;
};
ReconstructionPaths reconstruction_paths(const std::string& folder);

struct Reconstruction {
  CameraMap cameras;
  ImageMap images;
  Point3DMap points3D;
};

// Reads cameras, images, points in that order; the first IoError ends the call.
IoResult<Reconstruction> read_reconstruction_bin(const std::string& folder, LineSink& progress);

}  // namespace tolv
