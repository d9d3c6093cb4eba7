// Float text form: shortest digits from std::to_chars, laid out positionally or with
// an exponent depending on magnitude. No Python.h.
#include "core/float_text.hpp"

#include <charconv>
#include <cmath>

namespace tolv {
namespace {

// Shortest round-trip digits of a finite, positive value and its decimal exponent:
// value == 0.d1d2d3... * 10^(exponent + 1), i.e. d1.d2d3... * 10^exponent.
struct ShortestDigits {
  std::string digits;
  int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  ShortestDigits out;
  const char* p = buf;
  for (; p != result.ptr && *p != 'e'; ++p) {
    if (*p != '.') out.digits += *p;
  }
  if (p != result.ptr) {  // "e-05" / "e+20"; the text is not NUL-terminated
    const char* exponent = p + 1;
    if (exponent != result.ptr && *exponent == '+') ++exponent;
    std::from_chars(exponent, result.ptr, out.exponent);
  }
  return out;
}

void append_positional(std::string& out, const ShortestDigits& d) {
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.exponent - 1), '0');
    out += d.digits;
    return;
  }
  const int integer_digits = d.exponent + 1;
  if (n <= integer_digits) {
    out += d.digits;
    out.append(static_cast<size_t>(integer_digits - n), '0');
    out += ".0";
  } else {
    out.append(d.digits, 0, static_cast<size_t>(integer_digits));
    out += '.';
    out.append(d.digits, static_cast<size_t>(integer_digits), std::string::npos);
  }
}

void append_exponential(std::string& out, const ShortestDigits& d) {
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1, std::string::npos);
  }
  out += 'e';
  out += std::to_string(d.exponent);
}

}  // namespace

void append_float_text(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::signbit(value)) out += '-';
  const double magnitude = std::fabs(value);
  if (std::isinf(magnitude)) {
    out += "inf";
    return;
  }
  if (magnitude == 0.0) {
    out += "0.0";
    return;
  }
  const ShortestDigits digits = shortest_digits(magnitude);
  if (magnitude < 1e-4 || magnitude >= 1e16) {
    append_exponential(out, digits);
  } else {
    append_positional(out, digits);
  }
}

std::string float_text(double value) {
  std::string out;
  append_float_text(out, value);
  return out;
}

void append_vector_text(std::string& out, const double (&xyz)[3]) {
  out += "Vector3 [";
  append_float_text(out, xyz[0]);
  out += ", ";
  append_float_text(out, xyz[1]);
  out += ", ";
  append_float_text(out, xyz[2]);
  out += ']';
}

}  // namespace tolv
