// Header check, native result maps and the file and folder readers. No Python.h.
#include "colmap_io.hpp"

namespace tolv {

uint64_t read_record_count(ByteReader& reader, LineSink& progress, const char* tail) {
  reader.require(kHeaderBytes);
  const uint64_t count = reader.read_u64();
  progress.write_line("Found " + std::to_string(count) + tail);
  return count;
}

Point3D Point3DView::to_record() const {
  Point3D record;
  record.id = id;
  for (int k = 0; k < 3; ++k) record.xyz[k] = xyz[k];
  record.color = color;
  record.error = error;
  record.track.resize(track_length);
  copy_track(record.track.data());
  return record;
}

uint64_t plausible_record_count(ByteSpan bytes, size_t min_record_bytes) {
  if (bytes.size < kHeaderBytes) return 0;
  const uint64_t declared = load_le<uint64_t>(bytes.data);
  const uint64_t possible = (bytes.size - kHeaderBytes) / min_record_bytes;
  return declared < possible ? declared : possible;
}

CameraMap parse_cameras(ByteSpan bytes, LineSink& progress) {
  CameraMap cameras;
  parse_cameras(bytes, progress, [&](Camera&& camera) {
    const camera_t id = camera.camera_id;
    cameras.insert_or_assign(id, std::move(camera));
  });
  return cameras;
}

ImageMap parse_images(ByteSpan bytes, LineSink& progress) {
  ImageMap images;
  parse_images(bytes, progress, [&](Image&& image) {
    const image_t id = image.image_id;
    images.insert_or_assign(id, std::move(image));
  });
  return images;
}

Point3DMap parse_points3D(ByteSpan bytes, LineSink& progress) {
  Point3DMap points;
  parse_points3D(bytes, progress, [&](const Point3DView& point) {
    points.insert_or_assign(point.id, point.to_record());
  });
  return points;
}

namespace {

// Reads the file whole, then parses it with parse(bytes, progress).
template <class Map>
IoResult<Map> read_and_parse(const std::string& path, LineSink& progress,
                             Map (*parse)(ByteSpan, LineSink&)) {
  IoResult<FileBuffer> file = read_whole_file(path);
  if (!file) return file.error();
  return parse(file.value().bytes(), progress);
}

}  // namespace

IoResult<CameraMap> read_cameras_bin(const std::string& path, LineSink& progress) {
  return read_and_parse<CameraMap>(path, progress, &parse_cameras);
}

IoResult<ImageMap> read_images_bin(const std::string& path, LineSink& progress) {
  return read_and_parse<ImageMap>(path, progress, &parse_images);
}

IoResult<Point3DMap> read_points3D_bin(const std::string& path, LineSink& progress) {
  return read_and_parse<Point3DMap>(path, progress, &parse_points3D);
}

ReconstructionPaths reconstruction_paths(const std::string& folder) {
  return ReconstructionPaths{folder + "/cameras.bin", folder + "/images.bin",
                             folder + "/points3D.bin"};
}

IoResult<Reconstruction> read_reconstruction_bin(const std::string& folder, LineSink& progress) {
  const ReconstructionPaths paths = reconstruction_paths(folder);
  Reconstruction result;
  IoResult<CameraMap> cameras = read_cameras_bin(paths.cameras, progress);
  if (!cameras) return cameras.error();
  result.cameras = std::move(cameras).value();
  IoResult<ImageMap> images = read_images_bin(paths.images, progress);
  if (!images) return images.error();
  result.images = std::move(images).value();
  IoResult<Point3DMap> points = read_points3D_bin(paths.points3D, progress);
  if (!points) return points.error();
  result.points3D = std::move(points).value();
  return result;
}

}  // namespace tolv
