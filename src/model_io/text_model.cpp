// The text model parsers: lines, fields, numbers, and the layout of each of the five
// files. No Python.h.
#include "model_io/text_model.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "model_io/camera_model_table.hpp"
#include "model_io/format_error.hpp"

#if defined(__APPLE__)
#include <xlocale.h>

#include <cstdlib>
#endif

namespace tolv::model_io {

namespace {

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kNoPoint3D = kMax64;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Longest piece of a bad field quoted in a message.
constexpr size_t kQuotedBytes = 40;
// Below this many 2D points images.txt is parsed on one thread: a thread costs more.
constexpr size_t kParallelPoints2D = size_t{1} << 16;

inline bool is_separator(char c) { return c == ' ' || c == '\t'; }
inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
inline bool is_digit(char c) { return static_cast<unsigned char>(c) - unsigned{'0'} < 10; }

// One line without its surrounding blanks; number counts from 1.
struct Line {
  const char* begin;
  const char* end;
  uint64_t number;
};

class Lines {
 public:
  explicit Lines(ByteSpan bytes)
      : pos_(reinterpret_cast<const char*>(bytes.data)), end_(pos_ + bytes.size) {}

  // The next line, trimmed; false after the last. A final "\n" ends the last line, it
  // does not start an empty one.
  bool next(Line& line) {
    if (pos_ == end_) return false;
    const char* begin = pos_;
    const void* newline = std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_));
    const char* stop = newline ? static_cast<const char*>(newline) : end_;
    pos_ = newline ? stop + 1 : end_;
    while (begin != stop && is_blank(*begin)) ++begin;
    while (stop != begin && is_blank(stop[-1])) --stop;
    line = Line{begin, stop, ++number_};
    return true;
  }

  // The next line that is neither empty nor a comment.
  bool next_data(Line& line) {
    while (next(line)) {
      if (line.begin != line.end && *line.begin != '#') return true;
    }
    return false;
  }

 private:
  const char* pos_;
  const char* end_;
  uint64_t number_ = 0;
};

// The fields on a trimmed line: one more than the ends of separator runs. Written as
// plain sums over adjacent bytes, in byte-wide blocks that cannot wrap, so that the
// compiler vectorises them: the long lines of images.txt and points3D.txt are counted
// this way in the first pass.
size_t count_fields(const char* begin, const char* end) {
  if (begin == end) return 0;
  const size_t length = static_cast<size_t>(end - begin);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(begin);
  size_t fields = 1;
  for (size_t i = 1; i < length;) {
    const size_t stop = i + std::min<size_t>(length - i, 255);
    uint8_t block = 0;
    for (; i < stop; ++i) {
      const unsigned previous = (p[i - 1] == ' ') | (p[i - 1] == '\t');
      const unsigned current = (p[i] == ' ') | (p[i] == '\t');
      block = static_cast<uint8_t>(block + (previous & (current ^ 1u)));
    }
    fields += block;
  }
  return fields;
}

