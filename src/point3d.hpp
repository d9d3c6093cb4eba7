// Point3D and TrackElement records. No Python.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "types.hpp"

namespace tolv {

// One observation of a 3D point.
struct TrackElement {
  image_t image_id = 0;       // the observing image
  point2D_t point2D_idx = 0;  // index into that image's 2D points
};

struct Point3D {
  point3D_t id = 0;                // as stored
  double xyz[3] = {0.0, 0.0, 0.0};  // world coordinates, as stored
  Color color;                     // as stored
  double error = 0.0;              // reprojection error, as stored
  std::vector<TrackElement> track;  // observations in file order, unchecked
};

// "<Point3D with ID: 7, XYZ: Vector3 [1.0, 2.5, -3.0], and track length 2>"
std::string point3D_text(point3D_t id, const double (&xyz)[3], size_t track_length);

}  // namespace tolv
