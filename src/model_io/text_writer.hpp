// COLMAP's text model files from columns: cameras.txt, images.txt, points3D.txt,
// rigs.txt, frames.txt, byte for byte as COLMAP writes them (its header comments with
// their counts and means, numbers as printf's %.17g, "-1" for a 2D point without a 3D
// point), rows in the views' order. The views must have passed check_views for text.
// No Python.h.
#pragma once

#include "model_io/binary_writer.hpp"
#include "model_io/model_views.hpp"

namespace tolv::model_io {

void encode_cameras_text(const CameraViews& cameras, ByteSink& sink);
void encode_images_text(const ImageViews& images, ByteSink& sink);
void encode_points3D_text(const PointViews& points, ByteSink& sink);
void encode_rigs_text(const RigViews& rigs, ByteSink& sink);
void encode_frames_text(const FrameViews& frames, ByteSink& sink);

// The same, into memory: for tests.
FileBytes encode_cameras_text(const CameraViews& cameras);
FileBytes encode_images_text(const ImageViews& images);
FileBytes encode_points3D_text(const PointViews& points);
FileBytes encode_rigs_text(const RigViews& rigs);
FileBytes encode_frames_text(const FrameViews& frames);

// value as %.17g writes it: "0.10000000000000001", "1e+20", "-0", "nan", "-inf"; at
// most kMaxNumberChars characters are written. Returns the end.
constexpr size_t kMaxNumberChars = 32;
char* write_number(char* out, double value);

}  // namespace tolv::model_io