// "'abc'" for a field as found, bytes below ' ' and DEL as \xNN, cut after
// kQuotedBytes at a UTF-8 character boundary.
std::string quoted(const char* begin, const char* end) {
  size_t length = static_cast<size_t>(end - begin);
  const bool cut = length > kQuotedBytes;
  if (cut) {
    length = kQuotedBytes;
    while (length > 0 && (static_cast<unsigned char>(begin[length]) & 0xC0) == 0x80) --length;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(begin[i]);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += cut ? "...'" : "'";
  return out;
}

std::string integer_range(uint64_t max) { return "an integer from 0 to " + grouped(max); }

#if defined(__APPLE__)
// Apple's C++ library has no floating-point from_chars before macOS 26: strtod_l in the
// C locale reads the same decimals, correctly rounded, from a NUL-terminated copy of
// the field. Hexadecimal, which from_chars does not take, stops after its "0".
std::from_chars_result parse_double(const char* first, const char* last, double& value) {
  const char* stop = first;
  while (stop != last && *stop != ' ' && *stop != '\t') ++stop;
  const char* digits = first != stop && *first == '-' ? first + 1 : first;
  if (stop - digits >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    value = first == digits ? 0.0 : -0.0;
    return {digits + 1, std::errc{}};
  }
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string field(first, stop);
  char* end = nullptr;
  value = strtod_l(field.c_str(), &end, c_locale);
  return {first + (end - field.c_str()), std::errc{}};
}
#else
std::from_chars_result parse_double(const char* first, const char* last, double& value) {
  return std::from_chars(first, last, value);
}
#endif

// What strtod gives for a decimal that from_chars finds out of range: infinity for
// one above the largest double, zero for one below half the smallest, with its sign.
// Which of the two follows from the decimal exponent of the leading digit, which for
// such values is far from 0 (above 308 or below -323); counts saturate.
double out_of_range_value(const char* p, const char* end) {
  constexpr int64_t kSaturated = int64_t{1} << 40;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  while (p != end && *p == '0') ++p;
  int64_t magnitude = 0;
  for (; p != end && is_digit(*p); ++p) magnitude += magnitude < kSaturated;
  if (p != end && *p == '.') {
    ++p;
    if (magnitude == 0) {
      for (; p != end && *p == '0'; ++p) magnitude -= magnitude > -kSaturated;
    }
    while (p != end && is_digit(*p)) ++p;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative_exponent = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    int64_t exponent = 0;
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < kSaturated) exponent = exponent * 10 + (*p - '0');
    }
    magnitude += negative_exponent ? -exponent : exponent;
  }
  const double value = magnitude > 0 ? kInfinity : 0.0;
  return negative ? -value : value;
}

// The field at p (skipping separators), quoted, or "the end of the line".
std::string found_at(const char* p, const char* end) {
  while (p != end && is_separator(*p)) ++p;
  if (p == end) return "the end of the line";
  const char* stop = p;
  while (stop != end && !is_separator(*stop)) ++stop;
  return quoted(p, stop);
}

// The failures take the place by value, never the Fields: one whose address escapes
// would keep its cursor in memory across every from_chars call.
[[noreturn]] void fail_expected(uint64_t line, const char* p, const char* end, const char* what,
                                std::string_view field) {
  fail_at_line(line, "expected " + std::string(what) + " for " + std::string(field) + ", found " +
                         found_at(p, end));
}

[[noreturn]] void fail_integer(uint64_t line, const char* p, const char* end, uint64_t max,
                               std::string_view field) {
  fail_expected(line, p, end, integer_range(max).c_str(), field);
}

// The fields of one line, read left to right. Each read fails with the line's number
// and what was expected in place of the field found.
class Fields {
 public:
  explicit Fields(const Line& line) : p_(line.begin), end_(line.end), line_(line.number) {}

  bool at_end() {
    skip();
    return p_ == end_;
  }

  size_t remaining() {
    skip();
    return count_fields(p_, end_);
  }

  double number(std::string_view field) {
    skip();
    const char* first = p_;
    if (first != end_ && *first == '+') ++first;  // which from_chars does not take
    double value;
    const std::from_chars_result result = parse_double(first, end_, value);
    if (result.ptr == first || !ends_field(result.ptr) || (first != p_ && *first == '-')) {
      fail_expected(line_, p_, end_, "a number", field);
    }
    if (result.ec == std::errc::result_out_of_range) value = out_of_range_value(p_, result.ptr);
    p_ = result.ptr;
    return value;
  }

  // An unsigned decimal up to Max, with an optional '+'.
  template <uint64_t Max>
  uint64_t integer(std::string_view field) {
    uint64_t value;
    if (!take_integer<Max>(value)) fail_integer(line_, p_, end_, Max, field);
    return value;
  }

  uint32_t id32(std::string_view field) { return static_cast<uint32_t>(integer<kMax32>(field)); }

  // A 2D point's 3D point id, "-1" for none.
  uint64_t point3D_id() {
    skip();
    if (end_ - p_ >= 2 && p_[0] == '-' && p_[1] == '1' && ends_field(p_ + 2)) {
      p_ += 2;
      return kNoPoint3D;
    }
    uint64_t value;
    if (!take_integer<kMax64>(value)) {
      fail_expected(line_, p_, end_, ("-1 or " + integer_range(kMax64)).c_str(), "POINT3D_ID");
    }
    return value;
  }

