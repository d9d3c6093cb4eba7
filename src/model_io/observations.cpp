#include "model_io/observations.hpp"

#include <string>
#include <vector>

namespace tolv::model_io {
namespace {

void require(bool condition, const std::string& name, const char* what) {
  if (!condition) throw ObservationArraysError(name + " must " + what);
}

// Offsets of rows + 1 entries that cut a flat column of `flat` entries.
void check_offsets(const ColumnView<int64_t>& offsets, size_t rows, size_t flat,
                   const char* name) {
  require(offsets.size == rows + 1, name, "hold one entry per row and one more");
  require(offsets[0] == 0, name, "start at 0");
  bool rising = true;
  for (size_t k = 0; k < rows; ++k) rising &= offsets[k + 1] >= offsets[k];
  require(rising, name, "never decrease");
  require(static_cast<uint64_t>(offsets[rows]) == flat, name,
          "end at the length of the columns it cuts");
}

// The 2D points of the kept images.
size_t kept_2D_points(const ObservationInputs& in) {
  size_t kept = 0;
  for (size_t k = 0; k < in.image_keep.size; ++k) {
    if (in.image_keep[k] != 0) {
      kept += static_cast<size_t>(in.points2D_offsets[k + 1] - in.points2D_offsets[k]);
    }
  }
  return kept;
}

void check_inputs(const ObservationInputs& in, const IdsOut& kept_point3D_ids) {
  const size_t images = in.image_keep.size, points = in.point_ids.size;
  check_offsets(in.points2D_offsets, images, in.point3D_ids.size, "points2D_offsets");
  check_offsets(in.track_offsets, points, in.track_point2D_idxs.size, "track_offsets");
  require(in.point_keep.size == points, "point_keep", "hold one entry per point");
  require(in.element_image_rows.size == in.track_point2D_idxs.size, "element_image_rows",
          "hold one entry per track element");
  bool in_range = true;
  for (size_t e = 0; e < in.element_image_rows.size; ++e) {
    const int64_t row = in.element_image_rows[e];
    in_range &= row >= 0 && static_cast<uint64_t>(row) <= images;
  }
  require(in_range, "element_image_rows", "lie in 0 to the number of images");
  require(kept_point3D_ids.size == kept_2D_points(in), "kept_point3D_ids",
          "hold one entry per 2D point of the kept images");
}

// Track elements ahead whose 2D point's id is asked for early.
constexpr size_t kLookahead = 16;

// Asks for the cache line of address ahead of its use: to read it (0) or write it (1).
template <int kForWrite>
inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, kForWrite);
#else
  (void)address;
#endif
}

// The 2D points' ids of the kept images, kInvalidPoint3DId where no kept element
// observes the 2D point.
void write_kept_point3D_ids(const ObservationInputs& in, const Column<uint8_t>& observed,
                            IdsOut out) {
  uint64_t* next = out.data;
  for (size_t k = 0; k < in.image_keep.size; ++k) {
    if (in.image_keep[k] == 0) continue;
    const size_t end = static_cast<size_t>(in.points2D_offsets[k + 1]);
    for (size_t row = static_cast<size_t>(in.points2D_offsets[k]); row < end; ++row) {
      *next++ = observed[row] != 0 ? in.point3D_ids[row] : kInvalidPoint3DId;
    }
  }
}

}  // namespace

KeptObservations kept_observations(const ObservationInputs& in, IdsOut kept_point3D_ids) {
  check_inputs(in, kept_point3D_ids);
  const size_t images = in.image_keep.size, points = in.point_ids.size;
  const size_t elements = in.track_point2D_idxs.size;
  // Per image row, and one past the last for a missing image: how many 2D points it
  // holds, 0 where it goes, so a removed or missing image holds none. Its 2D points
  // begin at its offset (the missing image's is the end).
  std::vector<uint64_t> counts(images + 1, 0);
  for (size_t k = 0; k < images; ++k) {
    const uint64_t held =
        static_cast<uint64_t>(in.points2D_offsets[k + 1] - in.points2D_offsets[k]);
    counts[k] = in.image_keep[k] != 0 ? held : 0;
  }
  KeptObservations out;
  out.element_keep.resize(elements);
  out.track_lengths.resize(points);
  out.point_keep.resize(points);
  Column<uint8_t> observed_rows;  // per 2D point: a kept element observes it
  observed_rows.assign(in.point3D_ids.size, 0);
  // The row of element e's 2D point where it has one (*held), else 0: a row to prefetch
  // that is never read.
  const auto row_of = [&](size_t e, bool* held) {
    const size_t image = static_cast<size_t>(in.element_image_rows[e]);
    const uint32_t index = in.track_point2D_idxs[e];
    *held = index < counts[image];
    return *held ? static_cast<size_t>(in.points2D_offsets[image]) + index : 0;
  };
  const uint64_t* const point3D_ids = in.point3D_ids.data;
  uint8_t* const observed = observed_rows.data();
  std::vector<size_t> rows;  // the current track's rows
  for (size_t p = 0; p < points; ++p) {
    const size_t begin = static_cast<size_t>(in.track_offsets[p]);
    const size_t end = static_cast<size_t>(in.track_offsets[p + 1]);
    const uint64_t id = in.point_ids[p];
    if (rows.size() < end - begin) rows.resize(end - begin);
    uint64_t kept = 0;
    for (size_t e = begin; e < end; ++e) {
      // The ids are read in random order: asked for a few elements ahead, so that
      // the cache misses overlap instead of stalling one after the other.
      if (e + kLookahead < elements) {
        bool ahead_held;
        prefetch<0>(point3D_ids + row_of(e + kLookahead, &ahead_held));
      }
      bool held;
      const size_t row = row_of(e, &held);
      const bool stays = held && point3D_ids[row] == id;
      out.element_keep[e] = stays;
      kept += stays;
      rows[e - begin] = row;
      prefetch<1>(observed + row);  // marked below, most likely
    }
    const bool point_stays = in.point_keep[p] != 0 && kept >= in.min_track_length;
    out.point_keep[p] = point_stays;
    out.track_lengths[p] = point_stays ? static_cast<int64_t>(kept) : 0;
    for (size_t e = begin; e < end; ++e) {
      const uint8_t stays = out.element_keep[e] & static_cast<uint8_t>(point_stays);
      out.element_keep[e] = stays;
      if (stays) observed[rows[e - begin]] = 1;
    }
  }
  write_kept_point3D_ids(in, observed_rows, kept_point3D_ids);
  return out;
}

}  // namespace tolv::model_io
