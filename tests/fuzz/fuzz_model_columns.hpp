// Invariants of parsed model columns, and the real writer's files of them, shared by the
// model parsers' fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "model_io/binary_writer.hpp"
#include "model_io/binary_writer.hpp"
#include "model_io/model_columns.hpp"
#include "model_io/model_views.hpp"
#include "model_io/text_writer.hpp"
#include "model_io/model_views.hpp"
#include "model_io/text_writer.hpp"

namespace fuzz {

[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void expect(bool holds, const char* what) {
  if (!holds) broken(what);
}

// Offsets of rows + 1 entries from 0, non-decreasing, ending at the flat length.
inline void check_offsets(const tolv::model_io::Column<int64_t>& offsets, size_t rows, size_t flat,
                          const char* what) {
  expect(offsets.size() == rows + 1 && offsets[0] == 0, what);
  for (size_t k = 0; k < rows; ++k) expect(offsets[k] <= offsets[k + 1], what);
  expect(static_cast<uint64_t>(offsets[rows]) == flat, what);
}

using namespace tolv::model_io;

template <class T>
ColumnView<T> view(const Column<T>& c) {
  return ColumnView<T>{c.data(), c.size()};
}

// The real writer's views of parsed columns, in a model whose other tables are empty.
inline const Column<int64_t> kNoRows{0};

inline ModelViews empty_model() {
  ModelViews m;
  m.cameras.param_offsets = view(kNoRows);
  m.images.name_offsets = m.images.points2D_offsets = view(kNoRows);
  m.points.track_offsets = view(kNoRows);
  return m;
}

inline void views_of(const CameraColumns& c, ModelViews& m) {
  m.cameras = {view(c.ids), view(c.model_ids), view(c.widths), view(c.heights),
               view(c.param_offsets), view(c.params)};
}
inline void views_of(const ImageColumns& c, ModelViews& m) {
  m.images = {view(c.ids), view(c.quaternions), view(c.translations), view(c.camera_ids),
              view(c.name_offsets), view(c.name_bytes), view(c.points2D_offsets), view(c.xys),
              view(c.point3D_ids)};
}
inline void views_of(const PointColumns& c, ModelViews& m) {
  m.points = {view(c.ids), view(c.xyz), view(c.rgb), view(c.errors), view(c.track_offsets),
              view(c.track_image_ids), view(c.track_point2D_idxs)};
}
inline void views_of(const RigColumns& c, ModelViews& m) {
  m.rigs = RigViews{view(c.ids), view(c.sensor_offsets), view(c.sensor_types),
                    view(c.sensor_ids), view(c.has_pose), view(c.sensor_quaternions),
                    view(c.sensor_translations)};
}
inline void views_of(const FrameColumns& c, ModelViews& m) {
  m.frames = FrameViews{view(c.ids), view(c.rig_ids), view(c.quaternions), view(c.translations),
                        view(c.data_offsets), view(c.data_sensor_types),
                        view(c.data_sensor_ids), view(c.data_ids)};
}

// The files the real writer makes of parsed columns; m keeps their views.
inline FileBytes encode_binary(const ModelViews& m, const CameraColumns&) {
  return encode_cameras_binary(m.cameras);
}
inline FileBytes encode_binary(const ModelViews& m, const ImageColumns&) {
  return encode_images_binary(m.images);
}
inline FileBytes encode_binary(const ModelViews& m, const PointColumns&) {
  return encode_points3D_binary(m.points);
}
inline FileBytes encode_binary(const ModelViews& m, const RigColumns&) {
  return encode_rigs_binary(*m.rigs);
}
inline FileBytes encode_binary(const ModelViews& m, const FrameColumns&) {
  return encode_frames_binary(*m.frames);
}
inline FileBytes encode_text(const ModelViews& m, const CameraColumns&) {
  return encode_cameras_text(m.cameras);
}
inline FileBytes encode_text(const ModelViews& m, const ImageColumns&) {
  return encode_images_text(m.images);
}
inline FileBytes encode_text(const ModelViews& m, const PointColumns&) {
  return encode_points3D_text(m.points);
}
inline FileBytes encode_text(const ModelViews& m, const RigColumns&) {
  return encode_rigs_text(*m.rigs);
}
inline FileBytes encode_text(const ModelViews& m, const FrameColumns&) {
  return encode_frames_text(*m.frames);
}

template <class Columns>
FileBytes write_binary(const Columns& c, ModelViews& m) {
  views_of(c, m);
  return encode_binary(m, c);
}

template <class Columns>
FileBytes write_text(const Columns& c, ModelViews& m) {
  views_of(c, m);
  return encode_text(m, c);
}

}  // namespace fuzz
