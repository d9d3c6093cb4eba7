// Header check, native result maps and the file and folder readers. No Python.h.
#include "colmap_io.hpp"

namespace tolv {

void write_record_count(LineSink& progress, uint64_t count, const char* tail) {
  progress.write_line("Found " + std::to_string(count) + tail);
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

namespace {

// The map-building sinks, shared by the byte and file entry points.
template <class Reader>
CameraMap camera_map(Reader& reader, LineSink& progress) {
  CameraMap cameras;
  parse_cameras_from(reader, progress, [&](Camera&& camera) {
    const camera_t id = camera.camera_id;
    cameras.insert_or_assign(id, std::move(camera));
  });
  return cameras;
}

template <class Reader>
ImageMap image_map(Reader& reader, LineSink& progress) {
  ImageMap images;
  parse_images_from(reader, progress, [&](Image&& image) {
    const image_t id = image.image_id;
    images.insert_or_assign(id, std::move(image));
  });
  return images;
}

template <class Reader>
Point3DMap point3D_map(Reader& reader, LineSink& progress) {
  Point3DMap points;
  parse_points3D_from(reader, progress, [&](const Point3DView& point) {
    points.insert_or_assign(point.id, point.to_record());
  });
  return points;
}

}  // namespace

CameraMap parse_cameras(ByteSpan bytes, LineSink& progress) {
  ByteReader reader(bytes);
  return camera_map(reader, progress);
}

ImageMap parse_images(ByteSpan bytes, LineSink& progress) {
  ByteReader reader(bytes);
  return image_map(reader, progress);
}

Point3DMap parse_points3D(ByteSpan bytes, LineSink& progress) {
  ByteReader reader(bytes);
  return point3D_map(reader, progress);
}

IoResult<CameraMap> read_cameras_bin(const std::string& path, LineSink& progress) {
  return read_file<CameraMap>(path, progress, [](FileReader& reader, LineSink& held) {
    return camera_map(reader, held);
  });
}

IoResult<ImageMap> read_images_bin(const std::string& path, LineSink& progress) {
  return read_file<ImageMap>(path, progress, [](FileReader& reader, LineSink& held) {
    return image_map(reader, held);
  });
}

IoResult<Point3DMap> read_points3D_bin(const std::string& path, LineSink& progress) {
  return read_file<Point3DMap>(path, progress, [](FileReader& reader, LineSink& held) {
    return point3D_map(reader, held);
  });
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
