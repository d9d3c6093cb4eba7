// COLMAP's camera model definitions: names, parameter names and counts. No Python.h.
#include "model_io/camera_model_table.hpp"

namespace tolv::model_io {

namespace {

constexpr CameraModelInfo kModels[kNumCameraModels] = {
    {0, "SIMPLE_PINHOLE", "f cx cy", 3},
    {1, "PINHOLE", "fx fy cx cy", 4},
    {2, "SIMPLE_RADIAL", "f cx cy k", 4},
    {3, "RADIAL", "f cx cy k1 k2", 5},
    {4, "OPENCV", "fx fy cx cy k1 k2 p1 p2", 8},
    {5, "OPENCV_FISHEYE", "fx fy cx cy k1 k2 k3 k4", 8},
    {6, "FULL_OPENCV", "fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6", 12},
    {7, "FOV", "fx fy cx cy omega", 5},
    {8, "SIMPLE_RADIAL_FISHEYE", "f cx cy k", 4},
    {9, "RADIAL_FISHEYE", "f cx cy k1 k2", 5},
    {10, "THIN_PRISM_FISHEYE", "fx fy cx cy k1 k2 p1 p2 k3 k4 sx1 sy1", 12},
    {11, "RAD_TAN_THIN_PRISM_FISHEYE", "fx fy cx cy k0 k1 k2 k3 k4 k5 p0 p1 s0 s1 s2 s3", 16},
    {12, "SIMPLE_DIVISION", "f cx cy k", 4},
    {13, "DIVISION", "fx fy cx cy k", 5},
    {14, "SIMPLE_FISHEYE", "f cx cy", 3},
    {15, "FISHEYE", "fx fy cx cy", 4},
    {16, "EUCM", "fx fy cx cy alpha beta", 6},
    {17, "EQUIRECTANGULAR", "w h", 2},
};

}  // namespace

const CameraModelInfo* camera_model_table() { return kModels; }

const CameraModelInfo* camera_model_by_id(int64_t id) {
  if (id < 0 || id >= static_cast<int64_t>(kNumCameraModels)) return nullptr;
  return &kModels[id];
}

const CameraModelInfo* camera_model_by_name(std::string_view name) {
  for (const CameraModelInfo& model : kModels) {
    if (name == model.name) return &model;
  }
  return nullptr;
}

}  // namespace tolv::model_io
