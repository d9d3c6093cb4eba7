// Fuzzes parse_points3D against a plain reference reader: same abort message, same records.
#include "colmap_io.hpp"
#include "fuzz_common.hpp"

namespace {

std::string encode(const tolv::Point3D& point) {
  std::string out;
  fuzz::put(out, point.id, 8);
  for (double coordinate : point.xyz) fuzz::put_f64(out, coordinate);
  fuzz::put(out, point.color.r, 1);
  fuzz::put(out, point.color.g, 1);
  fuzz::put(out, point.color.b, 1);
  fuzz::put_f64(out, point.error);
  fuzz::put(out, point.track.size(), 8);
  for (const tolv::TrackElement& element : point.track) {
    fuzz::put(out, element.image_id, 4);
    fuzz::put(out, element.point2D_idx, 4);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PlainReader reader(data, size);
  std::map<uint64_t, std::string> records;
  const uint64_t count = reader.take(8);
  for (uint64_t i = 0; i < count && reader.ok(); ++i) {
    const size_t start = reader.pos;
    const uint64_t id = reader.take(8);
    for (int k = 0; k < 3; ++k) reader.take(8);  // xyz
    for (int k = 0; k < 3; ++k) reader.take(1);  // colour
    reader.take(8);                              // error
    const uint64_t track_length = reader.take(8);
    for (uint64_t k = 0; k < track_length && reader.ok(); ++k) {
      reader.take(4);
      reader.take(4);
    }
    if (reader.ok()) records[id] = reader.bytes_since(start);
  }

  const auto parse = [](tolv::ByteSpan bytes, tolv::LineSink& sink) {
    return tolv::parse_points3D(bytes, sink);
  };
  fuzz::check_parser(data, size, reader, records, parse, encode);
  return 0;
}
