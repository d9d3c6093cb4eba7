// Parsers for COLMAP's cameras.bin, images.bin and points3D.bin, and the folder reader. No Python.h.
//
// Each parser makes one forward pass over the whole-file buffer and hands every
// record to a sink as soon as it is decoded, so a caller can build its own objects
// without an intermediate map. Malformed data aborts (core/abort.hpp); only opening
// and reading a file produce an IoError.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "camera_models.hpp"
#include "core/byte_reader.hpp"
#include "core/file_io.hpp"
#include "core/line_writer.hpp"
#include "image.hpp"
#include "point3d.hpp"

namespace tolv {

constexpr size_t kHeaderBytes = 8;
constexpr size_t kTrackEntryBytes = 8;     // image id + 2D point index
constexpr size_t kPoint2DEntryBytes = 24;  // x, y, 3D point id

// Checks the 8-byte header, decodes the record count and writes "Found <N><tail>".
uint64_t read_record_count(ByteReader& reader, LineSink& progress, const char* tail);

// A decoded point whose track still lies, little-endian and unaligned, in the file buffer.
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
  void copy_track(TrackElement* out) const;
  Point3D to_record() const;
};

// on_camera(Camera&&) for each record, in file order.
template <class Sink>
void parse_cameras(ByteSpan bytes, LineSink& progress, Sink&& on_camera) {
  ByteReader reader(bytes);
  const uint64_t count = read_record_count(reader, progress, " cameras\n");
  for (uint64_t i = 0; i < count; ++i) {
    Camera camera;
    camera.camera_id = reader.read_u32();
    // The model code is checked before width and height are read.
    camera.model_id = camera_model_from_code(reader.read_i32());
    camera.width = reader.read_u64();
    camera.height = reader.read_u64();
    const size_t param_count = num_params(camera.model_id);
    reader.require_records(param_count, 8, 8);
    camera.params.resize(param_count);
    for (double& param : camera.params) param = reader.read_f64();
    on_camera(std::move(camera));
  }
}

// on_image(Image&&) for each record, in file order.
template <class Sink>
void parse_images(ByteSpan bytes, LineSink& progress, Sink&& on_image) {
  ByteReader reader(bytes);
  const uint64_t count = read_record_count(reader, progress, " registered images.\n");
  for (uint64_t i = 0; i < count; ++i) {
    Image image;
    image.image_id = reader.read_u32();
    image.rot.w = reader.read_f64();
    image.rot.x = reader.read_f64();
    image.rot.y = reader.read_f64();
    image.rot.z = reader.read_f64();
    for (double& t : image.trans) t = reader.read_f64();
    image.camera_id = reader.read_u32();
    image.name = reader.read_nul_terminated();
    const uint64_t num_points2D = reader.read_u64();
    // Storage is sized only once the entries are known to be in the buffer.
    reader.require_records(num_points2D, kPoint2DEntryBytes, 8);
    const size_t n = static_cast<size_t>(num_points2D);
    image.xys.resize(n);
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
// bytes stay valid as long as the buffer does.
template <class Sink>
void parse_points3D(ByteSpan bytes, LineSink& progress, Sink&& on_point) {
  ByteReader reader(bytes);
  const uint64_t count = read_record_count(reader, progress, " 3D points.\n");
  Point3DView point;
  for (uint64_t i = 0; i < count; ++i) {
    point.id = reader.read_u64();
    for (double& coordinate : point.xyz) coordinate = reader.read_f64();
    point.color.r = reader.read_u8();
    point.color.g = reader.read_u8();
    point.color.b = reader.read_u8();
    point.error = reader.read_f64();
    const uint64_t track_length = reader.read_u64();
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

CameraMap parse_cameras(ByteSpan bytes, LineSink& progress);
ImageMap parse_images(ByteSpan bytes, LineSink& progress);
Point3DMap parse_points3D(ByteSpan bytes, LineSink& progress);

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
