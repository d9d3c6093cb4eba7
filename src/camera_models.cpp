// Camera model table, intrinsic matrix and text form. No Python.h.
#include "camera_models.hpp"

#include "core/abort.hpp"

namespace tolv {
namespace {

struct ModelInfo {
  const char* name;
  size_t num_params;
};

// Indexed by code + 1, so Invalid (-1) is entry 0.
constexpr ModelInfo kModels[] = {
    {"Invalid", 0},
    {"Simple Pinhole", 3},
    {"Pinhole", 4},
    {"Simple Radial", 4},
    {"Radial", 5},
    {"OpenCV", 8},
    {"OpenCV Fisheye", 8},
    {"Full OpenCV", 12},
    {"FOV", 5},
    {"Simple Radial Fisheye", 4},
    {"Radial Fisheye", 5},
    {"Thin Prism Fisheye", 12},
};

const ModelInfo& info(CameraModelId model) {
  return kModels[static_cast<int>(model) + 1];
}

}  // namespace

CameraModelId camera_model_from_code(int32_t code) {
  if (code < -1 || code > 10) abort_call("Invalid enum value");
  return static_cast<CameraModelId>(code);
}

size_t num_params(CameraModelId model) {
  if (model == CameraModelId::Invalid) abort_call("Cannot get params for invalid camera");
  return info(model).num_params;
}

const char* display_name(CameraModelId model) { return info(model).name; }

Matrix3 intrinsic_matrix(const Camera& camera) {
  const std::vector<double>& p = camera.params;
  switch (camera.model_id) {
    case CameraModelId::SimplePinhole:
      return {{{p[0], 0.0, p[1]}, {0.0, p[0], p[2]}, {0.0, 0.0, 1.0}}};
    case CameraModelId::Pinhole:
      return {{{p[0], 0.0, p[2]}, {0.0, p[1], p[3]}, {0.0, 0.0, 1.0}}};
    default:
      abort_call("Not implemented");
  }
}

std::string camera_text(const Camera& camera) {
  return "<Camera ID: " + std::to_string(camera.camera_id) +
         ", width: " + std::to_string(camera.width) +
         ", height: " + std::to_string(camera.height) +
         ", model: " + display_name(camera.model_id) + ">";
}

}  // namespace tolv
