// COLMAP's binary model files from columns: cameras.bin, images.bin, points3D.bin,
// rigs.bin, frames.bin, byte for byte as COLMAP writes them, rows in the views' order.
// The views must have passed check_views. No Python.h.
#pragma once

#include "model_io/model_columns.hpp"
#include "model_io/model_views.hpp"

namespace tolv::model_io {

using FileBytes = Column<uint8_t>;

// Where a file goes, a block at a time as it is made: a file is written while it is
// encoded, never held whole. write may throw; the encoders let it through.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(const uint8_t* data, size_t size) = 0;
};

void encode_cameras_binary(const CameraViews& cameras, ByteSink& sink);
void encode_images_binary(const ImageViews& images, ByteSink& sink);
void encode_points3D_binary(const PointViews& points, ByteSink& sink);
void encode_rigs_binary(const RigViews& rigs, ByteSink& sink);
void encode_frames_binary(const FrameViews& frames, ByteSink& sink);

// The same, into memory: for tests.
FileBytes encode_cameras_binary(const CameraViews& cameras);
FileBytes encode_images_binary(const ImageViews& images);
FileBytes encode_points3D_binary(const PointViews& points);
FileBytes encode_rigs_binary(const RigViews& rigs);
FileBytes encode_frames_binary(const FrameViews& frames);

// a + b and a * b for sizes of what is written; throw std::bad_alloc when they
// overflow, as no buffer that size could be had.
size_t add_size(size_t a, size_t b);
size_t mul_size(size_t a, size_t b);

}  // namespace tolv::model_io
