// Fuzzes parse_cameras against a plain reference reader: same abort message, same records.
#include "colmap_io.hpp"
#include "fuzz_common.hpp"

namespace {

constexpr size_t kParamCounts[] = {3, 4, 4, 5, 8, 8, 12, 5, 4, 5, 12};  // by model code 0..10

std::string encode(const tolv::Camera& camera) {
  std::string out;
  fuzz::put(out, camera.camera_id, 4);
  fuzz::put(out, static_cast<uint32_t>(static_cast<int32_t>(camera.model_id)), 4);
  fuzz::put(out, camera.width, 8);
  fuzz::put(out, camera.height, 8);
  for (double param : camera.params) fuzz::put_f64(out, param);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PlainReader reader(data, size);
  std::map<uint64_t, std::string> records;
  const uint64_t count = reader.take(8);
  for (uint64_t i = 0; i < count && reader.ok(); ++i) {
    const size_t start = reader.pos;
    const uint64_t id = reader.take(4);
    const int32_t code = static_cast<int32_t>(reader.take(4));
    if (reader.ok() && (code < -1 || code > 10)) reader.failure = "Invalid enum value";
    reader.take(8);
    reader.take(8);
    if (reader.ok() && code == -1) reader.failure = "Cannot get params for invalid camera";
    if (!reader.ok()) break;
    for (size_t k = 0; k < kParamCounts[code]; ++k) reader.take(8);
    if (reader.ok()) records[id] = reader.bytes_since(start);
  }

  const auto parse = [](tolv::ByteSpan bytes, tolv::LineSink& sink) {
    return tolv::parse_cameras(bytes, sink);
  };
  fuzz::check_parser(data, size, reader, records, parse, encode);
  return 0;
}
