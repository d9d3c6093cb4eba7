// CameraModelId and the Camera record with its intrinsic matrix. No Python.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types.hpp"

namespace tolv {

// COLMAP's camera model codes as stored in cameras.bin; -1 is an undefined model.
enum class CameraModelId : int8_t {
  Invalid = -1,
  SimplePinhole = 0,
  Pinhole = 1,
  SimpleRadial = 2,
  Radial = 3,
  OpenCV = 4,
  OpenCVFisheye = 5,
  FullOpenCV = 6,
  FOV = 7,
  SimpleRadialFisheye = 8,
  RadialFisheye = 9,
  ThinPrismFisheye = 10,
};

// The enumerator of code -1..10; any other code aborts with "Invalid enum value".
CameraModelId camera_model_from_code(int32_t code);
// Number of parameters the model stores; aborts for Invalid.
size_t num_params(CameraModelId model);
// "Simple Radial Fisheye" and so on; "Invalid" for Invalid.
const char* display_name(CameraModelId model);

struct Camera {
  camera_t camera_id = 0;                         // as stored
  CameraModelId model_id = CameraModelId::Invalid;  // from the stored code
  uint64_t width = 0;                             // pixels, as stored
  uint64_t height = 0;                            // pixels, as stored
  std::vector<double> params;                     // num_params(model_id) values, file order
};

// The 3x3 intrinsic matrix of the two pinhole models; aborts with "Not implemented"
// for every other model.
Matrix3 intrinsic_matrix(const Camera& camera);

// "<Camera ID: 1, width: 640, height: 480, model: Pinhole>"
std::string camera_text(const Camera& camera);

}  // namespace tolv
