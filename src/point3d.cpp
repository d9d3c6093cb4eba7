// Text form of Point3D. No Python.h.
#include "point3d.hpp"

#include "core/float_text.hpp"

namespace tolv {

std::string point3D_text(point3D_t id, const double (&xyz)[3], size_t track_length) {
  std::string out = "<Point3D with ID: " + std::to_string(id) + ", XYZ: ";
  append_vector_text(out, xyz);
  out += ", and track length " + std::to_string(track_length) + ">";
  return out;
}

}  // namespace tolv
