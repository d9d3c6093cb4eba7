// Fuzzes TrackSet/OverlapCounts against a naive pair count over the same tracks.
//
// Input: a flag byte, then tracks, each [point id byte][length byte][length x 2-byte image id],
// lengths taken modulo 64 to keep the naive count cheap. Flag bit 0: point ids come from the
// input and may repeat (the later track wins); otherwise every track gets its own id.
// Bit 1: image ids are spread over the whole 32-bit range, which takes the hashed
// renumbering. Bit 2: every track is a single 2-byte image id with no id or length byte,
// so that a short input names enough images to be counted row by row. Bits 3 and 4
// force the counting method: row by row, in 32-bit or (both bits) 64-bit words; bit 5
// without bit 3 forces the triangle. The latest tracks are counted once more through
// the arrays entry, laid end to end as offsets and image ids.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "overlaps.hpp"

namespace {

[[noreturn]] void fail(const char* what, uint64_t a, uint64_t b, uint64_t actual, uint64_t expected) {
  std::fprintf(stderr, "%s for images %llu, %llu: %llu, naive count %llu\n", what,
               static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
               static_cast<unsigned long long>(actual), static_cast<unsigned long long>(expected));
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool spread = data[0] & 2, singletons = data[0] & 4;
  const bool ids_repeat = (data[0] & 1) && !singletons;
  tolv::TrackSet tracks;
  if (ids_repeat) tracks.note_keys_may_repeat();
  std::map<uint64_t, std::vector<tolv::image_t>> latest;
  uint64_t next_id = 0;
  size_t pos = 1;
  while (pos + 2 <= size) {
    const uint64_t point_id = ids_repeat ? data[pos] : next_id++;
    size_t length = 1;
    if (!singletons) {
      length = data[pos + 1] % 64;
      pos += 2;
      if (length > (size - pos) / 2) length = (size - pos) / 2;
    }
    std::vector<tolv::TrackElement> elements;
    std::vector<tolv::image_t>& images = latest[point_id];
    images.clear();
    for (size_t k = 0; k < length; ++k, pos += 2) {
      const uint32_t raw = data[pos] | uint32_t{data[pos + 1]} << 8;
      const tolv::image_t image = spread ? raw * 65537u : raw;
      elements.push_back({image, static_cast<tolv::point2D_t>(k)});
      images.push_back(image);
    }
    tracks.add_track(point_id, elements.data(), elements.size());
  }

  // Pair visits per unordered pair of image ids (lower id first).
  std::map<std::pair<tolv::image_t, tolv::image_t>, uint64_t> naive;
  for (const auto& entry : latest) {
    const std::vector<tolv::image_t>& t = entry.second;
    for (size_t i = 0; i < t.size(); ++i) {
      for (size_t j = 0; j <= i; ++j) ++naive[std::minmax(t[i], t[j])];
    }
  }

  using Method = tolv::OverlapCounts::Method;
  const Method method = (data[0] & 8)    ? ((data[0] & 16) ? Method::wide_rows : Method::rows)
                        : (data[0] & 32) ? Method::triangle
                                         : Method::automatic;
  const tolv::OverlapCounts counts(std::move(tracks), method);
  std::vector<bool> on_diagonal(counts.image_count(), false);
  size_t pairs = 0;
  const auto check_count = [&](uint32_t a, uint32_t b, uint64_t count) {
    const tolv::image_t image_a = counts.image_id(a), image_b = counts.image_id(b);
    const auto found = naive.find(std::minmax(image_a, image_b));
    const uint64_t visits = found == naive.end() ? 0 : found->second;
    const uint64_t expected = image_a == image_b ? 2 * visits : visits;
    if (count != expected) fail("count", image_a, image_b, count, expected);
  };
  counts.for_each_pair([&](uint32_t a, uint32_t b, uint64_t count) {
    if (a > b) fail("pair out of order", counts.image_id(a), counts.image_id(b), a, b);
    check_count(a, b, count);
    if (a == b) on_diagonal[a] = true;
    ++pairs;
  });
  if (pairs != naive.size()) fail("number of pairs", 0, 0, pairs, naive.size());
  // Each image's whole row: ascending, of the size announced, each pair as above.
  size_t row_entries = 0;
  for (uint32_t a = 0; a < counts.image_count(); ++a) {
    uint64_t in_row = 0;
    int64_t last = -1;
    counts.for_each_in_row(a, [&](uint32_t b, uint64_t count) {
      if (int64_t{b} <= last) fail("row out of order", counts.image_id(a), counts.image_id(b), a, b);
      last = b;
      check_count(a, b, count);
      ++in_row;
    });
    if (in_row != counts.row_size(a)) fail("row size", counts.image_id(a), 0, in_row, counts.row_size(a));
    row_entries += in_row;
  }
  if (row_entries != 2 * pairs - counts.image_count()) {
    fail("row entries", 0, 0, row_entries, 2 * pairs - counts.image_count());
  }
  // Every numbered image observes a counted point, so it pairs with itself: the
  // caller builds one result row per numbered image and must not get an empty one.
  for (uint32_t a = 0; a < counts.image_count(); ++a) {
    if (!on_diagonal[a]) fail("numbered image without pairs", counts.image_id(a), 0, 0, 0);
  }

  std::vector<int64_t> offsets{0};
  std::vector<tolv::image_t> flat;
  for (const auto& entry : latest) {
    flat.insert(flat.end(), entry.second.begin(), entry.second.end());
    offsets.push_back(static_cast<int64_t>(flat.size()));
  }
  const tolv::CovisibilityRows rows =
      tolv::covisibility_rows(offsets.data(), latest.size(), flat.data(), flat.size());
  if (rows.image_ids.size() != counts.image_count()) {
    fail("arrays entry: images", 0, 0, rows.image_ids.size(), counts.image_count());
  }
  if (rows.partner_ids.size() != row_entries) fail("arrays entry: entries", 0, 0, rows.partner_ids.size(), row_entries);
  for (size_t k = 0; k < rows.image_ids.size(); ++k) {
    if (rows.image_ids[k] != counts.image_id(static_cast<uint32_t>(k))) {
      fail("arrays entry: image", rows.image_ids[k], 0, k, 0);
    }
    for (auto at = static_cast<size_t>(rows.offsets[k]); at < static_cast<size_t>(rows.offsets[k + 1]); ++at) {
      if (at > static_cast<size_t>(rows.offsets[k]) && rows.partner_ids[at - 1] >= rows.partner_ids[at]) {
        fail("arrays entry: row out of order", rows.image_ids[k], rows.partner_ids[at], 0, 0);
      }
      const auto found = naive.find(std::minmax(rows.image_ids[k], rows.partner_ids[at]));
      const uint64_t visits = found == naive.end() ? 0 : found->second;
      const uint64_t expected = rows.image_ids[k] == rows.partner_ids[at] ? 2 * visits : visits;
      if (rows.counts[at] != expected) fail("arrays entry: count", rows.image_ids[k], rows.partner_ids[at], rows.counts[at], expected);
    }
  }
  return 0;
}
