// Rotation matrix, relative pose and text form of Image. No Python.h.
// Every expression is evaluated in the order written, one binary64 rounding per
// operation (the build disables contraction into fused multiply-add).
#include "image.hpp"

#include <cmath>

#include "core/float_text.hpp"

namespace tolv {

Matrix3 rotation_matrix(const Quaternion& q) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  const double x2 = x + x, y2 = y + y, z2 = z + z;
  Matrix3 m;
  m[0][0] = (1.0 - y * y2) - z * z2;
  m[0][1] = x2 * y - z2 * w;
  m[0][2] = x2 * z + y2 * w;
  m[1][0] = x2 * y + z2 * w;
  m[1][1] = (1.0 - x * x2) - z * z2;
  m[1][2] = y2 * z - x2 * w;
  m[2][0] = x2 * z - y2 * w;
  m[2][1] = y2 * z + x2 * w;
  m[2][2] = (1.0 - x * x2) - y * y2;
  return m;
}

namespace {

// qs * conj(qo), normalised; no guard against a zero quaternion (gives NaN).
Quaternion normalised_relative_rotation(const Quaternion& qs, const Quaternion& qo) {
  const double ws = qs.w, xs = qs.x, ys = qs.y, zs = qs.z;
  const double wo = qo.w, xo = qo.x, yo = qo.y, zo = qo.z;
  Quaternion q;
  q.x = ((wo * xs - xo * ws) - zo * ys) + yo * zs;
  q.y = ((wo * ys - yo * ws) - xo * zs) + zo * xs;
  q.z = ((wo * zs - zo * ws) - yo * xs) + xo * ys;
  q.w = ((wo * ws + xo * xs) + yo * ys) + zo * zs;
  const double m = ((q.y * q.y + q.x * q.x) + q.z * q.z) + q.w * q.w;
  const double k = 1.0 / std::sqrt(m);
  q.x = q.x * k;
  q.y = q.y * k;
  q.z = q.z * k;
  q.w = q.w * k;
  return q;
}

}  // namespace

RelativePose relative_pose_from(const Image& self, const Image& other) {
  const Quaternion q = normalised_relative_rotation(self.rot, other.rot);
  RelativePose pose;
  pose.rotation = rotation_matrix(q);
  // t = ts - R to, computed by rotating -to with q.
  const double x = q.x, y = q.y, z = q.z, w = q.w;
  const double px = other.trans[0], py = other.trans[1], pz = other.trans[2];
  const double a = (py * z - pz * y) - px * w;
  const double b = (pz * x - px * z) - py * w;
  const double c = (px * y - py * x) - pz * w;
  pose.translation[0] = self.trans[0] + ((y * c - z * b) * 2.0 - px);
  pose.translation[1] = self.trans[1] + ((z * a - x * c) * 2.0 - py);
  pose.translation[2] = self.trans[2] + ((x * b - y * a) * 2.0 - pz);
  return pose;
}

std::string latin1_to_utf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char byte : bytes) {
    if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

std::string image_text(const Image& image) {
  std::string out = "<Image ID: " + std::to_string(image.image_id) + ", name: ";
  out += latin1_to_utf8(image.name);
  out += ", rot: Quaternion { v: ";
  const double v[3] = {image.rot.x, image.rot.y, image.rot.z};
  append_vector_text(out, v);
  out += ", s: ";
  append_float_text(out, image.rot.w);
  out += " }, trans: ";
  append_vector_text(out, image.trans);
  out += '>';
  return out;
}

}  // namespace tolv
