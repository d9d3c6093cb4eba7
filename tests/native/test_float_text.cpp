// Float text form: a table worked out by hand, and properties over random doubles.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "core/float_text.hpp"
#include "test_runner.hpp"

using tolv::float_text;

TEST(float_text_table) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {-3.0, "-3.0"}, {0.25, "0.25"}, {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"}, {1.0 / 3, "0.3333333333333333"},
      {123456789.5, "123456789.5"}, {100000.0, "100000.0"}, {1e15, "1000000000000000.0"},
      {9007199254740992.0, "9007199254740992.0"},
      // The two bounds of the positional form and the doubles just below them.
      {1e-4, "0.0001"}, {std::nextafter(1e-4, 0.0), "9.999999999999999e-5"},
      {1e16, "1e16"}, {std::nextafter(1e16, 0.0), "9999999999999998.0"},
      {1e-5, "1e-5"}, {2.5e-7, "2.5e-7"}, {-1e-300, "-1e-300"}, {1.23e-18, "1.23e-18"},
      {1.2345e20, "1.2345e20"}, {1e22, "1e22"}, {1.5e300, "1.5e300"},
      {DBL_MAX, "1.7976931348623157e308"}, {-DBL_MAX, "-1.7976931348623157e308"},
      {DBL_MIN, "2.2250738585072014e-308"}, {std::nextafter(DBL_MIN, 0.0), "2.225073858507201e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {3 * std::numeric_limits<double>::denorm_min(), "1.5e-323"},
      {nan, "NaN"}, {-nan, "NaN"}, {inf, "inf"}, {-inf, "-inf"},
  };
  for (const auto& c : cases) CHECK_EQ(float_text(c.value), std::string(c.text));

  std::string vector;
  tolv::append_vector_text(vector, {1.0, 2.5, -3.0});
  CHECK_EQ(vector, std::string("Vector3 [1.0, 2.5, -3.0]"));
}

namespace {

// Number of significant digits of the shortest decimal that reads back as value.
int shortest_digit_count(double value) {
  char buf[64];
  int digits = 1;
  for (; digits < 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, value);
    if (std::strtod(buf, nullptr) == value) break;
  }
  return digits;
}

}  // namespace

TEST(float_text_round_trips_with_shortest_digits) {
  std::mt19937_64 random(20240611);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-20, 60);  // around both form boundaries
  for (int i = 0; i < 100000; ++i) {
    double value = std::ldexp(mantissa(random), exponent(random)) * (i % 4 < 2 ? 1 : -1);
    if (i % 2 == 0) {
      const uint64_t bits = random();
      std::memcpy(&value, &bits, sizeof value);
      if (!std::isfinite(value) || value == 0) continue;
    }
    const std::string text = float_text(value);
    CHECK_EQ(std::strtod(text.c_str(), nullptr), value, text);
    CHECK_EQ(std::signbit(value), text[0] == '-', text);
    // Layout: "d.ddde-N" / "de16" outside [1e-4, 1e16), "ddd.ddd" inside.
    const size_t e = text.find('e');
    const std::string mantissa_text = text.substr(text[0] == '-', e - (text[0] == '-'));
    const size_t point = mantissa_text.find('.');
    if (std::fabs(value) < 1e-4 || std::fabs(value) >= 1e16) {
      CHECK(e != std::string::npos && (point == std::string::npos || point == 1));
      const std::string exponent_text = text.substr(e + 1);
      const size_t first = exponent_text[0] == '-';
      CHECK(first < exponent_text.size() && exponent_text[first] >= '1' && exponent_text[first] <= '9');
    } else {
      CHECK(e == std::string::npos && point != std::string::npos && point + 1 < mantissa_text.size());
    }
    // Significant digits: drop the point, leading zeros and positional trailing zeros.
    std::string digits;
    for (char ch : mantissa_text) if (ch != '.') digits += ch;
    digits.erase(0, digits.find_first_not_of('0'));
    digits.erase(digits.find_last_not_of('0') + 1);
    CHECK_EQ(static_cast<int>(digits.size()), shortest_digit_count(value), text);
  }
}