  // The next field as it stands; what names it when the line has ended.
  std::string_view word(const char* what, std::string_view field) {
    skip();
    if (p_ == end_) expected(what, field);
    const char* begin = p_;
    while (p_ != end_ && !is_separator(*p_)) ++p_;
    return std::string_view(begin, static_cast<size_t>(p_ - begin));
  }

  // -1 invalid, 0 camera, 1 IMU, as COLMAP names them.
  int32_t sensor_type(std::string_view field) {
    const char* start = (skip(), p_);
    const std::string_view name = word(kSensorTypes, field);
    if (name == "CAMERA") return 0;
    if (name == "IMU") return 1;
    if (name == "INVALID") return -1;
    p_ = start;
    expected(kSensorTypes, field);
  }

  // The rest of the line, separators included.
  std::string_view rest(const char* what, std::string_view field) {
    skip();
    if (p_ == end_) expected(what, field);
    const std::string_view text(p_, static_cast<size_t>(end_ - p_));
    p_ = end_;
    return text;
  }

  // For a line that goes on after its last field; after names that field.
  [[noreturn]] void expected_end(const std::string& after) {
    fail_at_line(line_,
                 "expected the end of the line after " + after + ", found " + found_at(p_, end_));
  }

  [[noreturn]] void expected(const char* what, std::string_view field) {
    fail_expected(line_, p_, end_, what, field);
  }

  uint64_t line() const { return line_; }

 private:
  static constexpr const char* kSensorTypes = "a sensor type (CAMERA, IMU or INVALID)";

  void skip() {
    while (p_ != end_ && is_separator(*p_)) ++p_;
  }
  bool ends_field(const char* p) const { return p == end_ || is_separator(*p); }

  // Digits are summed unchecked; only a number with more digits than Max always has
  // is read again with a check at each digit.
  template <uint64_t Max>
  bool take_integer(uint64_t& value) {
    skip();
    const char* p = p_;
    if (p != end_ && *p == '+') ++p;
    const char* digits = p;
    uint64_t v = 0;
    for (; p != end_ && is_digit(*p); ++p) v = v * 10 + static_cast<unsigned>(*p - '0');
    if (p == digits || !ends_field(p)) return false;
    constexpr size_t kSafeDigits = safe_digits(Max);
    if (static_cast<size_t>(p - digits) > kSafeDigits && !at_most(Max, digits, p, v)) {
      return false;
    }
    p_ = p;
    value = v;
    return true;
  }

  // How many digits any number below 10 to that power fits in max.
  static constexpr size_t safe_digits(uint64_t max) {
    size_t digits = 0;
    for (uint64_t all_nines = 9; all_nines <= max; all_nines = all_nines * 10 + 9) {
      ++digits;
      if (all_nines > max / 10) break;
    }
    return digits;
  }

  static bool at_most(uint64_t max, const char* p, const char* end, uint64_t& value) {
    uint64_t v = 0;
    for (; p != end; ++p) {
      const unsigned digit = static_cast<unsigned>(*p - '0');
      if (v > max / 10 || (v == max / 10 && digit > max % 10)) return false;
      v = v * 10 + digit;
    }
    value = v;
    return true;
  }

  const char* p_;
  const char* end_;
  uint64_t line_;
};

constexpr std::string_view kPoseFields[7] = {"QW", "QX", "QY", "QZ", "TX", "TY", "TZ"};

void read_pose(Fields& fields, double* pose) {
  for (int k = 0; k < 7; ++k) pose[k] = fields.number(kPoseFields[k]);
}

void put_pose(const double* pose, double* quaternion, double* translation) {
  std::memcpy(quaternion, pose, 4 * sizeof(double));
  std::memcpy(translation, pose + 4, 3 * sizeof(double));
}

template <class T>
T* sized(Column<T>& column, size_t size) {
  column.resize(size);
  return column.data();
}

// The k-th of a model's space-separated parameter names.
std::string_view param_name(const CameraModelInfo& model, size_t k) {
  std::string_view names(model.param_names);
  for (; k > 0; --k) names.remove_prefix(names.find(' ') + 1);
  return names.substr(0, names.find(' '));
}

