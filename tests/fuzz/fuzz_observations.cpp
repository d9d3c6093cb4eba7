// Fuzzes kept_observations against a plain reading of what stays: an element stays when
// its image exists and stays, holds its 2D point, that names the element's point, and
// the point stays (wanted, and with enough such elements); a 2D point of a kept image
// keeps its id when a kept element observes it. Columns out of step must be refused.
//
// Input: a byte of flags and the minimum track length, then images (a count of 2D
// points, their ids, a keep bit), then points (an id, a keep bit, a track of
// (image row, 2D point index) bytes). Flag bits spoil one column: an offset moved,
// a keep mask one short, an image row past the end, one id too many.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "model_io/observations.hpp"

using namespace tolv::model_io;

namespace {

struct Bytes {
  const uint8_t* data;
  size_t size, pos = 0;
  uint8_t next() { return pos < size ? data[pos++] : 0; }
  bool done() const { return pos >= size; }
};

template <class T>
ColumnView<T> view(const std::vector<T>& values) {
  return ColumnView<T>{values.data(), values.size()};
}

[[noreturn]] void fail(const char* what, size_t where) {
  std::fprintf(stderr, "%s at %zu\n", what, where);
  std::abort();
}

struct Model {
  std::vector<uint64_t> point3D_ids, point_ids;
  std::vector<int64_t> points2D_offsets{0}, track_offsets{0}, element_image_rows;
  std::vector<uint8_t> image_keep, point_keep;
  std::vector<uint32_t> track_point2D_idxs;
  uint64_t min_track_length = 0;
};

Model model_of(Bytes& in) {
  Model m;
  const uint8_t flags = in.next();
  m.min_track_length = flags % 4;
  const size_t images = in.next() % 6;
  for (size_t k = 0; k < images; ++k) {
    const uint8_t shape = in.next();
    m.image_keep.push_back(shape & 1);
    for (int j = 0; j < (shape >> 1) % 5; ++j) {
      const uint8_t id = in.next() % 8;
      m.point3D_ids.push_back(id == 7 ? kInvalidPoint3DId : id);
    }
    m.points2D_offsets.push_back(static_cast<int64_t>(m.point3D_ids.size()));
  }
  while (!in.done()) {
    const uint8_t shape = in.next();
    m.point_ids.push_back(shape % 8);
    m.point_keep.push_back((shape >> 3) & 1);
    for (int e = 0; e < (shape >> 4) % 6; ++e) {
      m.element_image_rows.push_back(in.next() % (images + 1));
      m.track_point2D_idxs.push_back(in.next() % 6);
    }
    m.track_offsets.push_back(static_cast<int64_t>(m.track_point2D_idxs.size()));
  }
  if ((flags & 0x10) && m.points2D_offsets.size() > 1) m.points2D_offsets[1] += 1;
  if ((flags & 0x20) && !m.point_keep.empty()) m.point_keep.pop_back();
  if ((flags & 0x40) && !m.element_image_rows.empty()) m.element_image_rows[0] = images + 1;
  if ((flags & 0x80) && m.track_offsets.size() > 2) m.track_offsets[1] = m.track_offsets.back() + 1;
  return m;
}

bool in_step(const Model& m) {
  const auto rising_to = [](const std::vector<int64_t>& offsets, size_t end) {
    for (size_t k = 1; k < offsets.size(); ++k) {
      if (offsets[k] < offsets[k - 1]) return false;
    }
    return static_cast<size_t>(offsets.back()) == end;
  };
  for (const int64_t row : m.element_image_rows) {
    if (row < 0 || static_cast<size_t>(row) > m.image_keep.size()) return false;
  }
  return rising_to(m.points2D_offsets, m.point3D_ids.size()) &&
         rising_to(m.track_offsets, m.track_point2D_idxs.size()) &&
         m.point_keep.size() == m.point_ids.size();
}

// Flag bit 3 asks for one id too many.
bool ids_fit(const uint8_t* data) { return ((data[0] >> 3) & 1) == 0; }

// The row of element e's 2D point when it observes point id in a kept image, else -1.
long observed_row(const Model& m, size_t e, uint64_t id) {
  const size_t image = static_cast<size_t>(m.element_image_rows[e]);
  if (image == m.image_keep.size() || !m.image_keep[image]) return -1;
  const int64_t row = m.points2D_offsets[image] + m.track_point2D_idxs[e];
  if (row >= m.points2D_offsets[image + 1] || m.point3D_ids[static_cast<size_t>(row)] != id) {
    return -1;
  }
  return static_cast<long>(row);
}

void check(const Model& m, const KeptObservations& kept, const std::vector<uint64_t>& ids) {
  std::vector<bool> observed(m.point3D_ids.size());
  for (size_t p = 0; p < m.point_ids.size(); ++p) {
    const auto begin = static_cast<size_t>(m.track_offsets[p]);
    const auto end = static_cast<size_t>(m.track_offsets[p + 1]);
    uint64_t valid = 0;
    for (size_t e = begin; e < end; ++e) valid += observed_row(m, e, m.point_ids[p]) >= 0;
    const bool stays = m.point_keep[p] && valid >= m.min_track_length;
    if (kept.point_keep[p] != stays) fail("point kept", p);
    if (kept.track_lengths[p] != (stays ? static_cast<int64_t>(valid) : 0)) fail("length", p);
    for (size_t e = begin; e < end; ++e) {
      const long row = observed_row(m, e, m.point_ids[p]);
      if (kept.element_keep[e] != (stays && row >= 0)) fail("element kept", e);
      if (stays && row >= 0) observed[static_cast<size_t>(row)] = true;
    }
  }
  size_t next = 0;
  for (size_t k = 0; k < m.image_keep.size(); ++k) {
    if (!m.image_keep[k]) continue;
    for (auto row = static_cast<size_t>(m.points2D_offsets[k]);
         row < static_cast<size_t>(m.points2D_offsets[k + 1]); ++row, ++next) {
      const uint64_t expected = observed[row] ? m.point3D_ids[row] : kInvalidPoint3DId;
      if (next >= ids.size() || ids[next] != expected) {
        fail("2D point id", row);
      }
    }
  }
  if (next != ids.size()) fail("2D points of the kept images", next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Bytes in{data, size};
  const Model m = model_of(in);
  const ObservationInputs inputs{view(m.point3D_ids),  view(m.points2D_offsets),
                                 view(m.image_keep),   view(m.point_ids),
                                 view(m.track_offsets), view(m.point_keep),
                                 view(m.element_image_rows), view(m.track_point2D_idxs),
                                 m.min_track_length};
  // As many ids as the kept images hold when the offsets are in step; flag bit 3 one
  // more, which must be refused.
  int64_t kept_2D_points = (data[0] >> 3) & 1;
  for (size_t k = 0; k < m.image_keep.size(); ++k) {
    if (m.image_keep[k]) kept_2D_points += m.points2D_offsets[k + 1] - m.points2D_offsets[k];
  }
  std::vector<uint64_t> ids(kept_2D_points > 0 ? static_cast<size_t>(kept_2D_points) : 0);
  bool refused = false;
  try {
    check(m, kept_observations(inputs, IdsOut{ids.data(), ids.size()}), ids);
  } catch (const ObservationArraysError&) {
    refused = true;
  }
  if (refused == (in_step(m) && ids_fit(data))) fail(refused ? "refused columns in step" : "took columns out of step", 0);
  return 0;
}
