// Image record, its rotation matrix and relative poses. No Python.h.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/default_init.hpp"
#include "types.hpp"

namespace tolv {

// w + x i + y j + z k, stored as read (qw, qx, qy, qz), never normalised.
struct Quaternion {
  double w = 0.0;
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

struct Image {
  image_t image_id = 0;                    // as stored
  camera_t camera_id = 0;                  // as stored, not checked against any camera
  std::string name;                        // the stored bytes, one Latin-1 character each
  Quaternion rot;                          // world-to-camera rotation
  double trans[3] = {0.0, 0.0, 0.0};       // world-to-camera translation
  FilledVector<std::array<double, 2>> xys;  // 2D point pixel coordinates, file order
  FilledVector<point3D_t> point3D_ids;      // parallel to xys; 2^64 - 1 = no 3D point
};

// The rotation matrix of q as written for a unit quaternion, applied to q as it is.
Matrix3 rotation_matrix(const Quaternion& q);

struct RelativePose {
  Matrix3 rotation;
  double translation[3];
};

// Pose of other's camera frame in self's camera frame: p_self = R p_other + t.
RelativePose relative_pose_from(const Image& self, const Image& other);

// "<Image ID: 5, name: a.jpg, rot: Quaternion { v: Vector3 [..], s: 1.0 }, trans: Vector3 [..]>",
// as UTF-8 text.
std::string image_text(const Image& image);

// Each byte becomes the character of the same code point, encoded as UTF-8.
std::string latin1_to_utf8(const std::string& bytes);

}  // namespace tolv
