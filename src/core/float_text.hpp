// Text forms of numbers shared by the string forms of points and images. No Python.h.
#pragma once

#include <string>

namespace tolv {

// Shortest round-trip digits; positional for 1e-4 <= |v| < 1e16 (and 0) with at least
// one digit after the point, exponent form otherwise ("1e-5", "1.2345e20");
// "NaN", "inf", "-inf", and a sign on negative zero ("-0.0").
void append_float_text(std::string& out, double value);
std::string float_text(double value);

// "Vector3 [x, y, z]" with each number in the float text form.
void append_vector_text(std::string& out, const double (&xyz)[3]);

}  // namespace tolv
