// Placeholder: the binary parsers are being written.
#include "model_io/binary_model.hpp"

#include "model_io/format_error.hpp"

namespace tolv::model_io {

CameraColumns parse_cameras_binary(ByteSpan) { fail_at_byte(0, "not yet"); }
ImageColumns parse_images_binary(ByteSpan) { fail_at_byte(0, "not yet"); }
PointColumns parse_points3D_binary(ByteSpan) { fail_at_byte(0, "not yet"); }
RigColumns parse_rigs_binary(ByteSpan) { fail_at_byte(0, "not yet"); }
FrameColumns parse_frames_binary(ByteSpan) { fail_at_byte(0, "not yet"); }

}  // namespace tolv::model_io
