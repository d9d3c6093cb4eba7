// COLMAP's camera models by id, 0 to 17: the one table that names them, gives their
// parameter lists and tells which ones have a calibration matrix. No Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolv::model_io {

struct CameraModelInfo {
  int32_t id;               // as stored in cameras.bin
  const char* name;         // as written in cameras.txt, "SIMPLE_PINHOLE"
  const char* param_names;  // the parameters in stored order, separated by spaces
  uint8_t num_params;
};

// The models in id order: camera_model_table()[k].id == k.
const CameraModelInfo* camera_model_table();
constexpr size_t kNumCameraModels = 18;

// The model of an id, or nullptr for an id COLMAP does not define (yet).
const CameraModelInfo* camera_model_by_id(int64_t id);
// The model of a cameras.txt name, or nullptr.
const CameraModelInfo* camera_model_by_name(std::string_view name);

}  // namespace tolv::model_io
