// Identifier aliases and the Color record shared by the reconstruction records. No Python.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tolv {

using camera_t = uint32_t;   // camera identifier, as stored in cameras.bin
using image_t = uint32_t;    // image identifier, as stored in images.bin
using point2D_t = uint32_t;  // index of a 2D point within its image
using point3D_t = uint64_t;  // 3D point identifier; 2^64 - 1 marks "no 3D point"

// 3x3 matrix, row-major: m[row][column].
using Matrix3 = std::array<std::array<double, 3>, 3>;

// RGB colour of a 3D point, components as stored (0..255, no scaling).
struct Color {
  uint8_t r = 0;  // red
  uint8_t g = 0;  // green
  uint8_t b = 0;  // blue
};

// "Color r: R, b: B, g: G": red, blue, green, in that order.
std::string color_text(const Color& color);

}  // namespace tolv