// ---- cameras.txt: CAMERA_ID MODEL WIDTH HEIGHT PARAMS...

struct CameraLine {
  uint32_t id;
  const CameraModelInfo* model;
  uint64_t width;
  uint64_t height;
};

// params: room for the model's parameters, or nullptr to only check them.
CameraLine read_camera(const Line& line, double* params) {
  Fields fields(line);
  CameraLine camera;
  camera.id = fields.id32("CAMERA_ID");
  const std::string_view name = fields.word("a camera model name", "MODEL");
  camera.model = camera_model_by_name(name);
  if (!camera.model) {
    fail_at_line(line.number, "camera " + std::to_string(camera.id) + " has camera model " +
                                  quoted(name.data(), name.data() + name.size()) +
                                  ", which is not a COLMAP camera model");
  }
  camera.width = fields.integer<kMax64>("WIDTH");
  camera.height = fields.integer<kMax64>("HEIGHT");
  const size_t found = fields.remaining();
  if (found != camera.model->num_params) {
    fail_at_line(line.number, "camera " + std::to_string(camera.id) + " (" + camera.model->name +
                                  ") needs " + grouped(camera.model->num_params) +
                                  " parameters, found " + grouped(found));
  }
  for (size_t k = 0; k < found; ++k) {
    const double value = fields.number(param_name(*camera.model, k));
    if (params) params[k] = value;
  }
  return camera;
}

// ---- images.txt: IMAGE_ID QW QX QY QZ TX TY TZ CAMERA_ID NAME, then X Y POINT3D_ID ...

struct ImageLine {
  uint32_t id;
  double pose[7];
  uint32_t camera_id;
  std::string_view name;
};

ImageLine read_image(const Line& line) {
  Fields fields(line);
  ImageLine image;
  image.id = fields.id32("IMAGE_ID");
  read_pose(fields, image.pose);
  image.camera_id = fields.id32("CAMERA_ID");
  image.name = fields.rest("an image name", "NAME");
  if (std::memchr(image.name.data(), 0, image.name.size())) {
    fail_at_line(line.number, "expected an image name without NUL bytes for NAME, found " +
                                  quoted(image.name.data(), line.end));
  }
  return image;
}

// The image's 2D points line. An image line that ends the file has none: a tool that
// trims trailing blank lines leaves an image without 2D points so, and it is read as
// one rather than dropped or refused.
void next_points2D_line(Lines& lines, const Line& image_line, Line& points_line) {
  if (!lines.next(points_line)) {
    points_line = Line{image_line.end, image_line.end, image_line.number + 1};
  }
}

[[noreturn]] void fail_values(const Fields& fields, const char* groups, const char* where,
                              uint32_t id, size_t values) {
  fail_at_line(fields.line(), std::string("expected ") + groups + " " + where +
                                  std::to_string(id) + ", found " + grouped(values) + " values");
}

// Parses X Y POINT3D_ID triples into xys and point3D_ids; returns their count. A triple
// is stored only once complete: the columns have room for whole triples alone.
size_t read_points2D(const Line& line, uint32_t image_id, double* xys, uint64_t* point3D_ids) {
  constexpr const char* kTriples = "X Y POINT3D_ID triples";
  constexpr const char* kWhere = "on the 2D points line of image ";
  Fields fields(line);
  size_t count = 0;
  while (!fields.at_end()) {
    const double x = fields.number("X");
    if (fields.at_end()) fail_values(fields, kTriples, kWhere, image_id, 3 * count + 1);
    const double y = fields.number("Y");
    if (fields.at_end()) fail_values(fields, kTriples, kWhere, image_id, 3 * count + 2);
    point3D_ids[count] = fields.point3D_id();
    xys[2 * count] = x;
    xys[2 * count + 1] = y;
    ++count;
  }
  return count;
}

// ---- rigs.txt: RIG_ID NUM_SENSORS [REF_SENSOR_TYPE REF_SENSOR_ID]
//                then per other sensor SENSOR_TYPE SENSOR_ID HAS_POSE [QW QX QY QZ TX TY TZ]

struct Sensor {
  int32_t type;
  uint32_t id;
  uint8_t has_pose;
  double pose[7];  // NaN without a pose
};

