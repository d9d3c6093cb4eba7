// Text form of Color. No Python.h.
#include "types.hpp"

namespace tolv {

std::string color_text(const Color& color) {
  return "Color r: " + std::to_string(color.r) + ", b: " + std::to_string(color.b) +
         ", g: " + std::to_string(color.g);
}

}  // namespace tolv
