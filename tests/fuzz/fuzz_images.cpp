// Fuzzes parse_images against a plain reference reader: same abort message, same records.
#include "colmap_io.hpp"
#include "fuzz_common.hpp"

namespace {

std::string encode(const tolv::Image& image) {
  std::string out;
  fuzz::put(out, image.image_id, 4);
  for (double q : {image.rot.w, image.rot.x, image.rot.y, image.rot.z}) fuzz::put_f64(out, q);
  for (double t : image.trans) fuzz::put_f64(out, t);
  fuzz::put(out, image.camera_id, 4);
  out += image.name;
  out += '\0';
  if (image.xys.size() != image.point3D_ids.size()) return "xys and point3D_ids differ in length";
  fuzz::put(out, image.xys.size(), 8);
  for (size_t k = 0; k < image.xys.size(); ++k) {
    fuzz::put_f64(out, image.xys[k][0]);
    fuzz::put_f64(out, image.xys[k][1]);
    fuzz::put(out, image.point3D_ids[k], 8);
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
    const uint64_t id = reader.take(4);
    for (int k = 0; k < 7; ++k) reader.take(8);  // quaternion, translation
    reader.take(4);                              // camera id
    reader.skip_name();
    const uint64_t points2D = reader.take(8);
    for (uint64_t k = 0; k < points2D && reader.ok(); ++k) {
      reader.take(8);
      reader.take(8);
      reader.take(8);
    }
    if (reader.ok()) records[id] = reader.bytes_since(start);
  }

  const auto parse = [](tolv::ByteSpan bytes, tolv::LineSink& sink) {
    return tolv::parse_images(bytes, sink);
  };
  fuzz::check_parser(data, size, reader, records, parse, encode);
  return 0;
}