template <class OnSensor>
void read_rig(const Line& line, uint32_t& rig_id, OnSensor on_sensor) {
  Fields fields(line);
  rig_id = fields.id32("RIG_ID");
  const uint64_t declared = fields.integer<kMax32>("NUM_SENSORS");
  Sensor sensor;
  for (uint64_t k = 0; k < declared; ++k) {
    const bool reference = k == 0;
    sensor.type = fields.sensor_type(reference ? "REF_SENSOR_TYPE" : "SENSOR_TYPE");
    sensor.id = fields.id32(reference ? "REF_SENSOR_ID" : "SENSOR_ID");
    sensor.has_pose = reference ? 0 : static_cast<uint8_t>(fields.integer<1>("HAS_POSE"));
    if (sensor.has_pose) {
      read_pose(fields, sensor.pose);
    } else {
      for (double& value : sensor.pose) value = kNaN;
    }
    on_sensor(sensor);
  }
  if (!fields.at_end()) {
    fields.expected_end("the " + grouped(declared) + " sensors of rig " + std::to_string(rig_id));
  }
}

// ---- frames.txt: FRAME_ID RIG_ID QW QX QY QZ TX TY TZ NUM_DATA_IDS
//                  then per data id SENSOR_TYPE SENSOR_ID DATA_ID

struct FrameLine {
  uint32_t id;
  uint32_t rig_id;
  double pose[7];
};

template <class OnData>
FrameLine read_frame(const Line& line, OnData on_data) {
  Fields fields(line);
  FrameLine frame;
  frame.id = fields.id32("FRAME_ID");
  frame.rig_id = fields.id32("RIG_ID");
  read_pose(fields, frame.pose);
  const uint64_t declared = fields.integer<kMax32>("NUM_DATA_IDS");
  for (uint64_t k = 0; k < declared; ++k) {
    const int32_t type = fields.sensor_type("SENSOR_TYPE");
    const uint32_t sensor_id = fields.id32("SENSOR_ID");
    on_data(type, sensor_id, fields.integer<kMax64>("DATA_ID"));
  }
  if (!fields.at_end()) {
    fields.expected_end("the " + grouped(declared) + " data ids of frame " +
                        std::to_string(frame.id));
  }
  return frame;
}

}  // namespace

CameraColumns parse_cameras_text(ByteSpan bytes) {
  size_t rows = 0;
  size_t params = 0;
  Line line;
  for (Lines lines(bytes); lines.next_data(line);) {
    params += read_camera(line, nullptr).model->num_params;
    ++rows;
  }

  CameraColumns out;
  uint32_t* ids = sized(out.ids, rows);
  int32_t* model_ids = sized(out.model_ids, rows);
  uint64_t* widths = sized(out.widths, rows);
  uint64_t* heights = sized(out.heights, rows);
  int64_t* offsets = sized(out.param_offsets, rows + 1);
  double* values = sized(out.params, params);
  size_t row = 0;
  size_t filled = 0;
  offsets[0] = 0;
  for (Lines lines(bytes); lines.next_data(line); ++row) {
    const CameraLine camera = read_camera(line, values + filled);
    ids[row] = camera.id;
    model_ids[row] = camera.model->id;
    widths[row] = camera.width;
    heights[row] = camera.height;
    filled += camera.model->num_params;
    offsets[row + 1] = static_cast<int64_t>(filled);
  }
  return out;
}

// One image as the first pass found it: its two lines, and where its name and its 2D
// points go in the flat columns.
struct ImagePlace {
  Line image_line;
  Line points_line;
};

// The second pass over rows [first, last): every field parsed into its place.
void fill_images(const std::vector<ImagePlace>& places, size_t first, size_t last,
                 ImageColumns& out) {
  for (size_t row = first; row < last; ++row) {
    const ImagePlace& place = places[row];
    const ImageLine image = read_image(place.image_line);
    out.ids[row] = image.id;
    put_pose(image.pose, &out.quaternions[4 * row], &out.translations[3 * row]);
    out.camera_ids[row] = image.camera_id;
    if (!image.name.empty()) {
      std::memcpy(&out.name_bytes[static_cast<size_t>(out.name_offsets[row])], image.name.data(),
                  image.name.size());
    }
    const size_t start = static_cast<size_t>(out.points2D_offsets[row]);
    read_points2D(place.points_line, image.id, out.xys.data() + 2 * start,
                  out.point3D_ids.data() + start);
  }
}

