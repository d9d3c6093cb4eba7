// Which observations of a model stay when points or images are removed, both sides of
// each kept in step, in one pass over the tracks. No Python.h.
//
// An observation is a track element (image, 2D point index) of a point. It is valid
// when its image exists, holds that 2D point, and the 2D point names the point back;
// only valid observations can stay, so a model whose two sides disagree comes out
// consistent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "model_io/model_columns.hpp"
#include "model_io/model_views.hpp"

namespace tolv::model_io {

struct ObservationInputs {
  ColumnView<uint64_t> point3D_ids;       // per 2D point: the point it names
  ColumnView<int64_t> points2D_offsets;   // images + 1, into point3D_ids
  ColumnView<uint8_t> image_keep;         // per image: 1 to keep it
  ColumnView<uint64_t> point_ids;         // per point
  ColumnView<int64_t> track_offsets;      // points + 1, into the track columns
  ColumnView<uint8_t> point_keep;         // per point: 1 to keep it
  ColumnView<int64_t> element_image_rows; // per element: its image's row, images if absent
  ColumnView<uint32_t> track_point2D_idxs;  // per element
  uint64_t min_track_length = 0;          // a kept point needs this many kept elements
};

struct KeptObservations {
  Column<uint8_t> element_keep;   // per element: valid, its image and point kept
  Column<int64_t> track_lengths;  // per point: its kept elements (0 for a removed point)
  Column<uint8_t> point_keep;     // per point: kept and long enough
};

// The id of "no 3D point" that a 2D point names.
constexpr uint64_t kInvalidPoint3DId = UINT64_MAX;

// Memory for one id per 2D point of the kept images, in row order: the caller's, so
// that it can be an array the caller already holds.
struct IdsOut {
  uint64_t* data = nullptr;
  size_t size = 0;
};

// Columns out of step with each other: what names which.
class ObservationArraysError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Also writes kept_point3D_ids: each 2D point's id where a kept element observes it,
// kInvalidPoint3DId where none does. Throws ObservationArraysError, before anything is
// written, unless both offsets columns start at 0, never decrease and end at their flat
// columns' length, the per-row columns have a row each, every element image row is at
// most the number of images, and kept_point3D_ids holds the kept images' 2D points.
KeptObservations kept_observations(const ObservationInputs& in, IdsOut kept_point3D_ids);

}  // namespace tolv::model_io
