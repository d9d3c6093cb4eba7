// Parsers of COLMAP's text model files into columns: cameras.txt, images.txt,
// points3D.txt, rigs.txt, frames.txt. No Python.h.
//
// Each is a pure function over the file's bytes. Lines are read as COLMAP reads them:
// surrounding whitespace (and a Windows "\r") trimmed, empty lines and lines starting
// with '#' skipped, except that each image line of images.txt is followed by its 2D
// point line, which may be empty. Fields are separated by runs of spaces or tabs.
// Numbers are parsed correctly rounded (the doubles COLMAP's reader gets); "-1" as a 2D
// point's 3D point id stands for "no 3D point" (all ones). An image name is the rest of
// its line after the camera id, spaces included. Columns are sized in a first pass over
// the lines and filled in a second. Malformed data throws FormatError with the 1-based
// line number.
#pragma once

#include "core/io_error.hpp"
#include "model_io/model_columns.hpp"

namespace tolv::model_io {

CameraColumns parse_cameras_text(ByteSpan bytes);
// With workers > 1, a large file's second pass runs on two threads; the columns, and
// the error of a malformed file, are the same as with one.
ImageColumns parse_images_text(ByteSpan bytes, unsigned workers = 1);
PointColumns parse_points3D_text(ByteSpan bytes);
RigColumns parse_rigs_text(ByteSpan bytes);
FrameColumns parse_frames_text(ByteSpan bytes);

}  // namespace tolv::model_io