ImageColumns parse_images_text(ByteSpan bytes, unsigned workers) {
  // The first pass parses only the image lines (for the names' lengths) and counts each
  // 2D points line's triples from its fields; the second pass checks them.
  std::vector<ImagePlace> places;
  ImageColumns out;
  Column<int64_t>& name_offsets = out.name_offsets;
  Column<int64_t>& points_offsets = out.points2D_offsets;
  std::vector<int64_t> name_ends{0}, points_ends{0};
  ImagePlace place;
  for (Lines lines(bytes); lines.next_data(place.image_line);) {
    const ImageLine image = read_image(place.image_line);
    next_points2D_line(lines, place.image_line, place.points_line);
    places.push_back(place);
    name_ends.push_back(name_ends.back() + static_cast<int64_t>(image.name.size()));
    points_ends.push_back(points_ends.back() + static_cast<int64_t>(count_fields(
                                                   place.points_line.begin,
                                                   place.points_line.end) / 3));
  }
  const size_t rows = places.size();
  const size_t points = static_cast<size_t>(points_ends.back());
  sized(out.ids, rows);
  sized(out.quaternions, 4 * rows);
  sized(out.translations, 3 * rows);
  sized(out.camera_ids, rows);
  std::copy(name_ends.begin(), name_ends.end(), sized(name_offsets, rows + 1));
  sized(out.name_bytes, static_cast<size_t>(name_ends.back()));
  std::copy(points_ends.begin(), points_ends.end(), sized(points_offsets, rows + 1));
  sized(out.xys, 2 * points);
  sized(out.point3D_ids, points);

  // With two workers the rows split where half the 2D points lie; the later rows go to
  // a thread, and of two failures the earlier rows' is thrown, so the outcome is that
  // of one worker.
  size_t split = rows;
  if (workers > 1 && points > kParallelPoints2D) {
    split = static_cast<size_t>(std::upper_bound(points_ends.begin(), points_ends.end(),
                                                 static_cast<int64_t>(points / 2)) -
                                points_ends.begin()) - 1;
  }
  std::exception_ptr later_failure;
  std::thread later;
  if (split < rows) {
    try {
      later = std::thread([&] {
        try {
          fill_images(places, split, rows, out);
        } catch (...) {
          later_failure = std::current_exception();
        }
      });
    } catch (...) {  // std::thread throws std::system_error
      split = rows;  // no thread to be had: one worker does all
    }
  }
  try {
    fill_images(places, 0, split, out);
  } catch (...) {
    if (later.joinable()) later.join();
    throw;
  }
  if (later.joinable()) later.join();
  if (later_failure) std::rethrow_exception(later_failure);
  return out;
}

