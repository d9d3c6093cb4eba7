// Parsers of COLMAP's binary model files into columns: cameras.bin, images.bin,
// points3D.bin, rigs.bin, frames.bin. No Python.h.
//
// Each is a pure function over the file's bytes. No count from the file is trusted
// before it is checked against the bytes that remain, so a hostile count fails at once
// without allocating for it; columns are sized exactly in a first pass over the records
// and filled in a second. Malformed data throws FormatError with the byte offset of the
// field that is wrong or cut off. Bytes after the last record are ignored, as COLMAP does.
#pragma once

#include "core/io_error.hpp"
#include "model_io/model_columns.hpp"

namespace tolv::model_io {

CameraColumns parse_cameras_binary(ByteSpan bytes);
ImageColumns parse_images_binary(ByteSpan bytes);
PointColumns parse_points3D_binary(ByteSpan bytes);
RigColumns parse_rigs_binary(ByteSpan bytes);
FrameColumns parse_frames_binary(ByteSpan bytes);

}  // namespace tolv::model_io