PointColumns parse_points3D_text(ByteSpan bytes) {
  // A point line has 8 fields before its track; the second pass checks them.
  constexpr size_t kFixedFields = 8;
  size_t rows = 0;
  size_t elements = 0;
  Line line;
  for (Lines lines(bytes); lines.next_data(line);) {
    const size_t fields = count_fields(line.begin, line.end);
    if (fields > kFixedFields) elements += (fields - kFixedFields) / 2;
    ++rows;
  }

  PointColumns out;
  uint64_t* ids = sized(out.ids, rows);
  double* xyz = sized(out.xyz, 3 * rows);
  uint8_t* rgb = sized(out.rgb, 3 * rows);
  double* errors = sized(out.errors, rows);
  int64_t* offsets = sized(out.track_offsets, rows + 1);
  uint32_t* image_ids = sized(out.track_image_ids, elements);
  uint32_t* point2D_idxs = sized(out.track_point2D_idxs, elements);
  constexpr std::string_view kCoordinates[3] = {"X", "Y", "Z"};
  constexpr std::string_view kChannels[3] = {"R", "G", "B"};
  size_t row = 0;
  size_t filled = 0;
  offsets[0] = 0;
  for (Lines lines(bytes); lines.next_data(line); ++row) {
    Fields fields(line);
    const uint64_t id = fields.integer<kMax64>("POINT3D_ID");
    ids[row] = id;
    for (int k = 0; k < 3; ++k) xyz[3 * row + k] = fields.number(kCoordinates[k]);
    for (int k = 0; k < 3; ++k) {
      rgb[3 * row + k] = static_cast<uint8_t>(fields.integer<255>(kChannels[k]));
    }
    errors[row] = fields.number("ERROR");
    size_t length = 0;
    while (!fields.at_end()) {  // a pair is stored only once complete, as for 2D points
      const uint32_t image_id = fields.id32("IMAGE_ID");
      if (fields.at_end()) {
        fail_at_line(line.number, "expected IMAGE_ID POINT2D_IDX pairs in the track of point " +
                                      std::to_string(id) + ", found " +
                                      grouped(2 * length + 1) + " values");
      }
      point2D_idxs[filled] = fields.id32("POINT2D_IDX");
      image_ids[filled] = image_id;
      ++filled;
      ++length;
    }
    offsets[row + 1] = static_cast<int64_t>(filled);
  }
  return out;
}

RigColumns parse_rigs_text(ByteSpan bytes) {
  size_t rows = 0;
  size_t sensors = 0;
  uint32_t rig_id;
  Line line;
  for (Lines lines(bytes); lines.next_data(line); ++rows) {
    read_rig(line, rig_id, [&](const Sensor&) { ++sensors; });
  }

  RigColumns out;
  uint32_t* ids = sized(out.ids, rows);
  int64_t* offsets = sized(out.sensor_offsets, rows + 1);
  int32_t* types = sized(out.sensor_types, sensors);
  uint32_t* sensor_ids = sized(out.sensor_ids, sensors);
  uint8_t* has_pose = sized(out.has_pose, sensors);
  double* quaternions = sized(out.sensor_quaternions, 4 * sensors);
  double* translations = sized(out.sensor_translations, 3 * sensors);
  size_t row = 0;
  size_t filled = 0;
  offsets[0] = 0;
  for (Lines lines(bytes); lines.next_data(line); ++row) {
    read_rig(line, rig_id, [&](const Sensor& sensor) {
      types[filled] = sensor.type;
      sensor_ids[filled] = sensor.id;
      has_pose[filled] = sensor.has_pose;
      put_pose(sensor.pose, quaternions + 4 * filled, translations + 3 * filled);
      ++filled;
    });
    ids[row] = rig_id;
    offsets[row + 1] = static_cast<int64_t>(filled);
  }
  return out;
}

FrameColumns parse_frames_text(ByteSpan bytes) {
  size_t rows = 0;
  size_t data = 0;
  Line line;
  for (Lines lines(bytes); lines.next_data(line); ++rows) {
    read_frame(line, [&](int32_t, uint32_t, uint64_t) { ++data; });
  }

  FrameColumns out;
  uint32_t* ids = sized(out.ids, rows);
  uint32_t* rig_ids = sized(out.rig_ids, rows);
  double* quaternions = sized(out.quaternions, 4 * rows);
  double* translations = sized(out.translations, 3 * rows);
  int64_t* offsets = sized(out.data_offsets, rows + 1);
  int32_t* types = sized(out.data_sensor_types, data);
  uint32_t* sensor_ids = sized(out.data_sensor_ids, data);
  uint64_t* data_ids = sized(out.data_ids, data);
  size_t row = 0;
  size_t filled = 0;
  offsets[0] = 0;
  for (Lines lines(bytes); lines.next_data(line); ++row) {
    const FrameLine frame = read_frame(line, [&](int32_t type, uint32_t sensor_id, uint64_t id) {
      types[filled] = type;
      sensor_ids[filled] = sensor_id;
      data_ids[filled] = id;
      ++filled;
    });
    ids[row] = frame.id;
    rig_ids[row] = frame.rig_id;
    put_pose(frame.pose, quaternions + 4 * row, translations + 3 * row);
    offsets[row + 1] = static_cast<int64_t>(filled);
  }
  return out;
}

}  // namespace tolv::model_io
